#include "core/server_registry.h"

namespace velmora {

std::optional<ServerEntry> ServerRegistry::Find(VelmoraInt serverId) const {
    const auto found = index_.find(serverId);
    if (found == index_.end()) return std::nullopt;
    return *found->second;
}

void ServerRegistry::AddIfAbsent(const ServerEntry& entry) {
    if (index_.count(entry.serverId)) return;
    index_.emplace(entry.serverId, entries_.insert(entries_.end(), entry));
}

void ServerRegistry::Put(const ServerEntry& entry) {
    const auto found = index_.find(entry.serverId);
    if (found == index_.end())
        index_.emplace(entry.serverId, entries_.insert(entries_.end(), entry));
    else
        found->second->typeId = entry.typeId;
}

void ServerRegistry::Remove(VelmoraInt serverId) {
    const auto found = index_.find(serverId);
    if (found == index_.end()) return;
    entries_.erase(found->second);
    index_.erase(found);
}

}  // namespace velmora
