// Text for the terminal and the command line, shared by the demo and the probe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmora::tools {

// A path or file name as the library holds it (Windows: WTF-8; Linux: the file system's
// bytes) for a UTF-8 terminal: as it is when it is UTF-8, else escaped as a whole (\xNN),
// so that nothing is lost: a Linux name in another encoding, a Windows name holding an
// unpaired surrogate.
std::string NameAsUtf8(std::string_view name);

// The program's arguments as the library holds paths. Windows: read from the wide command
// line, so that a name the ANSI code page cannot hold arrives intact.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// A path as a host writes it into the InitParams block (Windows: in the ANSI code page);
// false when that code page cannot hold every character of it.
bool PathAsHostText(const std::string& path, std::string& text);

// Makes the terminal take UTF-8 (Windows: console code page, binary standard output).
void PrepareUtf8Output();

}  // namespace velmora::tools
