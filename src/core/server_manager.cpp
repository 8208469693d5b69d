#include "core/server_manager.h"

#include "platform/platform.h"

#include <algorithm>
#include <cstring>

namespace velmora {

namespace {

constexpr std::size_t kDirectoryCapacity = 255;
// Longest executable file name kept, as by a 261-character buffer.
constexpr std::size_t kExecutablePathCapacity = 260;

std::string Cut(std::string text, std::size_t capacity) {
    if (text.size() > capacity) text.resize(capacity);
    return text;
}

}  // namespace

std::string ShortStringText(const unsigned char (&field)[256]) {
    const auto* text = reinterpret_cast<const char*>(field + 1);
    const std::size_t length = field[0];
    const auto* zero = static_cast<const char*>(std::memchr(text, 0, length));
    return std::string(text, zero ? static_cast<std::size_t>(zero - text) : length);
}

std::string DirectoryPart(const std::string& fileName) {
    const auto last = fileName.find_last_of(platform::kDirectoryDelimiters);
    return last == std::string::npos ? std::string{} : fileName.substr(0, last + 1);
}

void ServerManager::ScanFrom(const std::string& directory) {
    // Copies, since plug-in code run by the scan may re-enter and change the members.
    const std::string scanned = Cut(directory, kDirectoryCapacity);
    const std::string pathText = pluginPath_;
    pluginDirectory_ = scanned;
    // The old table goes first, so its plug-in objects are destroyed before the scan.
    types_.clear();
    types_ = ScanPluginDirectory(scanned, pathText);
}

VelmoraInt ServerManager::InitSvManage(const VelmoraInitParams* params, VelmoraWord application) {
    if (application) currentApplication_ = application;
    // A null block counts as two empty texts rather than a crash.
    pluginPath_ = params ? ShortStringText(params->pluginPath) : std::string{};
    const std::string given = params ? ShortStringText(params->pluginDirectory) : std::string{};

    ScanFrom(given);
    if (types_.empty())
        ScanFrom(DirectoryPart(Cut(platform::ExecutablePath(), kExecutablePathCapacity)));
    if (types_.empty()) ScanFrom(platform::SystemDirectory());
    if (types_.empty()) ScanFrom(platform::WindowsDirectory());

    // A snapshot: plug-in code run here may re-enter the library and rebuild the table,
    // and must not free the records this loop still walks.
    const ServerTypeTable snapshot = types_;
    for (const auto& record : snapshot) {
        record->plugin->Call<EntryPoint::InitDLL>(currentApplication_);
        record->plugin->Call<EntryPoint::InitClient>();
    }
    return 1;
}

VelmoraInt ServerManager::DeInitSvManage() {
    const ServerTypeTable snapshot = types_;
    for (const auto& record : snapshot) {
        record->plugin->Call<EntryPoint::DeInitClient>();
        record->plugin->Call<EntryPoint::DeInitDLL>();
    }
    return 1;
}

}  // namespace velmora
