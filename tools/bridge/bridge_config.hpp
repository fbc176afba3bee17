#pragma once

#include <string>
#include <vector>

#include <oxl_api/orvex_actuator.hpp>

namespace oxl_tool {

/// The setpoint a joint takes from a command: the JointState field it reads and the actuator
/// mode it drives.
enum class JointMode { POSITION, VELOCITY, EFFORT };

/// The name of a joint mode as written in the configuration ("position", "velocity", "effort").
const char* joint_mode_name(JointMode mode);

/// One joint of the bridge configuration.
struct JointConfig {
    std::string name;
    /// Index of the bus: the n-th `--port` on hardware; any of 0..15 on the simulated bus.
    int bus = 0;
    int address = 0;
    JointMode mode = JointMode::POSITION;
    /// Streaming rate of the joint's feedback, in hertz.
    int rate_hz = 100;
    /// The items streamed into the JointState fields; `has_*` false leaves the field NaN.
    bool has_position = true, has_velocity = true, has_effort = true;
    oxl_api::OrvexActuator::OXL_Items position_item =
        oxl_api::OrvexActuator::OXL_Items::POSITION_4C;
    oxl_api::OrvexActuator::OXL_Items velocity_item = oxl_api::OrvexActuator::OXL_Items::SPEED_45;
    oxl_api::OrvexActuator::OXL_Items effort_item = oxl_api::OrvexActuator::OXL_Items::TORQUE_56;
    /// Every setpoint is clamped to `min`..`max` (units of the mode's setpoint).
    double min = 0.0, max = 0.0;
};

/// The whole bridge configuration.
struct BridgeConfig {
    /// ROS namespace of the topics, without leading or trailing '/'; empty: none.
    std::string ros_namespace;
    /// A joint that was commanded and then receives no command for this long is stopped.
    double watchdog_s = 0.2;
    std::vector<JointConfig> joints;
};

/// Parses and checks a configuration (JSON text; `source` names it in messages). Throws
/// `UsageError` with one line naming the first bad entry: malformed JSON, an unknown or missing
/// key, a value of the wrong type or out of range, a duplicate joint name, a duplicate address
/// on one bus, or limits with min above max.
BridgeConfig parse_bridge_config(const std::string& text, const std::string& source);

/// Reads and parses the configuration file `path`; see `parse_bridge_config`.
BridgeConfig load_bridge_config(const std::string& path);

/// Throws `UsageError` unless `text` is a valid ROS namespace: tokens of letters, digits and
/// underscores, not starting with a digit, separated by single '/' (leading and trailing '/'
/// are accepted and dropped). Returns the namespace without them.
std::string check_ros_namespace(const std::string& text, const std::string& what);

}  // namespace oxl_tool
