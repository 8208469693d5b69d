// Discovery as a host meets it, timed: Velmora_InitSvManage over a folder of plug-ins
// against loading the same libraries and resolving their entry points by hand. Ends with
// the figures set against their goal. (The per-server calls are timed by call_bench.cpp,
// which runs on every target.)
#include <velmora/entry_points.h>
#include <velmora/velmora.h>

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

// The folder of 200 bench plug-ins (type IDs 0...199).
const std::string kPluginRoot = BENCH_PLUGIN_DIR;
constexpr int kDiscoveryPlugins = 200;
constexpr int kDiscoveryRuns = 30;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "velmora_bench: %s\n", what.c_str());
    std::exit(1);
}

std::string DiscoveryFolder() { return kPluginRoot + "/discovery" + std::to_string(kDiscoveryPlugins); }

// The plug-in files of a folder, full paths, in the order the system lists them.
std::vector<std::string> PluginFiles(const std::string& folder) {
    std::vector<std::string> files;
    DIR* dir = opendir(folder.c_str());
    if (!dir) Fail("no folder " + folder);
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind("QXDVR", 0) == 0 && name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0)
            files.push_back(folder + "/" + name);
    }
    closedir(dir);
    return files;
}

VelmoraInitParams ParamsFor(const std::string& directory) {
    VelmoraInitParams params{};
    if (directory.size() > 255) Fail("directory name too long: " + directory);
    params.pluginDirectory[0] = static_cast<unsigned char>(directory.size());
    std::memcpy(params.pluginDirectory + 1, directory.data(), directory.size());
    return params;
}

// ---- Discovery -----------------------------------------------------------------------

// Runs work in a child process, which starts with no plug-in of the folder loaded, and
// answers the seconds work took and what check, run afterwards, counted.
struct ChildRun {
    double seconds;
    long count;
};

template <typename Work, typename Check>
ChildRun TimeInChild(const Work& work, const Check& check) {
    int channel[2];
    if (pipe(channel) != 0) Fail("pipe failed");
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) Fail("fork failed");
    if (child == 0) {
        close(channel[0]);
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        const ChildRun run{took.count(), check()};
        const bool written = write(channel[1], &run, sizeof run) == static_cast<ssize_t>(sizeof run);
        _exit(written ? 0 : 1);
    }
    close(channel[1]);
    ChildRun run{};
    const bool complete = read(channel[0], &run, sizeof run) == static_cast<ssize_t>(sizeof run);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!complete || !WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("the timed child failed");
    return run;
}

void VELMORA_CALL CountType(VelmoraInt, const char*, VelmoraWord user) { ++*reinterpret_cast<long*>(user); }

// How discovery examines the candidates: in the host's process only, or through the
// helper process with no verdict remembered, or with every verdict remembered.
enum class Examination { InProcess, HelperCold, HelperWarm };

void UseExamination(Examination examination) {
    setenv("VELMORA_SCAN", examination == Examination::InProcess ? "in-process" : "helper", 1);
    setenv("VELMORA_SCAN_CACHE", examination == Examination::HelperCold ? "off" : "on", 1);
}

void DiscoveryByTheLibrary(benchmark::State& state) {
    const auto examination = static_cast<Examination>(state.range(0));
    const VelmoraInitParams params = ParamsFor(DiscoveryFolder());
    const auto discover = [&] {
        UseExamination(examination);
        Velmora_InitSvManage(&params, 0);
    };
    const auto countTypes = [] {
        long types = 0;
        Velmora_GetServerTypeInfo(CountType, reinterpret_cast<VelmoraWord>(&types));
        return types;
    };
    // The verdicts of a first start, remembered for the timed ones.
    if (examination == Examination::HelperWarm) TimeInChild(discover, countTypes);
    for (auto _ : state) {
        const ChildRun run = TimeInChild(discover, countTypes);
        if (run.count != kDiscoveryPlugins) state.SkipWithError("the library did not find every plug-in");
        state.SetIterationTime(run.seconds);
    }
}

const char* const kEntryPointNames[] = {
#define BENCH_ENTRY_NAME(name, requirement, parameters) #name,
    VELMORA_ENTRY_POINTS(BENCH_ENTRY_NAME)
#undef BENCH_ENTRY_NAME
};

void DiscoveryByHand(benchmark::State& state) {
    const std::vector<std::string> files = PluginFiles(DiscoveryFolder());
    for (auto _ : state) {
        long resolved = 0;
        const ChildRun run = TimeInChild(
            [&] {
                for (const std::string& file : files) {
                    void* module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
                    for (const char* name : kEntryPointNames) resolved += dlsym(module, name) != nullptr;
                }
            },
            [&] { return resolved; });
        if (run.count != kDiscoveryPlugins * static_cast<long>(std::size(kEntryPointNames)))
            state.SkipWithError("not every entry point was resolved");
        state.SetIterationTime(run.seconds);
    }
}

// ---- Against the goals ---------------------------------------------------------------

double Nanoseconds(const benchmark::BenchmarkReporter::Run& run) {
    const double perIteration = run.GetAdjustedRealTime();
    switch (run.time_unit) {
        case benchmark::kNanosecond: return perIteration;
        case benchmark::kMicrosecond: return perIteration * 1e3;
        case benchmark::kMillisecond: return perIteration * 1e6;
        case benchmark::kSecond: return perIteration * 1e9;
    }
    return perIteration;
}

// Prints as the console reporter does and keeps each benchmark's median (of the
// repetitions, or its one run) for the summary.
class GoalReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const std::string key = run.run_name.function_name + "/" + run.run_name.args + "/threads:" +
                                    std::to_string(run.threads);
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians_[key] = Nanoseconds(run);
            else if (run.run_type == Run::RT_Iteration)
                samples_[key].push_back(Nanoseconds(run));
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Nanoseconds per iteration, or a negative value when the benchmark did not run.
    double Median(const std::string& key) const {
        const auto median = medians_.find(key);
        if (median != medians_.end()) return median->second;
        const auto samples = samples_.find(key);
        if (samples == samples_.end()) return -1;
        std::vector<double> sorted = samples->second;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }

private:
    std::map<std::string, double> medians_;
    std::map<std::string, std::vector<double>> samples_;
};

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

void PrintGoals(const GoalReporter& results) {
    const double library = results.Median("Discovery/Velmora_InitSvManage/in-process/0/threads:1");
    const double cold = results.Median("Discovery/Velmora_InitSvManage/helper-cold/1/threads:1");
    const double warm = results.Median("Discovery/Velmora_InitSvManage/helper-warm/2/threads:1");
    const double byHand = results.Median("Discovery/dlopen_and_dlsym_by_hand//threads:1");
    if (library > 0 && byHand > 0)
        std::printf("\nDiscovery of %d plug-ins: library %.2f ms, by hand %.2f ms: %.2fx (goal <= 2.5x): %s\n",
                    kDiscoveryPlugins, library / 1e6, byHand / 1e6, library / byHand,
                    Verdict(library / byHand <= 2.5));
    if (library > 0 && warm > 0 && cold > 0) {
        std::printf("Through the helper, every verdict remembered: %.2f ms, %.2fx in-process (goal <= 1.1x): %s\n",
                    warm / 1e6, warm / library, Verdict(warm / library <= 1.1));
        std::printf("Through the helper, nothing remembered: %.2f ms, %.2fx in-process (measured)\n", cold / 1e6,
                    cold / library);
    }
}

void Register() {
    for (const auto& [name, examination] : {std::pair{"in-process", Examination::InProcess},
                                            std::pair{"helper-cold", Examination::HelperCold},
                                            std::pair{"helper-warm", Examination::HelperWarm}})
        benchmark::RegisterBenchmark((std::string("Discovery/Velmora_InitSvManage/") + name).c_str(), DiscoveryByTheLibrary)
            ->Arg(static_cast<int64_t>(examination))->Iterations(kDiscoveryRuns)->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Discovery/dlopen_and_dlsym_by_hand", DiscoveryByHand)
        ->Iterations(kDiscoveryRuns)->UseManualTime()->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
    // Defaults that the command line can override: medians of several repetitions.
    std::vector<char*> arguments = {argv[0]};
    std::string repetitions = "--benchmark_repetitions=5";
    std::string aggregates = "--benchmark_display_aggregates_only=true";
    std::string minTime = "--benchmark_min_time=0.2";
    arguments.insert(arguments.end(), {repetitions.data(), aggregates.data(), minTime.data()});
    arguments.insert(arguments.end(), argv + 1, argv + argc);
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;

    // A cache of the bench's own, not the user's.
    setenv("XDG_CACHE_HOME", BENCH_CACHE_DIR, 1);
    Register();
    GoalReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintGoals(reporter);
    benchmark::Shutdown();
    return 0;
}
