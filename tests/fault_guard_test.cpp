// abort() and the fault guard: only an abort() on the guarded thread is contained, and a
// contained one changes nothing for the aborts that follow it.
#include "core/server_types.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <thread>

namespace velmora {
namespace {

constexpr int kHostHandlerStatus = 42;

void HostAbortHandler(int) { std::_Exit(kHostHandlerStatus); }

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
    EXPECT_EXIT((std::signal(SIGABRT, HostAbortHandler), AbortBesideAGuardedCall()),
                testing::ExitedWithCode(kHostHandlerStatus), "");
}

// The faulty folder holds two plug-ins that call abort(), which the scan contains.
void AbortAfterContainedOnes() {
    ScanPluginDirectory(test::PluginDirectory("faulty"), "");
    std::thread([] { ScanPluginDirectory(test::PluginDirectory("faulty"), ""); }).join();
    std::abort();
}

TEST(FaultGuard, AnAbortOutsideGuardedCallsEndsTheProcessAfterContainedOnes) {
    EXPECT_EXIT(AbortAfterContainedOnes(), kAborted, "");
    EXPECT_EXIT((std::signal(SIGABRT, HostAbortHandler), AbortAfterContainedOnes()),
                testing::ExitedWithCode(kHostHandlerStatus), "");
}

}  // namespace
}  // namespace velmora
