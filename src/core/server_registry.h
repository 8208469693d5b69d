// The server registry: which type serves each registered server, one entry per server ID,
// held in one flat hash map so that a lookup costs about one cache miss however many
// servers there are. Nothing depends on the order servers were registered in. Lookups
// are safe on any thread while the registry changes; changes come one at a time.
#pragma once

#include "core/flat_int_map.h"
#include "types/records.h"

#include <optional>

namespace velmora {

class ServerRegistry {
public:
    std::optional<ServerEntry> Find(VelmoraInt serverId) const;
    // True with the server's type ID in typeId, or false.
    bool TypeOf(VelmoraInt serverId, VelmoraInt& typeId) const { return typeOf_.Find(serverId, typeId); }
    // Adds the entry unless its server ID is registered already; an earlier entry stays
    // as it is.
    void AddIfAbsent(const ServerEntry& entry);
    // Re-types the entry of the server ID, or adds one.
    void Put(const ServerEntry& entry);
    void Remove(VelmoraInt serverId);

private:
    FlatIntMap<VelmoraInt> typeOf_;
};

}  // namespace velmora
