#include "interrupt.hpp"

#include <atomic>
#include <csignal>
#include <iostream>

#include "errors.hpp"

namespace oxl_tool {
namespace {

// Written by the signal handler, read by the commands: a lock-free atomic is async-signal-safe.
std::atomic<bool> g_interrupted{false};
static_assert(ATOMIC_BOOL_LOCK_FREE == 2, "the interrupt flag must be lock-free");

extern "C" void on_signal(int /*signal*/) {
    g_interrupted.store(true);
}

}  // namespace

void install_interrupt_handler() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // SA_RESTART: a read or sleep that the signal interrupts resumes; the commands see the flag
    // at their next poll.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
}

bool interrupted() {
    return g_interrupted.load();
}

void throw_if_output_failed() {
    // A failed write leaves the stream bad; the flush brings out one still held in the buffer.
    if (!std::cout.flush()) {
        throw OutputFailed("cannot write to standard output; stopped");
    }
}

}  // namespace oxl_tool
