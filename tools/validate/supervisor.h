// Running the checks of a file in helper processes: one process runs the checks in order
// until one fails or leaves the plug-in's state broken, then another takes the rest. A
// helper that ends, stalls or says what makes no sense fails the check it was running, with
// the cause; the checks after it still run.
#pragma once

#include "check.h"
#include "protocol.h"

#include <string>
#include <vector>

namespace velmora::validate {

void RunInHelpers(const std::string& file, int level, const std::vector<const CheckInfo*>& checks, FindingSink& sink);

// Follows one helper over checks[next...], handing on what it reports to the sink and the
// plan; answers the index of the first check still to run, which a fresh helper is to take.
std::size_t FollowHelper(ReportSource& helper, const std::vector<const CheckInfo*>& checks, std::size_t next,
                         FindingSink& sink, Plan& plan);

// The helper's own work: runs the checks its command line names and reports them on its
// channel. Answers the process's exit status when it cannot start; otherwise ends the
// process itself.
int RunAsHelper(int argc, char** argv);

}  // namespace velmora::validate
