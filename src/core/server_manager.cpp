#include "core/server_manager.h"

#include "core/candidate_verdict.h"
#include "core/readable_text.h"
#include "platform/platform.h"
#include "plugin/entry_point_table.h"
#include "ui/select_server.h"

#include <algorithm>
#include <cstring>

namespace velmora {

namespace {

// In characters as the system counts them in a path.
constexpr std::size_t kDirectoryCapacity = 255;

using runlog::Level;

// The verdict on each candidate, in the words velmora-probe prints. Names are written as
// the library holds them: UTF-8 on Windows, the file system's bytes on Linux.
void LogVerdict(const std::string& name, const CandidateReport& report) {
    try {
        const CandidateVerdict verdict = DescribeCandidate(name, report, ReadableDisplayName);
        runlog::Write(Level::Events, "candidate %s: %s: %s", name.c_str(), verdict.accepted ? "accepted" : "passed over",
                      verdict.detail.c_str());
    } catch (...) {
        // Memory ran out for the words: the scan goes on without them.
    }
}

void LogTypeTable(const ServerTypeTable& table) {
    runlog::Write(Level::Events, "type table: %d type(s)", static_cast<int>(table.size()));
    for (const auto& record : table) {
        const std::string_view file = record->fileName.View();
        try {
            const std::string name = ReadableDisplayName(record->displayName.View());
            runlog::Write(Level::Events, "type ID %d: %s, %.*s", static_cast<int>(record->typeId),
                          name.empty() ? "no display name" : name.c_str(), static_cast<int>(file.size()), file.data());
        } catch (...) {
            // Memory ran out for the words: the table stays as it is.
        }
    }
}

// "plug-in QXDVR....so (type ID n)" for a registry line.
#define VELMORA_PLUGIN_OF(record) \
    static_cast<int>((record)->fileName.View().size()), (record)->fileName.View().data(), static_cast<int>((record)->typeId)

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
                                                               const std::string& pluginPath, const char* why) {
    const std::string scanned = platform::FirstCharacters(directory, kDirectoryCapacity);
    {
        Exclusive lock(mutex_);
        pluginDirectory_ = scanned;
        PublishTypes(std::make_shared<const ServerTypeTable>());
    }
    const bool logged = runlog::Enabled();
    if (logged)
        runlog::Write(Level::Events, "directory \"%s\" (%s)%s", scanned.c_str(), why,
                      platform::IsDirectory(scanned) ? "" : ": not a directory");
    auto table = std::make_shared<const ServerTypeTable>(
        ScanPluginDirectory(scanned, pluginPath, logged ? ScanObserver(LogVerdict) : ScanObserver()));
    runlog::Write(Level::Events, "directory \"%s\": %d plug-in(s) accepted", scanned.c_str(),
                  static_cast<int>(table->size()));
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
    // A null block counts as two empty texts rather than a crash. The plug-in path reaches
    // the plug-ins byte for byte; the directory is the host's text in its code page.
    const std::string pluginPath = params ? ShortStringText(params->pluginPath) : std::string{};
    const std::string given = params ? platform::PathFromHostText(ShortStringText(params->pluginDirectory)) : std::string{};

    // Fallbacks follow this call's own scans, whatever other threads do meanwhile.
    auto table = ScanFrom(given, pluginPath, "given in InitParams");
    if (table->empty())
        table = ScanFrom(DirectoryPart(platform::ExecutablePath()), pluginPath,
                         "the executable's, as the directory before yielded no plug-in");
    if (table->empty())
        table = ScanFrom(platform::SystemDirectory(), pluginPath,
                         "the system directory, as the directory before yielded no plug-in");
    if (table->empty())
        table = ScanFrom(platform::WindowsDirectory(), pluginPath,
                         "the Windows directory, as the directory before yielded no plug-in");
    if (runlog::Enabled()) LogTypeTable(*table);

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
        if (registry_.Find(serverId)) {
            runlog::Write(Level::Events, "AddServer(%d): already registered, answered -2", static_cast<int>(serverId));
            return VELMORA_ALREADY_REGISTERED;
        }
        for (const auto& record : *types_) names.emplace_back(record->displayName.View());
        callback = selectCallback_;
        user = selectUser_;
    }
    const VelmoraInt chosen = SelectServerType(names, callback, user);

    // The index is read against the table as it stands once the choice is made. No
    // choice reaches no plug-in, not even one that reports type ID -1.
    const auto table = serverTypes();
    if (chosen < 0 || static_cast<std::size_t>(chosen) >= table->size()) {
        runlog::Write(Level::Events, "AddServer(%d): no type chosen (%d), answered -1", static_cast<int>(serverId),
                      static_cast<int>(chosen));
        return VELMORA_NOT_FOUND;
    }
    const VelmoraInt typeId = (*table)[chosen]->typeId;
    const auto record = table->Find(typeId);
    if (!record) return VELMORA_NOT_FOUND;
    const VelmoraInt result = record->plugin->Call<EntryPoint::AddServer>(serverId);
    runlog::Write(Level::Events, "AddServer(%d): %.*s (type ID %d) answered %d: %s", static_cast<int>(serverId),
                  VELMORA_PLUGIN_OF(record), static_cast<int>(result), result > 0 ? "registered" : "not registered");
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
    if (!record) {
        runlog::Write(Level::Events, "DelServer(%d): no such server (or its type is not in the table), answered 1",
                      static_cast<int>(serverId));
        return VELMORA_DONE;
    }
    const VelmoraInt result = record->plugin->Call<EntryPoint::DelServer>(serverId);
    runlog::Write(Level::Events, "DelServer(%d): %.*s (type ID %d) answered %d: %s", static_cast<int>(serverId),
                  VELMORA_PLUGIN_OF(record), static_cast<int>(result), result > 0 ? "removed" : "kept");
    if (result > 0) {
        Exclusive lock(mutex_);
        registry_.Remove(serverId);
    }
    return result;
}

VelmoraInt ServerManager::LoginServer(VelmoraLoginRecord* record) {
    // A null record is refused before any plug-in sees it.
    if (!record) {
        runlog::Write(Level::Events, "LoginServer: no login record, answered -1");
        return VELMORA_NOT_FOUND;
    }
    VelmoraLoginRecord fields;
    std::memcpy(&fields, record, sizeof fields);
    const auto type = serverTypes()->Find(fields.typeId);
    if (!type) {
        runlog::Write(Level::Events, "LoginServer(server %d, type ID %d): type not in the table, answered -1",
                      static_cast<int>(fields.serverId), static_cast<int>(fields.typeId));
        return VELMORA_NOT_FOUND;
    }
    const VelmoraInt asked = fields.serverId;
    const VelmoraInt result = type->plugin->Call<EntryPoint::LoginServer>(static_cast<void*>(record));
    if (result <= 0) {
        runlog::Write(Level::Events, "LoginServer(server %d, type ID %d): %.*s (type ID %d) answered %d: not registered",
                      static_cast<int>(asked), static_cast<int>(fields.typeId), VELMORA_PLUGIN_OF(type),
                      static_cast<int>(result));
        return result;
    }
    // The plug-in may have rewritten both fields: what it left there is what counts.
    std::memcpy(&fields, record, sizeof fields);
    runlog::Write(Level::Events, "LoginServer(server %d): %.*s (type ID %d) answered %d: server %d registered under type ID %d",
                  static_cast<int>(asked), VELMORA_PLUGIN_OF(type), static_cast<int>(result),
                  static_cast<int>(fields.serverId), static_cast<int>(fields.typeId));
    Exclusive lock(mutex_);
    registry_.Put({fields.serverId, fields.typeId});
    return result;
}

VelmoraInt ServerManager::NotForwarded(VelmoraInt serverId, EntryPoint entry) const {
    if (!runlog::Enabled(Level::Verbose)) return VELMORA_NOT_FOUND;
    const char* const name = kEntryPoints[IndexOf(entry)].name;
    const int server = static_cast<int>(serverId);
    bool registered = false;
    VelmoraInt typeId = 0;
    ServerTypeRecordPtr record;
    {
        Shared lock(mutex_);
        if (const auto found = registry_.Find(serverId)) {
            registered = true;
            typeId = found->typeId;
            record = types_->Find(typeId);
        }
    }
    if (!registered)
        runlog::Write(Level::Verbose, "%s(server %d) answered -1: no server %d is registered", name, server, server);
    else if (!record)
        runlog::Write(Level::Verbose, "%s(server %d) answered -1: its type ID %d is not in the type table", name,
                      server, static_cast<int>(typeId));
    else
        runlog::Write(Level::Verbose, "%s(server %d) answered -1: %.*s (type ID %d) does not export %s", name, server,
                      VELMORA_PLUGIN_OF(record), name);
    return VELMORA_NOT_FOUND;
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
