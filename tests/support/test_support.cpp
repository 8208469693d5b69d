#include "test_support.h"

#include "core/server_manager.h"
#include "journal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace velmora::test {

namespace fs = std::filesystem;

std::string ExecutableDirectory() { return DirectoryPart(platform::ExecutablePath()); }

std::string PluginDirectory(const std::string& name) {
    return ExecutableDirectory() + "plugins" + platform::kPathSeparator + name;
}

std::string PluginFile(const std::string& directory, const std::string& file) {
    return PluginDirectory(directory) + platform::kPathSeparator + file;
}

std::vector<std::string> TagsInTableOrder(const std::string& directory) {
    std::vector<std::string> tags;
    const std::size_t extension = std::strlen(platform::kPluginExtension);
    for (const auto& record : ScanPluginDirectory(PluginDirectory(directory), "")) {
        const std::string name(record->fileName.View());
        tags.push_back(name.substr(5, name.size() - 5 - extension));
    }
    JournalClear();
    return tags;
}

VelmoraInitParams MakeParams(const std::string& pluginPath, const std::string& pluginDirectory) {
    VelmoraInitParams params{};
    const auto fill = [](unsigned char (&field)[256], const std::string& text) {
        if (text.size() > 255) throw std::length_error("a field holds 255 bytes");
        field[0] = static_cast<unsigned char>(text.size());
        std::memcpy(field + 1, text.data(), text.size());
    };
    fill(params.pluginPath, pluginPath);
    fill(params.pluginDirectory, pluginDirectory);
    return params;
}

std::vector<std::string> Journal() {
    std::vector<std::string> lines;
    std::istringstream text(JournalText());
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> Journal(const std::string& tag) {
    std::vector<std::string> lines;
    const std::string prefix = tag + ":";
    for (const std::string& line : Journal())
        if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line.substr(prefix.size()));
    return lines;
}

namespace {

template <typename Function>
void Resolve(platform::ModuleHandle module, Function& function, const std::string& name) {
    function = reinterpret_cast<Function>(platform::FindSymbol(module, name.c_str()));
    if (!function) throw std::runtime_error("missing symbol " + name);
}

}  // namespace

LoadedVelmora::LoadedVelmora() {
    module_ = platform::OpenModule(ExecutableDirectory() + VELMORA_LIBRARY_FILE);
    if (!module_) throw std::runtime_error("cannot load " VELMORA_LIBRARY_FILE);
#define VELMORA_TEST_RESOLVE(name) Resolve(module_, name, "Velmora_" #name);
    VELMORA_TEST_EXPORTS(VELMORA_TEST_RESOLVE)
#undef VELMORA_TEST_RESOLVE
}

LoadedVelmora::~LoadedVelmora() { platform::CloseModule(module_); }

Recorder::Recorder(const std::string& directory, const std::string& file) {
    module_ = platform::OpenModule(PluginFile(directory, file + platform::kPluginExtension));
    if (!module_) throw std::runtime_error("cannot load fixture " + file);
    Resolve(module_, setResult_, "RecorderSetResult");
    Resolve(module_, rewriteLogin_, "RecorderRewriteLogin");
    void (*reset)() = nullptr;
    Resolve(module_, reset, "RecorderReset");
    reset();
}

Recorder::~Recorder() { platform::CloseModule(module_); }

PlacedPlugin::PlacedPlugin(const std::string& source, const std::string& directory,
                           const std::string& file)
    : path_(directory + platform::kPathSeparator + file) {
    fs::copy_file(source, path_, fs::copy_options::overwrite_existing);
}

PlacedPlugin::~PlacedPlugin() {
    std::error_code error;
    if (fs::remove(path_, error)) return;
    for (int n = 0;; ++n) {
        const std::string parked = path_ + ".parked" + std::to_string(n);
        if (!fs::exists(parked, error) && (fs::rename(path_, parked, error), !error)) return;
        if (n == 100) {
            ADD_FAILURE() << "cannot take " << path_ << " out of the way";
            return;
        }
    }
}

}  // namespace velmora::test
