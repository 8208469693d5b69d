#include "plugin/server_type_dll.h"

namespace velmora {

bool TServerTypeDLL::Load(const std::string& path) {
    Unbind();
    loader_ = std::make_unique<TDllLoad>();
    loader_->LoadDll(path);
    Resolve(EntryPoint::GetServerTypeID);
    return Has(EntryPoint::GetServerTypeID);
}

void TServerTypeDLL::Bind(const std::string& path) {
    if (!Probe(path)) return;
    for (std::size_t i = 0; i < kEntryPointCount; ++i) {
        const auto entry = static_cast<EntryPoint>(i);
        if (entry != EntryPoint::GetServerTypeID) Resolve(entry);
    }
}

}  // namespace velmora
