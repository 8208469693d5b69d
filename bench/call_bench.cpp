// The per-server call path timed by a small host of its own, built for every target (the
// Linux library and both Windows DLLs, these under Wine): a forwarded call against the
// plug-in's entry point called through a function pointer, by registry size and number of
// host threads; the latency of a forwarded call while other threads change the registry
// and re-initialise; and what each registry change costs. Prints the figures against their
// goals and writes the curves to the file named on the command line, for the picture.
//
//   velmora_callbench [curves.dat]
#include "core/server_manager.h"
#include "platform/platform.h"

#include <velmora/velmora.h>

#include <x86intrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr VelmoraInt kFirstServer = 1000;
// Registry sizes of the sweep; each comes with as many types as servers, at most 256.
const std::vector<int> kServerCounts = {1, 10, 100, 1000, 10000, 100000};
const std::vector<int> kThreadCounts = {1, 2, 4};
constexpr int kMaxTypes = 256;
// Many short runs, shorter than a scheduler's time slice: on a machine shared with other
// work the best of them shows the cost when the threads had their cores to themselves,
// the median what the loaded machine gave.
constexpr int kRepetitions = 101;
constexpr double kRunSeconds = 0.0005;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "velmora_callbench: %s\n", what.c_str());
    std::exit(1);
}

int TypesFor(int servers) { return std::min(servers, kMaxTypes); }

std::string TypesFolder(int types) {
    return velmora::DirectoryPart(velmora::platform::ExecutablePath()) + "bench" + velmora::platform::kPathSeparator +
           "types" + std::to_string(types);
}

VelmoraInitParams ParamsFor(const std::string& directory) {
    VelmoraInitParams params{};
    if (directory.size() > 255) Fail("directory name too long: " + directory);
    params.pluginDirectory[0] = static_cast<unsigned char>(directory.size());
    std::memcpy(params.pluginDirectory + 1, directory.data(), directory.size());
    return params;
}

struct Figure {
    double median, best;
};

Figure Summarise(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.front()};
}

// ---- The registry the calls run against ----------------------------------------------

struct DirectCall {
    VelmoraInt server;
    VelmoraEntry_PTZControl entry;
};

// Registered servers, server i of type i mod types, visited in a shuffled order so that a
// large registry is not read in the order it was filled; and the same calls made directly.
struct Arrangement {
    int servers = 0;
    int types = 0;
    std::vector<VelmoraInt> order;
    std::vector<DirectCall> direct;
};
Arrangement arrangement;

void Arrange(int servers, int types) {
    if (arrangement.servers == servers && arrangement.types == types) return;
    for (VelmoraInt server : arrangement.order)
        if (Velmora_DelServer(server) != 1) Fail("DelServer failed");
    const std::string folder = TypesFolder(types);
    const VelmoraInitParams params = ParamsFor(folder);
    Velmora_InitSvManage(&params, 0);
    // The entry points the library bound: the same files are loaded already.
    std::map<VelmoraInt, VelmoraEntry_PTZControl> ptzOfType;
    for (const std::string& name : velmora::platform::FindMatchingEntries(
             folder + velmora::platform::kPathSeparator + "QXDVR*" + velmora::platform::kPluginExtension)) {
        const auto module = velmora::platform::OpenModule(folder + velmora::platform::kPathSeparator + name);
        const auto typeId = reinterpret_cast<VelmoraEntry_GetServerTypeID>(
            velmora::platform::FindSymbol(module, "GetServerTypeID"));
        if (!typeId) Fail("not a bench plug-in: " + name);
        ptzOfType[typeId()] = reinterpret_cast<VelmoraEntry_PTZControl>(velmora::platform::FindSymbol(module, "PTZControl"));
    }
    if (static_cast<int>(ptzOfType.size()) != types) Fail("wrong number of types in " + folder);

    arrangement = Arrangement{servers, types, {}, {}};
    for (int i = 0; i < servers; ++i) {
        VelmoraLoginRecord record{kFirstServer + i, i % types};
        if (Velmora_LoginServer(&record) != 1) Fail("LoginServer failed");
        arrangement.order.push_back(record.serverId);
    }
    std::shuffle(arrangement.order.begin(), arrangement.order.end(), std::mt19937(42));
    for (VelmoraInt server : arrangement.order) {
        arrangement.direct.push_back({server, ptzOfType.at((server - kFirstServer) % types)});
        if (Velmora_PTZControl(server, 2, 3, 4, 5) != 1) Fail("a registered server is not forwarded");
    }
}

// ---- Throughput ----------------------------------------------------------------------

struct Forwarded {
    static VelmoraInt Call(std::size_t i) { return Velmora_PTZControl(arrangement.order[i], 2, 3, 4, 5); }
};
struct Direct {
    static VelmoraInt Call(std::size_t i) {
        const DirectCall& call = arrangement.direct[i];
        return call.entry(call.server, 2, 3, 4, 5);
    }
};

// Time from the first thread's start to the last one's end, threads making calls calls
// each from their own place in the order, divided by all their calls: the inverse of the
// combined throughput. Starting and joining the threads is not timed.
template <typename Kind>
double NanosecondsPerCall(int threads, long calls) {
    struct alignas(64) Worker {  // a cache line each
        Clock::time_point start, end;
        long sum = 0;
    };
    const std::size_t size = arrangement.order.size();
    std::atomic<int> ready{0};
    std::vector<Worker> results(static_cast<std::size_t>(threads));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            Worker& result = results[static_cast<std::size_t>(t)];
            std::size_t i = static_cast<std::size_t>(t) * size / static_cast<std::size_t>(threads);
            ready.fetch_add(1);
            // Yielding lets threads beyond the core count reach the start without
            // waiting for the scheduler to preempt a spinning one.
            while (ready.load(std::memory_order_acquire) != threads) std::this_thread::yield();
            result.start = Clock::now();
            for (long n = 0; n < calls; ++n) {
                result.sum += Kind::Call(i);
                if (++i == size) i = 0;
            }
            result.end = Clock::now();
        });
    for (std::thread& worker : workers) worker.join();
    Clock::time_point start = results.front().start, end = results.front().end;
    for (const Worker& result : results) {
        if (result.sum != calls) Fail("a call answered other than 1");
        start = std::min(start, result.start);
        end = std::max(end, result.end);
    }
    const std::chrono::duration<double, std::nano> took = end - start;
    return took.count() / (static_cast<double>(calls) * threads);
}

// The repetitions, each sized to last about kRunSeconds.
template <typename Kind>
Figure Measure(int threads) {
    double estimate = NanosecondsPerCall<Kind>(1, 10000);
    for (int r = 0; r < 10; ++r) estimate = std::min(estimate, NanosecondsPerCall<Kind>(1, 10000));
    const long calls = std::max(10000L, static_cast<long>(kRunSeconds * 1e9 / estimate));
    std::vector<double> runs;
    for (int r = 0; r < kRepetitions; ++r) runs.push_back(NanosecondsPerCall<Kind>(threads, calls));
    return Summarise(runs);
}

struct Point {
    int servers, types, threads;
    Figure forwarded, direct;
};

// ---- Latency while the registry changes ------------------------------------------------

// Cycles per nanosecond of the time-stamp counter, from a pause timed by both clocks.
double CyclesPerNanosecond() {
    const auto start = Clock::now();
    const unsigned long long first = __rdtsc();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const unsigned long long last = __rdtsc();
    const std::chrono::duration<double, std::nano> took = Clock::now() - start;
    return static_cast<double>(last - first) / took.count();
}

VelmoraInt VELMORA_CALL ChooseFirst(VelmoraInt, const char* const*, VelmoraWord) { return 0; }

// One writer's round: log a server in, add one through the selection callback, delete
// both, and every 4096th round initialise again over the same folder.
void ChangeTheRegistry(long round, int types, const VelmoraInitParams& params) {
    const VelmoraInt server = 50000000 + static_cast<VelmoraInt>(round % 100000) * 2;
    VelmoraLoginRecord record{server, static_cast<VelmoraInt>(round % types)};
    Velmora_LoginServer(&record);
    Velmora_AddServer(server + 1);
    Velmora_DelServer(server);
    Velmora_DelServer(server + 1);
    if (round % 4096 == 4095) Velmora_InitSvManage(&params, 0);
}

struct Latency {
    double median, p99;
    long writerRounds;
};

// Rounds of the latency measurement, quiet and with a writer in turn; the round with the
// lowest 99th percentile of each kind counts, as the best run does for throughput.
constexpr int kLatencyRounds = 5;

// Nanoseconds per call of batches of kBatch forwarded calls on this thread, timed by the
// time-stamp counter, with or without a writer thread running meanwhile. Only batches
// whose calls all reached the plug-in count: while a scan runs the table is empty and a
// call answers -1 without one.
Latency MeasureLatency(bool writer, double cyclesPerNs) {
    constexpr int kBatch = 32;
    constexpr std::size_t kSamples = 50000;
    const std::vector<VelmoraInt>& order = arrangement.order;
    const VelmoraInitParams params = ParamsFor(TypesFolder(arrangement.types));
    std::atomic<bool> stop{false};
    std::atomic<long> rounds{0};
    std::thread changer;
    if (writer) {
        changer = std::thread([&] {
            for (long round = 0; !stop.load(); ++round) {
                ChangeTheRegistry(round, arrangement.types, params);
                rounds.store(round + 1);
            }
        });
        while (rounds.load() < 4096) {
        }  // at least one re-initialisation before the samples
    }
    std::vector<double> samples;
    samples.reserve(kSamples);
    std::size_t i = 0;
    while (samples.size() < kSamples) {
        int answered = 0;
        const unsigned long long start = __rdtsc();
        for (int n = 0; n < kBatch; ++n) {
            answered += Velmora_PTZControl(order[i], 2, 3, 4, 5);
            if (++i == order.size()) i = 0;
        }
        const unsigned long long end = __rdtsc();
        if (answered == kBatch) samples.push_back(static_cast<double>(end - start) / cyclesPerNs / kBatch);
    }
    stop.store(true);
    if (changer.joinable()) changer.join();
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100], rounds.load()};
}

// ---- Registry changes ----------------------------------------------------------------

struct ChangeCosts {
    double login, add, del;
};

// Nanoseconds per LoginServer, AddServer and DelServer of servers not yet registered, on
// top of the arrangement's registry, with the plug-in answering at once.
ChangeCosts MeasureChangesOnce() {
    constexpr int kChanges = 20000;
    const VelmoraInt first = 60000000;
    const auto time = [](auto&& each) {
        const auto start = Clock::now();
        for (int n = 0; n < kChanges; ++n) each(first + n);
        const std::chrono::duration<double, std::nano> took = Clock::now() - start;
        return took.count() / kChanges;
    };
    ChangeCosts costs{};
    costs.login = time([&](VelmoraInt server) {
        VelmoraLoginRecord record{server, server % arrangement.types};
        if (Velmora_LoginServer(&record) != 1) Fail("LoginServer failed");
    });
    const double delLogged = time([](VelmoraInt server) {
        if (Velmora_DelServer(server) != 1) Fail("DelServer failed");
    });
    costs.add = time([](VelmoraInt server) {
        if (Velmora_AddServer(server) != 1) Fail("AddServer failed");
    });
    const double delAdded = time([](VelmoraInt server) {
        if (Velmora_DelServer(server) != 1) Fail("DelServer failed");
    });
    costs.del = (delLogged + delAdded) / 2;
    return costs;
}

// The mean of ten rounds: amortised, so the rebuilds some of them bring count too.
ChangeCosts MeasureChanges() {
    constexpr int kRounds = 10;
    ChangeCosts sum{};
    for (int round = 0; round < kRounds; ++round) {
        const ChangeCosts costs = MeasureChangesOnce();
        sum = {sum.login + costs.login, sum.add + costs.add, sum.del + costs.del};
    }
    return {sum.login / kRounds, sum.add / kRounds, sum.del / kRounds};
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

const char* BuildName() {
#if defined(_WIN64)
    return "64-bit Velmora.dll";
#elif defined(_WIN32)
    return "32-bit Velmora.dll (the product)";
#else
    return "Linux libVelmora.so";
#endif
}

}  // namespace

int main(int argc, char** argv) {
    Velmora_SetSelectServerCallBack(ChooseFirst, 0);
    std::printf("# %s: per-server calls, %u hardware threads\n", BuildName(), std::thread::hardware_concurrency());

    std::vector<Point> points;
    for (int servers : kServerCounts) {
        Arrange(servers, TypesFor(servers));
        for (int threads : kThreadCounts)
            points.push_back({servers, arrangement.types, threads, Measure<Forwarded>(threads), Measure<Direct>(threads)});
    }
    if (argc > 1) {
        FILE* curves = std::fopen(argv[1], "w");
        if (!curves) Fail(std::string("cannot write ") + argv[1]);
        std::fprintf(curves, "# servers types threads forwarded_ns direct_ns (best runs; wall time per call, all threads)"
                             " forwarded_median_ns direct_median_ns\n");
        for (int threads : kThreadCounts) {
            for (const Point& p : points)
                if (p.threads == threads)
                    std::fprintf(curves, "%d %d %d %.3f %.3f %.3f %.3f\n", p.servers, p.types, p.threads, p.forwarded.best,
                                 p.direct.best, p.forwarded.median, p.direct.median);
            std::fprintf(curves, "\n\n");  // one gnuplot data block per thread count
        }
        std::fclose(curves);
    }

    std::printf("\nNanoseconds per call, best and median of %d runs; with several threads, wall time divided\n"
                "by the calls of all threads\n\n"
                "| servers | types | threads | forwarded best | direct best | overhead best | forwarded median | direct median |\n"
                "|---:|---:|---:|---:|---:|---:|---:|---:|\n",
                kRepetitions);
    for (const Point& p : points)
        std::printf("| %d | %d | %d | %.2f | %.2f | %.2f | %.2f | %.2f |\n", p.servers, p.types, p.threads,
                    p.forwarded.best, p.direct.best, p.forwarded.best - p.direct.best, p.forwarded.median,
                    p.direct.median);

    const auto at = [&](int servers, int threads) {
        for (const Point& p : points)
            if (p.servers == servers && p.threads == threads) return p;
        Fail("no such point");
    };
    const Point small = at(1, 1);
    const Point large = at(100000, 1);
    const double smallOverhead = small.forwarded.best - small.direct.best;
    const double largeOverhead = large.forwarded.best - large.direct.best;
    std::printf("\nAgainst the goals (best runs; medians beside them where they differ in kind)\n\n"
                "| goal | figure | verdict |\n|---|---|---|\n");
    std::printf("| 1 server, 1 type, one thread: overhead <= 5 ns | %.2f ns (%.2f - %.2f; medians %.2f - %.2f) | %s |\n",
                smallOverhead, small.forwarded.best, small.direct.best, small.forwarded.median, small.direct.median,
                Verdict(smallOverhead <= 5));
    std::printf("| 100,000 servers, 256 types: overhead <= 1.5x the 1-server overhead | %.2f ns, %.2fx | %s |\n",
                largeOverhead, largeOverhead / smallOverhead, Verdict(largeOverhead <= 1.5 * smallOverhead));
    for (int servers : {1, 100000}) {
        const Point one = at(servers, 1), two = at(servers, 2), four = at(servers, 4);
        // Throughput is the inverse of the wall time per call.
        const double forwarded2 = one.forwarded.best / two.forwarded.best;
        const double forwarded4 = one.forwarded.best / four.forwarded.best;
        const double direct2 = one.direct.best / two.direct.best, direct4 = one.direct.best / four.direct.best;
        std::printf("| %d servers: 2 threads >= 1.8x one thread's throughput | forwarded %.2fx, direct %.2fx | %s |\n",
                    servers, forwarded2, direct2, Verdict(forwarded2 >= 1.8));
        std::printf("| %d servers: 4 threads no worse than 2 (within 5 %%) | forwarded %.2fx, direct %.2fx | %s |\n",
                    servers, forwarded4, direct4, Verdict(forwarded4 >= 0.95 * forwarded2));
    }

    // Latency and registry changes against the large registry.
    Arrange(100000, kMaxTypes);
    const double cyclesPerNs = CyclesPerNanosecond();
    Latency quiet{0, 1e30, 0}, busy{0, 1e30, 0};
    for (int round = 0; round < kLatencyRounds; ++round) {
        const Latency alone = MeasureLatency(false, cyclesPerNs);
        if (alone.p99 < quiet.p99) quiet = alone;
        const Latency changing = MeasureLatency(true, cyclesPerNs);
        if (changing.p99 < busy.p99) busy = changing;
    }
    std::printf("| p99 with a writer <= 2x the median without (100,000 servers, batches of 32 calls, best of %d rounds) | "
                "median %.2f ns, p99 %.2f ns without; median %.2f ns, p99 %.2f ns with (%ld writer rounds): %.2fx | %s |\n",
                kLatencyRounds, quiet.median, quiet.p99, busy.median, busy.p99, busy.writerRounds, busy.p99 / quiet.median,
                Verdict(busy.p99 <= 2 * quiet.median));

    Arrange(100, kMaxTypes);
    const ChangeCosts few = MeasureChanges();
    Arrange(100000, kMaxTypes);
    const ChangeCosts many = MeasureChanges();
    std::printf("\nRegistry changes, nanoseconds each (mean of 10 rounds of 20,000 each, plug-in answering at once)\n\n"
                "| registry (256 types) | LoginServer | AddServer | DelServer |\n|---:|---:|---:|---:|\n"
                "| 100 servers | %.1f | %.1f | %.1f |\n| 100,000 servers | %.1f | %.1f | %.1f |\n"
                "| ratio | %.2fx | %.2fx | %.2fx |\n",
                few.login, few.add, few.del, many.login, many.add, many.del, many.login / few.login, many.add / few.add,
                many.del / few.del);
    return 0;
}
