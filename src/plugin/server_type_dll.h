// The binding of one plug-in library: its reported type ID and its entry points.
#pragma once

#include "plugin/dll_load.h"
#include "plugin/entry_point_table.h"

#include <velmora/velmora.h>

#include <array>
#include <memory>
#include <string>

namespace velmora {

// Answer of a call whose entry point the plug-in does not export.
constexpr VelmoraInt kMissingEntryPoint = VELMORA_NOT_FOUND;

class TServerTypeDLL {
public:
    TServerTypeDLL() = default;
    virtual ~TServerTypeDLL() { Unbind(); }
    TServerTypeDLL(const TServerTypeDLL&) = delete;
    TServerTypeDLL& operator=(const TServerTypeDLL&) = delete;

    // Drops the loader; the library itself stays loaded.
    void Unbind() { loader_.reset(); }

    // Loads the file through a fresh loader and asks it for its type ID. False when the
    // file does not load or lacks GetServerTypeID; the type ID then keeps its old value.
    bool Probe(const std::string& path);

    // Probes the file again and, if it passes, resolves the other entry points (a
    // missing one stays null).
    void Bind(const std::string& path);

    // Hands the plug-in its path text, valid during the call only. Whatever the plug-in
    // answers is ignored.
    void SetPath(const char* text) const { Call<EntryPoint::SetPath>(text); }

    // The call wrapper of every entry point: the arguments reach the plug-in unchanged
    // and in order, and its result comes back unchanged; -1 without a call when the
    // plug-in lacks the entry point.
    template <EntryPoint E, typename... Args>
    VelmoraInt Call(Args... args) const {
        const auto entry = Entry<E>();
        return entry ? entry(args...) : kMissingEntryPoint;
    }

    // The entry point's address, null when the plug-in lacks it. The plug-in library is
    // never unloaded, so the address stays callable after this object is gone.
    template <EntryPoint E>
    typename EntryPointFunction<E>::Type Entry() const {
        return reinterpret_cast<typename EntryPointFunction<E>::Type>(entries_[IndexOf(E)]);
    }

    bool Has(EntryPoint entry) const { return entries_[IndexOf(entry)] != nullptr; }
    VelmoraInt typeId() const { return typeId_; }

private:
    void Resolve(EntryPoint entry) { entries_[IndexOf(entry)] = loader_->GetProc(kEntryPoints[IndexOf(entry)].name); }

    std::unique_ptr<TDllLoad> loader_;
    VelmoraInt typeId_ = 0;
    std::array<platform::Symbol, kEntryPointCount> entries_{};
};

}  // namespace velmora
