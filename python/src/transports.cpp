// OXL (the transport base), OXL_over_USB and OXL_over_Sim.

#include "common.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>

#include "oxl_api/oxl_over_sim.hpp"
#include "oxl_api/oxl_over_usb.hpp"

namespace oxl_py {

using oxl_api::OXL;
using oxl_api::OXL_over_Sim;
using oxl_api::OXL_over_USB;
using oxl_api::SimulatedBus;

namespace {

using MessageCall = AsyncCall<int, std::vector<uint8_t>, int>;

/// A bus clock written in Python: a callable returning nanoseconds of a monotonic clock. It
/// runs on whichever thread steps the bus, with the GIL taken for the call; if it raises, the
/// error goes to sys.unraisablehook and the last good reading is used.
class ClockCall {
  public:
    explicit ClockCall(const py::handle& fn)
        : fn(fn), last(std::make_shared<std::atomic<int64_t>>(0)) {}
    std::chrono::nanoseconds operator()() const {
        if (python_finalizing()) {
            return std::chrono::nanoseconds(last->load());
        }
        CallbackGil gil;
        ContextScope scope(kInBusFunction);
        try {
            const int64_t now = fn.get()().cast<int64_t>();
            last->store(now);
            return std::chrono::nanoseconds(now);
        } catch (...) {
            report_unraisable(fn.get());
            return std::chrono::nanoseconds(last->load());
        }
    }

  private:
    PyRef fn;
    std::shared_ptr<std::atomic<int64_t>> last;
};

}  // namespace

SimulatedBus::Clock clock_from(const py::object& clock) {
    if (clock.is_none()) {
        return {};
    }
    if (!PyCallable_Check(clock.ptr())) {
        throw py::type_error("clock must be a callable returning nanoseconds, or None");
    }
    return ClockCall(clock);
}

void bind_transports(py::module_& m) {
    py::class_<OXL, std::shared_ptr<OXL>> oxl(m, "OXL", R"doc(
Message endpoint shared by the transports: the per-id registry of message callbacks and the id
and payload rules. Not constructible; use OXL_over_USB or OXL_over_Sim.

Message callbacks run on the transport's receive thread, one at a time, with the GIL taken for
the call only; an exception in one goes to sys.unraisablehook. A transport is a context manager:
`with` disconnects it.)doc");
    oxl.def("connect", &OXL::connect, py::arg("port"), py::call_guard<Registers>(),
            "Opens the transport on `port` (empty: the transport chooses). True on success.")
        .def("disconnect", &OXL::disconnect, py::call_guard<Registers>(),
             "Closes the transport; returns once its receive thread has ended.")
        .def("is_connected", &OXL::is_connected, py::call_guard<Waits>())
        .def("send_OXL", &OXL::send_OXL, py::arg("id"), py::arg("payload"), py::call_guard<Waits>(),
             "Sends one message (payload: 1..59 bytes) to `id` (0..16382). False, with a line "
             "on standard error, for an invalid id or size; False when not connected.")
        .def(
            "setCallback",
            [](OXL& self, int id, const py::function& callback) {
                check_may_register();
                OXL::MessageCallback call = MessageCall(callback);
                GilRelease release;
                self.setCallback(id, std::move(call));
            },
            py::arg("id"), py::arg("callback"),
            "Registers `callback(id, payload: bytes, reply_flag: int)` for messages from `id`, "
            "replacing any earlier one. It runs on the receive thread.")
        .def("removeCallback", &OXL::removeCallback, py::arg("id"), py::call_guard<Registers>(),
             "Removes the callback for `id`; once this returns it is not running and never "
             "called again.")
        .def("close", &OXL::close, py::call_guard<Registers>(), "Same as disconnect().")
        .def_static("check_oxl_id_range", &OXL::check_oxl_id_range, py::arg("id"))
        .def_static("check_oxl_payload_size", &OXL::check_oxl_payload_size, py::arg("payload"))
        .def_static("build_TWX_identifier", &OXL::build_TWX_identifier, py::arg("source_id"),
                    py::arg("target_id"))
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](OXL& self, const py::args&) {
            check_may_register();
            GilRelease release;
            self.disconnect();
        });

    py::class_<OXL_over_USB, OXL, std::shared_ptr<OXL_over_USB>> usb(m, "OXL_over_USB", R"doc(
Transport over the USB-to-CAN adapter (a serial port at 115200 baud). With connect_now it
connects at once (to `port`, or to the one adapter found by its USB ids); a failed connection
still gives a usable, disconnected object, with the reasons on standard error.)doc");
    usb.def(py::init([](const std::string& port, bool connect_now) {
                return own_transport(new OXL_over_USB(port, connect_now));
            }),
            py::arg("port") = "", py::arg("connect_now") = true, py::call_guard<Registers>())
        .def("set_auto_reconnect", &OXL_over_USB::set_auto_reconnect, py::arg("enabled"))
        .def("auto_reconnect", &OXL_over_USB::auto_reconnect)
        .def("enter_bootloader", &OXL_over_USB::enter_bootloader, py::call_guard<Registers>(),
             "Sends the adapter's bootloader command, waits 100 ms, then disconnects.")
        .def("process_pkt", &OXL_over_USB::process_pkt, py::arg("id"), py::arg("payload"),
             py::arg("reply_flag"), py::call_guard<Registers>(),
             "Delivers one message to the callback registered for `id`, on this thread.")
        .def_static("get_ports", &OXL_over_USB::get_ports, py::call_guard<GilRelease>())
        .def_static("is_adapter_port", &OXL_over_USB::is_adapter_port, py::arg("port"))
        .def_static("get_port", &OXL_over_USB::get_port, py::call_guard<GilRelease>())
        .def_readwrite("port_name", &OXL_over_USB::port_name, "Port to open (connect's default).")
        .def_property_readonly(
            "serial_port",
            [](OXL_over_USB& self) -> oxl_api::SerialPort& { return *self.serial_port; },
            py::return_value_policy::reference_internal,
            "The adapter's SerialPort (read by the receive thread while connected).")
        .def_property_readonly(
            "running", [](const OXL_over_USB& self) { return self.running.load(); },
            "True while the receive thread is meant to run.")
        .def("__repr__", [](const OXL_over_USB& self) {
            const bool connected = [&] {
                GilRelease release;
                return self.is_connected();
            }();
            return "<OXL_over_USB port=" + std::string(py::repr(py::str(self.port_name))) +
                   (connected ? " connected>" : " disconnected>");
        });
    usb.attr("kBaudRate") = OXL_over_USB::kBaudRate;
    usb.attr("kUsbVendorId") = OXL_over_USB::kUsbVendorId;
    usb.attr("kUsbProductIdFirst") = OXL_over_USB::kUsbProductIdFirst;
    usb.attr("kUsbProductIdLast") = OXL_over_USB::kUsbProductIdLast;

    py::class_<OXL_over_Sim, OXL, std::shared_ptr<OXL_over_Sim>> sim(m, "OXL_over_Sim", R"doc(
Transport to a simulated bus in this process: a drop-in replacement for OXL_over_USB. Add
actuators with bus().add_actuator(address); answers and streamed frames arrive on the
transport's own receive thread. `clock`, if given, is a callable returning the present time of a
monotonic clock in nanoseconds (it drives simulated time).)doc");
    sim.def(py::init([](bool connect_now, const py::object& clock) {
                check_may_register();
                SimulatedBus::Clock bus_clock = clock_from(clock);
                GilRelease release;
                return own_transport(new OXL_over_Sim(connect_now, std::move(bus_clock)));
            }),
            py::arg("connect_now") = true, py::arg("clock") = py::none())
        .def("connect", &OXL_over_Sim::connect, py::arg("port") = "", py::call_guard<Registers>(),
             "Starts the receive thread (disconnecting first); `port` is ignored. True.")
        .def("process_pkt", &OXL_over_Sim::process_pkt, py::arg("id"), py::arg("payload"),
             py::arg("reply_flag"), py::call_guard<Registers>(),
             "Delivers one message to the callback registered for `id`, on this thread.")
        .def("bus", &OXL_over_Sim::bus, py::return_value_policy::reference_internal,
             "The simulated bus behind this transport (keeps the transport alive).")
        .def("__repr__", [](OXL_over_Sim& self) {
            std::string text = "<OXL_over_Sim ";
            std::vector<int> addresses;
            bool connected = false;
            const bool may_lock = (context() & (kInBusFunction | kReleasing)) == 0;
            if (may_lock) {
                GilRelease release;
                connected = self.is_connected();
                addresses = self.bus().addresses();
            } else {
                connected = self.is_connected();
            }
            text += connected ? "connected" : "disconnected";
            if (may_lock) {
                text += addresses.empty() ? ", no actuators" : ", actuators at";
                for (std::size_t i = 0; i < addresses.size(); ++i) {
                    char id[16];
                    std::snprintf(id, sizeof id, "%s 0x%x", i == 0 ? "" : ",", addresses[i]);
                    text += id;
                }
            }
            return text + ">";
        });
}

}  // namespace oxl_py
