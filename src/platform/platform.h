// Every call the library makes to the operating system goes through here; one source
// file per platform implements it.
//
// Paths and file names are strings of bytes: on Linux the file system's own, on Windows
// WTF-8 (see wide_text_windows.h), which every name the system can hold converts to.
#pragma once

#include <string>
#include <string_view>
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

// Full file name of the process's executable, however long.
std::string ExecutablePath();
// The two last directories searched for plug-ins.
std::string SystemDirectory();
std::string WindowsDirectory();

// A path a host wrote in its own code page (Windows: the one the ANSI file functions read)
// as the library holds paths; Linux paths are bytes either way.
std::string PathFromHostText(const std::string& text);
// The first count characters of a path, as the system counts them: UTF-16 code units on
// Windows, never half a surrogate pair; bytes on Linux.
std::string FirstCharacters(const std::string& path, std::size_t count);
// The longest start of a name that fits in size bytes without ending inside a character
// (Windows); Linux names are bytes and are cut at size.
std::string_view WholeCharactersWithin(std::string_view name, std::size_t size);

// Code-page-936 bytes (the display names of server types) as UTF-8; empty when they are not
// code-page-936 text.
std::string Cp936ToUtf8(std::string_view bytes);

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
