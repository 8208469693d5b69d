// Entry points exported under a name other than the bare one the library looks for: the
// names a 32-bit compiler gives stdcall functions without a .def file or --kill-at
// (_Name@N, Name@N), fastcall ones (@Name@N), C++ names of a function declared without
// extern "C" (_Z15GetServerTypeIDv, ?GetServerTypeID@@YGHXZ), and names in another case.
#pragma once

#include <string>
#include <vector>

namespace velmora::tools {

enum class Decoration {
    Stdcall,      // Name@N or _Name@N
    Fastcall,     // @Name@N
    CppName,      // a C++ name: extern "C" is missing
    LetterCase,   // the name in other letters case
};

struct DecoratedExport {
    std::string entryPoint;  // the bare name the library looks for
    std::string exported;    // the name as the file exports it
    Decoration decoration = Decoration::Stdcall;
    int argumentBytes = -1;  // what @N says the function takes off the stack; -1 when it does not say
};

// Every export that stands for one of the wanted names, for the wanted names the file does
// not export under their bare names, in the order of wanted.
std::vector<DecoratedExport> FindDecoratedExports(const std::vector<std::string>& exports,
                                                  const std::vector<std::string>& wanted);

// "GetServerTypeID@0 is GetServerTypeID with a stdcall decoration" and the fix, in words.
std::string DescribeDecoration(const DecoratedExport& found);
std::string HowToExportBareNames(Decoration decoration);

}  // namespace velmora::tools
