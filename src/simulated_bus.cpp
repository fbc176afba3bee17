#include "oxl_api/simulated_bus.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <utility>

#include "wire.hpp"

namespace oxl_api {

using namespace wire;

namespace {

using Mode = OrvexActuatorVirtual::Mode;
using Items = OrvexActuatorVirtual::OXL_Items;
using Parameters = OrvexActuatorVirtual::OXL_Parameters;

// Nearest whole number, saturated at the range ends; NaN gives 0. Never undefined behaviour.
uint32_t to_u32(float value) {
    return saturating_uint32(std::round(value));
}

int32_t to_i32(float value) {
    return saturating_int32(std::round(value));
}

// Appends one item entry: the code and its 4 value bytes encoded by the code's class.
void put_item(std::vector<uint8_t>& out, uint8_t code, float value, uint32_t error_bits) {
    out.push_back(code);
    if (code == static_cast<uint8_t>(Items::ERRORS) && error_bits != 0) {
        append_u32(out, error_bits);  // raised errors are reported bit for bit
    } else if (is_unsigned_item(code)) {
        append_u32(out, to_u32(value));
    } else if (code == kSignedItem) {
        append_u32(out, static_cast<uint32_t>(to_i32(value)));
    } else {
        append_f32(out, value);
    }
}

float value_in(const OrvexActuatorVirtual::FeedbackMap& snapshot, uint8_t code) {
    const auto it = snapshot.find(static_cast<Items>(code));
    return it == snapshot.end() ? 0.0f : it->second;
}

// Splits item entries over messages of at most kMaxEntriesPerMessage entries each.
void append_item_messages(int id, const std::vector<uint8_t>& codes,
                          const OrvexActuatorVirtual::FeedbackMap& snapshot, uint32_t error_bits,
                          int reply_flag, std::vector<SimMessage>& out) {
    for (std::size_t first = 0; first < codes.size();
         first += SimulatedBus::kMaxEntriesPerMessage) {
        const std::size_t last =
            std::min(codes.size(), first + SimulatedBus::kMaxEntriesPerMessage);
        SimMessage message{id, {}, reply_flag};
        message.payload.reserve((last - first) * kEntrySize);
        for (std::size_t i = first; i < last; ++i) {
            put_item(message.payload, codes[i], value_in(snapshot, codes[i]), error_bits);
        }
        out.push_back(std::move(message));
    }
}

SimMessage identity_report(int id, uint16_t model_code, uint16_t firmware_word) {
    SimMessage message{id, {kReportIdentity}, 1};
    append_u16(message.payload, model_code);
    append_u16(message.payload, firmware_word);
    return message;
}

// Item codes of a request or selection: valid codes only, each once, in first-seen order.
std::vector<uint8_t> valid_items(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> codes;
    for (std::size_t i = 1; i < payload.size(); ++i) {
        const uint8_t c = payload[i];
        if (is_item_code(c) && std::find(codes.begin(), codes.end(), c) == codes.end()) {
            codes.push_back(c);
        }
    }
    return codes;
}

std::vector<Items> as_items(const std::vector<uint8_t>& codes) {
    std::vector<Items> items;
    items.reserve(codes.size());
    for (const uint8_t c : codes) {
        items.push_back(static_cast<Items>(c));
    }
    return items;
}

// The commands that act on the plant: start, stop, mode, the setpoint forms, the performance
// presets and homing. One too short for its arguments is ignored, as is an unknown command.
void drive(OrvexActuatorVirtual& sim, const std::vector<uint8_t>& payload) {
    const std::size_t n = payload.size();
    // The k-th float argument after the command byte.
    const auto arg = [&payload](std::size_t k) {
        return float_from_bits(read_u32(payload.data() + 1 + 4 * k));
    };
    // True when the payload holds the command byte and `floats` float arguments.
    const auto has_floats = [n](std::size_t floats) { return n >= 1 + 4 * floats; };

    switch (payload[0]) {
        case kCmdStart:
            sim.start();
            break;
        case kCmdStop:
            sim.stop();
            break;
        case kCmdMode:
            if (n >= 2) {
                sim.change_mode(static_cast<Mode>(payload[1]));
            }
            break;
        case kCmdSetpoint:
            if (has_floats(1)) {
                sim.change_setpoint(arg(0));
            }
            break;
        case kCmdSetpointLong:
            // The two further values are firmware tuning; the plant follows the setpoint only.
            if (has_floats(3)) {
                sim.change_setpoint(arg(0));
            }
            break;
        case kCmdTorqueSetpoint:
            if (has_floats(5)) {
                sim.change_torque_setpoint(arg(0), arg(1), arg(2), arg(3), arg(4));
            }
            break;
        case kCmdSpeedSetpoint:
            if (has_floats(5)) {
                sim.change_speed_setpoint(arg(0), arg(1), arg(2), arg(3), arg(4));
            }
            break;
        case kCmdPositionSetpoint:
            if (has_floats(6)) {
                sim.change_position_setpoint(arg(0), arg(1), arg(2), arg(3), arg(4), arg(5));
            }
            break;
        case kCmdImpedanceSetpoint:
            if (has_floats(8)) {
                sim.change_impedance_setpoint(arg(0), arg(1), arg(2), arg(3), arg(4), arg(5),
                                              arg(6), arg(7));
            }
            break;
        case kCmdInternalSpeedSetpoint:
        case kCmdInternalPositionSetpoint: {
            // The first raw value is the setpoint of the mode; the others are firmware tuning.
            const bool speed = payload[0] == kCmdInternalSpeedSetpoint;
            if (has_floats(speed ? 4 : 9)) {
                sim.change_mode(speed ? Mode::SPEED : Mode::POSITION);
                sim.change_setpoint(arg(0));
            }
            break;
        }
        case kCmdTorquePerformance:
            if (n >= 2) {
                sim.set_torque_performance(
                    static_cast<OrvexActuatorVirtual::TorquePerformance>(payload[1]));
            }
            break;
        case kCmdSpeedPerformance:
            if (n >= 2) {
                sim.set_speed_performance(
                    static_cast<OrvexActuatorVirtual::SpeedPerformance>(payload[1]));
            }
            break;
        case kCmdHome:
            sim.set_home_position();
            break;
        default:
            break;  // unknown command: ignored, as a device would
    }
}

// Answers a parameter read: the known codes asked for, in messages of at most
// kMaxEntriesPerMessage entries, each value in the encoding the client decodes.
void read_parameters(int address, const OrvexActuatorVirtual& sim,
                     const std::vector<uint8_t>& payload, std::vector<SimMessage>& out) {
    std::vector<uint8_t> codes;
    for (std::size_t i = 1; i < payload.size(); ++i) {
        if (is_parameter_code(payload[i])) {
            codes.push_back(payload[i]);
        }
    }
    for (std::size_t first = 0; first < codes.size();
         first += SimulatedBus::kMaxEntriesPerMessage) {
        const std::size_t last =
            std::min(codes.size(), first + SimulatedBus::kMaxEntriesPerMessage);
        SimMessage report{address, {kReportParameters}, 1};
        for (std::size_t i = first; i < last; ++i) {
            const float value = sim.param_or_nan(static_cast<Parameters>(codes[i]));
            report.payload.push_back(codes[i]);
            if (is_unsigned_parameter(codes[i])) {
                append_u32(report.payload, to_u32(value));
            } else {
                append_f32(report.payload, value);
            }
        }
        out.push_back(std::move(report));
    }
}

}  // namespace

SimulatedBus::SimulatedBus(Sink sink_fn, Clock clock_fn)
    : sink(std::move(sink_fn)),
      clock(clock_fn ? std::move(clock_fn) : Clock([] {
          return std::chrono::duration_cast<std::chrono::nanoseconds>(
              std::chrono::steady_clock::now().time_since_epoch());
      })),
      origin(clock()) {}

SimulatedBus::~SimulatedBus() = default;

std::chrono::nanoseconds SimulatedBus::clock_now() const {
    return clock();
}

uint64_t SimulatedBus::tick_of(std::chrono::nanoseconds now) const {
    if (now <= origin) {
        return 0;
    }
    return static_cast<uint64_t>((now - origin) / kTick);
}

void SimulatedBus::emit(std::vector<SimMessage> batch) const {
    if (!batch.empty() && sink) {
        sink(std::move(batch));
    }
}

bool SimulatedBus::add_actuator(int address, uint16_t model_code, uint16_t firmware_word) {
    if (!OrvexActuatorVirtual::is_valid_actuator_address(address)) {
        return false;
    }
    const auto now = clock_now();
    std::lock_guard<std::mutex> lock(mutex);
    const uint64_t target = present_tick(now);
    if (devices.count(address) != 0) {
        return false;
    }
    Device& device = devices.emplace(address, Device(address)).first->second;
    device.model_code = model_code;
    device.firmware_word = firmware_word;
    device.tick = target;  // a new device starts at the present, with nothing due
    return true;
}

bool SimulatedBus::remove_actuator(int address) {
    std::lock_guard<std::mutex> lock(mutex);
    return devices.erase(address) > 0;
}

std::vector<int> SimulatedBus::addresses() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<int> result;
    result.reserve(devices.size());
    for (const auto& entry : devices) {
        result.push_back(entry.first);
    }
    return result;
}

std::optional<SimulatedBus::DeviceInfo> SimulatedBus::device_info(int address) const {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = devices.find(address);
    if (it == devices.end()) {
        return std::nullopt;
    }
    const Device& d = it->second;
    DeviceInfo info;
    info.address = address;
    info.model_code = d.model_code;
    info.firmware_word = d.firmware_word;
    info.stream_period_ticks = d.period_ticks;
    info.stream_items = d.stream_items;
    info.error_bits = d.error_bits;
    info.silent = d.silent;
    return info;
}

void SimulatedBus::set_adapter_firmware(uint16_t firmware_word) {
    std::lock_guard<std::mutex> lock(mutex);
    adapter_firmware = firmware_word;
}

bool SimulatedBus::raise_errors(int address, uint32_t bits) {
    const auto now = clock_now();
    std::vector<SimMessage> out;
    bool raised = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto it = advance_one(address, now, out);
        if (it != devices.end() && !it->second.silent && bits != 0) {
            it->second.error_bits |= bits;
            SimMessage report{address, {kReportErrors}, 0};
            append_u32(report.payload, bits);
            out.push_back(std::move(report));
            raised = true;
        }
    }
    emit(std::move(out));
    return raised;
}

bool SimulatedBus::clear_errors(int address) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = devices.find(address);
    if (it == devices.end()) {
        return false;
    }
    it->second.error_bits = 0;
    return true;
}

bool SimulatedBus::reset_device(int address) {
    const auto now = clock_now();
    std::vector<SimMessage> out;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto it = advance_one(address, now, out);
        if (it != devices.end()) {
            Device& d = it->second;
            d.silent = false;
            d.sim.stop();
            stop_streaming(d);
            d.error_bits = 0;
            found = true;
        }
    }
    emit(std::move(out));
    return found;
}

void SimulatedBus::deliver(int id, const std::vector<uint8_t>& payload) {
    const auto now = clock_now();
    std::vector<SimMessage> out;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++counters.messages_received;
        // Devices are independent: only the addressed one needs to be brought to the present.
        const auto it = advance_one(id, now, out);
        if (payload.empty()) {
            // Nothing to act on; fall through to send what came due.
        } else if (id == kAdapterId) {
            // The adapter answers pings only; its own commands (bootloader) have no effect here.
            if (payload[0] == kCmdPing) {
                out.push_back(identity_report(kAdapterId, kAdapterModelCode, adapter_firmware));
            }
        } else {
            if (it != devices.end() && !it->second.silent) {
                handle(id, it->second, payload, out);
                settle_address(id);
            }
        }
    }
    emit(std::move(out));
}

std::chrono::nanoseconds SimulatedBus::poll_and_wait_time(std::chrono::nanoseconds max_wait) {
    const std::chrono::nanoseconds next_due = poll();
    if (next_due == std::chrono::nanoseconds::max()) {
        return max_wait;
    }
    return std::clamp(next_due - clock_now(), std::chrono::nanoseconds(0), max_wait);
}

std::chrono::nanoseconds SimulatedBus::poll() {
    const auto now = clock_now();
    std::vector<SimMessage> out;
    auto next_due = std::chrono::nanoseconds::max();
    {
        std::lock_guard<std::mutex> lock(mutex);
        advance_all(now, out);
        uint64_t next_tick = std::numeric_limits<uint64_t>::max();
        for (const auto& entry : devices) {
            const Device& d = entry.second;
            if (streams(d)) {
                next_tick = std::min(next_tick, d.next_due_tick);
            }
        }
        const auto max_ticks =
            static_cast<uint64_t>((std::chrono::nanoseconds::max() - origin) / kTick);
        if (next_tick < max_ticks) {
            next_due = origin + kTick * static_cast<int64_t>(next_tick);
        }
    }
    emit(std::move(out));
    return next_due;
}

uint64_t SimulatedBus::ticks() const {
    std::lock_guard<std::mutex> lock(mutex);
    return bus_tick;
}

SimulatedBus::Stats SimulatedBus::stats() const {
    std::lock_guard<std::mutex> lock(mutex);
    return counters;
}

bool SimulatedBus::with_actuator(int address,
                                 const std::function<void(OrvexActuatorVirtual&)>& fn) {
    const auto now = clock_now();
    std::vector<SimMessage> out;
    std::unique_lock<std::mutex> lock(mutex);
    const auto it = advance_one(address, now, out);
    const bool found = it != devices.end();
    if (found) {
        try {
            fn(it->second.sim);
        } catch (...) {
            // Frames that came due are still sent, after the lock is released.
            settle_address(address);
            lock.unlock();
            emit(std::move(out));
            throw;
        }
        settle_address(address);
    }
    lock.unlock();
    emit(std::move(out));
    return found;
}

// ---- stepping ----

uint64_t SimulatedBus::present_tick(std::chrono::nanoseconds now) {
    bus_tick = std::max(bus_tick, tick_of(now));
    return bus_tick;
}

void SimulatedBus::advance_all(std::chrono::nanoseconds now, std::vector<SimMessage>& out) {
    const uint64_t target = present_tick(now);
    // Frames go out in tick order across devices, as they would follow each other on a shared
    // bus: one round per tick at which some frame is due (devices streaming at one rate share
    // their ticks, so there are few rounds).
    for (;;) {
        uint64_t round = std::numeric_limits<uint64_t>::max();
        for (auto& entry : devices) {
            Device& d = entry.second;
            if (streams(d)) {
                skip_stale(d, target);
                round = std::min(round, d.next_due_tick);
            }
        }
        if (round > target) {
            break;
        }
        for (auto& entry : devices) {
            if (streams(entry.second) && entry.second.next_due_tick == round) {
                advance_device(entry.first, entry.second, round, out);
            }
        }
    }
    for (auto& entry : devices) {
        advance_device(entry.first, entry.second, target, out);
    }
}

bool SimulatedBus::streams(const Device& d) {
    return !d.silent && d.period_ticks > 0 && !d.stream_items.empty();
}

void SimulatedBus::skip_stale(Device& d, uint64_t target) {
    if (streams(d) && d.next_due_tick < target && target - d.next_due_tick > kMaxCatchUpTicks) {
        // Too far behind: drop the frames older than the catch-up window instead of flooding the
        // host with stale data.
        const uint64_t oldest = target - kMaxCatchUpTicks;
        const uint64_t skipped = (oldest - d.next_due_tick + d.period_ticks - 1) / d.period_ticks;
        d.next_due_tick += skipped * d.period_ticks;
        counters.frames_skipped += skipped;
    }
}

std::map<int, SimulatedBus::Device>::iterator SimulatedBus::advance_one(
    int address, std::chrono::nanoseconds now, std::vector<SimMessage>& out) {
    const uint64_t target = present_tick(now);
    const auto it = devices.find(address);
    if (it != devices.end()) {
        advance_device(address, it->second, target, out);
    }
    return it;
}

void SimulatedBus::advance_device(int address, Device& d, uint64_t target,
                                  std::vector<SimMessage>& out) {
    if (d.silent) {
        // In its bootloader the firmware does not run: the plant is frozen and nothing streams.
        d.tick = std::max(d.tick, target);
        return;
    }
    // Steps the plant to tick `t`, in calls that fit the step count of the simulation.
    const auto step_to = [&d](uint64_t t) {
        uint64_t n = t - d.tick;
        if (n == 0) {
            d.sim.update_feedback_snapshot();
        }
        while (n > 0) {
            const uint64_t chunk = std::min<uint64_t>(n, 1u << 30);
            d.sim.start_steps(static_cast<int>(chunk));
            n -= chunk;
        }
        d.tick = t;
    };
    skip_stale(d, target);
    while (d.tick < target) {
        if (!streams(d) || d.next_due_tick > target) {
            step_to(target);
            break;
        }
        step_to(d.next_due_tick);
        append_item_messages(address, d.stream_items, d.sim.feedback, d.error_bits, 0, out);
        ++counters.frames_sent;
        d.next_due_tick += d.period_ticks;
    }
}

// ---- commands ----

void SimulatedBus::stop_streaming(Device& d) {
    d.period_ticks = 0;
    d.stream_items.clear();
}

void SimulatedBus::handle(int address, Device& d, const std::vector<uint8_t>& payload,
                          std::vector<SimMessage>& out) {
    switch (payload[0]) {
        case kCmdFeedbackRate:
        case kCmdFeedbackItems:
        case kCmdRequestItems:
            handle_feedback(address, d, payload, out);
            break;
        case kCmdWriteParameters:
            write_parameters(address, d, payload);
            break;
        case kCmdReadParameters:
            read_parameters(address, d.sim, payload, out);
            break;
        case kCmdPing:
        case kCmdSaveConfig:
        case kCmdBlink:
        case kCmdBootloader:
        case kCmdClearConfig:
            handle_device(address, d, payload[0], out);
            break;
        default:
            drive(d.sim, payload);  // the motion commands; an unknown one is ignored there
            break;
    }
}

void SimulatedBus::handle_feedback(int address, Device& d, const std::vector<uint8_t>& payload,
                                   std::vector<SimMessage>& out) {
    OrvexActuatorVirtual& sim = d.sim;
    switch (payload[0]) {
        case kCmdFeedbackRate:
            if (payload.size() >= 5) {
                d.period_ticks = read_u32(payload.data() + 1);
                if (d.period_ticks > 0) {
                    // Frames fall on multiples of the period in bus ticks, so that devices
                    // streaming at one rate send in the same tick (as a shared sync would).
                    d.next_due_tick = (d.tick / d.period_ticks + 1) * d.period_ticks;
                }
            }
            break;
        case kCmdFeedbackItems:
            d.stream_items = valid_items(payload);
            sim.set_feedback_items(as_items(d.stream_items));
            break;
        default: {  // kCmdRequestItems
            std::vector<uint8_t> codes = valid_items(payload);
            if (codes.empty()) {
                break;
            }
            codes.resize(std::min(codes.size(), kMaxEntriesPerMessage));  // one message only
            // Let the simulation compute the requested items, then put its selection back.
            const std::vector<Items> streamed = sim.feedback_items;
            sim.set_feedback_items(as_items(codes));
            append_item_messages(address, codes, sim.feedback, d.error_bits, 1, out);
            sim.set_feedback_items(streamed);
            break;
        }
    }
}

void SimulatedBus::handle_device(int address, Device& d, uint8_t command,
                                 std::vector<SimMessage>& out) {
    OrvexActuatorVirtual& sim = d.sim;
    switch (command) {
        case kCmdPing:
            sim.connect();
            out.push_back(identity_report(address, d.model_code, d.firmware_word));
            break;
        case kCmdSaveConfig:
            sim.save_config();
            break;
        case kCmdBlink:
            sim.blink();
            break;
        case kCmdBootloader:
            // The device waits for a firmware image and ignores the bus until it is reset.
            sim.stop();
            stop_streaming(d);
            d.silent = true;
            break;
        default: {  // kCmdClearConfig
            // Factory configuration, then the reset that follows it on a device. The plant
            // (position, speed, time) and the identity are physical and stay.
            const OrvexActuatorVirtual factory(address);
            sim.stop();
            sim.mode = factory.mode;
            sim.setpoint = factory.setpoint;
            sim.can_high_speed = factory.can_high_speed;
            sim.torque_performance = factory.torque_performance;
            sim.speed_performance = factory.speed_performance;
            sim.parameters = factory.parameters;
            sim.set_feedback_items(factory.feedback_items);
            stop_streaming(d);
            d.error_bits = 0;
            break;
        }
    }
}

void SimulatedBus::write_parameters(int address, Device& d, const std::vector<uint8_t>& payload) {
    std::unordered_map<Parameters, float> values;
    for (std::size_t at = 1; at + kEntrySize <= payload.size(); at += kEntrySize) {
        const uint8_t code = payload[at];
        if (!is_parameter_code(code)) {
            continue;  // not a parameter of this device
        }
        const float value = float_from_bits(read_u32(payload.data() + at + 1));
        if (code == static_cast<uint8_t>(Parameters::ADDRESS)) {
            // The new id must be a valid actuator address that no other device uses (NaN gives
            // 0, which is not). Whole-number truncation as the simulation does.
            const int new_address = saturating_int32(value);
            if (!OrvexActuatorVirtual::is_valid_actuator_address(new_address) ||
                (new_address != address && devices.count(new_address) != 0)) {
                continue;
            }
        }
        values[static_cast<Parameters>(code)] = value;
    }
    d.sim.set_parameters(values);
}

void SimulatedBus::settle_address(int address) {
    const auto it = devices.find(address);
    if (it == devices.end()) {
        return;
    }
    OrvexActuatorVirtual& sim = it->second.sim;
    int new_address = sim.address;
    if (new_address != address && (!OrvexActuatorVirtual::is_valid_actuator_address(new_address) ||
                                   devices.count(new_address) != 0)) {
        // Not a place the device can move to: it stays where it is.
        new_address = address;
        sim.address = address;
    }
    // The device keeps its id as a whole number, so that reading ADDRESS back (64.0 after a
    // write of 64.9) agrees with the id it answers from.
    sim.parameters[Parameters::ADDRESS] = static_cast<float>(new_address);
    if (new_address == address) {
        return;
    }
    auto node = devices.extract(it);
    node.key() = new_address;
    devices.insert(std::move(node));
}

}  // namespace oxl_api
