#pragma once

// The one way out for the lines the library prints. Internal: not installed.

#include <iosfwd>
#include <string>

#include "oxl_api/log.hpp"

namespace oxl_api {
namespace details {

/// Hands `text` (one line, without its line end) to the installed log handler, or, without one,
/// writes it with a line end to `stream` (std::cout or std::cerr, where the line has always gone)
/// and flushes. Never throws from a handler. Any thread.
void log_line(std::ostream& stream, LogSeverity severity, const std::string& text);

}  // namespace details
}  // namespace oxl_api
