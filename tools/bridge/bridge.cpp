#include "bridge.hpp"

#include <oxl_api/oxl_over_sim.hpp>
#include <oxl_api/oxl_over_usb.hpp>

#include <algorithm>
#include <cmath>
#include <deque>
#include <iostream>
#include <limits>
#include <sstream>
#include <utility>

#include "../errors.hpp"
#include "../names.hpp"
#include "../output.hpp"

namespace oxl_tool {
namespace {

using oxl_api::OrvexActuator;
using SteadyClock = std::chrono::steady_clock;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Model code of the simulated actuators (any model will do).
constexpr uint16_t kSimModelCode = 1;
// How long a joint may take to answer its ping at start.
constexpr float kPingTimeoutS = 0.5f;
// The control loop wakes at least this often, for the watchdogs and Ctrl-C.
constexpr dds_duration_t kLoopWait = DDS_MSECS(10);
// Commands taken from the reader per call.
constexpr int kTakeBatch = 16;
// Levels of diagnostic_msgs/DiagnosticStatus.
constexpr uint8_t kLevelOk = 0, kLevelWarn = 1, kLevelError = 2;

int64_t wall_time_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string topic(const std::string& ros_namespace, const std::string& name) {
    return "rt/" + (ros_namespace.empty() ? "" : ros_namespace + "/") + name;
}

// Owns the strings and key-value arrays of one DiagnosticArray while it is written.
class DiagnosticsBuilder {
  public:
    void add(uint8_t level, const std::string& name, const std::string& message,
             const std::string& hardware_id,
             const std::vector<std::pair<std::string, std::string>>& values) {
        diagnostic_msgs_msg_dds__DiagnosticStatus_ status{};
        status.level = level;
        status.name = keep(name);
        status.message = keep(message);
        status.hardware_id = keep(hardware_id);
        pairs.emplace_back();
        for (const auto& value : values) {
            pairs.back().push_back({keep(value.first), keep(value.second)});
        }
        statuses.push_back(status);
    }

    // The message, valid while this object lives and is not changed.
    diagnostic_msgs_msg_dds__DiagnosticArray_ message(builtin_interfaces_msg_dds__Time_ stamp) {
        for (std::size_t i = 0; i < statuses.size(); ++i) {
            statuses[i].values._buffer = pairs[i].data();
            statuses[i].values._length = statuses[i].values._maximum =
                static_cast<uint32_t>(pairs[i].size());
        }
        diagnostic_msgs_msg_dds__DiagnosticArray_ array{};
        array.header.stamp = stamp;
        array.header.frame_id = keep("");
        array.status._buffer = statuses.data();
        array.status._length = array.status._maximum = static_cast<uint32_t>(statuses.size());
        return array;
    }

  private:
    char* keep(const std::string& text) {
        texts.push_back(text);
        return &texts.back()[0];
    }

    std::deque<std::string> texts;  // a deque never moves what it holds
    std::deque<std::vector<diagnostic_msgs_msg_dds__KeyValue_>> pairs;
    std::vector<diagnostic_msgs_msg_dds__DiagnosticStatus_> statuses;
};

std::string count(uint64_t value) {
    return std::to_string(value);
}

}  // namespace

BridgeTopics bridge_topics(const std::string& ros_namespace) {
    return {topic(ros_namespace, "joint_states"), topic(ros_namespace, "joint_command"),
            topic(ros_namespace, "diagnostics")};
}

Bridge::Bridge(BridgeOptions options_in)
    : options(std::move(options_in)), topics(bridge_topics(options.config.ros_namespace)) {
    for (const auto& joint : options.config.joints) {
        if (!options.simulated && joint.bus >= static_cast<int>(options.ports.size())) {
            throw UsageError("joint \"" + joint.name + "\" is on bus " + std::to_string(joint.bus) +
                             ", which has no --port (bus n is the " + "n-th --port, from 0)");
        }
    }
    wall_offset_ns = wall_time_ns() - oxl_api::monotonic_time_ns();
    open_dds();
    try {
        open_buses();
        for (auto& joint : joints) {
            start_joint(*joint);
        }
    } catch (...) {
        joints.clear();  // each actuator's destructor stops it
        buses.clear();
        dds_delete(participant);
        throw;
    }
}

Bridge::~Bridge() {
    stop_all();
    for (auto& joint : joints) {
        joint->actuator->setFeedbackRate(0);
    }
    joints.clear();
    buses.clear();
    dds_delete(participant);
}

void Bridge::open_dds() {
    participant = dds_create_participant(DDS_DOMAIN_DEFAULT, nullptr, nullptr);
    if (participant < 0) {
        throw DeviceError(std::string("cannot start DDS: ") + dds_strretcode(participant) +
                          " (check CYCLONEDDS_URI)");
    }
    dds_qos_t* qos = dds_create_qos();
    // Joint states: a stream where only the newest sample matters; a late or lost one is
    // superseded by the next within a period, so nothing is resent or queued.
    dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 1);
    const dds_entity_t state_topic =
        dds_create_topic(participant, &sensor_msgs_msg_dds__JointState__desc,
                         topics.joint_states.c_str(), nullptr, nullptr);
    state_writer = dds_create_writer(participant, state_topic, qos, nullptr);
    // Commands: every command counts (a lost one would leave a joint on an old setpoint until
    // the next), so they are delivered reliably; a short queue absorbs a burst, and the newest
    // commands win when the bridge falls behind.
    dds_reset_qos(qos);
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 10);
    const dds_entity_t command_topic =
        dds_create_topic(participant, &sensor_msgs_msg_dds__JointState__desc,
                         topics.joint_command.c_str(), nullptr, nullptr);
    command_reader = dds_create_reader(participant, command_topic, qos, nullptr);
    // Diagnostics: one report a second, each worth receiving; reliable at that rate costs
    // nothing (as ROS 2 tools publish /diagnostics).
    dds_reset_qos(qos);
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 10);
    const dds_entity_t diagnostics_topic =
        dds_create_topic(participant, &diagnostic_msgs_msg_dds__DiagnosticArray__desc,
                         topics.diagnostics.c_str(), nullptr, nullptr);
    diagnostics_writer = dds_create_writer(participant, diagnostics_topic, qos, nullptr);
    dds_delete_qos(qos);

    waitset = dds_create_waitset(participant);
    const dds_entity_t readable = dds_create_readcondition(command_reader, DDS_ANY_STATE);
    const dds_return_t attached =
        readable < 0 ? readable : dds_waitset_attach(waitset, readable, 0);
    for (const dds_entity_t entity : {state_topic, state_writer, command_topic, command_reader,
                                      diagnostics_topic, diagnostics_writer, waitset}) {
        if (entity < 0 || attached < 0) {
            const dds_return_t failure = entity < 0 ? entity : attached;
            dds_delete(participant);
            throw DeviceError(std::string("cannot create the DDS topics: ") +
                              dds_strretcode(failure));
        }
    }
}

void Bridge::open_buses() {
    for (const auto& config : options.config.joints) {
        auto& bus = buses[config.bus];
        if (!bus) {
            bus = std::make_unique<Bus>();
            bus->index = config.bus;
            if (options.simulated) {
                bus->transport = std::make_unique<oxl_api::OXL_over_Sim>(true);
                bus->description = "simulated bus " + std::to_string(config.bus);
            } else {
                const std::string& port = options.ports[static_cast<std::size_t>(config.bus)];
                auto usb = std::make_unique<oxl_api::OXL_over_USB>(port, true);
                if (!usb->is_connected()) {
                    throw DeviceError("cannot open the adapter on " + port + " (bus " +
                                      std::to_string(config.bus) + ")");
                }
                // A vanished adapter is reopened when it comes back; `check_buses` stops the
                // joints of a lost bus.
                usb->set_auto_reconnect(true);
                bus->usb = usb.get();
                bus->transport = std::move(usb);
                bus->description = "bus " + std::to_string(config.bus) + " on " + port;
            }
        }
        if (options.simulated) {
            static_cast<oxl_api::OXL_over_Sim&>(*bus->transport)
                .bus()
                .add_actuator(config.address, kSimModelCode);
        }
        auto joint = std::make_unique<Joint>();
        joint->config = config;
        joint->bus = bus.get();
        joint->slot = bus->joints.size();
        bus->joints.push_back(joint.get());
        by_name[config.name] = joint.get();
        joints.push_back(std::move(joint));
    }
    for (auto& entry : buses) {
        Bus& bus = *entry.second;
        const std::size_t n = bus.joints.size();
        bus.latest.assign(n, {});
        bus.fresh.assign(n, 0);
        bus.position.assign(n, kNaN);
        bus.velocity.assign(n, kNaN);
        bus.effort.assign(n, kNaN);
        for (Joint* joint : bus.joints) {
            // DDS only reads the names; the configuration strings outlive every write.
            bus.names.push_back(const_cast<char*>(joint->config.name.c_str()));
        }
        const auto length = static_cast<uint32_t>(n);
        bus.message.header.frame_id = const_cast<char*>("");
        bus.message.name = {length, length, bus.names.data(), false};
        bus.message.position = {length, length, bus.position.data(), false};
        bus.message.velocity = {length, length, bus.velocity.data(), false};
        bus.message.effort = {length, length, bus.effort.data(), false};
    }
}

void Bridge::start_joint(Joint& joint) {
    const JointConfig& config = joint.config;
    joint.actuator = std::make_unique<OrvexActuator>(*joint.bus->transport, config.address);
    OrvexActuator& actuator = *joint.actuator;
    if (!actuator.connect(kPingTimeoutS)) {
        throw DeviceError("joint \"" + config.name + "\" at " + hex_id(config.address) + " on " +
                          joint.bus->description + " does not answer");
    }
    // Nothing moves before its first command.
    actuator.stop();
    actuator.set_error_callback([&joint](int, const OrvexActuator::ErrorMap& errors) {
        bool serious = false;
        {
            std::lock_guard<std::mutex> lock(joint.errors_mutex);
            joint.errors.clear();
            for (const auto& error : errors) {
                joint.errors.emplace(error.first, error.second);
                serious = serious || oxl_api::is_serious_error(error.first);
            }
            joint.fault_stop = joint.fault_stop || serious;
        }
        if (serious) {
            joint.actuator->stop();
        }
    });
    std::vector<OrvexActuator::OXL_Items> items;
    for (const auto& field : {std::make_pair(config.has_position, config.position_item),
                              std::make_pair(config.has_velocity, config.velocity_item),
                              std::make_pair(config.has_effort, config.effort_item)}) {
        if (field.first && std::find(items.begin(), items.end(), field.second) == items.end()) {
            items.push_back(field.second);
        }
    }
    Bus& bus = *joint.bus;
    const std::size_t slot = joint.slot;
    actuator.set_feedback_sample_callback(
        [this, &bus, slot](int, const OrvexActuator::FeedbackSample& sample) {
            on_sample(bus, slot, sample);
        });
    actuator.setFeedbackItems(items);
    actuator.setFeedbackRate(config.rate_hz);
}

void Bridge::on_sample(Bus& bus, std::size_t slot, const OrvexActuator::FeedbackSample& sample) {
    if (bus.fresh[slot] != 0) {
        publish_cycle(bus);  // a joint is a frame ahead of the others: do not drop its last one
    }
    bus.latest[slot] = sample;
    bus.fresh[slot] = 1;
    if (++bus.fresh_count == bus.fresh.size()) {
        publish_cycle(bus);
    }
}

void Bridge::publish_cycle(Bus& bus) {
    int64_t oldest = std::numeric_limits<int64_t>::max();
    for (std::size_t i = 0; i < bus.joints.size(); ++i) {
        const JointConfig& config = bus.joints[i]->config;
        const OrvexActuator::FeedbackSample& sample = bus.latest[i];
        if (bus.fresh[i] != 0) {
            oldest = std::min(oldest, sample.receive_time_ns);
        }
        bus.position[i] = config.has_position ? sample.value_or(config.position_item, NAN) : kNaN;
        bus.velocity[i] = config.has_velocity ? sample.value_or(config.velocity_item, NAN) : kNaN;
        bus.effort[i] = config.has_effort ? sample.value_or(config.effort_item, NAN) : kNaN;
        bus.fresh[i] = 0;
    }
    bus.fresh_count = 0;
    bus.message.header.stamp = wall_stamp(oldest);
    const dds_return_t written = dds_write(state_writer, &bus.message);
    std::lock_guard<std::mutex> lock(bus.stats_mutex);
    ++bus.published;
    bus.write_failures += written < 0 ? 1 : 0;
}

builtin_interfaces_msg_dds__Time_ Bridge::wall_stamp(int64_t monotonic_ns) const {
    const int64_t wall = monotonic_ns + wall_offset_ns;
    builtin_interfaces_msg_dds__Time_ stamp{};
    stamp.sec = static_cast<int32_t>(wall / 1000000000);
    stamp.nanosec = static_cast<uint32_t>(wall % 1000000000);
    return stamp;
}

void Bridge::run(const std::function<bool()>& keep_going) {
    next_diagnostics = SteadyClock::now();
    while (keep_going()) {
        dds_waitset_wait(waitset, nullptr, 0, kLoopWait);
        take_commands();
        const auto now = SteadyClock::now();
        check_watchdogs(now);
        check_buses();
        if (now >= next_diagnostics) {
            publish_diagnostics();
            next_diagnostics = now + std::chrono::seconds(1);
        }
    }
}

void Bridge::take_commands() {
    void* samples[kTakeBatch] = {};
    dds_sample_info_t infos[kTakeBatch];
    for (;;) {
        const dds_return_t n = dds_take(command_reader, samples, infos, kTakeBatch, kTakeBatch);
        if (n <= 0) {
            return;
        }
        for (dds_return_t i = 0; i < n; ++i) {
            if (infos[i].valid_data) {
                apply_command(*static_cast<sensor_msgs_msg_dds__JointState_*>(samples[i]));
            }
        }
        dds_return_loan(command_reader, samples, n);
        if (n < kTakeBatch) {
            return;
        }
    }
}

void Bridge::apply_command(const sensor_msgs_msg_dds__JointState_& command) {
    ++commands_received;
    // The whole command is checked before any joint is touched: a joint set that is meant to
    // move together either moves together or not at all.
    std::vector<std::pair<Joint*, double>> setpoints;
    for (uint32_t i = 0; i < command.name._length; ++i) {
        const char* name = command.name._buffer[i] != nullptr ? command.name._buffer[i] : "";
        const auto found = by_name.find(name);
        if (found == by_name.end()) {
            refuse(std::string("unknown joint \"") + name + "\"");
            return;
        }
        Joint* joint = found->second;
        // Nothing reaches a lost bus; accepting the command would mark the joint running while
        // the stop sent on the bus's return leaves it halted.
        if (joint->bus->lost) {
            refuse(std::string("joint \"") + name + "\": " + joint->bus->description + " is lost");
            return;
        }
        for (const auto& earlier : setpoints) {
            if (earlier.first == joint) {
                refuse(std::string("joint \"") + name + "\" named twice");
                return;
            }
        }
        const char* field = joint_mode_name(joint->config.mode);
        const dds_sequence_double& values =
            joint->config.mode == JointMode::POSITION   ? command.position
            : joint->config.mode == JointMode::VELOCITY ? command.velocity
                                                        : command.effort;
        if (i >= values._length) {
            refuse(std::string("no ") + field + " for joint \"" + name + "\"");
            return;
        }
        const double value = values._buffer[i];
        if (!std::isfinite(value)) {
            refuse(std::string("non-finite ") + field + " for joint \"" + name + "\"");
            return;
        }
        setpoints.emplace_back(joint, value);
    }
    const auto now = SteadyClock::now();
    for (const auto& entry : setpoints) {
        Joint& joint = *entry.first;
        const double value = std::clamp(entry.second, joint.config.min, joint.config.max);
        joint.clamped += value != entry.second ? 1 : 0;
        const auto setpoint = static_cast<float>(value);
        OrvexActuator& actuator = *joint.actuator;
        switch (joint.config.mode) {
            case JointMode::POSITION:
                actuator.change_position_setpoint(setpoint);
                break;
            case JointMode::VELOCITY:
                actuator.change_speed_setpoint(setpoint);
                break;
            case JointMode::EFFORT:
                actuator.change_torque_setpoint(setpoint);
                break;
        }
        // The setpoint goes first, so that a joint starts on it rather than on an old one.
        if (!joint.running) {
            actuator.start();
            joint.running = true;
        }
        joint.watchdog_stopped = false;
        joint.last_command = now;
        joint.setpoint = value;
        joint.has_setpoint = true;
        ++joint.commands;
    }
}

void Bridge::refuse(const std::string& reason) {
    ++commands_refused;
    last_refusal = reason;
    // One line a second at most: a flood of bad commands must not flood the terminal too; the
    // diagnostics count every one.
    const auto now = SteadyClock::now();
    if (now - last_refusal_line >= std::chrono::seconds(1)) {
        last_refusal_line = now;
        std::cerr << "oxl bridge: command refused: " << reason << std::endl;
    }
}

void Bridge::check_watchdogs(SteadyClock::time_point now) {
    const auto limit = std::chrono::duration<double>(options.config.watchdog_s);
    for (auto& joint : joints) {
        bool fault = false;
        {
            std::lock_guard<std::mutex> lock(joint->errors_mutex);
            std::swap(fault, joint->fault_stop);
        }
        if (fault && joint->running) {
            joint->running = false;  // the error callback has sent the stop already
            std::cerr << "oxl bridge: joint \"" << joint->config.name
                      << "\" stopped on a serious error" << std::endl;
        }
        if (joint->running && now - joint->last_command > limit) {
            joint->actuator->stop();
            joint->running = false;
            joint->watchdog_stopped = true;
            ++joint->watchdog_stops;
            std::cerr << "oxl bridge: joint \"" << joint->config.name
                      << "\" stopped: no command for " << options.config.watchdog_s << " s"
                      << std::endl;
        }
    }
}

void Bridge::check_buses() {
    for (auto& entry : buses) {
        Bus& bus = *entry.second;
        if (bus.usb == nullptr) {
            continue;
        }
        const bool connected = bus.usb->is_connected();
        const uint64_t reconnects = bus.usb->counters().reconnects;
        // A loss and return that both fell between two checks (a stalled control thread) shows
        // only in the reconnect count; the joints must be stopped all the same.
        const bool missed_outage = connected && !bus.lost && reconnects != bus.reconnects_seen;
        bus.reconnects_seen = reconnects;
        if (!connected && !bus.lost) {
            bus.lost = true;
            std::cerr << "oxl bridge: " << bus.description
                      << " lost; its joints take no commands and are stopped when it is back"
                      << std::endl;
            for (Joint* joint : bus.joints) {
                joint->running = false;
            }
        } else if (connected && (bus.lost || missed_outage)) {
            // The actuators kept running on their own while the line was gone: stop them now,
            // and stream again (an actuator that was powered off has forgotten its stream).
            bus.lost = false;
            std::cerr << "oxl bridge: " << bus.description
                      << (missed_outage ? " was lost and is back" : " back")
                      << "; its joints are stopped until commanded" << std::endl;
            for (Joint* joint : bus.joints) {
                joint->running = false;
                joint->actuator->stop();
                joint->actuator->setFeedbackRate(joint->config.rate_hz);
            }
        }
    }
}

void Bridge::stop_all() {
    for (auto& joint : joints) {
        joint->actuator->stop();
        joint->running = false;
    }
}

void Bridge::publish_diagnostics() {
    DiagnosticsBuilder report;
    const std::string prefix =
        "oxl_bridge" + (options.config.ros_namespace.empty() ? std::string()
                                                             : " /" + options.config.ros_namespace);
    report.add(commands_refused > 0 ? kLevelWarn : kLevelOk, prefix + ": commands",
               commands_refused > 0 ? "last refused: " + last_refusal : "ok", "",
               {{"received", count(commands_received)},
                {"refused", count(commands_refused)},
                {"last_refused", last_refusal}});
    for (auto& entry : buses) {
        Bus& bus = *entry.second;
        const oxl_api::TransportCounters c = bus.transport->counters();
        uint64_t published = 0, failures = 0;
        {
            std::lock_guard<std::mutex> lock(bus.stats_mutex);
            published = bus.published;
            failures = bus.write_failures;
        }
        std::vector<std::pair<std::string, std::string>> values = {
            {"joint_states_published", count(published)},
            {"joint_states_write_failures", count(failures)}};
        for (const auto& [name, value] : counter_fields(c)) {
            values.emplace_back(name, count(value));
        }
        report.add(bus.lost ? kLevelError : kLevelOk, prefix + ": bus " + std::to_string(bus.index),
                   bus.lost ? "lost" : "ok", bus.description, values);
    }
    for (auto& joint : joints) {
        std::string errors;
        bool serious = false;
        {
            std::lock_guard<std::mutex> lock(joint->errors_mutex);
            for (const auto& error : joint->errors) {
                errors += (errors.empty() ? "" : ", ") + error.second;
                serious = serious || oxl_api::is_serious_error(error.first);
            }
        }
        const OrvexActuator::FeedbackCounters frames = joint->actuator->get_feedback_counters();
        uint8_t level = kLevelOk;
        std::string message = joint->running ? "running" : "stopped";
        if (joint->watchdog_stopped) {
            level = kLevelWarn;
            message = "stopped by the watchdog: no command for " +
                      format_value(options.config.watchdog_s) + " s";
        }
        if (!errors.empty()) {
            level = serious ? kLevelError : kLevelWarn;
            message += "; errors: " + errors;
        }
        if (joint->bus->lost) {
            level = kLevelError;
            message = "bus lost";
        }
        report.add(level, prefix + ": joint " + joint->config.name, message,
                   joint->bus->description + " address " + hex_id(joint->config.address),
                   {{"mode", joint_mode_name(joint->config.mode)},
                    {"running", joint->running ? "true" : "false"},
                    {"setpoint", joint->has_setpoint ? format_value(joint->setpoint) : ""},
                    {"commands", count(joint->commands)},
                    {"setpoints_clamped", count(joint->clamped)},
                    {"watchdog_stops", count(joint->watchdog_stops)},
                    {"errors", errors},
                    {"frames_received", count(frames.frames_received)},
                    {"frames_missing", count(frames.frames_missing)}});
    }
    const auto message = report.message(wall_stamp(oxl_api::monotonic_time_ns()));
    dds_write(diagnostics_writer, &message);
}

}  // namespace oxl_tool
