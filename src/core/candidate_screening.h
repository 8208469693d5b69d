// Examining the candidates of a directory in a helper process before the library loads any
// of them itself. A candidate that aborts, exits, overflows its stack or hangs there ends
// or stalls the helper, not the host: it is condemned with its cause, the helper is started
// again for the files after it, and discovery then passes over it without loading it.
//
// The helper (velmora-scan-helper, beside the library's own file or in a folder
// velmora-<major>.<minor> there) runs exactly the library's examination of each file and
// reports on a private channel (core/report_channel.h). Its report is believed only while it is whole: a good
// verdict needs every line in order and marked with the run's key, within the time limit,
// ending with the helper's own word that the file's calls returned. Anything else (a
// broken or over-long report, silence past the deadline, a channel closed early, a helper
// that ended) condemns the file it was examining, and that file is never examined
// in-process. Only a helper that cannot be started at all leaves the files it has not
// judged to the in-process scan, as without a helper.
//
// Each verdict is reached in the state the host will be in: the helper first loads, in the
// host's order, every earlier file the host will load, so a library that cannot live
// beside an earlier one is condemned rather than loaded into the host.
//
// Verdicts are remembered per user (core/verdict_cache.h), so a file is examined once until
// it changes. Those that may be the machine's doing (a time-out, a signal from another
// process) are examined again at the next start, and then at growing intervals.
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
    std::string cause;         // condemned: "aborted in SetPath", "no answer within 20 s in ..."
    bool fromCache = false;    // given by an earlier examination of the same file
    bool provisional = false;  // condemned for what may have been the machine's doing
};

// The verdicts on the named candidates of directory (in listing order) that the helper or
// the cache could give; a name without one is examined in-process as if there were no
// helper.
std::map<std::string, ScreeningVerdict> ScreenCandidates(const std::string& directory, const std::string& pluginPath,
                                                         const std::vector<std::string>& names,
                                                         const ScreeningSettings& settings);

// The file of the helper program for a library file: beside it, or in a velmora folder
// there; and the one for the library's own file.
std::string HelperFileFor(const std::string& libraryFile);
std::string DefaultHelperFile();

// The encoding of texts on the helper's channel and in the cache: "x" and the bytes in
// hexadecimal, so any byte may appear.
std::string EncodeText(const std::string& text);
// False when encoded is no such text.
bool DecodeText(const std::string& encoded, std::string& text);

}  // namespace velmora
