// Velmora_InitSvManage with an arbitrary 512-byte InitParams block (shorter inputs are
// padded with zeros), from a folder where the fixture folders "registry", "types" and
// "stress" can be named relatively (fuzz/run.sh starts the run there).
//
// Checks: the call answers 1; every type is reported under its display name; a block whose
// directory text (length byte, then text up to the first zero) names one of those folders
// gives exactly that folder's table, and each of its recorders received the plug-in path
// text the same way.
#include "harness.h"

#include "journal.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace velmora::fuzz;

namespace {

std::string FieldText(const unsigned char (&field)[256]) {
    std::string text;
    for (int i = 1; i <= field[0] && field[i] != 0; ++i) text += static_cast<char>(field[i]);
    return text;
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return !path.empty() && realpath(path.c_str(), resolved) ? std::string(resolved)
                                                             : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* folder : {"registry", "types", "stress"}) FixturePlugins(folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exactly the block's size on the heap, so a read past its end shows.
    std::vector<unsigned char> bytes(sizeof(VelmoraInitParams));
    std::memcpy(bytes.data(), data, std::min(size, bytes.size()));
    const auto* params = reinterpret_cast<const VelmoraInitParams*>(bytes.data());

    FreshLibrary();
    FUZZ_CHECK(Velmora_InitSvManage(params, 0) == 1, "InitSvManage answered otherwise");

    const auto types = ListTypes();
    for (const auto& [typeId, name] : types)
        FUZZ_CHECK(name == DisplayName(typeId),
                   "type " + std::to_string(typeId) + " under another name");

    const std::string directory = RealPath(FieldText(params->pluginDirectory));
    if (directory.empty()) return 0;
    for (const char* folder : {"registry", "types", "stress"}) {
        if (directory != RealPath(FixtureDirectory(folder))) continue;
        const auto& plugins = FixturePlugins(folder);
        FUZZ_CHECK(types.size() == plugins.size(),
                   std::string("table of ") + folder + " incomplete");
        const std::string journal = JournalText();
        const std::string setPath = ":SetPath(\"" + FieldText(params->pluginPath) + "\")\n";
        for (std::size_t i = 0; i < plugins.size(); ++i) {
            FUZZ_CHECK(types[i].first == plugins[i].typeId, "table out of the folder's order");
            if (plugins[i].setResult)
                FUZZ_CHECK(journal.find(plugins[i].tag + setPath) != std::string::npos,
                           plugins[i].tag + " got another plug-in path text");
        }
    }
    return 0;
}
