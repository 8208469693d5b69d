// What the Windows fault guard shares with the rest of the Windows platform layer.
#pragma once

namespace velmora::platform {

// The exception an abort() on a guarded thread becomes, so that it reaches the guard (or
// the system's loader, around DllMain) like a fault.
constexpr unsigned long kAbortExceptionCode = 0xE0564C41;

}  // namespace velmora::platform
