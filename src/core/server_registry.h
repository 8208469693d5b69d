// The server registry: which type serves each registered server, in registration order,
// one entry per server ID, with an index so that a lookup never walks the list.
#pragma once

#include "types/records.h"

#include <list>
#include <optional>
#include <unordered_map>

namespace velmora {

class ServerRegistry {
public:
    std::optional<ServerEntry> Find(VelmoraInt serverId) const;
    // Appends the entry unless its server ID is registered already; an earlier entry stays
    // as it is.
    void AddIfAbsent(const ServerEntry& entry);
    // Re-types the entry of the server ID, or appends one.
    void Put(const ServerEntry& entry);
    void Remove(VelmoraInt serverId);

private:
    std::list<ServerEntry> entries_;
    std::unordered_map<VelmoraInt, std::list<ServerEntry>::iterator> index_;
};

}  // namespace velmora
