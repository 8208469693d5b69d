// What became of a candidate file, in words: the same for velmora-probe and the run-time log.
#pragma once

#include "core/server_types.h"

#include <string>
#include <string_view>

namespace velmora {

struct CandidateVerdict {
    bool accepted = false;
    std::string reason;  // for machines: a fixed word; empty when accepted
    std::string detail;  // for people
};

// The verdict on the listed entry name; readableName renders a display name (code-page-936
// bytes) for the detail of an accepted plug-in.
CandidateVerdict DescribeCandidate(const std::string& name, const CandidateReport& report,
                                   std::string (*readableName)(std::string_view));

}  // namespace velmora
