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
        Signal,         // code: a signal that is no fault (Linux): SIGKILL, SIGTERM...
        Unknown,        // someone else collected its status
    };
    Kind kind = Kind::Unknown;
    unsigned long code = 0;
    std::string words;  // "exited with status 3", "access violation (exception 0xC0000005)"...
};

// Fills buffer with bytes no other process can foresee.
void RandomBytes(unsigned char* buffer, std::size_t size);

// A child program with a private two-way channel, named by the child's first argument (see
// ReportChannel). The child's standard streams lead nowhere and cost it nothing to write
// to, it inherits no handle or descriptor of the parent's, and nothing it does reaches
// the parent's own streams. Every wait is bounded.
class ChildProcess {
public:
    enum class ReadResult { Data, TimedOut, Ended };

    // Null when the program cannot be started or does not open its channel within
    // timeoutMs. The arguments follow the channel's name on the child's command line.
    static std::unique_ptr<ChildProcess> Start(const std::string& program, int timeoutMs,
                                               const std::vector<std::string>& arguments = {});
    // Ends the child if it still runs and reaps it, waiting a bounded time.
    virtual ~ChildProcess() = default;

    // Sends the whole text; false when the child does not take it within timeoutMs or is gone.
    virtual bool Send(const std::string& text, int timeoutMs) = 0;
    // Appends at most maxBytes of what the child sent to out, waiting at most timeoutMs for
    // something. Ended once the channel is closed (the child has ended or closed it).
    virtual ReadResult Read(std::string& out, std::size_t maxBytes, int timeoutMs) = 0;
    // Ends the child at once; harmless when it has ended already, never a process that
    // merely took over its ID.
    virtual void Kill() = 0;
    // Waits at most timeoutMs for the child to end; once it has, reaps it (no zombie stays
    // behind) and says how it ended. inGuardedCall: the child was inside a call whose
    // faults its guard contains, so a fault that still ended it found no stack to run the
    // guard's handler on (Linux). Null while it still runs.
    virtual std::unique_ptr<ProcessEnding> WaitForEnding(int timeoutMs, bool inGuardedCall) = 0;
};

// In the child: prepares the process for examining plug-ins (no error dialogs, no handles
// or descriptors beyond the channel, standard streams that take anything at once) and
// opens the channel its parent named.
class ReportChannel {
public:
    // How plug-in code ends the process when it ends it on its own, for last words.
    enum class OwnEnding { Aborted, Exited, OwnSignal, OutsideSignal };
    // Called from a signal handler, an exit hook or an exception filter: may use only what
    // such code may use (no allocation, no lock).
    using LastWords = void (*)(OwnEnding ending, int code) noexcept;
    // What a guard or the system's loader contained on this thread, that the host should
    // not meet again.
    enum class Contained { Nothing, StackOverflow, Abort };

    // Null when the argument names no channel.
    static std::unique_ptr<ReportChannel> Open(const char* argument);
    virtual ~ReportChannel() = default;
    // Appends what the parent sent to out, at most maxBytes, waiting at most timeoutMs;
    // false once the parent has closed its end or nothing came in time.
    virtual bool Receive(std::string& out, std::size_t maxBytes, int timeoutMs) = 0;
    // Writes the whole text; false when the parent is gone. Safe in a signal handler.
    virtual bool Write(const char* data, std::size_t size) noexcept = 0;
    // From now on, plug-in code that ends the process (abort(), exit(), a signal) has
    // lastWords called first.
    virtual void ReportOwnEnding(LastWords lastWords) = 0;
    // What was contained on this thread since the last call. Windows raises a stack
    // overflow as an exception and lets the loader contain what DllMain raises; on Linux a
    // stack overflow ends the process and a library's constructors run unguarded.
    virtual Contained TakeContained() = 0;
    // Ends the process at once, running no plug-in's exit code.
    [[noreturn]] virtual void EndNow(int status) = 0;
};

// Holds an exclusive lock on a file (created if need be) for the object's lifetime,
// against other processes and threads.
class FileLock {
public:
    // Null when the lock cannot be had within timeoutMs.
    static std::unique_ptr<FileLock> Acquire(const std::string& path, int timeoutMs);
    virtual ~FileLock() = default;
};

}  // namespace velmora::platform
