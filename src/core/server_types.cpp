#include "core/server_types.h"

#include "core/candidate_screening.h"
#include "core/type_name_buffer.h"
#include "plugin/fault_isolation.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

namespace velmora {

namespace {

constexpr std::string_view kPluginPrefix = "QXDVR";

std::string_view ExtensionOf(std::string_view name) {
    const auto dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view{} : name.substr(dot);
}

}  // namespace

CandidateReport ExamineCandidate(const std::string& path, const std::string& name, const std::string& pluginPath,
                                 const StepObserver& onStep) {
    CandidateReport report;
    auto record = std::make_shared<ServerTypeRecord>();
    record->plugin = std::make_unique<TServerTypeDLL>();
    TServerTypeDLL& plugin = *record->plugin;

    // Named for the report only: a fault leaves it at the call that was under way.
    const char* call = "";
    const auto step = [&](const char* next) {
        call = next;
        if (onStep) onStep(next);
    };
    const auto faulted = [&] {
        report.outcome = CandidateOutcome::Fault;
        report.faultedCall = call;
        return report;
    };
    bool isPlugin = false;
    step(StepName(ExaminationStep::Loading));
    if (!RunIsolated([&] { isPlugin = plugin.Load(path); })) return faulted();
    if (!isPlugin) {
        report.loadError = platform::LastLoadError();
        report.outcome = report.loadError.empty() ? CandidateOutcome::NoGetServerTypeID
                                                  : CandidateOutcome::NotLoadable;
        return report;
    }
    step(StepName(ExaminationStep::FirstTypeId));
    if (!RunIsolated([&] { plugin.AskTypeId(); })) return faulted();
    report.typeIdAnswers[0] = plugin.typeId();
    // Cut to the record's capacity, but never inside a character of a Windows name.
    record->fileName.Assign(platform::WholeCharactersWithin(name, kRecordTextCapacity));
    // The text is the plug-in's only during the call; one that needs it later copies it.
    const std::string pathText = pluginPath;
    VelmoraInt typeId = 0;
    TypeNameBuffer typeName;
    VelmoraInt typeNameAnswer = 0;
    const bool completed = RunIsolated([&] {
        step(StepName(ExaminationStep::SecondTypeId));
        plugin.Bind(path);
        report.typeIdAnswers[1] = plugin.typeId();
        step(StepName(ExaminationStep::SetPath));
        plugin.SetPath(pathText.c_str());
        step(StepName(ExaminationStep::ThirdTypeId));
        typeId = plugin.Call<EntryPoint::GetServerTypeID>();
        report.typeIdAnswers[2] = typeId;
        // A built-in name wins: the plug-in is asked only for a type without one.
        if (GetTypeDisplayName(typeId).empty()) {
            step(StepName(ExaminationStep::TypeName));
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

std::size_t ExaminationStepIndex(const char* name) {
    std::size_t index = 0;
    while (index < kExaminationStepCount && !(name && std::strcmp(kExaminationSteps[index], name) == 0)) ++index;
    return index;
}

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
    const auto first = firstOfType_.find(typeId);
    return first != firstOfType_.end() ? records_[first->second] : nullptr;
}

ServerTypeTable ScanPluginDirectory(const std::string& directory, const std::string& pluginPath,
                                    const ScanObserver& observer, const ScreeningSettings& settings) {
    std::vector<ServerTypeRecordPtr> table;
    if (!platform::IsDirectory(directory)) return {};

    // The directory is used as given: one that ends in a separator gets a second one.
    const std::string pattern = directory + platform::kPathSeparator + std::string(kPluginPrefix) +
                                "*" + platform::kPluginExtension;
    std::vector<std::string> names = platform::FindMatchingEntries(pattern);
    names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& name) { return name == "." || name == ".."; }),
                names.end());
    // The system's matching ignores case; only the exact lower-case extension counts. A
    // special file is never opened, here or in the helper; it is looked at once.
    std::vector<const char*> specialKinds(names.size(), nullptr);
    std::vector<std::string> candidates;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (ExtensionOf(names[i]) != platform::kPluginExtension) continue;
        specialKinds[i] = platform::SpecialFileKind(directory + platform::kPathSeparator + names[i]);
        if (!specialKinds[i]) candidates.push_back(names[i]);
    }
    const auto verdicts = ScreenCandidates(directory, pluginPath, candidates, settings);

    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        CandidateReport report;
        const std::string path = directory + platform::kPathSeparator + name;
        const auto verdict = verdicts.find(name);
        if (ExtensionOf(name) != platform::kPluginExtension) {
            report.outcome = CandidateOutcome::ExtensionNotLowerCase;
        } else if (specialKinds[i]) {
            report.outcome = CandidateOutcome::SpecialFile;
            report.specialKind = specialKinds[i];
        } else if (verdict != verdicts.end() && verdict->second.condemned) {
            report.outcome = CandidateOutcome::Condemned;
            report.cause = verdict->second.cause;
            report.fromCache = verdict->second.fromCache;
        } else {
            try {
                report = ExamineCandidate(path, name, pluginPath);
                if (report.record) table.push_back(report.record);
            } catch (const std::bad_alloc&) {
                // Exhausted memory abandons this candidate only.
                report.outcome = CandidateOutcome::OutOfMemory;
                report.record = nullptr;
            }
            report.fromCache = verdict != verdicts.end() && verdict->second.fromCache;
        }
        if (observer) observer(name, report);
    }
    return ServerTypeTable(std::move(table));
}

}  // namespace velmora
