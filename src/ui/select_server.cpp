#include "ui/select_server.h"

#include "ui/select_server_dialog.h"

namespace velmora {

VelmoraInt SelectServerType(const std::vector<std::string>& names,
                            VelmoraSelectServerCallBack callback, VelmoraWord user) {
    if (!callback) return ShowSelectServerDialog(names);
    std::vector<const char*> texts;
    texts.reserve(names.size());
    for (const std::string& name : names) texts.push_back(name.c_str());
    const auto count = static_cast<VelmoraInt>(texts.size());
    const VelmoraInt chosen = callback(count, texts.data(), user);
    return chosen >= 0 && chosen < count ? chosen : -1;
}

}  // namespace velmora
