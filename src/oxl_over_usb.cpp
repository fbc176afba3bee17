#include "oxl_api/oxl_over_usb.hpp"

#include "log.hpp"
#include "wire.hpp"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <utility>

namespace oxl_api {

namespace {

constexpr int kAdapterId = 0;
constexpr auto kBootloaderPause = std::chrono::milliseconds(100);
// Pause after a pass whose read failed at once (the adapter is gone): without it the polling
// thread would spin a core until the application disconnects.
constexpr auto kVanishedBackOff = std::chrono::milliseconds(10);

// "0.5", "0.02", "10": whole milliseconds as seconds, without trailing zeros.
std::string seconds_text(int64_t ms) {
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
        fraction.erase(fraction.find_last_not_of('0') + 1);
        text += "." + fraction;
    }
    return text;
}

}  // namespace

OXL_over_USB::OXL_over_USB(const std::string& port, bool connect_now)
    : port_name(port), serial_port(std::make_unique<SerialPort>()) {
    if (connect_now) {
        connect(port);
    }
}

OXL_over_USB::~OXL_over_USB() {
    OXL_over_USB::disconnect();
}

bool OXL_over_USB::connect(const std::string& port) {
    disconnect();
    if (!port.empty()) {
        port_name = port;
    }
    bool automatic = false;
    if (port_name.empty()) {
        port_name = get_port();
        if (port_name.empty()) {
            return false;
        }
        automatic = true;
    }
    {
        std::lock_guard<std::mutex> lock(write_mutex);
        if (!serial_port->open(port_name, kBaudRate)) {
            details::log_line(std::cerr, LogSeverity::ERROR,
                              "Couldn't connect to port " + port_name);
            return false;
        }
        discard_stale_input();
    }
    open_name = port_name;
    chosen_by_usb_ids = automatic;
    running = true;
    writable = true;
    polling_thread = std::thread(&OXL_over_USB::polling_thread_worker, this);
    return true;
}

void OXL_over_USB::disconnect() {
    // Without a polling thread this only clears a flag that is already clear. A thread that
    // has closed the port on its own is still joined here, so ~thread never meets it joinable.
    {
        std::lock_guard<std::mutex> lock(stop_mutex);
        running = false;
        // Refuse senders from now on: the polling thread then closes the port as soon as its
        // receive pass and the one write in progress (if any) have ended, not after every queued
        // sender has waited out its write on a stalled line.
        writable = false;
    }
    stop_requested.notify_all();
    if (polling_thread.joinable()) {
        polling_thread.join();
        // An adapter found by its USB ids may have come back under another name.
        if (chosen_by_usb_ids) {
            port_name = open_name;
        }
    }
}

bool OXL_over_USB::is_connected() const {
    return running && writable;
}

bool OXL_over_USB::send_OXL(int id, const std::vector<uint8_t>& payload) {
    if (!check_outgoing_message(id, payload)) {
        return false;
    }
    const auto id_field = static_cast<uint16_t>(build_TWX_identifier(host_id, id) & 0xFFFF);
    if (!writable) {
        return false;
    }
    // Traced before the write lock is taken: a sink is not run under a lock of ours.
    trace_sent(id, payload, [] { return monotonic_time_ns(); });
    std::lock_guard<std::mutex> lock(write_mutex);
    // Again under the lock: the port may have started closing while this sender queued behind
    // writers that each waited out their time-out.
    if (!writable) {
        return false;
    }
    const std::vector<uint8_t> frame = details::encode_frame(id_field, payload);
    count_write(frame.size(), serial_port->write(frame));
    return true;
}

void OXL_over_USB::enter_bootloader() {
    send_OXL(kAdapterId, {wire::kCmdBootloader});
    std::this_thread::sleep_for(kBootloaderPause);
    close();
}

void OXL_over_USB::set_auto_reconnect(bool enabled) {
    reconnect_enabled = enabled;
}

bool OXL_over_USB::auto_reconnect() const {
    return reconnect_enabled;
}

void OXL_over_USB::set_reconnect_interval(std::chrono::milliseconds interval) {
    reconnect_interval_ms = std::max<int64_t>(1, interval.count());
}

std::chrono::milliseconds OXL_over_USB::reconnect_interval() const {
    return std::chrono::milliseconds(reconnect_interval_ms.load());
}

void OXL_over_USB::polling_thread_worker() {
    receiver.synced = true;
    // Set by the read source when the serial layer reports a failed read: the line is in error
    // or hung up, and reads return at once instead of after their time-out.
    bool line_failed = false;
    const details::FrameReceiver::ReadFn read = [this, &line_failed](std::size_t n) {
        std::vector<uint8_t> bytes = serial_port->read(n);
        if (serial_port->last_read_status() == SerialPort::ReadStatus::FAILED) {
            line_failed = true;
        }
        return bytes;
    };
    const details::FrameReceiver::DispatchFn dispatch =
        [this](int id, const std::vector<uint8_t>& payload, int reply_flag) {
            deliver_frame(id, payload, reply_flag);
        };
    while (is_connected()) {
        line_failed = false;
        try {
            receiver.pass(read, dispatch);
        } catch (...) {
            // A throwing callback (or an allocation failure) must not end reception.
            receiver.synced = false;
        }
        publish_receive_counts();
        if (line_failed) {
            if (reconnect_enabled) {
                if (!reconnect()) {
                    break;
                }
            } else {
                pause_while_running(kVanishedBackOff);
            }
        }
    }
    close_port();
}

void OXL_over_USB::close_port() {
    writable = false;
    std::lock_guard<std::mutex> lock(write_mutex);
    serial_port->close();
}

bool OXL_over_USB::pause_while_running(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(stop_mutex);
    return !stop_requested.wait_for(lock, pause, [this] { return !running; });
}

bool OXL_over_USB::reconnect() {
    const std::chrono::milliseconds interval = reconnect_interval();
    details::log_line(std::cerr, LogSeverity::WARNING,
                      "Adapter on " + open_name + " lost; reconnecting every " +
                          seconds_text(interval.count()) + " s");
    // Closed at once: a device that comes back while its old descriptor is still open may get
    // another name.
    close_port();
    while (pause_while_running(interval)) {
        if (reopen()) {
            details::log_line(std::cerr, LogSeverity::INFO, "Adapter on " + open_name + " back");
            receiver.synced = true;
            ++receive_counts.reconnects;
            publish_receive_counts();
            return true;
        }
    }
    return false;
}

void OXL_over_USB::discard_stale_input() {
    serial_port->flush_input();
    serial_port->flush_output();
    // Whatever arrived between the flush and now is from before this connection too.
    const std::size_t waiting = serial_port->in_waiting();
    if (waiting > 0) {
        serial_port->read(waiting);
    }
}

bool OXL_over_USB::reopen() {
    std::string name = open_name;
    if (chosen_by_usb_ids) {
        // Silent search: get_port would print a line at every attempt.
        const std::vector<std::string> ports = get_ports();
        if (ports.size() != 1) {
            return false;
        }
        name = ports.front();
    }
    {
        std::lock_guard<std::mutex> lock(write_mutex);
        if (!serial_port->open_quietly(name, kBaudRate)) {
            return false;
        }
        discard_stale_input();
    }
    open_name = name;
    // Under stop_mutex, so that a disconnect that has just refused senders is not undone.
    std::lock_guard<std::mutex> lock(stop_mutex);
    writable = running.load();
    return true;
}

void OXL_over_USB::process_pkt(int id, const std::vector<uint8_t>& payload, int reply_flag) {
    dispatch(id, payload, reply_flag);
}

void OXL_over_USB::deliver_frame(int id, const std::vector<uint8_t>& payload, int reply_flag) {
    bool found = true;  // a callback that throws was found
    try {
        found = dispatch(id, payload, reply_flag, receiver.frame_time_ns);
    } catch (...) {
        ++receive_counts.dispatched;
        throw;
    }
    ++(found ? receive_counts.dispatched : receive_counts.without_callback);
}

void OXL_over_USB::publish_receive_counts() {
    const details::FrameReceiver::Counts& parsed = receiver.counts;
    TransportCounters out;
    out.bytes_read = parsed.bytes_read;
    out.frames_dispatched = receive_counts.dispatched;
    out.frames_without_callback = receive_counts.without_callback;
    out.dropped_bad_start = parsed.bad_start;
    out.dropped_overlong = parsed.overlong;
    out.dropped_short_header = parsed.short_header;
    out.dropped_short_body = parsed.short_body;
    out.bytes_skipped = parsed.bytes_skipped;
    out.reconnects = receive_counts.reconnects;
    published_receive.store(out);
}

void OXL_over_USB::count_write(std::size_t size, std::size_t written) {
    send_counts.bytes_written += written;
    ++(written == size ? send_counts.frames_written : send_counts.write_failures);
    published_send.store(send_counts);
}

TransportCounters OXL_over_USB::counters() const {
    TransportCounters out = published_receive.load();
    const SendCounts sent = published_send.load();
    out.bytes_written = sent.bytes_written;
    out.frames_written = sent.frames_written;
    out.write_failures = sent.write_failures;
    return out;
}

bool OXL_over_USB::is_adapter_port(const PortInfo& port) {
    return port.vid == kUsbVendorId && port.pid >= kUsbProductIdFirst &&
           port.pid <= kUsbProductIdLast;
}

std::vector<std::string> OXL_over_USB::get_ports() {
    std::vector<std::string> names;
    for (const PortInfo& info : SerialPort::list_ports()) {
        if (is_adapter_port(info)) {
            names.push_back(info.name);
        }
    }
    return names;
}

std::string OXL_over_USB::get_port() {
    const std::vector<std::string> ports = get_ports();
    if (ports.size() == 1) {
        return ports.front();
    }
    if (ports.empty()) {
        details::log_line(std::cerr, LogSeverity::ERROR, "No serial ports found");
        return "";
    }
    std::string line = "Found multiple serial ports. Manually select one. Available ports:";
    for (const std::string& name : ports) {
        line += ' ' + name;
    }
    details::log_line(std::cerr, LogSeverity::ERROR, line);
    return "";
}

}  // namespace oxl_api
