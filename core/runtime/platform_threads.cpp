// Signal masks and fork() handlers of the platform layer (see platform.hpp): POSIX calls on every
// POSIX system (Linux on either path, macOS), nothing on Windows, which has neither.
#include "core/runtime/platform.hpp"

#if !defined(_WIN32)
#include <pthread.h>
#include <signal.h>
#endif

namespace vorn::platform {

#if !defined(_WIN32)

void with_signals_blocked(void (*start)(void* context), void* context) noexcept {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    bool masked = pthread_sigmask(SIG_SETMASK, &all, &previous) == 0;
    start(context);
    if (masked) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

bool on_fork(void (*before)(), void (*in_parent)(), void (*in_child)()) noexcept {
    return pthread_atfork(before, in_parent, in_child) == 0;
}

#else

void with_signals_blocked(void (*start)(void* context), void* context) noexcept { start(context); }

bool on_fork(void (*)(), void (*)(), void (*)()) noexcept { return true; }

#endif

}  // namespace vorn::platform
