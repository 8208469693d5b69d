#include "core/server_registry.h"

namespace velmora {

std::optional<ServerEntry> ServerRegistry::Find(VelmoraInt serverId) const {
    VelmoraInt typeId;
    if (!TypeOf(serverId, typeId)) return std::nullopt;
    return ServerEntry{serverId, typeId};
}

void ServerRegistry::AddIfAbsent(const ServerEntry& entry) { typeOf_.Insert(entry.serverId, entry.typeId); }

void ServerRegistry::Put(const ServerEntry& entry) { typeOf_.Put(entry.serverId, entry.typeId); }

void ServerRegistry::Remove(VelmoraInt serverId) { typeOf_.Erase(serverId); }

}  // namespace velmora
