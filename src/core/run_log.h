// The run-time log: off unless the environment asks for it (VELMORA_LOG names a file,
// "stderr" or "debug"; VELMORA_LOG_LEVEL=verbose adds the verbose lines). One line per
// event, each starting with the UTC time and the thread's ID. Writing never changes a
// result and never fails a call, from any thread. With the log on, a crash in plug-in code
// leaves a last line naming the plug-in file, the fault and the entry point in progress.
#pragma once

#include "platform/log_output.h"

#include <atomic>

#if defined(__MINGW32__)
#define VELMORA_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(__MINGW_PRINTF_FORMAT, formatIndex, firstArgument)))
#else
#define VELMORA_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#endif

namespace velmora::runlog {

enum class Level { Events = 1, Verbose = 2 };

namespace detail {
// The level in force, or kUnread before the switches were read.
constexpr int kUnread = -1;
inline std::atomic<int> level{kUnread};
// Set once the crash line is armed: calls into plug-ins then note their entry point.
inline std::atomic<bool> notingCalls{false};
int ReadSwitches() noexcept;
}  // namespace detail

// True when the log is on at that level; cheap (one load), safe from any thread. The first
// call reads the switches and, when the log is on, opens it and writes its first line.
inline bool Enabled(Level level = Level::Events) noexcept {
    int current = detail::level.load(std::memory_order_acquire);
    if (current == detail::kUnread) [[unlikely]]
        current = detail::ReadSwitches();
    return current >= static_cast<int>(level);
}

// One line (printf-style, without its line end), written whole; nothing when the log is
// off at that level. Longer lines are cut.
VELMORA_PRINTF_FORMAT(2, 3) void Write(Level level, const char* format, ...) noexcept;

// Whether calls into plug-in code should be noted for the crash line: one load.
inline bool NotingCalls() noexcept { return detail::notingCalls.load(std::memory_order_relaxed); }

// Notes the entry point in progress on this thread for the object's lifetime, for the crash
// line; the note it replaced comes back afterwards, so calls may nest.
class CallNote {
public:
    CallNote(const char* entryPoint, const void* function) noexcept
        : previous_(platform::NoteCallInProgress({entryPoint, function})) {}
    ~CallNote() { platform::NoteCallInProgress(previous_); }
    CallNote(const CallNote&) = delete;
    CallNote& operator=(const CallNote&) = delete;

private:
    platform::CallInProgress previous_;
};

}  // namespace velmora::runlog
