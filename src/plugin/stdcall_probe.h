// Calls a function of the 32-bit build the way a host compiled by any compiler does: the
// argument words pushed right to left, then a plain call. The stack pointer is compared
// before the pushes and after the return, so a callee that takes more or fewer bytes than
// were pushed shows, and the stack is put right either way. The tests call the library's
// exports this way, and velmora-validate a plug-in's entry points.
#pragma once

#if defined(_WIN32) && !defined(_WIN64)

#include <cstdint>

namespace velmora {

struct StdcallProbe {
    std::int32_t result;
    // Stack pointer after the return minus the one before the pushes: 0 when the callee
    // removed exactly the words pushed.
    std::int32_t stackDrift;
};

// Not inlined, so that no value of the caller's lives in a register the callee may clobber.
__attribute__((noinline)) inline StdcallProbe CallStdcall(const void* function,
                                                          const std::uint32_t* words,
                                                          std::uint32_t count) {
    std::int32_t result;
    std::uint32_t drift = count;
    // ebx, esi and edi survive a stdcall callee; eax, ecx and edx do not.
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "jecxz 2f\n"
        "1:\n\t"
        "pushl -4(%%edi,%%ecx,4)\n\t"
        "loop 1b\n"
        "2:\n\t"
        "call *%%ebx\n\t"
        "movl %%esp, %%ecx\n\t"
        "subl %%esi, %%ecx\n\t"
        "movl %%esi, %%esp"
        : "=a"(result), "+c"(drift)
        : "b"(function), "D"(words)
        : "edx", "esi", "memory", "cc");
    return {result, static_cast<std::int32_t>(drift)};
}

}  // namespace velmora

#endif
