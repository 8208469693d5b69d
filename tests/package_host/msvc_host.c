/* A host linked as MSVC links one: by lld-link, against the import library llvm-dlltool
 * makes from the installed Velmora.def, without any C runtime (none of MSVC's is here).
 * Built and run by run_msvc_import_test.cmake with PLUGIN_DIR naming the C fixture
 * plug-ins (tests/fixtures/c_plugin.c); exits with the number of mismatches. */
#include <velmora/velmora.h>

__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

#define ANSWER(typeId, position, sum) ((VelmoraInt)((typeId) * 100000 + (position) * 1000 + (sum)))

static unsigned int mismatches;

static void Expect(VelmoraInt got, VelmoraInt want) {
    if (got != want) ++mismatches;
}

static void VELMORA_CALL CountType(VelmoraInt typeId, const char *name, VelmoraWord user) {
    (void)typeId;
    (void)name;
    ++*(int *)user;
}

void HostMain(void) {
    VelmoraInitParams params;
    VelmoraLoginRecord login;
    VelmoraBlock24 blockA;
    VelmoraBlock24 blockB;
    int types = 0;
    int i;

    VelmoraSetShortString(params.pluginPath, "velmora-msvc-host");
    VelmoraSetShortString(params.pluginDirectory, PLUGIN_DIR);
    Expect(Velmora_InitSvManage(&params, 0), VELMORA_DONE);
    Expect(Velmora_GetServerTypeInfo(CountType, (VelmoraWord)&types), VELMORA_NO_ANSWER);
    Expect(types, 3);

    login.serverId = 12;
    login.typeId = 1;
    Expect(Velmora_LoginServer(&login), ANSWER(1, 24, 12 + 2));
    for (i = 0; i < 24; ++i) {
        blockA.bytes[i] = (unsigned char)i; /* sum 276 */
        blockB.bytes[i] = 2;                /* sum 48 */
    }
    Expect(Velmora_GetCapFileList(12, 2, 3, blockA, blockB, 5, 6),
           ANSWER(1, 25, 12 + 4 + 9 + 4 * 276 + 5 * 48 + 30 + 42));
    Expect(Velmora_PTZControl(12, 2, 3, 4, 5), ANSWER(1, 21, 12 + 4 + 9 + 16 + 25));
    Expect(Velmora_PlayCtrl(12, 2, 3, 4, 5), ANSWER(1, 28, 2 + 6 + 12 + 20));
    Expect(Velmora_DelServer(12), ANSWER(1, 9, 12));
    Expect(Velmora_GetHeader(12, 2, 3, 4), VELMORA_NOT_FOUND);

    Expect(Velmora_SetSelectServerCallBack(0, 0), VELMORA_DONE);
    Expect(Velmora_DeInitSvManage(), VELMORA_DONE);
    ExitProcess(mismatches);
}
