// Windows: the system loader, FindFirstFile matching and the system directories. The
// fault guard lives in fault_guard_windows.cpp.
#include "platform/platform.h"

#include <windows.h>

namespace velmora::platform {

const char kPathSeparator = '\\';
const char kDirectoryDelimiters[] = "\\:";
const char kPluginExtension[] = ".dll";

namespace {

// Fetches a directory text in two steps: its size first, then the text itself.
template <typename Query>
std::string QueryDirectory(Query query) {
    const UINT size = query(nullptr, 0);
    if (size == 0) return {};
    std::string text(size, '\0');
    text.resize(query(text.data(), size));
    return text;
}

// The last load on this thread: whether it failed, and the system's error code then.
thread_local bool lastLoadFailed = false;
thread_local DWORD lastLoadError = 0;

// The full file name of path, as the ANSI file functions read it; empty when there is none.
std::wstring FullPathOf(const std::string& path) {
    const UINT codePage = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int length = MultiByteToWideChar(codePage, 0, path.c_str(), -1, nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, path.c_str(), -1, wide.data(), length);
    const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0) return {};
    std::wstring full(size, L'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (written == 0 || written >= size) return {};
    full.resize(written);
    return full;
}

}  // namespace

ModuleHandle OpenModule(const std::string& path) {
    // A file that is no loadable library must not make the system ask the user.
    DWORD previousMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
    HMODULE module = LoadLibraryA(path.c_str());
    // Taken before anything else can overwrite it.
    lastLoadError = GetLastError();
    // A library loaded by full name has its own dependencies looked for beside the
    // executable, in the system folders and on PATH, but not in its own folder, where a
    // vendor's plug-in keeps its DLLs. Once more, then, with that folder searched first.
    if (!module && lastLoadError == ERROR_MOD_NOT_FOUND) {
        const std::wstring fullPath = FullPathOf(path);
        if (!fullPath.empty()) {
            module = LoadLibraryExW(fullPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
            lastLoadError = GetLastError();
        }
    }
    lastLoadFailed = !module;
    SetThreadErrorMode(previousMode, nullptr);
    return module;
}

std::string LastLoadError() {
    if (!lastLoadFailed) return {};
    const DWORD code = lastLoadError;
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message(text ? text : "", length);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    return (message.empty() ? "the system gave no text" : message) + " (error " + std::to_string(code) + ")";
}

Symbol FindSymbol(ModuleHandle module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<Symbol>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void CloseModule(ModuleHandle module) {
    if (module) FreeLibrary(static_cast<HMODULE>(module));
}

bool IsDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The loader alone judges every candidate, as it always has.
const char* SpecialFileKind(const std::string&) { return nullptr; }

std::vector<std::string> FindMatchingEntries(const std::string& pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        names.emplace_back(entry.cFileName);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return names;
}

std::string ExecutablePath() {
    char buffer[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    return std::string(buffer, length < sizeof buffer ? length : sizeof buffer - 1);
}

std::string SystemDirectory() {
    return QueryDirectory([](char* buffer, UINT size) { return GetSystemDirectoryA(buffer, size); });
}

std::string WindowsDirectory() {
    return QueryDirectory([](char* buffer, UINT size) { return GetWindowsDirectoryA(buffer, size); });
}

}  // namespace velmora::platform
