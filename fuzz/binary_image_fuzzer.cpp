// The reader of library files that velmora-probe and velmora-validate share, over arbitrary
// bytes: a PE or ELF file, whole, truncated or hostile.
//
// Checks, besides what AddressSanitizer and UndefinedBehaviorSanitizer catch: the reader
// stays within bounds of work (no more names and imports than it allows), and the names it
// reads are texts of the file; the decorated names found among them are among them.
#include "binary_image.h"
#include "export_names.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#define BINARY_FUZZ_CHECK(condition, what)                      \
    do {                                                        \
        if (!(condition)) {                                     \
            std::fprintf(stderr, "fuzz check failed: %s\n", what); \
            std::abort();                                       \
        }                                                       \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const velmora::tools::BinaryImage image = velmora::tools::ReadBinaryImage(bytes);
    BINARY_FUZZ_CHECK(image.exports.size() <= 65536 && image.imports.size() <= 4096, "unbounded work");
    for (const auto* names : {&image.exports, &image.imports, &image.runPaths})
        for (const std::string& name : *names)
            BINARY_FUZZ_CHECK(name.size() <= 4096 && bytes.find(name) != std::string_view::npos, "a name not in the file");
    const auto decorated = velmora::tools::FindDecoratedExports(image.exports, {"GetServerTypeID", "PTZControl"});
    for (const auto& found : decorated)
        BINARY_FUZZ_CHECK(bytes.find(found.exported) != std::string_view::npos, "a decorated name not exported");
    return 0;
}
