#include "core/server_types.h"

#include "plugin/fault_isolation.h"
#include "platform/platform.h"

#include <new>
#include <string_view>

namespace velmora {

namespace {

constexpr std::string_view kPluginPrefix = "QXDVR";

std::string_view ExtensionOf(std::string_view name) {
    const auto dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view{} : name.substr(dot);
}

// Examines one candidate file; null when it is not a plug-in or faulted on the way.
ServerTypeRecordPtr ExamineCandidate(const std::string& path,
                                                         const std::string& name,
                                                         const std::string& pluginPath) {
    auto record = std::make_shared<ServerTypeRecord>();
    record->plugin = std::make_unique<TServerTypeDLL>();
    TServerTypeDLL& plugin = *record->plugin;

    bool isPlugin = false;
    if (!RunIsolated([&] { isPlugin = plugin.Probe(path); }) || !isPlugin) return nullptr;
    record->fileName.Assign(name);
    // The text is the plug-in's only during the call; one that needs it later copies it.
    const std::string pathText = pluginPath;
    VelmoraInt typeId = 0;
    const bool completed = RunIsolated([&] {
        plugin.Bind(path);
        plugin.SetPath(pathText.c_str());
        typeId = plugin.Call<EntryPoint::GetServerTypeID>();
    });
    if (!completed) return nullptr;
    record->typeId = typeId;
    record->displayName.Assign(GetTypeDisplayName(typeId));
    record->flag = 1;
    return record;
}

}  // namespace

std::string GetTypeDisplayName(VelmoraInt typeId) {
    switch (typeId) {
        case 0: return "\xBA\xA3\xBF\xB5\xC7\xB6\xC8\xEB\xCA\xBD";
        case 1: return "\xBA\xA3\xBF\xB5\xBF\xA8\xCA\xBD" "DVR";
        case 2: return "\xD6\xDA\xC4\xDC\xB4\xEF" "DVS";
        default: return {};
    }
}

ServerTypeTable::ServerTypeTable(std::vector<ServerTypeRecordPtr> records)
    : records_(std::move(records)) {
    for (std::size_t i = 0; i < records_.size(); ++i) firstOfType_.emplace(records_[i]->typeId, i);
}

ServerTypeRecordPtr ServerTypeTable::Find(VelmoraInt typeId) const {
    const auto found = firstOfType_.find(typeId);
    return found == firstOfType_.end() ? nullptr : records_[found->second];
}

ServerTypeTable ScanPluginDirectory(const std::string& directory, const std::string& pluginPath) {
    std::vector<ServerTypeRecordPtr> table;
    if (!platform::IsDirectory(directory)) return {};

    // The directory is used as given: one that ends in a separator gets a second one.
    const std::string pattern = directory + platform::kPathSeparator + std::string(kPluginPrefix) +
                                "*" + platform::kPluginExtension;
    for (const std::string& name : platform::FindMatchingEntries(pattern)) {
        if (name == "." || name == "..") continue;
        // The system's matching ignores case; only the exact lower-case extension counts.
        if (ExtensionOf(name) != platform::kPluginExtension) continue;
        try {
            auto record = ExamineCandidate(directory + platform::kPathSeparator + name, name, pluginPath);
            if (record) table.push_back(std::move(record));
        } catch (const std::bad_alloc&) {
            // Exhausted memory abandons this candidate only.
        }
    }
    return ServerTypeTable(std::move(table));
}

}  // namespace velmora
