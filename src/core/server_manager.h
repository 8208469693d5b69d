// The library's state for the life of the process and the lifecycle exports.
#pragma once

#include "core/server_registry.h"
#include "core/server_types.h"

#include <velmora/velmora.h>

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
    VelmoraInt GetServerTypeInfo(VelmoraServerTypeCallBack callback, VelmoraWord user);
    VelmoraInt GetServerTypeID(const char* name) const;
    VelmoraInt SetSvMsgCallBack(VelmoraWord w1, VelmoraWord w2);

    // A per-server call: the plug-in of the server's type gets the arguments and its
    // result comes back unchanged; -1 for an unknown server, a type not in the table or
    // an entry point the plug-in lacks.
    template <EntryPoint E, typename... Args>
    VelmoraInt Forward(VelmoraInt serverId, Args... args) const {
        const auto entry = registry_.Find(serverId);
        if (!entry) return -1;
        const auto record = FindServerType(types_, entry->typeId);
        if (!record) return -1;
        return record->plugin->Call<E>(args...);
    }

    const ServerTypeTable& serverTypes() const { return types_; }
    const std::string& pluginPath() const { return pluginPath_; }
    const std::string& pluginDirectory() const { return pluginDirectory_; }
    VelmoraWord currentApplication() const { return currentApplication_; }

private:
    void ScanFrom(const std::string& directory);

    ServerTypeTable types_;
    ServerRegistry registry_;
    VelmoraSelectServerCallBack selectCallback_ = nullptr;
    VelmoraWord selectUser_ = 0;
    std::string pluginPath_;
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
