// abort() and the fault guard: only an abort() on the guarded thread is contained, and a
// contained one changes nothing for the aborts that follow it.
#include "core/server_types.h"
#include "test_support.h"

#include "journal.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <pthread.h>
#include <signal.h>
#endif

namespace velmora {
namespace {

using test::Journal;

// Said by the host's own SIGABRT handler, which then ends the process. The exit status
// is not checked: a memory checker may replace it with its own.
constexpr char kHostHandlerSays[] = "the host's SIGABRT handler ran";

void HostAbortHandler(int) {
    std::fputs(kHostHandlerSays, stderr);
    std::fflush(stderr);
    std::_Exit(42);
}

bool AnyExit(int) { return true; }

// How a process without a SIGABRT handler ends by abort().
#if defined(_WIN32)
const auto kAborted = testing::ExitedWithCode(3);
#else
const auto kAborted = testing::KilledBySignal(SIGABRT);
#endif

// An abort() on a thread of its own while this thread runs a guarded call.
void AbortBesideAGuardedCall() {
    platform::RunGuarded([](void*) { std::thread([] { std::abort(); }).join(); }, nullptr);
}

TEST(FaultGuard, AnAbortOnAnotherThreadGoesToTheHandlerTheHostHad) {
    EXPECT_EXIT(AbortBesideAGuardedCall(), kAborted, "");
    EXPECT_EXIT((std::signal(SIGABRT, HostAbortHandler), AbortBesideAGuardedCall()), AnyExit, kHostHandlerSays);
}

// The faulty folder holds two plug-ins that call abort(), which the scan contains.
void AbortAfterContainedOnes() {
    ScanPluginDirectory(test::PluginDirectory("faulty"), "");
    std::thread([] { ScanPluginDirectory(test::PluginDirectory("faulty"), ""); }).join();
    std::abort();
}

TEST(FaultGuard, AnAbortOutsideGuardedCallsEndsTheProcessAfterContainedOnes) {
    EXPECT_EXIT(AbortAfterContainedOnes(), kAborted, "");
    EXPECT_EXIT((std::signal(SIGABRT, HostAbortHandler), AbortAfterContainedOnes()), AnyExit, kHostHandlerSays);
}

TEST(FaultGuard, AContainedAbortLeavesTheSignalMaskAsItWas) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows threads have no signal mask";
#else
    // abort() unblocks SIGABRT before raising it; the jump out of the handler must undo that.
    sigset_t blocked, before, after;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGABRT);
    sigaddset(&blocked, SIGUSR1);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &before), 0);
    sigset_t expected;
    pthread_sigmask(SIG_BLOCK, nullptr, &expected);
    JournalClear();
    ScanPluginDirectory(test::PluginDirectory("faulty"), "");
    pthread_sigmask(SIG_SETMASK, &before, &after);
    for (int signal = 1; signal < NSIG; ++signal)
        EXPECT_EQ(sigismember(&after, signal), sigismember(&expected, signal)) << "signal " << signal;
    EXPECT_EQ(Journal("FaultTypeId_ABORT").size(), 1u);
#endif
}

// What a plug-in's constructors do while the system loads it: on Linux the fault takes its
// course, as jumping out of the loader would leave it locked for every other thread; the
// Windows loader contains it itself and fails the load.
TEST(FaultGuard, AFaultWhileAPluginIsLoadedIsContainedOnlyByTheWindowsLoader) {
    for (const std::string kind : {"NULL_WRITE", "ABORT"}) {
        SCOPED_TRACE(kind);
        const std::string folder = test::PluginDirectory("faultonload") + platform::kPathSeparator + kind;
#if defined(_WIN32)
        std::map<std::string, CandidateReport> reports;
        const ServerTypeTable table = ScanPluginDirectory(folder, "", [&](const std::string& name, const CandidateReport& report) {
            reports[name] = report;
        });
        ASSERT_EQ(table.size(), 1u);
        EXPECT_EQ(table[0]->typeId, 91);
        const CandidateReport& faulty = reports.at("QXDVRFaultOnLoad_" + kind + platform::kPluginExtension);
        EXPECT_EQ(faulty.outcome, CandidateOutcome::NotLoadable) << faulty.loadError << faulty.faultedCall;
        EXPECT_EQ(Journal("FaultOnLoad_" + kind), std::vector<std::string>{});
#else
        // Without the helper process, which would condemn the file first.
        ScreeningSettings inProcess;
        inProcess.enabled = false;
        EXPECT_DEATH(ScanPluginDirectory(folder, "", {}, inProcess), "");
#endif
    }
}

}  // namespace
}  // namespace velmora
