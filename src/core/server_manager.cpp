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

using Shared = std::shared_lock<std::shared_mutex>;
using Exclusive = std::unique_lock<std::shared_mutex>;

std::shared_ptr<const ServerTypeTable> ServerManager::serverTypes() const {
    Shared lock(mutex_);
    return types_;
}

std::string ServerManager::pluginDirectory() const {
    Shared lock(mutex_);
    return pluginDirectory_;
}

ServerTypeRecordPtr ServerManager::RecordOfServer(VelmoraInt serverId) const {
    Shared lock(mutex_);
    const auto entry = registry_.Find(serverId);
    return entry ? types_->Find(entry->typeId) : nullptr;
}

std::shared_ptr<const ServerTypeTable> ServerManager::ScanFrom(const std::string& directory,
                                                               const std::string& pluginPath) {
    const std::string scanned = Cut(directory, kDirectoryCapacity);
    {
        Exclusive lock(mutex_);
        pluginDirectory_ = scanned;
        PublishTypes(std::make_shared<const ServerTypeTable>());
    }
    auto table = std::make_shared<const ServerTypeTable>(ScanPluginDirectory(scanned, pluginPath));
    Exclusive lock(mutex_);
    PublishTypes(table);
    return table;
}

void ServerManager::PublishTypes(std::shared_ptr<const ServerTypeTable> table) {
    for (std::size_t entry = 0; entry < kEntryPointCount; ++entry) {
        entryOfType_[entry].Clear();
        for (const auto& record : *table) entryOfType_[entry].Insert(record->typeId, record->plugin->entries()[entry]);
    }
    types_ = std::move(table);
}

VelmoraInt ServerManager::InitSvManage(const VelmoraInitParams* params, VelmoraWord application) {
    VelmoraWord current;
    {
        Exclusive lock(mutex_);
        if (application) currentApplication_ = application;
        current = currentApplication_;
    }
    // A null block counts as two empty texts rather than a crash.
    const std::string pluginPath = params ? ShortStringText(params->pluginPath) : std::string{};
    const std::string given = params ? ShortStringText(params->pluginDirectory) : std::string{};

    // Fallbacks follow this call's own scans, whatever other threads do meanwhile.
    auto table = ScanFrom(given, pluginPath);
    if (table->empty())
        table = ScanFrom(DirectoryPart(Cut(platform::ExecutablePath(), kExecutablePathCapacity)),
                         pluginPath);
    if (table->empty()) table = ScanFrom(platform::SystemDirectory(), pluginPath);
    if (table->empty()) table = ScanFrom(platform::WindowsDirectory(), pluginPath);

    for (const auto& record : *table) {
        record->plugin->Call<EntryPoint::InitDLL>(current);
        record->plugin->Call<EntryPoint::InitClient>();
    }
    return VELMORA_DONE;
}

VelmoraInt ServerManager::DeInitSvManage() {
    // Held for the whole walk: re-entering code may replace the table meanwhile.
    const auto table = serverTypes();
    for (const auto& record : *table) {
        record->plugin->Call<EntryPoint::DeInitClient>();
        record->plugin->Call<EntryPoint::DeInitDLL>();
    }
    return VELMORA_DONE;
}

VelmoraInt ServerManager::AddServer(VelmoraInt serverId) {
    std::vector<std::string> names;
    VelmoraSelectServerCallBack callback;
    VelmoraWord user;
    {
        Shared lock(mutex_);
        if (registry_.Find(serverId)) return VELMORA_ALREADY_REGISTERED;
        for (const auto& record : *types_) names.emplace_back(record->displayName.View());
        callback = selectCallback_;
        user = selectUser_;
    }
    const VelmoraInt chosen = SelectServerType(names, callback, user);

    // The index is read against the table as it stands once the choice is made. No
    // choice reaches no plug-in, not even one that reports type ID -1.
    const auto table = serverTypes();
    if (chosen < 0 || static_cast<std::size_t>(chosen) >= table->size()) return VELMORA_NOT_FOUND;
    const VelmoraInt typeId = (*table)[chosen]->typeId;
    const auto record = table->Find(typeId);
    if (!record) return VELMORA_NOT_FOUND;
    const VelmoraInt result = record->plugin->Call<EntryPoint::AddServer>(serverId);
    // Host code run during the choice may have registered the ID meanwhile; that entry
    // stays, so an ID is never registered twice.
    if (result > 0) {
        Exclusive lock(mutex_);
        registry_.AddIfAbsent({serverId, typeId});
    }
    return result;
}

VelmoraInt ServerManager::DelServer(VelmoraInt serverId) {
    const auto record = RecordOfServer(serverId);
    if (!record) return VELMORA_DONE;
    const VelmoraInt result = record->plugin->Call<EntryPoint::DelServer>(serverId);
    if (result > 0) {
        Exclusive lock(mutex_);
        registry_.Remove(serverId);
    }
    return result;
}

VelmoraInt ServerManager::LoginServer(VelmoraLoginRecord* record) {
    // A null record is refused before any plug-in sees it.
    if (!record) return VELMORA_NOT_FOUND;
    VelmoraLoginRecord fields;
    std::memcpy(&fields, record, sizeof fields);
    const auto type = serverTypes()->Find(fields.typeId);
    if (!type) return VELMORA_NOT_FOUND;
    const VelmoraInt result = type->plugin->Call<EntryPoint::LoginServer>(static_cast<void*>(record));
    if (result <= 0) return result;
    // The plug-in may have rewritten both fields: what it left there is what counts.
    std::memcpy(&fields, record, sizeof fields);
    Exclusive lock(mutex_);
    registry_.Put({fields.serverId, fields.typeId});
    return result;
}

void ServerManager::SetSelectServerCallBack(VelmoraSelectServerCallBack callback, VelmoraWord user) {
    Exclusive lock(mutex_);
    selectCallback_ = callback;
    selectUser_ = callback ? user : 0;
}

VelmoraInt ServerManager::GetServerTypeInfo(VelmoraServerTypeCallBack callback, VelmoraWord user) const {
    if (!callback) return VELMORA_NO_ANSWER;
    // Held for the whole walk: re-entering code may replace the table meanwhile.
    const auto table = serverTypes();
    for (const auto& record : *table) {
        const std::string name(record->displayName.View());
        callback(record->typeId, name.c_str(), user);
    }
    return VELMORA_NO_ANSWER;
}

VelmoraInt ServerManager::GetServerTypeID(const char* name) const {
    const std::string_view wanted = name ? std::string_view(name) : std::string_view{};
    // Held for the whole walk: re-entering code may replace the table meanwhile.
    const auto table = serverTypes();
    for (const auto& record : *table)
        if (record->displayName.View() == wanted) return record->typeId;
    return VELMORA_NOT_FOUND;
}

VelmoraInt ServerManager::SetSvMsgCallBack(VelmoraWord w1, VelmoraWord w2) const {
    // Held for the whole walk: re-entering code may replace the table meanwhile.
    const auto table = serverTypes();
    for (const auto& record : *table) record->plugin->Call<EntryPoint::SetSvMsgCallBack>(w1, w2);
    return VELMORA_NO_ANSWER;
}

}  // namespace velmora
