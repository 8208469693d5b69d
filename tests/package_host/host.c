/* A host written in C against velmora.h, linked to the library as any host links it.
 *
 *     velmora-c-host PLUGIN_DIRECTORY
 *
 * The directory holds the C fixture plug-ins of the test build (tests/fixtures/c_plugin.c):
 * types 0 and 1 with every entry point, and type 7 with GetServerTypeID only. The host
 * initialises the library, lists the types through the callback, adds, logs in and deletes
 * servers, forwards every per-server call, shuts down, and checks every answer against
 * what those plug-ins compute from their arguments. Exits 1 on any mismatch. */
#include <velmora/velmora.h>

#include <stdio.h>
#include <string.h>

/* The plug-ins' answer: type ID, the entry point's place in the table, weighted arguments. */
#define ANSWER(typeId, position, sum) ((VelmoraInt)((typeId) * 100000 + (position) * 1000 + (sum)))

/* The blocks must keep their size and travel whole, so hosts of every language agree. */
typedef char InitParamsIs512Bytes[sizeof(VelmoraInitParams) == 512 ? 1 : -1];
typedef char LoginRecordIs8Bytes[sizeof(VelmoraLoginRecord) == 8 ? 1 : -1];
typedef char BlockIs24Bytes[sizeof(VelmoraBlock24) == 24 ? 1 : -1];

static int checks;
static int failures;

static void Expect(const char *what, long long got, long long want) {
    ++checks;
    if (got == want) return;
    ++failures;
    printf("MISMATCH %s: got %lld, want %lld\n", what, got, want);
}

struct TypeList {
    int count;
    VelmoraInt typeIds[8];
    char names[8][64];
    VelmoraWord user;
};

static void VELMORA_CALL ListType(VelmoraInt typeId, const char *name, VelmoraWord user) {
    struct TypeList *list = (struct TypeList *)user;
    list->user = user;
    if (list->count >= 8 || strlen(name) >= sizeof list->names[0]) {
        Expect("type list fits", 0, 1);
        return;
    }
    list->typeIds[list->count] = typeId;
    strcpy(list->names[list->count], name);
    ++list->count;
}

static const char *NameOf(const struct TypeList *list, VelmoraInt typeId) {
    int i;
    for (i = 0; i < list->count; ++i)
        if (list->typeIds[i] == typeId) return list->names[i];
    return NULL;
}

/* What the selection callback chooses: the type with this name. */
struct Choice {
    const char *wanted;
    int calls;
    VelmoraInt count;
};

static VelmoraInt VELMORA_CALL Choose(VelmoraInt count, const char *const *names, VelmoraWord user) {
    struct Choice *choice = (struct Choice *)user;
    VelmoraInt i;
    ++choice->calls;
    choice->count = count;
    for (i = 0; i < count; ++i)
        if (strcmp(names[i], choice->wanted) == 0) return i;
    return -1;
}

static void CheckShortString(void) {
    VelmoraInitParams params;
    char longText[301];
    int i;
    int rest;
    memset(&params, 0x55, sizeof params);
    memset(longText, 'x', 300);
    longText[300] = '\0';
    longText[254] = 'y';
    longText[255] = 'z';
    VelmoraSetShortString(params.pluginPath, longText);
    Expect("long text cut to 255 bytes", params.pluginPath[0], 255);
    Expect("last byte kept", params.pluginPath[255], 'y');
    Expect("byte 256 dropped", memcmp(params.pluginPath + 1, longText, 255), 0);
    VelmoraSetShortString(params.pluginDirectory, "abc");
    Expect("short text length", params.pluginDirectory[0], 3);
    Expect("short text bytes", memcmp(params.pluginDirectory + 1, "abc", 3), 0);
    for (i = 4, rest = 0; i < 256; ++i) rest |= params.pluginDirectory[i];
    Expect("rest zeroed", rest, 0);
    VelmoraSetShortString(params.pluginDirectory, NULL);
    Expect("no text", params.pluginDirectory[0], 0);
}

/* Every per-server call on a registered server of the given type. */
static void CheckForwarded(VelmoraInt s, VelmoraInt t) {
    VelmoraBlock24 blockA;
    VelmoraBlock24 blockB;
    int i;
    for (i = 0; i < 24; ++i) {
        blockA.bytes[i] = (unsigned char)i; /* sum 276 */
        blockB.bytes[i] = 2;                /* sum 48 */
    }
    Expect("GetHeader", Velmora_GetHeader(s, 2, 3, 4), ANSWER(t, 7, s + 4 + 9 + 16));
    Expect("ChangeServer", Velmora_ChangeServer(s), ANSWER(t, 10, s));
    Expect("GetSvChInfo", Velmora_GetSvChInfo(s, 2, 3), ANSWER(t, 11, s + 4 + 9));
    Expect("ChangeChannel", Velmora_ChangeChannel(s, 2), ANSWER(t, 12, s + 4));
    Expect("GetChannelInfo", Velmora_GetChannelInfo(s, 2, 3), ANSWER(t, 13, s + 4 + 9));
    Expect("GetServerInfo", Velmora_GetServerInfo(s, 2), ANSWER(t, 14, s + 4));
    Expect("LoadPreInfo", Velmora_LoadPreInfo(s, 2, 3, 4), ANSWER(t, 15, s + 4 + 9 + 16));
    Expect("GoToPreset", Velmora_GoToPreset(s, 2, 3), ANSWER(t, 16, s + 4 + 9));
    Expect("DelPreset", Velmora_DelPreset(s, 2, 3), ANSWER(t, 17, s + 4 + 9));
    Expect("SetPreset", Velmora_SetPreset(s, 2, 3, 4), ANSWER(t, 18, s + 4 + 9 + 16));
    Expect("GetProtocolInfo", Velmora_GetProtocolInfo(s, 2, 3), ANSWER(t, 19, s + 4 + 9));
    Expect("PTZControl", Velmora_PTZControl(s, 2, 3, 4, 5), ANSWER(t, 21, s + 4 + 9 + 16 + 25));
    Expect("StartGetVideoData", Velmora_StartGetVideoData(s, 2, 3, 4),
           ANSWER(t, 22, s + 4 + 9 + 16));
    Expect("StopGetVideoData", Velmora_StopGetVideoData(s, 2), ANSWER(t, 23, s + 4));
    Expect("GetCapFileList", Velmora_GetCapFileList(s, 2, 3, blockA, blockB, 5, 6),
           ANSWER(t, 25, s + 4 + 9 + 4 * 276 + 5 * 48 + 30 + 42));
    Expect("StartPlay", Velmora_StartPlay(s, 2, 3, 4, 5, 6),
           ANSWER(t, 26, s + 4 + 9 + 16 + 25 + 36));
    /* These three do not pass the server ID on. */
    Expect("StopPlay", Velmora_StopPlay(s, 9), ANSWER(t, 27, 9));
    Expect("PlayCtrl", Velmora_PlayCtrl(s, 2, 3, 4, 5), ANSWER(t, 28, 2 + 6 + 12 + 20));
    Expect("StartCapture", Velmora_StartCapture(s, 2, 3), ANSWER(t, 29, s + 4 + 9));
    Expect("StopCapture", Velmora_StopCapture(s, 9), ANSWER(t, 30, 9));
}

int main(int argc, char **argv) {
    VelmoraInitParams params;
    struct TypeList types;
    struct Choice choice;
    VelmoraLoginRecord login;
    const char *name0;
    const char *name1;
    const char *name7;

    if (argc != 2) {
        fprintf(stderr, "usage: %s PLUGIN_DIRECTORY\n", argv[0]);
        return 2;
    }
    CheckShortString();

    VelmoraSetShortString(params.pluginPath, "velmora-c-host");
    VelmoraSetShortString(params.pluginDirectory, argv[1]);
    Expect("InitSvManage", Velmora_InitSvManage(&params, 42), VELMORA_DONE);

    memset(&types, 0, sizeof types);
    Expect("GetServerTypeInfo", Velmora_GetServerTypeInfo(ListType, (VelmoraWord)&types),
           VELMORA_NO_ANSWER);
    Expect("types listed", types.count, 3);
    Expect("callback user value", types.user, (VelmoraWord)&types);
    name0 = NameOf(&types, 0);
    name1 = NameOf(&types, 1);
    name7 = NameOf(&types, 7);
    if (!name0 || !name1 || !name7) {
        printf("MISMATCH types 0, 1 and 7 expected in %s\n", argv[1]);
        return 1;
    }
    Expect("type 0 has a display name", name0[0] != '\0', 1);
    Expect("type 1 has a display name", name1[0] != '\0', 1);
    Expect("type 7 has none", name7[0], '\0');
    Expect("type ID of name 0", Velmora_GetServerTypeID(name0), 0);
    Expect("type ID of name 1", Velmora_GetServerTypeID(name1), 1);
    Expect("type ID of an unknown name", Velmora_GetServerTypeID("no such type"),
           VELMORA_NOT_FOUND);

    /* Adding through the selection callback, never the dialog. */
    choice.wanted = name1;
    choice.calls = 0;
    Expect("SetSelectServerCallBack",
           Velmora_SetSelectServerCallBack(Choose, (VelmoraWord)&choice), VELMORA_DONE);
    Expect("AddServer 11 as type 1", Velmora_AddServer(11), ANSWER(1, 8, 11));
    Expect("selection callback called", choice.calls, 1);
    Expect("selection offered every type", choice.count, 3);
    Expect("AddServer 11 again", Velmora_AddServer(11), VELMORA_ALREADY_REGISTERED);
    choice.wanted = name7;
    Expect("AddServer 13 as type 7, no AddServer", Velmora_AddServer(13), VELMORA_NOT_FOUND);
    Expect("server 13 not registered", Velmora_ChangeServer(13), VELMORA_NOT_FOUND);

    login.serverId = 12;
    login.typeId = 0;
    Expect("LoginServer 12 as type 0", Velmora_LoginServer(&login), ANSWER(0, 24, 12));
    Expect("LoginServer without record", Velmora_LoginServer(NULL), VELMORA_NOT_FOUND);
    login.serverId = 14;
    login.typeId = 5;
    Expect("LoginServer of an unknown type", Velmora_LoginServer(&login), VELMORA_NOT_FOUND);

    CheckForwarded(11, 1);
    CheckForwarded(12, 0);
    Expect("call for an unknown server", Velmora_GetHeader(99, 2, 3, 4), VELMORA_NOT_FOUND);
    Expect("SetSvMsgCallBack", Velmora_SetSvMsgCallBack(1, 2), VELMORA_NO_ANSWER);

    Expect("DelServer 11", Velmora_DelServer(11), ANSWER(1, 9, 11));
    Expect("server 11 gone", Velmora_ChangeServer(11), VELMORA_NOT_FOUND);
    Expect("DelServer 11 again", Velmora_DelServer(11), VELMORA_DONE);
    Expect("DelServer 12", Velmora_DelServer(12), ANSWER(0, 9, 12));
    Expect("DeInitSvManage", Velmora_DeInitSvManage(), VELMORA_DONE);

    printf("velmora-c-host: %d checks, %d mismatches\n", checks, failures);
    return failures ? 1 : 0;
}
