#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "oxl_api/details/vocabulary.hpp"
#include "oxl_api/export.hpp"
#include "oxl_api/oxl.hpp"

namespace oxl_api {

/// Appends the 4 bytes of `value` in IEEE-754 single precision, least significant byte first.
/// NaN and infinities are appended bit for bit; nothing is scaled, rounded or limited.
OXL_API_EXPORT void append_float(std::vector<uint8_t>& payload, float value);

/// True for the error bits above 15 (current, limits, bus voltage, encoders), on which
/// `OrvexActuator::default_error_callback` stops the actuator.
inline bool is_serious_error(int bit) {
    return bit > 15;
}

/// The text with which error reports describe `bit` ("Overtemperature" for bit 0), or the empty
/// text for a bit without a description, which `OrvexActuator::parse_errors` never reports.
OXL_API_EXPORT std::string error_description(int bit);

/// Host-side client for one actuator on the bus, reached through an `OXL` transport.
///
/// Every command is one fire-and-forget message to `address`. Everything the actuator sends back
/// (streamed feedback, replies to item requests, identity, error and parameter reports) is decoded
/// by `can_callback`, which the constructor registers with the transport for `address`; it and
/// every feedback and error callback run on the transport's receive thread, one at a time.
///
/// Thread safety: the methods may be called from several application threads at once, the
/// destructor and the scanner's `scan` excepted; two blocking reads (`getItemsBlocking`,
/// `get_parameters`) that overlap may each take the other's answer for its own. The decoded state
/// (`feedback`, `requested_items`, the parameter cache, the callback slots) is guarded by one
/// per-object lock that is never held while application code runs. A second per-object lock, the
/// command lock, guards the cached settings (`mode`, `can_high_speed`, `connected`) and is held
/// while a command reads or changes them and sends: a setpoint that switches the mode sends the
/// mode and the setpoint back to back. It is never held while waiting for a reply or running
/// application code. The public settings may be read while no other thread is sending commands to
/// the object. Callbacks may send commands, but must not destroy the object or call `disconnect`,
/// `scan` or any other operation that registers or removes message callbacks on the same transport.
///
/// The transport must outlive the object. The object is neither copyable nor movable.
class OXL_API_EXPORT OrvexActuator {
  public:
    /// Control modes, sent as one byte.
    enum class Mode : uint8_t { OXL_API_MODES(OXL_API_ENUMERATOR) };

    /// Streaming rates in hertz; `RATE_0HZ` stops streaming.
    enum class Rates : uint16_t { OXL_API_RATES(OXL_API_ENUMERATOR) };

    /// Torque performance presets; devices start at `LEVEL_2`.
    enum class TorquePerformance : uint8_t { OXL_API_PERFORMANCE_LEVELS(OXL_API_ENUMERATOR) };
    /// Speed performance presets; devices start at `LEVEL_2`.
    enum class SpeedPerformance : uint8_t { OXL_API_PERFORMANCE_LEVELS(OXL_API_ENUMERATOR) };

    /// Feedback item codes. `ITEM_42`, `ITEM_44`, `ITEM_60`, `ITEM_61`, `ITEM_62` and `ERRORS`
    /// carry an unsigned 32-bit count, `ITEM_4A` a signed one, every other item a float.
    enum class OXL_Items : uint8_t { OXL_API_FEEDBACK_ITEMS(OXL_API_ENUMERATOR) };

    /// Configuration parameter codes, in the order `get_parameters_all` requests them.
    enum class OXL_Parameters : uint8_t { OXL_API_PARAMETERS(OXL_API_ENUMERATOR) };

    using FeedbackMap = std::unordered_map<OXL_Items, float>;
    using ErrorMap = std::unordered_map<int, std::string>;
    using ParameterMap = std::unordered_map<OXL_Parameters, float>;
    /// Receives the actuator's address and the items of one streamed frame.
    using FeedbackCallback = std::function<void(int, FeedbackMap)>;
    /// Receives the actuator's address and the decoded errors (bit number to text).
    using ErrorCallback = std::function<void(int, ErrorMap)>;

    /// Most item entries one streamed frame carries: 5 bytes each within an OXL payload.
    static constexpr std::size_t kMaxItemsPerFrame = OXL::kMaxPayloadSize / 5;

    /// One item of a frame and its value.
    struct ItemValue {
        OXL_Items item;
        float value;
    };

    /// One streamed feedback frame as this object delivered it, with the time it arrived. A
    /// plain value of fixed size: building, copying and storing it never allocates.
    struct FeedbackSample {
        /// Host receive time (`monotonic_time_ns`): taken by the transport when the frame's last
        /// byte was read, before decoding (the simulated transport: on its bus clock, when it
        /// took the frame for delivery). 0 when unknown: `can_callback` called directly, outside
        /// a transport's dispatch.
        int64_t receive_time_ns = 0;
        /// Position of the frame among the streamed frames this object delivered: 1 for the
        /// first, then one more for each; never reset. 0 in a sample taken before any frame.
        uint64_t sequence = 0;
        /// Entries in use at the front of `items`.
        uint32_t count = 0;
        /// The frame's items in frame order, each code once (a repeated code keeps its first
        /// place and its last value), as the feedback callback receives them. A message longer
        /// than one frame (only `can_callback` called directly can see one) keeps its first
        /// `kMaxItemsPerFrame` items here.
        std::array<ItemValue, kMaxItemsPerFrame> items{};

        const ItemValue* begin() const { return items.data(); }
        const ItemValue* end() const { return items.data() + count; }
        /// The value of `item` in this frame, or null when the frame does not carry it.
        const float* find(OXL_Items item) const {
            for (const ItemValue& entry : *this) {
                if (entry.item == item) {
                    return &entry.value;
                }
            }
            return nullptr;
        }
        /// The value of `item` in this frame, or `fallback`.
        float value_or(OXL_Items item, float fallback) const {
            const float* value = find(item);
            return value != nullptr ? *value : fallback;
        }
    };
    /// Receives the actuator's address and one streamed frame.
    using FeedbackSampleCallback = std::function<void(int, const FeedbackSample&)>;

    /// Arrival statistics of the streamed frames since the last `setFeedbackRate`. The device
    /// does not number its frames, so missing frames are estimated from the arrival times: with
    /// the period known from `setFeedbackRate`, an interval of more than 1.5 periods between two
    /// frames counts round(interval / period) - 1 frames as missing. Frames delayed and then
    /// delivered in a burst count as missing too, so the estimate is an upper bound when the
    /// host stalls.
    struct FeedbackCounters {
        /// Streamed frames delivered.
        uint64_t frames_received = 0;
        /// Frames estimated missing (0 while the period is unknown).
        uint64_t frames_missing = 0;
        /// Longest interval between two consecutive frames, in nanoseconds.
        int64_t largest_gap_ns = 0;
        /// Streaming period set by the last `setFeedbackRate`, in nanoseconds; 0 when streaming
        /// was switched off or no rate was set by this object.
        int64_t period_ns = 0;
    };

    /// Model names by model code; code 0 (unknown) is the empty text, code 5 the USB-to-CAN
    /// adapter ("CAN_ADAPTER").
    static const std::vector<std::string> MODELS_NAMES;

    /// Default of the optional setpoint arguments: NaN, "leave that setting unchanged".
    static constexpr float kUnset = std::numeric_limits<float>::quiet_NaN();

    /// Binds the client to `address` on `oxl` and registers its decoder for that id. Sends
    /// nothing and does not validate the address. The default error callback prints each error
    /// and stops the actuator on serious ones (see `default_error_callback`).
    OrvexActuator(OXL& oxl, int address);
    /// Sends the stop command to the current address and removes the callback registered under
    /// it; waits for a callback of this object that is running on the receive thread to finish.
    /// Callbacks it left registered under other ids (an old address, a scan of negative ids)
    /// stay in the registry but do nothing from then on. Must not run inside a callback.
    ~OrvexActuator();

    OrvexActuator(const OrvexActuator&) = delete;
    OrvexActuator& operator=(const OrvexActuator&) = delete;
    OrvexActuator(OrvexActuator&&) = delete;
    OrvexActuator& operator=(OrvexActuator&&) = delete;

    // ---- connection and common send path ----

    /// Sends the stop command, removes the callback registered under `address` and clears
    /// `connected`. The object then receives nothing until it is destroyed.
    void disconnect();
    /// Hands `payload` to the transport for `address`; the transport's result is not examined
    /// (it prints its own message for an invalid id or payload size).
    void send_oxl_common(const std::vector<uint8_t>& payload);
    /// Pings the actuator and polls every 10 ms, for up to `timeout_s` seconds, for an identity
    /// report. True once one arrived (it also fills in `model` and `firmware`); false on time-out,
    /// and at once for a time-out of zero or less. Prints nothing.
    bool send_ping(float timeout_s = 1.0f);
    /// Stores the result of `send_ping(timeout_s)` in `connected` and returns it.
    bool connect(float timeout_s = 1.0f);

    // ---- commands (fire-and-forget) ----

    /// Starts the actuator.
    void start();
    /// Stops the actuator.
    void stop();
    /// Records `m` as the cached mode, then sends it.
    void change_mode(Mode m);
    /// Sends setpoint `a` alone when `b` and `c` are both zero, else `a`, `b` and `c`. The mode
    /// is not changed.
    void change_setpoint(float a, float b = 0.0f, float c = 0.0f);
    /// Switches to torque mode if the cached mode differs, then sends the torque setpoint and its
    /// options; NaN options leave the device's setting unchanged.
    void change_torque_setpoint(float setpoint, float o1 = kUnset, float o2 = kUnset,
                                float o3 = kUnset, float o4 = kUnset);
    /// Switches to speed mode if the cached mode differs, then sends the speed setpoint and its
    /// options.
    void change_speed_setpoint(float setpoint, float o1 = kUnset, float o2 = kUnset,
                               float o3 = kUnset, float o4 = kUnset);
    /// Switches to position mode if the cached mode differs, then sends the position setpoint and
    /// its options.
    void change_position_setpoint(float setpoint, float o1 = kUnset, float o2 = kUnset,
                                  float o3 = kUnset, float o4 = kUnset, float o5 = kUnset);
    /// Switches to impedance mode if the cached mode differs, then sends the impedance setpoint
    /// and its options.
    void change_impedance_setpoint(float setpoint, float o1 = kUnset, float o2 = kUnset,
                                   float o3 = kUnset, float o4 = kUnset, float o5 = kUnset,
                                   float o6 = kUnset, float o7 = kUnset);
    /// Switches to speed mode if the cached mode differs, then sends four raw firmware values.
    void internal_change_speed_setpoint(float x1, float x2, float x3, float x4);
    /// Switches to position mode if the cached mode differs, then sends nine raw firmware values.
    void internal_change_position_setpoint(float x1, float x2, float x3, float x4, float x5,
                                           float x6, float x7, float x8, float x9);
    /// Makes the actuator blink.
    void blink();
    /// Makes the actuator's current position its home position.
    void set_home_position();
    /// Sends the actuator into its bootloader, then blocks for 100 ms.
    void enter_bootloader();

    // ---- feedback ----

    /// Decodes one received message into this object: streamed items into `feedback` and the
    /// feedback callback, reply-flagged items into the answer of `getItemsBlocking`, identity,
    /// error and parameter reports. `id` is not used. Runs on the transport's receive thread;
    /// the callbacks it calls run there too, without this object's lock held. An exception
    /// from an application callback propagates to the caller after the state is updated.
    void can_callback(int id, std::vector<uint8_t> payload, int reply_flag);
    /// Selects the streamed items (sent in the given order, unchecked), then forgets the values
    /// accumulated so far.
    void setFeedbackItems(const std::vector<OXL_Items>& items);
    /// Sets the streaming rate, 0 (stop) to 10000 Hz, and starts the arrival statistics afresh
    /// with the period sent (see `get_feedback_counters`); prints a line and sends nothing (and
    /// keeps the statistics) for a negative or higher rate.
    void setFeedbackRate(int rate_hz);
    /// Same as `setFeedbackRate(int)` with the rate's value in hertz.
    void setFeedbackRate(Rates rate);
    /// Replaces the feedback callback; an empty callable switches the calls off. It runs on the
    /// receive thread once per streamed frame with this frame's items only. A frame being
    /// decoded at the time of the call may still reach the old callback, and frames already on
    /// their way keep arriving for a moment after `setFeedbackRate(0)`: only the destructor waits
    /// for the last call, so what the callback refers to must outlive the object.
    void set_feedback_callback(FeedbackCallback callback);
    /// Returns the latest value of every item streamed since the last `setFeedbackItems`.
    FeedbackMap get_feedback() const;
    /// Replaces the sample callback; an empty callable switches the calls off. It runs on the
    /// receive thread once per streamed frame, with the frame as a `FeedbackSample` (receive
    /// time, sequence number, items), set alongside the feedback callback or instead of it: both
    /// see every frame, this one first. Nothing is allocated for it, so it suits control loops at
    /// high rates. An exception from either callback reaches the transport's receive loop after
    /// the other one has run. Same lifetime rules as `set_feedback_callback`.
    void set_feedback_sample_callback(FeedbackSampleCallback callback);
    /// The latest streamed frame this object delivered (`sequence` 0 before the first). Takes
    /// the object's lock briefly; any thread.
    FeedbackSample get_feedback_sample() const;
    /// Arrival statistics since the last `setFeedbackRate` (see `FeedbackCounters`). Takes the
    /// object's lock briefly; any thread.
    FeedbackCounters get_feedback_counters() const;
    /// Requests the first 9 of `items` once and polls every 1 ms, for up to `timeout_s` seconds,
    /// for the reply. Returns exactly the items of the first reply that carries any; on time-out
    /// prints "Timeout waiting for feedback items" and returns an empty map.
    FeedbackMap getItemsBlocking(const std::vector<OXL_Items>& items, float timeout_s = 1.0f);
    /// Accepted for compatibility; does nothing.
    void set_low_freq_feedback_callback(std::function<void(FeedbackMap)> callback);
    /// Accepted for compatibility; does nothing.
    void set_low_freq_feedback_items(const std::vector<OXL_Items>& items);
    /// Accepted for compatibility; does nothing.
    void set_low_freq_feedback_rate(int rate_hz);
    /// Accepted for compatibility; does nothing.
    void set_low_freq_feedback_rate(Rates rate);

    // ---- errors and identity ----

    /// Decodes an error bit field and, if any described bit is set, calls the error callback
    /// with `address` and the decoded errors. The map is built to iterate in ascending bit order
    /// with libstdc++, but a hash map promises no order: sort the bits where the order matters.
    void parse_errors(uint32_t error_bits);
    /// Replaces the error callback; an empty callable switches error reporting off, default
    /// printing and stopping included. It runs on the receive thread.
    void set_error_callback(ErrorCallback callback);
    /// Prints one line per error on standard error in ascending bit order and, for each serious
    /// one (`is_serious_error`), stops the actuator and prints a stopping line.
    void default_error_callback(int address, const ErrorMap& errors);
    /// The version text "major.minor.patch" of a firmware word (5, 5 and 6 bits).
    static std::string parse_firmware_version(uint16_t word);

    // ---- parameters ----

    /// Writes the given values in messages of at most 9 entries; awaits nothing.
    void set_parameters(const ParameterMap& values);
    /// Requests `codes` in chunks of 9, each awaited (polling every 10 ms) for up to `timeout_s`
    /// seconds. Returns a copy of the whole parameter cache (everything received so far). If the
    /// first chunk is not answered in time, prints "Timeout waiting for parameters" and returns
    /// an empty map; a later chunk that times out prints the same line and ends the requests.
    ParameterMap get_parameters(const std::vector<OXL_Parameters>& codes, float timeout_s = 1.0f);
    /// `get_parameters` of all 31 codes with a time-out of 1 s per chunk.
    ParameterMap get_parameters_all();
    /// Stores the parameter entries (code byte, 4 value bytes) that start at `offset` of
    /// `payload` into the cache, up to a code 0x00 or the last whole entry, and signals a waiting
    /// `get_parameters` if at least one was stored. An offset outside the payload stores nothing.
    void parse_parameters(const std::vector<uint8_t>& payload, int offset);
    /// Stops the actuator and its stream, asks it to restore its factory parameters, forgets
    /// feedback, parameters and the cached mode and high-speed setting, then blocks for `wait_s`
    /// seconds (whole milliseconds). Awaits no answer.
    void restore_factory_parameters(float wait_s = 1.0f);
    /// Selects a torque performance preset.
    void set_torque_performance(TorquePerformance performance);
    /// Selects a speed performance preset.
    void set_speed_performance(SpeedPerformance performance);

    // ---- device configuration ----

    /// Writes `new_address` (0x10 to 0x3FFE) to the device at the current address, then sends
    /// every later command to the new address. The decoder stays registered under the old id.
    /// Prints a line and changes nothing for the same or an invalid address.
    void changeAddress(int new_address);
    /// Records `enabled` and writes the CAN high-speed setting (1.0 or 0.0).
    void set_can_high_speed(bool enabled);
    /// Makes the device store its current configuration.
    void save_config();
    /// Makes the device clear its stored configuration, prints a warning, then blocks 100 ms.
    void clear_config();

  protected:
    /// The message callback registered with the transport: forwards to `can_callback` while this
    /// object is alive, and does nothing once its destructor has started.
    OXL::MessageCallback make_message_callback();
    /// Copies `model` and `firmware` under the state lock (they are written on the receive
    /// thread).
    void read_identity(std::string& model_out, std::string& firmware_out) const;

    /// The transport; not owned.
    OXL& oxl;

  public:
    /// OXL id every command goes to. Written by `changeAddress` under the command lock and the
    /// state lock, which the receive thread takes to read it.
    int address;
    /// Model name from the last identity report. Written on the receive thread under the state
    /// lock; stable once `send_ping` has returned true and no further report is expected.
    std::string model;
    /// Firmware version text from the last identity report ("x.x.x" before the first). Same
    /// rules as `model`.
    std::string firmware = "x.x.x";
    /// Result of the last `connect`. Written under the command lock.
    bool connected = false;
    /// Last value given to `set_can_high_speed`. Written under the command lock.
    bool can_high_speed = false;
    /// Cached control mode: a setpoint sends a mode change first only when it differs. Read and
    /// written by the commands under the command lock.
    Mode mode = Mode::SPEED;
    /// Atomic hand-over flag: set by the receive thread when an identity report arrives.
    std::atomic<bool> ping_answered{false};
    /// Atomic hand-over flag: set (release) by `parse_parameters` after it stored values.
    std::atomic<bool> parameters_received{false};

  private:
    // Callback slots hold shared pointers so that the receive thread can take a reference to the
    // current callable under the lock and run it after releasing the lock, without copying it.
    using FeedbackSlot = std::shared_ptr<const FeedbackCallback>;
    using SampleSlot = std::shared_ptr<const FeedbackSampleCallback>;
    using ErrorSlot = std::shared_ptr<const ErrorCallback>;

    /// Guards `feedback`, `requested_items`, `parameters`, both callback slots, and the writes
    /// of `address`, `model` and `firmware` made while the receive thread may read them.
    mutable std::mutex state_mutex;
    /// Latest streamed value of each item, by the item's position among the 48 codes: storing a
    /// frame then neither hashes nor allocates on the receive thread.
    struct ItemValues {
        uint64_t present = 0;  // bit i set: value[i] holds the latest value of item i
        std::array<float, 48> value{};
    };
    /// Latest streamed values. Guarded by `state_mutex`.
    ItemValues feedback;
    /// Items of the last reply-flagged message. Guarded by `state_mutex`.
    FeedbackMap requested_items;
    /// Parameter cache. Guarded by `state_mutex`.
    ParameterMap parameters;
    /// Guarded by `state_mutex`; null when switched off.
    FeedbackSlot feedback_callback;
    /// Guarded by `state_mutex`; null when switched off.
    ErrorSlot error_callback;
    /// The command lock: guards `mode`, `can_high_speed` and `connected`, and serialises the
    /// commands that read or change them together with what they send. Taken before
    /// `state_mutex` when both are needed; never held while waiting for a reply.
    std::mutex command_mutex;
    /// Guarded by `state_mutex`; null when switched off.
    SampleSlot sample_callback;
    /// The latest streamed frame, for `get_feedback_sample`: its receive time, its sequence
    /// number (the count of frames delivered) and its items as positions among the item codes,
    /// in frame order. Their values are the ones in `feedback`, which only streamed frames
    /// write. Guarded by `state_mutex`.
    int64_t latest_receive_ns = 0;
    uint64_t delivered_frames = 0;
    uint32_t latest_count = 0;
    std::array<uint8_t, kMaxItemsPerFrame> latest_positions{};
    /// Arrival statistics. Guarded by `state_mutex`.
    FeedbackCounters arrivals;
    /// Receive time of the previous frame counted in `arrivals`; 0 for none since the reset.
    /// Guarded by `state_mutex`.
    int64_t last_arrival_ns = 0;
    /// Shared with every message callback this object registered; cleared (atomic hand-over
    /// flag) when destruction starts so that a callback left under another id does nothing.
    std::shared_ptr<std::atomic<bool>> alive;

    int current_address() const;
    // Records `m` in `mode` and sends it; `command_mutex` held.
    void record_and_send_mode(Mode m);
    void send_mode_then(Mode m, uint8_t command, std::initializer_list<float> values);

    // The jobs of `can_callback`, all on the receive thread.
    /// Item entries of one message; defined in the source.
    struct DecodedItems;
    /// Reads the payload entry by entry: hands an identity, error or parameter report to its
    /// handler, or decodes item entries into `items` until the list ends. True when `items` is
    /// to be delivered; false when a report was handled or the message was dropped (an unknown
    /// code byte, printed).
    bool decode_message(const std::vector<uint8_t>& payload, DecodedItems& items);
    /// Identity report: fills in `model` and `firmware`, then sets `ping_answered`.
    void store_identity(uint16_t model_code, uint16_t firmware_word);
    /// Reply-flagged items: the answer awaited by `getItemsBlocking`.
    void store_requested_items(const DecodedItems& items);
    /// Streamed items: into `feedback` and the latest sample, counted in `arrivals`, then to the
    /// sample and feedback callbacks.
    void deliver_streamed_items(const DecodedItems& items);
    /// Counts one frame received at `receive_time_ns` in `arrivals`. Caller holds `state_mutex`.
    void count_arrival(int64_t receive_time_ns);
};

/// Finds the actuators that answer on the bus. Bound to id 0, where the USB-to-CAN adapter
/// answers; the constructor checks that the adapter is there and is one.
class OXL_API_EXPORT OrvexActuatorScanner : public OrvexActuator {
  public:
    /// Pings id 0 for up to 1 s. Prints "CAN adapter not responding" if nothing answers
    /// (`connected` false), or "Device is not a CAN adapter, it's a " and the model name, then
    /// closes the transport, if the answer is not from an adapter. Throws nothing.
    explicit OrvexActuatorScanner(OXL& oxl);

    /// Pings every id from `first` to `last` in turn, waiting up to 50 ms (polling every 1 ms)
    /// for each, and prints a "Device found: ..." line on standard output for each that answers.
    /// Returns the ids that answered, ascending. Takes up to 50 ms per silent id. Prints "CAN
    /// adapter is not connected" and returns an empty vector when the adapter check failed.
    /// Must not be called from a message callback.
    std::vector<int> scan(int first, int last);

    /// Ids `discover` pings back to back before it waits for their answers.
    static constexpr int kDiscoveryWindow = 512;
    /// Told the ids done so far and the ids in total after each window of `discover`; returning
    /// false ends the discovery after that window.
    using DiscoveryProgress = std::function<bool(int done, int total)>;

    /// Fast discovery of the ids from `first` to `last`, with the same result as `scan`: the
    /// ids that answered, ascending, each also printed on standard output as a "Device found:
    /// ..." line with its model and firmware, exactly as `scan` prints it.
    ///
    /// Works through the range in windows of `window` ids (values below 1 count as 1): registers
    /// an identity decoder for every id of the window, pings them back to back, collects the
    /// identity reports that arrive until 50 ms after the last ping, removes the decoders, prints
    /// the window's finds in ascending order, then calls `progress` (if set). An answer is
    /// credited to the id it came from, and only while that id's window is open; a later answer
    /// is dropped. Pings leave at most 1,600 per second (one per 625 us), about 83 % of what the
    /// adapter's 115200-baud line carries in 6-byte ping frames, so the line is never overrun.
    ///
    /// Blocks the calling thread for about (ids / 1600) s plus 50 ms per window: the whole range
    /// 0x10..0x3FFE takes about 12 s with the default window. Starts no thread; answers are
    /// decoded on the transport's receive thread, `progress` runs on the calling thread.
    ///
    /// Ids outside 0..0x3FFE cannot be addressed and are skipped. Like `scan`, it replaces a
    /// callback registered under a scanned id and removes it afterwards, except this scanner's
    /// own (id 0), which it puts back; so when it returns, or an exception from `progress` or the
    /// transport leaves it, no callback of the discovery is registered. Leaves `model` and
    /// `firmware` (the adapter's identity) as they were. Prints "CAN adapter is not connected"
    /// and returns an empty vector when the adapter check failed. Must not be called from a
    /// message callback.
    std::vector<int> discover(int first, int last, int window = kDiscoveryWindow,
                              const DiscoveryProgress& progress = {});
};

/// What a device says about itself in an identity report.
struct DeviceIdentity {
    /// Model name, as in `OrvexActuator::model` (empty for a code beyond the model table).
    std::string model;
    /// Firmware version text "major.minor.patch".
    std::string firmware;
};

/// Asks whether anything answers at `id` on `oxl`: sends one ping and waits up to `timeout_s`
/// seconds for the identity report. Returns the device's model and firmware, or nothing when no
/// identity report came in time, `id` is outside 0..0x3FFE or the transport did not send. Prints
/// nothing and sends nothing else (no stop command: a probe leaves the device as it was).
///
/// Listens on `id` only while it waits and only if no callback is registered for it: when
/// another client (an `OrvexActuator` on that address, say) already listens on `id`, the probe
/// leaves that callback in place, sends nothing and returns nothing, so ask such a client
/// instead. When it returns, no callback of the probe is registered. Must not be called from a
/// message callback.
OXL_API_EXPORT std::optional<DeviceIdentity> probe_identity(OXL& oxl, int id, float timeout_s);

}  // namespace oxl_api
