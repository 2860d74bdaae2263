// Ctrl-C and SIGTERM: the command-line tool stops its work at the next poll
// point instead of dying with half-written output.
#pragma once

#include <atomic>

namespace brantlow::platform {

// Installs handlers for SIGINT and SIGTERM that set interruptFlag(); a
// second signal ends the program at once.
void catchInterrupts();
// Set once an interrupt arrived.
const std::atomic<bool>& interruptFlag();

}  // namespace brantlow::platform
