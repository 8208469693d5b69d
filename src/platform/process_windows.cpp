// Windows: CreateProcess with one inherited pipe handle and no console or window,
// overlapped reads with a time limit, and the files of the verdict cache.
#include "platform/process.h"
#include "platform/wide_text_windows.h"

#include <windows.h>

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

class WindowsChild final : public ChildProcess {
public:
    WindowsChild(UniqueHandle process, UniqueHandle channel)
        : process_(std::move(process)), channel_(std::move(channel)), event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~WindowsChild() override {
        Kill();
        WaitForSingleObject(process_.get(), INFINITE);
    }

    ReadResult Read(std::string& out, int timeoutMs) override {
        if (!channel_ || !event_) return ReadResult::Ended;
        char buffer[4096];
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        DWORD got = 0;
        if (!ReadFile(channel_.get(), buffer, sizeof buffer, &got, &overlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) return Close();
            if (WaitForSingleObject(event_.get(), static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
                CancelIo(channel_.get());
                // The cancelled read may still have completed meanwhile: keep what it got.
                if (!GetOverlappedResult(channel_.get(), &overlapped, &got, TRUE) || got == 0)
                    return ReadResult::TimedOut;
            } else if (!GetOverlappedResult(channel_.get(), &overlapped, &got, FALSE)) {
                return Close();
            }
        }
        if (got == 0) return Close();
        out.append(buffer, got);
        return ReadResult::Data;
    }

    void Kill() override { TerminateProcess(process_.get(), 1); }

    ProcessEnding Ending(bool) override {
        WaitForSingleObject(process_.get(), INFINITE);
        DWORD code = 0;
        using Kind = ProcessEnding::Kind;
        if (!GetExitCodeProcess(process_.get(), &code)) return {Kind::Unknown, 0, "ended"};
        if (code == EXCEPTION_STACK_OVERFLOW) return {Kind::StackOverflow, code, "stack overflow"};
        if (code >= 0xC0000000u) return {Kind::Fault, code, ExceptionWords(code)};
        return {Kind::Exited, code, "exited with status " + std::to_string(code)};
    }

private:
    ReadResult Close() {
        channel_.reset();
        return ReadResult::Ended;
    }

    UniqueHandle process_;
    UniqueHandle channel_;
    UniqueHandle event_;
};

thread_local bool stackOverflowSeen = false;

// Sees every exception first and lets it go on to whoever contains it.
LONG WINAPI NoteAStackOverflow(EXCEPTION_POINTERS* pointers) {
    if (pointers->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW) stackOverflowSeen = true;
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
    explicit WindowsChannel(HANDLE channel) : channel_(channel) {}

    bool Write(const std::string& text) override { return WriteRaw(text.data(), text.size()); }
    void WriteLastWords(const char* line) noexcept override {
        WriteRaw(line, std::strlen(line));
        WriteRaw("\n", 1);
    }
    void ReportOwnEnding() override {
        current = this;
        // abort(), and a C++ exception that ends in std::terminate, raise SIGABRT first.
        std::signal(SIGABRT, [](int) {
            current->WriteLastWords("D aborted");
            TerminateProcess(GetCurrentProcess(), 3);
        });
        // An exception nobody handles ends the process at once with its code, rather than
        // starting a debugger or showing a dialog.
        SetUnhandledExceptionFilter(EndWithTheExceptionCode);
        AddVectoredExceptionHandler(1, NoteAStackOverflow);
    }
    bool TakeStackOverflowSeen() override { return std::exchange(stackOverflowSeen, false); }
    [[noreturn]] void EndNow(int status) override {
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
        ExitProcess(static_cast<UINT>(status));
    }

private:
    bool WriteRaw(const char* data, std::size_t size) noexcept {
        while (size > 0) {
            DWORD written = 0;
            if (!WriteFile(channel_, data, static_cast<DWORD>(size), &written, nullptr) || written == 0) return false;
            data += written;
            size -= written;
        }
        return true;
    }

    static WindowsChannel* current;
    HANDLE channel_;
};

WindowsChannel* WindowsChannel::current = nullptr;

std::string QuotedArgument(const std::string& argument) {
    // The arguments the library passes hold no quotes or backslashes before a quote; the
    // program path may hold spaces.
    return "\"" + argument + "\"";
}

}  // namespace

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

}  // namespace

bool ReplaceFileAtomically(const std::string& path, const std::string& content) {
    const auto separator = path.find_last_of("\\/");
    if (separator != std::string::npos && !MakeFolders(path.substr(0, separator))) return false;
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

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& program,
                                                  const std::vector<std::string>& arguments) {
    static LONG pipeNumber = 0;
    char name[96];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\velmora-scan-%lu-%ld-%lu", GetCurrentProcessId(),
                  InterlockedIncrement(&pipeNumber), GetTickCount());
    UniqueHandle reading(CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                          PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 65536, 0,
                                          nullptr));
    if (reading.get() == INVALID_HANDLE_VALUE) return nullptr;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    UniqueHandle writing(CreateFileA(name, GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING, 0, nullptr));
    UniqueHandle nowhere(CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inheritable, OPEN_EXISTING, 0, nullptr));
    if (writing.get() == INVALID_HANDLE_VALUE || nowhere.get() == INVALID_HANDLE_VALUE) return nullptr;

    std::string commandLine = QuotedArgument(program) + " " +
                              std::to_string(reinterpret_cast<std::uintptr_t>(writing.get()));
    for (const std::string& argument : arguments) commandLine += " " + QuotedArgument(argument);

    // Only the channel and the null device are inherited, even when other threads of the
    // host make inheritable handles meanwhile.
    HANDLE inherited[] = {writing.get(), nowhere.get()};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> listBytes(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBytes.data());
    const bool haveList = size > 0 && InitializeProcThreadAttributeList(list, 1, 0, &size) &&
                          UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                    sizeof inherited, nullptr, nullptr);
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = startup.StartupInfo.hStdOutput = startup.StartupInfo.hStdError = nowhere.get();
    startup.lpAttributeList = haveList ? list : nullptr;
    PROCESS_INFORMATION started{};
    const DWORD flags = CREATE_NO_WINDOW | (haveList ? EXTENDED_STARTUPINFO_PRESENT : 0);
    const BOOL created = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags, nullptr,
                                        nullptr, &startup.StartupInfo, &started);
    if (haveList) DeleteProcThreadAttributeList(list);
    if (!created) return nullptr;
    CloseHandle(started.hThread);
    return std::make_unique<WindowsChild>(UniqueHandle(started.hProcess), std::move(reading));
}

std::unique_ptr<ReportChannel> ReportChannel::Open(const char* argument) {
    if (!argument) return nullptr;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(argument, &end, 10);
    HANDLE channel = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
    if (*argument == '\0' || *end != '\0' || GetFileType(channel) != FILE_TYPE_PIPE) return nullptr;
    // A file that is no loadable library, or a fault, must never make the system ask the user.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    return std::make_unique<WindowsChannel>(channel);
}

}  // namespace velmora::platform
