/* The sample plug-in, QXDVRSample: a simulated network video server of type ID 0.
 *
 * It is where a plug-in author starts (sample_plugin.cpp beside this header) and what a
 * host can try Velmora with. This header is for hosts: it says what each entry point of
 * the sample reads from its opaque words and what it answers. Velmora hands every word on
 * unchanged, so a word described as "the address of" something is a pointer the host
 * casts to VelmoraWord; the plug-in writes through it before the call returns.
 *
 * Type name: type ID 0 has a built-in display name, so the sample leaves out
 * GetServerTypeName(buffer, capacity), the entry point by which a plug-in of any other
 * type names its type: it writes the zero-terminated code page 936 name into buffer (at
 * most capacity bytes with the terminator) and answers its length, or 0 for no name.
 * Velmora asks for it once while discovering a plug-in whose type ID has no built-in name,
 * never for types 0, 1 and 2 (docs/plugin-guide.md).
 *
 * Results: above 0 is success, 0 is failure (an unknown server, handle, channel or preset,
 * a null address, a buffer too small, a value out of range). Through Velmora, -1 still
 * means that Velmora itself found no server or type.
 *
 * Simulated server: SAMPLE_CHANNEL_COUNT channels, of which the first two have a PTZ
 * camera; every channel has recorded one file per hour, on the hour, all hour long.
 * Servers are known once added (AddServer) or logged in (LoginServer) and forgotten by
 * DelServer; a server ID the plug-in does not know makes every per-server call fail.
 * Calls may come from any thread.
 */
#ifndef VELMORA_SAMPLE_PLUGIN_H
#define VELMORA_SAMPLE_PLUGIN_H

#include <velmora/types.h>

#define SAMPLE_TYPE_ID 0
#define SAMPLE_CHANNEL_COUNT 4
#define SAMPLE_PTZ_CHANNEL_COUNT 2 /* channels 1 and 2 */
#define SAMPLE_PRESET_COUNT 16     /* preset numbers 1...16 on each PTZ channel */
#define SAMPLE_TEXT 32             /* size of the short text fields, zero included */

/* Dates and times of the simulated server, local time. */
typedef struct SampleTime {
    VelmoraInt year, month, day, hour, minute, second;
} SampleTime;

/* ---- Messages -------------------------------------------------------------------------
 * SetSvMsgCallBack(w1 = the address of a SampleMessageCallBack, or 0 for none,
 *                  w2 = a user value handed back with every message); answers 1.
 * The callback runs on the thread of the call that caused the message, before that call
 * returns (and without any lock of the plug-in held, so it may call back). */
#define SAMPLE_MSG_ADDED 1     /* AddServer took the server */
#define SAMPLE_MSG_LOGGED_IN 2 /* LoginServer logged it in */
#define SAMPLE_MSG_DELETED 3   /* DelServer forgot it */
typedef void(VELMORA_CALL *SampleMessageCallBack)(VelmoraInt server, VelmoraInt message,
                                                  VelmoraWord user);

/* ---- Servers --------------------------------------------------------------------------
 * AddServer(server): takes the server, not logged in; answers 1, also for one it knows.
 * DelServer(server): forgets it, ending its streams, playbacks and captures; answers 0 for
 *   a server it does not know (Velmora then keeps the server registered).
 * ChangeServer(server): reconnects; answers 1 for a known server.
 * LoginServer(record = the address of a SampleLoginRecord): logs the server in and
 *   answers 1; 0 when the user name is empty. A server ID of 0 asks the plug-in for a new
 *   ID, which it writes into the record (Velmora registers what the record holds after
 *   the call). */
typedef struct SampleLoginRecord {
    VelmoraInt serverId; /* these two are Velmora's VelmoraLoginRecord */
    VelmoraInt typeId;
    char address[64];
    VelmoraInt port;
    char user[SAMPLE_TEXT];
    char password[SAMPLE_TEXT];
} SampleLoginRecord;

/* GetServerInfo(server, w2 = the address of a SampleServerInfo). */
typedef struct SampleServerInfo {
    VelmoraInt serverId;
    VelmoraInt loggedIn;       /* 1 once logged in, 0 for a server only added */
    VelmoraInt channelCount;   /* SAMPLE_CHANNEL_COUNT */
    VelmoraInt currentChannel; /* 1 at first, then as ChangeChannel chose */
    VelmoraInt port;           /* from the login record, 0 for an added server */
    char address[64];          /* from the login record, "" for an added server */
    char model[SAMPLE_TEXT];
    char firmware[SAMPLE_TEXT];
} SampleServerInfo;

/* ---- Channels -------------------------------------------------------------------------
 * Channels are numbered 1...SAMPLE_CHANNEL_COUNT.
 * GetSvChInfo(server, w2 = the address of an array of SampleChannelInfo,
 *             w3 = how many it holds): fills as many as fit; answers the channel count.
 * GetChannelInfo(server, w2 = channel, w3 = the address of a SampleChannelInfo).
 * ChangeChannel(server, w2 = channel): makes it the server's current channel. */
typedef struct SampleChannelInfo {
    VelmoraInt channel;
    VelmoraInt width, height, framesPerSecond;
    VelmoraInt hasPtz;          /* 1 for channels 1 and 2 */
    VelmoraInt pan, tilt, zoom; /* where the PTZ camera points: -180...180, -90...90, 1...32 */
    char name[SAMPLE_TEXT];
} SampleChannelInfo;

/* GetHeader(server, w2 = channel, w3 = the address of a buffer, w4 = its size in bytes):
 *   writes the channel's SampleStreamHeader; answers its size, 0 when it does not fit.
 * GetProtocolInfo(server, w2 = the address of a text buffer, w3 = its size): writes a
 *   zero-terminated description of the protocol; answers its length, 0 when it does not fit.
 * StartGetVideoData(server, w2 = channel, w3 = a window handle or 0, w4 = reserved, 0):
 *   starts the live stream; answers its handle. The sample draws nothing.
 * StopGetVideoData(server, w2 = a handle StartGetVideoData gave for that server). */
typedef struct SampleStreamHeader {
    char magic[4]; /* "SMPL" */
    VelmoraInt channel, width, height, framesPerSecond;
} SampleStreamHeader;

/* ---- PTZ and presets ------------------------------------------------------------------
 * PTZControl(server, w2 = channel, w3 = a SAMPLE_PTZ_ command, w4 = speed 1...8,
 *            w5 = reserved, 0): moves the camera by speed degrees (zoom: steps).
 * SetPreset(server, w2 = channel, w3 = preset number, w4 = the address of a
 *           zero-terminated name, or 0): stores where the camera points now.
 * GoToPreset(server, w2 = channel, w3 = preset number): moves the camera there.
 * DelPreset(server, w2 = channel, w3 = preset number): forgets it.
 * LoadPreInfo(server, w2 = channel, w3 = the address of an array of SamplePresetInfo,
 *             w4 = how many it holds): fills as many as fit, by number; answers how many
 *             presets the channel has, which may be 0. */
#define SAMPLE_PTZ_UP 1
#define SAMPLE_PTZ_DOWN 2
#define SAMPLE_PTZ_LEFT 3
#define SAMPLE_PTZ_RIGHT 4
#define SAMPLE_PTZ_ZOOM_IN 5
#define SAMPLE_PTZ_ZOOM_OUT 6
#define SAMPLE_PTZ_STOP 7
typedef struct SamplePresetInfo {
    VelmoraInt number;
    VelmoraInt pan, tilt, zoom;
    char name[SAMPLE_TEXT];
} SamplePresetInfo;

/* ---- Recordings -----------------------------------------------------------------------
 * GetCapFileList(server, w2 = channel, w3 = reserved, 0,
 *                blockA = start time, blockB = end time,
 *                w16 = the address of an array of SampleRecordFile, w17 = how many it holds):
 *   each block is the 24 bytes of a SampleTime (six 32-bit integers in the machine's byte
 *   order; SampleTimeToBlock below). Lists the files of the channel that overlap
 *   [start, end), oldest first, as many as fit; answers how many there are, 0 when there
 *   are none or the times are not valid (years 1970...9999) or not in order. */
typedef struct SampleRecordFile {
    char name[SAMPLE_TEXT]; /* "ch1_20240501_0800.smp": channel, date, hour */
    SampleTime start;
    SampleTime end; /* one hour after start */
    VelmoraInt channel;
    VelmoraInt sizeKiB;
} SampleRecordFile;

/* ---- Playback and capture -------------------------------------------------------------
 * StartPlay(server, w2 = channel, w3 = the address of a file name GetCapFileList gave for
 *           that channel, w4 = a window handle or 0, w5 = reserved, w6 = reserved):
 *   answers a playback handle. The playback is paused at the start of the file at normal
 *   speed; the simulation moves only when told.
 * PlayCtrl(w2 = playback handle, w3 = a SAMPLE_PLAY_ command, w4 = its value,
 *          w5 = the address of a VelmoraInt for the answer of the SAMPLE_PLAY_GET_ commands).
 * StopPlay(w2 = playback handle).
 * StartCapture(server, w2 = channel, w3 = the address of the zero-terminated name of the
 *              file to record into): answers a capture handle. The sample writes nothing.
 * StopCapture(w2 = capture handle).
 * Handles of every kind are unique in the process, so a handle of one kind is refused
 * where another is expected. */
#define SAMPLE_PLAY_PAUSE 1
#define SAMPLE_PLAY_RESUME 2
#define SAMPLE_PLAY_SPEED 3        /* value: 1, 2, 4 or 8 times normal speed */
#define SAMPLE_PLAY_SEEK 4         /* value: seconds from the file's start, 0...3599 */
#define SAMPLE_PLAY_GET_POSITION 5 /* writes the position in seconds to *w5 */
#define SAMPLE_PLAY_GET_SPEED 6    /* writes the speed to *w5, 0 while paused */

#ifdef __cplusplus
#include <cstring>
static_assert(sizeof(SampleTime) == sizeof(VelmoraBlock24), "a time fills one block");

inline VelmoraBlock24 SampleTimeToBlock(const SampleTime& time) {
    VelmoraBlock24 block;
    std::memcpy(block.bytes, &time, sizeof block.bytes);
    return block;
}

inline SampleTime SampleTimeFromBlock(const VelmoraBlock24& block) {
    SampleTime time;
    std::memcpy(&time, block.bytes, sizeof time);
    return time;
}
#endif

#endif
