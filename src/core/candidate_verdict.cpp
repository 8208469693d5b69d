#include "core/candidate_verdict.h"

#include "platform/platform.h"
#include "plugin/entry_point_table.h"

namespace velmora {

CandidateVerdict DescribeCandidate(const std::string& name, const CandidateReport& report,
                                   std::string (*readableName)(std::string_view)) {
    CandidateVerdict verdict;
    switch (report.outcome) {
        case CandidateOutcome::Accepted: {
            const ServerTypeRecord& record = *report.record;
            verdict.accepted = true;
            std::string exported;
            std::size_t count = 0;
            for (std::size_t i = 0; i < kEntryPointCount; ++i) {
                if (!record.plugin->Has(static_cast<EntryPoint>(i))) continue;
                exported += (count++ == 0 ? "" : " ") + std::string(kEntryPoints[i].name);
            }
            if (count == kEntryPointCount)
                exported = "all " + std::to_string(kEntryPointCount) + " entry points";
            else
                exported = std::to_string(count) + " of " + std::to_string(kEntryPointCount) + " entry points: " + exported;
            const std::string_view displayName = record.displayName.View();
            const std::string shown = displayName.empty() ? "no display name" : readableName(displayName);
            verdict.detail = "type ID " + std::to_string(record.typeId) + ", " + shown + ", " + exported;
            break;
        }
        case CandidateOutcome::ExtensionNotLowerCase:
            verdict.reason = "extension-not-lower-case";
            verdict.detail = "extension " + name.substr(name.rfind('.')) + " is not the lower-case " +
                             platform::kPluginExtension;
            break;
        case CandidateOutcome::NotLoadable:
            verdict.reason = "not-loadable";
            verdict.detail = "the system refused to load it: " + report.loadError;
            break;
        case CandidateOutcome::NoGetServerTypeID:
            verdict.reason = "no-GetServerTypeID";
            verdict.detail = "it exports no GetServerTypeID";
            break;
        case CandidateOutcome::Fault:
            verdict.reason = "fault";
            verdict.detail = std::string("a fault in ") + report.faultedCall;
            break;
        case CandidateOutcome::OutOfMemory:
            verdict.reason = "out-of-memory";
            verdict.detail = "memory ran out while it was examined";
            break;
        case CandidateOutcome::SpecialFile:
            verdict.reason = "special-file";
            verdict.detail = std::string("it is a ") + report.specialKind + ", not a library file; not opened";
            break;
        case CandidateOutcome::Condemned:
            verdict.reason = "condemned";
            verdict.detail = "condemned in the helper process (" + report.cause + "), never loaded here";
            break;
    }
    if (report.fromCache) verdict.detail += " (the helper's verdict of an earlier examination)";
    return verdict;
}

}  // namespace velmora
