// The text of velmora-validate --help: its one source.
#pragma once

namespace velmora::validate {

inline constexpr const char kUsage[] =
    "usage: velmora-validate [--level N] [--json FILE|-] [--junit FILE] [--list] [--only NAME]\n"
    "                        [--in-process] PLUGIN_FILE...\n"
    "\n"
    "Checks plug-in files against Velmora's plug-in contract, the way a host's library loads and\n"
    "drives them, and reports each finding with the entry point at fault.\n"
    "  --level N     how thorough, 1 (quick: the file only) to 5 (thorough); default 3\n"
    "  --json FILE   every finding as JSON into FILE, or onto standard output with -\n"
    "                (the lines for people then go to standard error)\n"
    "  --junit FILE  JUnit XML into FILE, one test case per check\n"
    "  --list        the checks, the level each starts at and what each makes sure of\n"
    "  --only NAME   run this check (whatever its level); may be given more than once\n"
    "  --in-process  run the checks in this process rather than in helper processes, so that a\n"
    "                debugger can follow; a plug-in that ends or hangs the process ends the run\n"
    "  --version     the version of the validator and of the library it was built with\n"
    "  --help        this text\n"
    "Every check runs in a helper process with time limits, so that a plug-in that crashes,\n"
    "exits or hangs fails the check it was in and the rest still run.\n"
    "Exit status: 0 when no check failed, 1 when one did or a file could not be examined,\n"
    "2 for a usage error.\n";

}  // namespace velmora::validate
