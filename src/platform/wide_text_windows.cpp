#include "platform/wide_text_windows.h"

#include "platform/platform.h"
#include "platform/utf8_sequence.h"

#include <windows.h>

namespace velmora::platform {

namespace {

bool IsContinuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

}  // namespace

std::wstring Widen(std::string_view text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t code = 0;
        const std::size_t length = Utf8SequenceAt(text, i, code);
        if (length == 0) {
            wide += L'\xFFFD';
            ++i;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            wide += static_cast<wchar_t>(0xD800 + (code >> 10));
            wide += static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
        } else {
            wide += static_cast<wchar_t>(code);
        }
        i += length;
    }
    return wide;
}

std::string Narrow(std::wstring_view text) {
    std::string narrow;
    narrow.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t code = static_cast<char16_t>(text[i]);
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size()) {
            const char32_t low = static_cast<char16_t>(text[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (code < 0x80) {
            narrow += static_cast<char>(code);
        } else if (code < 0x800) {
            narrow += static_cast<char>(0xC0 | (code >> 6));
            narrow += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            narrow += static_cast<char>(0xE0 | (code >> 12));
            narrow += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            narrow += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            narrow += static_cast<char>(0xF0 | (code >> 18));
            narrow += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            narrow += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            narrow += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return narrow;
}

namespace {

bool IsExtended(const std::wstring& path) {
    return path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0;
}

// CreateDirectoryW stops 12 characters short of MAX_PATH, leaving room for a file name.
constexpr std::size_t kLongestOrdinary = MAX_PATH - 12 - 1;

std::wstring FullForm(std::wstring path) {
    if (IsExtended(path)) return path;
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return path;
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) return path;
    full.resize(length);
    // The system takes the \\?\ form literally: what it resolves in the ordinary form
    // (doubled separators, "." and "..", forward slashes) is resolved above.
    if (full.size() <= kLongestOrdinary) return full;
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC" + full.substr(1);
    return L"\\\\?\\" + full;
}

}  // namespace

std::wstring SystemPath(std::string_view path) {
    std::wstring wide = Widen(path);
    return wide.size() <= kLongestOrdinary ? wide : FullForm(std::move(wide));
}

std::wstring FullSystemPath(std::string_view path) { return FullForm(Widen(path)); }

std::string ModuleFileName(void* module) {
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(static_cast<HMODULE>(module), name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) return {};
        // A name that filled the buffer may have been cut: ask again with room to spare.
        if (length < name.size()) {
            name.resize(length);
            return Narrow(name);
        }
        if (name.size() >= 32768) return {};
        name.resize(name.size() * 2);
    }
}

std::string FirstCharacters(const std::string& path, std::size_t count) {
    std::size_t units = 0, end = 0;
    while (end < path.size()) {
        std::size_t length = 1;
        while (end + length < path.size() && IsContinuation(path[end + length])) ++length;
        // A four-byte character is a surrogate pair: two units, kept whole or not at all.
        const std::size_t width = static_cast<unsigned char>(path[end]) >= 0xF0 ? 2 : 1;
        if (units + width > count) break;
        units += width;
        end += length;
    }
    return path.substr(0, end);
}

std::string_view WholeCharactersWithin(std::string_view name, std::size_t size) {
    if (name.size() <= size) return name;
    while (size > 0 && IsContinuation(name[size])) --size;
    return name.substr(0, size);
}

}  // namespace velmora::platform
