#include "terminal_text.h"

#include <cstdio>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace velmora::tools {

namespace {

std::string Escaped(std::string_view bytes) {
    std::string text;
    char escape[5];
    for (unsigned char byte : bytes) {
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            text += static_cast<char>(byte);
        } else {
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            text += escape;
        }
    }
    return text;
}

#if defined(_WIN32)

constexpr UINT kCodePage936 = 936;

// Empty when the conversion fails.
std::string Convert(std::string_view bytes, UINT codePage = kCodePage936) {
    const int size = static_cast<int>(bytes.size());
    const int wide = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    if (wide <= 0) return {};
    std::wstring utf16(wide, L'\0');
    MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), size, utf16.data(), wide);
    const int narrow = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, nullptr, 0, nullptr, nullptr);
    if (narrow <= 0) return {};
    std::string utf8(narrow, '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, utf8.data(), narrow, nullptr, nullptr);
    return utf8;
}

#else

std::string Convert(std::string_view bytes) {
    const iconv_t converter = iconv_open("UTF-8", "CP936");
    if (converter == reinterpret_cast<iconv_t>(-1)) return {};
    std::string in(bytes);
    // Every code-page-936 character is one or two bytes and at most three in UTF-8.
    std::string out(in.size() * 3, '\0');
    char* inNext = in.data();
    char* outNext = out.data();
    std::size_t inLeft = in.size(), outLeft = out.size();
    const bool converted = iconv(converter, &inNext, &inLeft, &outNext, &outLeft) != static_cast<std::size_t>(-1);
    iconv_close(converter);
    if (!converted || inLeft != 0) return {};
    out.resize(out.size() - outLeft);
    return out;
}

#endif

}  // namespace

std::string Cp936ToUtf8(std::string_view bytes) {
    if (bytes.empty()) return {};
    std::string utf8 = Convert(bytes);
    return utf8.empty() ? Escaped(bytes) : utf8;
}

std::string SystemTextToUtf8(std::string_view bytes) {
#if defined(_WIN32)
    if (bytes.empty()) return {};
    std::string utf8 = Convert(bytes, CP_ACP);
    return utf8.empty() ? Escaped(bytes) : utf8;
#else
    // Names are shown as the file system holds them when they are UTF-8 already.
    const iconv_t checker = iconv_open("UTF-8", "UTF-8");
    if (checker == reinterpret_cast<iconv_t>(-1)) return std::string(bytes);
    std::string in(bytes), out(in.size(), '\0');
    char* inNext = in.data();
    char* outNext = out.data();
    std::size_t inLeft = in.size(), outLeft = out.size();
    const bool valid = iconv(checker, &inNext, &inLeft, &outNext, &outLeft) != static_cast<std::size_t>(-1);
    iconv_close(checker);
    return valid && inLeft == 0 ? std::string(bytes) : Escaped(bytes);
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
