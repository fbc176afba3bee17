#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "oxl_api/export.hpp"

namespace oxl_api {

/// How serious a line of the library is.
enum class LogSeverity : uint8_t {
    /// A result or a recovery: the scanner's "Device found: ..." lines (standard output) and
    /// "Adapter on <port> back".
    INFO,
    /// Something expected did not happen, or input was dropped, and the library went on:
    /// time-outs, an unknown report byte, an adapter lost, an actuator stopped after a serious
    /// error, a configuration cleared.
    WARNING,
    /// A call was refused or failed, or a device reported an error: invalid ids, payload sizes,
    /// rates and addresses, a port that cannot be found or opened, a missing or wrong adapter,
    /// and the default error callback's "Actuator 0x.. Error code: ..." lines.
    ERROR,
};

/// Receives one line of the library: its severity and its text, without the line end.
using LogHandler = std::function<void(LogSeverity severity, const std::string& text)>;

/// Installs `handler` for every line the library prints from now on, in every thread; an empty
/// handler puts back the default, which writes each line with a line end to the stream it
/// belongs to (standard output for the scanner's "Device found" lines, standard error for all
/// others) and flushes it.
///
/// The handler runs on the thread that produced the line, often a transport's receive thread
/// (for example "Unknown command 0x.." or a default error callback's lines), with no lock of the
/// library held; lines of several threads may reach it concurrently, each thread's in order. An
/// exception thrown by the handler is caught and dropped, and the line is lost. A line being
/// emitted while the handler is replaced may still reach the old one after this returns; the
/// last copy of the old handler is released on whichever thread used it last, so what it
/// captures must stay valid, and be safe to release there, until no line can be in flight.
/// Takes a lock that is held only to swap or copy the handler; never blocks on a running one.
OXL_API_EXPORT void set_log_handler(LogHandler handler);

/// Lower-case name of a severity: "info", "warning" or "error".
OXL_API_EXPORT const char* log_severity_name(LogSeverity severity);

}  // namespace oxl_api
