#pragma once

namespace oxl_tool {

/// Parses the command line, runs the command and returns the exit status: 0 on success, 1 when
/// a device does not answer, 2 for bad input (after a one-line "oxl: error: ..." on standard
/// error), 130 when Ctrl-C cut a command short.
int run_command_line(int argc, char** argv);

}  // namespace oxl_tool
