#include "oxl_api/serial_port.hpp"

#include <libserialport.h>
#include <poll.h>

#include <iostream>
#include <memory>

#include "log.hpp"

namespace oxl_api {

namespace {

constexpr unsigned int kWriteTimeoutMs = 1000;

struct PortListDeleter {
    void operator()(sp_port** list) const { sp_free_port_list(list); }
};

// True when the port's descriptor reports a hang-up or an error: a USB serial device that was
// unplugged (or a pseudo-terminal whose other end closed) is hung up, and every read of it
// returns end-of-file at once. libserialport's blocking read then retries until its time-out,
// spinning a core all along, so such a line is recognised before reading it.
bool line_hung_up(const sp_port* port) {
    int fd = -1;
    if (sp_get_port_handle(port, &fd) != SP_OK || fd < 0) {
        return true;
    }
    pollfd probe{fd, POLLIN, 0};
    if (::poll(&probe, 1, 0) < 0) {
        return false;  // EINTR and the like: let the read itself decide
    }
    return (probe.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace

SerialPort::~SerialPort() {
    close();
}

bool SerialPort::open(const std::string& name, int baudrate) {
    switch (open_port(name, baudrate)) {
        case OpenResult::OPENED:
            return true;
        case OpenResult::NOT_FOUND:
            details::log_line(std::cerr, LogSeverity::ERROR,
                              "SerialPort: failed to find port " + name);
            return false;
        case OpenResult::NOT_OPENED:
            details::log_line(std::cerr, LogSeverity::ERROR,
                              "SerialPort: failed to open port " + name);
            return false;
    }
    return false;
}

bool SerialPort::open_quietly(const std::string& name, int baudrate) {
    return open_port(name, baudrate) == OpenResult::OPENED;
}

SerialPort::OpenResult SerialPort::open_port(const std::string& name, int baudrate) {
    close();
    last_status = ReadStatus::COMPLETE;
    sp_port* found = nullptr;
    if (sp_get_port_by_name(name.c_str(), &found) != SP_OK) {
        return OpenResult::NOT_FOUND;
    }
    if (sp_open(found, SP_MODE_READ_WRITE) != SP_OK) {
        sp_free_port(found);
        return OpenResult::NOT_OPENED;
    }
    port = found;
    sp_set_baudrate(port, baudrate);
    sp_set_bits(port, 8);
    sp_set_parity(port, SP_PARITY_NONE);
    sp_set_stopbits(port, 1);
    sp_set_flowcontrol(port, SP_FLOWCONTROL_NONE);
    return OpenResult::OPENED;
}

void SerialPort::close() {
    if (port == nullptr) {
        return;
    }
    // sp_free_port does not close the descriptor, so close first.
    sp_close(port);
    sp_free_port(port);
    port = nullptr;
}

std::vector<uint8_t> SerialPort::read(std::size_t n) {
    if (port == nullptr) {
        last_status = ReadStatus::FAILED;
        return {};
    }
    if (n == 0) {
        last_status = ReadStatus::COMPLETE;
        return {};
    }
    // Only after a short read: while data flows, reads come back complete and cost no extra
    // system call. A line that is hung up in the middle of a read costs that one read's time-out.
    if (last_status != ReadStatus::COMPLETE && line_hung_up(port)) {
        last_status = ReadStatus::FAILED;
        return {};
    }
    std::vector<uint8_t> buffer(n, 0);
    const int got = sp_blocking_read(port, buffer.data(), n, read_timeout_ms);
    if (got < 0) {
        last_status = ReadStatus::FAILED;
        return {};
    }
    buffer.resize(static_cast<std::size_t>(got));
    last_status = buffer.size() == n ? ReadStatus::COMPLETE : ReadStatus::TIMED_OUT;
    return buffer;
}

std::size_t SerialPort::write(const std::vector<uint8_t>& data) {
    if (port == nullptr || data.empty()) {
        return 0;
    }
    const int written = sp_blocking_write(port, data.data(), data.size(), kWriteTimeoutMs);
    return written < 0 ? 0 : static_cast<std::size_t>(written);
}

void SerialPort::flush_input() {
    if (port != nullptr) {
        sp_flush(port, SP_BUF_INPUT);
    }
}

void SerialPort::flush_output() {
    if (port != nullptr) {
        sp_flush(port, SP_BUF_OUTPUT);
    }
}

std::size_t SerialPort::in_waiting() const {
    if (port == nullptr) {
        return 0;
    }
    const int waiting = sp_input_waiting(port);
    return waiting < 0 ? 0 : static_cast<std::size_t>(waiting);
}

std::vector<PortInfo> SerialPort::list_ports() {
    sp_port** raw_list = nullptr;
    if (sp_list_ports(&raw_list) != SP_OK) {
        return {};
    }
    const std::unique_ptr<sp_port*, PortListDeleter> list(raw_list);
    std::vector<PortInfo> ports;
    for (sp_port** it = list.get(); *it != nullptr; ++it) {
        PortInfo info;
        const char* name = sp_get_port_name(*it);
        info.name = name != nullptr ? name : "";
        int vid = 0;
        int pid = 0;
        if (sp_get_port_usb_vid_pid(*it, &vid, &pid) == SP_OK) {
            info.vid = static_cast<uint16_t>(vid);
            info.pid = static_cast<uint16_t>(pid);
        }
        ports.push_back(std::move(info));
    }
    return ports;
}

}  // namespace oxl_api
