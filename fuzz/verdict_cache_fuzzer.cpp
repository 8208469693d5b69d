// The verdict cache's file as the library reads it: arbitrary bytes, and files it wrote
// itself with one byte changed.
//
// Input: a first byte 0x01 makes a cache from the rest (entries of fields read from the
// input), writes it, changes the byte at a place the input names, and reads it back;
// anything else is read as a cache file.
//
// Checks: whatever a file holds, reading it ends; a file that is read writes back as a file
// that reads the same; a file written whole reads back exactly, and with any one byte
// changed it is refused.
#include "harness.h"

#include "core/verdict_cache.h"

#include <string>
#include <tuple>

using namespace velmora;
using velmora::fuzz::Input;

namespace {

bool Same(const VerdictCache::Contents& a, const VerdictCache::Contents& b) {
    const auto same = [](const VerdictCache::Entry& x, const VerdictCache::Entry& y) {
        return std::tie(x.verdict.condemned, x.verdict.cause, x.verdict.provisional, x.examinedAtMs, x.provisionalRuns) ==
               std::tie(y.verdict.condemned, y.verdict.cause, y.verdict.provisional, y.examinedAtMs, y.provisionalRuns);
    };
    if (a.forgottenAtMs != b.forgottenAtMs || a.entries.size() != b.entries.size()) return false;
    for (auto i = a.entries.begin(), j = b.entries.begin(); i != a.entries.end(); ++i, ++j)
        if (i->first < j->first || j->first < i->first || !same(i->second, j->second)) return false;
    return true;
}

VerdictCache::Contents Made(Input& input) {
    VerdictCache::Contents contents;
    contents.forgottenAtMs = input.Int32();
    for (int count = input.Byte() % 8; count > 0; --count) {
        VerdictCache::Key key{input.Text(40), {static_cast<std::uint32_t>(input.Int32()), input.Int32()}, input.Text(20)};
        VerdictCache::Entry entry;
        const std::uint8_t kind = input.Byte() % 3;
        entry.verdict = {kind != 0, input.Text(30), true, kind == 2};
        entry.examinedAtMs = input.Int32();
        entry.provisionalRuns = kind == 2 ? 1 + input.Byte() % 20 : 0;
        contents.entries[key] = entry;
    }
    return contents;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    if (size > 0 && data[0] == 0x01) {
        input.Byte();
        const VerdictCache::Contents made = Made(input);
        const std::string text = VerdictCache::Serialise(made);
        VerdictCache::Contents read;
        FUZZ_CHECK(VerdictCache::Parse(text, read) && Same(read, made), "a written cache reads back otherwise");
        std::string changed = text;
        const std::size_t at = static_cast<std::uint32_t>(input.Int32()) % changed.size();
        changed[at] = static_cast<char>(changed[at] ^ (1 + input.Byte() % 255));
        VerdictCache::Contents damaged;
        FUZZ_CHECK(!VerdictCache::Parse(changed, damaged), "a changed byte at " + std::to_string(at) + " went unseen");
        return 0;
    }
    VerdictCache::Contents read;
    if (VerdictCache::Parse(std::string(reinterpret_cast<const char*>(data), size), read)) {
        VerdictCache::Contents again;
        FUZZ_CHECK(VerdictCache::Parse(VerdictCache::Serialise(read), again) && Same(again, read),
                   "a cache read back differs");
    }
    return 0;
}
