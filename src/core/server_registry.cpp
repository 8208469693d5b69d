#include "core/server_registry.h"

#include <algorithm>

namespace velmora {

namespace {

template <typename Entries>
auto Locate(Entries& entries, VelmoraInt serverId) {
    return std::find_if(entries.begin(), entries.end(),
                        [serverId](const ServerEntry& entry) { return entry.serverId == serverId; });
}

}  // namespace

std::optional<ServerEntry> ServerRegistry::Find(VelmoraInt serverId) const {
    const auto found = Locate(entries_, serverId);
    if (found == entries_.end()) return std::nullopt;
    return *found;
}

void ServerRegistry::AddIfAbsent(const ServerEntry& entry) {
    if (Locate(entries_, entry.serverId) == entries_.end()) entries_.push_back(entry);
}

void ServerRegistry::Put(const ServerEntry& entry) {
    const auto found = Locate(entries_, entry.serverId);
    if (found == entries_.end())
        entries_.push_back(entry);
    else
        found->typeId = entry.typeId;
}

void ServerRegistry::Remove(VelmoraInt serverId) {
    const auto found = Locate(entries_, serverId);
    if (found != entries_.end()) entries_.erase(found);
}

}  // namespace velmora
