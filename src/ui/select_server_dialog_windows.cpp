// The select-server dialog of the Windows builds (placeholder until the dialog lands).
#include "ui/select_server_dialog.h"

namespace velmora {

VelmoraInt ShowSelectServerDialog(const std::vector<std::string>&) { return -1; }

}  // namespace velmora
