// Random sequences of exports with random arguments over the "registry" and "types"
// fixtures (recorders, and one plug-in with nothing but GetServerTypeID), including host
// code run from inside the selection callback and the GetServerTypeInfo callback.
//
// The input is read as a list of operations: one byte picks the export, the next bytes
// give its arguments. Beside the library the harness keeps a model of what the host can
// know: the table (the folder's plug-ins in listing order), the registered servers and
// their types, what each recorder was told to answer. Checks: every export answers what
// the model says, each callback is shown the table the model holds, and a walk goes on
// over the table it started with whatever its callback does.
#include "harness.h"

#include "journal.h"

#include <map>
#include <string>
#include <vector>

using namespace velmora::fuzz;

namespace {

constexpr int kMaxDepth = 3;
constexpr int kMaxOperations = 256;

// The table of a library that found no plug-in.
const std::vector<FixturePlugin> kNoPlugins;

struct Model {
    const std::vector<FixturePlugin>* table = &kNoPlugins;
    std::map<VelmoraInt, VelmoraInt> servers;
    bool choosing = false;  // the selection callback is installed
    // What recorders were told: results per entry point, and the fields LoginServer writes.
    std::map<std::string, std::map<std::string, VelmoraInt>> results;
    std::map<std::string, VelmoraLoginRecord> rewrites;

    const FixturePlugin* FirstOfType(VelmoraInt typeId) const {
        for (const FixturePlugin& plugin : *table)
            if (plugin.typeId == typeId) return &plugin;
        return nullptr;
    }
    // What a call to an entry point of the plug-in answers.
    VelmoraInt Answer(const FixturePlugin& plugin, const char* entryPoint) const {
        if (!plugin.hasEntries) return -1;
        const auto answers = results.find(plugin.tag);
        if (answers == results.end()) return 1;
        const auto found = answers->second.find(entryPoint);
        return found == answers->second.end() ? 1 : found->second;
    }
    // The plug-in a per-server call about server reaches, or null.
    const FixturePlugin* PluginOfServer(VelmoraInt server) const {
        const auto found = servers.find(server);
        return found == servers.end() ? nullptr : FirstOfType(found->second);
    }
    VelmoraInt Forward(VelmoraInt server, const char* entryPoint) const {
        const FixturePlugin* plugin = PluginOfServer(server);
        return plugin ? Answer(*plugin, entryPoint) : -1;
    }
};

// One walk of Velmora_GetServerTypeInfo: the table it started with, and the record at
// which its callback re-enters the library.
struct WalkState {
    std::vector<std::pair<VelmoraInt, std::string>> expected;
    std::size_t seen = 0;
    std::size_t reenterAt = 0;
};

class Sequence {
public:
    explicit Sequence(Input& input) : input_(input) {}

    void Run(int operations) {
        for (int n = 0; n < operations && !input_.done() && total_ < kMaxOperations; ++n, ++total_)
            Step();
    }

    VelmoraInt Choose(VelmoraInt count, const char* const* names);
    void Walked(WalkState& walk, VelmoraInt typeId, const char* name);

private:
    VelmoraInt Server() {
        const std::uint8_t pick = input_.Byte();
        return pick < 240 ? pick % 8 : input_.Int32();
    }
    VelmoraInt TypeId() {
        const VelmoraInt typeIds[] = {0, 1, 2, 3, -1, 4, 50};
        const std::uint8_t pick = input_.Byte() % 8;
        return pick < 7 ? typeIds[pick] : input_.Int32();
    }
    VelmoraInt Result() {
        const std::uint8_t pick = input_.Byte() % 8;
        return pick < 6 ? static_cast<VelmoraInt>(pick) - 2 : input_.Int32();
    }
    // Host code run from inside a callback: up to three operations.
    void Reenter() {
        if (depth_ == kMaxDepth) return;
        ++depth_;
        Run(input_.Byte() % 4);
        --depth_;
    }

    void Step();
    void Initialise();
    void AddServer();
    void DelServer();
    void LoginServer();
    void SetSelectServerCallBack();
    void GetServerTypeInfo();
    void GetServerTypeID();
    void Forward();
    void TellRecorder();

    Input& input_;
    Model model_;
    int total_ = 0;
    int depth_ = 0;
    // How often the selection callback ran, and what it answered last.
    int choices_ = 0;
    VelmoraInt lastChoice_ = -1;
};

// The Sequence the callbacks report to; one input runs at a time.
Sequence* current = nullptr;

VelmoraInt VELMORA_CALL ChooseCallback(VelmoraInt count, const char* const* names, VelmoraWord) {
    return current->Choose(count, names);
}

void VELMORA_CALL WalkCallback(VelmoraInt typeId, const char* name, VelmoraWord user) {
    current->Walked(*reinterpret_cast<WalkState*>(user), typeId, name);
}

// The per-server exports, called with random words.
struct ForwardedCall {
    const char* name;
    VelmoraInt (*call)(VelmoraInt server, Input& input);
};

#define W input.Word()
const ForwardedCall kForwardedCalls[] = {
    {"GetHeader", [](VelmoraInt s, Input& input) { return Velmora_GetHeader(s, W, W, W); }},
    {"ChangeServer", [](VelmoraInt s, Input&) { return Velmora_ChangeServer(s); }},
    {"ChangeChannel", [](VelmoraInt s, Input& input) { return Velmora_ChangeChannel(s, W); }},
    {"GetSvChInfo", [](VelmoraInt s, Input& input) { return Velmora_GetSvChInfo(s, W, W); }},
    {"GetChannelInfo", [](VelmoraInt s, Input& input) { return Velmora_GetChannelInfo(s, W, W); }},
    {"GetServerInfo", [](VelmoraInt s, Input& input) { return Velmora_GetServerInfo(s, W); }},
    {"LoadPreInfo", [](VelmoraInt s, Input& input) { return Velmora_LoadPreInfo(s, W, W, W); }},
    {"GoToPreset", [](VelmoraInt s, Input& input) { return Velmora_GoToPreset(s, W, W); }},
    {"DelPreset", [](VelmoraInt s, Input& input) { return Velmora_DelPreset(s, W, W); }},
    {"SetPreset", [](VelmoraInt s, Input& input) { return Velmora_SetPreset(s, W, W, W); }},
    {"PTZControl", [](VelmoraInt s, Input& input) { return Velmora_PTZControl(s, W, W, W, W); }},
    {"GetProtocolInfo",
     [](VelmoraInt s, Input& input) { return Velmora_GetProtocolInfo(s, W, W); }},
    {"StartGetVideoData",
     [](VelmoraInt s, Input& input) { return Velmora_StartGetVideoData(s, W, W, W); }},
    {"StopGetVideoData", [](VelmoraInt s, Input& input) { return Velmora_StopGetVideoData(s, W); }},
    {"GetCapFileList",
     [](VelmoraInt s, Input& input) {
         VelmoraBlock24 blocks[2];
         for (auto& block : blocks)
             for (auto& byte : block.bytes) byte = input.Byte();
         return Velmora_GetCapFileList(s, W, W, blocks[0], blocks[1], W, W);
     }},
    {"StartPlay", [](VelmoraInt s, Input& input) { return Velmora_StartPlay(s, W, W, W, W, W); }},
    {"StopPlay", [](VelmoraInt s, Input& input) { return Velmora_StopPlay(s, W); }},
    {"PlayCtrl", [](VelmoraInt s, Input& input) { return Velmora_PlayCtrl(s, W, W, W, W); }},
    {"StartCapture", [](VelmoraInt s, Input& input) { return Velmora_StartCapture(s, W, W); }},
    {"StopCapture", [](VelmoraInt s, Input& input) { return Velmora_StopCapture(s, W); }},
};
#undef W

// Entry points a recorder can be told to answer differently.
const char* const kSteerable[] = {"AddServer",  "DelServer",      "LoginServer", "ChangeServer",
                                  "PTZControl", "GetCapFileList", "StopPlay",    "GetHeader"};

std::string Text(VelmoraInt value) { return std::to_string(value); }

void Sequence::Step() {
    const int operation = input_.Byte() % 12;
    const char* const names[] = {"InitSvManage",      "DeInitSvManage",  "AddServer",
                                 "DelServer",         "LoginServer",     "SetSelectServerCallBack",
                                 "GetServerTypeInfo", "GetServerTypeID", "SetSvMsgCallBack",
                                 "tell a recorder",   "forwarded call",  "forwarded call"};
    Trace(std::string(2 * depth_, ' ') + names[operation]);
    switch (operation) {
        case 0: Initialise(); break;
        case 1: FUZZ_CHECK(Velmora_DeInitSvManage() == 1, "DeInitSvManage"); break;
        case 2: AddServer(); break;
        case 3: DelServer(); break;
        case 4: LoginServer(); break;
        case 5: SetSelectServerCallBack(); break;
        case 6: GetServerTypeInfo(); break;
        case 7: GetServerTypeID(); break;
        case 8:
            FUZZ_CHECK(Velmora_SetSvMsgCallBack(input_.Word(), input_.Word()) == -1,
                       "SetSvMsgCallBack");
            break;
        case 9: TellRecorder(); break;
        default: Forward(); break;
    }
}

void Sequence::Initialise() {
    const char* const folders[] = {"registry", "types", "noplugin"};
    const char* folder = folders[input_.Byte() % 3];
    const auto params = ParamsFor(folder);
    FUZZ_CHECK(Velmora_InitSvManage(&params, input_.Word()) == 1, "InitSvManage");
    // "noplugin" holds no plug-in, nor do the folders searched after it in this build.
    model_.table = std::string(folder) == "noplugin" ? &kNoPlugins : &FixturePlugins(folder);
}

VelmoraInt Sequence::Choose(VelmoraInt count, const char* const* names) {
    FUZZ_CHECK(static_cast<std::size_t>(count) == model_.table->size(),
               "selection shown " + Text(count) + " names");
    for (VelmoraInt i = 0; i < count; ++i)
        FUZZ_CHECK(names[i] == DisplayName((*model_.table)[i].typeId),
                   "selection shown another name");
    const std::uint8_t pick = input_.Byte();
    const VelmoraInt answer = pick < 200 ? static_cast<VelmoraInt>(pick % 8) - 1 : input_.Int32();
    Reenter();
    // After the host code, whose own choices are over by now.
    ++choices_;
    lastChoice_ = answer;
    return answer;
}

void Sequence::AddServer() {
    const VelmoraInt server = Server();
    const bool registered = model_.servers.count(server) != 0;
    const bool asks = !registered && model_.choosing;
    const std::size_t shown = model_.table->size();
    const int choicesBefore = choices_;
    const VelmoraInt answer = Velmora_AddServer(server);
    // Nested adds count their own choices; this call's is the last one made.
    const bool asked = choices_ != choicesBefore;
    FUZZ_CHECK(asked == asks, asks ? "AddServer asked for no type" : "AddServer asked for a type");

    VelmoraInt expected = registered ? -2 : -1;
    // The choice is an index into the names shown, read against the table as it stands
    // once the choice is made (the host code in the callback may have replaced it).
    const VelmoraInt index = lastChoice_;
    if (asks && index >= 0 && static_cast<std::size_t>(index) < shown &&
        static_cast<std::size_t>(index) < model_.table->size()) {
        const VelmoraInt typeId = (*model_.table)[index].typeId;
        expected = model_.Answer(*model_.FirstOfType(typeId), "AddServer");
        if (expected > 0) model_.servers.emplace(server, typeId);
    }
    FUZZ_CHECK(answer == expected, "AddServer(" + Text(server) + ") answered " + Text(answer) +
                                       ", not " + Text(expected));
}

void Sequence::DelServer() {
    const VelmoraInt server = Server();
    const FixturePlugin* plugin = model_.PluginOfServer(server);
    const VelmoraInt expected = plugin ? model_.Answer(*plugin, "DelServer") : 1;
    if (plugin && expected > 0) model_.servers.erase(server);
    const VelmoraInt answer = Velmora_DelServer(server);
    FUZZ_CHECK(answer == expected, "DelServer(" + Text(server) + ") answered " + Text(answer) +
                                       ", not " + Text(expected));
}

void Sequence::LoginServer() {
    if (input_.Byte() % 16 == 0) {
        FUZZ_CHECK(Velmora_LoginServer(nullptr) == -1, "LoginServer of a null record");
        return;
    }
    VelmoraLoginRecord record{Server(), TypeId()};
    const VelmoraLoginRecord sent = record;
    const FixturePlugin* plugin = model_.FirstOfType(sent.typeId);
    VelmoraInt expected = -1;
    VelmoraLoginRecord left = sent;
    if (plugin && plugin->hasEntries) {
        expected = model_.Answer(*plugin, "LoginServer");
        const auto rewrite = model_.rewrites.find(plugin->tag);
        if (rewrite != model_.rewrites.end()) left = rewrite->second;
        if (expected > 0) model_.servers[left.serverId] = left.typeId;
    }
    const VelmoraInt answer = Velmora_LoginServer(&record);
    FUZZ_CHECK(answer == expected,
               "LoginServer answered " + Text(answer) + ", not " + Text(expected));
    FUZZ_CHECK(record.serverId == left.serverId && record.typeId == left.typeId,
               "the login record changed");
}

void Sequence::SetSelectServerCallBack() {
    model_.choosing = input_.Byte() % 4 != 0;
    FUZZ_CHECK(Velmora_SetSelectServerCallBack(model_.choosing ? ChooseCallback : nullptr, 0) == 1,
               "SetSelectServerCallBack");
}

void Sequence::Walked(WalkState& walk, VelmoraInt typeId, const char* name) {
    FUZZ_CHECK(walk.seen < walk.expected.size(),
               "the walk reported more types than it started with");
    FUZZ_CHECK(name != nullptr, "a null name");
    FUZZ_CHECK(std::make_pair(typeId, std::string(name)) == walk.expected[walk.seen],
               "the walk strayed from the table it started with");
    if (walk.seen++ == walk.reenterAt) Reenter();
}

void Sequence::GetServerTypeInfo() {
    WalkState walk;
    walk.reenterAt = input_.Byte() % 8;
    for (const FixturePlugin& plugin : *model_.table)
        walk.expected.emplace_back(plugin.typeId, DisplayName(plugin.typeId));
    const bool null = input_.Byte() % 8 == 0;
    const VelmoraInt answer = Velmora_GetServerTypeInfo(null ? nullptr : WalkCallback,
                                                        reinterpret_cast<VelmoraWord>(&walk));
    FUZZ_CHECK(answer == -1, "GetServerTypeInfo answered " + Text(answer));
    FUZZ_CHECK(walk.seen == (null ? 0 : walk.expected.size()),
               "the walk reported " + std::to_string(walk.seen) + " types");
}

void Sequence::GetServerTypeID() {
    const std::uint8_t pick = input_.Byte() % 6;
    const std::string text = pick < 3    ? DisplayName(pick)
                             : pick == 3 ? input_.Text(32)
                                         : std::string();
    VelmoraInt expected = -1;
    for (const FixturePlugin& plugin : *model_.table)
        if (DisplayName(plugin.typeId) == std::string(text.c_str())) {
            expected = plugin.typeId;
            break;
        }
    const VelmoraInt answer = Velmora_GetServerTypeID(pick == 5 ? nullptr : text.c_str());
    FUZZ_CHECK(answer == expected,
               "GetServerTypeID answered " + Text(answer) + ", not " + Text(expected));
}

void Sequence::Forward() {
    const ForwardedCall& call = kForwardedCalls[input_.Byte() % std::size(kForwardedCalls)];
    const VelmoraInt server = Server();
    const VelmoraInt expected = model_.Forward(server, call.name);
    const VelmoraInt answer = call.call(server, input_);
    FUZZ_CHECK(answer == expected, std::string(call.name) + "(" + Text(server) + ") answered " +
                                       Text(answer) + ", not " + Text(expected));
}

void Sequence::TellRecorder() {
    const char* const folders[] = {"registry", "types"};
    const auto& plugins = FixturePlugins(folders[input_.Byte() % 2]);
    const FixturePlugin& plugin = plugins[input_.Byte() % plugins.size()];
    if (!plugin.setResult) return;
    if (input_.Byte() % 4 == 0) {
        const VelmoraLoginRecord written{Server(), TypeId()};
        plugin.rewriteLogin(1, written.serverId, written.typeId);
        model_.rewrites[plugin.tag] = written;
        return;
    }
    const char* entryPoint = kSteerable[input_.Byte() % std::size(kSteerable)];
    const VelmoraInt result = Result();
    plugin.setResult(entryPoint, result);
    model_.results[plugin.tag][entryPoint] = result;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FixturePlugins("registry");
    FixturePlugins("types");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FreshLibrary();
    for (const char* folder : {"registry", "types"})
        for (const FixturePlugin& plugin : FixturePlugins(folder))
            if (plugin.reset) plugin.reset();
    Input input(data, size);
    Sequence sequence(input);
    current = &sequence;
    sequence.Run(kMaxOperations);
    current = nullptr;
    JournalClear();
    return 0;
}
