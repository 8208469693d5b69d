// Discovery through the helper process: plug-ins that abort, exit, hang or overflow their
// stack while being examined end or stall the helper, never the host; each is named with
// its cause, the good ones are found exactly as without the helper, and verdicts are
// remembered until a file changes.
#include "core/candidate_screening.h"
#include "core/server_types.h"
#include "core/verdict_cache.h"
#include "test_support.h"

#include "journal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <tuple>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using test::Journal;
using test::PluginDirectory;
using test::PluginFile;

const std::string kExtension = platform::kPluginExtension;

// What a scan through the helper should make of a file of the hostile folder.
struct Expected {
    CandidateOutcome outcome;
    std::string words;  // Condemned: the cause; Fault: the call; empty: whatever the system says
    std::string otherwise = {};  // a second cause that may be given instead
};

std::string Step(const std::string& at) {
    if (at == "LOAD") return " while being loaded";
    if (at == "SET_PATH") return " in SetPath";
    return " in GetServerTypeID (" + std::string(at == "TYPE_ID_1" ? "first" : at == "TYPE_ID_2" ? "second" : "third") +
           " call)";
}

std::string Call(const std::string& at) { return Step(at).substr(4); }

std::map<std::string, Expected> HostileExpectations() {
    std::map<std::string, Expected> expected;
    for (const std::string at : {"LOAD", "TYPE_ID_1", "TYPE_ID_2", "TYPE_ID_3", "SET_PATH"}) {
        const auto file = [&](const char* misdeed) { return "QXDVRHostile_" + std::string(misdeed) + "_" + at + kExtension; };
        const bool loading = at == "LOAD";
        expected[file("EXIT")] = {CandidateOutcome::Condemned, "exited with status 3" + Step(at)};
        expected[file("HANG")] = {CandidateOutcome::Condemned, "no answer within 2 s" + Step(at)};
        // The guard contains abort() like a fault: the host passes over such a file as it
        // would without the helper. While a library is being loaded, Linux lets it take its
        // course and Windows' loader contains it; either way the helper condemns the file,
        // as a loader left half-way is no place to go on in.
        expected[file("ABORT")] = loading ? Expected{CandidateOutcome::Condemned, "aborted while being loaded"}
                                          : Expected{CandidateOutcome::Fault, Call(at)};
        expected[file("OVERFLOW")] = {CandidateOutcome::Condemned, "stack overflow" + Step(at)};
#if defined(_WIN32)
        // Wine raises the overflow where the guard page was hit and needs room below it for
        // the exception's record; where the last frame left too little, it ends the
        // process with status 0 instead.
        expected[file("OVERFLOW")].otherwise = "exited with status 0" + Step(at);
#endif
        // Linux lets a fault while a library is being loaded take its course; under Wine an
        // overflow is raised as an exception the guard or the loader contains (the helper
        // condemns it as "stack overflow") or, when Wine finds no stack left to raise it
        // on, ends the process with status 0: either way the file is condemned.
        if (loading) expected[file("OVERFLOW")] = {CandidateOutcome::Condemned, ""};
    }
    expected["QXDVRHostile_EXIT_TYPE_NAME" + kExtension] = {CandidateOutcome::Condemned,
                                                          "exited with status 3 in GetServerTypeName"};
    return expected;
}

// Whether text holds the expected cause, or the one it may be given instead, after before.
bool Names(const std::string& text, const std::string& before, const Expected& expected) {
    return text.find(before + expected.words) != std::string::npos ||
           (!expected.otherwise.empty() && text.find(before + expected.otherwise) != std::string::npos);
}

const std::vector<std::string> kGood = {"QXDVRHostileFlood" + kExtension, "QXDVRHostileGoodA" + kExtension,
                                        "QXDVRHostileGoodZ" + kExtension};

// The helper on, a short time limit and a cache of the test's own.
class Isolation : public test::HelperScan {
protected:
    Isolation() : HelperScan("2") { JournalClear(); }

    std::string CacheFile() const { return VerdictCache::DefaultFile(); }
};

void ExpectHostileVerdicts(const std::map<std::string, CandidateReport>& reports, bool fromCache) {
    for (const auto& [file, expected] : HostileExpectations()) {
        SCOPED_TRACE(file);
        ASSERT_EQ(reports.count(file), 1u);
        const CandidateReport& report = reports.at(file);
        EXPECT_EQ(report.outcome, expected.outcome);
        if (!expected.words.empty()) {
            const std::string words =
                report.outcome == CandidateOutcome::Condemned ? report.cause : std::string(report.faultedCall);
            if (words != expected.otherwise) {
                EXPECT_EQ(words, expected.words);
            }
        }
        EXPECT_EQ(report.record, nullptr);
        if (report.outcome == CandidateOutcome::Condemned) {
            EXPECT_EQ(report.fromCache, fromCache);
        }
    }
    for (const std::string& good : kGood) {
        SCOPED_TRACE(good);
        ASSERT_EQ(reports.count(good), 1u);
        EXPECT_EQ(reports.at(good).outcome, CandidateOutcome::Accepted);
    }
    EXPECT_EQ(reports.size(), HostileExpectations().size() + kGood.size());
}

TEST_F(Isolation, HostilePluginsAreCondemnedWithTheirCauseAndTheGoodOnesFoundAsWithoutTheHelper) {
    const std::string hostile = PluginDirectory("hostile");
    ExpectHostileVerdicts(Scan(hostile), false);
    // No condemned file ran in this process; the good ones did, with the usual calls in the
    // usual order.
    for (const auto& [file, expected] : HostileExpectations()) {
        if (expected.outcome != CandidateOutcome::Condemned) continue;
        const std::string tag = file.substr(5, file.size() - 5 - kExtension.size());
        EXPECT_EQ(Journal(tag), std::vector<std::string>{}) << file;
    }
    for (const auto& [tag, setPath] : std::map<std::string, std::string>{
             {"HostileGoodA", "SetPath(\"text\")"}, {"HostileGoodZ", "SetPath(\"text\")"}, {"HostileFlood", "SetPath(text)"}})
        EXPECT_EQ(Journal(tag), (std::vector<std::string>{"GetServerTypeID()", "GetServerTypeID()", setPath, "GetServerTypeID()"}))
            << tag;

    // Remembered: no helper is needed the second time, not even to condemn.
    environment_.Set("VELMORA_SCAN_HELPER", PluginDirectory("no-such-helper"));
    ExpectHostileVerdicts(Scan(hostile), true);
}

void VELMORA_CALL CollectTypeId(VelmoraInt typeId, const char*, VelmoraWord user) {
    reinterpret_cast<std::vector<VelmoraInt>*>(user)->push_back(typeId);
}

TEST_F(Isolation, ThroughTheExportsTheHostSurvivesAndGetsTheGoodTypes) {
    test::LoadedVelmora velmora;
    const VelmoraInitParams params = test::MakeParams("text", PluginDirectory("hostile"));
    EXPECT_EQ(velmora.InitSvManage(&params, 0), 1);
    std::vector<VelmoraInt> types;
    velmora.GetServerTypeInfo(CollectTypeId, reinterpret_cast<VelmoraWord>(&types));
    std::sort(types.begin(), types.end());
    EXPECT_EQ(types, (std::vector<VelmoraInt>{90, 91, 92}));
    velmora.DeInitSvManage();
}

// A folder of its own, with copies of fixtures, for the cache cases.
class Scratch {
public:
    explicit Scratch(const fs::path& root) : folder_(root / "plugins") { fs::create_directories(folder_); }
    std::string folder() const { return folder_.string(); }
    void Place(const std::string& fixture, const std::string& as) const {
        fs::copy_file(PluginFile("hostile", fixture + kExtension), folder_ / (as + kExtension),
                      fs::copy_options::overwrite_existing);
    }

private:
    fs::path folder_;
};

// A condemned file first, since Windows keeps a loaded library from being replaced.
TEST_F(Isolation, AChangedFileIsExaminedAgain) {
    const Scratch scratch(root_);
    scratch.Place("QXDVRHostile_EXIT_SET_PATH", "QXDVRChanging");
    const CandidateReport condemned = Scan(scratch.folder()).at("QXDVRChanging" + kExtension);
    EXPECT_EQ(condemned.outcome, CandidateOutcome::Condemned);
    EXPECT_EQ(condemned.cause, "exited with status 3 in SetPath");
    EXPECT_TRUE(Scan(scratch.folder()).at("QXDVRChanging" + kExtension).fromCache);
    scratch.Place("QXDVRHostileGoodA", "QXDVRChanging");
    const CandidateReport accepted = Scan(scratch.folder()).at("QXDVRChanging" + kExtension);
    EXPECT_EQ(accepted.outcome, CandidateOutcome::Accepted);
    EXPECT_FALSE(accepted.fromCache);
}

// Whatever became of the cache file, the verdicts are right and the file is whole again.
TEST_F(Isolation, ADamagedOrUnwritableCacheNeverChangesAVerdict) {
    const Scratch scratch(root_);
    scratch.Place("QXDVRHostile_EXIT_TYPE_ID_2", "QXDVRExit");
    scratch.Place("QXDVRHostileGoodA", "QXDVRGood");
    const auto expectVerdicts = [&](const char* how) {
        SCOPED_TRACE(how);
        const auto reports = Scan(scratch.folder());
        EXPECT_EQ(reports.at("QXDVRExit" + kExtension).outcome, CandidateOutcome::Condemned);
        EXPECT_EQ(reports.at("QXDVRGood" + kExtension).outcome, CandidateOutcome::Accepted);
    };
    expectVerdicts("first scan");
    std::string whole;
    ASSERT_TRUE(platform::ReadWholeFile(CacheFile(), whole));

    const std::vector<std::pair<const char*, std::string>> damages = {
        {"truncated", whole.substr(0, whole.size() / 2)},
        {"a byte changed", std::string(whole).replace(whole.size() / 2, 1, "#")},
        {"a verdict turned good", [&] {
             std::string text = whole;
             const auto at = text.find("condemned");
             return at == std::string::npos ? text : text.replace(at, 9, "examined");
         }()},
        {"empty", ""},
        {"not text", std::string("\0\xff\x01velmora", 10)},
        {"another version", "velmora-verdicts 2 0.0.0 " + whole.substr(whole.find(' ', 19))},
    };
    for (const auto& [how, text] : damages) {
        std::ofstream(CacheFile(), std::ios::binary | std::ios::trunc) << text;
        expectVerdicts(how);
        std::string rewritten;
        ASSERT_TRUE(platform::ReadWholeFile(CacheFile(), rewritten));
        VerdictCache::Contents contents;
        EXPECT_TRUE(VerdictCache::Parse(rewritten, contents)) << how;
        EXPECT_EQ(contents.entries.size(), 2u) << how;
    }

    // A cache folder that cannot be made: nothing is remembered, nothing goes wrong.
    std::ofstream(root_ / "blocked") << "a file where a folder should be";
    environment_.Set("XDG_CACHE_HOME", (root_ / "blocked").string());
    environment_.Set("LOCALAPPDATA", (root_ / "blocked").string());
    expectVerdicts("unwritable");
    expectVerdicts("unwritable, again");
}

TEST_F(Isolation, TwoProcessesScanningAtOnceBothGetEveryVerdict) {
    std::vector<test::ToolRun> runs(2);
    std::vector<std::thread> probes;
    for (auto& run : runs)
        probes.emplace_back([&run] { run = test::RunTool(VELMORA_PROBE_FILE, {"--json", PluginDirectory("hostile")}); });
    for (auto& probe : probes) probe.join();
    for (const auto& run : runs) {
        EXPECT_EQ(run.status, 0);
        for (const auto& [file, expected] : HostileExpectations()) {
            if (expected.outcome == CandidateOutcome::Condemned) {
                EXPECT_TRUE(Names(run.output, "", expected)) << file;
            }
        }
    }
    std::string text;
    ASSERT_TRUE(platform::ReadWholeFile(CacheFile(), text));
    VerdictCache::Contents contents;
    EXPECT_TRUE(VerdictCache::Parse(text, contents));
}

// The run-time log of a probe names every condemned file with its cause.
TEST_F(Isolation, TheLogNamesEachCondemnedFileWithItsCause) {
    const std::string log = (root_ / "velmora.log").string();
    environment_.Set("VELMORA_LOG", log);
    test::RunTool(VELMORA_PROBE_FILE, {PluginDirectory("hostile")});
    std::string text;
    ASSERT_TRUE(platform::ReadWholeFile(log, text));
    EXPECT_NE(text.find("helper started for"), std::string::npos) << text;
    for (const auto& [file, expected] : HostileExpectations()) {
        if (expected.outcome != CandidateOutcome::Condemned || expected.words.empty()) continue;
        EXPECT_TRUE(Names(text, "helper: " + file + " condemned (", expected)) << file;
    }
}

// Without a working helper, or with it turned off, discovery is what it always was: the
// good plug-ins of a folder without hostile ones are found, in order, with the usual calls.
TEST_F(Isolation, WithoutAWorkingHelperDiscoveryIsUnchanged) {
    const std::vector<std::pair<const char*, std::pair<const char*, std::string>>> setups = {
        {"turned off", {"VELMORA_SCAN", "in-process"}},
        {"missing", {"VELMORA_SCAN_HELPER", PluginDirectory("no-such-helper")}},
        {"not a helper", {"VELMORA_SCAN_HELPER", test::ExecutableDirectory() + VELMORA_PROBE_FILE}},
    };
    const std::vector<std::string> expected = test::TagsInTableOrder("types");
    for (const auto& [how, setting] : setups) {
        SCOPED_TRACE(how);
        test::ScopedEnvironment scoped;
        scoped.Set(setting.first, setting.second);
        EXPECT_EQ(test::TagsInTableOrder("types"), expected);
        for (const auto& [name, report] : Scan(PluginDirectory("types"))) EXPECT_FALSE(report.fromCache) << name;
    }
}

// Installed on Linux the helper is a private program in a folder named with the soname's
// version, so that two versions of the library can be installed together; in a build tree
// and on Windows it sits beside the library, which wins when both are there.
TEST(HelperFile, IsBesideTheLibraryElseInTheFolderOfItsVersion) {
    const std::string version = VELMORA_TEST_VERSION;
    const std::string separator(1, platform::kPathSeparator);
    const std::string root = test::ExecutableDirectory() + "helper-file" + separator;
    const std::string name = std::string("velmora-scan-helper") + (kExtension == ".dll" ? ".exe" : "");
    const std::string beside = root + name;
    const std::string inFolder = root + "velmora-" + version.substr(0, version.rfind('.')) + separator + name;
    const std::vector<std::tuple<bool, bool, std::string>> cases = {
        {false, false, beside}, {true, false, beside}, {false, true, inFolder}, {true, true, beside}};
    for (const auto& [besideExists, inFolderExists, expected] : cases) {
        fs::remove_all(root);
        fs::create_directories(fs::path(inFolder).parent_path());
        if (besideExists) std::ofstream(beside) << "helper";
        if (inFolderExists) std::ofstream(inFolder) << "helper";
        EXPECT_EQ(HelperFileFor(root + "libVelmora" + kExtension), expected) << besideExists << inFolderExists;
    }
    fs::remove_all(root);
}

TEST(VerdictText, EncodingRoundTripsEveryByteAndRefusesWhatItDidNotWrite) {
    std::string every;
    for (int c = 0; c < 256; ++c) every += static_cast<char>(c);
    for (const std::string& text : {std::string{}, std::string("QXDVR a.dll"), every}) {
        std::string decoded = "unchanged";
        EXPECT_TRUE(DecodeText(EncodeText(text), decoded));
        EXPECT_EQ(decoded, text);
    }
    for (const char* bad : {"", "41", "x4", "x4g", "X41", "x41 "}) {
        std::string decoded = "unchanged";
        EXPECT_FALSE(DecodeText(bad, decoded)) << bad;
        EXPECT_EQ(decoded, "unchanged");
    }
}

}  // namespace
}  // namespace velmora
