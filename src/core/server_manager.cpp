#include "core/server_manager.h"

#include "platform/platform.h"
#include "ui/select_server.h"

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

VelmoraInt ServerManager::AddServer(VelmoraInt serverId) {
    if (registry_.Find(serverId)) return -2;

    std::vector<std::string> names;
    for (const auto& record : types_) names.emplace_back(record->displayName.View());
    const VelmoraInt chosen = SelectServerType(names, selectCallback_, selectUser_);
    // The index is read against the table as it stands once the choice is made.
    const VelmoraInt typeId =
        chosen >= 0 && static_cast<std::size_t>(chosen) < types_.size() ? types_[chosen]->typeId : -1;

    const auto record = FindServerType(types_, typeId);
    if (!record) return -1;
    const VelmoraInt result = record->plugin->Call<EntryPoint::AddServer>(serverId);
    // Host code run during the choice may have registered the ID meanwhile; that entry
    // stays, so an ID is never registered twice.
    if (result > 0) registry_.AddIfAbsent({serverId, typeId});
    return result;
}

VelmoraInt ServerManager::DelServer(VelmoraInt serverId) {
    const auto entry = registry_.Find(serverId);
    if (!entry) return 1;
    const auto record = FindServerType(types_, entry->typeId);
    if (!record) return 1;
    const VelmoraInt result = record->plugin->Call<EntryPoint::DelServer>(serverId);
    if (result > 0) registry_.Remove(serverId);
    return result;
}

VelmoraInt ServerManager::LoginServer(VelmoraLoginRecord* record) {
    // A null record is refused before any plug-in sees it.
    if (!record) return -1;
    VelmoraLoginRecord fields;
    std::memcpy(&fields, record, sizeof fields);
    const auto type = FindServerType(types_, fields.typeId);
    if (!type) return -1;
    const VelmoraInt result = type->plugin->Call<EntryPoint::LoginServer>(static_cast<void*>(record));
    if (result <= 0) return result;
    // The plug-in may have rewritten both fields: what it left there is what counts.
    std::memcpy(&fields, record, sizeof fields);
    registry_.Put({fields.serverId, fields.typeId});
    return result;
}

void ServerManager::SetSelectServerCallBack(VelmoraSelectServerCallBack callback, VelmoraWord user) {
    selectCallback_ = callback;
    selectUser_ = callback ? user : 0;
}

VelmoraInt ServerManager::GetServerTypeInfo(VelmoraServerTypeCallBack callback, VelmoraWord user) {
    if (!callback) return -1;
    const ServerTypeTable snapshot = types_;
    for (const auto& record : snapshot) {
        const std::string name(record->displayName.View());
        callback(record->typeId, name.c_str(), user);
    }
    return -1;
}

VelmoraInt ServerManager::GetServerTypeID(const char* name) const {
    const std::string_view wanted = name ? std::string_view(name) : std::string_view{};
    for (const auto& record : types_)
        if (record->displayName.View() == wanted) return record->typeId;
    return -1;
}

VelmoraInt ServerManager::SetSvMsgCallBack(VelmoraWord w1, VelmoraWord w2) {
    const ServerTypeTable snapshot = types_;
    for (const auto& record : snapshot) record->plugin->Call<EntryPoint::SetSvMsgCallBack>(w1, w2);
    return -1;
}

}  // namespace velmora
