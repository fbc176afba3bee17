// `oxl bridge`: the joints of a configuration file on DDS, as ROS 2 nodes see them.
#include "bridge_command.hpp"

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "../errors.hpp"
#include "../interrupt.hpp"
#include "../output.hpp"
#include "bridge.hpp"
#include "bridge_config.hpp"

namespace oxl_tool {
namespace {

struct BridgeArgs {
    std::string config;
    std::string ros_namespace;
    bool namespace_given = false;
    std::vector<std::string> ports;
};

int run_bridge(Session& session, const BridgeArgs& args) {
    BridgeOptions options;
    // Everything is checked before any bus is opened.
    options.config = load_bridge_config(args.config);
    if (args.namespace_given) {
        options.config.ros_namespace = check_ros_namespace(args.ros_namespace, "--namespace");
    }
    options.simulated = session.simulated();
    if (!session.bus_options().port.empty()) {
        options.ports.push_back(session.bus_options().port);
    }
    options.ports.insert(options.ports.end(), args.ports.begin(), args.ports.end());
    if (options.simulated && !args.ports.empty()) {
        throw UsageError("--port and --sim exclude each other");
    }
    if (!options.simulated && options.ports.empty()) {
        throw UsageError("give the adapter of each bus with --port (bus n is the n-th), or --sim");
    }
    Bridge bridge(options);
    const BridgeTopics topics = bridge_topics(options.config.ros_namespace);
    note("oxl bridge: " + std::to_string(options.config.joints.size()) + " joints on " +
         topics.joint_states + ", " + topics.joint_command + ", " + topics.diagnostics +
         "; Ctrl-C stops them and ends");
    bridge.run([] { return !interrupted(); });
    bridge.stop_all();
    note("oxl bridge: every joint stopped");
    return kExitOk;
}

}  // namespace

void add_bridge_command(CLI::App& app,
                        const std::function<void(CLI::App*, std::function<int(Session&)>)>& on) {
    auto args = std::make_shared<BridgeArgs>();
    CLI::App* bridge = app.add_subcommand(
        "bridge",
        "Publish joints on DDS for ROS 2 (joint_states, joint_command, diagnostics) until Ctrl-C");
    bridge->add_option("CONFIG", args->config, "JSON file of the joints (see README)")
        ->required()
        ->type_name("FILE");
    CLI::Option* ns = bridge
                          ->add_option("--namespace", args->ros_namespace,
                                       "ROS namespace of the topics (default: the file's)")
                          ->type_name("NS");
    bridge
        ->add_option("--port", args->ports,
                     "adapter of the next bus, once per bus (after the global --port, if any)")
        ->type_name("PATH");
    on(bridge, [args, ns](Session& session) {
        args->namespace_given = ns->count() > 0;
        return run_bridge(session, *args);
    });
}

}  // namespace oxl_tool
