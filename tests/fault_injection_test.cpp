// A fault in each of the thirty-one plug-in entry points, by a null write and by a C++ throw.
// While a candidate is examined the fault costs that candidate only. Anywhere else the
// library catches nothing: the fault reaches the host, and a host that survives it finds
// the registry and the type table as they were before the call.
#include "core/server_types.h"
#include "plugin/entry_point_table.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sstream>
#endif

namespace velmora {
namespace {

using test::LoadedVelmora;
using test::MakeParams;

// The fixtures of tests/fixtures/fault_everywhere.cpp answer their type ID from every
// entry point that does not fault.
constexpr VelmoraInt kFaultType = 70;
constexpr VelmoraInt kPeerType = 71;
// Registered under the faulting plug-in, under the peer, and the one a faulting
// AddServer or LoginServer was about to register.
constexpr VelmoraInt kFaultServer = 100;
constexpr VelmoraInt kPeerServer = 101;
constexpr VelmoraInt kNewServer = 102;

struct FaultCase {
    std::string entryPoint;
    std::string kind;  // NULL_WRITE or THROW
};

std::string CaseName(const testing::TestParamInfo<FaultCase>& info) {
    return info.param.entryPoint + "_" + info.param.kind;
}

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.entryPoint << ' ' << c.kind; }

bool DuringDiscovery(const std::string& entryPoint) {
    return entryPoint == "GetServerTypeID" || entryPoint == "SetPath" || entryPoint == "GetServerTypeName";
}

std::vector<FaultCase> Cases(bool duringDiscovery) {
    std::vector<FaultCase> cases;
    for (const auto& entry : kEntryPoints)
        if (DuringDiscovery(entry.name) == duringDiscovery)
            for (const char* kind : {"NULL_WRITE", "THROW"}) cases.push_back({entry.name, kind});
    return cases;
}

std::string FaultFolder(const std::string& name) {
    return test::PluginDirectory("fault") + platform::kPathSeparator + name;
}

// What the host sees of a plug-in's throw that the library lets through.
std::string SeenOfThrow() {
#if defined(_WIN32) && !defined(_WIN64)
    // The i686 DWARF unwinder of the plug-in's own runtime knows no frame outside its DLL,
    // so the throw ends in std::terminate and abort() there: only the host's SIGABRT
    // handler gets to see it, here the one of the guard.
    return "fault";
#else
    return "C++ exception: plug-in failure";
#endif
}

std::string ExpectedSeen(const FaultCase& c) { return c.kind == "THROW" ? SeenOfThrow() : "fault"; }

// Calls as a host that survives plug-in faults: a try/catch for C++ exceptions inside a
// fault guard of its own (the library's guard, linked into this executable, placed around
// the export call). Answers "returned N", "C++ exception: what" or "fault".
template <typename Call>
std::string CallAsHost(const Call& call) {
    struct Context {
        const Call* call;
        std::string seen;
    } context{&call, {}};
    const auto trampoline = [](void* raw) {
        auto* ctx = static_cast<Context*>(raw);
        try {
            const VelmoraInt result = (*ctx->call)();
            ctx->seen = "returned " + std::to_string(result);
        } catch (const std::exception& e) {
            ctx->seen = std::string("C++ exception: ") + e.what();
        } catch (...) {
            ctx->seen = "C++ exception of another type";
        }
    };
    return platform::RunGuarded(trampoline, &context) ? context.seen : "fault";
}

VelmoraInt VELMORA_CALL ChooseType(VelmoraInt count, const char* const*, VelmoraWord user) {
    const auto& types = *reinterpret_cast<const std::vector<VelmoraInt>*>(user);
    for (VelmoraInt i = 0; i < count && static_cast<std::size_t>(i) < types.size(); ++i)
        if (types[i] == kFaultType) return i;
    return -1;
}

void VELMORA_CALL CollectType(VelmoraInt typeId, const char*, VelmoraWord user) {
    reinterpret_cast<std::vector<VelmoraInt>*>(user)->push_back(typeId);
}

template <typename... Rest>
VelmoraInt CallWithServer(VelmoraInt(VELMORA_CALL* function)(VelmoraInt, Rest...), VelmoraInt server) {
    return function(server, Rest{}...);
}

#define FAULT_PER_SERVER_EXPORTS(X)                                                            \
    X(GetHeader) X(ChangeServer) X(ChangeChannel) X(GetSvChInfo) X(GetChannelInfo)             \
    X(GetServerInfo) X(LoadPreInfo) X(GoToPreset) X(DelPreset) X(SetPreset) X(PTZControl)      \
    X(GetProtocolInfo) X(StartGetVideoData) X(StopGetVideoData) X(GetCapFileList) X(StartPlay) \
    X(StopPlay) X(PlayCtrl) X(StartCapture) X(StopCapture)

// A host driving the library through the fault folder of one case.
class Host {
public:
    explicit Host(const FaultCase& c)
        : entryPoint_(c.entryPoint),
          folderPath_(FaultFolder(c.entryPoint + "_" + c.kind)),
          folder_(MakeParams("", folderPath_)),
          peerOnly_(MakeParams("", FaultFolder("peer"))) {}

    // The export call that reaches the entry point; nothing on this frame needs
    // destroying, as a fault may leave it without unwinding.
    VelmoraInt Act() {
        const std::string& e = entryPoint_;
        if (e == "InitDLL" || e == "InitClient" || DuringDiscovery(e)) return library_.InitSvManage(&folder_, 0);
        if (e == "DeInitDLL" || e == "DeInitClient") return library_.DeInitSvManage();
        if (e == "SetSvMsgCallBack") return library_.SetSvMsgCallBack(1, 2);
        if (e == "AddServer") return library_.AddServer(kNewServer);
        if (e == "DelServer") return library_.DelServer(kFaultServer);
        if (e == "LoginServer") {
            VelmoraLoginRecord record{kNewServer, kFaultType};
            return library_.LoginServer(&record);
        }
#define FAULT_ACT(name) \
    if (e == #name) return CallWithServer(library_.name, kFaultServer);
        FAULT_PER_SERVER_EXPORTS(FAULT_ACT)
#undef FAULT_ACT
        throw std::logic_error("no export reaches " + e);
    }

    // Discovers the fault folder, or only the peer when the fault lies in initialisation,
    // and registers a server under each plug-in there; what went wrong, if anything.
    std::string Arrange() {
        std::string problems;
        const auto check = [&](const char* step, VelmoraInt result) {
            if (result <= 0) problems += std::string(step) + " answered " + std::to_string(result) + "; ";
        };
        const bool initialisationFaults = entryPoint_ == "InitDLL" || entryPoint_ == "InitClient";
        check("InitSvManage", library_.InitSvManage(initialisationFaults ? &peerOnly_ : &folder_, 0));
        types_ = Types();
        check("SetSelectServerCallBack",
              library_.SetSelectServerCallBack(ChooseType, reinterpret_cast<VelmoraWord>(&types_)));
        if (!initialisationFaults)
            check("registering under the faulting plug-in",
                  entryPoint_ == "LoginServer" ? library_.AddServer(kFaultServer) : Login(kFaultServer, kFaultType));
        check("registering under the peer", Login(kPeerServer, kPeerType));
        return problems;
    }

    // The type table, as the type IDs GetServerTypeInfo lists in table order.
    std::vector<VelmoraInt> Types() {
        std::vector<VelmoraInt> types;
        library_.GetServerTypeInfo(CollectType, reinterpret_cast<VelmoraWord>(&types));
        return types;
    }
    std::string TypesText() { return Text(Types()); }

    // Which plug-in each server reaches, -1 for none, through an export other than the
    // faulting one.
    std::string RegistryText() {
        std::string text;
        for (VelmoraInt server : {kFaultServer, kPeerServer, kNewServer}) {
            const VelmoraInt reached = entryPoint_ == "ChangeServer" ? library_.ChangeChannel(server, 0)
                                                                     : library_.ChangeServer(server);
            text += std::to_string(server) + "->" + std::to_string(reached) + " ";
        }
        return text;
    }

    // The table a scan of the fault folder builds, as GetServerTypeInfo would list it.
    std::string TypesOfFolder() const {
        std::vector<VelmoraInt> types;
        for (const auto& record : ScanPluginDirectory(folderPath_, ""))
            types.push_back(record->typeId);
        return Text(types);
    }

private:
    static std::string Text(const std::vector<VelmoraInt>& types) {
        std::string text;
        for (VelmoraInt type : types) text += std::to_string(type) + " ";
        return text;
    }
    VelmoraInt Login(VelmoraInt server, VelmoraInt type) {
        VelmoraLoginRecord record{server, type};
        return library_.LoginServer(&record);
    }

    const std::string entryPoint_;
    const std::string folderPath_;
    const VelmoraInitParams folder_;
    const VelmoraInitParams peerOnly_;
    LoadedVelmora library_;
    std::vector<VelmoraInt> types_;
};

// What one case left behind: every field a line of text.
struct Report {
    std::string problems;
    std::string seen;
    std::string typesBefore;
    std::string typesAfter;
    std::string typesExpected;
    std::string registryBefore;
    std::string registryAfter;
};

Report RunCase(const FaultCase& c) {
    Report report;
    Host host(c);
    report.problems = host.Arrange();
    report.typesBefore = host.TypesText();
    report.registryBefore = host.RegistryText();
    // Initialisation comes after discovery: the table is the one the scan built.
    report.typesExpected = c.entryPoint == "InitDLL" || c.entryPoint == "InitClient" ? host.TypesOfFolder()
                                                                                     : report.typesBefore;
    report.seen = CallAsHost([&] { return host.Act(); });
    report.typesAfter = host.TypesText();
    report.registryAfter = host.RegistryText();
    return report;
}

#if !defined(_WIN32)
// A host that jumps out of a fault handler abandons the library's frames with whatever
// they own, so on Linux a hardware fault is taken in a child process. Once the child has
// written its report, it waits to be killed: the abandoned memory goes with it, and no
// exit-time leak check of a memory checker counts it as the library's.
Report RunInChild(const FaultCase& c) {
    int channel[2];
    if (pipe(channel) != 0) throw std::runtime_error("pipe failed");
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        close(channel[0]);
        std::string text;
        try {
            const Report r = RunCase(c);
            for (const std::string* field : {&r.problems, &r.seen, &r.typesBefore, &r.typesAfter,
                                             &r.typesExpected, &r.registryBefore, &r.registryAfter})
                text += *field + "\n";
            text += "end\n";
        } catch (const std::exception& e) {
            text = std::string("the child failed: ") + e.what() + "\n";
        }
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = write(channel[1], text.data() + done, text.size() - done);
            if (n <= 0 && errno != EINTR) break;
            if (n > 0) done += static_cast<std::size_t>(n);
        }
        close(channel[1]);
        for (;;) pause();
    }
    close(channel[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR) break;
    }
    close(channel[0]);
    kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }

    std::istringstream lines(text);
    Report r;
    std::string end;
    for (std::string* field : {&r.problems, &r.seen, &r.typesBefore, &r.typesAfter, &r.typesExpected,
                               &r.registryBefore, &r.registryAfter, &end})
        std::getline(lines, *field);
    if (end != "end" || !WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL)
        r.problems += "the child ended early (wait status " + std::to_string(status) + "): " + text;
    return r;
}
#endif

class FaultOutsideDiscovery : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultOutsideDiscovery, ReachesTheHostAndLeavesRegistryAndTypeTableAsTheyWere) {
    const FaultCase& c = GetParam();
#if defined(_WIN32)
    const Report report = RunCase(c);
#else
    const Report report = c.kind == "NULL_WRITE" ? RunInChild(c) : RunCase(c);
#endif
    ASSERT_EQ(report.problems, "");
    EXPECT_EQ(report.seen, ExpectedSeen(c));

    // The arrangement the call started from: both plug-ins in the table (only the peer
    // before an initialisation that discovers the faulting one), a server under each.
    const bool initialisation = c.entryPoint == "InitDLL" || c.entryPoint == "InitClient";
    EXPECT_EQ(report.typesBefore, initialisation ? "71 " : report.typesExpected);
    EXPECT_EQ(report.registryBefore, initialisation ? "100->-1 101->71 102->-1 " : "100->70 101->71 102->-1 ");
    if (initialisation) {
        EXPECT_EQ(report.typesExpected.size(), 6u) << report.typesExpected;
        EXPECT_NE(report.typesExpected.find("70 "), std::string::npos) << report.typesExpected;
    }

    EXPECT_EQ(report.typesAfter, report.typesExpected);
    EXPECT_EQ(report.registryAfter, report.registryBefore);
}

INSTANTIATE_TEST_SUITE_P(EveryEntryPoint, FaultOutsideDiscovery, testing::ValuesIn(Cases(false)), CaseName);

class FaultDuringDiscovery : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultDuringDiscovery, PassesTheCandidateOverAndTheScanGoesOn) {
    Host host(GetParam());
    EXPECT_EQ(CallAsHost([&] { return host.Act(); }), "returned 1");
    EXPECT_EQ(host.TypesText(), "71 ");
}

INSTANTIATE_TEST_SUITE_P(EveryEntryPoint, FaultDuringDiscovery, testing::ValuesIn(Cases(true)), CaseName);

class FaultWithoutHostHandler : public testing::TestWithParam<FaultCase> {};

#if defined(_WIN32)
// Ends the process with the exception's code at once, as Windows does without a debugger;
// Wine would start its debugger first. Consulted only once no frame handled the exception.
LONG WINAPI EndProcessUnhandled(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }
#endif

// A host that handles nothing ends as it would without the library: by the null write's
// access violation, or by std::terminate for the throw (the host's own frames are noexcept,
// as those of a host written in C have no unwind information).
TEST_P(FaultWithoutHostHandler, EndsTheProcess) {
    const FaultCase& c = GetParam();
    Host host(c);
    ASSERT_EQ(host.Arrange(), "");
    const auto handlesNothing = [&]() noexcept {
#if defined(_WIN32)
        SetUnhandledExceptionFilter(EndProcessUnhandled);
#endif
        host.Act();
    };
#if defined(_WIN32)
    // msvcrt's abort() exits with 3. On x86_64 the host's own runtime terminates, and it
    // cannot name an exception object of the plug-in's runtime.
    if (c.kind == "THROW")
        EXPECT_EXIT(handlesNothing(), testing::ExitedWithCode(3), "terminate called");
    else
        EXPECT_EXIT(handlesNothing(), testing::ExitedWithCode(static_cast<int>(EXCEPTION_ACCESS_VIOLATION)), "");
#else
    // By a signal natively, by a report and an exit status under a sanitizer: any death.
    EXPECT_DEATH(handlesNothing(), c.kind == "THROW" ? "plug-in failure" : "");
#endif
}

INSTANTIATE_TEST_SUITE_P(EveryEntryPoint, FaultWithoutHostHandler, testing::ValuesIn(Cases(false)), CaseName);

}  // namespace
}  // namespace velmora
