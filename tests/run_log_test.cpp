// The run-time log, driven through the library as a host loads it: silent unless the
// environment asks, the lines of a scan, of registry changes and of unanswered calls,
// whole lines from many threads, and the last line a crash in a plug-in leaves.
#include "core/candidate_verdict.h"
#include "core/readable_text.h"
#include "core/run_log.h"
#include "core/server_types.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include "platform/wide_text_windows.h"

#include <windows.h>
#else
#include <signal.h>
#endif

namespace velmora {
namespace {

using test::LoadedVelmora;
using test::MakeParams;
using test::PluginDirectory;

const std::string kExtension = platform::kPluginExtension;

// Sets one of the log's switches (null: removes it) for the object's lifetime, as a host
// would: on Windows through SetEnvironmentVariable, which the library must see. The tests
// own these switches: each is left unset afterwards.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) { Set(value); }
    ~ScopedVariable() { Set(nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    void Set(const char* value) const {
#if defined(_WIN32)
        SetEnvironmentVariableW(platform::Widen(name_).c_str(), value ? platform::Widen(value).c_str() : nullptr);
#else
        if (value) setenv(name_.c_str(), value, 1);
        else unsetenv(name_.c_str());
#endif
    }

    std::string name_;
};

std::string LogFile(const std::string& name) {
    const std::string path = test::ExecutableDirectory() + "run_log_" + name + ".txt";
    std::filesystem::remove(test::FsPath(path));
    return path;
}

// Every line of the file with its time and thread ID taken off; a line without that
// prefix is kept whole, marked, so a comparison shows it.
std::vector<std::string> LinesOf(const std::string& path) {
    static const std::regex prefix(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z \[\d+\] )");
    std::vector<std::string> lines;
    std::ifstream in(test::FsPath(path));
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        lines.push_back(std::regex_search(line, match, prefix) ? match.suffix().str() : "MALFORMED: " + line);
    }
    return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& wanted) {
    return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

// The lines a host's actions leave in a log file at the given level.
std::vector<std::string> LogOf(const std::string& name, const char* level,
                               const std::function<void(LoadedVelmora&)>& actions) {
    const std::string path = LogFile(name);
    {
        const ScopedVariable target("VELMORA_LOG", path.c_str());
        const ScopedVariable verbosity("VELMORA_LOG_LEVEL", level);
        LoadedVelmora library;
        actions(library);
    }
    return LinesOf(path);
}

void InitOver(LoadedVelmora& library, const std::string& folder) {
    const VelmoraInitParams params = MakeParams("", folder);
    library.InitSvManage(&params, 0);
}

VelmoraInt Login(LoadedVelmora& library, VelmoraInt server, VelmoraInt type) {
    VelmoraLoginRecord record{server, type};
    return library.LoginServer(&record);
}

// Chooses the type with ID 0, by its display name.
VelmoraInt VELMORA_CALL ChooseTypeZero(VelmoraInt count, const char* const* names, VelmoraWord) {
    for (VelmoraInt i = 0; i < count; ++i)
        if (names[i] == GetTypeDisplayName(0)) return i;
    return -1;
}
VelmoraInt VELMORA_CALL ChooseNone(VelmoraInt, const char* const*, VelmoraWord) { return -1; }

// "type ID n: " for each type the library lists, in its order.
void VELMORA_CALL CollectType(VelmoraInt typeId, const char*, VelmoraWord user) {
    reinterpret_cast<std::vector<std::string>*>(user)->push_back("type ID " + std::to_string(typeId) + ": ");
}

// Whether anything now stands where a crash handler would go.
std::string CrashHandlerState() {
#if defined(_WIN32)
    const LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(nullptr);
    SetUnhandledExceptionFilter(current);
    return std::to_string(reinterpret_cast<std::uintptr_t>(current));
#else
    std::string state;
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) {
        struct sigaction action {};
        sigaction(signal, nullptr, &action);
        state += std::to_string(reinterpret_cast<std::uintptr_t>(action.sa_sigaction)) + " ";
    }
    return state;
#endif
}

// In a child process, so that its standard error can be read: with the log off a
// host's whole session writes nothing and installs no handler, even at the verbose level.
TEST(RunLogDeathTest, OffWritesNothingAndInstallsNothing) {
    const auto session = [] {
        const ScopedVariable target("VELMORA_LOG", nullptr);
        const ScopedVariable verbosity("VELMORA_LOG_LEVEL", "verbose");
        const std::string before = CrashHandlerState();
        LoadedVelmora library;
        InitOver(library, PluginDirectory("nowhere"));
        InitOver(library, PluginDirectory("registry"));
        Login(library, 5, 1);
        library.GetHeader(999, 0, 0, 0);
        library.DelServer(5);
        std::fprintf(stderr, "%s", CrashHandlerState() == before ? "silent" : "a handler was installed");
        std::exit(0);
    };
    EXPECT_EXIT(session(), testing::ExitedWithCode(0), "^silent$");
}

// The lines of a scan on standard error, as in a file.
TEST(RunLogDeathTest, GoesToStandardErrorWhenAsked) {
    const auto session = [] {
        const ScopedVariable target("VELMORA_LOG", "stderr");
        LoadedVelmora library;
        InitOver(library, PluginDirectory("registry"));
        std::exit(0);
    };
    EXPECT_EXIT(session(), testing::ExitedWithCode(0), "type table: 4 type");
}

TEST(RunLog, FirstLineNamesVersionAndBuild) {
    const auto lines = LogOf("first", nullptr, [](LoadedVelmora& library) { InitOver(library, PluginDirectory("registry")); });
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("Velmora " + std::string(VELMORA_TEST_VERSION) + " (build ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(", log level events"), std::string::npos) << lines[0];
}

// Each directory tried and why, each candidate's verdict in the words velmora-probe
// prints, and the table the scan ended with.
TEST(RunLog, ScanTellsDirectoriesVerdictsAndTable) {
    struct Case {
        std::string folder;
        std::vector<std::string> directories;  // the directory lines, in order
    };
    const std::string exe = test::ExecutableDirectory();
    const char* const afterNothing = ", as the directory before yielded no plug-in)";
    const std::vector<Case> cases = {
        {"mixed", {"directory \"" + PluginDirectory("mixed") + "\" (given in InitParams)"}},
        {"faulty", {"directory \"" + PluginDirectory("faulty") + "\" (given in InitParams)"}},
        {"nowhere",
         {"directory \"" + PluginDirectory("nowhere") + "\" (given in InitParams): not a directory",
          "directory \"" + exe + "\" (the executable's" + afterNothing,
          "directory \"" + platform::SystemDirectory() + "\" (the system directory" + afterNothing,
          "directory \"" + platform::WindowsDirectory() + "\" (the Windows directory" + afterNothing}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        std::vector<std::string> types;
        const auto lines = LogOf("scan_" + c.folder, nullptr, [&](LoadedVelmora& library) {
            InitOver(library, PluginDirectory(c.folder));
            library.GetServerTypeInfo(CollectType, reinterpret_cast<VelmoraWord>(&types));
        });
        std::vector<std::string> directories;
        for (const std::string& line : lines)
            if (line.rfind("directory \"", 0) == 0 && line.find("plug-in(s) accepted") == std::string::npos)
                directories.push_back(line);
        EXPECT_EQ(directories, c.directories);

        // The verdicts as the probe words them, from this process's own scan.
        std::vector<std::string> expected;
        ScanPluginDirectory(PluginDirectory(c.folder), "", [&](const std::string& name, const CandidateReport& report) {
            const CandidateVerdict verdict = DescribeCandidate(name, report, ReadableDisplayName);
            expected.push_back("candidate " + name + ": " + (verdict.accepted ? "accepted: " : "passed over: ") +
                               verdict.detail);
        });
        std::vector<std::string> verdicts;
        for (const std::string& line : lines)
            if (line.rfind("candidate ", 0) == 0) verdicts.push_back(line);
        EXPECT_EQ(verdicts, expected);

        // The table: a count, then one line per type in table order.
        const auto table = std::find(lines.begin(), lines.end(), "type table: " + std::to_string(types.size()) + " type(s)");
        ASSERT_NE(table, lines.end());
        ASSERT_GE(static_cast<std::size_t>(lines.end() - table), types.size() + 1);
        for (std::size_t i = 0; i < types.size(); ++i)
            EXPECT_EQ(table[i + 1].rfind(types[i], 0), 0u) << table[i + 1];
    }
}

// File names as the library holds them (UTF-8 on Windows, whatever the ANSI code page;
// the file system's bytes on Linux), display names converted from code page 936 to UTF-8,
// into a log file named beyond ASCII too.
TEST(RunLog, WritesNamesInUtf8AndDisplayNamesConverted) {
    const std::string korean = "\xEC\xB9\xB4\xEB\xA9\x94\xEB\x9D\xBC";
    const std::string name0 = u8"\u6d77\u5eb7\u5d4c\u5165\u5f0f";
    // A folder a host can name in InitParams, in any code page.
    const std::string folder = test::ExecutableDirectory() + "names" + platform::kPathSeparator + "log";
    std::vector<std::string> files = {"QXDVR" + korean + kExtension};
#if !defined(_WIN32)
    files.push_back("QXDVR\xFF" + kExtension);
#endif
    std::error_code ignored;
    std::filesystem::remove_all(test::FsPath(folder), ignored);
    std::filesystem::create_directories(test::FsPath(folder));
    for (const std::string& file : files)
        std::filesystem::copy_file(test::FsPath(test::PluginFile("types", "QXDVRType0" + kExtension)),
                                   test::FsPath(folder + platform::kPathSeparator + file));
    const auto lines = LogOf("names-" + korean, nullptr, [&](LoadedVelmora& library) { InitOver(library, folder); });
    EXPECT_TRUE(Contains(lines, "directory \"" + folder + "\" (given in InitParams)"));
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.rfind("candidate " + file + ": accepted: type ID 0, " + name0 + ", ", 0) == 0;
        }));
        EXPECT_TRUE(Contains(lines, "type ID 0: " + name0 + ", " + file));
    }
}

TEST(RunLog, ScanNamesFaultingCandidatesWithTheCall) {
    const auto lines = LogOf("faulty", nullptr, [](LoadedVelmora& library) { InitOver(library, PluginDirectory("faulty")); });
    EXPECT_TRUE(Contains(lines, "candidate QXDVRFaultSetPath_NULL_WRITE" + kExtension + ": passed over: a fault in SetPath"));
    EXPECT_TRUE(Contains(lines, "candidate QXDVRFaultTypeId_NULL_WRITE" + kExtension +
                                    ": passed over: a fault in GetServerTypeID (first call)"));
}

// Registry changes with the plug-in's result.
TEST(RunLog, RegistryChangesWithThePluginsResult) {
    const std::string one = "QXDVRRegOne" + kExtension + " (type ID 1)";
    const std::string zero = "QXDVRRegZero" + kExtension + " (type ID 0)";
    struct Step {
        std::function<void(LoadedVelmora&)> action;
        std::string line;
    };
    const std::vector<Step> steps = {
        {[](LoadedVelmora& l) { Login(l, 5, 1); },
         "LoginServer(server 5): " + one + " answered 1: server 5 registered under type ID 1"},
        {[](LoadedVelmora& l) { Login(l, 6, 9); }, "LoginServer(server 6, type ID 9): type not in the table, answered -1"},
        {[](LoadedVelmora& l) { l.LoginServer(nullptr); }, "LoginServer: no login record, answered -1"},
        {[](LoadedVelmora& l) {
             test::Recorder("registry", "QXDVRRegOne").SetResult("DelServer", 0);
             l.DelServer(5);
         },
         "DelServer(5): " + one + " answered 0: kept"},
        {[](LoadedVelmora& l) {
             test::Recorder("registry", "QXDVRRegOne").SetResult("DelServer", 1);
             l.DelServer(5);
         },
         "DelServer(5): " + one + " answered 1: removed"},
        {[](LoadedVelmora& l) { l.DelServer(5); }, "DelServer(5): no such server (or its type is not in the table), answered 1"},
        {[](LoadedVelmora& l) {
             test::Recorder("registry", "QXDVRRegZero").SetResult("LoginServer", -3);
             Login(l, 8, 0);
         },
         "LoginServer(server 8, type ID 0): " + zero + " answered -3: not registered"},
        {[](LoadedVelmora& l) {
             l.SetSelectServerCallBack(ChooseNone, 0);
             l.AddServer(7);
         },
         "AddServer(7): no type chosen (-1), answered -1"},
        {[](LoadedVelmora& l) {
             l.SetSelectServerCallBack(ChooseTypeZero, 0);
             l.AddServer(7);
         },
         "AddServer(7): " + zero + " answered 1: registered"},
        {[](LoadedVelmora& l) { l.AddServer(7); }, "AddServer(7): already registered, answered -2"},
    };
    const auto lines = LogOf("registry", nullptr, [&](LoadedVelmora& library) {
        // Plug-ins stay loaded across tests: these start from their defaults.
        const test::Recorder resetOne("registry", "QXDVRRegOne"), resetZero("registry", "QXDVRRegZero");
        InitOver(library, PluginDirectory("registry"));
        for (const Step& step : steps) step.action(library);
    });
    std::vector<std::string> registryLines, expected;
    for (const std::string& line : lines)
        for (const char* prefix : {"LoginServer", "DelServer", "AddServer"})
            if (line.rfind(prefix, 0) == 0) registryLines.push_back(line);
    for (const Step& step : steps) expected.push_back(step.line);
    EXPECT_EQ(registryLines, expected);
}

// At the verbose level only: a per-server call that reached no plug-in, and why.
TEST(RunLog, VerboseLevelTellsCallsAnsweredMinusOne) {
    const std::string bare = "QXDVRRegBare" + kExtension + " (type ID 2)";
    const auto session = [](LoadedVelmora& library) {
        const test::Recorder one("registry", "QXDVRRegOne"), resetZero("registry", "QXDVRRegZero");
        InitOver(library, PluginDirectory("registry"));
        // QXDVRRegBare has no LoginServer: RegOne's registers the server under its type.
        one.RewriteLogin(6, 2);
        Login(library, 6, 1);
        Login(library, 8, 0);
        library.GetHeader(999, 0, 0, 0);
        library.ChangeServer(6);
        library.ChangeServer(8);  // reaches its plug-in: no line
        InitOver(library, test::PluginDirectory("fault") + platform::kPathSeparator + "peer");
        library.StopPlay(8, 0);
    };
    const std::vector<std::string> expected = {
        "GetHeader(server 999) answered -1: no server 999 is registered",
        "ChangeServer(server 6) answered -1: " + bare + " does not export ChangeServer",
        "StopPlay(server 8) answered -1: its type ID 0 is not in the type table",
    };
    for (const char* level : {"verbose", "events"}) {
        SCOPED_TRACE(level);
        static const std::regex perServer(R"(^\w+\(server \d+\) answered -1: .*)");
        std::vector<std::string> unanswered;
        for (const std::string& line : LogOf(std::string("verbose_") + level, level, session))
            if (std::regex_match(line, perServer)) unanswered.push_back(line);
        EXPECT_EQ(unanswered, std::string(level) == "verbose" ? expected : std::vector<std::string>{});
    }
}

// Threads writing at once leave whole lines, each exactly once.
TEST(RunLog, ConcurrentWritesGiveWholeLines) {
    constexpr int kThreads = 4;
    constexpr int kCallsPerThread = 200;
    const auto lines = LogOf("threads", "verbose", [](LoadedVelmora& library) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&library, t] {
                for (int i = 0; i < kCallsPerThread; ++i) library.ChangeServer(100000 * (t + 1) + i);
            });
        for (auto& thread : threads) thread.join();
    });
    std::vector<std::string> expected, seen;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kCallsPerThread; ++i) {
            const std::string server = std::to_string(100000 * (t + 1) + i);
            expected.push_back("ChangeServer(server " + server + ") answered -1: no server " + server + " is registered");
        }
    for (const std::string& line : lines)
        if (line.rfind("Velmora ", 0) != 0) seen.push_back(line);
    std::sort(expected.begin(), expected.end());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, expected);
}

#if defined(_WIN32)
// Ends the process with the exception's code once every filter had its say, as Windows
// does without a debugger; Wine would start its debugger first.
LONG WINAPI EndProcessUnhandled(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }
#endif

// A plug-in faulting in a per-server call or on a thread of its own, in a child process:
// the log's last line names the plug-in file, the fault and the entry point in progress on
// the faulting thread, and the process ends as it would have. One death test per case: a
// Windows child runs the test body again up to its own one.
struct CrashCase {
    std::string name;
    std::string folder;  // under plugins/
    std::string plugin;  // file name without extension
    VelmoraInt typeId;
    std::function<void(LoadedVelmora&)> call;
    std::string during;  // the entry point in progress, or empty for none
};

void PrintTo(const CrashCase& c, std::ostream* out) { *out << c.name; }

class RunLogCrashDeathTest : public testing::TestWithParam<CrashCase> {};

TEST_P(RunLogCrashDeathTest, LeavesALastLineNamingThePlugin) {
    const CrashCase& c = GetParam();
    const std::string folder = test::PluginDirectory(c.folder);
    const std::string path = LogFile("crash_" + c.name);
    const auto crash = [&] {
#if defined(_WIN32)
        SetUnhandledExceptionFilter(EndProcessUnhandled);
#endif
        const ScopedVariable target("VELMORA_LOG", path.c_str());
        LoadedVelmora library;
        InitOver(library, folder);
        Login(library, 100, c.typeId);
        c.call(library);
        // A plug-in's own thread faults meanwhile.
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    };
#if defined(_WIN32)
    EXPECT_EXIT(crash(), testing::ExitedWithCode(static_cast<int>(EXCEPTION_ACCESS_VIOLATION)), "");
    const std::string fault = "crash: exception 0xc0000005 (access violation) in code of ";
#else
    // By the signal natively, by a report and an exit status under a sanitizer.
    EXPECT_DEATH(crash(), "");
    const std::string fault = "crash: SIGSEGV (invalid memory access) in code of ";
#endif
    const auto lines = LinesOf(path);
    ASSERT_FALSE(lines.empty());
    const std::string& last = lines.back();
    const std::string plugin = c.plugin + kExtension;
    EXPECT_EQ(last.rfind(fault, 0), 0u) << last;
    const std::string during = c.during.empty() ? "no entry point in progress" : "during " + c.during + " of .*" + plugin;
    EXPECT_TRUE(std::regex_match(last, std::regex(".* in code of .*" + plugin + " at 0x[0-9a-f]+, " + during))) << last;
}

CrashCase FaultIn(const std::string& entryPoint, std::function<void(LoadedVelmora&)> call) {
    const std::string folder = std::string("fault") + platform::kPathSeparator + entryPoint + "_NULL_WRITE";
    return {entryPoint, folder, "QXDVRFault_" + entryPoint + "_NULL_WRITE", 70, std::move(call), entryPoint};
}

INSTANTIATE_TEST_SUITE_P(
    PluginCode, RunLogCrashDeathTest,
    testing::Values(FaultIn("GetHeader", [](LoadedVelmora& l) { l.GetHeader(100, 0, 0, 0); }),
                    FaultIn("StartPlay", [](LoadedVelmora& l) { l.StartPlay(100, 0, 0, 0, 0, 0); }),
                    CrashCase{"OwnThread", "ownthread", "QXDVROwnThread", 80,
                              [](LoadedVelmora& l) { l.StartPlay(100, 0, 0, 0, 0, 0); }, ""}),
    [](const testing::TestParamInfo<CrashCase>& info) { return info.param.name; });

}  // namespace
}  // namespace velmora
