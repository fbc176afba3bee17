#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "oxl_api/oxl.hpp"

namespace oxl_test {

/// One message handed to `LoopbackOXL::send_OXL`.
struct SentMessage {
    int id = 0;
    std::vector<uint8_t> payload;
    std::chrono::steady_clock::time_point when;
};

/// A device on the loopback bus. It answers from the loopback's device thread, `delay` after
/// the request was sent: a ping (0x40) with [0x80, model code, firmware word] (little-endian); an
/// item request (0x0F) with a reply-flagged message carrying the requested items it has (none: no
/// answer); a parameter read (0x0C) with [0x83] and the requested parameters it has (or, when not
/// empty, `parameter_answer` verbatim); a parameter write (0x0B) by storing the values. Values
/// are raw 4-byte words, sent little-endian.
struct ScriptedDevice {
    uint16_t model_code = 1;
    uint16_t firmware_word = 0x0842;
    bool answers_parameters = true;
    std::chrono::milliseconds delay{0};
    std::map<uint8_t, uint32_t> items;
    std::map<uint8_t, uint32_t> parameters;
    std::vector<uint8_t> parameter_answer;
};

/// The raw word of a float, for `ScriptedDevice` values.
uint32_t float_word(float value);

/// A transport without a line: records every message sent, and delivers messages to the
/// registered callbacks as the serial transport's dispatch does (registry lock held for the call,
/// payload copied, unregistered ids dropped silently). Scripted devices answer from a device
/// thread, never inside `send_OXL`, so that a caller holding a lock while sending behaves as with
/// the real transport; exceptions thrown by callbacks there are swallowed and counted.
///
/// Thread safety: every member may be called from any thread; `deliver` and `registered_ids`
/// must not be called from inside a message callback (registry lock).
class LoopbackOXL : public oxl_api::OXL {
  public:
    explicit LoopbackOXL(bool connected = true);
    /// Stops and joins the device thread; pending deliveries are dropped.
    ~LoopbackOXL() override;

    /// Marks the loopback connected; always succeeds.
    bool connect(const std::string& port) override;
    /// Marks it disconnected: later sends are refused silently (false, nothing recorded).
    void disconnect() override;
    bool is_connected() const override;
    /// Checks id and size like the serial transport (same messages on standard error), records
    /// the message and schedules the answers of a scripted device at `id`.
    bool send_OXL(int id, const std::vector<uint8_t>& payload) override;

    /// Dispatches one message on the calling thread as the receive thread would, received at
    /// `receive_time_ns` (0: now). Returns false when no callback is registered for `id`.
    /// Exceptions from the callback propagate.
    bool deliver(int id, const std::vector<uint8_t>& payload, int reply_flag = 0,
                 int64_t receive_time_ns = 0);
    /// Queues a message for delivery from the device thread after `delay`.
    void post(int id, std::vector<uint8_t> payload, int reply_flag = 0,
              std::chrono::milliseconds delay = std::chrono::milliseconds(0));

    /// Installs (or replaces) the scripted device answering at `id`.
    void add_device(int id, ScriptedDevice device);
    /// A copy of the device's current state (parameters written to it included).
    ScriptedDevice device(int id) const;

    std::vector<SentMessage> sent() const;
    void clear_sent();
    /// Waits up to `timeout` until no delivery is queued or running on the device thread.
    bool wait_idle(std::chrono::milliseconds timeout) const;
    /// Exceptions swallowed on the device thread so far.
    std::size_t swallowed_exceptions() const;

    /// Ids with a registered callback, ascending.
    std::vector<int> registered_ids();

  private:
    struct Pending {
        int id;
        std::vector<uint8_t> payload;
        int reply_flag;
    };

    void schedule_answers(int id, const std::vector<uint8_t>& payload);  // state_mutex_ held
    void worker();

    std::atomic<bool> connected_;  // atomic hand-over flag

    mutable std::mutex state_mutex_;
    mutable std::condition_variable changed_;  // a delivery finished
    std::condition_variable work_;             // pending_ changed or stop requested
    std::vector<SentMessage> sent_;            // guarded by state_mutex_
    std::map<int, ScriptedDevice> devices_;    // guarded by state_mutex_
    // Ordered by due time; equal times keep their posting order. Guarded by state_mutex_.
    std::multimap<std::chrono::steady_clock::time_point, Pending> pending_;
    bool delivering_ = false;    // guarded by state_mutex_
    bool stop_ = false;          // guarded by state_mutex_
    std::size_t swallowed_ = 0;  // guarded by state_mutex_

    // Declared last: started once every field above exists, joined first by the destructor.
    std::thread thread_;
};

}  // namespace oxl_test
