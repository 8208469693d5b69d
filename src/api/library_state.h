#pragma once

#include "core/server_manager.h"

namespace velmora {

// The one instance behind the exports, alive from load to unload.
ServerManager& Manager();

}  // namespace velmora
