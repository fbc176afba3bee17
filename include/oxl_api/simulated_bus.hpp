#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <type_traits>
#include <vector>

#include "oxl_api/export.hpp"
#include "oxl_api/orvex_actuator_virtual.hpp"

namespace oxl_api {

/// One message a simulated device sends towards the host: the sender's OXL id, the payload
/// (0 to 59 bytes) and the reply flag (1 for a direct answer to a request, 0 for streamed frames
/// and unsolicited error reports).
struct OXL_API_EXPORT SimMessage {
    int id = 0;
    std::vector<uint8_t> payload;
    int reply_flag = 0;
};

/// Device side of a CAN bus, simulated: the USB-to-CAN adapter at id 0 and any number of
/// actuators, each of which keeps its motion and parameters in an `OrvexActuatorVirtual` and
/// answers the messages it receives as a real actuator would (ping, start and stop, modes and
/// setpoints, streaming, item requests, parameter reads and writes, address change, bootloader,
/// factory restore).
///
/// Time: simulated time follows the bus clock (by default the monotonic wall clock; a test may
/// inject its own). Before a device acts on anything (`deliver`, `raise_errors`, an inspection),
/// its plant is stepped in sub-steps of 0.0001 s (one "tick") up to the clock's present, and
/// every streamed frame that came due on the way is sent with the state of its own tick; `poll`
/// does the same for every device. Devices do not interact, so each is stepped only when it is
/// touched or polled. A transport calls `poll` when the next frame is due (`poll` says when).
///
/// Output: everything the devices send goes to the sink given to the constructor, one batch per
/// call, in the order the devices produced it. The sink is called after the bus lock has been
/// released, on the thread that called into the bus; two threads calling into the bus at once may
/// therefore run the sink concurrently, and their batches may reach it in either order.
///
/// Thread safety: every public member may be called from any thread. One mutex guards the whole
/// bus state, the simulated actuators included; it is never held while the sink or the clock
/// runs. `with_actuator` and `inspect` are the one exception: they run the caller's function
/// with the lock held (see there).
class OXL_API_EXPORT SimulatedBus {
  public:
    /// Receives each batch of messages the devices send. Must be thread-safe (see above).
    using Sink = std::function<void(std::vector<SimMessage>)>;
    /// Returns the present time of a monotonic clock.
    using Clock = std::function<std::chrono::nanoseconds()>;
    using Items = OrvexActuatorVirtual::OXL_Items;
    using Parameters = OrvexActuatorVirtual::OXL_Parameters;

    /// OXL id of the adapter itself.
    static constexpr int kAdapterId = 0;
    /// Model code with which the adapter identifies itself ("CAN_ADAPTER").
    static constexpr uint16_t kAdapterModelCode = 5;
    /// Length of one plant sub-step and the unit of the streaming period.
    static constexpr std::chrono::nanoseconds kTick{100000};
    /// Most item entries in one message (5 bytes each within the 59-byte payload limit).
    static constexpr std::size_t kMaxEntriesPerMessage = kMaxItemsPerFrame;
    /// Longest backlog of streamed frames sent late: frames that fell due more than this many
    /// ticks (0.25 s) before the present are counted in `Stats::frames_skipped` and not sent:
    /// stale for any control loop, and a bounded burst keeps an overloaded host from stalling.
    static constexpr uint64_t kMaxCatchUpTicks = 2500;

    /// Snapshot of one device's bus-level state.
    struct DeviceInfo {
        int address = 0;
        uint16_t model_code = 0;
        uint16_t firmware_word = 0;
        /// Streaming period in ticks; 0 when streaming is off.
        uint32_t stream_period_ticks = 0;
        /// Streamed item codes, in frame order.
        std::vector<uint8_t> stream_items;
        /// Errors raised and not yet cleared; reported by the item `ERRORS`.
        uint32_t error_bits = 0;
        /// True after the bootloader command, until `reset_device`.
        bool silent = false;
    };

    /// Traffic counters since construction.
    struct Stats {
        uint64_t messages_received = 0;  ///< messages handed to `deliver`
        uint64_t frames_sent = 0;        ///< streamed messages sent
        uint64_t frames_skipped = 0;     ///< streamed frames dropped for lagging too far behind
    };

    /// Creates a bus holding only the adapter. An empty `sink` drops every message; an empty
    /// `clock` uses `std::chrono::steady_clock`. Simulated time starts at the clock's present.
    explicit SimulatedBus(Sink sink = {}, Clock clock = {});
    ~SimulatedBus();

    SimulatedBus(const SimulatedBus&) = delete;
    SimulatedBus& operator=(const SimulatedBus&) = delete;
    SimulatedBus(SimulatedBus&&) = delete;
    SimulatedBus& operator=(SimulatedBus&&) = delete;

    /// Adds a stopped actuator at `address` that identifies itself with `model_code` and
    /// `firmware_word` (major 5 bits, minor 5 bits, patch 6 bits). Returns false, adding nothing,
    /// when `address` lies outside 0x10..0x3FFE or is taken. Never blocks beyond the bus lock.
    bool add_actuator(int address, uint16_t model_code = 1, uint16_t firmware_word = 0x0842);
    /// Removes the actuator at `address`; false when there is none.
    bool remove_actuator(int address);
    /// Addresses of the actuators on the bus, ascending (the adapter not included).
    std::vector<int> addresses() const;
    /// The bus-level state of the actuator at `address`, or nothing when there is none.
    std::optional<DeviceInfo> device_info(int address) const;
    /// Sets the firmware word the adapter reports in its identity report.
    void set_adapter_firmware(uint16_t firmware_word);

    /// Makes the actuator at `address` report `bits` now: one error report (0x82, the bits as a
    /// little-endian u32) goes to the sink, and the bits stay set in the item `ERRORS` until
    /// `clear_errors`, `reset_device` or a factory restore. The device itself keeps running.
    /// Returns false, sending nothing, when there is no such actuator or it is silent, or when
    /// `bits` is 0.
    bool raise_errors(int address, uint32_t bits);
    /// Clears the error bits of the item `ERRORS`; false when there is no such actuator.
    bool clear_errors(int address);
    /// Power-cycles the actuator at `address`: it leaves the silence of its bootloader, stops,
    /// stops streaming and forgets raised errors; its position and parameters are kept. False
    /// when there is no such actuator.
    bool reset_device(int address);

    /// Hands the bus a message the host sent to `id`, as the adapter would put it on the bus.
    /// Steps the simulation to the present first, then lets the addressed device act on it;
    /// answers and frames that fell due go to the sink before this returns. A message for an
    /// absent id, to a silent device, or that is empty, too short for its command or of an
    /// unknown command is ignored.
    void deliver(int id, const std::vector<uint8_t>& payload);
    /// Steps the simulation to the present and sends every streamed frame that fell due. Returns
    /// the clock time at which the next frame falls due, or `std::chrono::nanoseconds::max()`
    /// when nothing streams. Never waits.
    std::chrono::nanoseconds poll();
    /// `poll`, then how long a loop that serves the bus may wait before its next poll: until the
    /// next frame falls due, at most `max_wait` (so that simulated time also keeps up with the
    /// clock when nothing streams), never negative.
    std::chrono::nanoseconds poll_and_wait_time(std::chrono::nanoseconds max_wait);
    /// The present time of the bus clock (calls the clock; takes no lock).
    std::chrono::nanoseconds clock_now() const;
    /// Ticks of simulated time elapsed since construction, as of the last time the bus was
    /// stepped.
    uint64_t ticks() const;
    /// Traffic counters.
    Stats stats() const;

    /// Steps the simulation to the present, then calls `fn` with the simulated actuator at
    /// `address` while holding the bus lock, so that `fn` may read or change its state safely
    /// (for example apply a load with `change_load`). Returns false, without calling `fn`, when
    /// there is no such actuator. `fn` must be short and must not call into this bus or into a
    /// transport (that could deadlock). If `fn` changes the actuator's `address`, the device moves
    /// there when it is a free actuator address (0x10..0x3FFE), else the change is undone. A
    /// feedback callback installed on the simulated actuator would run under the bus lock too:
    /// leave it unset, the bus streams by itself. Frames that fell due are sent after the lock is
    /// released; an exception from `fn` passes out after that.
    bool with_actuator(int address, const std::function<void(OrvexActuatorVirtual&)>& fn);

    /// Like `with_actuator`, returning what `fn` returns (by value), or nothing when there is no
    /// actuator at `address`. Example: `bus.inspect(0x20, [](auto& a) { return a.position; })`.
    template <class F>
    auto inspect(int address, F&& fn)
        -> std::optional<std::decay_t<std::invoke_result_t<F&, OrvexActuatorVirtual&>>> {
        std::optional<std::decay_t<std::invoke_result_t<F&, OrvexActuatorVirtual&>>> result;
        with_actuator(address,
                      [&](OrvexActuatorVirtual& actuator) { result.emplace(fn(actuator)); });
        return result;
    }

  private:
    struct Device {
        explicit Device(int address) : sim(address) {}
        OrvexActuatorVirtual sim;
        uint16_t model_code = 1;
        uint16_t firmware_word = 0;
        std::vector<uint8_t> stream_items;
        uint32_t period_ticks = 0;
        // Tick at which the next streamed frame is due; meaningful while `period_ticks` > 0.
        uint64_t next_due_tick = 0;
        // Tick up to which `sim` has been stepped.
        uint64_t tick = 0;
        uint32_t error_bits = 0;
        bool silent = false;
    };

    // All of the following run with `mutex` held; `out` collects what is sent.
    uint64_t tick_of(std::chrono::nanoseconds now) const;
    // Moves `bus_tick` to the present (never backwards) and returns it.
    uint64_t present_tick(std::chrono::nanoseconds now);
    // True when the device sends streamed frames.
    static bool streams(const Device& device);
    // Drops the frames of `device` that fell due more than kMaxCatchUpTicks before `target`.
    void skip_stale(Device& device, uint64_t target);
    // Steps every device to the present, sending due frames in tick order across devices.
    void advance_all(std::chrono::nanoseconds now, std::vector<SimMessage>& out);
    // Steps the device at `address`, if any, to the present; returns its entry or end().
    std::map<int, Device>::iterator advance_one(int address, std::chrono::nanoseconds now,
                                                std::vector<SimMessage>& out);
    void advance_device(int address, Device& device, uint64_t target, std::vector<SimMessage>& out);
    // Acts on one command to the device at `address`, sending its answers to `out`; hands each
    // command family to its own function.
    void handle(int address, Device& device, const std::vector<uint8_t>& payload,
                std::vector<SimMessage>& out);
    // The feedback rate, the streamed items and one-off item requests.
    void handle_feedback(int address, Device& device, const std::vector<uint8_t>& payload,
                         std::vector<SimMessage>& out);
    // Ping, save, blink, bootloader and the factory restore: the device rather than the plant.
    void handle_device(int address, Device& device, uint8_t command, std::vector<SimMessage>& out);
    void write_parameters(int address, Device& device, const std::vector<uint8_t>& payload);
    void stop_streaming(Device& device);
    // Moves the device found at `address` to the address its simulation now holds, or puts the
    // simulation back to `address` when that is no valid, free actuator address.
    void settle_address(int address);
    void emit(std::vector<SimMessage> batch) const;

    /// Sends batches; immutable after construction.
    const Sink sink;
    /// Monotonic clock; immutable after construction.
    const Clock clock;
    /// Clock time of tick 0; immutable after construction.
    const std::chrono::nanoseconds origin;

    /// The one lock of the bus state: guards every field below.
    mutable std::mutex mutex;
    /// Actuators by current address. Guarded by `mutex`.
    std::map<int, Device> devices;
    /// Ticks the bus has been stepped to. Guarded by `mutex`.
    uint64_t bus_tick = 0;
    /// Adapter identity. Guarded by `mutex`.
    uint16_t adapter_firmware = 0x0840;
    /// Guarded by `mutex`.
    Stats counters;
};

}  // namespace oxl_api
