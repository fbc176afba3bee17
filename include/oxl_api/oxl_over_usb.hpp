#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "oxl_api/details/frame_receiver.hpp"
#include "oxl_api/details/seqlock.hpp"
#include "oxl_api/export.hpp"
#include "oxl_api/oxl.hpp"
#include "oxl_api/serial_port.hpp"

namespace oxl_api {

/// OXL transport over the USB-to-CAN adapter, which shows up as a serial port (115200 baud,
/// USB vendor id 0x0483, product ids 0xA540 to 0xA54A).
///
/// Each message travels as one adapter frame: 0xFE, 16-bit identifier field (little-endian),
/// length, payload, 0xFD. While connected, a polling thread owned by this object reads the port,
/// unframes what the adapter sends and hands each message to the callback registered for its id
/// (see `OXL`); every message callback runs on that thread.
///
/// An adapter that vanishes while connected (unplugged, or its line hung up) makes every read fail
/// at once; the polling thread then pauses 10 ms between passes instead of spinning. By default
/// the transport stays "connected" until the application disconnects, as it always has; with
/// `set_auto_reconnect(true)` it closes the port instead and reopens the adapter on its own when
/// it comes back (see there).
///
/// Thread safety: `send_OXL`, `is_connected`, `set_auto_reconnect` and `auto_reconnect` may be
/// called from any thread, including from a message callback. `connect`, `disconnect`, `close` and
/// `enter_bootloader` join the polling thread: call them from one application thread at a time,
/// never from a message callback.
///
/// A stalled line (an adapter that stops taking what the host writes) holds up only the senders:
/// they take turns, each waiting out its 1000 ms write. `is_connected` and reception never wait
/// for them, and `disconnect` waits for at most the one write in progress.
///
/// Neither copyable nor movable (the polling thread refers to the object).
class OXL_API_EXPORT OXL_over_USB : public OXL {
  public:
    /// Baud rate of the adapter's serial port.
    static constexpr int kBaudRate = 115200;
    /// USB vendor id of the adapter.
    static constexpr uint16_t kUsbVendorId = 0x0483;
    /// Lowest and highest USB product ids of the adapter.
    static constexpr uint16_t kUsbProductIdFirst = 0xA540;
    static constexpr uint16_t kUsbProductIdLast = 0xA54A;

    /// Stores `port` (empty: choose automatically on connect) and, if `connect_now`, calls
    /// `connect(port)`. A failed connection still yields a usable, disconnected object; the
    /// reasons have been printed on standard error.
    explicit OXL_over_USB(const std::string& port = "", bool connect_now = true);
    /// Disconnects (joining the polling thread), then releases the port.
    ~OXL_over_USB() override;

    /// Disconnects first, then opens `port` (empty: the stored port name; if that is empty too,
    /// the one adapter found by `get_port`) at 115200 baud, discards any input already waiting
    /// and starts the polling thread. Blocks for `disconnect` (see there) and for opening the
    /// port. Returns false, disconnected, when
    /// no single adapter is found or the port cannot be opened (reasons on standard error).
    bool connect(const std::string& port) override;
    /// Stops the polling thread and waits for it to end; the thread closes the port as it ends.
    /// From the start, sends are refused (false at once), including those already queued behind
    /// other senders. Blocks until the current receive pass has finished (at most about 1.6 s
    /// plus a running callback) and the write in progress, if any, has ended (at most 1000 ms,
    /// on a stalled line), however many senders are queued. When not connected it still ends an
    /// automatic reconnection that is waiting for the adapter, and joins a polling thread that
    /// has ended on its own; without a polling thread it does nothing.
    void disconnect() override;
    /// True while the polling thread is meant to run and the port is open (so false while an
    /// automatic reconnection waits for the adapter to come back, and from the moment
    /// `disconnect` begins). Reads two atomic flags: never waits for a sender or the line.
    bool is_connected() const override;
    /// Frames one message and writes it with one blocking write (at most 1000 ms). Senders take
    /// turns on a lock of their own, so frames of concurrent senders never interleave; on a
    /// stalled line a sender also waits for those ahead of it (1000 ms each). Returns false,
    /// printing "Invalid OXL ID: <id>" or "Invalid payload length for address <id>" on standard
    /// error, for an id outside 0..16382 or a payload outside 1..59 bytes, and false silently
    /// when the port is not open or is being closed (`disconnect`, a lost adapter), in which case
    /// it returns at once, also after waiting for its turn. A short or failed write still returns
    /// true. Sent from a message callback, the wait holds up reception for as long.
    bool send_OXL(int id, const std::vector<uint8_t>& payload) override;
    /// Counts bytes read, frames dispatched and without a callback, frames the parser dropped
    /// (by reason) and bytes it skipped, automatic reconnections, bytes and frames written and
    /// failed or short writes. The receive side is published after every receive pass, the send
    /// side after every write. Never blocks.
    TransportCounters counters() const override;

    /// Switches automatic reconnection on or off; off by default. When it is on and the adapter
    /// vanishes while connected, the polling thread prints "Adapter on <port> lost; reconnecting
    /// every 0.5 s" on standard error, closes the port and tries every 0.5 s (see
    /// `set_reconnect_interval`) to open it again:
    /// by its name, or, when `connect` chose it automatically, as the one port with the adapter's
    /// USB ids (its name may have changed; `port_name` shows the new one after `disconnect`).
    /// Once open it discards stale input, prints "Adapter on <port> back" and resumes receiving;
    /// registered callbacks stay in place throughout. `disconnect` ends the retries at once.
    /// Takes effect from the next receive pass; never blocks.
    void set_auto_reconnect(bool enabled);
    /// Whether automatic reconnection is on.
    bool auto_reconnect() const;
    /// Sets the pause between two attempts to reopen a vanished adapter (500 ms unless set;
    /// anything under 1 ms counts as 1 ms). The "lost" line names it in seconds. Takes effect
    /// from the next pause; never blocks.
    void set_reconnect_interval(std::chrono::milliseconds interval);
    /// The pause between two attempts to reopen a vanished adapter.
    std::chrono::milliseconds reconnect_interval() const;

    /// Sends the bootloader command (payload 0xC1 to id 0, the adapter), waits 100 ms, then
    /// disconnects. Blocks for the send (like any `send_OXL`), about 100 ms, and `disconnect`.
    void enter_bootloader();

    /// Body of the polling thread: runs receive passes while `is_connected()`, swallowing any
    /// exception of a pass (and resynchronising), then closes the port. Runs on the polling
    /// thread only; `connect` starts it.
    void polling_thread_worker();
    /// Delivers one received message to the callback registered for `id`, holding
    /// `callbacks_mutex` while it runs, with the present time as its receive time; a message for
    /// an id without a callback is dropped silently. An exception from the callback propagates
    /// after the lock is released. (The polling thread dispatches each frame it parses the same
    /// way, with the time its last byte was read.)
    void process_pkt(int id, const std::vector<uint8_t>& payload, int reply_flag);

    /// Names, in listing order, of the serial ports whose USB ids are those of the adapter
    /// (vendor 0x0483, product 0xA540..0xA54A). Does not open any port.
    static std::vector<std::string> get_ports();
    /// True when `port` carries the adapter's USB ids (the test `get_ports` applies).
    static bool is_adapter_port(const PortInfo& port);
    /// The adapter's port name when exactly one adapter is plugged in. Otherwise an empty string,
    /// after "No serial ports found" or "Found multiple serial ports. Manually select one.
    /// Available ports: <names>" on standard error.
    static std::string get_port();

    /// Port to open. Application thread only (`connect` and the constructor).
    std::string port_name;
    /// The adapter's port; never null. Opened, closed and written only under `write_mutex`;
    /// read without it by the polling thread while it runs (libserialport allows one reader
    /// beside one writer), and by `connect` before it starts.
    std::unique_ptr<SerialPort> serial_port;
    /// Atomic hand-over flag: the polling thread runs while it is set; `disconnect` clears it.
    std::atomic<bool> running{false};
    /// Runs `polling_thread_worker` while connected. Application thread only (started by
    /// `connect`, joined by `disconnect`).
    std::thread polling_thread;

  private:
    /// Waits up to `pause` unless `disconnect` asks the polling thread to stop; returns false
    /// when it did. Polling thread only.
    bool pause_while_running(std::chrono::milliseconds pause);
    /// Adapter lost with automatic reconnection on: closes the port and retries opening it until
    /// it succeeds (true) or `disconnect` stops the thread (false). Polling thread only.
    bool reconnect();
    /// One attempt to reopen the adapter's port quietly. Polling thread only.
    bool reopen();
    /// Flushes both buffers of the freshly opened port and reads away what is still waiting, so
    /// that nothing from before this connection reaches the parser. Caller holds `write_mutex`.
    void discard_stale_input();
    /// Refuses senders, waits for the write in progress (at most 1000 ms) and closes the port.
    /// Polling thread only.
    void close_port();

    /// Serialises the writers: held while a frame is written, and while the port is opened or
    /// closed, so that frames never interleave and no sender writes on a port being closed.
    /// Never taken by `is_connected` or the receive path, which a stalled line must not hold up.
    std::mutex write_mutex;
    /// Atomic hand-over flag: set while senders may write, which implies the port is open. Set
    /// after the port is opened (by `reopen` under `stop_mutex`, so as not to undo a
    /// `disconnect`); cleared by `disconnect` and before every close. Senders test it before and
    /// after taking `write_mutex`, so that a close waits for one write only, not for every
    /// queued sender.
    std::atomic<bool> writable{false};
    /// Wakes a polling thread that pauses (between failed reads, or between reconnection
    /// attempts) when `disconnect` clears `running`, which it does under `stop_mutex` so that the
    /// wake-up cannot be missed. `reopen` sets `writable` under it only while `running` holds.
    std::mutex stop_mutex;
    std::condition_variable stop_requested;
    /// Atomic hand-over flag: reconnect automatically after the adapter vanished.
    std::atomic<bool> reconnect_enabled{false};
    /// Atomic setting: milliseconds between two attempts to reopen a vanished adapter.
    std::atomic<int64_t> reconnect_interval_ms{500};
    /// Name of the port the polling thread has open (or is trying to reopen). Set by `connect`
    /// before the polling thread starts; polling thread only while it runs (it changes when the
    /// adapter comes back under another name); read by `disconnect` after the join.
    std::string open_name;
    /// True when `connect` chose the port by the adapter's USB ids, so reconnection looks for it
    /// the same way. Set by `connect` before the polling thread starts; read-only while it runs.
    bool chosen_by_usb_ids = false;
    /// The receive parser's state and counts. Polling thread only.
    details::FrameReceiver receiver;

    /// Counters the polling thread keeps besides the parser's.
    struct ReceiveCounts {
        uint64_t dispatched = 0;
        uint64_t without_callback = 0;
        uint64_t reconnects = 0;
    };
    /// Counters of the send side.
    struct SendCounts {
        uint64_t bytes_written = 0;
        uint64_t frames_written = 0;
        uint64_t write_failures = 0;
    };
    /// Dispatches one parsed frame with its receive time and counts it. Polling thread only.
    void deliver_frame(int id, const std::vector<uint8_t>& payload, int reply_flag);
    /// Publishes the parser's and the polling thread's counts. Polling thread only.
    void publish_receive_counts();
    /// Counts one write of `size` bytes of which `written` went out. Caller holds `port_mutex`.
    void count_write(std::size_t size, std::size_t written);

    /// Polling thread only.
    ReceiveCounts receive_counts;
    /// Guarded by `port_mutex` (the lock that serialises writes).
    SendCounts send_counts;
    /// What `counters` reads: written by the polling thread, and under `port_mutex`.
    details::Seqlocked<TransportCounters> published_receive;
    details::Seqlocked<SendCounts> published_send;
};

}  // namespace oxl_api
