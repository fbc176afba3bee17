#include "oxl_api/orvex_actuator_virtual.hpp"

#include "wire.hpp"

#include <algorithm>
#include <bitset>
#include <cmath>
#include <filesystem>
#include <limits>
#include <set>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include "wire.hpp"

namespace oxl_api {

namespace {

using Items = OrvexActuatorVirtual::OXL_Items;
using Params = OrvexActuatorVirtual::OXL_Parameters;
using Mode = OrvexActuatorVirtual::Mode;

constexpr const char* kInvalidAddress = "Invalid virtual actuator address";
constexpr const char* kBaseFirmware = "cpp-virtual-2.0.0";
constexpr const char* kFirmwareSuffix = ":cpp-virtual-2.0.0";
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

float mode_as_float(Mode m) {
    return static_cast<float>(static_cast<uint8_t>(m));
}

// Truncates toward zero into uint32 (negative and NaN give 0, too large saturates) and keeps the
// low 8 bits. A plain static_cast would be undefined outside the target range.
Mode mode_from_float(float value) {
    return static_cast<Mode>(static_cast<uint8_t>(wire::saturating_uint32(value) & 0xFFu));
}

// Plant state carried through the sub-steps of one call.
struct Plant {
    float p;    // position
    float v;    // speed
    float tau;  // torque
    float t;    // simulated time
};

// One function per control law, each looping over its sub-steps on locals (r setpoint, l load,
// h dt).
Plant idle_substeps(Plant s, float h, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) {
        s.t = s.t + h;
    }
    return s;
}

// A free unit mass driven by the net torque.
Plant torque_substeps(Plant s, float r, float l, float h, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) {
        s.tau = r - l;
        s.v = s.v + s.tau * h;
        s.p = s.p + s.v * h;
        s.t = s.t + h;
    }
    return s;
}

// Follows the speed setpoint at once; the load shows as the reaction torque.
Plant speed_substeps(Plant s, float r, float l, float h, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) {
        s.v = r;
        s.p = s.p + r * h;
        s.tau = -l;
        s.t = s.t + h;
    }
    return s;
}

// First-order follower at a rate of 20 per second, torque reported with gain 2.
Plant position_substeps(Plant s, float r, float l, float h, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) {
        const float e = r - s.p;
        s.v = 20.0f * e;
        s.p = s.p + s.v * h;
        s.tau = 2.0f * e - l;
        s.t = s.t + h;
    }
    return s;
}

// Spring-damper around the setpoint with a unit mass.
Plant impedance_substeps(Plant s, float r, float l, float ks, float kd, float h, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) {
        s.tau = ks * (r - s.p) - kd * s.v - l;
        s.v = s.v + s.tau * h;
        s.p = s.p + s.v * h;
        s.t = s.t + h;
    }
    return s;
}

void store_option(OrvexActuatorVirtual::ParameterMap& store, Params code, float value) {
    if (!std::isnan(value)) {
        store[code] = value;
    }
}

}  // namespace

// ---- construction and queries ----

OrvexActuatorVirtual::OrvexActuatorVirtual(int initial_address)
    : address(initial_address),
      model("virtual"),
      firmware(kBaseFirmware),
      connected(false),
      enabled(false),
      can_high_speed(false),
      mode(Mode::POSITION),
      torque_performance(TorquePerformance::LEVEL_2),
      speed_performance(SpeedPerformance::LEVEL_2),
      setpoint(0.0f),
      position(0.0f),
      speed(0.0f),
      torque(0.0f),
      load(0.0f),
      vbus(48.0f),
      temp_winding(25.0f),
      temp_second(25.0f),
      sim_time(0.0f),
      dt(0.0001f),
      feedback_period_steps(0),
      step_count(0),
      last_feedback_step(0) {
    if (!is_valid_actuator_address(address)) {
        throw std::invalid_argument(kInvalidAddress);
    }
    feedback_items = {Items::POSITION_4C, Items::SPEED_45, Items::TORQUE_56};
    parameters = {
        {Params::ADDRESS, static_cast<float>(address)},
        {Params::MODE, mode_as_float(mode)},
        {Params::SETPOINT, setpoint},
        {Params::LIMIT_TORQUE, 0.0f},
        {Params::LIMIT_SPEED_MAX, 0.0f},
        {Params::LIMIT_SPEED_MIN, 0.0f},
        {Params::PARAM_05, 0.0f},
        {Params::PARAM_06, 0.0f},
        {Params::PARAM_80, 20000.0f},
        {Params::PARAM_83, 0.0f},
        {Params::PARAM_84, 20000.0f},
        {Params::CAN_HIGH_SPEED, 0.0f},
    };
    limit_flags = {
        {"T_fb_max", false},    {"T_ref_max", false},  {"i_max", false},
        {"pos_fb_max", false},  {"pos_fb_min", false}, {"pos_ref_max", false},
        {"pos_ref_min", false}, {"spd_fb_max", false}, {"spd_ref_max", false},
        {"spd_ref_min", false},
    };
    update_feedback_snapshot();
}

OrvexActuatorVirtual::~OrvexActuatorVirtual() {
    disconnect();
}

bool OrvexActuatorVirtual::is_valid_actuator_address(int address) {
    // One unsigned comparison covers both ends: values below the first wrap to huge numbers.
    constexpr auto kFirst = static_cast<uint32_t>(kFirstActuatorAddress);
    return static_cast<uint32_t>(address) - kFirst <= static_cast<uint32_t>(kLastOxlId) - kFirst;
}

float OrvexActuatorVirtual::param_or_nan(OXL_Parameters parameter) const {
    const auto it = parameters.find(parameter);
    return it == parameters.end() ? kNaN : it->second;
}

bool OrvexActuatorVirtual::has_errors() const {
    return std::any_of(limit_flags.begin(), limit_flags.end(),
                       [](const auto& flag) { return flag.second; });
}

// ---- simulation ----

OrvexActuatorVirtual::FeedbackMap OrvexActuatorVirtual::step(std::optional<float> new_load,
                                                             int steps) {
    if (new_load.has_value()) {
        load = *new_load;
    }
    advance(steps);
    return feedback;
}

void OrvexActuatorVirtual::advance(int steps) {
    run_substeps(steps > 0 ? static_cast<uint64_t>(steps) : 1u);
    update_feedback_snapshot();
    if (feedback_callback && feedback_period_steps > 0 &&
        step_count - last_feedback_step >= static_cast<uint64_t>(feedback_period_steps)) {
        // The stored callable runs in place, so that its state carries over. It is moved out of
        // its slot for the call: set_feedback_callback inside it must not destroy the function
        // that is running. It goes back afterwards, also when it throws, unless it was replaced.
        struct PutBack {
            OrvexActuatorVirtual& self;
            const uint64_t sets_before;
            FeedbackCallback running;
            ~PutBack() {
                if (self.feedback_callback_sets == sets_before && !self.feedback_callback) {
                    self.feedback_callback.swap(running);
                }
            }
        } call{*this, feedback_callback_sets, {}};
        call.running.swap(feedback_callback);
        call.running(address, feedback);
        last_feedback_step = step_count;
    }
}

void OrvexActuatorVirtual::run_substeps(uint64_t n) {
    // Nothing inside the loops can change the mode, the gains, the setpoint, the load or dt, so
    // they are read once per call; each sub-step still computes exactly the expressions of its
    // control law, in order.
    step_count += n;
    Plant s{position, speed, torque, sim_time};
    if (!enabled) {
        s = idle_substeps(s, dt, n);
    } else {
        switch (mode) {
            case Mode::TORQUE:
                s = torque_substeps(s, setpoint, load, dt, n);
                break;
            case Mode::SPEED:
                s = speed_substeps(s, setpoint, load, dt, n);
                break;
            case Mode::POSITION:
                s = position_substeps(s, setpoint, load, dt, n);
                break;
            case Mode::IMPEDANCE: {
                // NaN or absent gains fall back to the defaults; an infinity is used as it is.
                const float ks = param_or_nan(OXL_Parameters::K_STIFF);
                const float kd = param_or_nan(OXL_Parameters::K_DAMP);
                s = impedance_substeps(s, setpoint, load, std::isnan(ks) ? 1.0f : ks,
                                       std::isnan(kd) ? 0.1f : kd, dt, n);
                break;
            }
            default:
                // A mode without dynamics: only time passes.
                s = idle_substeps(s, dt, n);
                break;
        }
    }
    position = s.p;
    speed = s.v;
    torque = s.tau;
    sim_time = s.t;
}

void OrvexActuatorVirtual::start_steps(int steps) {
    advance(steps);  // as `step` without a load, minus the copy of the snapshot it would return
}

void OrvexActuatorVirtual::change_load(float new_load) {
    load = new_load;
}

float OrvexActuatorVirtual::get_sim_time(int decimals) const {
    const float scale = powf(10.0f, static_cast<float>(decimals));
    if (scale > 0.0f && scale <= std::numeric_limits<float>::max()) {
        return std::round(sim_time * scale) / scale;
    }
    return sim_time;
}

float OrvexActuatorVirtual::get_sim_rate_hz() const {
    return dt > 0.0f ? 1.0f / dt : kNaN;
}

float OrvexActuatorVirtual::item_value(OXL_Items item) const {
    switch (item) {
        case Items::POSITION_41:
        case Items::POSITION_43:
        case Items::POSITION_4C:
        case Items::POSITION_73:
            return position;
        case Items::SPEED_45:
            return speed;
        case Items::TORQUE_49:
        case Items::TORQUE_56:
            return torque;
        case Items::SETPOINT_4B:
        case Items::SETPOINT_4D:
        case Items::SETPOINT_55:
            return setpoint;
        case Items::POWER_5A:
        case Items::POWER_5D:
            return torque * speed;
        case Items::DC_CURRENT_5B:
            return vbus == 0.0f ? 0.0f : torque * speed / vbus;
        case Items::VBUS:
            return vbus;
        case Items::TEMPERATURE_71:
            return temp_second;
        case Items::TEMP_WINDING:
            return temp_winding;
        case Items::ERRORS:
            return has_errors() ? 1.0f : 0.0f;
        default:
            // Items without a simulated quantity, and bytes that are no item at all.
            return 0.0f;
    }
}

void OrvexActuatorVirtual::update_feedback_snapshot() {
    // Between changes of the item list the snapshot already holds exactly these items: their
    // values are overwritten in place, which spares freeing and reallocating every entry on each
    // call of `step`. A list with repeated items, or a snapshot the application edited, is rebuilt.
    // With distinct items, equal sizes and every item found, the keys are exactly the items.
    bool in_place = feedback.size() == feedback_items.size();
    std::bitset<256> seen;
    for (std::size_t i = 0; in_place && i < feedback_items.size(); ++i) {
        const OXL_Items item = feedback_items[i];
        const auto code = static_cast<uint8_t>(item);
        const auto it = feedback.find(item);
        in_place = !seen[code] && it != feedback.end();
        if (in_place) {
            seen[code] = true;
            it->second = item_value(item);
        }
    }
    if (in_place) {
        return;
    }
    feedback.clear();
    for (const OXL_Items item : feedback_items) {
        feedback[item] = item_value(item);
    }
}

// ---- feedback configuration and reads ----

OrvexActuatorVirtual::FeedbackMap OrvexActuatorVirtual::get_feedback() const {
    return feedback;
}

OrvexActuatorVirtual::FeedbackMap OrvexActuatorVirtual::get_items_blocking(
    const std::vector<OXL_Items>& items, float /*timeout_s*/) {
    update_feedback_snapshot();
    FeedbackMap result;
    for (const OXL_Items item : items) {
        const auto it = feedback.find(item);
        result[item] = it == feedback.end() ? kNaN : it->second;
    }
    return result;
}

void OrvexActuatorVirtual::set_feedback_items(const std::vector<OXL_Items>& items) {
    feedback_items = items;
    update_feedback_snapshot();
}

void OrvexActuatorVirtual::set_feedback_rate(int rate_hz) {
    if (rate_hz <= 0) {
        feedback_period_steps = 0;
        return;
    }
    // Counted in ticks of the streaming period (10,000 a second) rather than in 1 / dt, so that the
    // periods do not depend on how dt rounds; a rate too high for one tick streams every sub-step.
    const int period = feedback_period_ticks(rate_hz);
    feedback_period_steps = period == 0 ? 1 : period;
}

void OrvexActuatorVirtual::set_feedback_rate(Rates rate) {
    set_feedback_rate(static_cast<int>(static_cast<uint16_t>(rate)));
}

void OrvexActuatorVirtual::set_feedback_callback(FeedbackCallback callback) {
    feedback_callback = std::move(callback);
    ++feedback_callback_sets;
}

void OrvexActuatorVirtual::set_error_callback(ErrorCallback callback) {
    error_callback = std::move(callback);
}

void OrvexActuatorVirtual::set_low_freq_feedback_callback(LowFreqFeedbackCallback /*callback*/) {}

void OrvexActuatorVirtual::set_low_freq_feedback_items(const std::vector<OXL_Items>& /*items*/) {}

void OrvexActuatorVirtual::set_low_freq_feedback_rate(int /*rate_hz*/) {}

void OrvexActuatorVirtual::set_low_freq_feedback_rate(Rates /*rate*/) {}

// ---- connection and enabling ----

bool OrvexActuatorVirtual::connect(float /*timeout_s*/) {
    connected = true;
    return true;
}

void OrvexActuatorVirtual::disconnect() {
    connected = false;
    enabled = false;
}

bool OrvexActuatorVirtual::send_ping(float /*timeout_s*/) const {
    return connected;
}

void OrvexActuatorVirtual::start() {
    connected = true;
    enabled = true;
}

void OrvexActuatorVirtual::stop() {
    enabled = false;
}

void OrvexActuatorVirtual::save_config() {}

void OrvexActuatorVirtual::blink(float /*duration*/) {}

// ---- mode and setpoints ----

void OrvexActuatorVirtual::change_mode(Mode new_mode) {
    mode = new_mode;
    parameters[OXL_Parameters::MODE] = mode_as_float(new_mode);
}

void OrvexActuatorVirtual::change_setpoint(float new_setpoint) {
    setpoint = new_setpoint;
    parameters[OXL_Parameters::SETPOINT] = new_setpoint;
}

void OrvexActuatorVirtual::change_torque_setpoint(float value, float o1, float o2, float o3,
                                                  float /*o4*/) {
    change_mode(Mode::TORQUE);
    change_setpoint(value);
    store_option(parameters, Params::PARAM_0D, o1);
    store_option(parameters, Params::PARAM_0E, o2);
    store_option(parameters, Params::PARAM_0F, o3);
}

void OrvexActuatorVirtual::change_speed_setpoint(float value, float o1, float o2, float o3,
                                                 float o4) {
    change_mode(Mode::SPEED);
    change_setpoint(value);
    store_option(parameters, Params::PARAM_45, o1);
    store_option(parameters, Params::PARAM_0E, o2);
    store_option(parameters, Params::PARAM_0D, o3);
    store_option(parameters, Params::T_FF, o4);
}

void OrvexActuatorVirtual::change_position_setpoint(float value, float o1, float o2, float o3,
                                                    float o4, float o5) {
    change_mode(Mode::POSITION);
    change_setpoint(value);
    store_option(parameters, Params::PARAM_45, o1);
    store_option(parameters, Params::PARAM_0E, o2);
    store_option(parameters, Params::PARAM_0D, o3);
    store_option(parameters, Params::PARAM_0F, o4);
    store_option(parameters, Params::T_FF, o5);
}

void OrvexActuatorVirtual::change_impedance_setpoint(float value, float o1, float o2, float o3,
                                                     float /*o4*/, float o5, float /*o6*/,
                                                     float /*o7*/) {
    change_mode(Mode::IMPEDANCE);
    change_setpoint(value);
    store_option(parameters, Params::PARAM_45, o1);
    store_option(parameters, Params::K_STIFF, o2);
    store_option(parameters, Params::K_DAMP, o3);
    store_option(parameters, Params::T_FF, o5);
}

void OrvexActuatorVirtual::internal_change_speed_setpoint(float, float, float, float) {
    change_mode(Mode::SPEED);
}

void OrvexActuatorVirtual::internal_change_position_setpoint(float, float, float, float, float,
                                                             float, float, float, float) {
    change_mode(Mode::POSITION);
}

void OrvexActuatorVirtual::set_home_position() {
    position = 0.0f;
    update_feedback_snapshot();
}

// ---- configuration ----

void OrvexActuatorVirtual::change_address(int new_address) {
    if (!is_valid_actuator_address(new_address)) {
        throw std::invalid_argument(kInvalidAddress);
    }
    address = new_address;
    parameters[OXL_Parameters::ADDRESS] = static_cast<float>(new_address);
}

void OrvexActuatorVirtual::set_can_high_speed(bool enable) {
    can_high_speed = enable;
    parameters[OXL_Parameters::CAN_HIGH_SPEED] = enable ? 1.0f : 0.0f;
}

void OrvexActuatorVirtual::set_torque_performance(TorquePerformance performance) {
    torque_performance = performance;
    parameters[OXL_Parameters::TORQUE_PERFORMANCE] =
        static_cast<float>(static_cast<uint8_t>(performance));
}

void OrvexActuatorVirtual::set_speed_performance(SpeedPerformance performance) {
    speed_performance = performance;
    parameters[OXL_Parameters::SPEED_PERFORMANCE] =
        static_cast<float>(static_cast<uint8_t>(performance));
}

// ---- parameters ----

void OrvexActuatorVirtual::set_parameters(const std::unordered_map<OXL_Parameters, float>& values) {
    for (const auto& [code, value] : values) {
        parameters[code] = value;
        switch (code) {
            case Params::MODE:
                mode = mode_from_float(value);
                break;
            case Params::SETPOINT:
                setpoint = value;
                break;
            case Params::ADDRESS:
                address = wire::saturating_int32(value);
                break;
            default:
                break;
        }
    }
}

OrvexActuatorVirtual::ParameterMap OrvexActuatorVirtual::get_parameters(
    const std::vector<OXL_Parameters>& codes, float /*timeout_s*/) const {
    ParameterMap result;
    for (const OXL_Parameters code : codes) {
        result[code] = param_or_nan(code);
    }
    return result;
}

// ---- reports ----

std::unordered_map<std::string, float> OrvexActuatorVirtual::get_info() const {
    return {
        {"enable", enabled ? 1.0f : 0.0f},
        {"temp_winding", temp_winding},
        {"T_fb", torque},
        {"T_ref", setpoint},
        {"pos_fb", position},
        {"pos_ref", setpoint},
        {"spd_fb", speed},
        {"spd_ref", setpoint},
        {"time", sim_time},
    };
}

std::unordered_map<std::string, float> OrvexActuatorVirtual::get_motor_state() const {
    return {
        {"m_Te", torque},     {"m_Tl", load},       {"m_acc", 0.0f},
        {"m_eff_elec", 1.0f}, {"m_eff_mec", 1.0f},  {"m_i_dc", vbus == 0.0f ? 0.0f : torque / vbus},
        {"m_pos1", position}, {"m_pos2", position}, {"m_spd1", speed},
        {"m_spd2", speed},
    };
}

std::unordered_map<std::string, float> OrvexActuatorVirtual::get_measurements() const {
    return {
        {"turn", 0.0f},    {"turn2", 0.0f},    {"T", torque},  {"e_pos", position},
        {"pos", position}, {"pos2", position}, {"spd", speed}, {"spd2", speed},
    };
}

std::unordered_map<std::string, bool> OrvexActuatorVirtual::get_debug_flags() const {
    return limit_flags;
}

std::unordered_map<std::string, std::unordered_map<std::string, float>>
OrvexActuatorVirtual::get_all_parameters() const {
    return {
        {"control",
         {
             {"mode", mode_as_float(mode)},
             {"setpoint", setpoint},
             {"enabled", enabled ? 1.0f : 0.0f},
         }},
        {"limits",
         {
             {"torque", param_or_nan(Params::LIMIT_TORQUE)},
             {"speed_max", param_or_nan(Params::LIMIT_SPEED_MAX)},
             {"speed_min", param_or_nan(Params::LIMIT_SPEED_MIN)},
         }},
        {"impedance",
         {
             {"K_stiff", param_or_nan(Params::K_STIFF)},
             {"K_damp", param_or_nan(Params::K_DAMP)},
             {"T_FF", param_or_nan(Params::T_FF)},
         }},
        {"profile",
         {
             {"position_max", param_or_nan(Params::PROFILE_POSITION_MAX)},
             {"position_min", param_or_nan(Params::PROFILE_POSITION_MIN)},
             {"speed_max", param_or_nan(Params::PROFILE_SPEED_MAX)},
             {"speed_min", param_or_nan(Params::PROFILE_SPEED_MIN)},
         }},
    };
}

OrvexActuatorVirtual::ParameterMap OrvexActuatorVirtual::get_parameters_all() const {
    return parameters;
}

// ---- model selection ----

std::vector<std::string> OrvexActuatorVirtual::discover_available_actuators(
    const std::string& path) {
    namespace fs = std::filesystem;
    static constexpr std::string_view kPrefix = "bindings_";
    static constexpr std::string_view kMarker = "_Intel_";

    std::set<std::string> names;
    if (path.empty()) {
        return {};
    }
    try {
        std::error_code ec;
        fs::directory_iterator it(path, ec);
        // Any error ends the walk quietly with what has been collected so far.
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            const fs::directory_entry& entry = *it;
            // status() uses the type cached by the listing and stats the path (following links)
            // when the listing gave no type or a symbolic link. A link whose target is missing
            // reads as not_found and adds nothing; a real failure ends the walk.
            const fs::file_status st = entry.status(ec);
            if (st.type() == fs::file_type::none) {
                break;
            }
            ec.clear();
            const std::string name = entry.path().filename().string();
            if (st.type() == fs::file_type::directory) {
                names.insert(name);
            } else if (st.type() == fs::file_type::regular) {
                const std::string::size_type dot = name.rfind('.');
                if (name.compare(0, kPrefix.size(), kPrefix) != 0 || dot == std::string::npos ||
                    name.compare(dot, std::string::npos, ".py") != 0) {
                    continue;
                }
                const std::string::size_type marker = name.find(kMarker, kPrefix.size());
                // A name that continues directly with the marker is empty and adds nothing.
                if (marker != std::string::npos && marker > kPrefix.size()) {
                    names.insert(name.substr(kPrefix.size(), marker - kPrefix.size()));
                }
            }
        }
    } catch (...) {
        // Walking errors (including allocation inside the walk) end the walk; the names found so
        // far are still returned.
    }
    return std::vector<std::string>(names.begin(), names.end());
}

int64_t OrvexActuatorVirtual::set_actuator(const std::string& model_name,
                                           const std::string& path_a_text,
                                           const std::string& path_b_text) {
    model = model_name;
    path_a = path_a_text;
    path_b = path_b_text;
    firmware = model_name.empty() ? std::string(kBaseFirmware) : model_name + kFirmwareSuffix;
    return 0;
}

int64_t OrvexActuatorVirtual::set_actuator_from_paths(const std::string& path_a_text,
                                                      const std::string& path_c_text) {
    path_a = path_a_text;
    path_c = path_c_text;
    if (model == "virtual") {
        model = "virtual-from-paths";
    }
    firmware = model + kFirmwareSuffix;
    return 0;
}

}  // namespace oxl_api
