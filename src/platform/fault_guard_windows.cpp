// Windows fault guard. It relies on frame-based structured exception handling only, so
// whatever the plug-in handles itself (its own __try or try/catch) never reaches it; a
// process-wide hook would also see those first-chance exceptions and break the plug-in.
#include "platform/fault_guard_windows.h"
#include "platform/platform.h"

#include <windows.h>

#include <csignal>

namespace velmora::platform {
namespace {

// On i686, C++ exceptions unwind through DWARF tables and every plug-in DLL carries its
// own copy of the unwinder, which knows nothing of the host's frames: an exception the
// plug-in does not catch ends in std::terminate and msvcrt's abort(), never as an SEH
// exception. abort() first raises SIGABRT, so while a guarded call runs, a SIGABRT
// handler turns it into this SEH exception, which reaches the guard frame like any fault
// (and unwinds the frames in between). The same covers an abort() on x86_64. A plug-in
// tied to another C runtime (ucrtbase, msvcr*) keeps its own signal table and is not
// covered; its abort() still ends the process.

using AbortHandler = void (*)(int);

thread_local unsigned t_guardDepth = 0;

SRWLOCK g_abortLock = SRWLOCK_INIT;
unsigned g_guardsRunning = 0;
AbortHandler g_previousAbortHandler = SIG_DFL;

void OnAbort(int signal) {
    // msvcrt has just reset the handler to SIG_DFL: re-arm it before anything else, since
    // an abort() on another guarded thread meanwhile ends the process (the few instructions
    // inside msvcrt before this point stay exposed). Under the lock, undo that if the last
    // guard ended in between.
    std::signal(SIGABRT, OnAbort);
    AcquireSRWLockExclusive(&g_abortLock);
    if (g_guardsRunning == 0) std::signal(SIGABRT, g_previousAbortHandler);
    const AbortHandler previous = g_previousAbortHandler;
    ReleaseSRWLockExclusive(&g_abortLock);
    if (t_guardDepth != 0) RaiseException(kAbortExceptionCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    // Another thread's guard installed us: behave as the handler we displaced would.
    if (previous != SIG_DFL && previous != SIG_IGN) previous(signal);
}

// The SIGABRT handler is process-wide, so it stays installed while any thread runs a guard.
class AbortInterception {
public:
    AbortInterception() noexcept {
        AcquireSRWLockExclusive(&g_abortLock);
        const AbortHandler previous = std::signal(SIGABRT, OnAbort);
        if (g_guardsRunning++ == 0) g_previousAbortHandler = previous;
        ReleaseSRWLockExclusive(&g_abortLock);
        ++t_guardDepth;
    }

    ~AbortInterception() {
        --t_guardDepth;
        AcquireSRWLockExclusive(&g_abortLock);
        if (--g_guardsRunning == 0) std::signal(SIGABRT, g_previousAbortHandler);
        ReleaseSRWLockExclusive(&g_abortLock);
    }

    AbortInterception(const AbortInterception&) = delete;
    AbortInterception& operator=(const AbortInterception&) = delete;
};

}  // namespace
}  // namespace velmora::platform

#if defined(__i386__)

namespace velmora::platform {
namespace {

// An EXCEPTION_REGISTRATION_RECORD linked into fs:[0] for the duration of the call, on
// RunGuarded's stack frame, above everything the plug-in pushes.
struct GuardFrame {
    EXCEPTION_REGISTRATION_RECORD registration;  // first: the handler gets its address back
    void* resume[5];
};

EXCEPTION_REGISTRATION_RECORD* ChainHead() {
    EXCEPTION_REGISTRATION_RECORD* head;
    asm volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

void SetChainHead(EXCEPTION_REGISTRATION_RECORD* head) {
    asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

// Calls the unwind handlers of every frame above target and unlinks them. RtlUnwind does
// not reliably preserve ebx, esi, edi and ebp, hence the explicit save and clobbers.
void UnwindTo(EXCEPTION_REGISTRATION_RECORD* target) {
    asm volatile(
        "pushl %%ebp\n\t"
        "pushl $0\n\t"
        "pushl $0\n\t"
        "pushl $0\n\t"
        "pushl %0\n\t"
        "call _RtlUnwind@16\n\t"
        "popl %%ebp"
        : "+a"(target)
        :
        : "ebx", "ecx", "edx", "esi", "edi", "memory", "cc");
}

EXCEPTION_DISPOSITION NTAPI GuardHandler(EXCEPTION_RECORD* record, void* establisherFrame,
                                         CONTEXT*, void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    auto* frame = static_cast<GuardFrame*>(establisherFrame);
    UnwindTo(&frame->registration);
    __builtin_longjmp(frame->resume, 1);
}

}  // namespace

bool RunGuarded(void (*fn)(void*), void* context) noexcept {
    AbortInterception abortInterception;
    GuardFrame frame;
    frame.registration.Next = ChainHead();
    frame.registration.Handler = GuardHandler;
    if (__builtin_setjmp(frame.resume) != 0) {
        // The unwind left our record on top of the chain.
        SetChainHead(frame.registration.Next);
        return false;
    }
    SetChainHead(&frame.registration);
    fn(context);
    SetChainHead(frame.registration.Next);
    return true;
}

}  // namespace velmora::platform

#elif defined(__x86_64__)

extern "C" {

// bool velmora_guarded_call(fn, context): calls fn(context) in a frame whose unwind info
// names velmora_guard_handler; answers true, or false when resumed at velmora_guard_resume.
// The instruction after the call keeps the return address off the epilogue, where the
// dispatcher would not consult this frame's handler.
asm(R"(
    .text
    .globl velmora_guarded_call
    .def velmora_guarded_call; .scl 2; .type 32; .endef
    .seh_proc velmora_guarded_call
velmora_guarded_call:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler velmora_guard_handler, @except
    movq %rcx, %rax
    movq %rdx, %rcx
    call *%rax
    movl $1, %eax
    addq $40, %rsp
    ret
    .globl velmora_guard_resume
velmora_guard_resume:
    xorl %eax, %eax
    addq $40, %rsp
    ret
    .seh_endproc
)");

bool velmora_guarded_call(void (*fn)(void*), void* context);
void velmora_guard_resume();

// Called only while the dispatcher searches (@except), for what no inner frame handled.
// The unwind carries no exception record, so the frames in between see a plain
// STATUS_UNWIND: their unwind handlers still run, but g++ frames skip their cleanups.
// Given the g++ exception's own record instead, a plug-in frame with a cleanup would
// resume the throw towards a catch that does not exist, and the process would die.
EXCEPTION_DISPOSITION NTAPI velmora_guard_handler(EXCEPTION_RECORD*, void* establisherFrame,
                                                  CONTEXT* context, void* dispatcherContext) {
    RtlUnwindEx(establisherFrame, reinterpret_cast<void*>(velmora_guard_resume), nullptr, nullptr,
                context, static_cast<DISPATCHER_CONTEXT*>(dispatcherContext)->HistoryTable);
    __builtin_unreachable();
}

}  // extern "C"

namespace velmora::platform {

bool RunGuarded(void (*fn)(void*), void* context) noexcept {
    AbortInterception abortInterception;
    return velmora_guarded_call(fn, context);
}

}  // namespace velmora::platform

#else
#error "The Windows fault guard supports i386 and x86_64 only."
#endif
