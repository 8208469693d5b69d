#include "binary_image.h"

#include "platform/process.h"

#include <algorithm>
#include <cstdio>

namespace velmora::tools {

namespace {

// Bounds on the work a hostile file can cause.
constexpr std::size_t kMostNames = 65536;
constexpr std::size_t kMostImports = 4096;
constexpr std::size_t kMostSections = 65536;
constexpr std::size_t kLongestName = 4096;
constexpr std::uint64_t kLargestFile = 512u << 20;

// Reads little- or big-endian integers at any offset; a read outside the bytes fails and
// leaves the reader failed, so a chain of reads needs one check at its end.
class Bytes {
public:
    explicit Bytes(std::string_view bytes) : bytes_(bytes) {}

    void SetBigEndian(bool big) { big_ = big; }
    bool failed() const { return failed_; }
    std::uint64_t size() const { return bytes_.size(); }

    std::uint64_t Unsigned(std::uint64_t offset, int width) {
        if (!Fits(offset, static_cast<std::uint64_t>(width))) {
            failed_ = true;
            return 0;
        }
        std::uint64_t value = 0;
        for (int i = 0; i < width; ++i) {
            const auto byte = static_cast<unsigned char>(bytes_[offset + static_cast<std::uint64_t>(big_ ? i : width - 1 - i)]);
            value = value << 8 | byte;
        }
        return value;
    }
    std::uint64_t U8(std::uint64_t offset) { return Unsigned(offset, 1); }
    std::uint64_t U16(std::uint64_t offset) { return Unsigned(offset, 2); }
    std::uint64_t U32(std::uint64_t offset) { return Unsigned(offset, 4); }
    std::uint64_t U64(std::uint64_t offset) { return Unsigned(offset, 8); }

    // A zero-terminated text that ends within the bytes and within kLongestName.
    bool Text(std::uint64_t offset, std::string& text) const {
        if (offset >= bytes_.size()) return false;
        const std::string_view rest = bytes_.substr(offset, kLongestName + 1);
        const auto end = rest.find('\0');
        if (end == std::string_view::npos) return false;
        text.assign(rest.substr(0, end));
        return true;
    }

    bool Fits(std::uint64_t offset, std::uint64_t length) const {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }

private:
    std::string_view bytes_;
    bool big_ = false;
    bool failed_ = false;
};

// ---- PE

struct Section {
    std::uint64_t address, virtualSize, fileOffset, fileSize;
};

constexpr unsigned kPeMachineX86 = 0x14C, kPeMachineX64 = 0x8664, kPeMachineArm = 0x1C4, kPeMachineArm64 = 0xAA64;
constexpr unsigned kPeDll = 0x2000;

Architecture PeArchitecture(unsigned machine) {
    switch (machine) {
        case kPeMachineX86: return Architecture::X86;
        case kPeMachineX64: return Architecture::X86_64;
        case kPeMachineArm: return Architecture::Arm;
        case kPeMachineArm64: return Architecture::Arm64;
        default: return Architecture::Other;
    }
}

class PeReader {
public:
    PeReader(Bytes& bytes, BinaryImage& image) : in_(bytes), image_(image) {}

    void Read() {
        const std::uint64_t header = in_.U32(0x3C);
        if (in_.failed() || in_.U32(header) != 0x00004550 || in_.failed()) return Problem("no PE header after the DOS header");
        const std::uint64_t coff = header + 4;
        image_.machineCode = static_cast<unsigned>(in_.U16(coff));
        image_.architecture = PeArchitecture(image_.machineCode);
        const std::uint64_t sectionCount = in_.U16(coff + 2);
        const std::uint64_t optionalSize = in_.U16(coff + 16);
        image_.library = (in_.U16(coff + 18) & kPeDll) != 0;
        const std::uint64_t optional = coff + 20;
        const std::uint64_t magic = in_.U16(optional);
        if (in_.failed()) return Problem("truncated PE header");
        std::uint64_t directoryCount = 0, directories = 0;
        if (magic == 0x10B) {
            image_.bits = 32;
            directoryCount = in_.U32(optional + 92);
            directories = optional + 96;
        } else if (magic == 0x20B) {
            image_.bits = 64;
            directoryCount = in_.U32(optional + 108);
            directories = optional + 112;
        } else {
            return Problem("unknown optional header");
        }
        if (in_.failed()) return Problem("truncated optional header");

        const std::uint64_t table = optional + optionalSize;
        for (std::uint64_t i = 0; i < sectionCount; ++i) {
            const std::uint64_t at = table + i * 40;
            sections_.push_back({in_.U32(at + 12), in_.U32(at + 8), in_.U32(at + 20), in_.U32(at + 16)});
        }
        if (in_.failed()) return Problem("truncated section table");

        const auto directory = [&](std::uint64_t index, std::uint64_t& address) {
            address = index < directoryCount ? in_.U32(directories + index * 8) : 0;
            return address != 0;
        };
        std::uint64_t exportAddress = 0, importAddress = 0;
        if (directory(0, exportAddress)) ReadExports(exportAddress);
        if (in_.failed()) return Problem("truncated data directories");
        if (image_.problem.empty() && directory(1, importAddress)) ReadImports(importAddress);
    }

private:
    void Problem(const char* what) {
        if (image_.problem.empty()) image_.problem = what;
    }

    // The file offset of a relative virtual address; false when no section holds it.
    bool Offset(std::uint64_t address, std::uint64_t& offset) const {
        for (const Section& s : sections_) {
            const std::uint64_t span = std::max(s.virtualSize, s.fileSize);
            if (address >= s.address && address - s.address < span && address - s.address < s.fileSize) {
                offset = s.fileOffset + (address - s.address);
                return true;
            }
        }
        return false;
    }

    bool TextAt(std::uint64_t address, std::string& text) const {
        std::uint64_t offset = 0;
        return Offset(address, offset) && in_.Text(offset, text);
    }

    void ReadExports(std::uint64_t address) {
        std::uint64_t at = 0;
        if (!Offset(address, at)) return Problem("export directory outside every section");
        const std::uint64_t count = in_.U32(at + 24);
        const std::uint64_t names = in_.U32(at + 32);
        if (in_.failed()) return Problem("truncated export directory");
        if (count > kMostNames) return Problem("implausibly many exported names");
        std::uint64_t table = 0;
        if (count > 0 && !Offset(names, table)) return Problem("export name table outside every section");
        for (std::uint64_t i = 0; i < count; ++i) {
            std::string name;
            const std::uint64_t nameAddress = in_.U32(table + i * 4);
            if (in_.failed() || !TextAt(nameAddress, name)) return Problem("an exported name lies outside the file");
            image_.exports.push_back(std::move(name));
        }
    }

    void ReadImports(std::uint64_t address) {
        std::uint64_t at = 0;
        if (!Offset(address, at)) return Problem("import directory outside every section");
        for (std::size_t i = 0;; ++i, at += 20) {
            if (i == kMostImports) return Problem("implausibly many imported libraries");
            const std::uint64_t nameAddress = in_.U32(at + 12);
            const std::uint64_t thunks = in_.U32(at + 16);
            if (in_.failed()) return Problem("truncated import directory");
            if (nameAddress == 0 && thunks == 0) return;
            std::string name;
            if (!TextAt(nameAddress, name)) return Problem("an imported library's name lies outside the file");
            image_.imports.push_back(std::move(name));
        }
    }

    Bytes& in_;
    BinaryImage& image_;
    std::vector<Section> sections_;
};

// ---- ELF

constexpr unsigned kElfX86 = 3, kElfArm = 40, kElfX86_64 = 62, kElfArm64 = 183;
constexpr std::uint64_t kSectionDynamic = 6, kSectionDynamicSymbols = 11;
constexpr std::uint64_t kElfSharedObject = 3;

Architecture ElfArchitecture(unsigned machine) {
    switch (machine) {
        case kElfX86: return Architecture::X86;
        case kElfX86_64: return Architecture::X86_64;
        case kElfArm: return Architecture::Arm;
        case kElfArm64: return Architecture::Arm64;
        default: return Architecture::Other;
    }
}

class ElfReader {
public:
    ElfReader(Bytes& bytes, BinaryImage& image) : in_(bytes), image_(image) {}

    void Read() {
        const std::uint64_t elfClass = in_.U8(4), data = in_.U8(5);
        if (in_.failed() || (elfClass != 1 && elfClass != 2) || (data != 1 && data != 2))
            return Problem("unknown ELF class or byte order");
        wide_ = elfClass == 2;
        image_.bits = wide_ ? 64 : 32;
        in_.SetBigEndian(data == 2);
        image_.library = in_.U16(16) == kElfSharedObject;
        image_.machineCode = static_cast<unsigned>(in_.U16(18));
        image_.architecture = ElfArchitecture(image_.machineCode);
        const std::uint64_t tableOffset = wide_ ? in_.U64(40) : in_.U32(32);
        const std::uint64_t entrySize = in_.U16(wide_ ? 58 : 46);
        std::uint64_t count = in_.U16(wide_ ? 60 : 48);
        if (in_.failed()) return Problem("truncated ELF header");
        if (tableOffset == 0) return Problem("no section headers: exports and imports unknown");
        if (entrySize < (wide_ ? 64u : 40u)) return Problem("section headers too small");
        table_ = tableOffset;
        entrySize_ = entrySize;
        // Extended numbering: the count sits in the first section header.
        if (count == 0) count = Field(0, SectionSize);
        if (in_.failed()) return Problem("truncated section headers");
        if (count > kMostSections) return Problem("implausibly many sections");
        count_ = count;
        for (std::uint64_t i = 0; i < count_ && image_.problem.empty(); ++i) {
            const std::uint64_t type = in_.U32(table_ + i * entrySize_ + 4);
            if (in_.failed()) return Problem("truncated section headers");
            if (type == kSectionDynamicSymbols) ReadSymbols(i);
            if (type == kSectionDynamic) ReadDynamic(i);
        }
    }

private:
    enum FieldName { SectionOffset, SectionSize, SectionLink, SectionEntrySize };

    void Problem(const char* what) {
        if (image_.problem.empty()) image_.problem = what;
    }

    std::uint64_t Field(std::uint64_t section, FieldName field) {
        const std::uint64_t at = table_ + section * entrySize_;
        switch (field) {
            case SectionOffset: return wide_ ? in_.U64(at + 24) : in_.U32(at + 16);
            case SectionSize: return wide_ ? in_.U64(at + 32) : in_.U32(at + 20);
            case SectionLink: return in_.U32(at + (wide_ ? 40 : 24));
            case SectionEntrySize: return wide_ ? in_.U64(at + 56) : in_.U32(at + 36);
        }
        return 0;
    }

    // The section holding the strings a section's entries name, checked to lie in the file.
    bool Strings(std::uint64_t section, std::uint64_t& offset, std::uint64_t& size) {
        const std::uint64_t link = Field(section, SectionLink);
        if (in_.failed() || link >= count_) return false;
        offset = Field(link, SectionOffset);
        size = Field(link, SectionSize);
        return !in_.failed() && in_.Fits(offset, size);
    }

    bool String(std::uint64_t strings, std::uint64_t size, std::uint64_t index, std::string& text) {
        return index < size && in_.Text(strings + index, text) && text.size() < size - index;
    }

    // Entries of a section, checked to lie in the file: false when they do not.
    bool Entries(std::uint64_t section, std::uint64_t least, std::uint64_t& offset, std::uint64_t& step,
                 std::uint64_t& count) {
        offset = Field(section, SectionOffset);
        const std::uint64_t size = Field(section, SectionSize);
        step = Field(section, SectionEntrySize);
        if (in_.failed() || step < least || !in_.Fits(offset, size)) return false;
        count = size / step;
        return true;
    }

    void ReadSymbols(std::uint64_t section) {
        std::uint64_t offset = 0, step = 0, count = 0, strings = 0, stringsSize = 0;
        if (!Entries(section, wide_ ? 24 : 16, offset, step, count) || !Strings(section, strings, stringsSize))
            return Problem("dynamic symbol table outside the file");
        if (count > kMostNames) return Problem("implausibly many dynamic symbols");
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t at = offset + i * step;
            const std::uint64_t name = in_.U32(at);
            const std::uint64_t info = in_.U8(at + (wide_ ? 4 : 12));
            const std::uint64_t other = in_.U8(at + (wide_ ? 5 : 13));
            const std::uint64_t index = in_.U16(at + (wide_ ? 6 : 14));
            if (in_.failed()) return Problem("truncated dynamic symbol table");
            const std::uint64_t binding = info >> 4, visibility = other & 3;
            // Defined, global or weak (or GNU unique), and visible from outside.
            const bool exported = index != 0 && (binding == 1 || binding == 2 || binding == 10) &&
                                  (visibility == 0 || visibility == 3);
            std::string text;
            if (!exported || name == 0) continue;
            if (!String(strings, stringsSize, name, text)) return Problem("a symbol's name lies outside its string table");
            image_.exports.push_back(std::move(text));
        }
    }

    void ReadDynamic(std::uint64_t section) {
        std::uint64_t offset = 0, step = 0, count = 0, strings = 0, stringsSize = 0;
        if (!Entries(section, wide_ ? 16 : 8, offset, step, count) || !Strings(section, strings, stringsSize))
            return Problem("dynamic section outside the file");
        constexpr std::uint64_t kNeeded = 1, kRunPathOld = 15, kRunPath = 29;
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t at = offset + i * step;
            const std::uint64_t tag = wide_ ? in_.U64(at) : in_.U32(at);
            const std::uint64_t value = wide_ ? in_.U64(at + 8) : in_.U32(at + 4);
            if (in_.failed()) return Problem("truncated dynamic section");
            if (tag == 0) return;
            if (tag != kNeeded && tag != kRunPathOld && tag != kRunPath) continue;
            std::string text;
            if (!String(strings, stringsSize, value, text)) return Problem("a dynamic entry's text lies outside its string table");
            if (tag == kNeeded) {
                if (image_.imports.size() == kMostImports) return Problem("implausibly many needed libraries");
                image_.imports.push_back(std::move(text));
                continue;
            }
            for (std::size_t start = 0; start <= text.size();) {
                const std::size_t colon = std::min(text.find(':', start), text.size());
                if (colon > start) image_.runPaths.push_back(text.substr(start, colon - start));
                start = colon + 1;
            }
        }
    }

    Bytes& in_;
    BinaryImage& image_;
    bool wide_ = false;
    std::uint64_t table_ = 0, entrySize_ = 0, count_ = 0;
};

}  // namespace

BinaryImage ReadBinaryImage(std::string_view bytes) {
    BinaryImage image;
    Bytes in(bytes);
    if (bytes.size() >= 4 && bytes.substr(0, 4) == std::string_view("\x7F" "ELF", 4)) {
        image.format = ImageFormat::Elf;
        ElfReader(in, image).Read();
    } else if (bytes.size() >= 2 && bytes.substr(0, 2) == "MZ") {
        image.format = ImageFormat::Pe;
        PeReader(in, image).Read();
    } else {
        image.problem = bytes.empty() ? "the file is empty" : "neither a PE nor an ELF file";
    }
    return image;
}

BinaryImage ReadBinaryImageFile(const std::string& path) {
    platform::FileStamp stamp;
    std::string bytes;
    BinaryImage image;
    if (platform::StampOf(path, stamp) && stamp.size > kLargestFile)
        image.problem = "the file is too large to be a library";
    else if (!platform::ReadWholeFile(path, bytes))
        image.problem = "the file cannot be read";
    else
        image = ReadBinaryImage(bytes);
    return image;
}

ImageFormat ThisBuildFormat() {
#if defined(_WIN32)
    return ImageFormat::Pe;
#else
    return ImageFormat::Elf;
#endif
}

Architecture ThisBuildArchitecture() {
#if defined(__x86_64__) || defined(_M_X64)
    return Architecture::X86_64;
#elif defined(__i386__) || defined(_M_IX86)
    return Architecture::X86;
#elif defined(__aarch64__) || defined(_M_ARM64)
    return Architecture::Arm64;
#elif defined(__arm__) || defined(_M_ARM)
    return Architecture::Arm;
#else
    return Architecture::Other;
#endif
}

int ThisBuildBits() { return static_cast<int>(sizeof(void*) * 8); }

std::string FormatName(ImageFormat format) {
    switch (format) {
        case ImageFormat::Pe: return "PE";
        case ImageFormat::Elf: return "ELF";
        case ImageFormat::Unknown: break;
    }
    return "unknown";
}

std::string ArchitectureName(Architecture architecture, unsigned machineCode) {
    switch (architecture) {
        case Architecture::X86: return "x86";
        case Architecture::X86_64: return "x86-64";
        case Architecture::Arm: return "ARM";
        case Architecture::Arm64: return "ARM64";
        case Architecture::Unknown: return "unknown machine";
        case Architecture::Other: break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "machine 0x%X", machineCode);
    return text;
}

}  // namespace velmora::tools
