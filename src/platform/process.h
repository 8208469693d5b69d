// Child processes, files and the environment: what examining plug-ins in a helper process
// and remembering its verdicts need from the operating system. One source file per
// platform implements it (process_linux.cpp, process_windows.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmora::platform {

// The value of an environment variable as the process sees it now (on Windows also one set
// by SetEnvironmentVariable); empty when unset.
std::string EnvironmentVariable(const char* name);

// Full file name of the module (library or program) that holds the library's own code.
std::string OwnModulePath();

// The per-user cache folder: $XDG_CACHE_HOME or ~/.cache on Linux, %LOCALAPPDATA% on
// Windows; empty when there is none.
std::string UserCacheDirectory();

struct FileStamp {
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // in the system's own units, compared for equality only
};
// False when the file cannot be examined.
bool StampOf(const std::string& path, FileStamp& stamp);

// The whole content of a file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& content);
// Replaces path by a file holding content, so that a reader meets the old file or the new
// one, never a part of either: written beside it under a name of its own, then renamed
// over it. Creates the missing folders above it. False when any step failed.
bool ReplaceFileAtomically(const std::string& path, const std::string& content);
bool RemoveFile(const std::string& path);

struct ProcessEnding {
    enum class Kind {
        Exited,         // code: its exit status
        Aborted,        // abort(): SIGABRT on Linux
        Fault,          // code: the signal (Linux) or the exception code (Windows)
        StackOverflow,
        Unknown,        // someone else collected its status
    };
    Kind kind = Kind::Unknown;
    unsigned long code = 0;
    std::string words;  // "exited with status 3", "access violation (exception 0xC0000005)"...
};

// A child program with a report channel: the child's standard streams go nowhere, it
// inherits nothing but the channel, and nothing it does reaches the parent's own streams.
// The child finds the channel named by its first argument (see OpenReportChannel).
class ChildProcess {
public:
    enum class ReadResult { Data, TimedOut, Ended };

    // Null when the program cannot be started.
    static std::unique_ptr<ChildProcess> Start(const std::string& program, const std::vector<std::string>& arguments);
    virtual ~ChildProcess() = default;

    // Appends what the child reported to out, waiting at most timeoutMs for something.
    // Ended once the channel is closed (the child has ended or closed it).
    virtual ReadResult Read(std::string& out, int timeoutMs) = 0;
    // Ends the child at once; harmless when it has ended already.
    virtual void Kill() = 0;
    // Waits for the child to end, reaps it (no zombie stays behind) and says how it ended.
    // inGuardedCall: the child was inside a call whose faults its guard contains, so a
    // fault that still ended it found no stack to run the guard's handler on (Linux).
    virtual ProcessEnding Ending(bool inGuardedCall) = 0;
};

// In the child: prepares the process for examining plug-ins (no error dialogs, no handles
// or descriptors beyond the channel) and opens the channel its parent named.
class ReportChannel {
public:
    // Null when the argument names no channel.
    static std::unique_ptr<ReportChannel> Open(const char* argument);
    virtual ~ReportChannel() = default;
    // Writes the whole text; false when the parent is gone.
    virtual bool Write(const std::string& text) = 0;
    // Writes one line from a signal handler or an exception filter: no allocation, no lock.
    virtual void WriteLastWords(const char* line) noexcept = 0;
    // Tells the parent, through the channel, how the process ends when plug-in code
    // aborts or exits on its own ("D aborted", "D exited with status 3").
    virtual void ReportOwnEnding() = 0;
    // Whether a stack overflow was raised on this thread since the last call, whoever
    // contained it (the guard, or the system's loader around DllMain): the system raises it
    // as an exception on Windows; on Linux it ends the process.
    virtual bool TakeStackOverflowSeen() = 0;
    // Ends the process at once, running no plug-in's exit code.
    [[noreturn]] virtual void EndNow(int status) = 0;
};

}  // namespace velmora::platform
