// A host program: loads the Velmora library as any host would (by file name, then each
// export by name), initialises it over the sample plug-in's folder and drives a simulated
// server through the exports only. Exits 0 when every call answered as expected.
//
//   velmora-demo [PLUGIN-DIRECTORY]      (default: plugins/sample beside the program)
#include "core/readable_text.h"
#include "sample_plugin.h"
#include "terminal_text.h"

#include <velmora/velmora.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace {

using velmora::ReadableDisplayName;

#if defined(_WIN32)
const char kSeparator = '\\';
#else
const char kSeparator = '/';
#endif

// ---- The library, loaded from the program's own folder.

#define DEMO_EXPORTS(X)                                                                     \
    X(InitSvManage) X(DeInitSvManage) X(GetServerTypeInfo) X(GetServerTypeID)               \
    X(SetSvMsgCallBack) X(SetSelectServerCallBack) X(AddServer) X(LoginServer) X(DelServer) \
    X(GetServerInfo) X(GetSvChInfo) X(GetChannelInfo) X(PTZControl) X(SetPreset)          \
    X(GoToPreset) X(LoadPreInfo) X(DelPreset) X(GetCapFileList) X(StartPlay) X(PlayCtrl)  \
    X(StopPlay) X(StartCapture) X(StopCapture)

struct Velmora {
#define DEMO_EXPORT_MEMBER(name) decltype(&Velmora_##name) name = nullptr;
    DEMO_EXPORTS(DEMO_EXPORT_MEMBER)
#undef DEMO_EXPORT_MEMBER
};

std::string ProgramDirectory() {
#if defined(_WIN32)
    char path[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
#else
    char path[4096] = {};
    if (readlink("/proc/self/exe", path, sizeof path - 1) < 0) return {};
#endif
    const std::string text = path;
    return text.substr(0, text.find_last_of(kSeparator) + 1);
}

#if defined(_WIN32)
struct LibraryCloser {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using Library = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryCloser>;
Library OpenLibrary(const std::string& path) { return Library(LoadLibraryA(path.c_str())); }
void* Export(const Library& library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(library.get(), name));
}
#else
struct LibraryCloser {
    void operator()(void* module) const { dlclose(module); }
};
using Library = std::unique_ptr<void, LibraryCloser>;
Library OpenLibrary(const std::string& path) { return Library(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)); }
void* Export(const Library& library, const char* name) { return dlsym(library.get(), name); }
#endif

// ---- Reporting: each call is printed with its answer; any unexpected answer fails the demo.

int failures = 0;

VelmoraInt Expect(const char* call, VelmoraInt result, VelmoraInt expected) {
    const bool ok = result == expected;
    std::printf("  %-44s -> %d%s\n", call, result, ok ? "" : "   UNEXPECTED");
    if (!ok) ++failures;
    return result;
}

VelmoraInt ExpectPositive(const char* call, VelmoraInt result) {
    const bool ok = result > 0;
    std::printf("  %-44s -> %d%s\n", call, result, ok ? "" : "   UNEXPECTED");
    if (!ok) ++failures;
    return result;
}

void Section(const char* title) { std::printf("\n%s\n", title); }

// ---- Host callbacks.

struct ServerType {
    VelmoraInt typeId;
    std::string name;  // code page 936, as the library holds it
};

void VELMORA_CALL CollectType(VelmoraInt typeId, const char* name, VelmoraWord user) {
    reinterpret_cast<std::vector<ServerType>*>(user)->push_back({typeId, name});
}

// Chooses the type of a server being added, as a user would in the dialog.
VelmoraInt VELMORA_CALL ChooseType(VelmoraInt count, const char* const* names, VelmoraWord user) {
    const std::string& wanted = *reinterpret_cast<const std::string*>(user);
    for (VelmoraInt i = 0; i < count; ++i) {
        if (names[i] != wanted) continue;
        std::printf("  (asked to choose among %d type(s): took \"%s\")\n", int(count),
                    ReadableDisplayName(names[i]).c_str());
        return i;
    }
    return -1;
}

void VELMORA_CALL OnMessage(VelmoraInt server, VelmoraInt message, VelmoraWord) {
    const char* what = message == SAMPLE_MSG_ADDED       ? "added"
                       : message == SAMPLE_MSG_LOGGED_IN ? "logged in"
                       : message == SAMPLE_MSG_DELETED   ? "deleted"
                                                         : "?";
    std::printf("  (message from the plug-in: server %d %s)\n", int(server), what);
}

template <typename T>
VelmoraWord Word(T* address) {
    return reinterpret_cast<VelmoraWord>(address);
}

void SetShortString(unsigned char (&field)[256], const std::string& text) {
    const std::size_t length = text.size() < 255 ? text.size() : 255;
    field[0] = static_cast<unsigned char>(length);
    std::memcpy(field + 1, text.data(), length);
}

std::string TimeText(const SampleTime& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", int(t.year), int(t.month),
                  int(t.day), int(t.hour), int(t.minute), int(t.second));
    return text;
}

// ---- The tour.

void ShowServer(const Velmora& v, VelmoraInt server) {
    SampleServerInfo info{};
    if (Expect("Velmora_GetServerInfo", v.GetServerInfo(server, Word(&info)), 1) != 1) return;
    std::printf("    server %d: %s, firmware %s, %d channels, %s%s\n", int(info.serverId), info.model,
                info.firmware, int(info.channelCount), info.loggedIn ? "logged in at " : "added, not logged in",
                info.loggedIn ? info.address : "");
}

void Channels(const Velmora& v, VelmoraInt server) {
    Section("Channels");
    SampleChannelInfo channels[SAMPLE_CHANNEL_COUNT] = {};
    const VelmoraInt count = Expect("Velmora_GetSvChInfo", v.GetSvChInfo(server, Word(channels), SAMPLE_CHANNEL_COUNT),
                                    SAMPLE_CHANNEL_COUNT);
    for (VelmoraInt i = 0; i < count && i < SAMPLE_CHANNEL_COUNT; ++i)
        std::printf("    %d: %-9s %dx%d at %d fps%s\n", int(channels[i].channel), channels[i].name,
                    int(channels[i].width), int(channels[i].height), int(channels[i].framesPerSecond),
                    channels[i].hasPtz ? ", PTZ" : "");
}

void Ptz(const Velmora& v, VelmoraInt server) {
    Section("PTZ on channel 1, and a preset");
    SampleChannelInfo channel{};
    const auto where = [&] {
        v.GetChannelInfo(server, 1, Word(&channel));
        std::printf("    camera at pan %d, tilt %d, zoom %d\n", int(channel.pan), int(channel.tilt), int(channel.zoom));
    };
    Expect("Velmora_PTZControl right, speed 6", v.PTZControl(server, 1, SAMPLE_PTZ_RIGHT, 6, 0), 1);
    Expect("Velmora_PTZControl up, speed 3", v.PTZControl(server, 1, SAMPLE_PTZ_UP, 3, 0), 1);
    Expect("Velmora_PTZControl zoom in, speed 2", v.PTZControl(server, 1, SAMPLE_PTZ_ZOOM_IN, 2, 0), 1);
    where();
    char gate[] = "Gate";
    Expect("Velmora_SetPreset 1 \"Gate\"", v.SetPreset(server, 1, 1, Word(gate)), 1);
    Expect("Velmora_PTZControl left, speed 8", v.PTZControl(server, 1, SAMPLE_PTZ_LEFT, 8, 0), 1);
    where();
    Expect("Velmora_GoToPreset 1", v.GoToPreset(server, 1, 1), 1);
    where();
    SamplePresetInfo presets[SAMPLE_PRESET_COUNT] = {};
    const VelmoraInt count = Expect("Velmora_LoadPreInfo", v.LoadPreInfo(server, 1, Word(presets), SAMPLE_PRESET_COUNT), 1);
    for (VelmoraInt i = 0; i < count && i < SAMPLE_PRESET_COUNT; ++i)
        std::printf("    preset %d \"%s\": pan %d, tilt %d, zoom %d\n", int(presets[i].number), presets[i].name,
                    int(presets[i].pan), int(presets[i].tilt), int(presets[i].zoom));
    Expect("Velmora_DelPreset 1", v.DelPreset(server, 1, 1), 1);
    Expect("Velmora_PTZControl on channel 3 (no PTZ)", v.PTZControl(server, 3, SAMPLE_PTZ_UP, 1, 0), 0);
}

void Recordings(const Velmora& v, VelmoraInt server) {
    Section("Recorded files of channel 1, and playback");
    const SampleTime start = {2024, 5, 1, 8, 0, 0};
    const SampleTime end = {2024, 5, 1, 11, 30, 0};
    std::printf("    from %s to %s (each time is one 24-byte block)\n", TimeText(start).c_str(), TimeText(end).c_str());
    SampleRecordFile files[8] = {};
    const VelmoraInt count = Expect("Velmora_GetCapFileList", v.GetCapFileList(server, 1, 0, SampleTimeToBlock(start),
                                                                               SampleTimeToBlock(end), Word(files), 8),
                                    4);
    for (VelmoraInt i = 0; i < count && i < 8; ++i)
        std::printf("    %s  %s to %s, %d KiB\n", files[i].name, TimeText(files[i].start).c_str(),
                    TimeText(files[i].end).c_str(), int(files[i].sizeKiB));
    if (count < 2) return;

    std::printf("    playing %s\n", files[1].name);
    const VelmoraInt playback = ExpectPositive("Velmora_StartPlay", v.StartPlay(server, 1, Word(files[1].name), 0, 0, 0));
    Expect("Velmora_PlayCtrl resume", v.PlayCtrl(server, playback, SAMPLE_PLAY_RESUME, 0, 0), 1);
    Expect("Velmora_PlayCtrl speed x4", v.PlayCtrl(server, playback, SAMPLE_PLAY_SPEED, 4, 0), 1);
    Expect("Velmora_PlayCtrl seek to 600 s", v.PlayCtrl(server, playback, SAMPLE_PLAY_SEEK, 600, 0), 1);
    VelmoraInt position = -1;
    Expect("Velmora_PlayCtrl get position", v.PlayCtrl(server, playback, SAMPLE_PLAY_GET_POSITION, 0, Word(&position)), 1);
    Expect("position after the seek, in seconds", position, 600);
    Expect("Velmora_StopPlay", v.StopPlay(server, playback), 1);
    Expect("Velmora_StopPlay again (handle gone)", v.StopPlay(server, playback), 0);
}

int Run(const std::string& pluginDirectory) {
    const std::string libraryPath = ProgramDirectory() + VELMORA_LIBRARY_FILE;
    const Library library = OpenLibrary(libraryPath);
    if (!library) {
        std::fprintf(stderr, "velmora-demo: cannot load %s\n", libraryPath.c_str());
        return 2;
    }
    Velmora v;
#define DEMO_RESOLVE(name)                                                               \
    v.name = reinterpret_cast<decltype(v.name)>(Export(library, "Velmora_" #name));      \
    if (!v.name) {                                                                       \
        std::fprintf(stderr, "velmora-demo: %s lacks Velmora_" #name "\n", libraryPath.c_str()); \
        return 2;                                                                        \
    }
    DEMO_EXPORTS(DEMO_RESOLVE)
#undef DEMO_RESOLVE
    std::printf("Velmora library: %s\n", libraryPath.c_str());

    Section("Initialising");
    std::printf("    plug-in folder %s\n", pluginDirectory.c_str());
    VelmoraInitParams params{};
    SetShortString(params.pluginPath, pluginDirectory);
    SetShortString(params.pluginDirectory, pluginDirectory);
    Expect("Velmora_InitSvManage", v.InitSvManage(&params, 0), 1);

    Section("Server types");
    std::vector<ServerType> types;
    Expect("Velmora_GetServerTypeInfo", v.GetServerTypeInfo(CollectType, Word(&types)), -1);
    for (const ServerType& type : types)
        std::printf("    type %d: %s\n", int(type.typeId), type.name.empty() ? "(no name)" : ReadableDisplayName(type.name).c_str());
    const ServerType* sample = nullptr;
    for (const ServerType& type : types)
        if (type.typeId == SAMPLE_TYPE_ID) sample = &type;
    if (!sample) {
        std::printf("no plug-in of type %d in %s\n", SAMPLE_TYPE_ID, pluginDirectory.c_str());
        return 1;
    }
    Expect("Velmora_SetSvMsgCallBack", v.SetSvMsgCallBack(Word(OnMessage), 0), -1);

    Section("Adding server 1001, its type chosen by the host's callback");
    Expect("Velmora_SetSelectServerCallBack", v.SetSelectServerCallBack(ChooseType, Word(&sample->name)), 1);
    const VelmoraInt added = 1001;
    Expect("Velmora_AddServer 1001", v.AddServer(added), 1);
    ShowServer(v, added);
    Channels(v, added);
    Ptz(v, added);
    Recordings(v, added);

    Section("Logging a server in; the plug-in picks its ID");
    SampleLoginRecord login{};
    login.typeId = Expect("Velmora_GetServerTypeID by display name", v.GetServerTypeID(sample->name.c_str()),
                          SAMPLE_TYPE_ID);
    std::snprintf(login.address, sizeof login.address, "192.0.2.64");
    login.port = 8000;
    std::snprintf(login.user, sizeof login.user, "admin");
    std::snprintf(login.password, sizeof login.password, "secret");
    Expect("Velmora_LoginServer", v.LoginServer(reinterpret_cast<VelmoraLoginRecord*>(&login)), 1);
    const VelmoraInt loggedIn = login.serverId;
    ShowServer(v, loggedIn);
    char captureFile[] = "capture.smp";
    const VelmoraInt capture = ExpectPositive("Velmora_StartCapture channel 2", v.StartCapture(loggedIn, 2, Word(captureFile)));
    Expect("Velmora_StopCapture", v.StopCapture(loggedIn, capture), 1);

    Section("Deleting both servers and shutting down");
    Expect("Velmora_DelServer 1001", v.DelServer(added), 1);
    Expect("Velmora_DelServer (logged-in server)", v.DelServer(loggedIn), 1);
    Expect("Velmora_GetServerInfo of a deleted server", v.GetServerInfo(added, 0), -1);
    Expect("Velmora_DeInitSvManage", v.DeInitSvManage(), 1);

    std::printf("\n%s\n", failures ? "Some calls answered unexpectedly." : "Every call answered as expected.");
    return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    velmora::tools::PrepareUtf8Output();
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [PLUGIN-DIRECTORY]\n", argv[0]);
        return 2;
    }
    const std::string directory =
        argc == 2 ? argv[1] : ProgramDirectory() + "plugins" + kSeparator + "sample";
    return Run(directory);
}
