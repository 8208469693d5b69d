// What the fuzz targets share: the library's exports over a state made afresh for each
// input (as if the library had just been loaded), the fixture plug-ins as the harness sees
// them without the library's help, a reader of the input, and a check that ends the run.
#pragma once

#include <velmora/velmora.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velmora::fuzz {

// Releases the library's state, records and plug-in objects included, as unloading the
// library would, and starts an empty one. Clears the fixtures' journal too.
void FreshLibrary();

// The absolute path of a fixture plug-in folder of this build (bin/plugins/<name>).
std::string FixtureDirectory(const std::string& name);
// An InitParams block naming a folder, with an empty plug-in path text.
VelmoraInitParams ParamsFor(const std::string& directory);

// The display name of a type ID, as code-page-936 bytes.
std::string DisplayName(VelmoraInt typeId);

// A fixture plug-in of a folder, found by listing the folder and asking the file itself.
struct FixturePlugin {
    std::string tag;  // the file name without "QXDVR" and ".so", as in the journal
    VelmoraInt typeId = 0;
    bool hasEntries = false;  // exports the entry points beyond GetServerTypeID
    void* module = nullptr;
    // Present on recorders (tests/fixtures/recorder.cpp) only.
    void (*setResult)(const char* entryPoint, VelmoraInt result) = nullptr;
    void (*rewriteLogin)(int enabled, VelmoraInt serverId, VelmoraInt typeId) = nullptr;
    void (*reset)() = nullptr;
};
// The plug-ins of a folder in the order the system lists them, which is table order.
// Loaded on the first call for the folder and kept; a target asks for its folders before
// its first input, since loading them calls their GetServerTypeID.
const std::vector<FixturePlugin>& FixturePlugins(const std::string& directory);

// The types as Velmora_GetServerTypeInfo reports them.
std::vector<std::pair<VelmoraInt, std::string>> ListTypes();

// Reads the input front to back; once it is used up every read answers 0.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return offset_ >= size_; }
    std::uint8_t Byte() { return done() ? 0 : data_[offset_++]; }
    std::int32_t Int32();
    VelmoraWord Word();
    std::string Text(std::size_t maxLength);

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

// Reports what went wrong and ends the run as a crash, so libFuzzer keeps the input.
[[noreturn]] void Fail(const std::string& what);

// Writes a line to standard error when VELMORA_FUZZ_TRACE is set, to follow what an input
// does while turning it into a test.
void Trace(const std::string& line);

}  // namespace velmora::fuzz

#define FUZZ_CHECK(condition, what)                                                     \
    do {                                                                                \
        if (!(condition)) ::velmora::fuzz::Fail(std::string(#condition ": ") + (what)); \
    } while (false)
