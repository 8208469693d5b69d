// What the run-time log needs from the system: one output shared by every thread and
// process, the line prefix, and the crash line. One source file per platform
// implements it (log_output_linux.cpp, log_output_windows.cpp).
#pragma once

#include <cstddef>
#include <string>

namespace velmora::platform {

enum class LogTarget { File, StandardError, Debugger };

// Opens the log's output for the life of the library: a file is appended to, created if
// need be. False when it cannot be opened.
bool OpenLogOutput(LogTarget target, const std::string& path) noexcept;
void CloseLogOutput() noexcept;

// Writes one whole line with one call, appended even when other processes write to the
// same file; text ends in a zero after length. Async-signal-safe on Linux; keeps errno and
// the thread's last-error value.
void WriteLogLine(const char* text, std::size_t length) noexcept;

// Writes the start of every line into buffer: the UTC time to the microsecond and the
// calling thread's ID, then a space. Async-signal-safe. Answers the length written.
std::size_t FormatLinePrefix(char* buffer, std::size_t capacity) noexcept;

// From here until RemoveCrashReport, a fault that would end the process first writes a
// last line naming the file whose code faulted, the fault, and the entry point in progress
// on the faulting thread; then whatever handled such faults before acts as before.
void InstallCrashReport() noexcept;
void RemoveCrashReport() noexcept;

// What the crash line names as the entry point in progress on this thread: its name (a
// string that lives as long as the library) and the plug-in's function. Null: none.
struct CallInProgress {
    const char* entryPoint;
    const void* function;
};
CallInProgress NoteCallInProgress(CallInProgress call) noexcept;  // answers the previous note

}  // namespace velmora::platform
