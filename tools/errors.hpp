#pragma once

#include <stdexcept>

namespace oxl_tool {

/// Exit statuses of the tool.
constexpr int kExitOk = 0;
/// A device did not answer, or answered something unexpected.
constexpr int kExitDevice = 1;
/// Bad input: unknown command or name, id out of range, malformed value.
constexpr int kExitUsage = 2;
/// A write to standard output failed (its reader went away); what was started was stopped.
constexpr int kExitOutput = 3;
/// Interrupted by Ctrl-C (128 + SIGINT) in a command for which Ctrl-C is not the normal end.
constexpr int kExitInterrupted = 130;

/// Bad input from the user. `main` prints "oxl: error: <what>" and exits with `kExitUsage`.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// A device or the adapter failed to answer. `main` prints "oxl: error: <what>" and exits with
/// `kExitDevice`.
struct DeviceError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// A write to standard output failed. `main` prints "oxl: error: <what>" and exits with
/// `kExitOutput`.
struct OutputFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace oxl_tool
