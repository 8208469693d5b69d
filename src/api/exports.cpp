// The exported functions; each hands its work to the library's one ServerManager.
#include "api/library_state.h"

#include <velmora/velmora.h>

using velmora::Manager;

extern "C" {

VELMORA_API VelmoraInt VELMORA_CALL Velmora_InitSvManage(const VelmoraInitParams* params,
                                                         VelmoraWord application) {
    return Manager().InitSvManage(params, application);
}

VELMORA_API VelmoraInt VELMORA_CALL Velmora_DeInitSvManage() { return Manager().DeInitSvManage(); }

}  // extern "C"
