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

// The addresses of a plug-in's entry points, in the order of the entry-point table; null
// for one the plug-in lacks.
using EntryPointArray = std::array<platform::Symbol, kEntryPointCount>;

// An entry point's address as the function it is.
template <EntryPoint E>
typename EntryPointFunction<E>::Type EntryFunction(platform::Symbol entry) {
    return reinterpret_cast<typename EntryPointFunction<E>::Type>(entry);
}

class TServerTypeDLL {
public:
    TServerTypeDLL() = default;
    virtual ~TServerTypeDLL() { Unbind(); }
    TServerTypeDLL(const TServerTypeDLL&) = delete;
    TServerTypeDLL& operator=(const TServerTypeDLL&) = delete;

    // Drops the loader; the library itself stays loaded.
    void Unbind() { loader_.reset(); }

    // Loads the file through a fresh loader and finds its GetServerTypeID. False when the
    // file does not load or lacks it.
    bool Load(const std::string& path);
    // Asks the loaded plug-in for its type ID and keeps the answer.
    void AskTypeId() { typeId_ = Call<EntryPoint::GetServerTypeID>(); }
    // Load, then AskTypeId. False when the file does not load or lacks GetServerTypeID;
    // the type ID then keeps its old value.
    bool Probe(const std::string& path) {
        if (!Load(path)) return false;
        AskTypeId();
        return true;
    }

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
        return EntryFunction<E>(entries_[IndexOf(E)]);
    }
    const EntryPointArray& entries() const { return entries_; }

    bool Has(EntryPoint entry) const { return entries_[IndexOf(entry)] != nullptr; }
    VelmoraInt typeId() const { return typeId_; }

private:
    void Resolve(EntryPoint entry) { entries_[IndexOf(entry)] = loader_->GetProc(kEntryPoints[IndexOf(entry)].name); }

    std::unique_ptr<TDllLoad> loader_;
    VelmoraInt typeId_ = 0;
    EntryPointArray entries_{};
};

}  // namespace velmora
