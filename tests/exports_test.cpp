// What the built library exports and, on Windows, what it imports, read from the binary's
// own tables: on Windows the loaded image's export and import directories, on Linux the
// dynamic symbol table of the file.
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <windows.h>

#include <cctype>
#include <filesystem>
#else
#include <elf.h>

#include <fstream>
#endif

namespace velmora {
namespace {

// Every export, in ordinal order from 1.
const char* const kExports[] = {
    "Velmora_StopCapture",     "Velmora_StartCapture",      "Velmora_PlayCtrl",
    "Velmora_StopPlay",        "Velmora_StartPlay",         "Velmora_GetCapFileList",
    "Velmora_LoginServer",     "Velmora_StopGetVideoData",  "Velmora_StartGetVideoData",
    "Velmora_GetProtocolInfo", "Velmora_PTZControl",        "Velmora_SetPreset",
    "Velmora_DelPreset",       "Velmora_GoToPreset",        "Velmora_LoadPreInfo",
    "Velmora_GetServerInfo",   "Velmora_GetChannelInfo",    "Velmora_GetSvChInfo",
    "Velmora_ChangeChannel",   "Velmora_ChangeServer",      "Velmora_DelServer",
    "Velmora_AddServer",       "Velmora_GetHeader",         "Velmora_SetSvMsgCallBack",
    "Velmora_GetServerTypeID", "Velmora_GetServerTypeInfo", "Velmora_DeInitSvManage",
    "Velmora_InitSvManage",    "Velmora_SetSelectServerCallBack",
};

std::string LibraryPath() { return test::ExecutableDirectory() + VELMORA_LIBRARY_FILE; }

#if defined(_WIN32)

using Ordinals = std::vector<std::pair<DWORD, std::string>>;

// The library loaded for the test's duration; its handle is its image's base address.
class Image {
public:
    Image() : module_(static_cast<HMODULE>(platform::OpenModule(LibraryPath()))) {}
    ~Image() { platform::CloseModule(module_); }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    HMODULE module() const { return module_; }
    template <typename T>
    const T* At(DWORD rva) const {
        return reinterpret_cast<const T*>(reinterpret_cast<const BYTE*>(module_) + rva);
    }
    const IMAGE_NT_HEADERS* Headers() const {
        const auto* dos = At<IMAGE_DOS_HEADER>(0);
        if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
        const auto* headers = At<IMAGE_NT_HEADERS>(dos->e_lfanew);
        if (headers->Signature != IMAGE_NT_SIGNATURE ||
            headers->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC)
            return nullptr;
        return headers;
    }
    const IMAGE_DATA_DIRECTORY& Directory(int index) const {
        return Headers()->OptionalHeader.DataDirectory[index];
    }

private:
    HMODULE module_;
};

class ExportTable : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(image.module(), nullptr) << LibraryPath();
        ASSERT_NE(image.Headers(), nullptr) << "not a PE image of this build's kind";
    }
    Image image;
};

TEST_F(ExportTable, NamesTheExportsUndecoratedAtTheirFixedOrdinals) {
    const auto& directory = image.Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    ASSERT_NE(directory.VirtualAddress, 0u);
    const auto* exports = image.At<IMAGE_EXPORT_DIRECTORY>(directory.VirtualAddress);
    const auto* functions = image.At<DWORD>(exports->AddressOfFunctions);
    const auto* names = image.At<DWORD>(exports->AddressOfNames);
    const auto* nameOrdinals = image.At<WORD>(exports->AddressOfNameOrdinals);

    Ordinals actual;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        actual.emplace_back(exports->Base + nameOrdinals[i], image.At<char>(names[i]));
    std::sort(actual.begin(), actual.end());
    Ordinals expected;
    for (DWORD i = 0; i < std::size(kExports); ++i) expected.emplace_back(i + 1, kExports[i]);
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(exports->NumberOfFunctions, exports->NumberOfNames) << "an export without a name";

    for (const auto& [ordinal, name] : actual) {
        const DWORD rva = functions[ordinal - exports->Base];
        // An address inside the export directory would forward to another library.
        EXPECT_FALSE(rva >= directory.VirtualAddress && rva < directory.VirtualAddress + directory.Size)
            << name << " is forwarded";
        const auto byName = GetProcAddress(image.module(), name.c_str());
        EXPECT_EQ(reinterpret_cast<const void*>(byName), image.At<void>(rva)) << name;
        const auto byOrdinal = GetProcAddress(image.module(), MAKEINTRESOURCEA(ordinal));
        EXPECT_EQ(reinterpret_cast<const void*>(byOrdinal), reinterpret_cast<const void*>(byName)) << name;
    }
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

TEST_F(ExportTable, ImportsNothingButSystemLibraries) {
    const auto& directory = image.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    ASSERT_NE(directory.VirtualAddress, 0u);
    // Letter case varies between linkers and means nothing to the loader.
    std::vector<std::string> imported;
    const auto* entry = image.At<IMAGE_IMPORT_DESCRIPTOR>(directory.VirtualAddress);
    for (; entry->Name; ++entry) imported.push_back(Lower(image.At<char>(entry->Name)));

    EXPECT_NE(std::find(imported.begin(), imported.end(), "kernel32.dll"), imported.end());
    const std::filesystem::path system = platform::SystemDirectory();
    for (const auto& name : imported) {
        EXPECT_TRUE(std::filesystem::is_regular_file(system / name)) << name << " is not in " << system;
        for (const char* runtime : {"libgcc", "libstdc++", "libwinpthread"})
            EXPECT_EQ(name.find(runtime), std::string::npos) << name;
    }
}

#else

// The names the library offers to the dynamic linker: defined, not local (global, weak or
// unique), default visibility.
std::vector<std::string> DynamicExports(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                  std::istreambuf_iterator<char>()};
    const auto at = [&](auto* object, Elf64_Off offset) {
        if (offset + sizeof *object > bytes.size())
            throw std::runtime_error("truncated ELF file " + path);
        std::memcpy(object, bytes.data() + offset, sizeof *object);
    };

    Elf64_Ehdr header;
    at(&header, 0);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64)
        throw std::runtime_error("not a 64-bit ELF file: " + path);
    const auto section = [&](std::size_t index) {
        Elf64_Shdr entry;
        at(&entry, header.e_shoff + index * header.e_shentsize);
        return entry;
    };

    std::vector<std::string> names;
    for (std::size_t s = 0; s < header.e_shnum; ++s) {
        const Elf64_Shdr symbols = section(s);
        if (symbols.sh_type != SHT_DYNSYM) continue;
        const Elf64_Shdr strings = section(symbols.sh_link);
        for (Elf64_Xword i = 1; i < symbols.sh_size / sizeof(Elf64_Sym); ++i) {
            Elf64_Sym symbol;
            at(&symbol, symbols.sh_offset + i * sizeof symbol);
            if (symbol.st_shndx == SHN_UNDEF || ELF64_ST_BIND(symbol.st_info) == STB_LOCAL ||
                ELF64_ST_VISIBILITY(symbol.st_other) != STV_DEFAULT)
                continue;
            const Elf64_Off name = strings.sh_offset + symbol.st_name;
            if (name >= bytes.size()) throw std::runtime_error("symbol name outside " + path);
            std::string text(bytes.data() + name, strnlen(bytes.data() + name, bytes.size() - name));
            // Marked, so that data under an expected name fails the comparison too.
            if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC) text += " (not a function)";
            names.push_back(text);
        }
    }
    return names;
}

TEST(ExportTable, DynamicSymbolsAreExactlyTheExports) {
    auto actual = DynamicExports(LibraryPath());
    std::vector<std::string> expected(std::begin(kExports), std::end(kExports));
    std::sort(actual.begin(), actual.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(actual, expected);
}

#endif

}  // namespace
}  // namespace velmora
