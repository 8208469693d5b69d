// Texts made readable for the run-time log and the tools, which write UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace velmora {

// Printable ASCII as it is, every other byte (and the backslash) as a \xNN escape.
std::string EscapedBytes(std::string_view bytes);

// A display name (code-page-936 bytes) in UTF-8; escaped as a whole when it is not
// code-page-936 text, so that nothing is lost.
std::string ReadableDisplayName(std::string_view bytes);

}  // namespace velmora
