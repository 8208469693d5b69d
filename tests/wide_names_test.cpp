// Names beyond ASCII: plug-in files, the folders that hold them, the host's own folder and
// the cache's, named as the file system allows (on Windows with letters the ANSI code page
// lacks; on Linux with bytes that are no UTF-8), are found, loaded and recorded; what the
// host and the plug-ins see stays byte for byte as the host wrote it.
#include "core/server_manager.h"
#include "core/server_types.h"
#include "core/verdict_cache.h"
#include "test_support.h"

#include "journal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#if defined(_WIN32)
#include "platform/wide_text_windows.h"

#include <windows.h>
#endif

namespace velmora {
namespace {

namespace fs = std::filesystem;
using test::FsPath;
using test::Journal;

const std::string kExtension = platform::kPluginExtension;
const std::string kSeparator(1, platform::kPathSeparator);
// Korean and Turkish letters: in neither code page 1252 nor code page 936.
const std::string kKorean = "\xEC\xB9\xB4\xEB\xA9\x94\xEB\x9D\xBC";  // three syllables
const std::string kTurkish = "\xC4\x9F";

// The text a host writes in InitParams for a name: Windows, in the ANSI code page (none
// when it cannot hold the name); Linux, the name's bytes.
std::optional<std::string> HostText(const std::string& name) {
#if defined(_WIN32)
    const std::wstring wide = platform::Widen(name);
    char text[512];
    BOOL lossy = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                           text, sizeof text, nullptr, &lossy);
    if (length <= 0 || lossy) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
#else
    return name;
#endif
}

// A folder of the test's own below the test program's, emptied of what an earlier run left.
std::string FreshFolder(const std::string& name) {
    const std::string folder = test::ExecutableDirectory() + "names" + kSeparator + name;
    std::error_code ignored;
    fs::remove_all(FsPath(folder), ignored);
    fs::create_directories(FsPath(folder));
    return folder;
}

void Place(const std::string& source, const std::string& folder, const std::string& name) {
    fs::copy_file(FsPath(source), FsPath(folder + kSeparator + name), fs::copy_options::overwrite_existing);
}

std::string FallbackPlugin() { return test::PluginFile("fallback", "QXDVRFallback" + kExtension); }

// The plug-in names of a folder, and the file name each record keeps (50 bytes at most).
struct NamedFile {
    std::string name;
    std::string recorded;
};

std::vector<NamedFile> NamesBeyondAscii() {
    // 6 + 14 * 3 bytes of letters, then the 15th letter would end 2 bytes past the 50th.
    const std::string longName = "QXDVR-" + kKorean + kKorean + kKorean + kKorean + kKorean + kKorean + kExtension;
    std::vector<NamedFile> names = {
        {"QXDVR" + kKorean + kExtension, "QXDVR" + kKorean + kExtension},
        {"QXDVRkamera-" + kTurkish + kExtension, "QXDVRkamera-" + kTurkish + kExtension},
#if defined(_WIN32)
        // Never half a character.
        {longName, longName.substr(0, 48)},
#else
        // Bytes, cut where the 50th ends; and names that are no UTF-8 at all.
        {longName, longName.substr(0, 50)},
        {"QXDVR\xFF\xFE" + kExtension, "QXDVR\xFF\xFE" + kExtension},
        {"QXDVRcam\xC3" + kExtension, "QXDVRcam\xC3" + kExtension},
#endif
    };
    return names;
}

#if defined(_WIN32)
// The names must be beyond what the host's code page can say, or nothing is proven.
TEST(DiscoveryNames, TheLettersUsedAreBeyondTheHostsCodePage) {
    for (const std::string& letters : {kKorean, kTurkish}) EXPECT_FALSE(HostText(letters)) << "code page " << GetACP();
}
#endif

TEST(DiscoveryNames, PluginFilesNamedBeyondAsciiAreFoundLoadedAndRecorded) {
    const std::string folder = FreshFolder("files");
    for (const NamedFile& file : NamesBeyondAscii()) Place(FallbackPlugin(), folder, file.name);
    JournalClear();
    std::map<std::string, CandidateReport> reports;
    const ServerTypeTable table = ScanPluginDirectory(folder, "P", [&](const std::string& name, const CandidateReport& report) {
        reports[name] = report;
    });
    for (const NamedFile& file : NamesBeyondAscii()) {
        SCOPED_TRACE(file.name);
        ASSERT_EQ(reports.count(file.name), 1u);
        const CandidateReport& report = reports.at(file.name);
        EXPECT_EQ(report.outcome, CandidateOutcome::Accepted) << report.loadError;
        ASSERT_NE(report.record, nullptr);
        EXPECT_EQ(report.record->fileName.View(), file.recorded);
        EXPECT_EQ(report.record->typeId, 50);
    }
    EXPECT_EQ(table.size(), NamesBeyondAscii().size());
    EXPECT_EQ(Journal("Fallback").size(), 4 * NamesBeyondAscii().size());
}

// The host in a folder named beyond ASCII, the plug-ins beside it, and no folder given.
TEST(DiscoveryNames, TheHostsOwnFolderIsSearchedWhateverItsName) {
    std::string name = kKorean + "-" + kTurkish;
#if !defined(_WIN32)
    name += "\xFF";
#endif
    const std::string folder = FreshFolder(name);
    const std::string built = test::ExecutableDirectory();
    for (const char* file : {VELMORA_C_HOST_FILE, VELMORA_LIBRARY_FILE, VELMORA_HELPER_FILE})
        Place(built + file, folder, file);
    for (const char* plugin : {"QXDVRC0", "QXDVRC1", "QXDVRCBare"})
        Place(test::PluginFile("c", plugin + kExtension), folder, plugin + kExtension);
    const test::ToolRun run = test::RunTool("names" + kSeparator + name + kSeparator + VELMORA_C_HOST_FILE, {""});
    EXPECT_EQ(run.status, 0) << run.output;
}

// The directory is the host's text in its code page; the plug-in path reaches SetPath as the
// host wrote it, byte for byte.
TEST(DiscoveryNames, TheGivenDirectoryIsReadInTheHostsCodePageAndThePluginPathPassedOnUnchanged) {
    // Each holds letters beyond ASCII that code page 1252 or 936 can say; the last is no
    // UTF-8, which only Linux, whose names are bytes, can hold.
    int tried = 0;
    for (const std::string name : {"caf\xC3\xA9-s\xC3\xBC\xC3\x9F", "\xE7\x9B\x91\xE6\x8E\xA7", "\xE9t\xE9"}) {
        const std::optional<std::string> hostText = HostText(name);
        if (!hostText) continue;
        ++tried;
        SCOPED_TRACE(name);
        const std::string folder = FreshFolder(name);
        Place(FallbackPlugin(), folder, "QXDVRGiven" + kExtension);
        const std::string given = test::ExecutableDirectory() + "names" + kSeparator + *hostText;
        JournalClear();
        ServerManager manager;
        const VelmoraInitParams params = test::MakeParams(given, given);
        manager.InitSvManage(&params, 0);
        EXPECT_EQ(manager.pluginDirectory(), folder);
        ASSERT_EQ(manager.serverTypes()->size(), 1u);
        const std::vector<std::string> calls = Journal("Fallback");
        ASSERT_GE(calls.size(), 3u);
        EXPECT_EQ(calls[2], "SetPath(\"" + given + "\")");
    }
    EXPECT_GE(tried, 1) << "the host's code page holds none of the names";
}

// The verdicts of the helper process are remembered in a cache below a folder named beyond
// the ANSI code page, as a user's profile folder may be.
TEST(DiscoveryNames, VerdictsAreRememberedBelowAFolderNamedBeyondAscii) {
    const std::string stamp = std::to_string(std::chrono::system_clock::now().time_since_epoch().count());
    const std::string cache = FreshFolder("cache-" + kKorean + "-" + stamp);
    const std::string folder = FreshFolder("screened");
    for (const NamedFile& file : NamesBeyondAscii()) Place(FallbackPlugin(), folder, file.name);
    test::ScopedEnvironment environment;
    for (const char* name : {"VELMORA_SCAN", "VELMORA_SCAN_HELPER", "VELMORA_SCAN_CACHE"}) environment.Set(name, std::nullopt);
    environment.Set("XDG_CACHE_HOME", cache);
    environment.Set("LOCALAPPDATA", cache);
    for (const bool remembered : {false, true}) {
        std::map<std::string, CandidateReport> reports;
        ScanPluginDirectory(folder, "", [&](const std::string& name, const CandidateReport& report) { reports[name] = report; });
        for (const NamedFile& file : NamesBeyondAscii()) {
            SCOPED_TRACE(file.name + (remembered ? ", remembered" : ", first scan"));
            ASSERT_EQ(reports.count(file.name), 1u);
            EXPECT_EQ(reports.at(file.name).outcome, CandidateOutcome::Accepted);
            EXPECT_EQ(reports.at(file.name).fromCache, remembered);
        }
    }
    EXPECT_TRUE(fs::exists(FsPath(VerdictCache::DefaultFile())));
    EXPECT_EQ(VerdictCache::DefaultFile().rfind(cache, 0), 0u);
    std::error_code ignored;
    fs::remove_all(FsPath(cache), ignored);
}

// Capacities counted in the system's characters, and never half of one.
TEST(DiscoveryNames, PathsAreCutBetweenCharacters) {
    const std::string pair = "\xF0\x9F\x93\xB7";  // one character, two UTF-16 code units
    struct Case {
        std::string path;
        std::size_t count;
        std::string first;   // FirstCharacters
        std::string within;  // WholeCharactersWithin, count taken as bytes
    };
#if defined(_WIN32)
    const Case cases[] = {
        {"abc", 2, "ab", "ab"},
        {kKorean, 2, kKorean.substr(0, 6), ""},
        {kKorean, 4, kKorean, kKorean.substr(0, 3)},
        {"a" + pair, 2, "a", "a"},
        {"a" + pair, 3, "a" + pair, "a"},
        {"a" + kTurkish, 9, "a" + kTurkish, "a" + kTurkish},
    };
#else
    const Case cases[] = {
        {"abc", 2, "ab", "ab"},
        {kKorean, 2, kKorean.substr(0, 2), kKorean.substr(0, 2)},
        {"a" + pair, 3, "a" + pair.substr(0, 2), "a" + pair.substr(0, 2)},
        {"\xFF\xFE\xFD", 2, "\xFF\xFE", "\xFF\xFE"},
    };
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.count));
        EXPECT_EQ(platform::FirstCharacters(c.path, c.count), c.first);
        EXPECT_EQ(platform::WholeCharactersWithin(c.path, c.count), c.within);
    }
}

}  // namespace
}  // namespace velmora
