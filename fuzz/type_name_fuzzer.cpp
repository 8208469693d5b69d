// Velmora_GetServerTypeID with arbitrary bytes as the name (a zero-terminated copy of the
// input, of exactly that size) or, for an input starting with 0xFF, a null name; over the
// table of the "types" fixtures, which has all three display names and two empty ones.
//
// Checks: the answer is the type ID of the first type in table order whose display name
// equals the name byte for byte (a null name counting as empty), or -1 without one, table
// order being the order the folder is listed in; the lookup leaves the table unchanged.
#include "harness.h"

#include <cstring>
#include <memory>

using namespace velmora::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FreshLibrary();
    const auto params = ParamsFor("types");
    Velmora_InitSvManage(&params, 0);
    const auto& plugins = FixturePlugins("types");
    const auto types = ListTypes();
    FUZZ_CHECK(types.size() == plugins.size(), "table of types incomplete");
    for (std::size_t i = 0; i < types.size(); ++i)
        FUZZ_CHECK(types[i] == std::make_pair(plugins[i].typeId, DisplayName(plugins[i].typeId)),
                   "table out of the folder's order");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool null = size > 0 && data[0] == 0xFF;
    const auto name = std::make_unique<char[]>(size + 1);
    std::memcpy(name.get(), data, size);
    name[size] = '\0';

    const std::string wanted = null ? std::string() : std::string(name.get());
    VelmoraInt expected = -1;
    for (const FixturePlugin& plugin : FixturePlugins("types"))
        if (DisplayName(plugin.typeId) == wanted) {
            expected = plugin.typeId;
            break;
        }
    const auto before = ListTypes();
    const VelmoraInt found = Velmora_GetServerTypeID(null ? nullptr : name.get());
    FUZZ_CHECK(found == expected,
               "found type " + std::to_string(found) + ", not " + std::to_string(expected));
    FUZZ_CHECK(ListTypes() == before, "the lookup changed the table");
    return 0;
}
