// Loading, initialising, shutting down and unloading the library, and where it searches.
#include "core/server_manager.h"
#include "test_support.h"

#include "fixture_host.h"
#include "journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace velmora {
namespace {

using test::Journal;
using test::LoadedVelmora;
using test::MakeParams;
using test::PluginDirectory;
using test::TagsInTableOrder;

const std::string kExtension = platform::kPluginExtension;

std::vector<std::string> LinesNamed(const std::vector<std::string>& names) {
    std::vector<std::string> kept;
    for (const std::string& line : Journal()) {
        const auto call = line.substr(line.find(':') + 1);
        for (const std::string& name : names)
            if (call.compare(0, name.size() + 1, name + "(") == 0) kept.push_back(line);
    }
    return kept;
}

class Lifecycle : public testing::Test {
protected:
    void SetUp() override { JournalClear(); }
    LoadedVelmora library;
};

TEST_F(Lifecycle, InitDiscoversThenInitialisesEachPluginInTableOrder) {
    const auto tags = TagsInTableOrder("types");
    const auto params = MakeParams("P", PluginDirectory("types"));
    EXPECT_EQ(library.InitSvManage(&params, 4660), 1);

    std::vector<std::string> expected;
    for (const auto& tag : tags) {
        expected.push_back(tag + ":InitDLL(4660)");
        expected.push_back(tag + ":InitClient()");
    }
    EXPECT_EQ(LinesNamed({"InitDLL", "InitClient"}), expected);
    // Discovery of every plug-in comes before the first InitDLL.
    const auto lines = Journal();
    ASSERT_EQ(lines.size(), 4 * tags.size() + expected.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 4 * tags.size(), lines.end()), expected);
}

TEST_F(Lifecycle, DeInitShutsEveryPluginDownInTableOrderEachTimeItIsCalled) {
    EXPECT_EQ(library.DeInitSvManage(), 1);
    EXPECT_TRUE(Journal().empty()) << "nothing to shut down before the first InitSvManage";

    const auto tags = TagsInTableOrder("types");
    const auto params = MakeParams("", PluginDirectory("types"));
    library.InitSvManage(&params, 0);
    std::vector<std::string> expected;
    for (const auto& tag : tags) {
        expected.push_back(tag + ":DeInitClient()");
        expected.push_back(tag + ":DeInitDLL()");
    }
    for (int round = 0; round < 2; ++round) {
        JournalClear();
        EXPECT_EQ(library.DeInitSvManage(), 1);
        EXPECT_EQ(Journal(), expected);
    }
}

TEST_F(Lifecycle, SecondInitRediscoversWithoutShuttingThePluginsDown) {
    const auto params = MakeParams("", PluginDirectory("types"));
    library.InitSvManage(&params, 0);
    JournalClear();
    library.InitSvManage(&params, 0);
    EXPECT_TRUE(LinesNamed({"DeInitClient", "DeInitDLL"}).empty());
    EXPECT_EQ(Journal("Type3"), (std::vector<std::string>{"GetServerTypeID()", "GetServerTypeID()",
                                                         "SetPath(\"\")", "GetServerTypeID()",
                                                         "InitDLL(0)", "InitClient()"}));
}

TEST_F(Lifecycle, HostApplicationObjectStaysCurrentUntilAnotherNonNullOne) {
    const auto params = MakeParams("", PluginDirectory("types"));
    const auto initDllOfType0 = [&](VelmoraWord application) {
        JournalClear();
        library.InitSvManage(&params, application);
        return "Type0:" + Journal("Type0").at(4);
    };
    EXPECT_EQ(initDllOfType0(0), "Type0:InitDLL(0)") << "the library's own object is null";
    EXPECT_EQ(initDllOfType0(77), "Type0:InitDLL(77)");
    EXPECT_EQ(initDllOfType0(0), "Type0:InitDLL(77)");
    EXPECT_EQ(initDllOfType0(-2), "Type0:InitDLL(-2)");
}

TEST_F(Lifecycle, PluginPathTextFollowsTheLengthByteAndEndsAtTheFirstZero) {
    auto params = MakeParams("", PluginDirectory("types"));
    const auto setPathText = [&] {
        JournalClear();
        library.InitSvManage(&params, 0);
        return Journal("Type0").at(2);
    };
    std::memcpy(params.pluginPath, "\x0a" "abc\0defghij-ignored", 20);
    EXPECT_EQ(setPathText(), "SetPath(\"abc\")");
    std::memcpy(params.pluginPath, "\x04" "abcdefg", 8);
    EXPECT_EQ(setPathText(), "SetPath(\"abcd\")");
    // A zero-terminated text without a length byte: its first character is read as the length.
    std::memcpy(params.pluginPath, "Cxyz\0", 5);
    EXPECT_EQ(setPathText(), "SetPath(\"xyz\")");
    std::memset(params.pluginPath, 0xFF, sizeof params.pluginPath);
    EXPECT_EQ(setPathText(), "SetPath(\"" + std::string(255, '\xFF') + "\")");
}

TEST_F(Lifecycle, NullParamsCountAsEmptyTextsAndStillAnswerOne) {
    EXPECT_EQ(library.InitSvManage(nullptr, 0), 1);
    EXPECT_EQ(library.DeInitSvManage(), 1);
    EXPECT_TRUE(Journal().empty());
}

// Not a Lifecycle test: the library must be loaded by nobody else for unload to happen.
TEST(Unload, ReleasesTheStateAndTheNextLoadStartsEmpty) {
    const auto params = MakeParams("", PluginDirectory("types"));
    for (int cycle = 0; cycle < 3; ++cycle) {
        LoadedVelmora fresh;
        JournalClear();
        EXPECT_EQ(fresh.DeInitSvManage(), 1);
        EXPECT_TRUE(Journal().empty());
        fresh.InitSvManage(&params, 0);
        fresh.DeInitSvManage();
        EXPECT_EQ(LinesNamed({"DeInitDLL"}).size(), 6u);
    }
}

// A host that re-enters InitSvManage once from inside a plug-in's InitDLL or DeInitClient.
struct ReenteringHost : FixtureHost {
    LoadedVelmora* library = nullptr;
    VelmoraInitParams params{};
    int remaining = 0;
};

void Reenter(FixtureHost* base) {
    auto* host = static_cast<ReenteringHost*>(base);
    if (host->remaining-- > 0) host->library->InitSvManage(&host->params, 0);
}

TEST_F(Lifecycle, PluginReenteringInitFromInitDllLeavesTheRunningLoopIntact) {
    ReenteringHost host;
    host.reenter = Reenter;
    host.library = &library;
    host.params = MakeParams("", PluginDirectory("types"));
    host.remaining = 1;
    const auto outer = TagsInTableOrder("reentrant");
    const auto params = MakeParams("", PluginDirectory("reentrant"));
    EXPECT_EQ(library.InitSvManage(&params, reinterpret_cast<VelmoraWord>(&host)), 1);

    // The loop finishes over the records it started with, after the nested rebuild.
    std::vector<std::string> calls;
    for (const std::string& line : LinesNamed({"InitDLL", "InitClient"}))
        if (line.rfind("Reentrant", 0) == 0) calls.push_back(line);
    std::vector<std::string> expected;
    for (const auto& tag : outer) {
        expected.push_back(tag + (tag == "Reentrant" ? ":InitDLL()" : ":InitDLL(" + std::to_string(reinterpret_cast<VelmoraWord>(&host)) + ")"));
        expected.push_back(tag + ":InitClient()");
    }
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(Journal("Type2").size(), 6u) << "the nested call discovered and initialised its own table";

    // The table is now the nested call's.
    JournalClear();
    library.DeInitSvManage();
    EXPECT_TRUE(Journal("Reentrant").empty());
    EXPECT_EQ(Journal("Type0"), (std::vector<std::string>{"DeInitClient()", "DeInitDLL()"}));
}

TEST_F(Lifecycle, PluginReenteringInitFromDeInitClientLeavesTheRunningLoopIntact) {
    ReenteringHost host;
    host.reenter = Reenter;
    host.library = &library;
    host.params = MakeParams("", PluginDirectory("types"));
    const auto outer = TagsInTableOrder("reentrant");
    const auto params = MakeParams("", PluginDirectory("reentrant"));
    library.InitSvManage(&params, reinterpret_cast<VelmoraWord>(&host));
    JournalClear();
    host.remaining = 1;
    EXPECT_EQ(library.DeInitSvManage(), 1);

    std::vector<std::string> shutdown;
    for (const std::string& line : LinesNamed({"DeInitClient", "DeInitDLL"}))
        if (line.rfind("Reentrant", 0) == 0) shutdown.push_back(line);
    std::vector<std::string> expected;
    for (const auto& tag : outer) {
        expected.push_back(tag + ":DeInitClient()");
        expected.push_back(tag + ":DeInitDLL()");
    }
    EXPECT_EQ(shutdown, expected);
    EXPECT_EQ(Journal("Type1").size(), 6u);
}

// What code run from inside a scan (a plug-in calling back from GetServerTypeID or
// SetPath) sees of the library.
struct ScanWatch {
    LoadedVelmora* library = nullptr;
    VelmoraInt server = 0;
    std::vector<std::string> seen;
};
ScanWatch* scanWatch = nullptr;

void VELMORA_CALL CountType(VelmoraInt, const char*, VelmoraWord user) { ++*reinterpret_cast<int*>(user); }

void LookFromInsideTheScan(const char* where) {
    LoadedVelmora& library = *scanWatch->library;
    int types = 0;
    library.GetServerTypeInfo(CountType, reinterpret_cast<VelmoraWord>(&types));
    scanWatch->seen.push_back(std::string(where) + ": " + std::to_string(types) + " types, type 1 " +
                              std::to_string(library.GetServerTypeID(GetTypeDisplayName(1).c_str())) +
                              ", server " + std::to_string(library.PTZControl(scanWatch->server, 2, 3, 4, 5)));
}

TEST_F(Lifecycle, TheTableIsEmptyWhileInitScans) {
    const auto types = MakeParams("", PluginDirectory("types"));
    library.InitSvManage(&types, 0);
    VelmoraLoginRecord login{77, 1};
    ASSERT_EQ(library.LoginServer(&login), 1);
    ASSERT_EQ(library.PTZControl(77, 2, 3, 4, 5), 1);

    ScanWatch watch{&library, 77, {}};
    scanWatch = &watch;
    JournalSetHook(LookFromInsideTheScan);
    const auto scanned = MakeParams("", PluginDirectory("scanhook"));
    library.InitSvManage(&scanned, 0);
    JournalSetHook(nullptr);

    // The three type-ID calls of an examined candidate and its SetPath, each seeing no type,
    // not even the one about to be found.
    const std::string empty = ": 0 types, type 1 -1, server -1";
    EXPECT_EQ(watch.seen, (std::vector<std::string>{"GetServerTypeID" + empty, "GetServerTypeID" + empty,
                                                    "SetPath" + empty, "GetServerTypeID" + empty}));
    EXPECT_EQ(library.GetServerTypeID(GetTypeDisplayName(1).c_str()), 1) << "the scan's table once it ended";
}

// Where InitSvManage searches, seen through the library's state.
class SearchOrder : public testing::Test {
protected:
    void SetUp() override { JournalClear(); }

    std::string Fallback() const { return test::PluginFile("fallback", "QXDVRFallback" + kExtension); }
    std::string Init(const std::string& given) {
        const auto params = MakeParams("", given);
        manager.InitSvManage(&params, 0);
        std::string found;
        const auto table = manager.serverTypes();
        for (const auto& record : *table) found += std::string(record->fileName.View()) + " ";
        return found;
    }

    ServerManager manager;
};

TEST_F(SearchOrder, NothingAnywhereLeavesTheTableEmptyAndTheWindowsDirectoryLastTried) {
    for (const std::string& given : {std::string{}, PluginDirectory("noplugin"), PluginDirectory("none")}) {
        EXPECT_EQ(Init(given), "") << given;
        EXPECT_EQ(manager.pluginDirectory(), platform::WindowsDirectory().substr(0, 255));
    }
    EXPECT_TRUE(Journal().empty());
}

TEST_F(SearchOrder, GivenDirectoryWinsOverEveryFallback) {
    test::PlacedPlugin inSystem(Fallback(), platform::SystemDirectory(), "QXDVRInSystem" + kExtension);
    Init(PluginDirectory("faulty"));
    EXPECT_EQ(manager.serverTypes()->size(), 2u);
    EXPECT_EQ(manager.pluginDirectory(), PluginDirectory("faulty"));
    EXPECT_TRUE(Journal("Fallback").empty());
}

TEST_F(SearchOrder, ExecutableDirectoryComesSecond) {
    test::PlacedPlugin inSystem(Fallback(), platform::SystemDirectory(), "QXDVRInSystem2" + kExtension);
    test::PlacedPlugin inExecutable(Fallback(), test::ExecutableDirectory().substr(0, test::ExecutableDirectory().size() - 1),
                                    "QXDVRInExecutable" + kExtension);
    EXPECT_EQ(Init(PluginDirectory("noplugin")), "QXDVRInExecutable" + kExtension + " ");
    EXPECT_EQ(manager.pluginDirectory(), test::ExecutableDirectory());
}

TEST_F(SearchOrder, SystemDirectoryComesThird) {
    test::PlacedPlugin inSystem(Fallback(), platform::SystemDirectory(), "QXDVRInSystem3" + kExtension);
    test::PlacedPlugin inWindows(Fallback(), platform::WindowsDirectory(), "QXDVRInWindows3" + kExtension);
    EXPECT_EQ(Init(""), "QXDVRInSystem3" + kExtension + " ");
    EXPECT_EQ(manager.pluginDirectory(), platform::SystemDirectory());
}

TEST_F(SearchOrder, WindowsDirectoryComesLast) {
    test::PlacedPlugin inWindows(Fallback(), platform::WindowsDirectory(), "QXDVRInWindows4" + kExtension);
    EXPECT_EQ(Init(PluginDirectory("noplugin")), "QXDVRInWindows4" + kExtension + " ");
    EXPECT_EQ(manager.pluginDirectory(), platform::WindowsDirectory());
    EXPECT_EQ(Journal("Fallback").size(), 6u);
}

TEST_F(SearchOrder, DirectoryFieldTextEndsAtItsFirstZero) {
    auto params = MakeParams("", PluginDirectory("types") + std::string(1, '\0') + "garbage");
    manager.InitSvManage(&params, 0);
    EXPECT_EQ(manager.pluginDirectory(), PluginDirectory("types"));
    EXPECT_EQ(manager.serverTypes()->size(), 6u);
}

// The search pattern and the plug-in's full name are longer than the 260 characters of
// the system's ordinary path form.
TEST_F(SearchOrder, DirectoryOfTheFullCapacityIsScannedWhole) {
    // The directory text fills its 255 characters; cut by one it names no directory.
    const std::string parent = test::ExecutableDirectory() + "capacity";
    const std::string directory = parent + platform::kPathSeparator + std::string(255 - parent.size() - 1, 'd');
    ASSERT_EQ(directory.size(), 255u);
    std::filesystem::create_directories(directory);
    {
        test::PlacedPlugin placed(Fallback(), directory, "QXDVRAtCapacity" + kExtension);
        EXPECT_EQ(Init(directory), "QXDVRAtCapacity" + kExtension + " ");
        EXPECT_EQ(manager.pluginDirectory(), directory);
    }
    // Windows keeps the loaded plug-in's file: what remains goes with the next run.
    std::error_code ignored;
    std::filesystem::remove_all(parent, ignored);
}

TEST(DirectoryText, DirectoryPartEndsInTheLastDelimiter) {
    const std::string sep(1, platform::kPathSeparator);
    EXPECT_EQ(DirectoryPart(sep + "a" + sep + "b" + sep + "exe"), sep + "a" + sep + "b" + sep);
    EXPECT_EQ(DirectoryPart("exe"), "");
#if defined(_WIN32)
    EXPECT_EQ(DirectoryPart("C:exe"), "C:");
#endif
}

}  // namespace
}  // namespace velmora
