#pragma once

#include <dds/dds.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <oxl_api/orvex_actuator.hpp>
#include <oxl_api/oxl.hpp>

#include "bridge_config.hpp"
#include "ros_messages.h"

namespace oxl_api {
class OXL_over_USB;
}

namespace oxl_tool {

/// What `Bridge` runs on: the checked configuration and where its buses are.
struct BridgeOptions {
    BridgeConfig config;
    /// One simulated bus per bus index used by the joints, with an actuator at each address.
    bool simulated = false;
    /// Serial port of bus n at index n (hardware only).
    std::vector<std::string> ports;
};

/// The DDS topics of a bridge, after the ROS 2 naming rules: "rt/<namespace>/<name>".
struct BridgeTopics {
    std::string joint_states;
    std::string joint_command;
    std::string diagnostics;
};
/// The topic names for `ros_namespace` (empty: no namespace).
BridgeTopics bridge_topics(const std::string& ros_namespace);

/// Connects the joints of a configuration to DDS, as ROS 2 nodes see them.
///
/// The constructor opens the DDS entities, the buses, pings every joint and stops it, then
/// streams its feedback items. From then on, each bus's receive thread collects the frames of
/// its joints and publishes one `sensor_msgs/JointState` on `joint_states` per cycle: as soon as
/// every joint of the bus delivered a new frame, or earlier when a joint delivers a second frame
/// before the others (so a silent joint does not hold up the rest, its last values are repeated).
/// The header stamp is the wall-clock time at which the oldest new frame was received.
///
/// `run` is the control loop, on the calling thread: it applies the commands of
/// `joint_command`, runs the per-joint watchdog, watches for lost buses and publishes
/// `diagnostics` once a second. The destructor stops every joint.
class Bridge {
  public:
    /// Throws `UsageError` for a joint on a bus without a port, `DeviceError` when DDS cannot
    /// start, a port cannot be opened or a joint does not answer (the joints already connected
    /// are stopped again).
    explicit Bridge(BridgeOptions options);
    /// Stops every joint and its stream, then closes the buses and the DDS entities.
    ~Bridge();

    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    /// Serves commands, watchdogs and diagnostics until `keep_going` returns false (asked at
    /// least every 10 ms).
    void run(const std::function<bool()>& keep_going);
    /// Stops every joint (sent even to a joint that was never started).
    void stop_all();

  private:
    struct Bus;

    /// One configured joint. `actuator` and `config` are immutable after construction.
    struct Joint {
        JointConfig config;
        Bus* bus = nullptr;
        /// Position of the joint in its bus's JointState.
        std::size_t slot = 0;
        std::unique_ptr<oxl_api::OrvexActuator> actuator;

        // ---- control thread only ----
        bool running = false;
        bool watchdog_stopped = false;
        std::chrono::steady_clock::time_point last_command{};
        double setpoint = 0.0;
        bool has_setpoint = false;
        uint64_t commands = 0;
        uint64_t clamped = 0;
        uint64_t watchdog_stops = 0;

        // ---- written by the receive thread's error callback; guarded by `errors_mutex` ----
        std::mutex errors_mutex;
        /// Errors of the latest error report, by bit.
        std::map<int, std::string> errors;
        /// A serious error stopped the joint; the control thread takes it over.
        bool fault_stop = false;
    };

    /// One bus, its transport and the JointState it publishes.
    struct Bus {
        int index = 0;
        std::string description;
        std::unique_ptr<oxl_api::OXL> transport;
        /// The transport when it is the USB adapter; null on the simulated bus.
        oxl_api::OXL_over_USB* usb = nullptr;
        std::vector<Joint*> joints;
        /// Control thread only: the adapter vanished and has not come back yet.
        bool lost = false;
        /// Control thread only: the adapter's reconnect count when last checked, so that an
        /// outage shorter than a check interval is noticed too.
        uint64_t reconnects_seen = 0;

        // ---- receive thread only: the cycle being collected and the message buffers ----
        std::vector<oxl_api::OrvexActuator::FeedbackSample> latest;
        std::vector<char> fresh;
        std::size_t fresh_count = 0;
        std::vector<char*> names;
        std::vector<double> position, velocity, effort;
        sensor_msgs_msg_dds__JointState_ message{};

        /// Guards `published` and `write_failures` (read by the diagnostics).
        std::mutex stats_mutex;
        uint64_t published = 0;
        uint64_t write_failures = 0;
    };

    void open_dds();
    void open_buses();
    void start_joint(Joint& joint);
    void on_sample(Bus& bus, std::size_t slot,
                   const oxl_api::OrvexActuator::FeedbackSample& sample);
    void publish_cycle(Bus& bus);
    void take_commands();
    void apply_command(const sensor_msgs_msg_dds__JointState_& command);
    void refuse(const std::string& reason);
    void check_watchdogs(std::chrono::steady_clock::time_point now);
    void check_buses();
    void publish_diagnostics();
    builtin_interfaces_msg_dds__Time_ wall_stamp(int64_t monotonic_ns) const;

    BridgeOptions options;
    BridgeTopics topics;
    /// Wall-clock minus monotonic time, taken once at start: stamps follow the ROS convention
    /// (wall-clock time) and stay monotonic among themselves.
    int64_t wall_offset_ns = 0;

    // DDS entities, declared before the buses and joints: the joints' callbacks write to
    // `state_writer`, so the participant (which deletes every entity) is closed after them.
    dds_entity_t participant = 0;
    dds_entity_t state_writer = 0;
    dds_entity_t diagnostics_writer = 0;
    dds_entity_t command_reader = 0;
    dds_entity_t waitset = 0;

    /// Buses by index; declared before the joints, whose actuators refer to their transports.
    std::map<int, std::unique_ptr<Bus>> buses;
    std::vector<std::unique_ptr<Joint>> joints;
    std::map<std::string, Joint*> by_name;

    // ---- control thread only ----
    uint64_t commands_received = 0;
    uint64_t commands_refused = 0;
    std::string last_refusal;
    std::chrono::steady_clock::time_point last_refusal_line{};
    std::chrono::steady_clock::time_point next_diagnostics{};
};

}  // namespace oxl_tool
