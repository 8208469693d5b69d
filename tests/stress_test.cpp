// Many host threads at once, and host code that re-enters the library from its callbacks.
//
// The threads race on purpose, so no test here expects one order of events: each result
// must be one the library can give for some order of the calls, and whatever a thread
// alone decides (the servers it owns) must stay consistent. The sanitizer builds run this
// too, where a data race or a read of freed memory fails the run.
#include "test_support.h"

#include "concurrent.h"
#include "journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmora {
namespace {

using concurrent::Answer;
using concurrent::Entry;
using concurrent::IsAnswer;
using test::LoadedVelmora;
using test::MakeParams;
using test::PluginDirectory;
using test::Recorder;

// The sorted type IDs of each fixture directory the threads initialise the library over
// (see tests/CMakeLists.txt). "stress" holds the stateless fixture, the other two recorders.
const std::map<std::string, std::vector<VelmoraInt>> kTables = {
    {"stress", {0, 1, 60}}, {"registry", {0, 1, 1, 2}}, {"types", {-1, 0, 1, 1, 2, 3}}};

std::string DisplayName(VelmoraInt typeId) {
    // "DVR" and "DVS" stand apart, or their letters would continue the hex escapes.
    switch (typeId) {
        case 0: return "\xBA\xA3\xBF\xB5\xC7\xB6\xC8\xEB\xCA\xBD";
        case 1: return std::string("\xBA\xA3\xBF\xB5\xBF\xA8\xCA\xBD") + "DVR";
        case 2: return std::string("\xD6\xDA\xC4\xDC\xB4\xEF") + "DVS";
        default: return {};
    }
}

// Whether sorted type IDs are those of a whole table: one of the directories', or the
// empty one a scan starts from.
bool IsWholeTable(const std::vector<VelmoraInt>& sortedTypeIds) {
    if (sortedTypeIds.empty()) return true;
    for (const auto& [directory, typeIds] : kTables)
        if (typeIds == sortedTypeIds) return true;
    return false;
}

// Same, for the display names the selection callback is shown.
bool IsWholeTable(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    if (names.empty()) return true;
    for (const auto& [directory, typeIds] : kTables) {
        std::vector<std::string> expected;
        for (VelmoraInt typeId : typeIds) expected.push_back(DisplayName(typeId));
        std::sort(expected.begin(), expected.end());
        if (expected == names) return true;
    }
    return false;
}

VelmoraInitParams ParamsFor(const std::string& directory) {
    return MakeParams("", PluginDirectory(directory));
}

// Every per-server export, called about server with the words the stateless fixture checks.
struct ForwardedCall {
    const char* name;
    Entry entry;
    VelmoraInt (*call)(const LoadedVelmora& library, VelmoraInt server);
};

#define W(k) concurrent::Word(s, k)
const ForwardedCall kForwardedCalls[] = {
    {"GetHeader", Entry::GetHeader,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.GetHeader(s, W(2), W(3), W(4)); }},
    {"ChangeServer", Entry::ChangeServer,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.ChangeServer(s); }},
    {"ChangeChannel", Entry::ChangeChannel,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.ChangeChannel(s, W(2)); }},
    {"GetSvChInfo", Entry::GetSvChInfo,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.GetSvChInfo(s, W(2), W(3)); }},
    {"GetChannelInfo", Entry::GetChannelInfo,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.GetChannelInfo(s, W(2), W(3)); }},
    {"GetServerInfo", Entry::GetServerInfo,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.GetServerInfo(s, W(2)); }},
    {"LoadPreInfo", Entry::LoadPreInfo,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.LoadPreInfo(s, W(2), W(3), W(4)); }},
    {"GoToPreset", Entry::GoToPreset,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.GoToPreset(s, W(2), W(3)); }},
    {"DelPreset", Entry::DelPreset,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.DelPreset(s, W(2), W(3)); }},
    {"SetPreset", Entry::SetPreset,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.SetPreset(s, W(2), W(3), W(4)); }},
    {"PTZControl", Entry::PTZControl,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.PTZControl(s, W(2), W(3), W(4), W(5)); }},
    {"GetProtocolInfo", Entry::GetProtocolInfo,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.GetProtocolInfo(s, W(2), W(3)); }},
    {"StartGetVideoData", Entry::StartGetVideoData,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.StartGetVideoData(s, W(2), W(3), W(4)); }},
    {"StopGetVideoData", Entry::StopGetVideoData,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.StopGetVideoData(s, W(2)); }},
    {"GetCapFileList", Entry::GetCapFileList,
     [](const LoadedVelmora& v, VelmoraInt s) {
         return v.GetCapFileList(s, W(2), W(3), concurrent::Block(s, 0), concurrent::Block(s, 1),
                                 W(16), W(17));
     }},
    {"StartPlay", Entry::StartPlay,
     [](const LoadedVelmora& v, VelmoraInt s) {
         return v.StartPlay(s, W(2), W(3), W(4), W(5), W(6));
     }},
    {"StopPlay", Entry::StopPlay,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.StopPlay(s, W(2)); }},
    {"PlayCtrl", Entry::PlayCtrl,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.PlayCtrl(s, W(2), W(3), W(4), W(5)); }},
    {"StartCapture", Entry::StartCapture,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.StartCapture(s, W(2), W(3)); }},
    {"StopCapture", Entry::StopCapture,
     [](const LoadedVelmora& v, VelmoraInt s) { return v.StopCapture(s, W(2)); }},
};
#undef W

// A forwarded call answers the plug-in's result (a recorder's 1 or the stateless fixture's
// answer for that entry point) or -1 (no such server, type or entry point).
bool ForwardedResultAllowed(VelmoraInt result, Entry entry) {
    return result == -1 || result == 1 || IsAnswer(result, entry);
}

// What the threads found wrong; they never stop each other, the test reports at the end.
class Findings {
public:
    template <typename... Parts>
    void Add(const Parts&... parts) {
        std::string line;
        ((line += ToText(parts)), ...);
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        if (lines_.size() < 20) lines_.push_back(line);
    }
    int count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    std::string Text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string text;
        for (const std::string& line : lines_) text += line + '\n';
        return text;
    }

private:
    static std::string ToText(const std::string& text) { return text; }
    static std::string ToText(const char* text) { return text; }
    template <typename Number>
    static std::string ToText(Number number) {
        return std::to_string(number);
    }

    mutable std::mutex mutex_;
    int count_ = 0;
    std::vector<std::string> lines_;
};

// A small deterministic generator per thread: each thread makes the same calls every run,
// only their interleaving differs.
class Random {
public:
    explicit Random(std::uint32_t seed) : state_(seed * 2654435761u + 1) {}
    std::uint32_t Below(std::uint32_t bound) {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_ % bound;
    }

private:
    std::uint32_t state_;
};

// The selection callback's side of one host thread: what it answers and how often it ran.
struct Choice {
    VelmoraInt answer = 0;
    int calls = 0;
};
thread_local Choice choice;

struct Shared {
    const LoadedVelmora& library;
    Findings& findings;
    // How often a plug-in answered a per-server call and a registration succeeded, so a
    // run that never got that far shows.
    std::atomic<int> reached{0};
    std::atomic<int> registered{0};
    // Calls made by the registrars and forwarders, and how many of them still run: each
    // reinitialisation waits for some progress, so that the table is not being rebuilt
    // all the time on a machine that runs the threads one after another.
    std::atomic<int> progress{0};
    std::atomic<int> working{0};
    std::atomic<int> registrarsWorking{0};
};

void CheckShownNames(VelmoraInt count, const char* const* names, Shared& shared) {
    const std::vector<std::string> shown(names, names + count);
    if (!IsWholeTable(shown)) shared.findings.Add("selection shown ", count, " names of no table");
}

VelmoraInt VELMORA_CALL ChooseAsTold(VelmoraInt count, const char* const* names, VelmoraWord user) {
    ++choice.calls;
    CheckShownNames(count, names, *reinterpret_cast<Shared*>(user));
    return choice.answer;
}

VelmoraInt VELMORA_CALL ChooseNothing(VelmoraInt count, const char* const* names,
                                      VelmoraWord user) {
    ++choice.calls;
    CheckShownNames(count, names, *reinterpret_cast<Shared*>(user));
    return -1;
}

struct Walk {
    std::vector<VelmoraInt> typeIds;
    std::vector<std::string> names;
};

void VELMORA_CALL CollectType(VelmoraInt typeId, const char* name, VelmoraWord user) {
    auto& walk = *reinterpret_cast<Walk*>(user);
    walk.typeIds.push_back(typeId);
    walk.names.push_back(name ? name : "(null)");
}

Walk WalkTypes(const LoadedVelmora& library) {
    Walk walk;
    library.GetServerTypeInfo(CollectType, reinterpret_cast<VelmoraWord>(&walk));
    return walk;
}

// What a thread that alone adds, logs in and deletes a server knows about it.
enum class Known { kUnregistered, kRegistered, kUnsure };

// Adds, logs in, deletes and calls the servers it owns, and checks each result against
// what it knows of them.
void RunRegistrar(Shared& shared, VelmoraInt firstServer, int iterations, std::uint32_t seed) {
    const LoadedVelmora& v = shared.library;
    Findings& findings = shared.findings;
    Random random(seed);
    constexpr VelmoraInt kOwned = 16;
    std::vector<Known> known(kOwned, Known::kUnregistered);
    const VelmoraInt loginTypes[] = {0, 1, 2, 3, 60, -1, 99};

    for (int i = 0; i < iterations; ++i, ++shared.progress) {
        const VelmoraInt index = static_cast<VelmoraInt>(random.Below(kOwned));
        const VelmoraInt s = firstServer + index;
        Known& state = known[index];
        const std::uint32_t op = random.Below(8);
        if (op < 2) {
            choice.answer = static_cast<VelmoraInt>(random.Below(8)) - 1;
            const int callsBefore = choice.calls;
            const VelmoraInt r = v.AddServer(s);
            const int shown = choice.calls - callsBefore;
            if (r != -2 && r != -1 && r != 1 && !IsAnswer(r, Entry::AddServer))
                findings.Add("AddServer(", s, ") answered ", r);
            if (r == -2 && (shown != 0 || state == Known::kUnregistered))
                findings.Add("AddServer(", s,
                             ") answered -2 for a server not registered, or after a choice");
            if (r != -2 && (shown != 1 || state == Known::kRegistered))
                findings.Add("AddServer(", s, ") answered ", r,
                             " for a registered server, or without one choice");
            if (r > 0) {
                state = Known::kRegistered;
                ++shared.registered;
            }
        } else if (op == 2) {
            const VelmoraInt r = v.DelServer(s);
            const bool refused = r == 0 && concurrent::RefusesDelete(s);
            if (r != 1 && r != -1 && !refused && !IsAnswer(r, Entry::DelServer))
                findings.Add("DelServer(", s, ") answered ", r);
            if (state == Known::kUnregistered && r != 1)
                findings.Add("DelServer(", s, ") of an unregistered server answered ", r);
            // 1 is also a recorder's success, which removes the server.
            if (IsAnswer(r, Entry::DelServer))
                state = Known::kUnregistered;
            else if (r == 1)
                state = Known::kUnsure;
        } else if (op == 3) {
            VelmoraLoginRecord record{s, loginTypes[random.Below(7)]};
            const VelmoraLoginRecord sent = record;
            const VelmoraInt r = v.LoginServer(&record);
            if (r != -1 && r != 1 && !IsAnswer(r, Entry::LoginServer))
                findings.Add("LoginServer(", s, ", type ", sent.typeId, ") answered ", r);
            if (record.serverId != sent.serverId || record.typeId != sent.typeId)
                findings.Add("LoginServer(", s, ") changed the record");
            if (r > 0) {
                state = Known::kRegistered;
                ++shared.registered;
            }
        } else {
            const ForwardedCall& call = kForwardedCalls[random.Below(std::size(kForwardedCalls))];
            const VelmoraInt r = call.call(v, s);
            if (!ForwardedResultAllowed(r, call.entry))
                findings.Add(call.name, "(", s, ") answered ", r);
            if (state == Known::kUnregistered && r != -1)
                findings.Add(call.name, "(", s, ") of an unregistered server answered ", r);
            if (r != -1) ++shared.reached;
        }
    }
}

// Calls every per-server export about the registrars' servers and about servers nobody
// registers: iterations calls at least, and more while the registrars still work.
void RunForwarder(Shared& shared, const std::vector<VelmoraInt>& firstServers, int iterations,
                  std::uint32_t seed) {
    Random random(seed);
    const auto more = [&](int i) {
        return i < iterations || (i < 10 * iterations && shared.registrarsWorking.load() > 0);
    };
    for (int i = 0; more(i); ++i, ++shared.progress) {
        const bool stranger = random.Below(8) == 0;
        const VelmoraInt s =
            stranger ? -5 - static_cast<VelmoraInt>(random.Below(5))
                     : firstServers[random.Below(static_cast<std::uint32_t>(firstServers.size()))] +
                           static_cast<VelmoraInt>(random.Below(16));
        const ForwardedCall& call = kForwardedCalls[random.Below(std::size(kForwardedCalls))];
        const VelmoraInt r = call.call(shared.library, s);
        if (!ForwardedResultAllowed(r, call.entry) || (stranger && r != -1))
            shared.findings.Add(call.name, "(", s, ") answered ", r);
        if (r != -1) ++shared.reached;
    }
}

// Initialises the library over one directory after another, shuts the plug-ins down now
// and then, and changes the selection callback and the message callback.
void RunReinitialiser(Shared& shared, int iterations, int callsBetween) {
    const LoadedVelmora& v = shared.library;
    const char* const directories[] = {"stress", "registry", "types"};
    for (int i = 0; i < iterations; ++i) {
        const int mark = shared.progress.load();
        while (shared.progress.load() < mark + callsBetween && shared.working.load() > 0)
            std::this_thread::yield();
        const auto params = ParamsFor(directories[i % 3]);
        if (const VelmoraInt r = v.InitSvManage(&params, 0x5000 + i); r != 1)
            shared.findings.Add("InitSvManage answered ", r);
        if (i % 4 == 3) {
            if (const VelmoraInt r = v.DeInitSvManage(); r != 1)
                shared.findings.Add("DeInitSvManage answered ", r);
        }
        const auto user = reinterpret_cast<VelmoraWord>(&shared);
        if (v.SetSelectServerCallBack(i % 5 == 4 ? ChooseNothing : ChooseAsTold, user) != 1)
            shared.findings.Add("SetSelectServerCallBack did not answer 1");
        if (const VelmoraInt r = v.SetSvMsgCallBack(i, i + 1); r != -1)
            shared.findings.Add("SetSvMsgCallBack answered ", r);
    }
}

// Lists the types and looks them up by name while the table is being replaced.
void RunWalker(Shared& shared, int iterations) {
    const LoadedVelmora& v = shared.library;
    for (int i = 0; i < iterations; ++i) {
        const Walk walk = WalkTypes(v);
        std::vector<VelmoraInt> sorted = walk.typeIds;
        std::sort(sorted.begin(), sorted.end());
        if (!IsWholeTable(sorted))
            shared.findings.Add("a walk reported ", sorted.size(), " types of no table");
        for (std::size_t k = 0; k < walk.typeIds.size(); ++k)
            if (walk.names[k] != DisplayName(walk.typeIds[k]))
                shared.findings.Add("type ", walk.typeIds[k], " reported under another name");

        const VelmoraInt one = v.GetServerTypeID(DisplayName(1).c_str());
        const VelmoraInt unnamed = v.GetServerTypeID(i % 2 ? "" : nullptr);
        const VelmoraInt unknown = v.GetServerTypeID("no such type");
        if (one != 1 && one != -1) shared.findings.Add("the name of type 1 found type ", one);
        if (unnamed != -1 && unnamed != 3 && unnamed != 60)
            shared.findings.Add("the empty name found type ", unnamed);
        if (unknown != -1) shared.findings.Add("an unknown name found type ", unknown);
    }
}

// Starts the threads together, so that their calls overlap as much as the machine allows.
class StartLine {
public:
    explicit StartLine(int threads) : waiting_(threads) {}
    void Arrive() {
        waiting_.fetch_sub(1);
        while (waiting_.load() > 0) std::this_thread::yield();
    }

private:
    std::atomic<int> waiting_;
};

TEST(Stress, ThreadsForwardingRegisteringAndReinitialisingGetOnlyResultsSomeOrderAllows) {
    // The recorders answer 1 to everything, whatever tests before this one told them.
    std::vector<std::unique_ptr<Recorder>> recorders;
    for (const char* file : {"QXDVRRegZero", "QXDVRRegOne", "QXDVRRegOneAgain"})
        recorders.push_back(std::make_unique<Recorder>("registry", file));
    for (const char* file : {"QXDVRType0", "QXDVRType1", "QXDVRType2", "QXDVRType3",
                             "QXDVRTypeMinus1", "QXDVRTypeOneAgain"})
        recorders.push_back(std::make_unique<Recorder>("types", file));

    LoadedVelmora library;
    Findings findings;
    Shared shared{library, findings};
    const auto params = ParamsFor("stress");
    ASSERT_EQ(library.InitSvManage(&params, 0), 1);
    ASSERT_EQ(library.SetSelectServerCallBack(ChooseAsTold, reinterpret_cast<VelmoraWord>(&shared)),
              1);

    const std::vector<VelmoraInt> firstServers = {100, 200};
    // A few seconds at most under ThreadSanitizer or valgrind, a fraction of one natively.
    constexpr int kRegistrarIterations = 30000;
    constexpr int kForwarderIterations = 40000;
    constexpr int kReinitialisations = 1200;
    constexpr int kCallsBetweenReinitialisations = 100;
    constexpr int kWalks = 6000;

    StartLine start(7);
    std::vector<std::thread> threads;
    shared.working = 5;
    shared.registrarsWorking = 2;
    for (std::size_t k = 0; k < firstServers.size(); ++k)
        threads.emplace_back([&, k] {
            start.Arrive();
            RunRegistrar(shared, firstServers[k], kRegistrarIterations,
                         static_cast<std::uint32_t>(k + 1));
            --shared.registrarsWorking;
            --shared.working;
        });
    for (std::uint32_t k = 0; k < 3; ++k)
        threads.emplace_back([&, k] {
            start.Arrive();
            RunForwarder(shared, firstServers, kForwarderIterations, k + 10);
            --shared.working;
        });
    threads.emplace_back([&] {
        start.Arrive();
        RunReinitialiser(shared, kReinitialisations, kCallsBetweenReinitialisations);
    });
    threads.emplace_back([&] {
        start.Arrive();
        RunWalker(shared, kWalks);
    });
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(findings.count(), 0) << findings.Text();
    EXPECT_GT(shared.registered.load(), 0);
    EXPECT_GT(shared.reached.load(), 0);
    JournalClear();
}

// Host code run from the library's callbacks that initialises the library again and calls
// other exports meanwhile.
class Reentrancy : public testing::Test {
protected:
    void SetUp() override {
        const auto params = ParamsFor("types");
        ASSERT_EQ(library.InitSvManage(&params, 0), 1);
        before = WalkTypes(library);
        ASSERT_EQ(before.typeIds.size(), kTables.at("types").size());
    }
    void TearDown() override { JournalClear(); }

    static std::vector<VelmoraInt> Sorted(std::vector<VelmoraInt> typeIds) {
        std::sort(typeIds.begin(), typeIds.end());
        return typeIds;
    }

    LoadedVelmora library;
    Walk before;
};

struct ReenteringWalk {
    const LoadedVelmora* library;
    Walk seen;
    // The directory each step initialised, and what a walk nested in that step reported.
    std::vector<std::string> directories;
    std::vector<Walk> nested;
    std::vector<std::string> namesAfterwards;
};

void VELMORA_CALL ReinitialiseFromWalk(VelmoraInt typeId, const char* name, VelmoraWord user) {
    auto& walk = *reinterpret_cast<ReenteringWalk*>(user);
    const LoadedVelmora& v = *walk.library;
    walk.seen.typeIds.push_back(typeId);
    walk.seen.names.push_back(name ? name : "(null)");

    // Every step replaces the table, so the records the walk started with lose their last
    // owner but the walk's own.
    const std::string directory = walk.seen.typeIds.size() % 2 ? "stress" : "registry";
    const auto params = ParamsFor(directory);
    v.InitSvManage(&params, 0);
    v.DeInitSvManage();
    VelmoraLoginRecord record{300, 0};
    v.LoginServer(&record);
    v.PTZControl(300, 1, 2, 3, 4);
    v.DelServer(300);
    v.SetSvMsgCallBack(1, 2);
    walk.directories.push_back(directory);
    walk.nested.push_back(WalkTypes(v));
    // The name handed to this call stays readable for the whole call.
    walk.namesAfterwards.push_back(name ? name : "(null)");
    v.GetServerTypeID(name);
}

TEST_F(Reentrancy, WalkReinitialisingTheLibraryFinishesOverTheRecordsItStartedWith) {
    ReenteringWalk walk{&library, {}, {}, {}, {}};
    EXPECT_EQ(library.GetServerTypeInfo(ReinitialiseFromWalk, reinterpret_cast<VelmoraWord>(&walk)),
              -1);

    EXPECT_EQ(walk.seen.typeIds, before.typeIds);
    EXPECT_EQ(walk.seen.names, before.names);
    EXPECT_EQ(walk.namesAfterwards, before.names);
    ASSERT_EQ(walk.nested.size(), before.typeIds.size());
    for (std::size_t k = 0; k < walk.nested.size(); ++k)
        EXPECT_EQ(Sorted(walk.nested[k].typeIds), kTables.at(walk.directories[k]))
            << "a nested walk reports the table just built";
    EXPECT_EQ(Sorted(WalkTypes(library).typeIds), kTables.at(walk.directories.back()));
}

struct ReenteringChoice {
    const LoadedVelmora* library;
    std::vector<std::string> shown;
    std::vector<std::string> shownAfterwards;
    Walk nested;
    int calls = 0;
};

// Initialises the library over "stress" while the type is being chosen, then chooses
// type 60 of that new table.
VelmoraInt VELMORA_CALL ReinitialiseFromChoice(VelmoraInt count, const char* const* names,
                                               VelmoraWord user) {
    auto& choice = *reinterpret_cast<ReenteringChoice*>(user);
    const LoadedVelmora& v = *choice.library;
    ++choice.calls;
    choice.shown.assign(names, names + count);
    const auto params = ParamsFor("stress");
    v.InitSvManage(&params, 0);
    v.GetServerTypeInfo(CollectType, reinterpret_cast<VelmoraWord>(&choice.nested));
    v.ChangeServer(70);
    choice.shownAfterwards.assign(names, names + count);
    const auto found = std::find(choice.nested.typeIds.begin(), choice.nested.typeIds.end(), 60);
    return static_cast<VelmoraInt>(found - choice.nested.typeIds.begin());
}

TEST_F(Reentrancy, ChoiceReinitialisingTheLibraryIsReadAgainstTheNewTable) {
    ReenteringChoice choice{&library, {}, {}, {}};
    ASSERT_EQ(library.SetSelectServerCallBack(ReinitialiseFromChoice,
                                              reinterpret_cast<VelmoraWord>(&choice)),
              1);

    EXPECT_EQ(library.AddServer(70), Answer(60, Entry::AddServer));
    EXPECT_EQ(choice.calls, 1);
    EXPECT_EQ(choice.shown, before.names) << "the names of the table as it stood";
    EXPECT_EQ(choice.shownAfterwards, choice.shown) << "the names stay readable for the whole call";
    EXPECT_EQ(Sorted(choice.nested.typeIds), kTables.at("stress"));
    EXPECT_EQ(library.ChangeServer(70), Answer(60, Entry::ChangeServer))
        << "registered under type 60";
}

}  // namespace
}  // namespace velmora
