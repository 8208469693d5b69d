// The exported functions; each hands its work to the library's one ServerManager.
#include "api/library_state.h"

#include <velmora/velmora.h>

using velmora::EntryPoint;
using velmora::Manager;

// The per-server calls: X(name, parameters of the export, arguments the plug-in receives).
// Each export finds the plug-in by its server ID and forwards to the entry point of the
// same name.
#define VELMORA_FORWARDED_CALLS(X)                                                               \
    X(GetHeader, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3, VelmoraWord w4),            \
      (server, w2, w3, w4))                                                                      \
    X(ChangeServer, (VelmoraInt server), (server))                                               \
    X(ChangeChannel, (VelmoraInt server, VelmoraWord w2), (server, w2))                          \
    X(GetSvChInfo, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3), (server, w2, w3))        \
    X(GetChannelInfo, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3), (server, w2, w3))     \
    X(GetServerInfo, (VelmoraInt server, VelmoraWord w2), (server, w2))                          \
    X(LoadPreInfo, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3, VelmoraWord w4),          \
      (server, w2, w3, w4))                                                                      \
    X(GoToPreset, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3), (server, w2, w3))         \
    X(DelPreset, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3), (server, w2, w3))          \
    X(SetPreset, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3, VelmoraWord w4),            \
      (server, w2, w3, w4))                                                                      \
    X(PTZControl,                                                                                \
      (VelmoraInt server, VelmoraWord w2, VelmoraWord w3, VelmoraWord w4, VelmoraWord w5),       \
      (server, w2, w3, w4, w5))                                                                  \
    X(GetProtocolInfo, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3), (server, w2, w3))    \
    X(StartGetVideoData, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3, VelmoraWord w4),    \
      (server, w2, w3, w4))                                                                      \
    X(StopGetVideoData, (VelmoraInt server, VelmoraWord w2), (server, w2))                       \
    X(GetCapFileList,                                                                            \
      (VelmoraInt server, VelmoraWord w2, VelmoraWord w3, VelmoraBlock24 blockA,                 \
       VelmoraBlock24 blockB, VelmoraWord w16, VelmoraWord w17),                                 \
      (server, w2, w3, blockA, blockB, w16, w17))                                                \
    X(StartPlay,                                                                                 \
      (VelmoraInt server, VelmoraWord w2, VelmoraWord w3, VelmoraWord w4, VelmoraWord w5,        \
       VelmoraWord w6),                                                                          \
      (server, w2, w3, w4, w5, w6))                                                              \
    X(StopPlay, (VelmoraInt server, VelmoraWord w2), (w2))                                       \
    X(PlayCtrl,                                                                                  \
      (VelmoraInt server, VelmoraWord w2, VelmoraWord w3, VelmoraWord w4, VelmoraWord w5),       \
      (w2, w3, w4, w5))                                                                          \
    X(StartCapture, (VelmoraInt server, VelmoraWord w2, VelmoraWord w3), (server, w2, w3))       \
    X(StopCapture, (VelmoraInt server, VelmoraWord w2), (w2))

#define VELMORA_ARGUMENTS(...) __VA_ARGS__
#define VELMORA_DEFINE_FORWARDED_CALL(name, parameters, arguments)                  \
    VELMORA_API VelmoraInt VELMORA_CALL Velmora_##name parameters {                 \
        return Manager().Forward<EntryPoint::name>(server, VELMORA_ARGUMENTS arguments); \
    }

extern "C" {

VELMORA_API VelmoraInt VELMORA_CALL Velmora_InitSvManage(const VelmoraInitParams* params,
                                                         VelmoraWord application) {
    return Manager().InitSvManage(params, application);
}

VELMORA_API VelmoraInt VELMORA_CALL Velmora_DeInitSvManage() { return Manager().DeInitSvManage(); }

VELMORA_API VelmoraInt VELMORA_CALL Velmora_AddServer(VelmoraInt server) {
    return Manager().AddServer(server);
}

VELMORA_API VelmoraInt VELMORA_CALL Velmora_DelServer(VelmoraInt server) {
    return Manager().DelServer(server);
}

VELMORA_API VelmoraInt VELMORA_CALL Velmora_LoginServer(VelmoraLoginRecord* record) {
    return Manager().LoginServer(record);
}

VELMORA_API VelmoraInt VELMORA_CALL Velmora_SetSelectServerCallBack(
    VelmoraSelectServerCallBack callback, VelmoraWord user) {
    Manager().SetSelectServerCallBack(callback, user);
    return VELMORA_DONE;
}

VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetServerTypeInfo(VelmoraServerTypeCallBack callback,
                                                              VelmoraWord user) {
    return Manager().GetServerTypeInfo(callback, user);
}

VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetServerTypeID(const char* name) {
    return Manager().GetServerTypeID(name);
}

VELMORA_API VelmoraInt VELMORA_CALL Velmora_SetSvMsgCallBack(VelmoraWord w1, VelmoraWord w2) {
    return Manager().SetSvMsgCallBack(w1, w2);
}

VELMORA_FORWARDED_CALLS(VELMORA_DEFINE_FORWARDED_CALL)

}  // extern "C"
