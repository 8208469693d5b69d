// Linux has no dialog of its own: without a selection callback no type is chosen.
#include "ui/select_server_dialog.h"

namespace velmora {

VelmoraInt ShowSelectServerDialog(const std::vector<std::string>&) { return -1; }

}  // namespace velmora
