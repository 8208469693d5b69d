// Examining the candidates of a directory in a helper process before the library loads any
// of them itself. A candidate that aborts, exits, overflows its stack or hangs there ends
// or stalls the helper, not the host: it is condemned with its cause, the helper is started
// again for the files after it, and discovery then passes over it without loading it.
// Verdicts are remembered per user (core/verdict_cache.h), so a file is examined once until
// it changes.
//
// The helper (velmora-scan-helper, beside the library's own file or in a folder
// velmora-<major>.<minor> there) runs exactly the library's examination of each file and
// reports on a channel of its own, line by line:
//   H              it has started
//   B <name>       it begins a file
//   S <step>       the step it starts (see ExamineCandidate)
//   V              the file is examined (whatever its outcome, the helper survived it)
//   F <words>      the file faulted in a way the guard contained but the host should not
//                  meet again: while being loaded (a loader left in the middle of its work
//                  is no state to load anything in again), or by overflowing its stack (the
//                  stack's guard page is then spent). The file is condemned as well, and the
//                  helper ends, to be started afresh for the files after it
//   D <words>      last words: how plug-in code is ending the process ("aborted")
//   E              every file is examined
// Texts travel as "x" followed by their bytes in hexadecimal, so any byte may appear.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace velmora {

// What the environment asks for; read afresh for every scan.
struct ScreeningSettings {
    bool enabled = true;        // VELMORA_SCAN=in-process turns the helper off
    int timeoutMs = 20000;      // VELMORA_SCAN_TIMEOUT, in seconds: how long one file may take
    std::string helper;         // VELMORA_SCAN_HELPER, else velmora-scan-helper beside the library
    std::string cacheFile;      // empty with VELMORA_SCAN_CACHE=off or without a cache folder

    static ScreeningSettings FromEnvironment();
};

struct ScreeningVerdict {
    bool condemned = false;
    std::string cause;       // condemned: "aborted in SetPath", "no answer within 20 s in ..."
    bool fromCache = false;  // given by an earlier examination of the same file
};

// The verdicts on the named candidates of directory that the helper or the cache could
// give; a name without one is examined in-process as if there were no helper.
std::map<std::string, ScreeningVerdict> ScreenCandidates(const std::string& directory, const std::string& pluginPath,
                                                         const std::vector<std::string>& names,
                                                         const ScreeningSettings& settings);

// The file of the helper program for a library file: beside it, or in a velmora folder
// there; and the one for the library's own file.
std::string HelperFileFor(const std::string& libraryFile);
std::string DefaultHelperFile();

// The encoding of texts on the helper's command line and channel, and in the cache.
std::string EncodeText(const std::string& text);
// False when encoded is no such text.
bool DecodeText(const std::string& encoded, std::string& text);

}  // namespace velmora
