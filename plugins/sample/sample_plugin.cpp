// The sample plug-in: a simulated video server behind the thirty entry points of its type
// (GetServerTypeName is left out: type ID 0 has a built-in name). What each entry point
// reads and answers is described in sample_plugin.h; this file shows how a plug-in is put
// together:
//   - every entry point is exported by VELMORA_PLUGIN_EXPORT with the VELMORA_CALL
//     convention and only the word types of <velmora/types.h>;
//   - Velmora may call from any thread, so all state sits behind one mutex;
//   - the host's message callback is called with that mutex released, so that the host
//     may call back into Velmora and from there into this plug-in;
//   - nothing escapes an entry point: no exception, no pointer to a local.
#include "sample_plugin.h"

#include <velmora/plugin.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <string>

namespace {

struct Position {
    VelmoraInt pan = 0, tilt = 0, zoom = 1;
};

struct Preset {
    Position position;
    std::string name;
};

struct Channel {
    Position camera;
    std::map<VelmoraInt, Preset> presets;  // by number, so LoadPreInfo lists them in order
};

struct Server {
    bool loggedIn = false;
    std::string address;
    VelmoraInt port = 0;
    VelmoraInt currentChannel = 1;
    Channel channels[SAMPLE_CHANNEL_COUNT];
};

enum class HandleKind { Live, Playback, Capture };

struct Handle {
    HandleKind kind;
    VelmoraInt server;
    VelmoraInt channel;
    bool paused = true;
    VelmoraInt speed = 1;
    VelmoraInt position = 0;
};

std::mutex mutex;
std::map<VelmoraInt, Server> servers;
std::map<VelmoraInt, Handle> handles;
VelmoraInt nextHandle = 1;
VelmoraInt nextServerId = 90001;  // for logins that ask the plug-in for an ID
SampleMessageCallBack messageCallBack = nullptr;
VelmoraWord messageUser = 0;

using Lock = std::lock_guard<std::mutex>;

// Every per-server call starts here: the server, or null when the plug-in does not know it.
// The caller holds the lock.
Server* Find(VelmoraInt server) {
    const auto found = servers.find(server);
    return found == servers.end() ? nullptr : &found->second;
}

bool ValidChannel(VelmoraWord channel) { return channel >= 1 && channel <= SAMPLE_CHANNEL_COUNT; }
bool PtzChannel(VelmoraWord channel) { return channel >= 1 && channel <= SAMPLE_PTZ_CHANNEL_COUNT; }
bool ValidPreset(VelmoraWord number) { return number >= 1 && number <= SAMPLE_PRESET_COUNT; }

// Copies text into a fixed field, cut to fit and always zero-terminated.
template <std::size_t N>
void CopyText(char (&field)[N], const std::string& text) {
    std::snprintf(field, N, "%s", text.c_str());
}

// The callback is read under the lock and called outside it.
void Notify(VelmoraInt server, VelmoraInt message) {
    SampleMessageCallBack callback;
    VelmoraWord user;
    {
        Lock lock(mutex);
        callback = messageCallBack;
        user = messageUser;
    }
    if (callback) callback(server, message, user);
}

VelmoraInt NewHandle(HandleKind kind, VelmoraInt server, VelmoraInt channel) {
    const VelmoraInt id = nextHandle++;
    handles.emplace(id, Handle{kind, server, channel});
    return id;
}

// Ends a handle of the given kind; false when there is no such handle.
bool EndHandle(VelmoraWord id, HandleKind kind) {
    const auto found = handles.find(static_cast<VelmoraInt>(id));
    if (found == handles.end() || found->first != id || found->second.kind != kind) return false;
    handles.erase(found);
    return true;
}

// ---- Simulated recordings: one file per channel and hour. Times become hours counted
// from 1970-01-01 00:00 so that a range of any length is counted without a walk.

bool ValidTime(const SampleTime& t) {
    return t.year >= 1970 && t.year <= 9999 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
           t.day <= 31 && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 &&
           t.second >= 0 && t.second <= 59;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar, and back.
std::int64_t DaysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2;
    const std::int64_t era = y / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

SampleTime TimeOfHour(std::int64_t hours) {
    const std::int64_t z = hours / 24 + 719468;
    const std::int64_t era = z / 146097;
    const std::int64_t dayOfEra = z - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t mp = (5 * dayOfYear + 2) / 153;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2);
    return {VelmoraInt(year), VelmoraInt(month), VelmoraInt(dayOfYear - (153 * mp + 2) / 5 + 1),
            VelmoraInt(hours % 24), 0, 0};
}

std::int64_t SecondsOf(const SampleTime& t) {
    return ((DaysFromCivil(t.year, t.month, t.day) * 24 + t.hour) * 60 + t.minute) * 60 + t.second;
}

SampleRecordFile RecordFile(VelmoraInt channel, std::int64_t hour) {
    SampleRecordFile file{};
    file.start = TimeOfHour(hour);
    file.end = TimeOfHour(hour + 1);
    file.channel = channel;
    file.sizeKiB = 900000 + static_cast<VelmoraInt>(hour % 97) * 1000;
    std::snprintf(file.name, sizeof file.name, "ch%d_%04d%02d%02d_%02d00.smp", int(channel),
                  int(file.start.year), int(file.start.month), int(file.start.day), int(file.start.hour));
    return file;
}

}  // namespace

// ---- Life cycle. Velmora calls GetServerTypeID and SetPath while it discovers plug-ins,
// then InitDLL and InitClient; DeInitClient and DeInitDLL when the host shuts down.

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL GetServerTypeID() { return SAMPLE_TYPE_ID; }

// The text is valid during the call only; a plug-in that needs it later keeps a copy.
VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL SetPath(const char*) { return 1; }

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL InitDLL(VelmoraWord) { return 1; }
VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL InitClient() { return 1; }

// A client that shuts down ends every stream, playback and capture; the servers stay known.
VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL DeInitClient() {
    Lock lock(mutex);
    handles.clear();
    return 1;
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL DeInitDLL() {
    Lock lock(mutex);
    messageCallBack = nullptr;
    messageUser = 0;
    return 1;
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL SetSvMsgCallBack(VelmoraWord w1, VelmoraWord w2) {
    Lock lock(mutex);
    messageCallBack = reinterpret_cast<SampleMessageCallBack>(w1);
    messageUser = w2;
    return 1;
}

// ---- Servers.

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL AddServer(VelmoraInt server) {
    {
        Lock lock(mutex);
        servers.emplace(server, Server{});
    }
    Notify(server, SAMPLE_MSG_ADDED);
    return 1;
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL LoginServer(void* record) {
    auto* login = static_cast<SampleLoginRecord*>(record);
    if (!login || login->user[0] == '\0') return 0;
    VelmoraInt id;
    {
        Lock lock(mutex);
        if (login->serverId == 0) login->serverId = nextServerId++;
        id = login->serverId;
        Server& server = servers[id];
        server.loggedIn = true;
        const char* const address = login->address;
        server.address.assign(address, std::find(address, address + sizeof login->address, '\0'));
        server.port = login->port;
    }
    Notify(id, SAMPLE_MSG_LOGGED_IN);
    return 1;
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL DelServer(VelmoraInt server) {
    {
        Lock lock(mutex);
        if (servers.erase(server) == 0) return 0;
        for (auto it = handles.begin(); it != handles.end();)
            it = it->second.server == server ? handles.erase(it) : std::next(it);
    }
    Notify(server, SAMPLE_MSG_DELETED);
    return 1;
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL ChangeServer(VelmoraInt server) {
    Lock lock(mutex);
    return Find(server) ? 1 : 0;
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL GetServerInfo(VelmoraInt server, VelmoraWord w2) {
    auto* info = reinterpret_cast<SampleServerInfo*>(w2);
    Lock lock(mutex);
    const Server* known = Find(server);
    if (!known || !info) return 0;
    *info = SampleServerInfo{};
    info->serverId = server;
    info->loggedIn = known->loggedIn;
    info->channelCount = SAMPLE_CHANNEL_COUNT;
    info->currentChannel = known->currentChannel;
    info->port = known->port;
    CopyText(info->address, known->address);
    CopyText(info->model, "Velmora sample NVR");
    CopyText(info->firmware, "1.0.0");
    return 1;
}

// ---- Channels.

namespace {

SampleChannelInfo ChannelInfo(const Server& server, VelmoraInt channel) {
    SampleChannelInfo info{};
    info.channel = channel;
    info.width = channel == 1 ? 1920 : 1280;
    info.height = channel == 1 ? 1080 : 720;
    info.framesPerSecond = 25;
    info.hasPtz = PtzChannel(channel);
    const Position& camera = server.channels[channel - 1].camera;
    info.pan = camera.pan;
    info.tilt = camera.tilt;
    info.zoom = camera.zoom;
    std::snprintf(info.name, sizeof info.name, "Camera %d", int(channel));
    return info;
}

}  // namespace

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL GetSvChInfo(VelmoraInt server, VelmoraWord w2,
                                                           VelmoraWord w3) {
    auto* infos = reinterpret_cast<SampleChannelInfo*>(w2);
    Lock lock(mutex);
    const Server* known = Find(server);
    if (!known || (!infos && w3 > 0)) return 0;
    for (VelmoraInt channel = 1; channel <= SAMPLE_CHANNEL_COUNT && channel <= w3; ++channel)
        infos[channel - 1] = ChannelInfo(*known, channel);
    return SAMPLE_CHANNEL_COUNT;
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL GetChannelInfo(VelmoraInt server, VelmoraWord w2,
                                                              VelmoraWord w3) {
    auto* info = reinterpret_cast<SampleChannelInfo*>(w3);
    Lock lock(mutex);
    const Server* known = Find(server);
    if (!known || !ValidChannel(w2) || !info) return 0;
    *info = ChannelInfo(*known, static_cast<VelmoraInt>(w2));
    return 1;
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL ChangeChannel(VelmoraInt server, VelmoraWord w2) {
    Lock lock(mutex);
    Server* known = Find(server);
    if (!known || !ValidChannel(w2)) return 0;
    known->currentChannel = static_cast<VelmoraInt>(w2);
    return 1;
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL GetHeader(VelmoraInt server, VelmoraWord w2,
                                                         VelmoraWord w3, VelmoraWord w4) {
    auto* buffer = reinterpret_cast<void*>(w3);
    Lock lock(mutex);
    const Server* known = Find(server);
    if (!known || !ValidChannel(w2) || !buffer || w4 < VelmoraWord(sizeof(SampleStreamHeader))) return 0;
    const SampleChannelInfo info = ChannelInfo(*known, static_cast<VelmoraInt>(w2));
    const SampleStreamHeader header = {{'S', 'M', 'P', 'L'}, info.channel, info.width, info.height,
                                       info.framesPerSecond};
    std::memcpy(buffer, &header, sizeof header);
    return sizeof header;
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL GetProtocolInfo(VelmoraInt server, VelmoraWord w2,
                                                               VelmoraWord w3) {
    auto* text = reinterpret_cast<char*>(w2);
    Lock lock(mutex);
    const Server* known = Find(server);
    if (!known || !text) return 0;
    const std::string protocol = "SAMPLE/1.0 over TCP, port " + std::to_string(known->port);
    if (w3 <= VelmoraWord(protocol.size())) return 0;
    std::memcpy(text, protocol.c_str(), protocol.size() + 1);
    return static_cast<VelmoraInt>(protocol.size());
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL StartGetVideoData(VelmoraInt server, VelmoraWord w2,
                                                                 VelmoraWord, VelmoraWord) {
    Lock lock(mutex);
    if (!Find(server) || !ValidChannel(w2)) return 0;
    return NewHandle(HandleKind::Live, server, static_cast<VelmoraInt>(w2));
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL StopGetVideoData(VelmoraInt server, VelmoraWord w2) {
    Lock lock(mutex);
    const auto found = handles.find(static_cast<VelmoraInt>(w2));
    if (found == handles.end() || found->second.server != server) return 0;
    return EndHandle(w2, HandleKind::Live) ? 1 : 0;
}

// ---- PTZ and presets.

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL PTZControl(VelmoraInt server, VelmoraWord w2,
                                                          VelmoraWord w3, VelmoraWord w4,
                                                          VelmoraWord) {
    Lock lock(mutex);
    Server* known = Find(server);
    if (!known || !PtzChannel(w2) || w4 < 1 || w4 > 8) return 0;
    Position& camera = known->channels[w2 - 1].camera;
    const VelmoraInt step = static_cast<VelmoraInt>(w4);
    switch (w3) {
        case SAMPLE_PTZ_UP: camera.tilt = std::min(camera.tilt + step, 90); break;
        case SAMPLE_PTZ_DOWN: camera.tilt = std::max(camera.tilt - step, -90); break;
        case SAMPLE_PTZ_LEFT: camera.pan = std::max(camera.pan - step, -180); break;
        case SAMPLE_PTZ_RIGHT: camera.pan = std::min(camera.pan + step, 180); break;
        case SAMPLE_PTZ_ZOOM_IN: camera.zoom = std::min(camera.zoom + step, 32); break;
        case SAMPLE_PTZ_ZOOM_OUT: camera.zoom = std::max(camera.zoom - step, 1); break;
        case SAMPLE_PTZ_STOP: break;
        default: return 0;
    }
    return 1;
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL SetPreset(VelmoraInt server, VelmoraWord w2,
                                                         VelmoraWord w3, VelmoraWord w4) {
    const char* name = reinterpret_cast<const char*>(w4);
    Lock lock(mutex);
    Server* known = Find(server);
    if (!known || !PtzChannel(w2) || !ValidPreset(w3)) return 0;
    Channel& channel = known->channels[w2 - 1];
    channel.presets[static_cast<VelmoraInt>(w3)] = {channel.camera, name ? name : ""};
    return 1;
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL GoToPreset(VelmoraInt server, VelmoraWord w2,
                                                          VelmoraWord w3) {
    Lock lock(mutex);
    Server* known = Find(server);
    if (!known || !PtzChannel(w2) || !ValidPreset(w3)) return 0;
    Channel& channel = known->channels[w2 - 1];
    const auto preset = channel.presets.find(static_cast<VelmoraInt>(w3));
    if (preset == channel.presets.end()) return 0;
    channel.camera = preset->second.position;
    return 1;
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL DelPreset(VelmoraInt server, VelmoraWord w2,
                                                         VelmoraWord w3) {
    Lock lock(mutex);
    Server* known = Find(server);
    if (!known || !PtzChannel(w2) || !ValidPreset(w3)) return 0;
    return known->channels[w2 - 1].presets.erase(static_cast<VelmoraInt>(w3)) ? 1 : 0;
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL LoadPreInfo(VelmoraInt server, VelmoraWord w2,
                                                           VelmoraWord w3, VelmoraWord w4) {
    auto* infos = reinterpret_cast<SamplePresetInfo*>(w3);
    Lock lock(mutex);
    const Server* known = Find(server);
    if (!known || !PtzChannel(w2) || (!infos && w4 > 0)) return 0;
    const auto& presets = known->channels[w2 - 1].presets;
    VelmoraWord filled = 0;
    for (const auto& [number, preset] : presets) {
        if (filled == w4) break;
        SamplePresetInfo& info = infos[filled++];
        info = SamplePresetInfo{number, preset.position.pan, preset.position.tilt, preset.position.zoom, {}};
        CopyText(info.name, preset.name);
    }
    return static_cast<VelmoraInt>(presets.size());
}

// ---- Recordings, playback and capture.

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL GetCapFileList(VelmoraInt server, VelmoraWord w2,
                                                              VelmoraWord, VelmoraBlock24 blockA,
                                                              VelmoraBlock24 blockB, VelmoraWord w16,
                                                              VelmoraWord w17) {
    const SampleTime start = SampleTimeFromBlock(blockA);
    const SampleTime end = SampleTimeFromBlock(blockB);
    auto* files = reinterpret_cast<SampleRecordFile*>(w16);
    {
        Lock lock(mutex);
        if (!Find(server)) return 0;
    }
    if (!ValidChannel(w2) || !ValidTime(start) || !ValidTime(end) || (!files && w17 > 0)) return 0;
    const std::int64_t from = SecondsOf(start), to = SecondsOf(end);
    if (to <= from) return 0;
    // The hours that begin before the end and end after the start.
    const std::int64_t first = from / 3600;
    const std::int64_t count = (to + 3599) / 3600 - first;
    for (std::int64_t i = 0; i < count && i < w17; ++i)
        files[i] = RecordFile(static_cast<VelmoraInt>(w2), first + i);
    return static_cast<VelmoraInt>(std::min<std::int64_t>(count, INT32_MAX));
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL StartPlay(VelmoraInt server, VelmoraWord w2,
                                                         VelmoraWord w3, VelmoraWord, VelmoraWord,
                                                         VelmoraWord) {
    const char* name = reinterpret_cast<const char*>(w3);
    // A name as GetCapFileList gives them, for this channel.
    int channel = 0, date = 0, hour = 0;
    char tail = 0;
    if (!name || std::sscanf(name, "ch%d_%8d_%2d00.sm%c", &channel, &date, &hour, &tail) != 4 ||
        tail != 'p' || channel != w2)
        return 0;
    Lock lock(mutex);
    if (!Find(server) || !ValidChannel(w2)) return 0;
    return NewHandle(HandleKind::Playback, server, channel);
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL PlayCtrl(VelmoraWord w2, VelmoraWord w3, VelmoraWord w4,
                                                        VelmoraWord w5) {
    Lock lock(mutex);
    const auto found = handles.find(static_cast<VelmoraInt>(w2));
    if (found == handles.end() || found->first != w2 || found->second.kind != HandleKind::Playback)
        return 0;
    Handle& playback = found->second;
    switch (w3) {
        case SAMPLE_PLAY_PAUSE: playback.paused = true; return 1;
        case SAMPLE_PLAY_RESUME: playback.paused = false; return 1;
        case SAMPLE_PLAY_SPEED:
            if (w4 != 1 && w4 != 2 && w4 != 4 && w4 != 8) return 0;
            playback.speed = static_cast<VelmoraInt>(w4);
            return 1;
        case SAMPLE_PLAY_SEEK:
            if (w4 < 0 || w4 > 3599) return 0;
            playback.position = static_cast<VelmoraInt>(w4);
            return 1;
        case SAMPLE_PLAY_GET_POSITION:
        case SAMPLE_PLAY_GET_SPEED:
            if (!w5) return 0;
            *reinterpret_cast<VelmoraInt*>(w5) = w3 == SAMPLE_PLAY_GET_POSITION ? playback.position
                                                 : playback.paused                ? 0
                                                                                  : playback.speed;
            return 1;
        default: return 0;
    }
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL StopPlay(VelmoraWord w2) {
    Lock lock(mutex);
    return EndHandle(w2, HandleKind::Playback) ? 1 : 0;
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL StartCapture(VelmoraInt server, VelmoraWord w2,
                                                            VelmoraWord w3) {
    const char* file = reinterpret_cast<const char*>(w3);
    Lock lock(mutex);
    if (!Find(server) || !ValidChannel(w2) || !file || !*file) return 0;
    return NewHandle(HandleKind::Capture, server, static_cast<VelmoraInt>(w2));
}

VELMORA_PLUGIN_EXPORT VelmoraInt VELMORA_CALL StopCapture(VelmoraWord w2) {
    Lock lock(mutex);
    return EndHandle(w2, HandleKind::Capture) ? 1 : 0;
}
