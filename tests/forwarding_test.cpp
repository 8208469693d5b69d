// The twenty per-server exports: what reaches the plug-in, what comes back, and when no
// plug-in is called at all. On the 32-bit build also the argument area of every export,
// pushed word by word as a host of any compiler pushes it.
#include "test_support.h"

#include "journal.h"
#include "plugin/stdcall_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace velmora {
namespace {

using test::Journal;
using test::LoadedVelmora;
using test::MakeParams;
using test::PluginDirectory;
using test::Recorder;
using Lines = std::vector<std::string>;

constexpr VelmoraInt kServer = 0x4D2A7F31;

// Argument positions: the server ID, the two blocks, and the words by their numbers 2...17.
constexpr int S = 0;
constexpr int A = -1;
constexpr int B = -2;

// Objects whose addresses travel as words. The 64-bit images lie above 4 GiB, so a
// pointer cut to 32 bits would show.
int staticAnchors[18];

// Fills the whole word; on the 64-bit builds the position shows above bit 32 too.
VelmoraWord NumberFor(int position) {
    const std::uint64_t value = 0x3C00000000000000ull | std::uint64_t(position) << 40 | 0x5A0000u |
                                static_cast<std::uint64_t>(position);
    return static_cast<VelmoraWord>(static_cast<std::uintptr_t>(position % 4 == 1 ? ~value : value));
}

// A distinct value for every argument position: even words carry addresses of static and
// of local objects, odd ones numbers, some of them negative.
struct Arguments {
    Arguments() {
        for (int position = 2; position <= 17; ++position) {
            if (position % 4 == 0)
                w[position] = reinterpret_cast<VelmoraWord>(&staticAnchors[position]);
            else if (position % 4 == 2)
                w[position] = reinterpret_cast<VelmoraWord>(&localAnchors[position]);
            else
                w[position] = NumberFor(position);
        }
        for (int i = 0; i < 24; ++i) {
            blockA.bytes[i] = static_cast<unsigned char>(i * 11);
            blockB.bytes[i] = static_cast<unsigned char>(0xFF - i * 5);
        }
    }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    int localAnchors[18] = {};
    VelmoraWord w[18] = {};
    VelmoraBlock24 blockA{};
    VelmoraBlock24 blockB{};
};

std::string Hex(const VelmoraBlock24& block) {
    std::string text;
    char digits[3];
    for (unsigned char byte : block.bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

using Call = VelmoraInt (*)(const LoadedVelmora&, VelmoraInt server, const Arguments&);

struct PerServerExport {
    const char* name;
    Call call;
    // The export's parameters and what the plug-in receives, both in order.
    std::vector<int> parameters;
    std::vector<int> received;
};

void PrintTo(const PerServerExport& entry, std::ostream* out) { *out << entry.name; }

// The journal line of the plug-in's call, without its tag.
std::string Received(const PerServerExport& entry, VelmoraInt server, const Arguments& args) {
    std::string line = std::string(entry.name) + "(";
    for (std::size_t i = 0; i < entry.received.size(); ++i) {
        const int position = entry.received[i];
        if (i) line += ",";
        if (position == S)
            line += std::to_string(server);
        else if (position == A || position == B)
            line += Hex(position == A ? args.blockA : args.blockB);
        else
            line += std::to_string(args.w[position]);
    }
    return line + ")";
}

using V = const LoadedVelmora&;
using W = const Arguments&;

const std::vector<PerServerExport> kPerServerExports = {
    {"GetHeader", [](V v, VelmoraInt s, W a) { return v.GetHeader(s, a.w[2], a.w[3], a.w[4]); },
     {S, 2, 3, 4}, {S, 2, 3, 4}},
    {"ChangeServer", [](V v, VelmoraInt s, W) { return v.ChangeServer(s); }, {S}, {S}},
    {"ChangeChannel", [](V v, VelmoraInt s, W a) { return v.ChangeChannel(s, a.w[2]); }, {S, 2}, {S, 2}},
    {"GetSvChInfo", [](V v, VelmoraInt s, W a) { return v.GetSvChInfo(s, a.w[2], a.w[3]); },
     {S, 2, 3}, {S, 2, 3}},
    {"GetChannelInfo", [](V v, VelmoraInt s, W a) { return v.GetChannelInfo(s, a.w[2], a.w[3]); },
     {S, 2, 3}, {S, 2, 3}},
    {"GetServerInfo", [](V v, VelmoraInt s, W a) { return v.GetServerInfo(s, a.w[2]); }, {S, 2}, {S, 2}},
    {"LoadPreInfo", [](V v, VelmoraInt s, W a) { return v.LoadPreInfo(s, a.w[2], a.w[3], a.w[4]); },
     {S, 2, 3, 4}, {S, 2, 3, 4}},
    {"GoToPreset", [](V v, VelmoraInt s, W a) { return v.GoToPreset(s, a.w[2], a.w[3]); },
     {S, 2, 3}, {S, 2, 3}},
    {"DelPreset", [](V v, VelmoraInt s, W a) { return v.DelPreset(s, a.w[2], a.w[3]); },
     {S, 2, 3}, {S, 2, 3}},
    {"SetPreset", [](V v, VelmoraInt s, W a) { return v.SetPreset(s, a.w[2], a.w[3], a.w[4]); },
     {S, 2, 3, 4}, {S, 2, 3, 4}},
    {"PTZControl",
     [](V v, VelmoraInt s, W a) { return v.PTZControl(s, a.w[2], a.w[3], a.w[4], a.w[5]); },
     {S, 2, 3, 4, 5}, {S, 2, 3, 4, 5}},
    {"GetProtocolInfo", [](V v, VelmoraInt s, W a) { return v.GetProtocolInfo(s, a.w[2], a.w[3]); },
     {S, 2, 3}, {S, 2, 3}},
    {"StartGetVideoData",
     [](V v, VelmoraInt s, W a) { return v.StartGetVideoData(s, a.w[2], a.w[3], a.w[4]); },
     {S, 2, 3, 4}, {S, 2, 3, 4}},
    {"StopGetVideoData", [](V v, VelmoraInt s, W a) { return v.StopGetVideoData(s, a.w[2]); },
     {S, 2}, {S, 2}},
    {"GetCapFileList",
     [](V v, VelmoraInt s, W a) {
         return v.GetCapFileList(s, a.w[2], a.w[3], a.blockA, a.blockB, a.w[16], a.w[17]);
     },
     {S, 2, 3, A, B, 16, 17}, {S, 2, 3, A, B, 16, 17}},
    {"StartPlay",
     [](V v, VelmoraInt s, W a) { return v.StartPlay(s, a.w[2], a.w[3], a.w[4], a.w[5], a.w[6]); },
     {S, 2, 3, 4, 5, 6}, {S, 2, 3, 4, 5, 6}},
    {"StopPlay", [](V v, VelmoraInt s, W a) { return v.StopPlay(s, a.w[2]); }, {S, 2}, {2}},
    {"PlayCtrl",
     [](V v, VelmoraInt s, W a) { return v.PlayCtrl(s, a.w[2], a.w[3], a.w[4], a.w[5]); },
     {S, 2, 3, 4, 5}, {2, 3, 4, 5}},
    {"StartCapture", [](V v, VelmoraInt s, W a) { return v.StartCapture(s, a.w[2], a.w[3]); },
     {S, 2, 3}, {S, 2, 3}},
    {"StopCapture", [](V v, VelmoraInt s, W a) { return v.StopCapture(s, a.w[2]); }, {S, 2}, {2}},
};

// One server, kServer, logged in with type 0, whose plug-in (RegZero) is a recorder.
class PerServerCall : public testing::TestWithParam<PerServerExport> {
protected:
    void SetUp() override {
        InitOver("registry");
        VelmoraLoginRecord record{kServer, 0};
        ASSERT_EQ(library.LoginServer(&record), 1);
        JournalClear();
    }

    void InitOver(const std::string& directory) {
        const auto params = MakeParams("", PluginDirectory(directory));
        ASSERT_EQ(library.InitSvManage(&params, 0), 1);
    }
    VelmoraInt Call(VelmoraInt server) const { return GetParam().call(library, server, args); }
    std::string ReceivedLine() const { return "RegZero:" + Received(GetParam(), kServer, args); }

    LoadedVelmora library;
    Recorder typeZero{"registry", "QXDVRRegZero"};
    Arguments args;
};

TEST_P(PerServerCall, PluginReceivesExactlyItsArgumentsInOrder) {
    EXPECT_EQ(Call(kServer), 1);
    EXPECT_EQ(Journal(), Lines{ReceivedLine()});
}

TEST_P(PerServerCall, PluginResultComesBackUnchanged) {
    for (VelmoraInt result : {INT32_MIN, -7, -1, 0, 2, 0x2468ACE0, INT32_MAX}) {
        typeZero.SetResult(GetParam().name, result);
        EXPECT_EQ(Call(kServer), result);
    }
}

TEST_P(PerServerCall, UnknownServerAnswersMinusOneWithoutAnyPluginCall) {
    for (VelmoraInt server : {kServer + 1, 0, -1, INT32_MIN}) EXPECT_EQ(Call(server), -1) << server;
    EXPECT_TRUE(Journal().empty());
}

TEST_P(PerServerCall, ServerWhoseTypeLeftTheTableAnswersMinusOneWithoutAnyPluginCall) {
    typeZero.SetResult(GetParam().name, 5);
    ASSERT_EQ(Call(kServer), 5) << "reaches its plug-in while type 0 is in the table";
    InitOver("fallback");
    JournalClear();
    EXPECT_EQ(Call(kServer), -1);
    EXPECT_TRUE(Journal().empty());
}

TEST_P(PerServerCall, ServerOfATypeWithoutEntryPointsAnswersMinusOneWithoutAnyPluginCall) {
    // Re-typed by its plug-in at a second login to the type of QXDVRRegBare.
    typeZero.RewriteLogin(kServer, 2);
    VelmoraLoginRecord record{kServer, 0};
    ASSERT_EQ(library.LoginServer(&record), 1);
    JournalClear();
    EXPECT_EQ(Call(kServer), -1);
    EXPECT_TRUE(Journal().empty()) << "the call went to type 0's plug-in all the same";
    // Still registered: an unknown server would answer 1; a type lacking DelServer, -1.
    EXPECT_EQ(library.DelServer(kServer), -1);
}

#if defined(_WIN32) && !defined(_WIN64)

// The address of an export, looked up by name as a host looks it up; the library stays
// loaded by the test's LoadedVelmora.
const void* ExportAddress(const std::string& name) {
    const auto module = platform::OpenModule(test::ExecutableDirectory() + VELMORA_LIBRARY_FILE);
    const auto symbol = platform::FindSymbol(module, ("Velmora_" + name).c_str());
    platform::CloseModule(module);
    return reinterpret_cast<const void*>(symbol);
}

StdcallProbe Push(const std::string& name, const std::vector<std::uint32_t>& words) {
    const void* function = ExportAddress(name);
    if (!function) {
        ADD_FAILURE() << "no export Velmora_" << name;
        return {0, 0};
    }
    return CallStdcall(function, words.data(), static_cast<std::uint32_t>(words.size()));
}

// The 32-bit words a host pushes for the export's parameters; a block is six of them.
std::vector<std::uint32_t> ArgumentArea(const PerServerExport& entry, const Arguments& args) {
    std::vector<std::uint32_t> words;
    for (int position : entry.parameters) {
        if (position == A || position == B) {
            const auto& block = position == A ? args.blockA : args.blockB;
            for (int i = 0; i < 6; ++i) {
                std::uint32_t word;
                std::memcpy(&word, block.bytes + 4 * i, sizeof word);
                words.push_back(word);
            }
        } else {
            words.push_back(static_cast<std::uint32_t>(position == S ? kServer : args.w[position]));
        }
    }
    return words;
}

TEST_P(PerServerCall, CalleeTakesExactlyTheArgumentAreaAndThePluginSeesItUnchanged) {
    const auto words = ArgumentArea(GetParam(), args);
    typeZero.SetResult(GetParam().name, -7);
    const auto probe = Push(GetParam().name, words);
    EXPECT_EQ(probe.stackDrift, 0) << words.size() << " words pushed";
    EXPECT_EQ(probe.result, -7);
    EXPECT_EQ(Journal(), Lines{ReceivedLine()});
}

// What the host's callbacks saw, reached through their user value.
struct CallbackLog {
    VelmoraInt choice = -1;
    std::vector<std::string> selectNames;
    std::vector<VelmoraInt> typeIds;
    std::vector<std::string> typeNames;
};

VelmoraInt VELMORA_CALL Choose(VelmoraInt count, const char* const* names, VelmoraWord user) {
    auto* log = reinterpret_cast<CallbackLog*>(user);
    log->selectNames.assign(names, names + count);
    return log->choice;
}

void VELMORA_CALL CollectType(VelmoraInt typeId, const char* name, VelmoraWord user) {
    auto* log = reinterpret_cast<CallbackLog*>(user);
    log->typeIds.push_back(typeId);
    log->typeNames.emplace_back(name);
}

template <typename T>
std::uint32_t Word(T value) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(value));
}

// The nine exports outside the table, each with its own argument count (none for
// DeInitSvManage), in an order in which each one has something to do.
TEST(ArgumentAreas, EveryOtherExportTakesExactlyItsArgumentArea) {
    LoadedVelmora library;
    Recorder typeZero("registry", "QXDVRRegZero");
    const auto tags = test::TagsInTableOrder("registry");
    const auto zero = std::find(tags.begin(), tags.end(), "RegZero");
    ASSERT_NE(zero, tags.end());

    const auto expectBalanced = [](const char* name, const std::vector<std::uint32_t>& words) {
        const auto probe = Push(name, words);
        EXPECT_EQ(probe.stackDrift, 0) << "Velmora_" << name << ", " << words.size() << " words pushed";
        return probe.result;
    };
    const auto params = MakeParams("", PluginDirectory("registry"));
    const std::uint32_t application = 0x6A7B8C9D;
    EXPECT_EQ(expectBalanced("InitSvManage", {Word(&params), application}), 1);
    EXPECT_EQ(Journal("RegZero").at(4), "InitDLL(" + std::to_string(VelmoraWord(application)) + ")");

    CallbackLog log;
    log.choice = static_cast<VelmoraInt>(zero - tags.begin());
    EXPECT_EQ(expectBalanced("SetSelectServerCallBack", {Word(&Choose), Word(&log)}), 1);
    JournalClear();
    EXPECT_EQ(expectBalanced("AddServer", {std::uint32_t(kServer)}), 1);
    EXPECT_EQ(log.selectNames.size(), tags.size()) << "the choice was offered through the callback";
    EXPECT_EQ(Journal(), Lines{"RegZero:AddServer(" + std::to_string(kServer) + ")"});

    VelmoraLoginRecord record{kServer + 1, 0};
    JournalClear();
    EXPECT_EQ(expectBalanced("LoginServer", {Word(&record)}), 1);
    EXPECT_EQ(Journal(), Lines{"RegZero:LoginServer(" + std::to_string(Word(&record)) + ")"});

    EXPECT_EQ(expectBalanced("GetServerTypeInfo", {Word(&CollectType), Word(&log)}), -1);
    ASSERT_EQ(log.typeIds.size(), tags.size());
    const auto bare = std::find(log.typeIds.begin(), log.typeIds.end(), 2);
    ASSERT_NE(bare, log.typeIds.end());
    const std::string bareName = log.typeNames[bare - log.typeIds.begin()];
    EXPECT_EQ(expectBalanced("GetServerTypeID", {Word(bareName.c_str())}), 2);

    JournalClear();
    const std::uint32_t w1 = 0x11112222, w2 = 0x33334444;
    EXPECT_EQ(expectBalanced("SetSvMsgCallBack", {w1, w2}), -1);
    EXPECT_EQ(Journal("RegZero"),
              Lines{"SetSvMsgCallBack(" + std::to_string(w1) + "," + std::to_string(w2) + ")"});

    JournalClear();
    EXPECT_EQ(expectBalanced("DelServer", {std::uint32_t(kServer)}), 1);
    EXPECT_EQ(Journal(), Lines{"RegZero:DelServer(" + std::to_string(kServer) + ")"});

    JournalClear();
    EXPECT_EQ(expectBalanced("DeInitSvManage", {}), 1);
    EXPECT_EQ(Journal("RegZero"), (Lines{"DeInitClient()", "DeInitDLL()"}));
}

#endif

INSTANTIATE_TEST_SUITE_P(TwentyExports, PerServerCall, testing::ValuesIn(kPerServerExports),
                         [](const testing::TestParamInfo<PerServerExport>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace velmora
