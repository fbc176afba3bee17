// `oxl web`: serves the live view until Ctrl-C.
#include "web_command.hpp"

#include <CLI/CLI.hpp>

#include <chrono>
#include <iostream>
#include <memory>
#include <random>
#include <thread>

#include "../errors.hpp"
#include "../interrupt.hpp"
#include "request_guard.hpp"
#include "web_server.hpp"

namespace oxl_tool {
namespace {

std::string new_token() {
    std::random_device device;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(device()));
        token += part;
    }
    return token;
}

int run_web(Session& session, WebOptions options) {
    if (!RequestGuard::is_loopback(options.listen)) {
        options.token = new_token();
    }
    session.transport();  // open the bus before serving: a missing adapter fails here
    WebServer server(session, options);
    const int port = server.start();
    const std::string host =
        options.listen.find(':') != std::string::npos ? "[" + options.listen + "]" : options.listen;
    std::cout << "oxl web: serving " << session.describe() << " on http://" << host << ":" << port
              << "/" << (options.token.empty() ? "" : "?token=" + options.token) << std::endl;
    if (!options.token.empty()) {
        std::cout << "oxl web: access token " << options.token << std::endl;
    }
    std::cout << "oxl web: press Ctrl-C to stop (every actuator is stopped)" << std::endl;
    while (!interrupted()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    server.stop();
    return kExitOk;
}

}  // namespace

void add_web_command(CLI::App& app,
                     const std::function<void(CLI::App*, std::function<int(Session&)>)>& on) {
    auto options = std::make_shared<WebOptions>();
    CLI::App* web = app.add_subcommand(
        "web", "Serve a live view in the browser: scan, plots, controls, parameters");
    web->add_option("--listen", options->listen,
                    "address to serve on (default 127.0.0.1; any other needs the printed token)")
        ->type_name("ADDRESS");
    web->add_option("--http-port", options->http_port, "TCP port (default 8080; 0: any free one)")
        ->check(CLI::Range(0, 65535));
    on(web, [options](Session& session) { return run_web(session, *options); });
}

}  // namespace oxl_tool
