// Choosing the type of a server being added.
#pragma once

#include <velmora/velmora.h>

#include <string>
#include <vector>

namespace velmora {

// The index into names the user confirmed, or -1. With a callback installed the host
// chooses through it; otherwise the select-server dialog asks the user.
VelmoraInt SelectServerType(const std::vector<std::string>& names,
                            VelmoraSelectServerCallBack callback, VelmoraWord user);

}  // namespace velmora
