#pragma once

#include <CLI/CLI.hpp>

#include <functional>

#include "../session.hpp"

namespace oxl_tool {

/// Adds `oxl bridge` to `app`; `on` registers its action (the command table's `Invocation::on`).
void add_bridge_command(CLI::App& app,
                        const std::function<void(CLI::App*, std::function<int(Session&)>)>& on);

}  // namespace oxl_tool
