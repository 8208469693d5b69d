// The select-server dialog of the windowing system, where there is one.
#pragma once

#include <velmora/types.h>

#include <string>
#include <vector>

namespace velmora {

// Shows the names (code-page-936 bytes; an empty name is an item like any other) in a modal
// dialog and answers the index the user confirmed with OK, or -1. Builds without a
// windowing system answer -1 at once.
VelmoraInt ShowSelectServerDialog(const std::vector<std::string>& names);

}  // namespace velmora
