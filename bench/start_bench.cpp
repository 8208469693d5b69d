// Start-up as a host meets it, on every target (the Windows DLLs under Wine): the time
// Velmora_InitSvManage takes over 200 plug-ins, each start in a fresh process of its own.
// In-process only; through the helper with nothing remembered and with every verdict
// remembered; and what the helper's defences cost: a plug-in that exits while examined
// (the helper is started again and loads the files listed before it again), and k plug-ins
// that hang (each costs the time limit on top), at the first start, at the next one (a
// time-out is examined again) and at the one after (it is not, for a while).
//
//   velmora_startbench              runs every case and prints the figures
//   velmora_startbench --start DIR  one start: the milliseconds and the number of types
#include "core/server_manager.h"
#include "platform/platform.h"

#include <velmora/velmora.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#if defined(_WIN32)
#define popen _popen
#define pclose _pclose
#endif

namespace {

namespace fs = std::filesystem;
constexpr int kPlugins = 200;
constexpr int kTimeLimitSeconds = 1;
#if defined(_WIN32)
constexpr int kRuns = 7;  // a process start under Wine costs a second of its own
#else
constexpr int kRuns = 11;
#endif

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "velmora_startbench: %s\n", what.c_str());
    std::exit(1);
}

void VELMORA_CALL CountType(VelmoraInt, const char*, VelmoraWord user) { ++*reinterpret_cast<long*>(user); }

int Start(const std::string& directory) {
    VelmoraInitParams params{};
    VelmoraSetShortString(params.pluginDirectory, directory.c_str());
    const auto began = std::chrono::steady_clock::now();
    Velmora_InitSvManage(&params, 0);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - began;
    long types = 0;
    Velmora_GetServerTypeInfo(CountType, reinterpret_cast<VelmoraWord>(&types));
    std::printf("%.3f %ld\n", took.count(), types);
    return 0;
}

void SetVariable(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

const fs::path& Bench() {
    static const fs::path bench = fs::path(velmora::platform::ExecutablePath()).parent_path() / "bench";
    return bench;
}

// A folder of the 200 plug-ins and the named misbehaving ones, made afresh.
std::string Folder(const std::string& name, const std::vector<std::string>& extras) {
    const fs::path folder = Bench() / "start" / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (const auto& entry : fs::directory_iterator(Bench() / "discovery200"))
        fs::copy_file(entry.path(), folder / entry.path().filename());
    for (const std::string& extra : extras) fs::copy_file(Bench() / "misdeeds" / extra, folder / extra);
    return folder.string();
}

// One start in a process of its own: its milliseconds; the types must be the good ones.
double TimedStart(const std::string& directory) {
    std::string command = "\"" + velmora::platform::ExecutablePath() + "\" --start \"" + directory + "\"";
#if defined(_WIN32)
    command = "\"" + command + "\"";  // cmd.exe takes the outermost quotes away
#endif
    FILE* child = popen(command.c_str(), "r");
    if (!child) Fail("cannot start " + command);
    double milliseconds = 0;
    long types = 0;
    const bool read = std::fscanf(child, "%lf %ld", &milliseconds, &types) == 2;
    pclose(child);
    if (!read || types != kPlugins) Fail("a start over " + directory + " found " + std::to_string(types) + " types");
    return milliseconds;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Case {
    std::string name;
    std::string scan;                 // VELMORA_SCAN
    bool remember;                    // the cache on
    std::vector<std::string> extras;  // misbehaving plug-ins beside the 200
    int primingStarts;                // starts before the timed ones, with the same cache
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--start") == 0) return Start(argv[2]);
    const std::string extension = velmora::platform::kPluginExtension;
    const auto hanging = [&](int k) {
        std::vector<std::string> names;
        for (int i = 1; i <= k; ++i) names.push_back("QXDVRBenchHang" + std::to_string(i) + extension);
        return names;
    };
    const std::vector<Case> cases = {
        {"in-process only", "in-process", false, {}, 0},
        {"helper, nothing remembered", "", false, {}, 0},
        {"helper, every verdict remembered", "", true, {}, 1},
        {"helper, nothing remembered, 1 exits", "", false, {"QXDVRBenchExit" + extension}, 0},
        {"helper, nothing remembered, 1 hangs", "", false, hanging(1), 0},
        {"helper, nothing remembered, 2 hang", "", false, hanging(2), 0},
        {"helper, nothing remembered, 4 hang", "", false, hanging(4), 0},
        {"helper, 1 hangs, the next start (examined again)", "", true, hanging(1), 1},
        {"helper, 1 hangs, the start after (not yet again)", "", true, hanging(1), 2},
    };
    std::printf("Start-up over %d plug-ins (%s, median of %d starts, time limit %d s)\n\n", kPlugins,
                velmora::platform::kPluginExtension, kRuns, kTimeLimitSeconds);
    // Every case in every round, so that a machine whose speed drifts meanwhile weighs on
    // all of them alike.
    std::vector<std::string> folders;
    for (std::size_t c = 0; c < cases.size(); ++c)
        folders.push_back(Folder("case" + std::to_string(c), cases[c].extras));
    std::vector<std::vector<double>> times(cases.size());
    for (int run = 0; run < kRuns; ++run) {
        for (std::size_t c = 0; c < cases.size(); ++c) {
            const fs::path cache = Bench() / "start-cache";
            SetVariable("VELMORA_SCAN", cases[c].scan);
            SetVariable("VELMORA_SCAN_CACHE", cases[c].remember ? "" : "off");
            SetVariable("VELMORA_SCAN_TIMEOUT", std::to_string(kTimeLimitSeconds));
            SetVariable("XDG_CACHE_HOME", cache.string());
            SetVariable("LOCALAPPDATA", cache.string());
            fs::remove_all(cache);
            for (int priming = 0; priming < cases[c].primingStarts; ++priming) TimedStart(folders[c]);
            times[c].push_back(TimedStart(folders[c]));
        }
    }
    std::printf("| start | ms | against in-process |\n|---|---:|---:|\n");
    const double inProcess = Median(times[0]);
    double warm = 0;
    for (std::size_t c = 0; c < cases.size(); ++c) {
        const double median = Median(times[c]);
        if (cases[c].remember && cases[c].extras.empty()) warm = median;
        std::printf("| %s | %.1f | %.2fx |\n", cases[c].name.c_str(), median, median / inProcess);
    }
    std::printf("\nEvery verdict remembered: %.2fx in-process (goal <= 1.1x): %s\n", warm / inProcess,
                warm / inProcess <= 1.1 ? "met" : "MISSED");
    fs::remove_all(Bench() / "start");
    fs::remove_all(Bench() / "start-cache");
    return 0;
}
