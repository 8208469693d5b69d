// Every call the library makes to the operating system goes through here; one source
// file per platform implements it.
#pragma once

#include <string>
#include <vector>

namespace velmora::platform {

using ModuleHandle = void*;
using Symbol = void (*)();

// Null when the library cannot be loaded; no error is raised.
ModuleHandle OpenModule(const std::string& path);
// Why the last OpenModule on this thread answered null, in the system's words; empty when
// it answered a module.
std::string LastLoadError();
// Null when the module is null or lacks the symbol.
Symbol FindSymbol(ModuleHandle module, const char* name);
void CloseModule(ModuleHandle module);

bool IsDirectory(const std::string& path);
// The kind of a file that is no library and that merely opening could block on: "FIFO",
// "socket", "character device" or "block device"; null for anything else, a regular file,
// a directory or a name that cannot be examined. Learnt without opening the file.
const char* SpecialFileKind(const std::string& path);
// Names, without directory, of the entries matching pattern (a directory, a separator
// and a file-name pattern), in the order the system lists them; letter case is ignored.
std::vector<std::string> FindMatchingEntries(const std::string& pattern);

// Full file name of the process's executable.
std::string ExecutablePath();
// The two last directories searched for plug-ins.
std::string SystemDirectory();
std::string WindowsDirectory();

extern const char kPathSeparator;
// Characters that end the directory part of a full file name.
extern const char kDirectoryDelimiters[];
// The one extension a plug-in file may have, in this exact letter case.
extern const char kPluginExtension[];

// Runs fn(context). Returns true when fn returned normally, false when it faulted (an
// access violation, an illegal instruction, an integer division by zero, an abort() on
// the calling thread, or a C++ exception that the called code let escape). Only what the
// called code did not handle itself reaches the guard.
bool RunGuarded(void (*fn)(void*), void* context) noexcept;

}  // namespace velmora::platform
