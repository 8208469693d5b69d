// Text for the terminal, shared by the demo and the probe.
#pragma once

#include <string>
#include <string_view>

namespace velmora::tools {

// Code-page-936 bytes (the display names of server types) as UTF-8. A byte sequence that
// does not convert is shown as \xNN escapes, so nothing is lost.
std::string Cp936ToUtf8(std::string_view bytes);

// A path or file name as the system's byte-oriented calls give it (Windows: the ANSI code
// page, code page 936 on a Chinese installation; Linux: the file system's bytes) as UTF-8.
// What does not convert is shown as \xNN escapes.
std::string SystemTextToUtf8(std::string_view bytes);

// Makes the terminal take UTF-8 (Windows: console code page, binary standard output).
void PrepareUtf8Output();

}  // namespace velmora::tools
