#pragma once

#include <chrono>

namespace oxl_tool {

/// Installs handlers for SIGINT, SIGTERM and SIGHUP that only raise a flag; the commands poll
/// it between their steps and stop the device before they return. Also ignores SIGPIPE, so that
/// a write to a closed pipe fails (see `throw_if_output_failed`) instead of killing the process
/// with the device still running. Call once, before any thread starts.
void install_interrupt_handler();

/// True once one of those signals arrived.
bool interrupted();

/// Throws `OutputFailed` once a write to standard output has failed (a reader such as `head`
/// went away). The commands call it where they poll the interrupt flag, so that a closed pipe
/// ends them like Ctrl-C, the device being stopped by their guards on the way out.
void throw_if_output_failed();

}  // namespace oxl_tool
