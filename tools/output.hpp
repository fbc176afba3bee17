#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace oxl_tool {

/// JSON documents keep their keys in the order written (a dump reads like the tables).
using Json = nlohmann::ordered_json;

/// `-q/--quiet`: set once from the command line, before any thread starts. Quiet commands print
/// their results and errors only: no progress, summaries, hints or echoes.
void set_quiet(bool quiet);
/// True under `-q/--quiet`.
bool quiet();

/// Writes `line` and a newline to standard error unless quiet: progress, summaries and hints.
void note(const std::string& line);

/// A float as a JSON value: null for NaN, a whole number as an integer, else the shortest
/// decimal that reads back as the same float (0.1f is written 0.1, not 0.10000000149011612).
Json json_number(float value);

/// Writes `document` to standard output, indented, with a newline. NaN numbers print as null.
void print_json(const Json& document);

}  // namespace oxl_tool
