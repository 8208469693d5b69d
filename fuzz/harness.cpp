#include "harness.h"

#include "api/library_state.h"
#include "core/server_manager.h"
#include "journal.h"
#include "platform/platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace velmora {

namespace {
// Stands in for the library's one state, which exists from load to unload.
std::unique_ptr<ServerManager> state = std::make_unique<ServerManager>();
}  // namespace

ServerManager& Manager() { return *state; }

namespace fuzz {

void FreshLibrary() {
    state.reset();
    state = std::make_unique<ServerManager>();
    JournalClear();
}

std::string FixtureDirectory(const std::string& name) {
    return DirectoryPart(platform::ExecutablePath()) + "plugins/" + name;
}

VelmoraInitParams ParamsFor(const std::string& directory) {
    VelmoraInitParams params{};
    const std::string text = FixtureDirectory(directory);
    if (text.size() > 255) Fail("fixture path longer than an InitParams field: " + text);
    params.pluginDirectory[0] = static_cast<unsigned char>(text.size());
    std::memcpy(params.pluginDirectory + 1, text.data(), text.size());
    return params;
}

std::string DisplayName(VelmoraInt typeId) {
    // "DVR" and "DVS" stand apart, or their letters would continue the hex escapes.
    switch (typeId) {
        case 0: return "\xBA\xA3\xBF\xB5\xC7\xB6\xC8\xEB\xCA\xBD";
        case 1: return std::string("\xBA\xA3\xBF\xB5\xBF\xA8\xCA\xBD") + "DVR";
        case 2: return std::string("\xD6\xDA\xC4\xDC\xB4\xEF") + "DVS";
        default: return {};
    }
}

namespace {

template <typename Function>
void Find(void* module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(module, name));
}

std::vector<FixturePlugin> ListFixturePlugins(const std::string& directory) {
    std::vector<FixturePlugin> plugins;
    const std::string folder = FixtureDirectory(directory);
    DIR* dir = opendir(folder.c_str());
    if (!dir) Fail("no fixture folder " + folder);
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() < 8 || strncasecmp(name.c_str(), "QXDVR", 5) != 0 ||
            name.compare(name.size() - 3, 3, ".so") != 0)
            continue;
        FixturePlugin plugin;
        plugin.tag = name.substr(5, name.size() - 8);
        plugin.module = dlopen((folder + "/" + name).c_str(), RTLD_NOW | RTLD_LOCAL);
        VelmoraInt (*typeId)() = nullptr;
        if (plugin.module) Find(plugin.module, "GetServerTypeID", typeId);
        if (!typeId) continue;
        plugin.typeId = typeId();
        plugin.hasEntries = dlsym(plugin.module, "AddServer") != nullptr;
        Find(plugin.module, "RecorderSetResult", plugin.setResult);
        Find(plugin.module, "RecorderRewriteLogin", plugin.rewriteLogin);
        Find(plugin.module, "RecorderReset", plugin.reset);
        plugins.push_back(plugin);
    }
    closedir(dir);
    return plugins;
}

}  // namespace

const std::vector<FixturePlugin>& FixturePlugins(const std::string& directory) {
    static std::map<std::string, std::vector<FixturePlugin>> folders;
    auto found = folders.find(directory);
    if (found == folders.end())
        found = folders.emplace(directory, ListFixturePlugins(directory)).first;
    return found->second;
}

std::vector<std::pair<VelmoraInt, std::string>> ListTypes() {
    std::vector<std::pair<VelmoraInt, std::string>> types;
    const auto collect = [](VelmoraInt typeId, const char* name, VelmoraWord user) {
        reinterpret_cast<std::vector<std::pair<VelmoraInt, std::string>>*>(user)->emplace_back(
            typeId, name ? name : "(null)");
    };
    Velmora_GetServerTypeInfo(collect, reinterpret_cast<VelmoraWord>(&types));
    return types;
}

std::int32_t Input::Int32() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | Byte();
    return static_cast<std::int32_t>(value);
}

VelmoraWord Input::Word() {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < sizeof(VelmoraWord); ++i) value = value << 8 | Byte();
    return static_cast<VelmoraWord>(value);
}

std::string Input::Text(std::size_t maxLength) {
    const std::size_t length = std::min<std::size_t>(Byte(), maxLength);
    std::string text;
    for (std::size_t i = 0; i < length && !done(); ++i) text += static_cast<char>(Byte());
    return text;
}

void Trace(const std::string& line) {
    static const bool tracing = std::getenv("VELMORA_FUZZ_TRACE") != nullptr;
    if (tracing) std::fprintf(stderr, "%s\n", line.c_str());
}

void Fail(const std::string& what) {
    std::fprintf(stderr, "velmora fuzz check failed: %s\n", what.c_str());
    std::abort();
}

}  // namespace fuzz
}  // namespace velmora
