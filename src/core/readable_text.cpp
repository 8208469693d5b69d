#include "core/readable_text.h"

#include "platform/platform.h"

#include <cstdio>

namespace velmora {

std::string EscapedBytes(std::string_view bytes) {
    std::string text;
    char escape[5];
    for (const unsigned char byte : bytes) {
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            text += static_cast<char>(byte);
        } else {
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            text += escape;
        }
    }
    return text;
}

std::string ReadableDisplayName(std::string_view bytes) {
    if (bytes.empty()) return {};
    std::string utf8 = platform::Cp936ToUtf8(bytes);
    return utf8.empty() ? EscapedBytes(bytes) : utf8;
}

}  // namespace velmora
