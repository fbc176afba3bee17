#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "oxl_api/details/seqlock.hpp"
#include "oxl_api/export.hpp"
#include "oxl_api/oxl.hpp"
#include "oxl_api/simulated_bus.hpp"

namespace oxl_api {

/// OXL transport to a simulated bus hosted in this process: a drop-in replacement for
/// `OXL_over_USB` with which applications run against simulated actuators without hardware.
/// Construct it instead of the USB transport, add actuators to `bus()`, and hand it to
/// `OrvexActuator` and `OrvexActuatorScanner` as usual; nothing else changes.
///
/// `send_OXL` hands each message to the bus at once (so a command has taken effect on the
/// simulated device when it returns). Everything the devices send is delivered on the
/// transport's own polling thread, through the callback registry and with `callbacks_mutex`
/// held, exactly as the USB transport delivers what it reads: every message callback runs on
/// that thread, one at a time. The polling thread also keeps simulated time moving with the bus
/// clock and sends each streamed frame when it falls due.
///
/// Thread safety: `send_OXL`, `is_connected` and `bus()` may be used from any thread, including
/// from a message callback. `connect`, `disconnect` and `close` join the polling thread: call
/// them from one application thread at a time, never from a message callback.
///
/// Neither copyable nor movable (the polling thread and the bus refer to the object).
class OXL_API_EXPORT OXL_over_Sim : public OXL {
  public:
    /// Creates the transport and its bus (the adapter only; add actuators with
    /// `bus().add_actuator`). If `connect_now`, connects at once. `clock` is handed to the bus
    /// (empty: the monotonic wall clock).
    explicit OXL_over_Sim(bool connect_now = true, SimulatedBus::Clock clock = {});
    /// Disconnects (joining the polling thread), then destroys the bus.
    ~OXL_over_Sim() override;

    /// Disconnects first, then starts the polling thread. `port` is ignored (there is no port).
    /// Messages the devices sent while disconnected are lost, as they would be on a closed line.
    /// Returns true.
    bool connect(const std::string& port = "") override;
    /// Stops the polling thread and waits for it to end; it finishes the message it is
    /// delivering first (so this blocks for as long as a running callback takes). Does nothing
    /// when not connected.
    void disconnect() override;
    /// True between a `connect` and the next `disconnect`.
    bool is_connected() const override;
    /// Hands one message to the bus, which acts on it before this returns; answers follow on the
    /// polling thread. Returns false, printing "Invalid OXL ID: <id>" or "Invalid payload length
    /// for address <id>" on standard error, for an id outside 0..16382 or a payload outside
    /// 1..59 bytes, and false silently when not connected. Never blocks beyond the bus lock.
    bool send_OXL(int id, const std::vector<uint8_t>& payload) override;
    /// Counts frames dispatched and without a callback (published after each batch the polling
    /// thread delivers), messages handed to the bus (`frames_written`), and the streamed frames
    /// the simulated devices sent and skipped for lagging (`SimulatedBus::stats`). Takes the bus
    /// lock briefly; never waits for the polling thread.
    TransportCounters counters() const override;

    /// Body of the polling thread: delivers what the bus sends, and waits (until the next frame
    /// falls due, a message arrives or at most 20 ms) when there is nothing to deliver. Polling
    /// thread only; `connect` starts it.
    void polling_thread_worker();
    /// Delivers one message to the callback registered for `id`, holding `callbacks_mutex`
    /// while it runs, with the bus clock's present time as its receive time; a message for an id
    /// without a callback is dropped silently. An exception from the callback propagates after
    /// the lock is released. Polling thread only. (The polling thread stamps each batch with the
    /// bus clock when it takes the batch for delivery.)
    void process_pkt(int id, const std::vector<uint8_t>& payload, int reply_flag);

    /// The simulated bus behind this transport: add and remove actuators, raise errors, reset
    /// devices and inspect their simulations. Thread-safe (see `SimulatedBus`).
    SimulatedBus& bus() { return sim_bus; }

  private:
    /// The bus's sink: queues a batch for the polling thread (dropped while disconnected).
    void enqueue(std::vector<SimMessage> batch);

    /// Guards `outbox`; `outbox_ready` is signalled when a batch is queued or `running` clears.
    std::mutex outbox_mutex;
    std::condition_variable outbox_ready;
    /// Messages waiting for the polling thread. Guarded by `outbox_mutex`.
    std::vector<SimMessage> outbox;
    /// Atomic hand-over flag: the polling thread runs while it is set. Stored under
    /// `outbox_mutex` so that a waiting polling thread cannot miss the stop request.
    std::atomic<bool> running{false};
    /// Declared after the outbox, which its sink fills, so that it is destroyed first.
    SimulatedBus sim_bus;
    /// Runs `polling_thread_worker` while connected. Application thread only (started by
    /// `connect`, joined by `disconnect`).
    std::thread polling_thread;

    struct DeliveryCounts {
        uint64_t dispatched = 0;
        uint64_t without_callback = 0;
    };
    /// Polling thread only.
    DeliveryCounts delivery_counts;
    /// What `counters` reads; written by the polling thread.
    details::Seqlocked<DeliveryCounts> published_delivery;
};

}  // namespace oxl_api
