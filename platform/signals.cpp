#include "platform/signals.h"

#include <csignal>
#include <unistd.h>

namespace brantlow::platform {

namespace {

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void onSignal(int sig) {
    if (g_interrupted.exchange(true)) {
        // A second Ctrl-C: the operator means it.
        std::signal(sig, SIG_DFL);
        ::raise(sig);
    }
}

}  // namespace

void catchInterrupts() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

const std::atomic<bool>& interruptFlag() { return g_interrupted; }

}  // namespace brantlow::platform
