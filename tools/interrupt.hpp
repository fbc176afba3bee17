#pragma once

#include <chrono>

namespace oxl_tool {

/// Installs handlers for SIGINT, SIGTERM and SIGHUP that only raise a flag; the commands poll
/// it between their steps and stop the device before they return. Call once, before any thread
/// starts.
void install_interrupt_handler();

/// True once one of those signals arrived.
bool interrupted();

/// Sleeps for `duration`, waking every 50 ms to look at the flag. Returns false when it was cut
/// short by a signal.
bool sleep_unless_interrupted(std::chrono::steady_clock::duration duration);

}  // namespace oxl_tool
