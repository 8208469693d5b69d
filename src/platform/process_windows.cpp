// Windows: a private named pipe that the child opens by its name (no handle is ever made
// inheritable, so no other process can come by it), a child without standard handles,
// overlapped reads and writes with time limits, and the files of the verdict cache.
// rand_s, the C runtime's way to the system's cryptographic generator.
#define _CRT_RAND_S
#include "platform/process.h"

#include "platform/fault_guard_windows.h"
#include "platform/wide_text_windows.h"

#include <windows.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

namespace velmora::platform {

namespace {

struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// After TerminateProcess a process ends at once unless the system holds it; the wait for
// it is bounded all the same.
constexpr DWORD kKillWaitMs = 5000;
constexpr char kPipePrefix[] = "\\\\.\\pipe\\velmora-scan-";

std::string ExceptionWords(DWORD code) {
    const char* name = nullptr;
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION: name = "access violation"; break;
        case EXCEPTION_STACK_OVERFLOW: name = "stack overflow"; break;
        case EXCEPTION_ILLEGAL_INSTRUCTION: name = "illegal instruction"; break;
        case EXCEPTION_INT_DIVIDE_BY_ZERO: name = "integer division by zero"; break;
        case EXCEPTION_PRIV_INSTRUCTION: name = "privileged instruction"; break;
        case EXCEPTION_IN_PAGE_ERROR: name = "in-page error"; break;
        default: break;
    }
    char code_text[32];
    std::snprintf(code_text, sizeof code_text, "0x%08lX", static_cast<unsigned long>(code));
    return name ? std::string(name) + " (exception " + code_text + ")" : std::string("exception ") + code_text;
}

// One overlapped transfer on the pipe, waited for at most timeoutMs (and cancelled then):
// the bytes it moved.
DWORD Transfer(HANDLE pipe, HANDLE event, bool reading, char* data, DWORD size, DWORD timeoutMs, bool& failed) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD moved = 0;
    const BOOL done = reading ? ReadFile(pipe, data, size, &moved, &overlapped)
                              : WriteFile(pipe, data, size, &moved, &overlapped);
    failed = false;
    if (done) return moved;
    if (GetLastError() != ERROR_IO_PENDING) {
        failed = true;
        return 0;
    }
    if (WaitForSingleObject(event, timeoutMs) != WAIT_OBJECT_0) CancelIo(pipe);
    // A cancelled transfer may still have completed meanwhile: keep what it moved.
    if (!GetOverlappedResult(pipe, &overlapped, &moved, TRUE)) {
        failed = GetLastError() != ERROR_OPERATION_ABORTED;
        return moved;
    }
    return moved;
}

class WindowsChild final : public ChildProcess {
public:
    WindowsChild(UniqueHandle process, UniqueHandle channel, UniqueHandle event)
        : process_(std::move(process)), channel_(std::move(channel)), event_(std::move(event)) {}
    ~WindowsChild() override {
        Kill();
        WaitForSingleObject(process_.get(), kKillWaitMs);
    }

    bool Send(const std::string& text, int timeoutMs) override {
        const DWORD deadline = GetTickCount() + static_cast<DWORD>(timeoutMs);
        for (std::size_t done = 0; done < text.size();) {
            const DWORD left = deadline - GetTickCount();
            if (!channel_ || static_cast<LONG>(left) <= 0) return false;
            bool failed = false;
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 65536));
            done += Transfer(channel_.get(), event_.get(), false, const_cast<char*>(text.data() + done), chunk, left,
                             failed);
            if (failed) return false;
        }
        return true;
    }

    ReadResult Read(std::string& out, std::size_t maxBytes, int timeoutMs) override {
        if (!channel_) return ReadResult::Ended;
        char buffer[4096];
        bool failed = false;
        const DWORD got = Transfer(channel_.get(), event_.get(), true, buffer,
                                   static_cast<DWORD>(std::min(sizeof buffer, maxBytes)), static_cast<DWORD>(timeoutMs),
                                   failed);
        if (failed) {
            channel_.reset();
            return ReadResult::Ended;
        }
        if (got == 0) return ReadResult::TimedOut;
        out.append(buffer, got);
        return ReadResult::Data;
    }

    // The process handle names this process and no other, whatever became of its ID.
    void Kill() override { TerminateProcess(process_.get(), 1); }

    std::unique_ptr<ProcessEnding> WaitForEnding(int timeoutMs, bool) override {
        if (WaitForSingleObject(process_.get(), static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) return nullptr;
        return std::make_unique<ProcessEnding>(Ending());
    }

private:
    // How the ended process ended, from its exit code.
    ProcessEnding Ending() const {
        DWORD code = 0;
        using Kind = ProcessEnding::Kind;
        if (!GetExitCodeProcess(process_.get(), &code)) return {Kind::Unknown, 0, "ended"};
        if (code == EXCEPTION_STACK_OVERFLOW) return {Kind::StackOverflow, code, "stack overflow"};
        if (code >= 0xC0000000u) return {Kind::Fault, code, ExceptionWords(code)};
        return {Kind::Exited, code, "exited with status " + std::to_string(code)};
    }

    UniqueHandle process_;
    UniqueHandle channel_;
    UniqueHandle event_;
};

thread_local ReportChannel::Contained contained = ReportChannel::Contained::Nothing;

// Sees every exception first and lets it go on to whoever contains it.
LONG WINAPI NoteWhatIsContained(EXCEPTION_POINTERS* pointers) {
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if (code == EXCEPTION_STACK_OVERFLOW) contained = ReportChannel::Contained::StackOverflow;
    else if (code == kAbortExceptionCode && contained == ReportChannel::Contained::Nothing)
        contained = ReportChannel::Contained::Abort;
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI EndWithTheExceptionCode(EXCEPTION_POINTERS* pointers) {
    TerminateProcess(GetCurrentProcess(), pointers->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The child's end of the channel, and a way to tell the parent how plug-in code ended the
// process before it does.
class WindowsChannel final : public ReportChannel {
public:
    explicit WindowsChannel(UniqueHandle channel) : channel_(std::move(channel)) {}

    bool Receive(std::string& out, std::size_t maxBytes, int timeoutMs) override {
        const DWORD deadline = GetTickCount() + static_cast<DWORD>(timeoutMs);
        for (;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(channel_.get(), nullptr, 0, nullptr, &available, nullptr)) return false;
            if (available > 0) break;
            if (static_cast<LONG>(deadline - GetTickCount()) <= 0) return false;
            Sleep(1);
        }
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(channel_.get(), buffer, static_cast<DWORD>(std::min(sizeof buffer, maxBytes)), &got, nullptr) ||
            got == 0)
            return false;
        out.append(buffer, got);
        return true;
    }
    bool Write(const char* data, std::size_t size) noexcept override {
        while (size > 0) {
            DWORD written = 0;
            if (!WriteFile(channel_.get(), data, static_cast<DWORD>(size), &written, nullptr) || written == 0) return false;
            data += written;
            size -= written;
        }
        return true;
    }
    void ReportOwnEnding(LastWords lastWords) override {
        words = lastWords;
        // abort(), and a C++ exception that ends in std::terminate, raise SIGABRT first.
        std::signal(SIGABRT, [](int) {
            words(OwnEnding::Aborted, 0);
            TerminateProcess(GetCurrentProcess(), 3);
        });
        // An exception nobody handles ends the process at once with its code, rather than
        // starting a debugger or showing a dialog.
        SetUnhandledExceptionFilter(EndWithTheExceptionCode);
        AddVectoredExceptionHandler(1, NoteWhatIsContained);
    }
    Contained TakeContained() override { return std::exchange(contained, Contained::Nothing); }
    [[noreturn]] void EndNow(int status) override {
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
        ExitProcess(static_cast<UINT>(status));
    }

private:
    static LastWords words;
    UniqueHandle channel_;
};

ReportChannel::LastWords WindowsChannel::words = nullptr;

}  // namespace

void RandomBytes(unsigned char* buffer, std::size_t size) {
    // rand_s draws from the system's cryptographic generator.
    for (std::size_t i = 0; i < size; i += sizeof(unsigned int)) {
        unsigned int value = 0;
        if (rand_s(&value) != 0) value = GetTickCount() ^ (GetCurrentProcessId() << 16) ^ static_cast<unsigned>(i);
        std::memcpy(buffer + i, &value, std::min(sizeof value, size - i));
    }
}

std::string EnvironmentVariable(const char* name) {
    const std::wstring wideName = Widen(name);
    wchar_t small[512];
    DWORD length = GetEnvironmentVariableW(wideName.c_str(), small, std::size(small));
    if (length == 0) return {};
    if (length < std::size(small)) return Narrow(std::wstring_view(small, length));
    std::wstring value(length, L'\0');
    value.resize(GetEnvironmentVariableW(wideName.c_str(), value.data(), length));
    return Narrow(value);
}

std::string OwnModulePath() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&OwnModulePath), &module))
        return {};
    return ModuleFileName(module);
}

std::string UserCacheDirectory() { return EnvironmentVariable("LOCALAPPDATA"); }

bool StampOf(const std::string& path, FileStamp& stamp) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(SystemPath(path).c_str(), GetFileExInfoStandard, &data)) return false;
    stamp.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp.modified = static_cast<std::int64_t>((static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                               data.ftLastWriteTime.dwLowDateTime);
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& content) {
    UniqueHandle file(CreateFileW(SystemPath(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE || GetFileType(file.get()) != FILE_TYPE_DISK) return false;
    content.clear();
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return false;
        if (got == 0) return true;
        content.append(buffer, got);
    }
}

namespace {

bool MakeFolders(const std::string& folder) {
    if (folder.empty()) return true;
    const DWORD attributes = GetFileAttributesW(SystemPath(folder).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const auto separator = folder.find_last_of("\\/");
    if (separator != std::string::npos && separator > 0 && folder[separator - 1] != ':' &&
        !MakeFolders(folder.substr(0, separator)))
        return false;
    return CreateDirectoryW(SystemPath(folder).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// The folders above a file, made where missing.
bool MakeParentFolders(const std::string& path) {
    const auto separator = path.find_last_of("\\/");
    return separator == std::string::npos || MakeFolders(path.substr(0, separator));
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path, const std::string& content) {
    if (!MakeParentFolders(path)) return false;
    const std::wstring target = SystemPath(path);
    const std::wstring temporary = SystemPath(path + "." + std::to_string(GetCurrentProcessId()) + "." +
                                              std::to_string(GetCurrentThreadId()) + ".tmp");
    {
        UniqueHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.get() == INVALID_HANDLE_VALUE) return false;
        DWORD written = 0;
        const bool ok = WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
                        written == content.size() && FlushFileBuffers(file.get());
        if (!ok) {
            file.reset();
            DeleteFileW(temporary.c_str());
            return false;
        }
    }
    // Another process may be reading the old file or replacing it at this moment.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
        Sleep(5);
    }
    DeleteFileW(temporary.c_str());
    return false;
}

bool RemoveFile(const std::string& path) {
    return DeleteFileW(SystemPath(path).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

namespace {

class WindowsFileLock final : public FileLock {
public:
    explicit WindowsFileLock(UniqueHandle file) : file_(std::move(file)) {}

private:
    UniqueHandle file_;  // opened without sharing: closing it releases the lock
};

}  // namespace

std::unique_ptr<FileLock> FileLock::Acquire(const std::string& path, int timeoutMs) {
    if (!MakeParentFolders(path)) return nullptr;
    const std::wstring name = SystemPath(path);
    const DWORD deadline = GetTickCount() + static_cast<DWORD>(timeoutMs);
    for (;;) {
        UniqueHandle file(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.get() != INVALID_HANDLE_VALUE) return std::make_unique<WindowsFileLock>(std::move(file));
        if (GetLastError() != ERROR_SHARING_VIOLATION || static_cast<LONG>(deadline - GetTickCount()) <= 0)
            return nullptr;
        Sleep(5);
    }
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& program, int timeoutMs,
                                                  const std::vector<std::string>& arguments) {
    // A name nobody can guess, served once: the first client is the only one.
    static LONG pipeNumber = 0;
    unsigned char random[8];
    RandomBytes(random, sizeof random);
    char name[128];
    std::snprintf(name, sizeof name, "%s%lu-%ld-%02x%02x%02x%02x%02x%02x%02x%02x", kPipePrefix, GetCurrentProcessId(),
                  InterlockedIncrement(&pipeNumber), random[0], random[1], random[2], random[3], random[4], random[5],
                  random[6], random[7]);
    UniqueHandle pipe(CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                       65536, 65536, 0, nullptr));
    UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (pipe.get() == INVALID_HANDLE_VALUE || !event) return nullptr;

    // The arguments are the caller's own words: no quote or backslash before a quote in them.
    std::wstring commandLine = L"\"" + Widen(program) + L"\" " + Widen(name);
    for (const std::string& argument : arguments) commandLine += L" \"" + Widen(argument) + L"\"";
    // No standard handles, as a program without a console has: writing to them fails at
    // once in every C runtime. (Given the null device, Wine's runtime asks the console about
    // every write, which made a chatty plug-in miss the time limit; given nothing, Wine
    // copies the parent's handle values, which may name anything in the child.)
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(Widen(program).c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &started))
        return nullptr;
    CloseHandle(started.hThread);
    UniqueHandle process(started.hProcess);

    // The child opens its end by name; should it end first, there is nothing to wait for.
    OVERLAPPED connecting{};
    connecting.hEvent = event.get();
    bool connected = ConnectNamedPipe(pipe.get(), &connecting) || GetLastError() == ERROR_PIPE_CONNECTED;
    if (!connected && GetLastError() == ERROR_IO_PENDING) {
        HANDLE waited[] = {event.get(), process.get()};
        DWORD moved = 0;
        connected = WaitForMultipleObjects(2, waited, FALSE, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0 &&
                    GetOverlappedResult(pipe.get(), &connecting, &moved, FALSE);
        if (!connected) CancelIo(pipe.get());
    }
    // Only our child may be at the other end.
    ULONG client = 0;
    if (!connected || !GetNamedPipeClientProcessId(pipe.get(), &client) || client != started.dwProcessId) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), kKillWaitMs);
        return nullptr;
    }
    return std::make_unique<WindowsChild>(std::move(process), std::move(pipe), std::move(event));
}

std::unique_ptr<ReportChannel> ReportChannel::Open(const char* argument) {
    if (!argument || std::strncmp(argument, kPipePrefix, sizeof kPipePrefix - 1) != 0) return nullptr;
    // Opened without inheritance: no process this one starts can come by it.
    UniqueHandle channel(CreateFileA(argument, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (channel.get() == INVALID_HANDLE_VALUE) return nullptr;
    // A file that is no loadable library, or a fault, must never make the system ask the user.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    return std::make_unique<WindowsChannel>(std::move(channel));
}

}  // namespace velmora::platform
