// OrvexActuator with its enumerations, OrvexActuatorScanner, and the free helpers.

#include "common.hpp"

#include <cstdio>

namespace oxl_py {

using oxl_api::OrvexActuator;
using oxl_api::OrvexActuatorScanner;
using oxl_api::OXL;

namespace {

using FeedbackCall = AsyncCall<int, OrvexActuator::FeedbackMap>;
using ErrorCall = AsyncCall<int, OrvexActuator::ErrorMap>;
using LowFreqCall = AsyncCall<OrvexActuator::FeedbackMap>;

/// Reads `model` and `firmware` under the actuator's lock (the receive thread writes them).
struct IdentityAccess : OrvexActuator {
    using OrvexActuator::read_identity;
};

std::pair<std::string, std::string> identity(const OrvexActuator& actuator) {
    std::string model;
    std::string firmware;
    (actuator.*(&IdentityAccess::read_identity))(model, firmware);
    return {model, firmware};
}

void check_address(int address) {
    if (!OXL::check_oxl_id_range(address)) {
        throw py::value_error("actuator address " + std::to_string(address) +
                              " is out of range 0..16382 (0x3FFE)");
    }
}

template <class Call, class Fn>
Fn callback_from(const py::object& callback, const char* what) {
    if (callback.is_none()) {
        return Fn{};
    }
    if (!PyCallable_Check(callback.ptr())) {
        throw py::type_error(std::string(what) + " must be a callable or None");
    }
    return Call(callback);
}

}  // namespace

void bind_actuator(py::module_& m) {
    m.def("is_serious_error", &oxl_api::is_serious_error, py::arg("bit"),
          "True for the error bits above 15, on which the default error callback stops the "
          "actuator.");
    m.def(
        "append_float",
        [](py::bytearray& payload, float value) {
            std::vector<uint8_t> bytes;
            oxl_api::append_float(bytes, value);
            payload.attr("extend")(py::cast(bytes));
        },
        py::arg("payload"), py::arg("value"),
        "Appends the 4 bytes of `value` (IEEE-754 single precision, least significant first) "
        "to the bytearray `payload`.");

    py::class_<OrvexActuator, std::shared_ptr<OrvexActuator>> cls(m, "OrvexActuator", R"doc(
Client of one actuator on the bus, reached through a transport (which it keeps alive). Commands
are fire-and-forget messages; feedback, identity, error and parameter reports are decoded on the
transport's receive thread, where the feedback and error callbacks run (with the GIL taken for
the call only; an exception in one goes to sys.unraisablehook). Calls that wait release the GIL.
A context manager: `with` stops the actuator and disconnects it at the end.)doc");

    bind_nested_enums<OrvexActuator>(cls, "Streaming rates in hertz; RATE_0HZ stops streaming.");

    cls.attr("MODELS_NAMES") = py::tuple(py::cast(OrvexActuator::MODELS_NAMES));
    cls.attr("kUnset") = OrvexActuator::kUnset;
    const float unset = OrvexActuator::kUnset;

    cls.def(py::init([](OXL& oxl, int address) {
                check_may_register();
                check_address(address);
                GilRelease release;
                return own_actuator(new OrvexActuator(oxl, address));
            }),
            py::arg("oxl"), py::arg("address"), py::keep_alive<1, 2>(),
            "Binds the client to `address` (0..16382) on the transport `oxl`; sends nothing.")
        // ---- connection ----
        .def("disconnect", &OrvexActuator::disconnect, py::call_guard<Registers>(),
             "Stops the actuator, removes its callback and clears `connected`.")
        .def("send_oxl_common", &OrvexActuator::send_oxl_common, py::arg("payload"),
             py::call_guard<Waits>())
        .def("send_ping", &OrvexActuator::send_ping, py::arg("timeout_s") = 1.0f,
             py::call_guard<Waits>(),
             "Pings and waits up to `timeout_s` for the identity report; True when it came.")
        .def("connect", &OrvexActuator::connect, py::arg("timeout_s") = 1.0f,
             py::call_guard<Waits>(), "send_ping, with the result stored in `connected`.")
        // ---- commands ----
        .def("start", &OrvexActuator::start, py::call_guard<Waits>())
        .def("stop", &OrvexActuator::stop, py::call_guard<Waits>())
        .def("change_mode", &OrvexActuator::change_mode, py::arg("m"), py::call_guard<Waits>())
        .def("change_setpoint", &OrvexActuator::change_setpoint, py::arg("a"), py::arg("b") = 0.0f,
             py::arg("c") = 0.0f, py::call_guard<Waits>())
        .def("change_torque_setpoint", &OrvexActuator::change_torque_setpoint, py::arg("setpoint"),
             py::arg("o1") = unset, py::arg("o2") = unset, py::arg("o3") = unset,
             py::arg("o4") = unset, py::call_guard<Waits>())
        .def("change_speed_setpoint", &OrvexActuator::change_speed_setpoint, py::arg("setpoint"),
             py::arg("o1") = unset, py::arg("o2") = unset, py::arg("o3") = unset,
             py::arg("o4") = unset, py::call_guard<Waits>())
        .def("change_position_setpoint", &OrvexActuator::change_position_setpoint,
             py::arg("setpoint"), py::arg("o1") = unset, py::arg("o2") = unset,
             py::arg("o3") = unset, py::arg("o4") = unset, py::arg("o5") = unset,
             py::call_guard<Waits>())
        .def("change_impedance_setpoint", &OrvexActuator::change_impedance_setpoint,
             py::arg("setpoint"), py::arg("o1") = unset, py::arg("o2") = unset,
             py::arg("o3") = unset, py::arg("o4") = unset, py::arg("o5") = unset,
             py::arg("o6") = unset, py::arg("o7") = unset, py::call_guard<Waits>())
        .def("internal_change_speed_setpoint", &OrvexActuator::internal_change_speed_setpoint,
             py::arg("x1"), py::arg("x2"), py::arg("x3"), py::arg("x4"), py::call_guard<Waits>())
        .def("internal_change_position_setpoint", &OrvexActuator::internal_change_position_setpoint,
             py::arg("x1"), py::arg("x2"), py::arg("x3"), py::arg("x4"), py::arg("x5"),
             py::arg("x6"), py::arg("x7"), py::arg("x8"), py::arg("x9"), py::call_guard<Waits>())
        .def("blink", &OrvexActuator::blink, py::call_guard<Waits>())
        .def("set_home_position", &OrvexActuator::set_home_position, py::call_guard<Waits>())
        .def("enter_bootloader", &OrvexActuator::enter_bootloader, py::call_guard<Waits>())
        // ---- feedback ----
        .def("can_callback", &OrvexActuator::can_callback, py::arg("id"), py::arg("payload"),
             py::arg("reply_flag"), py::call_guard<Waits>(),
             "Decodes one received message into this object (the callbacks run on this "
             "thread).")
        .def("setFeedbackItems", &OrvexActuator::setFeedbackItems, py::arg("items"),
             py::call_guard<Waits>())
        .def("setFeedbackRate",
             py::overload_cast<OrvexActuator::Rates>(&OrvexActuator::setFeedbackRate),
             py::arg("rate"), py::call_guard<Waits>())
        .def("setFeedbackRate", py::overload_cast<int>(&OrvexActuator::setFeedbackRate),
             py::arg("rate_hz"), py::call_guard<Waits>(),
             "Sets the streaming rate, 0 (stop) to 10000 Hz.")
        .def(
            "set_feedback_callback",
            [](OrvexActuator& self, const py::object& callback) {
                check_may_send();
                auto call = callback_from<FeedbackCall, OrvexActuator::FeedbackCallback>(
                    callback, "callback");
                GilRelease release;
                self.set_feedback_callback(std::move(call));
            },
            py::arg("callback"),
            "Sets `callback(address, items: dict)`, called on the receive thread once per "
            "streamed frame; None switches it off.")
        .def("get_feedback", &OrvexActuator::get_feedback, py::call_guard<Waits>(),
             "Latest value of every item streamed since the last setFeedbackItems.")
        .def("getItemsBlocking", &OrvexActuator::getItemsBlocking, py::arg("items"),
             py::arg("timeout_s") = 1.0f, py::call_guard<Waits>(),
             "Requests up to 9 items once and waits up to `timeout_s` for the reply; {} on "
             "time-out.")
        .def(
            "set_low_freq_feedback_callback",
            [](OrvexActuator& self, const py::object& callback) {
                check_may_send();
                auto call =
                    callback_from<LowFreqCall, std::function<void(OrvexActuator::FeedbackMap)>>(
                        callback, "callback");
                GilRelease release;
                self.set_low_freq_feedback_callback(std::move(call));
            },
            py::arg("callback"), "Accepted for compatibility; does nothing.")
        .def("set_low_freq_feedback_items", &OrvexActuator::set_low_freq_feedback_items,
             py::arg("items"), py::call_guard<Waits>())
        .def("set_low_freq_feedback_rate",
             py::overload_cast<OrvexActuator::Rates>(&OrvexActuator::set_low_freq_feedback_rate),
             py::arg("rate"), py::call_guard<Waits>())
        .def("set_low_freq_feedback_rate",
             py::overload_cast<int>(&OrvexActuator::set_low_freq_feedback_rate), py::arg("rate_hz"),
             py::call_guard<Waits>())
        // ---- errors and identity ----
        .def("parse_errors", &OrvexActuator::parse_errors, py::arg("error_bits"),
             py::call_guard<Waits>())
        .def(
            "set_error_callback",
            [](OrvexActuator& self, const py::object& callback) {
                check_may_send();
                auto call =
                    callback_from<ErrorCall, OrvexActuator::ErrorCallback>(callback, "callback");
                GilRelease release;
                self.set_error_callback(std::move(call));
            },
            py::arg("callback"),
            "Sets `callback(address, errors: dict[int, str])` (bit number to text), called on "
            "the receive thread; None switches error reporting off, default printing and "
            "stopping included.")
        .def("default_error_callback", &OrvexActuator::default_error_callback, py::arg("address"),
             py::arg("errors"), py::call_guard<Waits>())
        .def_static("parse_firmware_version", &OrvexActuator::parse_firmware_version,
                    py::arg("word"))
        // ---- parameters ----
        .def("set_parameters", &OrvexActuator::set_parameters, py::arg("values"),
             py::call_guard<Waits>())
        .def("get_parameters", &OrvexActuator::get_parameters, py::arg("codes"),
             py::arg("timeout_s") = 1.0f, py::call_guard<Waits>(),
             "Requests `codes` in chunks of 9, each awaited up to `timeout_s`; returns the "
             "whole parameter cache, or {} when the first chunk is not answered.")
        .def("get_parameters_all", &OrvexActuator::get_parameters_all, py::call_guard<Waits>())
        .def("parse_parameters", &OrvexActuator::parse_parameters, py::arg("payload"),
             py::arg("offset"), py::call_guard<Waits>())
        .def(
            "restore_factory_parameters",
            [](OrvexActuator& self, float wait_s) {
                check_may_send();
                {
                    GilRelease release;
                    self.restore_factory_parameters(0.0f);
                }
                // The trailing wait, in whole milliseconds, sliced so that Ctrl-C ends it.
                if (wait_s > 0.0f) {
                    const float ms = wait_s * 1000.0f;
                    interruptible_sleep_ms(ms >= 9.2e18f ? std::numeric_limits<long long>::max()
                                                         : static_cast<long long>(ms));
                }
            },
            py::arg("wait_s") = 1.0f,
            "Stops the actuator and its stream, restores its factory parameters, forgets the "
            "cached state, then waits `wait_s` seconds.")
        .def("set_torque_performance", &OrvexActuator::set_torque_performance,
             py::arg("performance"), py::call_guard<Waits>())
        .def("set_speed_performance", &OrvexActuator::set_speed_performance, py::arg("performance"),
             py::call_guard<Waits>())
        // ---- device configuration ----
        .def("changeAddress", &OrvexActuator::changeAddress, py::arg("new_address"),
             py::call_guard<Waits>())
        .def("set_can_high_speed", &OrvexActuator::set_can_high_speed, py::arg("enabled"),
             py::call_guard<Waits>())
        .def("save_config", &OrvexActuator::save_config, py::call_guard<Waits>())
        .def("clear_config", &OrvexActuator::clear_config, py::call_guard<Waits>())
        // ---- public fields ----
        .def_property_readonly(
            "address", [](const OrvexActuator& self) { return self.address; },
            "Id every command goes to (changed with changeAddress).")
        .def_property_readonly(
            "model", [](const OrvexActuator& self) { return identity(self).first; },
            "Model name from the last identity report.")
        .def_property_readonly(
            "firmware", [](const OrvexActuator& self) { return identity(self).second; },
            "Firmware version text from the last identity report ('x.x.x' before).")
        .def_readwrite("connected", &OrvexActuator::connected)
        .def_readwrite("can_high_speed", &OrvexActuator::can_high_speed)
        .def_readwrite("mode", &OrvexActuator::mode)
        .def_property(
            "ping_answered", [](const OrvexActuator& self) { return self.ping_answered.load(); },
            [](OrvexActuator& self, bool value) { self.ping_answered.store(value); })
        .def_property(
            "parameters_received",
            [](const OrvexActuator& self) { return self.parameters_received.load(); },
            [](OrvexActuator& self, bool value) { self.parameters_received.store(value); })
        // ---- Python additions ----
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
             [](OrvexActuator& self, const py::args&) {
                 check_may_register();
                 GilRelease release;
                 self.stop();
                 self.disconnect();
             })
        .def("__repr__", [](py::handle handle) {
            const OrvexActuator& self = handle.cast<const OrvexActuator&>();
            const auto id = identity(self);
            char address[16];
            std::snprintf(address, sizeof address, "0x%x", self.address);
            std::string text = "<" +
                               std::string(py::str(py::type::handle_of(handle).attr("__name__"))) +
                               " " + address;
            if (!id.first.empty()) {
                text += " model=" + std::string(py::repr(py::str(id.first)));
            }
            text += " firmware=" + std::string(py::repr(py::str(id.second)));
            return text + (self.connected ? " connected>" : " not connected>");
        });

    py::class_<OrvexActuatorScanner, OrvexActuator, std::shared_ptr<OrvexActuatorScanner>> scanner(
        m, "OrvexActuatorScanner", R"doc(
Finds the actuators that answer on the bus. Bound to id 0 (the adapter); the constructor pings
the adapter for up to 1 s and sets `connected`.)doc");
    scanner
        .def(py::init([](OXL& oxl) { return own_actuator(new OrvexActuatorScanner(oxl)); }),
             py::arg("oxl"), py::keep_alive<1, 2>(), py::call_guard<Registers>())
        .def(
            "scan",
            [](OrvexActuatorScanner& self, int first, int last) {
                check_may_register();
                if (!self.connected || first > last) {
                    GilRelease release;
                    return self.scan(first, last);
                }
                // One id at a time (at most 50 ms each), so that Ctrl-C ends a long scan.
                std::vector<int> found;
                for (long long id = first; id <= last; ++id) {
                    std::vector<int> one;
                    {
                        GilRelease release;
                        one = self.scan(static_cast<int>(id), static_cast<int>(id));
                    }
                    found.insert(found.end(), one.begin(), one.end());
                    check_signals();
                }
                return found;
            },
            py::arg("first"), py::arg("last"),
            "Pings every id from `first` to `last` (up to 50 ms each), prints a line per device "
            "found and returns their ids. Ctrl-C interrupts it between ids.")
        .def(
            "discover",
            [](OrvexActuatorScanner& self, int first, int last, int window,
               const py::object& progress) {
                check_may_register();
                if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
                    throw py::type_error("progress must be a callable or None");
                }
                // Runs on this thread between windows: takes the GIL for the call, delivers
                // Ctrl-C, and lets an exception (KeyboardInterrupt included) end the discovery.
                const PyRef call = progress.is_none() ? PyRef() : PyRef(progress);
                auto between_windows = [&call](int done, int total) {
                    py::gil_scoped_acquire gil;
                    check_signals();
                    return call ? call.get()(done, total).cast<bool>() : true;
                };
                GilRelease release;
                return self.discover(first, last, window, between_windows);
            },
            py::arg("first"), py::arg("last"),
            py::arg("window") = OrvexActuatorScanner::kDiscoveryWindow,
            py::arg("progress") = py::none(), R"doc(
Fast discovery of the ids from `first` to `last`: pings them in windows of `window` ids and
collects the answers; same result and printed lines as scan, about 12 s for the whole range.
`progress(done, total)`, if given, runs on this thread after each window; returning False ends
the discovery. Ctrl-C ends it after the current window.)doc");
    scanner.attr("kDiscoveryWindow") = OrvexActuatorScanner::kDiscoveryWindow;

    py::class_<oxl_api::DeviceIdentity>(m, "DeviceIdentity",
                                        "What a device says about itself in an identity report.")
        .def_readonly("model", &oxl_api::DeviceIdentity::model)
        .def_readonly("firmware", &oxl_api::DeviceIdentity::firmware)
        .def("__repr__", [](const oxl_api::DeviceIdentity& identity) {
            return "DeviceIdentity(model=" + std::string(py::repr(py::str(identity.model))) +
                   ", firmware=" + std::string(py::repr(py::str(identity.firmware))) + ")";
        });
    m.def("probe_identity", &oxl_api::probe_identity, py::arg("oxl"), py::arg("id"),
          py::arg("timeout_s"), py::call_guard<Registers>(), R"doc(
Pings `id` once and waits up to `timeout_s` for its identity report: a DeviceIdentity, or None
when nothing answered in time, `id` is out of range, or another client already listens on `id`
(ask that client instead). Sends nothing else.)doc");
}

}  // namespace oxl_py
