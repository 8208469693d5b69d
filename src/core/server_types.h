// The server-type table: one record per discovered plug-in, in discovery order.
#pragma once

#include "core/candidate_screening.h"
#include "types/records.h"

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace velmora {

using ServerTypeRecordPtr = std::shared_ptr<const ServerTypeRecord>;

// A complete table never changes: a rebuild makes a new one, so readers on any thread keep
// a consistent table, and the records they hold, for as long as they need them.
class ServerTypeTable {
public:
    ServerTypeTable() = default;
    explicit ServerTypeTable(std::vector<ServerTypeRecordPtr> records);

    // The first record of the type ID in table order, or null; without walking the table.
    ServerTypeRecordPtr Find(VelmoraInt typeId) const;

    auto begin() const { return records_.begin(); }
    auto end() const { return records_.end(); }
    std::size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    const ServerTypeRecordPtr& operator[](std::size_t index) const { return records_[index]; }

private:
    std::vector<ServerTypeRecordPtr> records_;
    std::unordered_map<VelmoraInt, std::size_t> firstOfType_;  // index into records_
};

inline ServerTypeRecordPtr FindServerType(const ServerTypeTable& table, VelmoraInt typeId) {
    return table.Find(typeId);
}

// The built-in user-visible name of a type ID, as code-page-936 bytes; empty for the
// other IDs, whose plug-ins may name their type themselves.
std::string GetTypeDisplayName(VelmoraInt typeId);

// What became of one entry the system listed for the plug-in pattern.
enum class CandidateOutcome {
    Accepted,
    ExtensionNotLowerCase,  // the system matched the name ignoring case
    NotLoadable,            // the system refused to load the file
    NoGetServerTypeID,
    Fault,                  // a fault in the plug-in's code, or one it let escape
    OutOfMemory,
    SpecialFile,            // a FIFO, socket or device: never opened, as that could block
    Condemned,              // it ended or hung the helper process that examined it: never loaded
};

struct CandidateReport {
    CandidateOutcome outcome = CandidateOutcome::Accepted;
    ServerTypeRecordPtr record;    // Accepted: the record the table got
    std::string loadError;         // NotLoadable: the system's own words
    const char* faultedCall = "";  // Fault: the call under way, or the loading
    const char* specialKind = "";  // SpecialFile: which kind, as platform::SpecialFileKind says
    std::string cause;             // Condemned: what it did to the helper, and in which call
    VelmoraInt typeIdAnswers[3] = {0, 0, 0};  // what each GetServerTypeID call answered, as far as it got
    bool fromCache = false;        // the helper's verdict on it is remembered from an earlier scan
};

// Told, on the scanning thread, about every listed entry in listing order: its name and
// what became of it. Only for diagnostics: a scan does the same with or without one.
using ScanObserver = std::function<void(const std::string& name, const CandidateReport& report)>;

// The steps of examining a candidate, in order, as reports name them: the loading, the
// three GetServerTypeID calls and SetPath, and, for a type without a built-in name,
// GetServerTypeName. A step observer is handed one of these very pointers.
inline constexpr const char* kExaminationSteps[] = {"loading",
                                                    "GetServerTypeID (first call)",
                                                    "GetServerTypeID (second call)",
                                                    "SetPath",
                                                    "GetServerTypeID (third call)",
                                                    "GetServerTypeName"};
inline constexpr std::size_t kExaminationStepCount = sizeof kExaminationSteps / sizeof kExaminationSteps[0];
enum class ExaminationStep { Loading, FirstTypeId, SecondTypeId, SetPath, ThirdTypeId, TypeName };
inline constexpr const char* StepName(ExaminationStep step) { return kExaminationSteps[static_cast<int>(step)]; }
// The place of a step's name in kExaminationSteps (compared as text: each module may hold a
// copy of the names), or kExaminationStepCount for a name that is none.
std::size_t ExaminationStepIndex(const char* name);
inline bool IsLoadingStep(const char* name) {
    return ExaminationStepIndex(name) == static_cast<std::size_t>(ExaminationStep::Loading);
}
using StepObserver = std::function<void(const char* step)>;

// Examines one candidate file as discovery does (loading it twice, GetServerTypeID three
// times, SetPath once, GetServerTypeName where it applies), faults contained; the record is null unless the file is a plug-in
// that completed every call. onStep is told of each step before it starts.
CandidateReport ExamineCandidate(const std::string& path, const std::string& name, const std::string& pluginPath,
                                 const StepObserver& onStep = {});

// Builds a table from the plug-in files of directory, handing pluginPath to each plug-in
// it binds. A candidate that cannot be loaded, lacks GetServerTypeID or faults while it
// is examined is passed over, as is a special file without being opened; the scan goes
// on with the next file. Unless isolation is turned off, a helper process examines the
// candidates first, and those that ended or hung it are passed over without being loaded
// here (see core/candidate_screening.h).
ServerTypeTable ScanPluginDirectory(const std::string& directory, const std::string& pluginPath,
                                    const ScanObserver& observer = {},
                                    const ScreeningSettings& settings = ScreeningSettings::FromEnvironment());

}  // namespace velmora
