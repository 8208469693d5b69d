#include "core/server_types.h"

#include "core/type_name_buffer.h"
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

// Examines one candidate file; the record is null unless it is a plug-in that completed
// every call.
CandidateReport ExamineCandidate(const std::string& path, const std::string& name,
                                 const std::string& pluginPath) {
    CandidateReport report;
    auto record = std::make_shared<ServerTypeRecord>();
    record->plugin = std::make_unique<TServerTypeDLL>();
    TServerTypeDLL& plugin = *record->plugin;

    // Named for the report only: a fault leaves it at the call that was under way.
    const char* call = "GetServerTypeID (first call)";
    const auto faulted = [&] {
        report.outcome = CandidateOutcome::Fault;
        report.faultedCall = call;
        return report;
    };
    bool isPlugin = false;
    if (!RunIsolated([&] { isPlugin = plugin.Probe(path); })) return faulted();
    if (!isPlugin) {
        report.loadError = platform::LastLoadError();
        report.outcome = report.loadError.empty() ? CandidateOutcome::NoGetServerTypeID
                                                  : CandidateOutcome::NotLoadable;
        return report;
    }
    record->fileName.Assign(name);
    // The text is the plug-in's only during the call; one that needs it later copies it.
    const std::string pathText = pluginPath;
    VelmoraInt typeId = 0;
    TypeNameBuffer typeName;
    VelmoraInt typeNameAnswer = 0;
    const bool completed = RunIsolated([&] {
        call = "GetServerTypeID (second call)";
        plugin.Bind(path);
        call = "SetPath";
        plugin.SetPath(pathText.c_str());
        call = "GetServerTypeID (third call)";
        typeId = plugin.Call<EntryPoint::GetServerTypeID>();
        // A built-in name wins: the plug-in is asked only for a type without one.
        if (GetTypeDisplayName(typeId).empty()) {
            call = "GetServerTypeName";
            typeNameAnswer = plugin.Call<EntryPoint::GetServerTypeName>(typeName.data(), TypeNameBuffer::kCapacity);
        }
    });
    if (!completed) return faulted();
    record->typeId = typeId;
    const std::string builtInName = GetTypeDisplayName(typeId);
    record->displayName.Assign(builtInName.empty() ? typeName.Name(typeNameAnswer) : builtInName);
    record->flag = 1;
    report.record = std::move(record);
    return report;
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
    for (std::size_t i = 0; i < records_.size(); ++i)
        firstOfType_.Insert(records_[i]->typeId, {static_cast<std::uint32_t>(i), records_[i]->plugin.get()});
}

ServerTypeRecordPtr ServerTypeTable::Find(VelmoraInt typeId) const {
    const FirstOfType* first = firstOfType_.Find(typeId);
    return first ? records_[first->index] : nullptr;
}

ServerTypeTable ScanPluginDirectory(const std::string& directory, const std::string& pluginPath,
                                    const ScanObserver& observer) {
    std::vector<ServerTypeRecordPtr> table;
    if (!platform::IsDirectory(directory)) return {};

    // The directory is used as given: one that ends in a separator gets a second one.
    const std::string pattern = directory + platform::kPathSeparator + std::string(kPluginPrefix) +
                                "*" + platform::kPluginExtension;
    for (const std::string& name : platform::FindMatchingEntries(pattern)) {
        if (name == "." || name == "..") continue;
        CandidateReport report;
        // The system's matching ignores case; only the exact lower-case extension counts.
        if (ExtensionOf(name) != platform::kPluginExtension) {
            report.outcome = CandidateOutcome::ExtensionNotLowerCase;
        } else {
            try {
                report = ExamineCandidate(directory + platform::kPathSeparator + name, name, pluginPath);
                if (report.record) table.push_back(report.record);
            } catch (const std::bad_alloc&) {
                // Exhausted memory abandons this candidate only.
                report.outcome = CandidateOutcome::OutOfMemory;
                report.record = nullptr;
            }
        }
        if (observer) observer(name, report);
    }
    return ServerTypeTable(std::move(table));
}

}  // namespace velmora
