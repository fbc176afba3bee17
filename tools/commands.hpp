#pragma once

#include <cstdint>
#include <optional>
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
    bool json = false;
};
/// `oxl scan`: pings every id of the range, a window of ids at a time (`--sequential`: one id at
/// a time, 50 ms each); found devices on standard output (a JSON array with `json`), progress on
/// standard error. Exit status 1 when nothing answered.
int run_scan(Session& session, const ScanArgs& args);

/// `oxl info ID`: identity, live state and every parameter, as tables or one JSON document.
int run_info(Session& session, const std::string& id, bool json);

/// `oxl param get ID [NAME...]`: parameters as a table or a JSON document (all of them without
/// names).
int run_param_get(Session& session, const std::string& id, const std::vector<std::string>& names,
                  bool json);
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

/// `oxl config dump ID`: every parameter but the address, with the model, firmware and address,
/// as one JSON document on standard output.
int run_config_dump(Session& session, const std::string& id);
/// Arguments of `oxl config restore`.
struct ConfigRestoreArgs {
    std::string id;
    std::string file;
    bool save = false;   // store the configuration in the device once every value is taken
    bool force = false;  // restore onto a device of another model
};
/// `oxl config restore ID FILE`: checks the whole file first, then writes its values, reads them
/// back and shows what changed; exit status 1 when a value did not read back as written.
int run_config_restore(Session& session, const ConfigRestoreArgs& args);

/// Arguments of `oxl stop`.
struct StopArgs {
    std::string target;  // an id, or "all"
    std::string from = "0x10";
    std::string to = "0x3ffe";
};
/// `oxl stop ID|all`: stops one actuator (the stop is sent even when it does not answer), or
/// every actuator the scanner's discovery finds in the range, each as soon as its window of ids
/// is done.
int run_stop(Session& session, const StopArgs& args);
/// `oxl home ID`: makes the present position the home position.
int run_home(Session& session, const std::string& id);
/// Arguments of `oxl errors`.
struct ErrorsArgs {
    std::string id;
    bool watch = false;
    bool duration_given = false;
    double duration_s = 0.0;  // 0: until Ctrl-C
    bool json = false;
};
/// `oxl errors ID`: the error state, every bit exact, with names and seriousness; with `watch`,
/// then every error report the device sends until Ctrl-C or the duration ends.
int run_errors(Session& session, const ErrorsArgs& args);
/// Asks the device at `id` for its error state (the item ERRORS, every bit exact), waiting up to
/// `timeout_s`; nothing without an answer. Takes over the id's message callback while it waits, so
/// no client object may be bound to `id` meanwhile.
std::optional<uint32_t> read_error_state(oxl_api::OXL& bus, int id, float timeout_s);

/// Arguments of `oxl monitor`, as typed.
struct MonitorArgs {
    std::vector<std::string> ids;
    std::string items = "POSITION_4C,SPEED_45,TORQUE_56";
    int rate_hz = 10;
    double duration_s = 0.0;  // 0: until Ctrl-C
    std::string csv;          // empty: table; "-": CSV on standard output
    bool json = false;        // one JSON object per frame on standard output
};
/// `oxl monitor ID...`: streams the feedback of one or several actuators together, a row (or JSON
/// object) per frame in the order the frames arrived, as a live table, CSV or JSON lines; then a
/// summary line per actuator and one of the transport's counters.
int run_monitor(Session& session, const MonitorArgs& args);

/// Arguments of `oxl move`.
struct MoveArgs {
    std::vector<std::string> ids;
    // One of the four targets is given (none with `setpoints`); the flags say which were.
    bool has_position = false, has_speed = false, has_torque = false, has_impedance = false;
    bool has_stiffness = false, has_damping = false;
    float position = 0.0f, speed = 0.0f, torque = 0.0f, impedance = 0.0f;
    float stiffness = 0.0f, damping = 0.0f;
    std::string sine;       // "AMPLITUDE,FREQUENCY" about the target; empty: none
    bool has_ramp = false;  // reach the target linearly in `ramp_s`
    double ramp_s = 0.0;
    std::string setpoints;    // CSV file of times and setpoints; empty: none
    double duration_s = 0.0;  // 0: until Ctrl-C (or the end of the setpoints)
    int rate_hz = 10;         // rows printed per second
};
/// `oxl move ID...`: starts the devices on a setpoint or a trajectory, reports their feedback,
/// stops them at the end.
int run_move(Session& session, const MoveArgs& args);
/// Sends `value` as the setpoint of `mode`, which the actuator switches to if needed; in
/// impedance mode with `stiffness` and `damping` (`kUnset`: the device keeps its own).
void send_setpoint(oxl_api::OrvexActuator& actuator, oxl_api::OrvexActuator::Mode mode, float value,
                   float stiffness = oxl_api::OrvexActuator::kUnset,
                   float damping = oxl_api::OrvexActuator::kUnset);

/// Arguments of `oxl demo`.
struct DemoArgs {
    std::string output = "oxl_demo.svg";  // in the current folder
    std::string id;                       // empty: the first actuator the scan finds
};
/// `oxl demo`: scan, connect, position step, impedance hold under changing load, summary and
/// an SVG plot.
int run_demo(Session& session, const DemoArgs& args);

/// `oxl decode FILE`: each line of a candump log as the protocol means it (time, direction,
/// address, command or report and its values; raw bytes of what is not known), or one JSON object
/// per line with `json`. A line that is not a message is reported with its number (exit status
/// 2) before anything is printed.
int run_decode(const std::string& file, bool json);
/// `oxl replay FILE`: sends the log's host-to-device messages again with their original spacing
/// and reports, per message, where the devices' answers differ from the recorded ones (exit
/// status 1 when any do). On the simulated bus the devices that answered in the log are added
/// with the identity they gave.
int run_replay(Session& session, const std::string& file);

}  // namespace oxl_tool
