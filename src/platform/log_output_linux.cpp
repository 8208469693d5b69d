// Linux: the log's output as a file descriptor, and the crash line from signal handlers
// that chain to whatever handled the signal before.
#include "platform/log_output.h"
#include "platform/signal_safe_text.h"

#include <fcntl.h>
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
// Read by the crash handler, so in the static TLS block: a thread's first read of a dynamic
// one may allocate, which a signal handler must not do.
[[gnu::tls_model("initial-exec")]] thread_local const char* entryPointInProgress = nullptr;
[[gnu::tls_model("initial-exec")]] thread_local const void* functionInProgress = nullptr;

// The crash line is composed here rather than on the stack, which may be an exhausted
// thread's or a small alternate one. One thread at a time: another that crashes meanwhile
// writes a shorter line of its own.
struct CrashScratch {
    char line[2048];
    char chunk[1024];
    char mapsLine[4352];
};
CrashScratch scratch;
std::atomic_flag scratchBusy = ATOMIC_FLAG_INIT;

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

// Appends the file mapped at code, as /proc/self/maps names it, read with system calls only:
// dladdr may wait for the loader's lock, which the crashing thread itself may hold.
void AppendFileOf(FixedText& text, const void* code) {
    const auto address = reinterpret_cast<std::uintptr_t>(code);
    const int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    std::size_t length = 0;
    bool found = false;
    for (ssize_t got; !found && maps >= 0 && (got = read(maps, scratch.chunk, sizeof scratch.chunk)) > 0;) {
        for (ssize_t i = 0; i < got && !found; ++i) {
            const char c = scratch.chunk[i];
            if (c != '\n') {
                if (length < sizeof scratch.mapsLine - 1) scratch.mapsLine[length++] = c;
                continue;
            }
            scratch.mapsLine[length] = '\0';
            length = 0;
            // "start-end perms offset device inode   path"
            const char* field = scratch.mapsLine;
            std::uintptr_t start = 0, end = 0;
            const auto hex = [&field](std::uintptr_t& value) {
                for (;; ++field) {
                    const char d = *field;
                    const int digit = d >= '0' && d <= '9' ? d - '0' : d >= 'a' && d <= 'f' ? d - 'a' + 10 : -1;
                    if (digit < 0) return;
                    value = value * 16 + static_cast<std::uintptr_t>(digit);
                }
            };
            hex(start);
            if (*field++ != '-') continue;
            hex(end);
            if (address < start || address >= end) continue;
            for (int skipped = 0; skipped < 4 && *field; ++skipped) {
                while (*field == ' ') ++field;
                while (*field && *field != ' ') ++field;
            }
            while (*field == ' ') ++field;
            if (*field) {
                text.Append(field);
                found = true;
            }
        }
    }
    if (maps >= 0) close(maps);
    if (!found) text.Append("no loaded file");
}

void WriteCrashLine(int signal, const siginfo_t* info, const void* context) {
    const void* code = FaultingCode(info, context);
    if (scratchBusy.test_and_set(std::memory_order_acquire)) {
        char line[256];
        std::size_t length = FormatLinePrefix(line, sizeof line - 2);
        FixedText text(line + length, sizeof line - 2 - length);
        text.Append("crash: ").Append(SignalText(signal)).Append(" at ").Hex(reinterpret_cast<std::uintptr_t>(code));
        text.Append(", while another thread's crash is written");
        length += text.size();
        line[length++] = '\n';
        line[length] = '\0';
        WriteLogLine(line, length);
        return;
    }
    char* const line = scratch.line;
    const std::size_t capacity = sizeof scratch.line - 2;  // room for the line end and a zero
    const std::size_t prefix = FormatLinePrefix(line, capacity);
    FixedText text(line + prefix, capacity - prefix);
    text.Append("crash: ").Append(SignalText(signal)).Append(" in code of ");
    AppendFileOf(text, code);
    text.Append(" at ").Hex(reinterpret_cast<std::uintptr_t>(code));
    if (entryPointInProgress) {
        text.Append(", during ").Append(entryPointInProgress).Append(" of ");
        AppendFileOf(text, functionInProgress);
    } else {
        text.Append(", no entry point in progress");
    }
    std::size_t length = prefix + text.size();
    line[length++] = '\n';
    line[length] = '\0';
    WriteLogLine(line, length);
    scratchBusy.clear(std::memory_order_release);
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
    crashReportInstalled = false;
}

CallInProgress NoteCallInProgress(CallInProgress call) noexcept {
    const CallInProgress previous{entryPointInProgress, functionInProgress};
    entryPointInProgress = call.entryPoint;
    functionInProgress = call.function;
    return previous;
}

}  // namespace velmora::platform
