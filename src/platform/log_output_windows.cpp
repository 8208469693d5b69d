// Windows: the log's output as a file handle, standard error or the debugger, and the crash
// line from an unhandled-exception filter that chains to the one it replaced.
#include "platform/log_output.h"
#include "platform/signal_safe_text.h"
#include "platform/wide_text_windows.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace velmora::platform {

namespace {

std::atomic<LogTarget> logTarget{LogTarget::File};
// Wine places an appending write at the end it read before, so two threads appending at
// once may overwrite each other: lines of this process are written one at a time.
SRWLOCK writeLock = SRWLOCK_INIT;
std::atomic<HANDLE> logHandle{INVALID_HANDLE_VALUE};
bool ownsHandle = false;

// Saves the thread's last-error value for the object's lifetime: a host may read it after
// a call, and the log must not have changed it.
class LastErrorKept {
public:
    LastErrorKept() : saved_(GetLastError()) {}
    ~LastErrorKept() { SetLastError(saved_); }
    LastErrorKept(const LastErrorKept&) = delete;
    LastErrorKept& operator=(const LastErrorKept&) = delete;

private:
    DWORD saved_;
};

}  // namespace

bool OpenLogOutput(LogTarget target, const std::string& path) noexcept {
    try {
        HANDLE handle = INVALID_HANDLE_VALUE;
        if (target == LogTarget::File) {
            // Appending only: the system places each write at the end of the file, whoever
            // else appends to it. The handle is not inherited by child processes.
            handle = CreateFileW(SystemPath(path).c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle == INVALID_HANDLE_VALUE) return false;
            ownsHandle = true;
        } else if (target == LogTarget::StandardError) {
            handle = GetStdHandle(STD_ERROR_HANDLE);
            if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
        }
        logTarget = target;
        logHandle = handle;
        return true;
    } catch (...) {
        return false;
    }
}

void CloseLogOutput() noexcept {
    const HANDLE handle = logHandle.exchange(INVALID_HANDLE_VALUE);
    if (ownsHandle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    ownsHandle = false;
    logTarget = LogTarget::File;
}

namespace {

void WriteUnlocked(const char* text, std::size_t length) noexcept {
    const LastErrorKept lastError;
    if (logTarget.load(std::memory_order_relaxed) == LogTarget::Debugger) {
        OutputDebugStringA(text);
        return;
    }
    const HANDLE handle = logHandle.load(std::memory_order_relaxed);
    if (handle == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(handle, text, static_cast<DWORD>(length), &written, nullptr);
}

}  // namespace

void WriteLogLine(const char* text, std::size_t length) noexcept {
    AcquireSRWLockExclusive(&writeLock);
    WriteUnlocked(text, length);
    ReleaseSRWLockExclusive(&writeLock);
}

std::size_t FormatLinePrefix(char* buffer, std::size_t capacity) noexcept {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    // Hundreds of nanoseconds since 1601.
    const std::uint64_t ticks = (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;
    return FormatPrefix(buffer, capacity, static_cast<std::int64_t>(ticks / 10000000) - kSecondsFrom1601To1970,
                        static_cast<std::uint32_t>(ticks / 10 % 1000000), GetCurrentThreadId());
}

namespace {

LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
bool crashReportInstalled = false;
DWORD entryPointSlot = TLS_OUT_OF_INDEXES;
DWORD functionSlot = TLS_OUT_OF_INDEXES;

const char* ExceptionText(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION: return "access violation";
        case EXCEPTION_IN_PAGE_ERROR: return "in-page error";
        case EXCEPTION_ILLEGAL_INSTRUCTION: return "illegal instruction";
        case EXCEPTION_PRIV_INSTRUCTION: return "privileged instruction";
        case EXCEPTION_INT_DIVIDE_BY_ZERO: return "integer division by zero";
        case EXCEPTION_INT_OVERFLOW: return "integer overflow";
        case EXCEPTION_STACK_OVERFLOW: return "stack overflow";
        case EXCEPTION_BREAKPOINT: return "breakpoint";
        case EXCEPTION_DATATYPE_MISALIGNMENT: return "misaligned data";
        case 0xE06D7363: return "C++ exception (Microsoft runtime)";
        case 0x20474343: return "C++ exception (GNU runtime)";
        default: return "exception";
    }
}

// The crash line is composed here rather than on the stack, which a stack overflow leaves
// almost spent; the heap may be broken too. One thread at a time: another that crashes
// meanwhile writes a shorter line of its own. Names are written in UTF-8, as every name in
// the log.
struct CrashScratch {
    char line[2048];
    wchar_t wide[520];
    char utf8[3 * 520 + 1];
};
CrashScratch scratch;
LONG scratchBusy = 0;

void AppendFileOf(FixedText& text, const void* code) {
    HMODULE module = nullptr;
    DWORD length = 0;
    int written = 0;
    // A longer name is cut, and then may lack its terminating zero: the length counts.
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<const wchar_t*>(code), &module) &&
        (length = GetModuleFileNameW(module, scratch.wide, sizeof scratch.wide / sizeof scratch.wide[0])) != 0 &&
        (written = WideCharToMultiByte(CP_UTF8, 0, scratch.wide, static_cast<int>(length), scratch.utf8,
                                       sizeof scratch.utf8 - 1, nullptr, nullptr)) > 0) {
        scratch.utf8[written] = '\0';
        text.Append(scratch.utf8);
    } else {
        text.Append("no loaded file");
    }
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    const bool alone = InterlockedExchange(&scratchBusy, 1) == 0;
    char small[160];
    char* const line = alone ? scratch.line : small;
    const std::size_t capacity = (alone ? sizeof scratch.line : sizeof small) - 2;  // room for the line end and a zero
    const std::size_t prefix = FormatLinePrefix(line, capacity);
    FixedText text(line + prefix, capacity - prefix);
    text.Append("crash: exception ").Hex(record.ExceptionCode).Append(" (").Append(ExceptionText(record.ExceptionCode));
    if (alone) {
        text.Append(") in code of ");
        AppendFileOf(text, record.ExceptionAddress);
    } else {
        text.Append(") while another thread's crash is written");
    }
    text.Append(" at ").Hex(reinterpret_cast<std::uintptr_t>(record.ExceptionAddress));
    const auto* entryPoint = static_cast<const char*>(TlsGetValue(entryPointSlot));
    if (entryPoint && alone) {
        text.Append(", during ").Append(entryPoint).Append(" of ");
        AppendFileOf(text, TlsGetValue(functionSlot));
    } else if (alone) {
        text.Append(", no entry point in progress");
    }
    std::size_t length = prefix + text.size();
    line[length++] = '\n';
    line[length] = '\0';
    // Without the lock: the faulting thread may hold it.
    WriteUnlocked(line, length);
    if (alone) InterlockedExchange(&scratchBusy, 0);
    return previousFilter ? previousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void InstallCrashReport() noexcept {
    if (crashReportInstalled) return;
    entryPointSlot = TlsAlloc();
    functionSlot = TlsAlloc();
    if (entryPointSlot == TLS_OUT_OF_INDEXES || functionSlot == TLS_OUT_OF_INDEXES) {
        if (entryPointSlot != TLS_OUT_OF_INDEXES) TlsFree(entryPointSlot);
        if (functionSlot != TLS_OUT_OF_INDEXES) TlsFree(functionSlot);
        entryPointSlot = functionSlot = TLS_OUT_OF_INDEXES;
        return;
    }
    previousFilter = SetUnhandledExceptionFilter(OnUnhandledException);
    crashReportInstalled = true;
}

void RemoveCrashReport() noexcept {
    if (!crashReportInstalled) return;
    // A filter set over ours stays: it may chain to ours, which then is gone with the
    // library, but taking it away would be worse.
    const LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(previousFilter);
    if (current != OnUnhandledException) SetUnhandledExceptionFilter(current);
    TlsFree(entryPointSlot);
    TlsFree(functionSlot);
    entryPointSlot = functionSlot = TLS_OUT_OF_INDEXES;
    crashReportInstalled = false;
}

CallInProgress NoteCallInProgress(CallInProgress call) noexcept {
    const LastErrorKept lastError;
    const CallInProgress previous{static_cast<const char*>(TlsGetValue(entryPointSlot)), TlsGetValue(functionSlot)};
    TlsSetValue(entryPointSlot, const_cast<char*>(call.entryPoint));
    TlsSetValue(functionSlot, const_cast<void*>(call.function));
    return previous;
}

}  // namespace velmora::platform
