#include "terminal_text.h"

#include "core/readable_text.h"
#include "platform/utf8_sequence.h"

#include <cstdio>

#if defined(_WIN32)
#include "platform/wide_text_windows.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace velmora::tools {

namespace {

// Strict UTF-8: well-formed sequences only, and no surrogate.
bool IsUtf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t code = 0;
        const std::size_t length = platform::Utf8SequenceAt(bytes, i, code);
        if (length == 0 || (code >= 0xD800 && code < 0xE000)) return false;
        i += length;
    }
    return true;
}

}  // namespace

std::string NameAsUtf8(std::string_view name) { return IsUtf8(name) ? std::string(name) : EscapedBytes(name); }

std::vector<std::string> ProgramArguments(int argc, char** argv) {
#if defined(_WIN32)
    int count = 0;
    if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        std::vector<std::string> arguments;
        for (int i = 0; i < count; ++i) arguments.push_back(platform::Narrow(wide[i]));
        LocalFree(wide);
        return arguments;
    }
#endif
    return std::vector<std::string>(argv, argv + argc);
}

bool PathAsHostText(const std::string& path, std::string& text) {
#if defined(_WIN32)
    const std::wstring wide = platform::Widen(path);
    const UINT codePage = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int size = static_cast<int>(wide.size());
    BOOL lossy = FALSE;
    const int length = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), size, nullptr, 0, nullptr, &lossy);
    text.assign(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), size, text.data(), length, nullptr, nullptr);
    return !lossy;
#else
    text = path;
    return true;
#endif
}

void PrepareUtf8Output() {
#if defined(_WIN32)
    SetConsoleOutputCP(CP_UTF8);
    // Bytes as they are: no conversion of line ends either.
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

}  // namespace velmora::tools
