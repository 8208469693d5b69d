// Linux: the log's output as a file descriptor, and the crash line from signal handlers
// that chain to whatever handled the signal before.
#include "platform/log_output.h"
#include "platform/signal_safe_text.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace velmora::platform {

namespace {

std::atomic<int> logDescriptor{-1};
bool ownsDescriptor = false;

}  // namespace

bool OpenLogOutput(LogTarget target, const std::string& path) noexcept {
    // Linux has no debugger channel of its own: its lines go to standard error.
    if (target != LogTarget::File) {
        logDescriptor = STDERR_FILENO;
        return true;
    }
    const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (descriptor < 0) return false;
    ownsDescriptor = true;
    logDescriptor = descriptor;
    return true;
}

void CloseLogOutput() noexcept {
    const int descriptor = logDescriptor.exchange(-1);
    if (ownsDescriptor && descriptor >= 0) close(descriptor);
    ownsDescriptor = false;
}

void WriteLogLine(const char* text, std::size_t length) noexcept {
    const int descriptor = logDescriptor.load(std::memory_order_relaxed);
    if (descriptor < 0) return;
    const int savedErrno = errno;
    while (write(descriptor, text, length) < 0 && errno == EINTR) {
    }
    errno = savedErrno;
}

std::size_t FormatLinePrefix(char* buffer, std::size_t capacity) noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return FormatPrefix(buffer, capacity, now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec / 1000),
                        static_cast<std::uint64_t>(syscall(SYS_gettid)));
}

namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr std::size_t kCrashSignalCount = sizeof kCrashSignals / sizeof kCrashSignals[0];

struct sigaction previousActions[kCrashSignalCount];
bool crashReportInstalled = false;
pthread_key_t entryPointKey;
pthread_key_t functionKey;

std::size_t IndexOfSignal(int signal) {
    for (std::size_t i = 0; i < kCrashSignalCount; ++i)
        if (kCrashSignals[i] == signal) return i;
    return 0;
}

const char* SignalText(int signal) {
    switch (signal) {
        case SIGSEGV: return "SIGSEGV (invalid memory access)";
        case SIGBUS: return "SIGBUS (bus error)";
        case SIGILL: return "SIGILL (illegal instruction)";
        case SIGFPE: return "SIGFPE (arithmetic fault)";
        default: return "SIGABRT (abort)";
    }
}

// The instruction that faulted; for a signal sent by a call such as abort(), the code
// that was running.
const void* FaultingCode([[maybe_unused]] const siginfo_t* info, const void* context) {
    const auto* machine = &static_cast<const ucontext_t*>(context)->uc_mcontext;
#if defined(__x86_64__)
    return reinterpret_cast<const void*>(machine->gregs[REG_RIP]);
#elif defined(__i386__)
    return reinterpret_cast<const void*>(machine->gregs[REG_EIP]);
#elif defined(__aarch64__)
    return reinterpret_cast<const void*>(machine->pc);
#else
    static_cast<void>(machine);
    return info->si_addr;
#endif
}

void AppendFileOf(FixedText& text, const void* code) {
    Dl_info module{};
    if (dladdr(code, &module) && module.dli_fname && *module.dli_fname) text.Append(module.dli_fname);
    else text.Append("no loaded file");
}

void WriteCrashLine(int signal, const siginfo_t* info, const void* context) {
    char line[2048];
    const std::size_t capacity = sizeof line - 2;  // room for the line end and a zero
    const std::size_t prefix = FormatLinePrefix(line, capacity);
    FixedText text(line + prefix, capacity - prefix);
    const void* code = FaultingCode(info, context);
    text.Append("crash: ").Append(SignalText(signal)).Append(" in code of ");
    AppendFileOf(text, code);
    text.Append(" at ").Hex(reinterpret_cast<std::uintptr_t>(code));
    const auto* entryPoint = static_cast<const char*>(pthread_getspecific(entryPointKey));
    if (entryPoint) {
        text.Append(", during ").Append(entryPoint).Append(" of ");
        AppendFileOf(text, pthread_getspecific(functionKey));
    } else {
        text.Append(", no entry point in progress");
    }
    std::size_t length = prefix + text.size();
    line[length++] = '\n';
    line[length] = '\0';
    WriteLogLine(line, length);
}

void OnCrash(int signal, siginfo_t* info, void* context) {
    WriteCrashLine(signal, info, context);
    const struct sigaction& previous = previousActions[IndexOfSignal(signal)];
    if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
        return;
    }
    // The default action: put it back and send the signal again. It stays pending until
    // this handler returns, then ends the process at the instruction that faulted.
    sigaction(signal, &previous, nullptr);
    raise(signal);
}

}  // namespace

void InstallCrashReport() noexcept {
    if (crashReportInstalled) return;
    if (pthread_key_create(&entryPointKey, nullptr) != 0) return;
    if (pthread_key_create(&functionKey, nullptr) != 0) {
        pthread_key_delete(entryPointKey);
        return;
    }
    struct sigaction ours {};
    ours.sa_sigaction = OnCrash;
    // On the thread's alternate stack when it has one, so a stack overflow is reported too.
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&ours.sa_mask);
    for (std::size_t i = 0; i < kCrashSignalCount; ++i) sigaction(kCrashSignals[i], &ours, &previousActions[i]);
    crashReportInstalled = true;
}

void RemoveCrashReport() noexcept {
    if (!crashReportInstalled) return;
    // A handler installed over ours stays: it may chain to ours, which then is gone with the
    // library, but taking it away would be worse.
    for (std::size_t i = 0; i < kCrashSignalCount; ++i) {
        struct sigaction current {};
        sigaction(kCrashSignals[i], nullptr, &current);
        if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == OnCrash)
            sigaction(kCrashSignals[i], &previousActions[i], nullptr);
    }
    pthread_key_delete(entryPointKey);
    pthread_key_delete(functionKey);
    crashReportInstalled = false;
}

CallInProgress NoteCallInProgress(CallInProgress call) noexcept {
    const CallInProgress previous{static_cast<const char*>(pthread_getspecific(entryPointKey)),
                                  pthread_getspecific(functionKey)};
    pthread_setspecific(entryPointKey, call.entryPoint);
    pthread_setspecific(functionKey, call.function);
    return previous;
}

}  // namespace velmora::platform
