// What a library file says about itself, read from its bytes without loading it: its form
// (a PE file on Windows, an ELF file on Linux), the machine it is built for, the names it
// exports and the libraries it imports. Shared by velmora-probe and velmora-validate.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::tools {

enum class ImageFormat { Unknown, Pe, Elf };
enum class Architecture { Unknown, X86, X86_64, Arm, Arm64, Other };

struct BinaryImage {
    ImageFormat format = ImageFormat::Unknown;
    Architecture architecture = Architecture::Unknown;
    unsigned machineCode = 0;  // as the file states it
    int bits = 0;              // 32 or 64, from the file's own header layout
    bool library = false;      // a DLL, or an ELF shared object
    std::vector<std::string> exports;
    std::vector<std::string> imports;   // the libraries it needs, as named in the file
    std::vector<std::string> runPaths;  // ELF: the folders of DT_RPATH and DT_RUNPATH, $ORIGIN unexpanded
    // Empty when the whole file was read; otherwise what is wrong with it. Whatever was
    // read before the problem stays filled in.
    std::string problem;
};

// Reads an image from the bytes of a file. Never reads outside them and never throws: a
// truncated or hostile file gives a problem, never a crash, and a bounded amount of work.
BinaryImage ReadBinaryImage(std::string_view bytes);
// The same for a file; a file that cannot be read, or is too large to be a library, gives
// a problem saying so.
BinaryImage ReadBinaryImageFile(const std::string& path);

// The form and machine the plug-ins of this build must have.
ImageFormat ThisBuildFormat();
Architecture ThisBuildArchitecture();
int ThisBuildBits();

// "PE", "ELF"; "x86", "x86-64", ...; "machine 0x1234" for one without a name.
std::string FormatName(ImageFormat format);
std::string ArchitectureName(Architecture architecture, unsigned machineCode);

}  // namespace velmora::tools
