// The plug-in entry points as C++ sees them: an index per entry point, its name, whether
// it is required, and its function type, all generated from the one table of
// <velmora/entry_points.h>.
#pragma once

#include <velmora/entry_points.h>

#include <array>
#include <cstddef>

namespace velmora {

enum class EntryPoint : std::size_t {
#define VELMORA_ENTRY_ENUM(name, requirement, parameters) name,
    VELMORA_ENTRY_POINTS(VELMORA_ENTRY_ENUM)
#undef VELMORA_ENTRY_ENUM
};

enum class Requirement { REQUIRED, OPTIONAL };

struct EntryPointInfo {
    const char* name;
    Requirement requirement;
};

inline constexpr EntryPointInfo kEntryPoints[] = {
#define VELMORA_ENTRY_INFO(name, requirement, parameters) {#name, Requirement::requirement},
    VELMORA_ENTRY_POINTS(VELMORA_ENTRY_INFO)
#undef VELMORA_ENTRY_INFO
};

inline constexpr std::size_t kEntryPointCount = std::size(kEntryPoints);

constexpr std::size_t IndexOf(EntryPoint entry) { return static_cast<std::size_t>(entry); }

template <EntryPoint E>
struct EntryPointFunction;
#define VELMORA_ENTRY_FUNCTION(name, requirement, parameters) \
    template <>                                               \
    struct EntryPointFunction<EntryPoint::name> {             \
        using Type = VelmoraEntry_##name;                     \
    };
VELMORA_ENTRY_POINTS(VELMORA_ENTRY_FUNCTION)
#undef VELMORA_ENTRY_FUNCTION

}  // namespace velmora
