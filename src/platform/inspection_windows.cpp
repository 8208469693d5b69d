// Windows: the process's handle count and commit charge, a tool-help snapshot of its
// threads with the module each started in, VirtualAlloc and VirtualProtect for the pages,
// and LoadLibraryEx without running any code for the libraries no folder of the plug-in holds.
#include "platform/inspection.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstddef>
#include <cstring>

namespace velmora::platform {

namespace {

// The file name, without folder, of the module holding an address; empty when none does.
std::string ModuleOf(const void* address) {
    HMODULE module = nullptr;
    if (!address || !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                        static_cast<LPCSTR>(address), &module))
        return {};
    char path[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameA(module, path, sizeof path);
    if (length == 0 || length >= sizeof path) return {};
    const char* name = path + length;
    while (name > path && name[-1] != '\\' && name[-1] != '/') --name;
    return name;
}

// Where a thread started, as its Win32 start address says; null when it cannot be learnt.
const void* StartAddress(DWORD threadId) {
    using Query = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
    constexpr ULONG kStartAddress = 9;  // ThreadQuerySetWin32StartAddress
    const HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, threadId);
    if (!thread) return nullptr;
    void* start = nullptr;
    if (!query || query(thread, kStartAddress, &start, sizeof start, nullptr) != 0) start = nullptr;
    CloseHandle(thread);
    return start;
}

bool IsFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The handles of this process in the system's handle table; -1 when it cannot be read. For
// Wine, whose GetProcessHandleCount answers 0.
long long HandlesInSystemTable() {
    struct Entry {
        USHORT process;
        USHORT creatorBackTraceIndex;
        UCHAR objectType;
        UCHAR attributes;
        USHORT handle;
        PVOID object;
        ULONG access;
    };
    struct Table {
        ULONG count;
        Entry entries[1];
    };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    constexpr ULONG kHandleInformation = 16;
    constexpr LONG kTooSmall = static_cast<LONG>(0xC0000004);
    if (!query) return -1;
    std::vector<char> buffer(1 << 20);
    LONG status;
    while ((status = query(kHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), nullptr)) == kTooSmall &&
           buffer.size() < (256u << 20))
        buffer.resize(buffer.size() * 2);
    if (status != 0) return -1;
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    const std::size_t fits = (buffer.size() - offsetof(Table, entries)) / sizeof(Entry);
    const auto self = static_cast<USHORT>(GetCurrentProcessId());
    long long count = 0;
    for (std::size_t i = 0; i < table->count && i < fits; ++i) count += table->entries[i].process == self;
    return count;
}

std::string SystemMessage(DWORD code) {
    char buffer[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                                  sizeof buffer, nullptr);
    while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r' || buffer[length - 1] == ' ')) --length;
    return length > 0 ? std::string(buffer, length) : "error " + std::to_string(code);
}

}  // namespace

ResourceCounts CountResources() {
    ResourceCounts counts;
    DWORD handles = 0;
    // No process runs without a handle: 0 is an answer Wine gives for want of the count.
    counts.handles = GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0 ? handles : HandlesInSystemTable();
    // The commit charge: the private memory, touched or not (Wine leaves PrivateUsage 0).
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (K32GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
        counts.memory = static_cast<long long>(memory.PagefileUsage);
    return counts;
}

std::vector<ThreadInfo> ListThreads() {
    std::vector<ThreadInfo> threads;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return threads;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    const DWORD process = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != process) continue;
        const std::string module = ModuleOf(StartAddress(entry.th32ThreadID));
        if (_stricmp(module.c_str(), "ntdll.dll") == 0) continue;
        threads.push_back({entry.th32ThreadID, "thread " + std::to_string(entry.th32ThreadID) +
                                                   (module.empty() ? "" : ", started in " + module)});
    }
    CloseHandle(snapshot);
    return threads;
}

std::uint64_t CurrentThreadId() { return GetCurrentThreadId(); }

RevocablePages::RevocablePages(std::size_t bytes) {
    data_ = static_cast<char*>(VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    size_ = data_ ? bytes : 0;
}

RevocablePages::~RevocablePages() {
    if (data_ && !revoked_) VirtualFree(data_, 0, MEM_RELEASE);
}

bool RevocablePages::Revoke() {
    DWORD previous = 0;
    revoked_ = data_ && VirtualProtect(data_, size_, PAGE_NOACCESS, &previous);
    return revoked_;
}

bool LibraryCanBeFound(const std::string& name, const std::vector<std::string>& folders, std::string& problem) {
    for (const std::string& folder : folders)
        if (IsFile(folder + "\\" + name)) return true;
    if (GetModuleHandleA(name.c_str())) return true;
    // Mapped as the loader would map it, but neither its imports resolved nor its code run.
    if (const HMODULE module = LoadLibraryExA(name.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES)) {
        FreeLibrary(module);
        return true;
    }
    problem = SystemMessage(GetLastError());
    return false;
}

}  // namespace velmora::platform
