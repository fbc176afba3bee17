#include "oxl_api/serial_port.hpp"

#include <libserialport.h>

#include <iostream>
#include <memory>

namespace oxl_api {

namespace {

constexpr unsigned int kWriteTimeoutMs = 1000;

struct PortListDeleter {
    void operator()(sp_port** list) const { sp_free_port_list(list); }
};

}  // namespace

SerialPort::~SerialPort() {
    close();
}

bool SerialPort::open(const std::string& name, int baudrate) {
    close();
    sp_port* found = nullptr;
    if (sp_get_port_by_name(name.c_str(), &found) != SP_OK) {
        std::cerr << "SerialPort: failed to find port " << name << std::endl;
        return false;
    }
    if (sp_open(found, SP_MODE_READ_WRITE) != SP_OK) {
        std::cerr << "SerialPort: failed to open port " << name << std::endl;
        sp_free_port(found);
        return false;
    }
    port = found;
    sp_set_baudrate(port, baudrate);
    sp_set_bits(port, 8);
    sp_set_parity(port, SP_PARITY_NONE);
    sp_set_stopbits(port, 1);
    sp_set_flowcontrol(port, SP_FLOWCONTROL_NONE);
    return true;
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
    if (port == nullptr || n == 0) {
        return {};
    }
    std::vector<uint8_t> buffer(n, 0);
    const int got = sp_blocking_read(port, buffer.data(), n, read_timeout_ms);
    if (got < 0) {
        return {};
    }
    buffer.resize(static_cast<std::size_t>(got));
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
