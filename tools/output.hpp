#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <oxl_api/log.hpp>
#include <oxl_api/oxl.hpp>

namespace oxl_tool {

/// JSON documents keep their keys in the order written (a dump reads like the tables).
using Json = nlohmann::ordered_json;

/// `-q/--quiet`: set once from the command line, before any thread starts. Quiet commands print
/// their results and errors only: no progress, summaries, hints or echoes.
void set_quiet(bool quiet);
/// True under `-q/--quiet`.
bool quiet();

/// Installs, for the whole run, the tool's handler of the library's own lines (its log hook).
/// With `verbose` (`-v/--verbose`) each line goes to standard error as "oxl: library <severity>:
/// <text>"; otherwise it is dropped, as the tool says what matters in its own words, one line
/// per error. Call once, before any thread starts.
void route_library_lines(bool verbose);

/// While it lives, the library's lines that `wanted` picks are kept for `take`; with `echo` they
/// also go the tool's way (see `route_library_lines`), else only the others do. Its destructor
/// puts the tool's handler back, so two of them must not live at once. `wanted` runs on
/// whichever thread printed, often the transport's receive thread.
class LibraryLines {
  public:
    using Filter = std::function<bool(oxl_api::LogSeverity severity, const std::string& text)>;
    explicit LibraryLines(Filter wanted, bool echo = false);
    ~LibraryLines();
    LibraryLines(const LibraryLines&) = delete;
    LibraryLines& operator=(const LibraryLines&) = delete;

    /// The lines kept since the last call, in the order they were printed.
    std::vector<std::string> take();

  private:
    struct Kept {
        std::mutex mutex;
        std::vector<std::string> lines;  // guarded by `mutex`
    };
    std::shared_ptr<Kept> kept;
};

/// True for the scanner's "Device found: ..." lines, the results of a scan.
bool is_device_found_line(oxl_api::LogSeverity severity, const std::string& text);

/// Writes `line` and a newline to standard error unless quiet: progress, summaries and hints.
void note(const std::string& line);

/// The transport's counters as (field name, value) pairs, in declaration order, for the
/// outputs that list them all (the web view's JSON, the bridge's diagnostics).
std::vector<std::pair<const char*, uint64_t>> counter_fields(const oxl_api::TransportCounters& c);

/// A float as a JSON value: null for NaN, a whole number as an integer, else the shortest
/// decimal that reads back as the same float (0.1f is written 0.1, not 0.10000000149011612).
Json json_number(float value);

/// Writes `document` to standard output, indented, with a newline. NaN numbers print as null.
void print_json(const Json& document);

}  // namespace oxl_tool
