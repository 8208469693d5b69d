// Windows: the system loader, FindFirstFile matching and the system directories, all
// through the wide functions. The fault guard lives in fault_guard_windows.cpp.
#include "platform/platform.h"
#include "platform/wide_text_windows.h"

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
    std::wstring text(size, L'\0');
    text.resize(query(text.data(), size));
    return Narrow(text);
}

// The last load on this thread: whether it failed, and the system's error code then.
thread_local bool lastLoadFailed = false;
thread_local DWORD lastLoadError = 0;

}  // namespace

ModuleHandle OpenModule(const std::string& path) {
    // A file that is no loadable library must not make the system ask the user.
    DWORD previousMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
    HMODULE module = LoadLibraryExW(SystemPath(path).c_str(), nullptr, 0);
    // Taken before anything else can overwrite it.
    lastLoadError = GetLastError();
    // A library loaded by full name has its own dependencies looked for beside the
    // executable, in the system folders and on PATH, but not in its own folder, where a
    // vendor's plug-in keeps its DLLs. Once more, then, with that folder searched first.
    if (!module && lastLoadError == ERROR_MOD_NOT_FOUND) {
        const std::wstring fullPath = FullSystemPath(path);
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
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = Narrow(std::wstring_view(text ? text : L"", text ? length : 0));
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
    const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The loader alone judges every candidate, as it always has.
const char* SpecialFileKind(const std::string&) { return nullptr; }

std::vector<std::string> FindMatchingEntries(const std::string& pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(SystemPath(pattern).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        names.push_back(Narrow(entry.cFileName));
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return names;
}

std::string ExecutablePath() { return ModuleFileName(nullptr); }

std::string SystemDirectory() {
    return QueryDirectory([](wchar_t* buffer, UINT size) { return GetSystemDirectoryW(buffer, size); });
}

std::string WindowsDirectory() {
    return QueryDirectory([](wchar_t* buffer, UINT size) { return GetWindowsDirectoryW(buffer, size); });
}

namespace {

// Text in a code page as the library holds text; empty when it does not convert.
std::string FromCodePage(UINT codePage, DWORD flags, std::string_view bytes) {
    const int size = static_cast<int>(bytes.size());
    const int length = MultiByteToWideChar(codePage, flags, bytes.data(), size, nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, flags, bytes.data(), size, wide.data(), length);
    return Narrow(wide);
}

}  // namespace

std::string PathFromHostText(const std::string& text) {
    // The code page the ANSI file functions would have read the text in.
    return FromCodePage(AreFileApisANSI() ? CP_ACP : CP_OEMCP, 0, text);
}

std::string Cp936ToUtf8(std::string_view bytes) { return FromCodePage(936, MB_ERR_INVALID_CHARS, bytes); }

}  // namespace velmora::platform
