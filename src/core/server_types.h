// The server-type table: one record per discovered plug-in, in discovery order.
#pragma once

#include "types/records.h"

#include <memory>
#include <string>
#include <vector>

namespace velmora {

using ServerTypeTable = std::vector<std::shared_ptr<const ServerTypeRecord>>;

// The user-visible name of a type ID, as code-page-936 bytes; empty for unknown IDs.
std::string GetTypeDisplayName(VelmoraInt typeId);

// The first record of the type ID in table order, or null.
std::shared_ptr<const ServerTypeRecord> FindServerType(const ServerTypeTable& table,
                                                       VelmoraInt typeId);

// Builds a table from the plug-in files of directory, handing pluginPath to each plug-in
// it binds. A candidate that cannot be loaded, lacks GetServerTypeID or faults while it
// is examined is passed over; the scan goes on with the next file.
ServerTypeTable ScanPluginDirectory(const std::string& directory, const std::string& pluginPath);

}  // namespace velmora
