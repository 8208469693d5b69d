// Owns one dynamic-library handle.
#pragma once

#include "platform/platform.h"

#include <string>

namespace velmora {

// Destroying a TDllLoad does not release its library: plug-in code may still be running
// or referenced from elsewhere, so a plug-in stays loaded for the life of the process.
// Only LoadDll over an already held handle gives the old one back.
class TDllLoad {
public:
    TDllLoad() = default;
    TDllLoad(const TDllLoad&) = delete;
    TDllLoad& operator=(const TDllLoad&) = delete;

    void LoadDll(const std::string& path);
    platform::Symbol GetProc(const char* name) const;
    void FreeDll();

    platform::ModuleHandle handle() const { return handle_; }

private:
    platform::ModuleHandle handle_ = nullptr;
};

}  // namespace velmora
