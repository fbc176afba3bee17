// `oxl bridge` as a ROS 2 node would see it: the bridge runs as a child process on the
// simulated bus or on a fake adapter serving one, and this process talks to it over DDS on the
// loopback interface.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>
#include <utility>

#include "bridge_peer.hpp"
#include "pty_gtest.hpp"
#include "sim_adapter.hpp"

namespace {

namespace fs = std::filesystem;
using bridge_test::BridgeProcess;
using bridge_test::JointValue;
using bridge_test::Peer;

struct Scratch {
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "oxl_bridge_XXXXXX").string();
        path = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
        bridge_test::use_loopback_dds(path);
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string file(const std::string& name, const std::string& content) const {
        std::ofstream(path + "/" + name) << content;
        return path + "/" + name;
    }
    std::string path;
};

// Every line of `text` that is not empty.
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            out.push_back(line);
        }
    }
    return out;
}

TEST(BridgeConfig, BadConfigurationIsRefusedWithOneLineNamingTheEntry) {
    const Scratch scratch;
    const std::string good_joint =
        R"({"name": "hip", "address": "0x20", "mode": "position",
            "limits": {"min": -1, "max": 1}})";
    const std::pair<std::string, std::string> cases[] = {
        {R"({"joints": [)" + good_joint + R"(], "watchdog": 1})", "unknown key 'watchdog'"},
        {R"({"joints": [{"name": "hip", "address": "0x20", "mode": "position", "rate": 5,
             "limits": {"min": -1, "max": 1}}]})",
         R"(joints[0] ("hip"): unknown key 'rate')"},
        {R"({"joints": [)" + good_joint + "," + good_joint + "]}",
         R"(joints[1] ("hip"): name already used by joints[0])"},
        {R"({"joints": [)" + good_joint +
             R"(, {"name": "knee", "address": 32, "mode": "effort", "limits": {"min": 0, "max": 1}}]})",
         R"(joints[1] ("knee"): address 0x20 on bus 0 already used by joints[0])"},
        {R"({"joints": [{"name": "hip", "address": "0x20", "mode": "position", "rate_hz": 20000,
             "limits": {"min": -1, "max": 1}}]})",
         R"(joints[0] ("hip"): 'rate_hz' 20000 is out of range)"},
        {R"({"joints": [{"name": "hip", "address": "0x20", "mode": "position",
             "limits": {"min": 1, "max": -1}}]})",
         R"(joints[0] ("hip"): limits.min is above limits.max)"},
        {R"({"joints": [{"name": "hip", "address": "0x20", "mode": "torque",
             "limits": {"min": -1, "max": 1}}]})",
         R"(joints[0] ("hip"): 'mode' "torque" is not)"},
        {R"({"joints": [{"name": "hip", "address": "0x20", "mode": "position"}]})",
         R"(joints[0] ("hip"): 'limits' is missing)"},
        {R"({"joints": [{"name": "hip", "address": "0x5", "mode": "position",
             "limits": {"min": -1, "max": 1}}]})",
         R"(joints[0] ("hip"): 'address' 0x5 is out of range)"},
        {R"({"namespace": "9lives", "joints": [)" + good_joint + "]}", "not a ROS namespace"},
        {R"({"joints": [)", "not valid JSON"},
    };
    for (const auto& c : cases) {
        const std::string config = scratch.file("bad.json", c.first);
        BridgeProcess bridge(OXL_TOOL_PATH, {"--sim", "bridge", config}, scratch.path + "/err");
        EXPECT_EQ(bridge.wait_exit(), 2) << c.first;
        const auto err = lines(bridge.err());
        ASSERT_EQ(err.size(), 1u) << bridge.err();
        EXPECT_NE(err[0].find(config + ": "), std::string::npos) << err[0];
        EXPECT_NE(err[0].find(c.second), std::string::npos) << err[0];
    }
}

using Endpoints = std::set<std::pair<std::string, std::string>>;

// The (topic, type) pairs of the writers (or readers) that DDS discovery reports, read again until
// all of `wanted` are there or 10 s have passed: the pairs of one remote participant do not all
// arrive at once, and a slow (sanitizer) build may see the data before the last of them.
Endpoints endpoints(dds_entity_t participant, dds_entity_t builtin_topic, const Endpoints& wanted) {
    Endpoints found;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        const dds_entity_t reader = dds_create_reader(participant, builtin_topic, nullptr, nullptr);
        void* samples[32] = {};
        dds_sample_info_t infos[32];
        const dds_return_t n = dds_read(reader, samples, infos, 32, 32);
        for (dds_return_t i = 0; i < n; ++i) {
            const auto& e = *static_cast<dds_builtintopic_endpoint_t*>(samples[i]);
            if (infos[i].valid_data) {
                found.emplace(e.topic_name, e.type_name);
            }
        }
        if (n > 0) {
            dds_return_loan(reader, samples, n);
        }
        dds_delete(reader);
        const bool all = std::includes(found.begin(), found.end(), wanted.begin(), wanted.end());
        if (all || std::chrono::steady_clock::now() >= deadline) {
            return found;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

constexpr const char* kLeftConfig = R"({
    "namespace": "left", "watchdog_s": 0.3,
    "joints": [
        {"name": "hip", "address": "0x20", "mode": "position", "rate_hz": 200,
         "limits": {"min": -1, "max": 1}},
        {"name": "knee", "address": "0x21", "mode": "velocity", "rate_hz": 200,
         "limits": {"min": -2, "max": 2}},
        {"name": "wrist", "bus": 1, "address": "0x20", "mode": "position", "rate_hz": 200,
         "limits": {"min": -1, "max": 1}}
    ]})";
// The second computer: the same joint name in another namespace.
constexpr const char* kRightConfig = R"({
    "namespace": "left",
    "joints": [{"name": "hip", "address": "0x20", "mode": "position",
                "limits": {"min": -1, "max": 1}}]})";

TEST(Bridge, TwoBridgesServeStatesCommandsWatchdogAndDiagnostics) {
    const Scratch scratch;
    BridgeProcess left(OXL_TOOL_PATH, {"--sim", "bridge", scratch.file("left.json", kLeftConfig)},
                       scratch.path + "/left.err");
    BridgeProcess right(
        OXL_TOOL_PATH,
        {"--sim", "bridge", scratch.file("right.json", kRightConfig), "--namespace", "/right/"},
        scratch.path + "/right.err");
    Peer peer("left");
    Peer other("right");
    ASSERT_TRUE(peer.ok() && other.ok());
    ASSERT_TRUE(peer.wait_matched(20.0)) << left.err();
    ASSERT_TRUE(other.wait_matched(20.0)) << right.err();

    // The names on the wire are those of ROS 2.
    const std::string joint_state = "sensor_msgs::msg::dds_::JointState_";
    const Endpoints bridge_writers = {
        {"rt/left/joint_states", joint_state},
        {"rt/right/joint_states", joint_state},
        {"rt/left/diagnostics", "diagnostic_msgs::msg::dds_::DiagnosticArray_"}};
    const Endpoints writers =
        endpoints(peer.participant, DDS_BUILTIN_TOPIC_DCPSPUBLICATION, bridge_writers);
    for (const auto& w : bridge_writers) {
        EXPECT_EQ(writers.count(w), 1u) << w.first;
    }
    const Endpoints readers = endpoints(peer.participant, DDS_BUILTIN_TOPIC_DCPSSUBSCRIPTION,
                                        {{"rt/left/joint_command", joint_state}});
    EXPECT_EQ(readers.count({"rt/left/joint_command", joint_state}), 1u);

    // One JointState per cycle and bus, at the configured 200 Hz, stamped with the receive time in
    // wall-clock time. The 1 s bound tells a stamp on the wrong clock (years off) from a right one;
    // under TSan on a busy machine a burst has reached the peer 280 ms after its receipt.
    peer.take_states();
    std::map<std::string, int> per_bus;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
         std::chrono::steady_clock::now() < end;) {
        for (const auto& state : peer.take_states()) {
            std::string names;
            for (const auto& joint : state.joints) {
                names += joint.first + " ";
            }
            ++per_bus[names];
            EXPECT_LT(std::abs(state.taken_ns - state.stamp_ns), 1000000000) << names;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(per_bus.size(), 2u);
    EXPECT_NEAR(per_bus["hip knee "], 200, 60);
    EXPECT_NEAR(per_bus["wrist "], 200, 60);

    // A position command moves the joint; the other bridge's joint of the same name stays.
    const auto near = [](double target) {
        return [target](const JointValue& v) { return std::abs(v.position - target) < 0.01; };
    };
    const auto send_hip = [&](double value) {
        return [&peer, value] { peer.command({"hip"}, {value}, "position"); };
    };
    EXPECT_TRUE(peer.wait_joint("hip", near(0.5), 5.0, nullptr, send_hip(0.5)));
    JointValue right_hip;
    EXPECT_TRUE(other.wait_joint("hip", near(0.0), 2.0, &right_hip)) << right_hip.position;

    // Beyond the limits, the setpoint is clamped.
    JointValue hip;
    EXPECT_TRUE(peer.wait_joint("hip", near(1.0), 5.0, &hip, send_hip(5.0))) << hip.position;
    EXPECT_FALSE(peer.wait_joint(
        "hip", [](const JointValue& v) { return v.position > 1.001; }, 0.3, nullptr,
        send_hip(5.0)));

    // Refused whole, touching nothing: an unknown joint, a non-finite value.
    peer.command({"hip", "elbow"}, {0.0, 0.0}, "position");
    peer.command({"hip"}, {std::nan("")}, "position");
    EXPECT_FALSE(peer.wait_joint(
        "hip", [](const JointValue& v) { return v.position < 0.99; }, 0.5));
    auto commands = peer.next_diagnostic(": commands", 3.0);
    for (int i = 0; i < 3 && commands["refused"] != "2"; ++i) {
        commands = peer.next_diagnostic(": commands", 3.0);
    }
    EXPECT_EQ(commands["refused"], "2");
    EXPECT_NE(commands["last_refused"].find("non-finite position for joint \"hip\""),
              std::string::npos);

    // A velocity joint moves while commanded; the watchdog stops it once the commands end.
    JointValue knee;
    ASSERT_TRUE(peer.wait_joint(
        "knee", [](const JointValue& v) { return v.velocity > 0.9; }, 5.0, &knee,
        [&peer] { peer.command({"knee"}, {1.0}, "velocity"); }));
    auto diagnostic = peer.next_diagnostic(": joint knee", 3.0);
    for (int i = 0; i < 3 && diagnostic["watchdog_stops"] != "1"; ++i) {
        diagnostic = peer.next_diagnostic(": joint knee", 3.0);
    }
    EXPECT_EQ(diagnostic["watchdog_stops"], "1");
    EXPECT_NE(diagnostic["message"].find("stopped by the watchdog"), std::string::npos);
    EXPECT_EQ(diagnostic["level"], "1");
    ASSERT_TRUE(peer.next_joint("knee", 1.0, knee));
    const double stopped_at = knee.position;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(peer.next_joint("knee", 1.0, knee));
    EXPECT_EQ(knee.position, stopped_at);
    EXPECT_NE(left.err().find("joint \"knee\" stopped: no command for 0.3 s"), std::string::npos);

    EXPECT_EQ(left.finish(), 0) << left.err();
    EXPECT_EQ(right.finish(), 0) << right.err();
}

// One velocity joint on a fake adapter; the watchdog is far off, so only the bridge's own safety
// paths stop it.
constexpr const char* kAdapterConfig = R"({
    "namespace": "arm", "watchdog_s": 60,
    "joints": [{"name": "elbow", "address": "0x20", "mode": "velocity", "rate_hz": 100,
                "limits": {"min": -2, "max": 2}}]})";

TEST(Bridge, StopsTheJointsOfALostBusAndOnExit) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    const Scratch scratch;
    oxl_test::SimAdapter adapter;
    adapter.bus().add_actuator(0x20);
    const auto running = [&adapter] {
        return adapter.bus().inspect(0x20, [](auto& a) { return a.enabled; }).value_or(false);
    };
    const auto stopped = [&] { return oxl_test::eventually([&] { return !running(); }); };
    // The message of the status named `suffix` once it is `wanted`, or the last one seen in five
    // reports.
    const auto diagnostic = [](Peer& peer, const std::string& suffix, const std::string& wanted) {
        std::string message;
        for (int i = 0; i < 5 && message != wanted; ++i) {
            message = peer.next_diagnostic(suffix, 3.0)["message"];
        }
        return message;
    };
    const std::string config = scratch.file("arm.json", kAdapterConfig);
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        BridgeProcess bridge(OXL_TOOL_PATH, {"--port", adapter.port_name(), "bridge", config},
                             scratch.path + "/arm.err", {"LD_PRELOAD=" OXL_BRIDGE_PRELOAD});
        Peer peer("arm");
        ASSERT_TRUE(peer.ok());
        ASSERT_TRUE(peer.wait_matched(20.0)) << bridge.err();
        const auto drive = [&] {
            return peer.wait_joint(
                "elbow", [&](const JointValue&) { return running(); }, 5.0, nullptr,
                [&peer] { peer.command({"elbow"}, {1.0}, "velocity"); });
        };
        ASSERT_TRUE(drive()) << bridge.err();

        if (signal == SIGINT) {
            // The adapter vanishes while the joint runs and its controller goes on commanding.
            adapter.unplug();
            EXPECT_EQ(diagnostic(peer, ": bus 0", "lost"), "lost");
            EXPECT_EQ(diagnostic(peer, ": joint elbow", "bus lost"), "bus lost");
            peer.command({"elbow"}, {1.0}, "velocity");
            const std::string refusal =
                "last refused: joint \"elbow\": bus 0 on " + adapter.port_name() + " is lost";
            EXPECT_EQ(diagnostic(peer, ": commands", refusal), refusal);
            EXPECT_NE(bridge.err().find(" lost; its joints take no commands"), std::string::npos);
            // Back: the actuator, still running on its own, is stopped, and stays so until the
            // next command.
            ASSERT_TRUE(adapter.replug());
            EXPECT_TRUE(stopped());
            EXPECT_EQ(diagnostic(peer, ": bus 0", "ok"), "ok");
            EXPECT_FALSE(running());
            EXPECT_TRUE(drive()) << bridge.err();
        }
        // Told to end while the joint runs: the stop reaches the actuator before the exit.
        EXPECT_EQ(bridge.finish(signal), 0) << bridge.err();
        EXPECT_TRUE(stopped());
    }
}

}  // namespace
