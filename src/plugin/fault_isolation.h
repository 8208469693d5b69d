// Isolation of plug-in code while the library examines a candidate plug-in file.
#pragma once

#include "platform/platform.h"

namespace velmora {

// Runs call() and reports whether it completed. A hardware fault or a C++ exception
// inside it (the plug-in's or our own, such as exhausted memory) makes it answer false
// instead of reaching the host. call() must keep nothing that needs destroying on its own
// stack across plug-in code, since a fault leaves that stack without unwinding it.
template <typename Call>
bool RunIsolated(Call&& call) noexcept {
    struct Context {
        Call* call;
        bool threw;
    } context{&call, false};
    const auto trampoline = [](void* raw) {
        auto* ctx = static_cast<Context*>(raw);
        try {
            (*ctx->call)();
        } catch (...) {
            ctx->threw = true;
        }
    };
    return platform::RunGuarded(trampoline, &context) && !context.threw;
}

}  // namespace velmora
