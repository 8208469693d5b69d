/* Velmora host interface: the library's exports and the blocks they take.
 *
 * Results: -1 means no such server, no such type or entry point missing (and cannot be
 * told from a plug-in's own -1); otherwise a per-server call hands back the plug-in's
 * result unchanged. */
#ifndef VELMORA_VELMORA_H
#define VELMORA_VELMORA_H

#include "types.h"

#if defined(_WIN32)
#define VELMORA_API
#else
#define VELMORA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Initialisation block: two short strings, a length byte (0...255) followed by that many
 * bytes of text; the text ends early at a zero byte. pluginPath is handed to every
 * plug-in, pluginDirectory names the first directory searched for plug-ins. */
typedef struct VelmoraInitParams {
    unsigned char pluginPath[256];
    unsigned char pluginDirectory[256];
} VelmoraInitParams;

/* The leading fields of the login record; the rest belongs to host and plug-in. */
typedef struct VelmoraLoginRecord {
    VelmoraInt serverId;
    VelmoraInt typeId;
} VelmoraLoginRecord;

/* Called once per server type by Velmora_GetServerTypeInfo; name is valid during the call. */
typedef void(VELMORA_CALL *VelmoraServerTypeCallBack)(VelmoraInt typeId, const char *name,
                                                       VelmoraWord user);
/* Chooses the type of a server being added in place of the dialog: receives the display
 * names (valid during the call) and answers an index, anything else meaning no choice. */
typedef VelmoraInt(VELMORA_CALL *VelmoraSelectServerCallBack)(VelmoraInt count,
                                                              const char *const *names,
                                                              VelmoraWord user);

/* Lifecycle. */
VELMORA_API VelmoraInt VELMORA_CALL Velmora_InitSvManage(const VelmoraInitParams *params,
                                                         VelmoraWord application);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_DeInitSvManage(void);

/* Registry: -2 for an ID already registered; Velmora_DelServer answers 1 for an unknown
 * server or type; otherwise the plug-in's result, above 0 meaning success. */
VELMORA_API VelmoraInt VELMORA_CALL Velmora_AddServer(VelmoraInt server);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_DelServer(VelmoraInt server);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_LoginServer(VelmoraLoginRecord *record);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_SetSelectServerCallBack(
    VelmoraSelectServerCallBack callback, VelmoraWord user);

/* Server types: the first and the last always answer -1. */
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetServerTypeInfo(VelmoraServerTypeCallBack callback,
                                                              VelmoraWord user);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetServerTypeID(const char *name);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_SetSvMsgCallBack(VelmoraWord w1, VelmoraWord w2);

/* Per-server calls, handed to the plug-in of the server's type. */
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetHeader(VelmoraInt server, VelmoraWord w2,
                                                      VelmoraWord w3, VelmoraWord w4);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_ChangeServer(VelmoraInt server);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_ChangeChannel(VelmoraInt server, VelmoraWord w2);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetSvChInfo(VelmoraInt server, VelmoraWord w2,
                                                        VelmoraWord w3);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetChannelInfo(VelmoraInt server, VelmoraWord w2,
                                                           VelmoraWord w3);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetServerInfo(VelmoraInt server, VelmoraWord w2);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_LoadPreInfo(VelmoraInt server, VelmoraWord w2,
                                                        VelmoraWord w3, VelmoraWord w4);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GoToPreset(VelmoraInt server, VelmoraWord w2,
                                                       VelmoraWord w3);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_DelPreset(VelmoraInt server, VelmoraWord w2,
                                                      VelmoraWord w3);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_SetPreset(VelmoraInt server, VelmoraWord w2,
                                                      VelmoraWord w3, VelmoraWord w4);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_PTZControl(VelmoraInt server, VelmoraWord w2,
                                                       VelmoraWord w3, VelmoraWord w4,
                                                       VelmoraWord w5);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetProtocolInfo(VelmoraInt server, VelmoraWord w2,
                                                            VelmoraWord w3);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_StartGetVideoData(VelmoraInt server, VelmoraWord w2,
                                                              VelmoraWord w3, VelmoraWord w4);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_StopGetVideoData(VelmoraInt server, VelmoraWord w2);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_GetCapFileList(VelmoraInt server, VelmoraWord w2,
                                                           VelmoraWord w3, VelmoraBlock24 blockA,
                                                           VelmoraBlock24 blockB, VelmoraWord w16,
                                                           VelmoraWord w17);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_StartPlay(VelmoraInt server, VelmoraWord w2,
                                                      VelmoraWord w3, VelmoraWord w4,
                                                      VelmoraWord w5, VelmoraWord w6);
/* The server ID of these three only finds the plug-in; it is not passed on. */
VELMORA_API VelmoraInt VELMORA_CALL Velmora_StopPlay(VelmoraInt server, VelmoraWord w2);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_PlayCtrl(VelmoraInt server, VelmoraWord w2,
                                                     VelmoraWord w3, VelmoraWord w4,
                                                     VelmoraWord w5);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_StartCapture(VelmoraInt server, VelmoraWord w2,
                                                         VelmoraWord w3);
VELMORA_API VelmoraInt VELMORA_CALL Velmora_StopCapture(VelmoraInt server, VelmoraWord w2);

#ifdef __cplusplus
}
#endif

#endif
