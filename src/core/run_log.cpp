#include "core/run_log.h"

#include "platform/process.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace velmora::runlog {

namespace {

// Control bytes (a file name may hold any) would reach a terminal as commands: each becomes
// a \xNN escape, in place, from the end; what no longer fits the capacity is cut.
std::size_t EscapeControlBytes(char* text, std::size_t length, std::size_t capacity) noexcept {
    const auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; };
    std::size_t escaped = length;
    for (std::size_t i = 0; i < length; ++i)
        if (control(text[i])) escaped += 3;
    for (std::size_t i = length, out = escaped; i-- > 0;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const char replacement[4] = {'\\', 'x', "0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]};
        const std::size_t size = control(text[i]) ? 4 : 1;
        out -= size;
        for (std::size_t k = 0; k < size; ++k)
            if (out + k < capacity) text[out + k] = size == 1 ? text[i] : replacement[k];
    }
    return escaped < capacity ? escaped : capacity;
}

// Formats one line and writes it; errno comes back as it was.
void WriteLine(const char* format, va_list arguments) noexcept {
    const int savedErrno = errno;
    char line[4096];
    const std::size_t capacity = sizeof line - 2;  // room for the line end and a zero
    std::size_t length = platform::FormatLinePrefix(line, capacity);
    const std::size_t room = capacity - length;
    const int written = std::vsnprintf(line + length, room + 1, format, arguments);
    if (written > 0) {
        const std::size_t text = static_cast<std::size_t>(written) < room ? static_cast<std::size_t>(written) : room;
        length += EscapeControlBytes(line + length, text, room);
    }
    line[length++] = '\n';
    line[length] = '\0';
    platform::WriteLogLine(line, length);
    errno = savedErrno;
}

VELMORA_PRINTF_FORMAT(1, 2) void WriteFirstLine(const char* format, ...) noexcept;
void WriteFirstLine(const char* format, ...) noexcept {
    va_list arguments;
    va_start(arguments, format);
    WriteLine(format, arguments);
    va_end(arguments);
}

int Configure() noexcept {
    int level = 0;
    try {
        const std::string target = platform::EnvironmentVariable("VELMORA_LOG");
        const auto kind = target == "stderr"  ? platform::LogTarget::StandardError
                          : target == "debug" ? platform::LogTarget::Debugger
                                              : platform::LogTarget::File;
        if (!target.empty() && platform::OpenLogOutput(kind, target))
            level = platform::EnvironmentVariable("VELMORA_LOG_LEVEL") == "verbose" ? static_cast<int>(Level::Verbose)
                                                                                : static_cast<int>(Level::Events);
    } catch (...) {
        // Memory ran out before anything was opened: the log stays off.
    }
    if (level > 0) {
        // Written before the level is published, so that it is the log's first line.
        WriteFirstLine("Velmora %s (%s), log level %s", VELMORA_VERSION, VELMORA_BUILD,
                       level == static_cast<int>(Level::Verbose) ? "verbose" : "events");
        platform::InstallCrashReport();
        detail::notingCalls.store(true, std::memory_order_relaxed);
    }
    detail::level.store(level, std::memory_order_release);
    return level;
}

// Gives the handlers and the output back when the library is unloaded.
struct Closing {
    ~Closing() {
        if (detail::level.exchange(0) <= 0) return;
        detail::notingCalls.store(false, std::memory_order_relaxed);
        platform::RemoveCrashReport();
        platform::CloseLogOutput();
    }
} closing;

}  // namespace

int detail::ReadSwitches() noexcept {
    static const int configured = Configure();
    return configured;
}

void Write(Level level, const char* format, ...) noexcept {
    if (!Enabled(level)) return;
    va_list arguments;
    va_start(arguments, format);
    WriteLine(format, arguments);
    va_end(arguments);
}

}  // namespace velmora::runlog
