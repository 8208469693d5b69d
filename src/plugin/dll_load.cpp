#include "plugin/dll_load.h"

namespace velmora {

void TDllLoad::LoadDll(const std::string& path) {
    if (handle_) FreeDll();
    handle_ = platform::OpenModule(path);
}

platform::Symbol TDllLoad::GetProc(const char* name) const {
    return platform::FindSymbol(handle_, name);
}

void TDllLoad::FreeDll() {
    platform::CloseModule(handle_);
    handle_ = nullptr;
}

}  // namespace velmora
