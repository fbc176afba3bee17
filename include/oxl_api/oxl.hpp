#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "oxl_api/export.hpp"
#include "oxl_api/trace.hpp"

namespace oxl_api {

/// The present time of the monotonic clock (`std::chrono::steady_clock`, CLOCK_MONOTONIC on
/// Linux) in nanoseconds: the clock of every receive time the library reports.
inline int64_t monotonic_time_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

/// Traffic counters of one transport since it was constructed (they survive `disconnect` and
/// `connect`), as `OXL::counters` returns them. A transport leaves at 0 what it does not count.
struct TransportCounters {
    // ---- receiving (the receive thread counts; one consistent set) ----

    /// Bytes read from the line.
    uint64_t bytes_read = 0;
    /// Received messages handed to a registered callback.
    uint64_t frames_dispatched = 0;
    /// Received messages dropped because no callback was registered for their id.
    uint64_t frames_without_callback = 0;
    /// Frames dropped by the parser: a header read in step whose first byte was not 0xFE
    /// (dropped whole, 4 bytes).
    uint64_t dropped_bad_start = 0;
    /// Frames dropped by the parser: a length byte above 59.
    uint64_t dropped_overlong = 0;
    /// Frames dropped by the parser: a header that did not arrive whole (1 to 3 bytes before the
    /// line went idle; an idle line itself is not counted).
    uint64_t dropped_short_header = 0;
    /// Frames dropped by the parser: a body that did not arrive whole.
    uint64_t dropped_short_body = 0;
    /// Bytes other than 0xFE skipped one by one while hunting for the next frame.
    uint64_t bytes_skipped = 0;
    /// Automatic reconnections after the adapter vanished and came back.
    uint64_t reconnects = 0;

    // ---- sending (the senders count; one consistent set) ----

    /// Bytes the line took.
    uint64_t bytes_written = 0;
    /// Messages handed to the line in full (the simulated transport: handed to its bus).
    uint64_t frames_written = 0;
    /// Writes that failed or were cut short.
    uint64_t write_failures = 0;

    // ---- simulated transport only ----

    /// Streamed frames the simulated devices sent.
    uint64_t sim_frames_sent = 0;
    /// Streamed frames the simulated bus skipped because the process lagged too far behind.
    uint64_t sim_frames_skipped = 0;
};

/// Abstract message endpoint: the registry of per-id message callbacks that every transport
/// shares, the id and payload rules of OXL messages, and the TWX identifier.
///
/// An OXL message is an id (0..16382 when sent; 0 is the USB-to-CAN adapter) and a payload of
/// 1..59 bytes when sent, 0..59 bytes when received. A concrete transport implements connecting,
/// sending and receiving; it delivers every received message to the callback registered for its
/// id while holding `callbacks_mutex`, so callbacks never run concurrently.
///
/// Thread safety: `setCallback` and `removeCallback` may be called from any thread except from
/// inside a message callback of this endpoint (the registry lock is not recursive).
class OXL_API_EXPORT OXL {
  public:
    /// Message callback: source id, a copy of the payload, and the reply flag (0 or 1).
    using MessageCallback = std::function<void(int, std::vector<uint8_t>, int)>;

    /// Largest payload of one OXL message, in bytes.
    static constexpr std::size_t kMaxPayloadSize = 59;

    /// Empty registry, `host_id` 1. When the environment variable OXL_API_TRACE names a file,
    /// the transport traces into it (one file shared by every transport of the process).
    OXL();
    /// Destroys every registered callback without calling it.
    virtual ~OXL() = default;

    OXL(const OXL&) = delete;
    OXL& operator=(const OXL&) = delete;
    OXL(OXL&&) = delete;
    OXL& operator=(OXL&&) = delete;

    /// Opens the transport on `port`; an empty name lets the transport choose. True on success.
    virtual bool connect(const std::string& port) = 0;
    /// Closes the transport; returns once its receive thread, if any, has ended.
    virtual void disconnect() = 0;
    /// True while the transport is connected and receiving.
    virtual bool is_connected() const = 0;
    /// Sends one OXL message to `id`. True when it was handed to the line; false (with a line on
    /// standard error for an invalid id or payload size) otherwise.
    virtual bool send_OXL(int id, const std::vector<uint8_t>& payload) = 0;
    /// This transport's traffic counters, readable at any time from any thread without blocking
    /// the receive thread. The receive-side counters are one consistent set, as are the send-side
    /// ones. The base counts nothing and returns zeros; each transport says what it counts.
    virtual TransportCounters counters() const;

    /// Registers `callback` for messages from `id`, replacing (and destroying) any earlier one.
    /// Blocks while a callback is running. No range check is made on `id`.
    void setCallback(int id, MessageCallback callback);
    /// Registers `callback` for messages from `id` only if no callback is registered for it.
    /// True when it did; false, leaving the registered one in place and destroying `callback`,
    /// otherwise. Blocks while a callback is running.
    bool setCallbackIfFree(int id, MessageCallback callback);
    /// Removes the callback for `id`, if any. When it returns, that callback is not running and
    /// will never be called again. Blocks while a callback is running.
    void removeCallback(int id);
    /// Disconnects the transport (calls `disconnect()`).
    void close();

    /// Host receive time (`monotonic_time_ns`) of the message being dispatched: taken by the
    /// transport when the message's last byte was read, before anything decoded it. Meant to be
    /// called from a message callback, on the receive thread, while it runs; 0 outside a dispatch.
    int64_t dispatch_receive_time_ns() const {
        return dispatch_time_ns.load(std::memory_order_relaxed);
    }

    /// Hands every message this transport sends or receives from now on to `sink` (null: stop
    /// tracing), replacing any earlier sink. The transport keeps the sink alive while it uses it;
    /// a message being traced on another thread as this returns may still reach the old sink.
    /// Any thread, including a message callback.
    void set_trace_sink(std::shared_ptr<TraceSink> sink);
    /// The attached trace sink, or null.
    std::shared_ptr<TraceSink> trace_sink() const;

    /// True when `id`, read as an unsigned 32-bit number, is at most 16382.
    static bool check_oxl_id_range(int id);
    /// True when the payload holds 1 to 59 bytes.
    static bool check_oxl_payload_size(const std::vector<uint8_t>& payload);
    /// The 28-bit TWX identifier: (source & 0x3FFF) << 14 | (target & 0x3FFF).
    static int build_TWX_identifier(int source_id, int target_id);

  protected:
    /// The checks every transport makes before sending: false, with "Invalid OXL ID: <id>" or
    /// "Invalid payload length for address <id>" and a line end on standard error, for an id or a
    /// payload size that `check_oxl_id_range` or `check_oxl_payload_size` refuses.
    static bool check_outgoing_message(int id, const std::vector<uint8_t>& payload);
    /// Delivers one received message to the callback registered for `id`, with a copy of the
    /// payload, holding `callbacks_mutex` while it runs; `receive_time_ns` (`monotonic_time_ns`,
    /// taken when the message's last byte was read) is what `dispatch_receive_time_ns` tells the
    /// callback. Returns false, calling nothing, when no callback is registered. An exception from
    /// the callback propagates after the lock is released.
    bool dispatch(int id, const std::vector<uint8_t>& payload, int reply_flag,
                  int64_t receive_time_ns);
    /// Hands a message this transport is about to send to the trace sink, with the time
    /// `now()` returns (nanoseconds on the transport's clock, asked only when tracing). Costs one
    /// relaxed load when tracing is off. Senders call it once the message passed their checks,
    /// just before it goes out, so that it is logged ahead of any answer to it.
    template <typename Now>
    void trace_sent(int id, const std::vector<uint8_t>& payload, Now now) {
        if (tracing.load(std::memory_order_relaxed)) {
            trace_message(TraceDirection::SENT, id, payload, 0, now());
        }
    }
    /// `dispatch` with the present time as the receive time.
    bool dispatch(int id, const std::vector<uint8_t>& payload, int reply_flag);

    /// Registered message callbacks by OXL id. Guarded by `callbacks_mutex`.
    std::unordered_map<int, MessageCallback> callbacks;
    /// Guards `callbacks`; held by a transport's dispatch for as long as a callback runs.
    std::mutex callbacks_mutex;
    /// This endpoint's own id, the source id of every TWX identifier it builds.
    int host_id = 1;

  private:
    void trace_message(TraceDirection direction, int id, const std::vector<uint8_t>& payload,
                       int reply_flag, int64_t time_ns);

    /// Guards `sink`. Held only to copy or replace the pointer, never while the sink runs.
    mutable std::mutex trace_mutex;
    /// The trace sink, or null. Guarded by `trace_mutex`.
    std::shared_ptr<TraceSink> sink;
    /// Atomic flag: true while `sink` is set, so that a transport that does not trace pays one
    /// relaxed load per message.
    std::atomic<bool> tracing{false};

    /// Receive time of the message being dispatched, 0 outside a dispatch. Written by the
    /// dispatching thread under `callbacks_mutex`; atomic so that a read from another thread is
    /// merely meaningless, never a data race.
    std::atomic<int64_t> dispatch_time_ns{0};
};

}  // namespace oxl_api
