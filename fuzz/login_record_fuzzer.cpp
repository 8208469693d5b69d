// Velmora_LoginServer with arbitrary login records over the "registry" fixtures, whose
// recorders answer and rewrite the record as the input says.
//
// Input: a flags byte (bit 0: the recorders rewrite the record's two fields), the result
// the recorders answer, the two fields they write, then the record itself: its bytes, at
// least the two fields (zeros make up a shorter one), in a heap block of exactly that size.
//
// Checks: a type ID with no plug-in in the table, or one whose plug-in lacks LoginServer,
// answers -1 without a plug-in seeing the record; otherwise the first plug-in of the type
// gets the record's own address and its result comes back; only the two leading fields
// ever change, and only by the plug-in; a result above 0 registers the server ID and type
// ID the plug-in left in the record, and nothing else is registered.
#include "harness.h"

#include "journal.h"

#include <cstring>
#include <vector>

using namespace velmora::fuzz;

namespace {

const FixturePlugin* FirstOfType(VelmoraInt typeId) {
    for (const FixturePlugin& plugin : FixturePlugins("registry"))
        if (plugin.typeId == typeId) return &plugin;
    return nullptr;
}

// What Velmora_ChangeServer answers for a server registered under typeId (the recorders
// answer 1 once reset).
VelmoraInt ChangeServerAnswer(VelmoraInt typeId) {
    const FixturePlugin* plugin = FirstOfType(typeId);
    return plugin && plugin->hasEntries ? 1 : -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FixturePlugins("registry");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    const bool rewrite = input.Byte() & 1;
    const VelmoraInt result = input.Int32();
    const VelmoraInt rewrittenServer = input.Int32();
    const VelmoraInt rewrittenType = input.Int32();
    std::vector<unsigned char> record;
    while (!input.done()) record.push_back(input.Byte());
    if (record.size() < sizeof(VelmoraLoginRecord)) record.resize(sizeof(VelmoraLoginRecord));
    const std::vector<unsigned char> sent = record;
    VelmoraLoginRecord fields;
    std::memcpy(&fields, sent.data(), sizeof fields);

    FreshLibrary();
    const auto params = ParamsFor("registry");
    Velmora_InitSvManage(&params, 0);
    for (const FixturePlugin& plugin : FixturePlugins("registry")) {
        if (!plugin.reset) continue;
        plugin.reset();
        plugin.setResult("LoginServer", result);
        plugin.rewriteLogin(rewrite, rewrittenServer, rewrittenType);
    }
    JournalClear();

    auto* address = reinterpret_cast<VelmoraLoginRecord*>(record.data());
    const VelmoraInt answer = Velmora_LoginServer(address);
    const std::string journal = JournalText();

    const FixturePlugin* plugin = FirstOfType(fields.typeId);
    if (!plugin || !plugin->hasEntries) {
        FUZZ_CHECK(answer == -1,
                   "answered " + std::to_string(answer) + " for a type that cannot log in");
        FUZZ_CHECK(journal.empty(), "a plug-in was called: " + journal);
        FUZZ_CHECK(record == sent, "the record changed");
        FUZZ_CHECK(Velmora_ChangeServer(fields.serverId) == -1, "a server was registered");
        return 0;
    }
    FUZZ_CHECK(answer == result,
               "answered " + std::to_string(answer) + ", the plug-in " + std::to_string(result));
    FUZZ_CHECK(journal == plugin->tag + ":LoginServer(" +
                              std::to_string(reinterpret_cast<VelmoraWord>(address)) + ")\n",
               "the plug-in was not called once with the record's address: " + journal);
    std::vector<unsigned char> expected = sent;
    if (rewrite) {
        const VelmoraLoginRecord written{rewrittenServer, rewrittenType};
        std::memcpy(expected.data(), &written, sizeof written);
    }
    FUZZ_CHECK(record == expected, "the record holds other bytes than the plug-in left");

    VelmoraLoginRecord left;
    std::memcpy(&left, expected.data(), sizeof left);
    const VelmoraInt reached = Velmora_ChangeServer(left.serverId);
    if (result > 0) {
        FUZZ_CHECK(reached == ChangeServerAnswer(left.typeId),
                   "the server left in the record is not registered under its type");
        if (left.serverId != fields.serverId)
            FUZZ_CHECK(Velmora_ChangeServer(fields.serverId) == -1,
                       "the server sent was registered too");
    } else {
        FUZZ_CHECK(reached == -1, "a failed login registered the server");
    }
    return 0;
}
