// Reading UTF-8 one character at a time, for the Windows names (WTF-8, which also carries
// unpaired surrogates) and for the tools' check that a Linux name is UTF-8.
#pragma once

#include <cstddef>
#include <string_view>

namespace velmora::platform {

// The length in bytes of the well-formed sequence that starts at text[i], with its value
// in code; 0 when none starts there (a stray or missing continuation byte, an overlong
// form, a value past U+10FFFF). Surrogate values decode as any other.
inline std::size_t Utf8SequenceAt(std::string_view text, std::size_t i, char32_t& code) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                             : lead >= 0xF0 && lead < 0xF5                  ? 4
                                                                            : 0;
    if (length == 0 || i + length > text.size()) return 0;
    code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF))) return 0;
    return length;
}

}  // namespace velmora::platform
