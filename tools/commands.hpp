#pragma once

#include <string>
#include <vector>

#include "session.hpp"

namespace oxl_tool {

// Each command returns the exit status; bad input throws `UsageError`, a silent device
// `DeviceError` (see errors.hpp). Arguments arrive as the user typed them and are checked before
// the bus is opened, so that a typo never touches a device.

/// `oxl ports`: the machine's serial ports with their USB ids, marking the adapters.
int run_ports();

/// `oxl names [items|parameters]`: the names accepted for items and parameters.
int run_names(const std::string& which);

/// Arguments of `oxl scan`, as typed.
struct ScanArgs {
    std::string from = "0x10";
    std::string to = "0x7f";
    bool all = false;
    bool sequential = false;
};
/// `oxl scan`: pings every id of the range, a window of ids at a time (`--sequential`: one id at
/// a time, 50 ms each); found devices on standard output, progress on standard error. Exit
/// status 1 when nothing answered.
int run_scan(Session& session, const ScanArgs& args);

/// `oxl info ID`: identity, live state and every parameter.
int run_info(Session& session, const std::string& id);

/// `oxl param get ID [NAME...]`: parameters as a table (all of them without names).
int run_param_get(Session& session, const std::string& id, const std::vector<std::string>& names);
/// `oxl param set ID NAME=VALUE...`: writes, then reads back and shows before and after.
int run_param_set(Session& session, const std::string& id,
                  const std::vector<std::string>& assignments);

/// `oxl save ID`: makes the device store its configuration.
int run_save(Session& session, const std::string& id);
/// `oxl blink ID`: makes the device blink.
int run_blink(Session& session, const std::string& id);
/// `oxl set-address ID NEW`: moves the device to a free address and checks that it answers there.
int run_set_address(Session& session, const std::string& id, const std::string& new_id);
/// `oxl factory-reset ID --yes`: restores the factory parameters.
int run_factory_reset(Session& session, const std::string& id, bool confirmed);

/// Arguments of `oxl monitor`, as typed.
struct MonitorArgs {
    std::string id;
    std::string items = "POSITION_4C,SPEED_45,TORQUE_56";
    int rate_hz = 10;
    double duration_s = 0.0;  // 0: until Ctrl-C
    std::string csv;          // empty: table; "-": CSV on standard output
};
/// `oxl monitor ID`: streams feedback as a live table or as CSV.
int run_monitor(Session& session, const MonitorArgs& args);

/// Arguments of `oxl move`.
struct MoveArgs {
    std::string id;
    // Exactly one of the four targets is given; the flags say which were.
    bool has_position = false, has_speed = false, has_torque = false, has_impedance = false;
    bool has_stiffness = false, has_damping = false;
    float position = 0.0f, speed = 0.0f, torque = 0.0f, impedance = 0.0f;
    float stiffness = 0.0f, damping = 0.0f;
    double duration_s = 0.0;  // 0: until Ctrl-C
    int rate_hz = 10;         // rows printed per second
};
/// `oxl move ID`: starts the device on one setpoint, reports feedback, stops it at the end.
int run_move(Session& session, const MoveArgs& args);

/// Arguments of `oxl demo`.
struct DemoArgs {
    std::string output = "oxl_demo.svg";
    std::string id;  // empty: the first actuator the scan finds
};
/// `oxl demo`: scan, connect, position step, impedance hold under changing load, summary and
/// an SVG plot.
int run_demo(Session& session, const DemoArgs& args);

}  // namespace oxl_tool
