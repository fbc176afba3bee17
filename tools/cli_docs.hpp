#pragma once

#include <string>

namespace CLI {
class App;
}

namespace oxl_tool {

// Both documents are generated from the parsed command-line definitions that `--help` prints,
// so that the completion and the manual page cannot drift from the tool. Option and argument
// type names say what completes there: ID, PARAMETER, PARAMETER=VALUE, ITEMS, FILE, PATH, LIST.

/// A bash completion script for `app`: subcommands, options, and item and parameter names.
std::string bash_completion(const CLI::App& app);

/// A manual page (roff, section 1) for `app`: synopsis, global options, every command with its
/// arguments and options, and the footer (exit status, examples).
std::string man_page(const CLI::App& app);

}  // namespace oxl_tool
