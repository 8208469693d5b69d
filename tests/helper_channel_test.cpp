// What a plug-in inside the helper can do to the host through the helper, and what it
// cannot: plug-ins that flood, close or forge the report channel, one that hangs once, two
// copies of a library that lives once per process, the host's own handles, hosts that reap
// every child, the time one hanging file costs, and the remembered verdicts.
#include "core/candidate_screening.h"
#include "core/report_channel.h"
#include "core/server_types.h"
#include "core/verdict_cache.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace velmora {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
const std::string kExtension = platform::kPluginExtension;

// Valgrind and the sanitizers slow the host down (the helper runs at full speed): bounds on
// time grow with them.
double Slowdown() {
    const char* factor = std::getenv("VELMORA_TEST_SLOWDOWN");
    return factor ? std::atof(factor) : 1.0;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class HelperChannel : public test::HelperScan {
protected:
    HelperChannel() : HelperScan("3") { fs::create_directories(root_ / "plugins"); }

    static void VELMORA_CALL CollectTypeId(VelmoraInt typeId, const char*, VelmoraWord user) {
        reinterpret_cast<std::vector<VelmoraInt>*>(user)->push_back(typeId);
    }

    // A host starting: the library loaded, initialised over directory, the types it reports.
    std::vector<VelmoraInt> Start(const std::string& directory) {
        test::LoadedVelmora velmora;
        const VelmoraInitParams params = test::MakeParams("text", directory);
        EXPECT_EQ(velmora.InitSvManage(&params, 0), 1);
        std::vector<VelmoraInt> types;
        velmora.GetServerTypeInfo(CollectTypeId, reinterpret_cast<VelmoraWord>(&types));
        velmora.DeInitSvManage();
        std::sort(types.begin(), types.end());
        return types;
    }

    // A copy of a fixture in the test's own folder, grown with zeros to size when given.
    std::string Place(const std::string& folder, const std::string& fixture, const std::string& as,
                      std::uintmax_t size = 0) const {
        const fs::path target = root_ / "plugins" / (as + kExtension);
        fs::copy_file(test::PluginFile(folder, fixture + kExtension), target, fs::copy_options::overwrite_existing);
        if (size) fs::resize_file(target, size);
        return target.string();
    }
    std::string Folder() const { return (root_ / "plugins").string(); }
};

TEST_F(HelperChannel, NothingAPluginDoesToTheChannelReachesTheHost) {
    const std::string abuse = test::PluginDirectory("abuse");
    // Each start, the first examining and the second remembering, costs at most the time
    // limit and a second; the sample plug-in and the chatty one are found both times.
    for (const char* start : {"first", "second"}) {
        const auto began = Clock::now();
        EXPECT_EQ(Start(abuse), (std::vector<VelmoraInt>{0, 94})) << start;
        EXPECT_LE(SecondsSince(began), (3 + 1) * Slowdown()) << start;
    }
    const auto reports = Scan(abuse);
    const std::map<std::string, std::string> causes = {
        {"FLOOD", "the report was malformed in GetServerTypeID (first call)"},
        {"CLOSE", "the report channel was closed in GetServerTypeID (first call)"},
        {"FORGE", "the report was malformed in GetServerTypeID (first call)"},
    };
    for (const auto& [abuser, cause] : causes) {
        const CandidateReport& report = reports.at("QXDVRAbuse_" + abuser + kExtension);
        EXPECT_EQ(report.outcome, CandidateOutcome::Condemned) << abuser;
        EXPECT_EQ(report.cause, cause) << abuser;
        EXPECT_TRUE(report.fromCache) << abuser;
    }
}

TEST_F(HelperChannel, APluginThatHangsOnceIsFoundAtTheNextStart) {
    environment_.Set("VELMORA_SCAN_TIMEOUT", "1");
    environment_.Set("VELMORA_TEST_HANG_ONCE", (root_ / "hung-once").string());
    const std::string folder = test::PluginDirectory("hangonce");
    const CandidateReport hung = Scan(folder).at("QXDVRHangOnce" + kExtension);
    EXPECT_EQ(hung.outcome, CandidateOutcome::Condemned);
    EXPECT_EQ(hung.cause, "no answer within 1 s in GetServerTypeID (first call)");
    EXPECT_EQ(Start(folder), (std::vector<VelmoraInt>{0, 95}));
}

// The host loads the copy it lists first; the helper, having loaded that one first too,
// condemns the other rather than letting the host load it.
TEST_F(HelperChannel, ASecondCopyOfALibraryThatLivesOncePerProcessIsCondemned) {
    Place("twocopies", "QXDVROnceA", "QXDVROnceA");
    // Examined by another process, so that this one has loaded neither copy.
    EXPECT_EQ(test::RunTool(VELMORA_PROBE_FILE, {Folder()}).status, 0);
    Place("twocopies", "QXDVROnceB", "QXDVROnceB");
    const std::vector<std::string> listed =
        platform::FindMatchingEntries(Folder() + platform::kPathSeparator + "QXDVR*" + kExtension);
    ASSERT_EQ(listed.size(), 2u);
    const auto reports = Scan(Folder());
    EXPECT_EQ(reports.at(listed[0]).outcome, CandidateOutcome::Accepted);
    EXPECT_EQ(reports.at(listed[1]).outcome, CandidateOutcome::Condemned);
    EXPECT_EQ(reports.at(listed[1]).cause, "aborted while being loaded");
}

TEST_F(HelperChannel, TheHelperHoldsNoneOfTheHostsHandles) {
#if defined(_WIN32)
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const HANDLE handle = CreateSemaphoreA(&inheritable, 41, 1000, nullptr);
    environment_.Set("VELMORA_TEST_HOST_HANDLE", std::to_string(reinterpret_cast<std::uintptr_t>(handle)));
#else
    const int handle = open("/dev/null", O_RDONLY);  // inheritable on purpose
    environment_.Set("VELMORA_TEST_HOST_HANDLE", std::to_string(handle));
#endif
    const CandidateReport report = Scan(test::PluginDirectory("hosthandle")).at("QXDVRHostHandle" + kExtension);
    EXPECT_EQ(report.outcome, CandidateOutcome::Accepted) << report.cause;
#if defined(_WIN32)
    CloseHandle(handle);
#else
    close(handle);
#endif
}

// The deadline is each file's own: a hang costs one time limit, not the whole run's allowance.
TEST_F(HelperChannel, CondemningAHangingFileTakesOneTimeLimit) {
    environment_.Set("VELMORA_SCAN_TIMEOUT", "1");
    Place("hostile", "QXDVRHostileGoodA", "QXDVRGood");
    Place("hostile", "QXDVRHostile_HANG_TYPE_ID_1", "QXDVRHang");
    const auto began = Clock::now();
    const auto reports = Scan(Folder());
    EXPECT_LE(SecondsSince(began), 10 * Slowdown());
    EXPECT_EQ(reports.at("QXDVRHang" + kExtension).cause, "no answer within 1 s in GetServerTypeID (first call)");
    EXPECT_EQ(reports.at("QXDVRGood" + kExtension).outcome, CandidateOutcome::Accepted);
}

#if !defined(_WIN32)
// A host that lets every child be reaped for it: the helper's own last words still name the
// cause, and nothing waits for a status that will never come.
TEST_F(HelperChannel, AHostThatReapsEveryChildStillGetsTheCause) {
    Place("hostile", "QXDVRHostile_EXIT_SET_PATH", "QXDVRExit");
    Place("hostile", "QXDVRHostileGoodA", "QXDVRGood");
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ignore, &previous);
    const auto reports = Scan(Folder());
    sigaction(SIGCHLD, &previous, nullptr);
    EXPECT_EQ(reports.at("QXDVRExit" + kExtension).cause, "exited with status 3 in SetPath");
    EXPECT_EQ(reports.at("QXDVRGood" + kExtension).outcome, CandidateOutcome::Accepted);
}
#endif

#if !defined(_WIN32)
// About nine hundred of the machine's own libraries under plug-in names: constructors that
// abort, exit or throw, libraries that cannot live twice in one process, a C runtime's second
// copy. Neither the probe nor a host initialising the library over them dies, and every
// file is named.
TEST_F(HelperChannel, TheMachinesOwnLibrariesUnderPluginNames) {
#if defined(VELMORA_TEST_SANITIZED)
    GTEST_SKIP() << "the machine's libraries are not built for the sanitizers' runtimes";
#endif
    std::vector<fs::path> libraries;
    for (const auto& entry : fs::recursive_directory_iterator("/usr/lib/x86_64-linux-gnu", fs::directory_options::skip_permission_denied)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && !entry.is_symlink() && name.find(".so") != std::string::npos &&
            entry.file_size() < 20 * 1024 * 1024)
            libraries.push_back(entry.path());
    }
    std::sort(libraries.begin(), libraries.end());
    libraries.resize(std::min<std::size_t>(libraries.size(), 900));
    ASSERT_GE(libraries.size(), 300u);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < libraries.size(); ++i) {
        names.push_back("QXDVR" + std::to_string(i) + "_" + libraries[i].filename().string() + kExtension);
        fs::copy_file(libraries[i], root_ / "plugins" / names.back());
    }
    for (const auto& arguments : {std::vector<std::string>{Folder()}, std::vector<std::string>{"--init", Folder()}}) {
        const test::ToolRun run = test::RunTool(VELMORA_PROBE_FILE, arguments);
        EXPECT_TRUE(run.status == 0 || run.status == 1) << arguments[0] << " ended with " << run.status;
        if (arguments.size() == 1) {
            for (const std::string& name : names) EXPECT_NE(run.output.find(name), std::string::npos) << name;
        }
    }
}
#endif

// A file rebuilt to the same size (PE sections are aligned, so this is common) is a new
// file: its modification time tells it apart.
TEST_F(HelperChannel, ASameSizeRebuildIsExaminedAgain) {
    const std::uintmax_t size = 4 * 1024 * 1024;
    const std::string file = Place("hostile", "QXDVRHostile_EXIT_SET_PATH", "QXDVRRebuilt", size);
    EXPECT_EQ(Scan(Folder()).at("QXDVRRebuilt" + kExtension).outcome, CandidateOutcome::Condemned);
    const auto written = fs::last_write_time(file);
    Place("hostile", "QXDVRHostileGoodA", "QXDVRRebuilt", size);
    fs::last_write_time(file, written + std::chrono::seconds(5));
    const CandidateReport rebuilt = Scan(Folder()).at("QXDVRRebuilt" + kExtension);
    EXPECT_EQ(rebuilt.outcome, CandidateOutcome::Accepted);
    EXPECT_FALSE(rebuilt.fromCache);
}

// A cache of another library version is no cache, even one that is otherwise whole.
TEST_F(HelperChannel, AnotherVersionsVerdictsAreNotTaken) {
    const std::string file = Place("hostile", "QXDVRHostileGoodA", "QXDVRGood");
    VerdictCache::Key key{file, {}, "text"};
    ASSERT_TRUE(platform::StampOf(file, key.stamp));
    VerdictCache::Contents forged;
    forged.entries[key] = {{true, "forged by an older version"}, 1, 0};
    ASSERT_TRUE(platform::ReplaceFileAtomically(VerdictCache::DefaultFile(), VerdictCache::Serialise(forged, "0.0.1")));
    EXPECT_EQ(Scan(Folder()).at("QXDVRGood" + kExtension).outcome, CandidateOutcome::Accepted);
    // The same file of this version is believed: what made the difference is the version.
    forged.entries[key].examinedAtMs = 2;
    ASSERT_TRUE(platform::ReplaceFileAtomically(VerdictCache::DefaultFile(), VerdictCache::Serialise(forged)));
    EXPECT_EQ(Scan(Folder()).at("QXDVRGood" + kExtension).cause, "forged by an older version");
}

VerdictCache::Key KeyOf(int n) { return {"file" + std::to_string(n), {1, n}, ""}; }

TEST(VerdictCache, ProvisionalVerdictsComeDueAtGrowingIntervals) {
    constexpr std::int64_t minute = 60 * 1000;
    const struct {
        int runs;
        std::int64_t notYet, due;  // minutes after the examination
    } cases[] = {{1, -1, 0}, {2, 9, 10}, {3, 19, 20}, {4, 39, 40}, {9, 1279, 1280}, {10, 1439, 1440}, {40, 1439, 1440}};
    for (const auto& c : cases) {
        const VerdictCache::Entry entry{{true, "no answer within 20 s", true, true}, 1000 * minute, c.runs};
        if (c.notYet >= 0) {
            EXPECT_FALSE(VerdictCache::DueAgain(entry, entry.examinedAtMs + c.notYet * minute)) << c.runs;
        }
        EXPECT_TRUE(VerdictCache::DueAgain(entry, entry.examinedAtMs + c.due * minute)) << c.runs;
    }
}

class VerdictCacheFile : public testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("velmora-verdicts-" + std::to_string(std::chrono::system_clock::now().time_since_epoch().count()));
        file_ = (folder_ / "verdicts").string();
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    VerdictCache::Contents Read() const {
        std::string text;
        VerdictCache::Contents contents;
        EXPECT_TRUE(platform::ReadWholeFile(file_, text) && VerdictCache::Parse(text, contents));
        return contents;
    }

    fs::path folder_;
    std::string file_;
};

// Past the most verdicts kept, the oldest go, whatever their keys.
TEST_F(VerdictCacheFile, TheOldestVerdictsGoFirst) {
    VerdictCache::Contents full;
    for (int n = 0; n < 20000; ++n) full.entries[KeyOf(n)] = {{}, 100000 - n, 0};  // the smallest key is the newest
    ASSERT_TRUE(platform::ReplaceFileAtomically(file_, VerdictCache::Serialise(full)));
    VerdictCache cache(file_);
    cache.Put(KeyOf(-1), {}, 200000);
    ASSERT_TRUE(cache.Save());
    const auto entries = Read().entries;
    EXPECT_EQ(entries.size(), 20000u);
    EXPECT_EQ(entries.count(KeyOf(-1)), 1u);
    EXPECT_EQ(entries.count(KeyOf(0)), 1u);
    EXPECT_EQ(entries.count(KeyOf(19999)), 0u);
}

TEST_F(VerdictCacheFile, SavesAtOnceKeepEachOthersVerdicts) {
    std::vector<std::thread> savers;
    for (int n = 0; n < 8; ++n)
        savers.emplace_back([this, n] {
            for (int round = 0; round < 10; ++round) {
                VerdictCache cache(file_);
                cache.Put(KeyOf(n * 10 + round), {}, 1);
                EXPECT_TRUE(cache.Save());
            }
        });
    for (auto& saver : savers) saver.join();
    EXPECT_EQ(Read().entries.size(), 80u);
}

TEST_F(VerdictCacheFile, ASaveAfterAForgetWritesNothingExaminedBeforeIt) {
    VerdictCache::Contents before;
    before.entries[KeyOf(1)] = {{}, 1, 0};
    ASSERT_TRUE(platform::ReplaceFileAtomically(file_, VerdictCache::Serialise(before)));
    VerdictCache examining(file_);
    ASSERT_TRUE(VerdictCache(file_).Forget());
    const std::int64_t forgotten = Read().forgottenAtMs;
    examining.Put(KeyOf(2), {}, forgotten - 1);
    examining.Put(KeyOf(3), {}, forgotten + 1);
    ASSERT_TRUE(examining.Save());
    const auto entries = Read().entries;
    EXPECT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries.count(KeyOf(3)), 1u);
}

// A report as the helper writes it, line by line, and each way of breaking it.
std::string Report(const report::Key& key, const std::vector<std::string>& lines, std::uint32_t from = 0) {
    std::string text;
    for (const std::string& line : lines) {
        char mark[16];
        report::Mark(key, from++, line, mark);
        text += line + " " + std::string(mark, sizeof mark) + "\n";
    }
    return text;
}

TEST(ReportReader, BelievesOnlyAWholeReportInOrder) {
    const report::Key key{1, 2, 3};
    const std::vector<std::string> good = {"H", "B 0", "S 0", "S 1", "V 0", "B 1", "S 0", "V 1", "E"};
    {
        report::ReportReader reader(key, 2);
        std::vector<report::Event> events;
        const std::string text = Report(key, good);
        // Any split of the bytes reads the same.
        for (std::size_t i = 0; i < text.size(); i += 7) EXPECT_TRUE(reader.Take(text.substr(i, 7), events));
        ASSERT_EQ(events.size(), good.size());
        EXPECT_EQ(events.back().kind, report::Event::Kind::End);
        EXPECT_STREQ(events[3].step, kExaminationSteps[1]);
    }
    const std::map<std::string, std::string> broken = {
        {"another key", Report(report::Key{9}, {"H"})},
        {"out of order", Report(key, {"H", "B 1"})},
        {"a line again", Report(key, {"H"}) + Report(key, {"H"})},
        {"done twice", Report(key, {"H", "B 0", "V 0", "V 0"})},
        {"a step outside a file", Report(key, {"H", "S 0"})},
        {"no such step", Report(key, {"H", "B 0", "S 6"})},
        {"ended early", Report(key, {"H", "B 0", "V 0", "E"})},
        {"after the end", Report(key, {"H", "B 0", "V 0", "B 1", "V 1", "E", "H"})},
        {"begun before hello", Report(key, {"B 0"})},
        {"no mark", "H\n"},
        {"the old report", "H\nB x30\nV\nE\n"},
        {"over-long", std::string(200, 'H')},
        {"too many lines", Report(key, {"H", "B 0", "S 0", "S 0", "S 0", "S 0", "S 0", "S 0", "S 0", "S 0", "S 0",
                                        "S 0", "S 0", "S 0", "S 0", "S 0", "S 0", "S 0"})},
        {"garbage", std::string("\0\xff\n", 3)},
    };
    for (const auto& [how, text] : broken) {
        report::ReportReader reader(key, 2);
        std::vector<report::Event> events;
        EXPECT_FALSE(reader.Take(text, events)) << how;
        EXPECT_TRUE(reader.broken()) << how;
        EXPECT_FALSE(reader.Take(Report(key, {"E"}), events)) << how;
    }
}

TEST(ReportReader, LastWordsMayComeAnywhereAfterHelloButNothingAfterThem) {
    const report::Key key{7};
    report::ReportReader reader(key, 1);
    std::vector<report::Event> events;
    EXPECT_TRUE(reader.Take(Report(key, {"H", "B 0", "S 3", "D 1 3"}), events));
    ASSERT_EQ(events.back().kind, report::Event::Kind::LastWords);
    EXPECT_EQ(events.back().ending, report::Ending::Exited);
    EXPECT_EQ(events.back().code, 3);
    EXPECT_FALSE(reader.Take(Report(key, {"V 0"}, 4), events));
}

TEST(ReportRequest, RoundTripsAndRefusesWhatIsNotOne) {
    report::Request request;
    request.key = {0xff, 1};
    request.directory = std::string("dir\0with \xff bytes", 16);
    request.pluginPath = "";
    request.names = {"QXDVRa.dll", "QXDVR\n.dll"};
    const std::string text = report::SerialiseRequest(request);
    report::Request read;
    for (std::size_t cut = 0; cut < text.size(); ++cut)
        EXPECT_EQ(report::ParseRequest(text.substr(0, cut), read), report::RequestState::Incomplete) << cut;
    ASSERT_EQ(report::ParseRequest(text, read), report::RequestState::Complete);
    EXPECT_EQ(read.key, request.key);
    EXPECT_EQ(read.directory, request.directory);
    EXPECT_EQ(read.names, request.names);
    for (const std::string& bad :
         std::vector<std::string>{text + "x", "nonsense\n", text.substr(0, text.find("D ")) + "N x41\nG\n"})
        EXPECT_EQ(report::ParseRequest(bad, read), report::RequestState::Malformed) << bad;
}

}  // namespace
}  // namespace velmora
