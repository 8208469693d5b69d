// Windows names are UTF-16 and may hold what UTF-8 cannot (an unpaired surrogate): inside
// the library they travel as WTF-8, UTF-8 extended to carry such code units, so that every
// name the system hands out converts to bytes and back unchanged.
#pragma once

#include <string>
#include <string_view>

namespace velmora::platform {

// WTF-8 (UTF-8 for every well-formed name) to UTF-16. A byte that starts no valid sequence
// becomes U+FFFD.
std::wstring Widen(std::string_view text);
// UTF-16 to WTF-8: an unpaired surrogate keeps its own three-byte form.
std::string Narrow(std::wstring_view text);

}  // namespace velmora::platform
