// The records the library keeps in its two lists.
#pragma once

#include "plugin/server_type_dll.h"

#include <velmora/types.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace velmora {

// A length byte followed by up to Capacity bytes of text, no terminating zero.
template <std::size_t Capacity>
struct ShortString {
    static_assert(Capacity <= 255, "the length must fit its byte");

    std::uint8_t length = 0;
    char text[Capacity] = {};

    // Longer texts are cut to the capacity. An empty view may have no data to copy from.
    void Assign(std::string_view value) {
        length = static_cast<std::uint8_t>(std::min(value.size(), Capacity));
        if (length) std::memcpy(text, value.data(), length);
    }
    std::string_view View() const { return {text, length}; }
};

constexpr std::size_t kRecordTextCapacity = 50;

// One discovered plug-in. A record never changes once it is in the table; the table
// shares it with every call in flight, so a rebuilt table cannot free it under them.
struct ServerTypeRecord {
    std::uint8_t flag = 0;  // 1 once the record is complete
    VelmoraInt typeId = 0;
    std::unique_ptr<TServerTypeDLL> plugin;
    ShortString<kRecordTextCapacity> fileName;
    ShortString<kRecordTextCapacity> displayName;
};

// One registered server: the type it is served by, kept as a type ID and resolved afresh
// against the server-type table at every use.
struct ServerEntry {
    VelmoraInt serverId = 0;
    VelmoraInt typeId = 0;
};

}  // namespace velmora
