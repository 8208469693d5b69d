// The sample plug-in (plugins/sample) driven through the library's exports, as a host
// drives it: its type, its servers, channels, PTZ and presets, recordings, playback and
// capture handles, its messages, and calls from several threads at once.
//
// The plug-in stays loaded for the whole run and keeps its servers, so every test uses
// server IDs of its own and deletes them again.
#include "sample_plugin.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velmora {
namespace {

using test::LoadedVelmora;
using test::MakeParams;
using test::PluginDirectory;

const std::string kName0 = "\xBA\xA3\xBF\xB5\xC7\xB6\xC8\xEB\xCA\xBD";

template <typename T>
VelmoraWord Word(T* address) {
    return reinterpret_cast<VelmoraWord>(address);
}

struct Message {
    VelmoraInt server;
    VelmoraInt message;
    bool operator==(const Message& other) const { return server == other.server && message == other.message; }
};

std::ostream& operator<<(std::ostream& out, const Message& m) {
    return out << '{' << m.server << ", " << m.message << '}';
}

struct Messages {
    std::mutex mutex;
    std::vector<Message> received;
};

void VELMORA_CALL OnMessage(VelmoraInt server, VelmoraInt message, VelmoraWord user) {
    auto& messages = *reinterpret_cast<Messages*>(user);
    std::lock_guard<std::mutex> lock(messages.mutex);
    messages.received.push_back({server, message});
}

// Picks the sample's type among those offered, as a user would in the dialog.
VelmoraInt VELMORA_CALL ChooseSample(VelmoraInt count, const char* const* names, VelmoraWord) {
    for (VelmoraInt i = 0; i < count; ++i)
        if (names[i] == kName0) return i;
    return -1;
}

class SamplePlugin : public testing::Test {
protected:
    void SetUp() override {
        const auto params = MakeParams(PluginDirectory("sample"), PluginDirectory("sample"));
        ASSERT_EQ(v.InitSvManage(&params, 0), 1);
        v.SetSvMsgCallBack(Word(OnMessage), Word(&messages));
        ASSERT_EQ(v.SetSelectServerCallBack(ChooseSample, 0), 1);
    }
    void TearDown() override {
        // The plug-in outlives the test; it must not keep calling into a finished one.
        v.SetSvMsgCallBack(0, 0);
        v.DeInitSvManage();
    }

    VelmoraInt Login(VelmoraInt server, const char* user, SampleLoginRecord* out = nullptr) {
        SampleLoginRecord record{};
        record.serverId = server;
        record.typeId = SAMPLE_TYPE_ID;
        std::strcpy(record.address, "192.0.2.10");
        record.port = 8000;
        std::strcpy(record.user, user);
        const VelmoraInt result = v.LoginServer(reinterpret_cast<VelmoraLoginRecord*>(&record));
        if (out) *out = record;
        return result;
    }

    std::vector<SampleRecordFile> Files(VelmoraInt server, VelmoraInt channel, const SampleTime& start,
                                        const SampleTime& end, VelmoraInt capacity, VelmoraInt* count) {
        std::vector<SampleRecordFile> files(capacity + 1);
        std::memset(files.data(), 0xEE, files.size() * sizeof files[0]);
        *count = v.GetCapFileList(server, channel, 0, SampleTimeToBlock(start), SampleTimeToBlock(end),
                                  Word(files.data()), capacity);
        return files;
    }

    LoadedVelmora v;
    Messages messages;
};

using Types = std::vector<std::pair<VelmoraInt, std::string>>;

void VELMORA_CALL CollectType(VelmoraInt typeId, const char* name, VelmoraWord user) {
    reinterpret_cast<Types*>(user)->emplace_back(typeId, name);
}

TEST_F(SamplePlugin, IsOneTypeWithIdZeroAndItsDisplayName) {
    Types types;
    v.GetServerTypeInfo(CollectType, Word(&types));
    EXPECT_EQ(types, (Types{{SAMPLE_TYPE_ID, kName0}}));
    EXPECT_EQ(v.GetServerTypeID(kName0.c_str()), SAMPLE_TYPE_ID);
}

TEST_F(SamplePlugin, RemembersAddedServersAndForgetsDeletedOnes) {
    EXPECT_EQ(v.AddServer(101), 1);
    SampleServerInfo info{};
    ASSERT_EQ(v.GetServerInfo(101, Word(&info)), 1);
    EXPECT_EQ(info.serverId, 101);
    EXPECT_EQ(info.loggedIn, 0);
    EXPECT_EQ(info.channelCount, SAMPLE_CHANNEL_COUNT);
    EXPECT_EQ(info.currentChannel, 1);
    EXPECT_STREQ(info.address, "");
    EXPECT_STRNE(info.model, "");
    EXPECT_EQ(v.ChangeServer(101), 1);
    EXPECT_EQ(v.GetServerInfo(101, 0), 0);

    EXPECT_EQ(v.DelServer(101), 1);
    // The library has dropped it: no plug-in is asked any more.
    EXPECT_EQ(v.GetServerInfo(101, Word(&info)), -1);
    EXPECT_EQ(v.DelServer(101), 1);
    EXPECT_EQ(messages.received, (std::vector<Message>{{101, SAMPLE_MSG_ADDED}, {101, SAMPLE_MSG_DELETED}}));
}

TEST_F(SamplePlugin, LoginRecordsTheAddressAndCanAskThePluginForAnId) {
    SampleLoginRecord record{};
    ASSERT_EQ(Login(102, "admin", &record), 1);
    SampleServerInfo info{};
    ASSERT_EQ(v.GetServerInfo(102, Word(&info)), 1);
    EXPECT_EQ(info.loggedIn, 1);
    EXPECT_STREQ(info.address, "192.0.2.10");
    EXPECT_EQ(info.port, 8000);
    char protocol[64] = {};
    const VelmoraInt length = v.GetProtocolInfo(102, Word(protocol), sizeof protocol);
    EXPECT_STREQ(protocol, "SAMPLE/1.0 over TCP, port 8000");
    EXPECT_EQ(length, VelmoraInt(std::strlen(protocol)));
    EXPECT_EQ(v.GetProtocolInfo(102, Word(protocol), 8), 0);

    // An empty user name is refused and nothing is registered.
    EXPECT_EQ(Login(103, ""), 0);
    EXPECT_EQ(v.ChangeServer(103), -1);

    // Server ID 0: the plug-in picks one, and the library registers what it picked.
    SampleLoginRecord picked{};
    ASSERT_EQ(Login(0, "operator", &picked), 1);
    EXPECT_NE(picked.serverId, 0);
    EXPECT_EQ(v.ChangeServer(picked.serverId), 1);
    EXPECT_EQ(messages.received,
              (std::vector<Message>{{102, SAMPLE_MSG_LOGGED_IN}, {picked.serverId, SAMPLE_MSG_LOGGED_IN}}));
    EXPECT_EQ(v.DelServer(102), 1);
    EXPECT_EQ(v.DelServer(picked.serverId), 1);
}

TEST_F(SamplePlugin, AnswersChannelInformation) {
    ASSERT_EQ(v.AddServer(104), 1);
    SampleChannelInfo channels[SAMPLE_CHANNEL_COUNT + 1] = {};
    EXPECT_EQ(v.GetSvChInfo(104, Word(channels), 2), SAMPLE_CHANNEL_COUNT);
    EXPECT_EQ(channels[1].channel, 2);
    EXPECT_EQ(channels[2].channel, 0) << "only as many as fit";
    EXPECT_EQ(v.GetSvChInfo(104, Word(channels), SAMPLE_CHANNEL_COUNT + 1), SAMPLE_CHANNEL_COUNT);
    for (int i = 0; i < SAMPLE_CHANNEL_COUNT; ++i) {
        EXPECT_EQ(channels[i].channel, i + 1);
        EXPECT_EQ(channels[i].hasPtz, i < SAMPLE_PTZ_CHANNEL_COUNT);
        EXPECT_GT(channels[i].width, 0);
    }
    EXPECT_EQ(channels[SAMPLE_CHANNEL_COUNT].channel, 0);

    SampleChannelInfo one{};
    EXPECT_EQ(v.GetChannelInfo(104, 3, Word(&one)), 1);
    EXPECT_EQ(one.channel, 3);
    EXPECT_STREQ(one.name, "Camera 3");
    EXPECT_EQ(v.GetChannelInfo(104, 0, Word(&one)), 0);
    EXPECT_EQ(v.GetChannelInfo(104, SAMPLE_CHANNEL_COUNT + 1, Word(&one)), 0);

    EXPECT_EQ(v.ChangeChannel(104, 4), 1);
    EXPECT_EQ(v.ChangeChannel(104, 9), 0);
    SampleServerInfo info{};
    v.GetServerInfo(104, Word(&info));
    EXPECT_EQ(info.currentChannel, 4);

    SampleStreamHeader header{};
    EXPECT_EQ(v.GetHeader(104, 1, Word(&header), sizeof header), VelmoraInt(sizeof header));
    EXPECT_EQ(std::string(header.magic, 4), "SMPL");
    EXPECT_EQ(header.width, 1920);
    EXPECT_EQ(v.GetHeader(104, 1, Word(&header), sizeof header - 1), 0);

    const VelmoraInt live = v.StartGetVideoData(104, 2, 0, 0);
    EXPECT_GT(live, 0);
    EXPECT_EQ(v.StopGetVideoData(104, live), 1);
    EXPECT_EQ(v.StopGetVideoData(104, live), 0);
    EXPECT_EQ(v.DelServer(104), 1);
}

TEST_F(SamplePlugin, MovesTheCameraAndKeepsPresets) {
    ASSERT_EQ(v.AddServer(105), 1);
    const auto position = [&](VelmoraInt channel) {
        SampleChannelInfo info{};
        v.GetChannelInfo(105, channel, Word(&info));
        return std::vector<VelmoraInt>{info.pan, info.tilt, info.zoom};
    };
    EXPECT_EQ(v.PTZControl(105, 1, SAMPLE_PTZ_RIGHT, 5, 0), 1);
    EXPECT_EQ(v.PTZControl(105, 1, SAMPLE_PTZ_UP, 2, 0), 1);
    EXPECT_EQ(v.PTZControl(105, 1, SAMPLE_PTZ_ZOOM_IN, 3, 0), 1);
    EXPECT_EQ(v.PTZControl(105, 1, SAMPLE_PTZ_STOP, 1, 0), 1);
    EXPECT_EQ(position(1), (std::vector<VelmoraInt>{5, 2, 4}));
    EXPECT_EQ(position(2), (std::vector<VelmoraInt>{0, 0, 1})) << "each channel has its own camera";
    EXPECT_EQ(v.PTZControl(105, 3, SAMPLE_PTZ_UP, 1, 0), 0) << "no PTZ on channel 3";
    EXPECT_EQ(v.PTZControl(105, 1, SAMPLE_PTZ_UP, 9, 0), 0) << "speed out of range";
    EXPECT_EQ(v.PTZControl(105, 1, 99, 1, 0), 0) << "no such command";

    char door[] = "Door";
    EXPECT_EQ(v.SetPreset(105, 1, 3, Word(door)), 1);
    EXPECT_EQ(v.PTZControl(105, 1, SAMPLE_PTZ_LEFT, 8, 0), 1);
    EXPECT_EQ(v.SetPreset(105, 1, 1, 0), 1);
    EXPECT_EQ(v.SetPreset(105, 1, SAMPLE_PRESET_COUNT + 1, 0), 0);
    EXPECT_EQ(position(1), (std::vector<VelmoraInt>{-3, 2, 4}));
    EXPECT_EQ(v.GoToPreset(105, 1, 3), 1);
    EXPECT_EQ(position(1), (std::vector<VelmoraInt>{5, 2, 4}));

    SamplePresetInfo presets[3] = {};
    EXPECT_EQ(v.LoadPreInfo(105, 1, Word(presets), 3), 2);
    EXPECT_EQ(presets[0].number, 1);
    EXPECT_EQ(presets[0].pan, -3);
    EXPECT_STREQ(presets[0].name, "");
    EXPECT_EQ(presets[1].number, 3);
    EXPECT_EQ(presets[1].pan, 5);
    EXPECT_STREQ(presets[1].name, "Door");
    EXPECT_EQ(presets[2].number, 0);
    EXPECT_EQ(v.LoadPreInfo(105, 1, 0, 0), 2) << "the count alone";

    EXPECT_EQ(v.DelPreset(105, 1, 3), 1);
    EXPECT_EQ(v.DelPreset(105, 1, 3), 0);
    EXPECT_EQ(v.GoToPreset(105, 1, 3), 0);
    EXPECT_EQ(v.LoadPreInfo(105, 1, Word(presets), 3), 1);
    EXPECT_EQ(v.DelServer(105), 1);
}

TEST_F(SamplePlugin, ListsTheRecordingsBetweenTheTwoTimesOfTheBlocks) {
    ASSERT_EQ(v.AddServer(106), 1);
    VelmoraInt count = 0;
    // Across midnight at the end of February of a leap year.
    auto files = Files(106, 2, {2024, 2, 29, 22, 30, 0}, {2024, 3, 1, 1, 0, 0}, 8, &count);
    ASSERT_EQ(count, 3);
    EXPECT_STREQ(files[0].name, "ch2_20240229_2200.smp");
    EXPECT_STREQ(files[1].name, "ch2_20240229_2300.smp");
    EXPECT_STREQ(files[2].name, "ch2_20240301_0000.smp");
    EXPECT_EQ(files[2].channel, 2);
    const SampleTime start = files[1].start, end = files[1].end;
    EXPECT_EQ(std::vector<VelmoraInt>({start.year, start.month, start.day, start.hour, start.minute, start.second}),
              std::vector<VelmoraInt>({2024, 2, 29, 23, 0, 0}));
    EXPECT_EQ(std::vector<VelmoraInt>({end.year, end.month, end.day, end.hour, end.minute, end.second}),
              std::vector<VelmoraInt>({2024, 3, 1, 0, 0, 0}));
    EXPECT_GT(files[0].sizeKiB, 0);
    EXPECT_EQ(static_cast<unsigned char>(files[3].name[0]), 0xEE) << "nothing beyond the files";

    // More files than room: all are counted, only the room is filled.
    files = Files(106, 1, {2024, 1, 1, 0, 0, 0}, {2024, 1, 2, 0, 0, 0}, 2, &count);
    EXPECT_EQ(count, 24);
    EXPECT_STREQ(files[1].name, "ch1_20240101_0100.smp");
    EXPECT_EQ(static_cast<unsigned char>(files[2].name[0]), 0xEE);

    // The two blocks are told apart: swapped, the range is empty.
    Files(106, 1, {2024, 1, 2, 0, 0, 0}, {2024, 1, 1, 0, 0, 0}, 2, &count);
    EXPECT_EQ(count, 0);
    Files(106, 1, {2024, 13, 1, 0, 0, 0}, {2025, 1, 1, 0, 0, 0}, 2, &count);
    EXPECT_EQ(count, 0) << "not a date";
    Files(106, 7, {2024, 1, 1, 0, 0, 0}, {2024, 1, 2, 0, 0, 0}, 2, &count);
    EXPECT_EQ(count, 0) << "no such channel";
    EXPECT_EQ(v.DelServer(106), 1);
}

TEST_F(SamplePlugin, PlaybackAndCaptureHandlesComeBackToStopPlayPlayCtrlAndStopCapture) {
    ASSERT_EQ(v.AddServer(107), 1);
    VelmoraInt count = 0;
    auto files = Files(107, 1, {2024, 5, 1, 8, 0, 0}, {2024, 5, 1, 9, 0, 0}, 1, &count);
    ASSERT_EQ(count, 1);
    const VelmoraInt playback = v.StartPlay(107, 1, Word(files[0].name), 0, 0, 0);
    ASSERT_GT(playback, 0);
    EXPECT_EQ(v.StartPlay(107, 2, Word(files[0].name), 0, 0, 0), 0) << "a file of another channel";
    char bogus[] = "holiday.avi";
    EXPECT_EQ(v.StartPlay(107, 1, Word(bogus), 0, 0, 0), 0);

    VelmoraInt value = -1;
    EXPECT_EQ(v.PlayCtrl(107, playback, SAMPLE_PLAY_GET_SPEED, 0, Word(&value)), 1);
    EXPECT_EQ(value, 0) << "paused at first";
    EXPECT_EQ(v.PlayCtrl(107, playback, SAMPLE_PLAY_RESUME, 0, 0), 1);
    EXPECT_EQ(v.PlayCtrl(107, playback, SAMPLE_PLAY_SPEED, 8, 0), 1);
    EXPECT_EQ(v.PlayCtrl(107, playback, SAMPLE_PLAY_SPEED, 3, 0), 0);
    EXPECT_EQ(v.PlayCtrl(107, playback, SAMPLE_PLAY_GET_SPEED, 0, Word(&value)), 1);
    EXPECT_EQ(value, 8);
    EXPECT_EQ(v.PlayCtrl(107, playback, SAMPLE_PLAY_SEEK, 1234, 0), 1);
    EXPECT_EQ(v.PlayCtrl(107, playback, SAMPLE_PLAY_SEEK, 3600, 0), 0);
    EXPECT_EQ(v.PlayCtrl(107, playback, SAMPLE_PLAY_GET_POSITION, 0, Word(&value)), 1);
    EXPECT_EQ(value, 1234);
    EXPECT_EQ(v.PlayCtrl(107, playback, SAMPLE_PLAY_PAUSE, 0, 0), 1);
    EXPECT_EQ(v.PlayCtrl(107, playback, SAMPLE_PLAY_GET_SPEED, 0, Word(&value)), 1);
    EXPECT_EQ(value, 0);

    char target[] = "evidence.smp";
    const VelmoraInt capture = v.StartCapture(107, 3, Word(target));
    ASSERT_GT(capture, 0);
    EXPECT_NE(capture, playback);
    EXPECT_EQ(v.StartCapture(107, 3, 0), 0) << "no file name";
    // A handle of one kind is refused where another is expected.
    EXPECT_EQ(v.StopPlay(107, capture), 0);
    EXPECT_EQ(v.StopCapture(107, playback), 0);
    EXPECT_EQ(v.PlayCtrl(107, capture, SAMPLE_PLAY_PAUSE, 0, 0), 0);

    EXPECT_EQ(v.StopPlay(107, playback), 1);
    EXPECT_EQ(v.StopPlay(107, playback), 0);
    EXPECT_EQ(v.PlayCtrl(107, playback, SAMPLE_PLAY_RESUME, 0, 0), 0);
    EXPECT_EQ(v.StopCapture(107, capture), 1);
    EXPECT_EQ(v.StopCapture(107, capture), 0);

    // Deleting a server ends what it had running.
    const VelmoraInt running = v.StartPlay(107, 1, Word(files[0].name), 0, 0, 0);
    ASSERT_GT(running, 0);
    EXPECT_EQ(v.DelServer(107), 1);
    ASSERT_EQ(v.AddServer(108), 1);
    EXPECT_EQ(v.StopPlay(108, running), 0);
    EXPECT_EQ(v.DelServer(108), 1);
}

TEST_F(SamplePlugin, HandlesCallsFromManyThreadsAtOnce) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 50;
    std::mutex handlesMutex;
    std::set<VelmoraInt> handles;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const VelmoraInt server = 200 + t;
            char name[] = "ch1_20240501_0800.smp";
            for (int round = 0; round < kRounds; ++round) {
                if (v.AddServer(server) != 1) ++failures;
                const VelmoraInt handle = v.StartPlay(server, 1, Word(name), 0, 0, 0);
                if (handle <= 0 || v.PTZControl(server, 1, SAMPLE_PTZ_RIGHT, 1, 0) != 1) ++failures;
                {
                    std::lock_guard<std::mutex> lock(handlesMutex);
                    if (!handles.insert(handle).second) ++failures;
                }
                if (v.StopPlay(server, handle) != 1 || v.DelServer(server) != 1) ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(handles.size(), std::size_t(kThreads * kRounds)) << "every handle unique";
    std::lock_guard<std::mutex> lock(messages.mutex);
    EXPECT_EQ(messages.received.size(), std::size_t(2 * kThreads * kRounds));
}

}  // namespace
}  // namespace velmora
