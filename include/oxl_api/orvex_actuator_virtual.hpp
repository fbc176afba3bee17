#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "oxl_api/details/vocabulary.hpp"
#include "oxl_api/export.hpp"

namespace oxl_api {

/// A simulated actuator with the command interface of `OrvexActuator`, for running applications
/// and tools without hardware.
///
/// It holds no transport, sends and receives nothing, starts no thread and takes no lock: every
/// method works on the object's own fields and returns at once. Simulated time advances only
/// when the application calls `step` or `start_steps`, in fixed sub-steps of `dt` (0.0001 s), and
/// the plant (a frictionless unit inertia) moves under the control law of `mode` while `enabled`.
///
/// Differences from `OrvexActuator`: `set_feedback_items`, `set_feedback_rate`,
/// `get_items_blocking` and `change_address` are spelt in lower case; `change_setpoint` takes one
/// float; `blink` takes a float; there is no `clear_config`, `restore_factory_parameters` or
/// `enter_bootloader`. Time-out arguments are accepted and never waited on.
///
/// Thread safety: an object must be used from one thread at a time. Its fields are public so
/// that tests and tools can read the simulation directly; they are owned by that thread and carry
/// no lock. The feedback callback runs synchronously inside `step`, on the calling thread.
/// Different objects share nothing.
class OXL_API_EXPORT OrvexActuatorVirtual {
  public:
    /// Control mode. Only the four listed values have dynamics; any other byte is accepted and
    /// leaves the plant still.
    enum class Mode : uint8_t { OXL_API_MODES(OXL_API_ENUMERATOR) };

    /// Streaming rates; the value is a rate in hertz, 0 stops the feedback callback.
    enum class Rates : uint16_t { OXL_API_RATES(OXL_API_ENUMERATOR) };

    /// Torque performance preset; the simulated actuator starts at `LEVEL_2` and only records it.
    enum class TorquePerformance : uint8_t { OXL_API_PERFORMANCE_LEVELS(OXL_API_ENUMERATOR) };

    /// Speed performance preset; the simulated actuator starts at `LEVEL_2` and only records it.
    enum class SpeedPerformance : uint8_t { OXL_API_PERFORMANCE_LEVELS(OXL_API_ENUMERATOR) };

    /// Feedback item codes (the 48 codes an actuator accepts; 0x4E is not an item).
    enum class OXL_Items : uint8_t { OXL_API_FEEDBACK_ITEMS(OXL_API_ENUMERATOR) };

    /// Configuration parameter codes (31 codes).
    enum class OXL_Parameters : uint8_t { OXL_API_PARAMETERS(OXL_API_ENUMERATOR) };

    using FeedbackMap = std::unordered_map<OXL_Items, float>;
    using ParameterMap = std::unordered_map<OXL_Parameters, float>;
    using FeedbackCallback = std::function<void(int, std::unordered_map<OXL_Items, float>)>;
    using ErrorCallback = std::function<void(int, std::unordered_map<int, std::string>)>;
    using LowFreqFeedbackCallback = std::function<void(std::unordered_map<OXL_Items, float>)>;

    // ---- state (declared order is part of the interface; all owned by the using thread) ----

    /// OXL id of the simulated actuator; the first argument of the feedback callback.
    int address;
    /// Model name; "virtual" until `set_actuator` or `set_actuator_from_paths`.
    std::string model;
    /// Firmware text; "cpp-virtual-2.0.0" until a model is chosen.
    std::string firmware;
    /// First path text of the chosen model.
    std::string path_a;
    /// Second path text of the chosen model.
    std::string path_b;
    /// Third path text of the chosen model.
    std::string path_c;
    /// Set by `connect` and `start`, cleared by `disconnect`; what `send_ping` returns.
    bool connected;
    /// Set by `start`, cleared by `stop` and `disconnect`; the plant moves only while true.
    bool enabled;
    /// Last value given to `set_can_high_speed`; a record only.
    bool can_high_speed;
    /// Current control mode; starts at `POSITION` (the physical client starts at `SPEED`).
    Mode mode;
    /// Last value given to `set_torque_performance`; a record only.
    TorquePerformance torque_performance;
    /// Last value given to `set_speed_performance`; a record only.
    SpeedPerformance speed_performance;
    /// Setpoint of the current mode (torque, speed or position).
    float setpoint;
    /// Simulated output position.
    float position;
    /// Simulated output speed.
    float speed;
    /// Simulated motor torque (net torque in torque mode).
    float torque;
    /// External load torque acting against the motor.
    float load;
    /// Bus voltage, 48.0; no operation changes it.
    float vbus;
    /// Winding temperature, 25.0; no operation changes it.
    float temp_winding;
    /// Second temperature (item `TEMPERATURE_71`), 25.0; no operation changes it.
    float temp_second;
    /// Simulated time in seconds, accumulated by adding `dt` once per sub-step.
    float sim_time;
    /// Length of one sub-step in seconds (0.0001, 10 kHz); no operation changes it.
    float dt;
    /// Sub-steps between two feedback callbacks; 0 means no callback.
    int feedback_period_steps;
    /// Sub-steps taken since construction.
    uint64_t step_count;
    /// `step_count` when the feedback callback last returned.
    uint64_t last_feedback_step;
    /// Items held by the feedback snapshot, in order, repeats allowed.
    std::vector<OXL_Items> feedback_items;
    /// The feedback snapshot: one entry per distinct item of `feedback_items`.
    FeedbackMap feedback;
    /// The parameter store; entries are added, never removed.
    ParameterMap parameters;
    /// Named limit flags (ten keys); nothing sets them, `has_errors` and the reports read them.
    std::unordered_map<std::string, bool> limit_flags;
    /// Called by `step` on its period, on the thread that calls `step`.
    FeedbackCallback feedback_callback;
    /// Stored by `set_error_callback`; the simulation produces no errors and never calls it.
    ErrorCallback error_callback;

    // ---- construction and queries ----

    /// Builds a stopped, disconnected actuator at `address` in position mode, with the twelve
    /// initial parameters and a snapshot of `POSITION_4C`, `SPEED_45` and `TORQUE_56`.
    /// Throws `std::invalid_argument("Invalid virtual actuator address")` unless
    /// `is_valid_actuator_address(address)`.
    explicit OrvexActuatorVirtual(int address);
    /// Disconnects (clears `connected` and `enabled`); the callbacks are destroyed uncalled.
    ~OrvexActuatorVirtual();
    OrvexActuatorVirtual(const OrvexActuatorVirtual&) = default;
    OrvexActuatorVirtual& operator=(const OrvexActuatorVirtual&) = default;
    OrvexActuatorVirtual(OrvexActuatorVirtual&&) = default;
    OrvexActuatorVirtual& operator=(OrvexActuatorVirtual&&) = default;

    /// True when 16 <= `address` <= 16382 (0x10..0x3FFE).
    static bool is_valid_actuator_address(int address);
    /// The stored value of `parameter`, or a quiet NaN when the store has no entry (nothing is
    /// inserted).
    float param_or_nan(OXL_Parameters parameter) const;
    /// True when any limit flag is set (never, since the simulation sets none).
    bool has_errors() const;

    // ---- simulation ----

    /// Advances simulated time by max(1, `steps`) sub-steps. A given `load` replaces the field
    /// `load` first and stays. Then rebuilds the snapshot, calls the feedback callback (at most
    /// once) when a whole period has passed since its last call, and returns a copy of the
    /// snapshot. An exception from the callback passes out after the sub-steps and the rebuild,
    /// and `last_feedback_step` then keeps its old value. Never waits.
    FeedbackMap step(std::optional<float> load = std::nullopt, int steps = 1);
    /// `step(std::nullopt, steps)` with the result dropped.
    void start_steps(int steps = 1);
    /// Sets the load torque for the following sub-steps; the snapshot is not rebuilt.
    void change_load(float load);
    /// `sim_time` rounded half away from zero to `decimals` decimal places, or unrounded when
    /// 10^`decimals` is 0 or infinite in single precision.
    float get_sim_time(int decimals = 6) const;
    /// 1 / `dt` (10000.0), or NaN when `dt` is not positive.
    float get_sim_rate_hz() const;
    /// Rebuilds `feedback` from the current state, one entry per distinct item of
    /// `feedback_items`.
    void update_feedback_snapshot();

    // ---- feedback configuration and reads ----

    /// A copy of the snapshot as of its last rebuild.
    FeedbackMap get_feedback() const;
    /// Rebuilds the snapshot, then returns one entry per distinct requested item: its value, or
    /// NaN for an item outside `feedback_items`. `timeout_s` is ignored; never waits or fails.
    FeedbackMap get_items_blocking(const std::vector<OXL_Items>& items, float timeout_s = 1.0f);
    /// Replaces `feedback_items` (order and repeats kept, codes unchecked, empty allowed) and
    /// rebuilds the snapshot.
    void set_feedback_items(const std::vector<OXL_Items>& items);
    /// Sets the callback period to round(10000 / `rate_hz`) sub-steps (at least 1); a rate of 0
    /// or less turns the callback off. Never fails, prints nothing.
    void set_feedback_rate(int rate_hz);
    /// `set_feedback_rate(int)` with the enumerator's value in hertz.
    void set_feedback_rate(Rates rate);
    /// Replaces the feedback callback; an empty function turns it off. The callback runs inside
    /// `step`, on the thread calling `step`, with `address` and a copy of the snapshot. The
    /// stored callable itself is called, so its state carries over from call to call; while it
    /// runs it is out of `feedback_callback`, and it may replace or clear itself through this
    /// method (it is put back after the call, even when it throws, unless it was replaced).
    void set_feedback_callback(FeedbackCallback callback);
    /// Stores the error callback; the simulated actuator never calls it.
    void set_error_callback(ErrorCallback callback);
    /// Accepted for compatibility; does nothing (the argument is destroyed uncalled).
    void set_low_freq_feedback_callback(LowFreqFeedbackCallback callback);
    /// Accepted for compatibility; does nothing.
    void set_low_freq_feedback_items(const std::vector<OXL_Items>& items);
    /// Accepted for compatibility; does nothing.
    void set_low_freq_feedback_rate(int rate_hz);
    /// Accepted for compatibility; does nothing.
    void set_low_freq_feedback_rate(Rates rate);

    // ---- connection and enabling ----

    /// Marks the actuator connected and returns true at once; does not enable it.
    bool connect(float timeout_s = 1.0f);
    /// Clears `connected` and `enabled`.
    void disconnect();
    /// Returns `connected` at once; `timeout_s` is ignored.
    bool send_ping(float timeout_s = 1.0f) const;
    /// Connects and enables: from now on `step` moves the plant.
    void start();
    /// Disables: the plant freezes; `connected` is kept.
    void stop();
    /// Does nothing (there is no configuration to save).
    void save_config();
    /// Does nothing.
    void blink(float duration = 0.0f);

    // ---- mode and setpoints ----

    /// Sets `mode` and the `MODE` parameter. Every byte value is accepted.
    void change_mode(Mode mode);
    /// Sets `setpoint` and the `SETPOINT` parameter; no range check.
    void change_setpoint(float setpoint);
    /// Torque mode and setpoint; options o1..o3 are stored in `PARAM_0D`, `PARAM_0E`,
    /// `PARAM_0F` unless NaN; o4 is ignored.
    void change_torque_setpoint(float setpoint, float o1 = std::numeric_limits<float>::quiet_NaN(),
                                float o2 = std::numeric_limits<float>::quiet_NaN(),
                                float o3 = std::numeric_limits<float>::quiet_NaN(),
                                float o4 = std::numeric_limits<float>::quiet_NaN());
    /// Speed mode and setpoint; options o1..o4 are stored in `PARAM_45`, `PARAM_0E`,
    /// `PARAM_0D`, `T_FF` unless NaN.
    void change_speed_setpoint(float setpoint, float o1 = std::numeric_limits<float>::quiet_NaN(),
                               float o2 = std::numeric_limits<float>::quiet_NaN(),
                               float o3 = std::numeric_limits<float>::quiet_NaN(),
                               float o4 = std::numeric_limits<float>::quiet_NaN());
    /// Position mode and setpoint; options o1..o5 are stored in `PARAM_45`, `PARAM_0E`,
    /// `PARAM_0D`, `PARAM_0F`, `T_FF` unless NaN.
    void change_position_setpoint(float setpoint,
                                  float o1 = std::numeric_limits<float>::quiet_NaN(),
                                  float o2 = std::numeric_limits<float>::quiet_NaN(),
                                  float o3 = std::numeric_limits<float>::quiet_NaN(),
                                  float o4 = std::numeric_limits<float>::quiet_NaN(),
                                  float o5 = std::numeric_limits<float>::quiet_NaN());
    /// Impedance mode and setpoint; options o1, o2, o3, o5 are stored in `PARAM_45`, `K_STIFF`,
    /// `K_DAMP`, `T_FF` unless NaN; o4, o6 and o7 are ignored. The simulation reads `K_STIFF`
    /// and `K_DAMP` as its gains.
    void change_impedance_setpoint(float setpoint,
                                   float o1 = std::numeric_limits<float>::quiet_NaN(),
                                   float o2 = std::numeric_limits<float>::quiet_NaN(),
                                   float o3 = std::numeric_limits<float>::quiet_NaN(),
                                   float o4 = std::numeric_limits<float>::quiet_NaN(),
                                   float o5 = std::numeric_limits<float>::quiet_NaN(),
                                   float o6 = std::numeric_limits<float>::quiet_NaN(),
                                   float o7 = std::numeric_limits<float>::quiet_NaN());
    /// Switches to speed mode like the physical client does; the raw firmware values have no
    /// meaning in the simulation and are ignored.
    void internal_change_speed_setpoint(float x1, float x2, float x3, float x4);
    /// Switches to position mode like the physical client does; the raw firmware values have no
    /// meaning in the simulation and are ignored.
    void internal_change_position_setpoint(float x1, float x2, float x3, float x4, float x5,
                                           float x6, float x7, float x8, float x9);
    /// Sets `position` to 0 and rebuilds the snapshot; speed, torque and setpoint are kept.
    void set_home_position();

    // ---- configuration ----

    /// Moves the actuator to `address` and mirrors it in `ADDRESS`. Throws
    /// `std::invalid_argument("Invalid virtual actuator address")` outside 16..16382, changing
    /// nothing.
    void change_address(int address);
    /// Records `enable` and stores 1.0 or 0.0 in `CAN_HIGH_SPEED`.
    void set_can_high_speed(bool enable);
    /// Records the preset and stores its value in `TORQUE_PERFORMANCE`.
    void set_torque_performance(TorquePerformance performance);
    /// Records the preset and stores its value in `SPEED_PERFORMANCE`.
    void set_speed_performance(SpeedPerformance performance);

    // ---- parameters ----

    /// Writes every entry into the store. `MODE` also sets `mode` (truncated to a whole number,
    /// negative or NaN giving 0, low 8 bits kept), `SETPOINT` sets `setpoint`, and `ADDRESS` sets
    /// `address` (truncated, saturating, NaN giving 0; no range check). Other codes change only
    /// the store.
    void set_parameters(const std::unordered_map<OXL_Parameters, float>& values);
    /// One entry per distinct requested code: its stored value or NaN when absent. The store is
    /// not changed; `timeout_s` is ignored and the call never waits.
    ParameterMap get_parameters(const std::vector<OXL_Parameters>& codes,
                                float timeout_s = 1.0f) const;

    // ---- reports (read only, never fail) ----

    /// Nine entries: "enable", "temp_winding", "T_fb", "T_ref", "pos_fb", "pos_ref", "spd_fb",
    /// "spd_ref", "time".
    std::unordered_map<std::string, float> get_info() const;
    /// Ten motor-model entries: "m_Te", "m_Tl", "m_acc", "m_eff_elec", "m_eff_mec", "m_i_dc",
    /// "m_pos1", "m_pos2", "m_spd1", "m_spd2".
    std::unordered_map<std::string, float> get_motor_state() const;
    /// Eight measurement entries: "turn", "turn2", "T", "e_pos", "pos", "pos2", "spd", "spd2".
    std::unordered_map<std::string, float> get_measurements() const;
    /// A copy of the ten limit flags.
    std::unordered_map<std::string, bool> get_debug_flags() const;
    /// Configuration in the groups "control", "limits", "impedance" and "profile"; absent
    /// parameters show as NaN.
    std::unordered_map<std::string, std::unordered_map<std::string, float>> get_all_parameters()
        const;
    /// A copy of the whole parameter store; never waits, never empty.
    ParameterMap get_parameters_all() const;

    // ---- model selection ----

    /// Model names offered by the directory `path` (not recursive): for each regular file
    /// "bindings_<name>_Intel_<...>.py" with a non-empty name, that name, and the name of each
    /// subdirectory; symbolic links count as their targets. Sorted, without duplicates. An empty
    /// or unreadable path yields what was found before the error (usually nothing); nothing is
    /// thrown or printed.
    static std::vector<std::string> discover_available_actuators(const std::string& path);
    /// Labels the simulation with `model_name` and two path texts; `firmware` becomes
    /// "<model_name>:cpp-virtual-2.0.0" ("cpp-virtual-2.0.0" for an empty name). Returns 0.
    int64_t set_actuator(const std::string& model_name, const std::string& path_a_text,
                         const std::string& path_b_text);
    /// Stores the first and third path texts; a model still called "virtual" becomes
    /// "virtual-from-paths"; `firmware` becomes "<model>:cpp-virtual-2.0.0". Returns 0.
    int64_t set_actuator_from_paths(const std::string& path_a_text, const std::string& path_c_text);

  private:
    // What `step` does apart from returning the snapshot: the sub-steps, the snapshot refresh
    // and the feedback callback when due.
    void advance(int steps);
    // Runs `n` plant sub-steps under the current mode and advances `sim_time`.
    void run_substeps(uint64_t n);
    // Value of one feedback item from the current state.
    float item_value(OXL_Items item) const;

    // Counts the calls of set_feedback_callback, so that `advance` can tell whether the callback
    // it is running replaced (or cleared) itself.
    uint64_t feedback_callback_sets = 0;
};

}  // namespace oxl_api
