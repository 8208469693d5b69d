// Running the checks of a file in helper processes: one process runs the checks in order
// until one fails or leaves the plug-in's state broken, then another takes the rest. A
// helper that ends, stalls or says what makes no sense fails the check it was running, with
// the cause; the checks after it still run.
#pragma once

#include "check.h"

#include <string>
#include <vector>

namespace velmora::validate {

void RunInHelpers(const std::string& file, int level, const std::vector<const CheckInfo*>& checks, FindingSink& sink);

// The helper's own work: runs the checks its command line names and reports them on its
// channel. Answers the process's exit status when it cannot start; otherwise ends the
// process itself.
int RunAsHelper(int argc, char** argv);

}  // namespace velmora::validate
