// Texts quoted for JSON, for the tools' --json output.
#pragma once

#include <string>
#include <string_view>

namespace velmora::tools {

// The text between double quotes, with quotes, backslashes and control characters escaped.
// The text is expected in UTF-8.
std::string JsonQuoted(std::string_view text);

}  // namespace velmora::tools
