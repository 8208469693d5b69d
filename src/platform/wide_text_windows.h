// Windows names are UTF-16 and may hold what UTF-8 cannot (an unpaired surrogate): inside
// the library they travel as WTF-8, UTF-8 extended to carry such code units, so that every
// name the system hands out converts to bytes and back unchanged. The W functions of the
// system get them back in UTF-16, in a form without the MAX_PATH limit where they need it.
#pragma once

#include <string>
#include <string_view>

namespace velmora::platform {

// WTF-8 (UTF-8 for every well-formed name) to UTF-16. A byte that starts no valid sequence
// becomes U+FFFD.
std::wstring Widen(std::string_view text);
// UTF-16 to WTF-8: an unpaired surrogate keeps its own three-byte form.
std::string Narrow(std::wstring_view text);

// A path for the W file and loader functions: as it is while it is short enough for every
// one of them, else made full (relative to the current directory) in the \\?\ form, which
// no length limit applies to.
std::wstring SystemPath(std::string_view path);
// The same path always made full, in the \\?\ form when it is long; as it is when the
// system cannot make it full.
std::wstring FullSystemPath(std::string_view path);
// The full file name of a module (null: the process's executable), however long; empty
// when the system names none.
std::string ModuleFileName(void* module);

}  // namespace velmora::platform
