#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace oxl_tool {

class Session;

/// Adds `oxl web` to `app`; `on` registers its action as the other commands' are.
void add_web_command(CLI::App& app,
                     const std::function<void(CLI::App*, std::function<int(Session&)>)>& on);

}  // namespace oxl_tool
