// SerialPort and PortInfo.

#include "common.hpp"

#include <cstdio>

#include "oxl_api/serial_port.hpp"

namespace oxl_py {

using oxl_api::PortInfo;
using oxl_api::SerialPort;

namespace {

std::string usb_id_text(uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", id);
    return text;
}

}  // namespace

void bind_serial_port(py::module_& m) {
    py::class_<PortInfo>(m, "PortInfo",
                         "One serial port of the machine as the port lister sees it.")
        .def(py::init<>())
        .def_readwrite("name", &PortInfo::name, "System name of the port, e.g. '/dev/ttyACM0'.")
        .def_readwrite("vid", &PortInfo::vid, "USB vendor id; 0 when unknown or not USB.")
        .def_readwrite("pid", &PortInfo::pid, "USB product id; 0 when unknown or not USB.")
        .def("__repr__", [](const PortInfo& port) {
            return "PortInfo(name=" + std::string(py::repr(py::str(port.name))) +
                   ", vid=" + usb_id_text(port.vid) + ", pid=" + usb_id_text(port.pid) + ")";
        });

    py::class_<SerialPort> serial(m, "SerialPort", R"doc(
One serial port with the USB-to-CAN adapter's line settings (8N1, no flow control); every read
waits at most 800 ms, every write at most 1000 ms, both without the GIL. Failures give False,
0 or empty bytes. One thread may read while one other writes. A context manager: `with`
closes the port.)doc");

    bind_enum<SerialPort::ReadStatus>(serial, "ReadStatus", "How the latest read ended.",
                                      {{"COMPLETE", SerialPort::ReadStatus::COMPLETE},
                                       {"TIMED_OUT", SerialPort::ReadStatus::TIMED_OUT},
                                       {"FAILED", SerialPort::ReadStatus::FAILED}});

    serial.def(py::init<>(), "A closed port.")
        .def("open", &SerialPort::open, py::arg("name"), py::arg("baudrate"),
             py::call_guard<GilRelease>(),
             "Opens `name` at `baudrate` (closing any open port first). False, with a line on "
             "standard error, when the port is unknown or cannot be opened.")
        .def("open_quietly", &SerialPort::open_quietly, py::arg("name"), py::arg("baudrate"),
             py::call_guard<GilRelease>(), "`open` without the error lines.")
        .def("close", &SerialPort::close, py::call_guard<GilRelease>(),
             "Closes the port; nothing when closed.")
        .def("is_open", &SerialPort::is_open)
        .def("read", &SerialPort::read, py::arg("n"), py::call_guard<GilRelease>(),
             "Waits until `n` bytes arrived or 800 ms passed; returns what arrived (bytes).")
        .def("last_read_status", &SerialPort::last_read_status)
        .def("write", &SerialPort::write, py::arg("data"), py::call_guard<GilRelease>(),
             "Writes `data` (bytes) with one blocking write of at most 1000 ms; returns the "
             "count written.")
        .def("flush_input", &SerialPort::flush_input, py::call_guard<GilRelease>())
        .def("flush_output", &SerialPort::flush_output, py::call_guard<GilRelease>())
        .def("in_waiting", &SerialPort::in_waiting)
        .def_static("list_ports", &SerialPort::list_ports, py::call_guard<GilRelease>(),
                    "The machine's serial ports with their USB ids, as a list of PortInfo.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
             [](SerialPort& port, const py::args&) {
                 GilRelease release;
                 port.close();
             })
        .def("__repr__", [](const SerialPort& port) {
            return std::string("<SerialPort ") + (port.is_open() ? "open" : "closed") + ">";
        });
}

}  // namespace oxl_py
