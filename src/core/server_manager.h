// The library's state for the life of the process, and the work behind every export.
//
// Any export may run on any thread at any time. Changes to the state are serialised by one
// lock that is never held while plug-in code, a host callback or the dialog runs, so code
// that calls back into the library, on the same thread or another, cannot deadlock. The
// type table is replaced whole, never changed in place: a call in flight keeps the table
// and the records it started with.
//
// A per-server call takes no lock and writes no shared memory: it reads the registry and,
// for its entry point, a map from type ID to that entry point's address in the type's
// plug-in, maps that readers may probe while a change is under way (core/flat_int_map.h).
// Plug-in libraries are never unloaded, so an address found stays callable.
#pragma once

#include "core/run_log.h"
#include "core/server_registry.h"
#include "core/server_types.h"

#include <velmora/velmora.h>

#include <array>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

namespace velmora {

class ServerManager {
public:
    // Discovers the plug-ins (the given directory, then the executable's, the system
    // and the Windows directory, until one yields a plug-in) and initialises them.
    VelmoraInt InitSvManage(const VelmoraInitParams* params, VelmoraWord application);
    // Shuts every plug-in down; changes nothing else.
    VelmoraInt DeInitSvManage();

    // Registry changes; each waits for the plug-in's success (a result above 0).
    VelmoraInt AddServer(VelmoraInt serverId);
    VelmoraInt DelServer(VelmoraInt serverId);
    VelmoraInt LoginServer(VelmoraLoginRecord* record);
    void SetSelectServerCallBack(VelmoraSelectServerCallBack callback, VelmoraWord user);

    // Queries over the whole server-type table.
    VelmoraInt GetServerTypeInfo(VelmoraServerTypeCallBack callback, VelmoraWord user) const;
    VelmoraInt GetServerTypeID(const char* name) const;
    VelmoraInt SetSvMsgCallBack(VelmoraWord w1, VelmoraWord w2) const;

    // A per-server call: the plug-in of the server's type gets the arguments and its
    // result comes back unchanged; -1 for an unknown server, a type not in the table or
    // an entry point the plug-in lacks. With the log off, the only cost the log adds is
    // one load and a branch that always goes the same way.
    template <EntryPoint E, typename... Args>
    VelmoraInt Forward(VelmoraInt serverId, Args... args) const {
        const auto entry = EntryOfServer<E>(serverId);
        return entry ? (runlog::NotingCalls() ? CallNoted(E, entry, args...) : entry(args...))
                     : NotForwarded(serverId, E);
    }

    std::shared_ptr<const ServerTypeTable> serverTypes() const;
    std::string pluginDirectory() const;

private:
    // Scans one directory, making the table empty first and the scan's result afterwards;
    // why tells the log why this directory is tried.
    std::shared_ptr<const ServerTypeTable> ScanFrom(const std::string& directory,
                                                    const std::string& pluginPath, const char* why);
    // Makes the table current, for walks and for per-server calls. Under the lock.
    void PublishTypes(std::shared_ptr<const ServerTypeTable> table);
    // The answer of a per-server call that reached no plug-in, told to the verbose log.
    [[gnu::cold, gnu::noinline]] VelmoraInt NotForwarded(VelmoraInt serverId, EntryPoint entry) const;
    // A per-server call with the entry point noted for the crash line.
    template <typename Function, typename... Args>
    [[gnu::cold, gnu::noinline]] static VelmoraInt CallNoted(EntryPoint entry, Function function, Args... args) {
        const runlog::CallNote note(kEntryPoints[IndexOf(entry)].name, reinterpret_cast<const void*>(function));
        return function(args...);
    }
    ServerTypeRecordPtr RecordOfServer(VelmoraInt serverId) const;
    // The entry point of the plug-in serving the server, or null. The call on every server
    // goes through here: two lookups that neither lock nor write.
    template <EntryPoint E>
    typename EntryPointFunction<E>::Type EntryOfServer(VelmoraInt serverId) const {
        VelmoraInt typeId = 0;
        platform::Symbol entry = nullptr;
        if (!registry_.TypeOf(serverId, typeId) || !entryOfType_[IndexOf(E)].Find(typeId, entry)) return nullptr;
        return EntryFunction<E>(entry);
    }

    mutable std::shared_mutex mutex_;
    std::shared_ptr<const ServerTypeTable> types_ = std::make_shared<const ServerTypeTable>();
    ServerRegistry registry_;
    // Per entry point, its address in the first plug-in of each type of types_ (null when
    // that plug-in lacks it). One small map per entry point keeps the lines a call reads
    // few: a host calling one export over many types touches only that export's map.
    std::array<FlatIntMap<platform::Symbol>, kEntryPointCount> entryOfType_;
    VelmoraSelectServerCallBack selectCallback_ = nullptr;
    VelmoraWord selectUser_ = 0;
    std::string pluginDirectory_;
    // These builds have no GUI framework, so the library's own application object is
    // null; the host's replaces it once the host passes one.
    VelmoraWord currentApplication_ = 0;
};

// The text of a length-prefixed field: its first length bytes, cut at the first zero.
std::string ShortStringText(const unsigned char (&field)[256]);

// The directory part of a full file name, up to and including its last delimiter.
std::string DirectoryPart(const std::string& fileName);

}  // namespace velmora
