// What every test needs: where the fixtures are, the library loaded as a host loads it,
// InitParams blocks, and the journal of the fixture plug-ins.
#pragma once

#include "platform/platform.h"

#include <velmora/velmora.h>

#include <string>
#include <vector>

namespace velmora::test {

// The directory of the test executable, ending in a separator.
std::string ExecutableDirectory();
// A folder of fixture plug-ins, without a trailing separator.
std::string PluginDirectory(const std::string& name);
// The path of a fixture plug-in file in one of those folders.
std::string PluginFile(const std::string& directory, const std::string& file);

// An InitParams block holding the two texts as length-prefixed fields.
VelmoraInitParams MakeParams(const std::string& pluginPath, const std::string& pluginDirectory);

// The lines the fixture plug-ins wrote since the journal was last cleared, optionally
// only those of one fixture (without its "tag:" prefix).
std::vector<std::string> Journal();
std::vector<std::string> Journal(const std::string& tag);

// The product library, loaded for the object's lifetime as a host loads it, so that every
// test starts from a freshly loaded library and every test also unloads it.
class LoadedVelmora {
public:
    LoadedVelmora();
    ~LoadedVelmora();
    LoadedVelmora(const LoadedVelmora&) = delete;
    LoadedVelmora& operator=(const LoadedVelmora&) = delete;

    decltype(&Velmora_InitSvManage) InitSvManage = nullptr;
    decltype(&Velmora_DeInitSvManage) DeInitSvManage = nullptr;

private:
    platform::ModuleHandle module_ = nullptr;
};

// A copy of a fixture plug-in placed in some directory for the object's lifetime. A file
// the system will not delete while it is loaded is renamed so no scan matches it again.
class PlacedPlugin {
public:
    PlacedPlugin(const std::string& source, const std::string& directory, const std::string& file);
    ~PlacedPlugin();
    PlacedPlugin(const PlacedPlugin&) = delete;
    PlacedPlugin& operator=(const PlacedPlugin&) = delete;

private:
    std::string path_;
};

}  // namespace velmora::test
