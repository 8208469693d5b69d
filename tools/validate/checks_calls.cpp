// The checks that drive a bound plug-in as a host does: the calling convention, calls for a
// server never added, the message callback, the life cycle and its resources, and threads.
#include "check.h"
#include "entry_calls.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <thread>

namespace velmora::validate {

namespace {

using Clock = std::chrono::steady_clock;

// The check's plug-in, or null once the reason has been reported as a skip.
const TServerTypeDLL* BoundPlugin(CheckContext& context, CheckRun& run) {
    std::string why;
    const ServerTypeRecord* record = context.Plugin(run, why);
    if (!record) run.Skip(why);
    return record ? record->plugin.get() : nullptr;
}

bool ExportsAny(const TServerTypeDLL& plugin, const std::vector<EntryPoint>& entries) {
    return std::any_of(entries.begin(), entries.end(), [&](EntryPoint entry) { return plugin.Has(entry); });
}

std::vector<EntryPoint> Joined(std::initializer_list<std::vector<EntryPoint>> parts) {
    std::vector<EntryPoint> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// ---- The message callback the validator hands over: stdcall with three words, as a host's.

std::atomic<std::uint64_t> checkThread{0};
std::atomic<long> messagesHere{0};
std::atomic<long> messagesElsewhere{0};

void VELMORA_CALL TakeMessage(VelmoraInt, VelmoraInt, VelmoraWord) {
    (platform::CurrentThreadId() == checkThread ? messagesHere : messagesElsewhere)++;
}

// ---- Threads of the plug-in.

// The threads that were not there before the plug-in was loaded, other than the caller;
// waits up to a second for them to end.
std::vector<platform::ThreadInfo> ThreadsLeft(const CheckContext& context) {
    std::set<std::uint64_t> known;
    for (const auto& thread : context.threadsBeforeLoading()) known.insert(thread.id);
    known.insert(platform::CurrentThreadId());
    std::vector<platform::ThreadInfo> left;
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    do {
        left.clear();
        for (auto& thread : platform::ListThreads())
            if (!known.count(thread.id)) left.push_back(std::move(thread));
        if (left.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    } while (Clock::now() < deadline);
    return left;
}

struct Counts {
    long long handles, memory, threads;
};

Counts Measure() {
    const long long threads = static_cast<long long>(platform::ListThreads().size());
    const platform::ResourceCounts counts = platform::CountResources();
    return {counts.handles, counts.memory, threads};
}

std::string Amount(long long value, bool bytes) {
    if (!bytes) return std::to_string(value);
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(value) / (1 << 20));
    return text;
}

// A thread that calls the per-server entry points for a server never added, rounds times,
// and can be watched from another while it does.
class CallingThread {
public:
    CallingThread(const TServerTypeDLL& plugin, const std::vector<EntryPoint>& calls, int rounds, std::atomic<int>& ready,
                  int together)
        : plugin_(plugin), calls_(calls), rounds_(rounds), ready_(ready), together_(together) {}

    void Start() { thread_ = std::thread([this] { Run(); }); }
    bool done() const { return done_; }
    // The entry point it has been in for longer than stalledMs, or null.
    const char* StuckIn(int stalledMs) const {
        const int current = current_;
        if (current < 0) return nullptr;
        const auto since = Clock::time_point(Clock::duration(since_.load()));
        return Clock::now() - since > std::chrono::milliseconds(stalledMs) ? NameOf(static_cast<EntryPoint>(current)) : nullptr;
    }
    void Finish(bool stuck) {
        if (stuck)
            thread_.detach();
        else
            thread_.join();
    }
    const std::string& faulted() const { return faulted_; }

private:
    void Run() {
        // All start together, so that calls overlap from the first.
        ++ready_;
        while (ready_ < together_) std::this_thread::yield();
        for (int round = 0; round < rounds_ && faulted_.empty(); ++round) {
            for (const EntryPoint which : calls_) {
                const platform::Symbol entry = plugin_.entries()[IndexOf(which)];
                arguments_.server = kServerNeverAdded;
                arguments_.ClearScratch(ParameterCount(which));
                since_ = Clock::now().time_since_epoch().count();
                current_ = static_cast<int>(IndexOf(which));
                const bool completed = CallEntryPoint(entry, which, arguments_).completed;
                current_ = -1;
                if (!completed) {
                    faulted_ = NameOf(which);
                    break;
                }
            }
        }
        done_ = true;
    }

    const TServerTypeDLL& plugin_;
    const std::vector<EntryPoint> calls_;
    const int rounds_;
    std::atomic<int>& ready_;
    const int together_;
    Arguments arguments_;
    std::thread thread_;
    std::atomic<int> current_{-1};
    std::atomic<Clock::rep> since_{0};
    std::atomic<bool> done_{false};
    std::string faulted_;  // read once done
};

// Runs count threads at once, watching for a stuck call; false once it has reported a
// finding (a fault or a stuck call).
bool CallFromThreads(const TServerTypeDLL& plugin, const std::vector<EntryPoint>& calls, CheckRun& run, int count,
                     int rounds, const std::string& circumstance) {
    std::atomic<int> ready{0};
    std::vector<std::unique_ptr<CallingThread>> threads;
    for (int i = 0; i < count; ++i) threads.push_back(std::make_unique<CallingThread>(plugin, calls, rounds, ready, count));
    run.Step("", "the per-server calls " + circumstance, kValidatorWorkMs * 2);
    for (auto& thread : threads) thread->Start();
    for (;;) {
        const bool allDone = std::all_of(threads.begin(), threads.end(), [](const auto& t) { return t->done(); });
        if (allDone) break;
        for (const auto& thread : threads) {
            if (const char* stuck = thread->StuckIn(kStalledMs)) {
                // A stuck thread still uses its object: they are left behind with it, for the
                // process to end.
                for (auto& each : threads) each.release()->Finish(true);
                run.Taint();
                run.Avoid(stuck);
                run.Fail(stuck, std::string("it did not return within ") + Seconds(kStalledMs / 1000.0) + " when called " +
                                    circumstance + " (a deadlock?)");
                return false;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::set<std::string> faulted;
    for (auto& thread : threads) {
        thread->Finish(false);
        if (!thread->faulted().empty()) faulted.insert(thread->faulted());
    }
    for (const std::string& entryPoint : faulted) {
        run.Taint();
        run.Avoid(entryPoint);
        run.Fail(entryPoint, "a fault when called " + circumstance);
    }
    return !run.failed();
}

}  // namespace

#if defined(_WIN32) && !defined(_WIN64)
namespace {

std::string StackOffWords(EntryPoint which, int off) {
    const int contract = ContractArgumentBytes(which);
    const int taken = contract + off;
    if (taken == 0 && contract > 0)
        return "took none of its " + std::to_string(contract) +
               " bytes of arguments off the stack: it is cdecl; define it with VELMORA_CALL (stdcall)";
    if (taken > 0 && taken % 4 == 0)
        return "took " + std::to_string(taken) + " bytes of arguments off the stack where a host pushes " +
               std::to_string(contract) + ": it is declared with " + std::to_string(taken / 4) +
               " argument words, the contract has " + std::to_string(contract / 4);
    return "came back with the stack pointer " + std::to_string(off) + " bytes off";
}

}  // namespace
#endif

void CheckCallingConvention(CheckContext& context, CheckRun& run) {
#if !defined(_WIN32) || defined(_WIN64)
    (void)context;
    run.Skip("only the 32-bit build passes every argument on the stack for the callee to remove, where a wrong "
             "convention or argument count unbalances it");
#else
    const TServerTypeDLL* plugin = BoundPlugin(context, run);
    if (!plugin) return;
    Arguments arguments;
    arguments.text = context.pluginPath().c_str();
    int called = 0;
    CallInTurn(context, *plugin, run, HostOrder(), arguments, [&](EntryPoint which, const CallResult& result) {
        ++called;
        if (!result.completed)
            run.Fail(NameOf(which), "a fault when called with " + std::to_string(ContractArgumentBytes(which)) +
                                        " bytes of harmless arguments");
        else if (result.stackBytesOff != 0)
            run.Fail(NameOf(which), StackOffWords(which, result.stackBytesOff));
    }, " with harmless arguments, the stack pointer measured");
    run.Pass("each of the " + std::to_string(called) + " exported entry points took exactly its arguments off the stack");
#endif
}

void CheckUnknownServer(CheckContext& context, CheckRun& run) {
    const TServerTypeDLL* plugin = BoundPlugin(context, run);
    if (!plugin) return;
    if (!ExportsAny(*plugin, PerServerCalls())) return run.Skip("it exports none of the twenty per-server calls");
    Arguments arguments;
    const std::string server = "server " + std::to_string(kServerNeverAdded) + ", never added";
    int called = 0;
    double slowest = 0;
    CallInTurn(context, *plugin, run, Joined({{EntryPoint::InitDLL, EntryPoint::InitClient}, PerServerCalls(),
                                     {EntryPoint::DeInitClient, EntryPoint::DeInitDLL}}),
               arguments, [&](EntryPoint which, const CallResult& result) {
                   const Role role = RoleOf(which);
                   if (role != Role::PerServer && role != Role::PerHandle) {
                       if (!result.completed) run.Fail(NameOf(which), "a fault");
                       return;
                   }
                   ++called;
                   const std::string forWhat = role == Role::PerServer ? "for " + server : "with a handle never given";
                   double seconds = result.seconds;
                   if (result.completed && seconds * 1000 > kPromptMs) {
                       // A machine busy elsewhere may hold one call up; a slow plug-in is slow every time.
                       run.Step(NameOf(which), NameOf(which) + (", again: it took " + Seconds(seconds)), kStalledMs);
                       arguments.ClearScratch(ParameterCount(which));
                       const CallResult again = CallEntryPoint(plugin->entries()[IndexOf(which)], which, arguments);
                       if (again.completed) seconds = std::min(seconds, again.seconds);
                   }
                   slowest = std::max(slowest, seconds);
                   if (!result.completed)
                       run.Fail(NameOf(which), "a fault " + forWhat);
                   else if (seconds * 1000 > kPromptMs) {
                       run.Avoid(NameOf(which));
                       run.Fail(NameOf(which), "it took " + Seconds(seconds) + " at the least, called twice, to answer " +
                                                   forWhat + "; the limit is " + Seconds(kPromptMs / 1000.0));
                   } else if (role == Role::PerServer && result.result > 0)
                       run.Fail(NameOf(which), "it answered " + std::to_string(result.result) + ", success, " + forWhat +
                                                   ": answer 0 or below for a server you do not know");
               }, ", " + server);
    run.Pass("each of the " + std::to_string(called) + " exported per-server calls answered 0 or below for " + server +
             "; the slowest took " + Seconds(slowest) + " (the limit is " + Seconds(kPromptMs / 1000.0) + ")");
}

void CheckMessageCallback(CheckContext& context, CheckRun& run) {
    const TServerTypeDLL* plugin = BoundPlugin(context, run);
    if (!plugin) return;
    if (!plugin->Has(EntryPoint::SetSvMsgCallBack)) return run.Skip("SetSvMsgCallBack is not exported");
    Arguments arguments;
    arguments.callback = reinterpret_cast<VelmoraWord>(&TakeMessage);
    arguments.callbackUser = 0x5EED;
    checkThread = platform::CurrentThreadId();
    const long hereBefore = messagesHere, elsewhereBefore = messagesElsewhere;
    long seen = hereBefore;
    std::set<std::string> callers;
    std::string faultedAlone;
    CallInTurn(context, *plugin, run, Joined({{EntryPoint::InitDLL, EntryPoint::InitClient, EntryPoint::SetSvMsgCallBack,
                                      EntryPoint::AddServer},
                                     PerServerCalls(),
                                     {EntryPoint::LoginServer, EntryPoint::DelServer, EntryPoint::DeInitClient,
                                      EntryPoint::DeInitDLL}}),
               arguments, [&](EntryPoint which, const CallResult& result) {
                   const bool calledBack = messagesHere != seen;
                   seen = messagesHere;
                   if (!calledBack) {
                       if (!result.completed) faultedAlone = NameOf(which);
                       return;
                   }
                   callers.insert(NameOf(which));
                   const std::string how = "the plug-in calls it other than as a host's callback, stdcall with three "
                                           "words (server, message, user value); declare the callback's type with "
                                           "VELMORA_CALL and those parameters";
                   if (!result.completed)
                       run.Fail("SetSvMsgCallBack", std::string(NameOf(which)) +
                                                        " faulted after calling the message callback, as when " + how);
                   else if (result.stackBytesOff != 0)
                       run.Fail("SetSvMsgCallBack", std::string(NameOf(which)) + " called the message callback and came "
                                "back with the stack pointer " + std::to_string(result.stackBytesOff) + " bytes off: " + how);
               }, " with the validator's message callback set");
    if (run.failed()) return;
    if (!faultedAlone.empty()) return run.Fail(faultedAlone, "a fault with harmless arguments, the callback not called");
    const long here = messagesHere - hereBefore, elsewhere = messagesElsewhere - elsewhereBefore;
    if (here == 0 && elsewhere == 0)
        return run.Skip("the plug-in did not call the callback during AddServer, the per-server calls, LoginServer "
                        "and DelServer: nothing to measure");
    std::string from;
    for (const std::string& caller : callers) from += (from.empty() ? "" : ", ") + caller;
    run.Pass("called " + std::to_string(here) + " time(s) from " + (from.empty() ? "no call" : from) +
             (elsewhere > 0 ? " and " + std::to_string(elsewhere) + " time(s) from a thread of its own" : "") +
#if defined(_WIN32) && !defined(_WIN64)
             "; the stack stayed balanced"
#else
             "; no fault"
#endif
    );
}

void CheckLifecycle(CheckContext& context, CheckRun& run) {
    const TServerTypeDLL* plugin = BoundPlugin(context, run);
    if (!plugin) return;
    if (!ExportsAny(*plugin, LifeCycle())) return run.Skip("it exports none of InitDLL, InitClient, DeInitClient, DeInitDLL");
    Arguments arguments;
    if (!CallInTurn(context, *plugin, run, LifeCycle(), arguments, [&](EntryPoint which, const CallResult& result) {
            if (!result.completed) run.Fail(NameOf(which), "a fault");
        }, ""))
        return;
    const auto left = ThreadsLeft(context);
    if (!left.empty()) {
        std::string named;
        for (const auto& thread : left) named += (named.empty() ? "" : "; ") + thread.description;
        return run.Fail("DeInitDLL", std::to_string(left.size()) + " thread(s) of the plug-in still run 1 s after "
                                     "DeInitDLL (" + named + "): end them in DeInitDLL");
    }
    run.Pass("the life-cycle calls ran without a fault, and no thread of the plug-in outlived DeInitDLL");
}

void CheckLifecycleResources(CheckContext& context, CheckRun& run) {
    const TServerTypeDLL* plugin = BoundPlugin(context, run);
    if (!plugin) return;
    if (!ExportsAny(*plugin, LifeCycle())) return run.Skip("it exports none of InitDLL, InitClient, DeInitClient, DeInitDLL");
    const int cycles = context.level() >= 5 ? 10 : 4;
    Arguments arguments;
    // One cycle; with growthIn, also what each call added (counting costs, under Wine above all).
    const auto cycle = [&](int number, std::vector<Counts>* growthIn) {
        for (std::size_t i = 0; i < LifeCycle().size(); ++i) {
            const EntryPoint which = LifeCycle()[i];
            const platform::Symbol entry = plugin->entries()[IndexOf(which)];
            if (!entry) continue;
            const Counts before = growthIn ? Measure() : Counts{};
            run.Step(NameOf(which), std::string(NameOf(which)) + ", cycle " + std::to_string(number), kLongCallMs);
            if (!CallEntryPoint(entry, which, arguments).completed) {
                run.Taint();
                run.Avoid(NameOf(which));
                run.Fail(NameOf(which), "a fault in cycle " + std::to_string(number));
                return false;
            }
            if (!growthIn) continue;
            const Counts after = Measure();
            (*growthIn)[i] = {after.handles - before.handles, after.memory - before.memory, after.threads - before.threads};
        }
        return true;
    };
    // The first cycle may set up what stays: growth counts from there on.
    std::vector<Counts> afterCycle;
    for (int number = 1; number <= cycles; ++number) {
        if (!cycle(number, nullptr)) return;
        afterCycle.push_back(Measure());
    }
    struct Resource {
        const char* name;  // with its verb
        long long Counts::*field;
        long long least;  // what every cycle must add for the resource to count as growing
        bool bytes;
    };
    const Resource resources[] = {{"handles grow", &Counts::handles, 1, false},
                                  {"memory grows", &Counts::memory, 256 << 10, true},
                                  {"threads grow", &Counts::threads, 1, false}};
    std::string steady;
    std::vector<Counts> growthIn;
    for (const Resource& resource : resources) {
        const long long first = afterCycle.front().*resource.field, last = afterCycle.back().*resource.field;
        if (first < 0) continue;
        bool growing = true;
        for (std::size_t c = 1; c < afterCycle.size(); ++c)
            growing = growing && afterCycle[c].*resource.field - afterCycle[c - 1].*resource.field >= resource.least;
        const std::string noun = std::string(resource.name).substr(0, std::string(resource.name).find(' '));
        steady += (steady.empty() ? "" : ", ") + noun + " " + Amount(first, resource.bytes) + " to " +
                  Amount(last, resource.bytes);
        if (!growing) continue;
        // One cycle more, counted call by call, tells which call the growth comes in.
        if (growthIn.empty()) {
            growthIn.assign(LifeCycle().size(), Counts{0, 0, 0});
            if (!cycle(cycles + 1, &growthIn)) return;
        }
        std::size_t most = 0;
        for (std::size_t i = 1; i < growthIn.size(); ++i)
            if (growthIn[i].*resource.field > growthIn[most].*resource.field) most = i;
        run.Fail(NameOf(LifeCycle()[most]),
                 std::string(resource.name) + " with every cycle of InitDLL, InitClient, DeInitClient and "
                 "DeInitDLL: " + Amount(first, resource.bytes) + " after the first, " + Amount(last, resource.bytes) +
                 " after the " + std::to_string(cycles) + "th, most of it in " + NameOf(LifeCycle()[most]));
    }
    run.Pass(std::to_string(cycles) + " cycles, nothing growing with every one (from the first to the last: " + steady + ")");
}

void CheckThreads(CheckContext& context, CheckRun& run) {
    const TServerTypeDLL* plugin = BoundPlugin(context, run);
    if (!plugin) return;
    const int rounds = context.level() >= 5 ? 25 : 4;
    Arguments arguments;
    // First on the thread that called InitDLL, where a call must work for the threads to
    // tell anything: one too slow to repeat is left out.
    std::vector<EntryPoint> calls;
    std::string slow;
    const auto onMainThread = [&](EntryPoint which, const CallResult& result) {
        const Role role = RoleOf(which);
        if (!result.completed) run.Fail(NameOf(which), "a fault on the thread that called InitDLL");
        else if ((role != Role::PerServer && role != Role::PerHandle)) return;
        else if (result.seconds * 1000 > kPromptMs) slow += (slow.empty() ? "" : ", ") + std::string(NameOf(which));
        else calls.push_back(which);
    };
    if (!CallInTurn(context, *plugin, run, Joined({{EntryPoint::InitDLL, EntryPoint::InitClient}, PerServerCalls()}),
                    arguments, onMainThread, ", on the thread that called InitDLL"))
        return;
    if (calls.empty()) return run.Skip("none of the twenty per-server calls to make: not exported, or too slow");
    if (!CallFromThreads(*plugin, calls, run, 1, 1, "from a thread other than the one that called InitDLL") ||
        !CallFromThreads(*plugin, calls, run, 2, rounds, "from two threads at once"))
        return;
    if (!CallInTurn(context, *plugin, run, {EntryPoint::DeInitClient, EntryPoint::DeInitDLL}, arguments,
                    [&](EntryPoint which, const CallResult& result) {
                        if (!result.completed) run.Fail(NameOf(which), "a fault");
                    }, ""))
        return;
    run.Pass(std::to_string(calls.size()) + " per-server calls ran from a thread other than InitDLL's, then from two "
             "threads at once " + std::to_string(rounds) + " times each, without a fault or a stall" +
             (slow.empty() ? "" : " (left out as too slow to repeat: " + slow + ")"));
}

}  // namespace velmora::validate
