#pragma once

// The trace file named by the environment. Internal: not installed.

#include <memory>

#include "oxl_api/trace.hpp"

namespace oxl_api {
namespace details {

/// The sink that writes to the file named by the environment variable OXL_API_TRACE, shared by
/// every transport of the process; null when the variable is unset or empty or the file cannot
/// be created. Made on first call; closed when the process exits.
std::shared_ptr<TraceSink> environment_trace_sink();

}  // namespace details
}  // namespace oxl_api
