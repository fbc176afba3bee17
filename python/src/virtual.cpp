// OrvexActuatorVirtual: the simulated actuator, used on the calling thread with the GIL held
// (it has no lock; Python's GIL is what keeps two threads from using one object at once).

#include "common.hpp"

#include <cstdio>

namespace oxl_py {

using oxl_api::OrvexActuatorVirtual;
using Virtual = OrvexActuatorVirtual;

namespace {

using FeedbackCall = SyncCall<int, Virtual::FeedbackMap>;
using ErrorCall = SyncCall<int, std::unordered_map<int, std::string>>;

template <class Call, class Fn>
Fn sync_callback_from(const py::object& callback) {
    if (callback.is_none()) {
        return Fn{};
    }
    if (!PyCallable_Check(callback.ptr())) {
        throw py::type_error("callback must be a callable or None");
    }
    return Call(callback);
}

}  // namespace

void bind_virtual(py::module_& m) {
    py::class_<Virtual> cls(m, "OrvexActuatorVirtual", R"doc(
A simulated actuator with the command interface of OrvexActuator, without transport or thread:
simulated time advances only in step() / start_steps(), in sub-steps of `dt` (0.0001 s). Its
feedback callback runs inside step(), on the calling thread; an exception in it passes out of
step(). Every field is public. List and dict fields are copies: assign them to change them.)doc");

    bind_nested_enums<Virtual>(cls, "Streaming rates in hertz.");

    const float nan = std::numeric_limits<float>::quiet_NaN();

    cls.def(py::init<int>(), py::arg("address"),
            "A stopped, disconnected actuator at `address` (0x10..0x3FFE; ValueError "
            "otherwise).")
        // ---- state ----
        .def_readwrite("address", &Virtual::address)
        .def_readwrite("model", &Virtual::model)
        .def_readwrite("firmware", &Virtual::firmware)
        .def_readwrite("path_a", &Virtual::path_a)
        .def_readwrite("path_b", &Virtual::path_b)
        .def_readwrite("path_c", &Virtual::path_c)
        .def_readwrite("connected", &Virtual::connected)
        .def_readwrite("enabled", &Virtual::enabled)
        .def_readwrite("can_high_speed", &Virtual::can_high_speed)
        .def_readwrite("mode", &Virtual::mode)
        .def_readwrite("torque_performance", &Virtual::torque_performance)
        .def_readwrite("speed_performance", &Virtual::speed_performance)
        .def_readwrite("setpoint", &Virtual::setpoint)
        .def_readwrite("position", &Virtual::position)
        .def_readwrite("speed", &Virtual::speed)
        .def_readwrite("torque", &Virtual::torque)
        .def_readwrite("load", &Virtual::load)
        .def_readwrite("vbus", &Virtual::vbus)
        .def_readwrite("temp_winding", &Virtual::temp_winding)
        .def_readwrite("temp_second", &Virtual::temp_second)
        .def_readwrite("sim_time", &Virtual::sim_time)
        .def_readwrite("dt", &Virtual::dt)
        .def_readwrite("feedback_period_steps", &Virtual::feedback_period_steps)
        .def_readwrite("step_count", &Virtual::step_count)
        .def_readwrite("last_feedback_step", &Virtual::last_feedback_step)
        .def_readwrite("feedback_items", &Virtual::feedback_items)
        .def_readwrite("feedback", &Virtual::feedback)
        .def_readwrite("parameters", &Virtual::parameters)
        .def_readwrite("limit_flags", &Virtual::limit_flags)
        .def_property(
            "feedback_callback",
            [](const Virtual& self) { return callable_of<FeedbackCall>(self.feedback_callback); },
            [](Virtual& self, const py::object& callback) {
                self.feedback_callback =
                    sync_callback_from<FeedbackCall, Virtual::FeedbackCallback>(callback);
            })
        .def_property(
            "error_callback",
            [](const Virtual& self) { return callable_of<ErrorCall>(self.error_callback); },
            [](Virtual& self, const py::object& callback) {
                self.error_callback =
                    sync_callback_from<ErrorCall, Virtual::ErrorCallback>(callback);
            })
        // ---- queries ----
        .def_static("is_valid_actuator_address", &Virtual::is_valid_actuator_address,
                    py::arg("address"))
        .def("param_or_nan", &Virtual::param_or_nan, py::arg("parameter"))
        .def("has_errors", &Virtual::has_errors)
        // ---- simulation ----
        .def("step", &Virtual::step, py::arg("load") = py::none(), py::arg("steps") = 1,
             "Advances max(1, steps) sub-steps (with `load`, if given, applied first), calls "
             "the feedback callback when due, and returns the snapshot.")
        .def("start_steps", &Virtual::start_steps, py::arg("steps") = 1)
        .def("change_load", &Virtual::change_load, py::arg("load"))
        .def("get_sim_time", &Virtual::get_sim_time, py::arg("decimals") = 6)
        .def("get_sim_rate_hz", &Virtual::get_sim_rate_hz)
        .def("update_feedback_snapshot", &Virtual::update_feedback_snapshot)
        // ---- feedback ----
        .def("get_feedback", &Virtual::get_feedback)
        .def("get_items_blocking", &Virtual::get_items_blocking, py::arg("items"),
             py::arg("timeout_s") = 1.0f)
        .def("set_feedback_items", &Virtual::set_feedback_items, py::arg("items"))
        .def("set_feedback_rate", py::overload_cast<Virtual::Rates>(&Virtual::set_feedback_rate),
             py::arg("rate"))
        .def("set_feedback_rate", py::overload_cast<int>(&Virtual::set_feedback_rate),
             py::arg("rate_hz"))
        .def(
            "set_feedback_callback",
            [](Virtual& self, const py::object& callback) {
                self.set_feedback_callback(
                    sync_callback_from<FeedbackCall, Virtual::FeedbackCallback>(callback));
            },
            py::arg("callback"),
            "Sets `callback(address, items: dict)`, called inside step(); None switches it off.")
        .def(
            "set_error_callback",
            [](Virtual& self, const py::object& callback) {
                self.set_error_callback(
                    sync_callback_from<ErrorCall, Virtual::ErrorCallback>(callback));
            },
            py::arg("callback"), "Stored; the simulated actuator never calls it.")
        .def(
            "set_low_freq_feedback_callback",
            [](Virtual& self, const py::object& callback) {
                self.set_low_freq_feedback_callback(
                    sync_callback_from<SyncCall<Virtual::FeedbackMap>,
                                       Virtual::LowFreqFeedbackCallback>(callback));
            },
            py::arg("callback"), "Accepted for compatibility; does nothing.")
        .def("set_low_freq_feedback_items", &Virtual::set_low_freq_feedback_items, py::arg("items"))
        .def("set_low_freq_feedback_rate",
             py::overload_cast<Virtual::Rates>(&Virtual::set_low_freq_feedback_rate),
             py::arg("rate"))
        .def("set_low_freq_feedback_rate",
             py::overload_cast<int>(&Virtual::set_low_freq_feedback_rate), py::arg("rate_hz"))
        // ---- connection and enabling ----
        .def("connect", &Virtual::connect, py::arg("timeout_s") = 1.0f)
        .def("disconnect", &Virtual::disconnect)
        .def("send_ping", &Virtual::send_ping, py::arg("timeout_s") = 1.0f)
        .def("start", &Virtual::start)
        .def("stop", &Virtual::stop)
        .def("save_config", &Virtual::save_config)
        .def("blink", &Virtual::blink, py::arg("duration") = 0.0f)
        // ---- mode and setpoints ----
        .def("change_mode", &Virtual::change_mode, py::arg("mode"))
        .def("change_setpoint", &Virtual::change_setpoint, py::arg("setpoint"))
        .def("change_torque_setpoint", &Virtual::change_torque_setpoint, py::arg("setpoint"),
             py::arg("o1") = nan, py::arg("o2") = nan, py::arg("o3") = nan, py::arg("o4") = nan)
        .def("change_speed_setpoint", &Virtual::change_speed_setpoint, py::arg("setpoint"),
             py::arg("o1") = nan, py::arg("o2") = nan, py::arg("o3") = nan, py::arg("o4") = nan)
        .def("change_position_setpoint", &Virtual::change_position_setpoint, py::arg("setpoint"),
             py::arg("o1") = nan, py::arg("o2") = nan, py::arg("o3") = nan, py::arg("o4") = nan,
             py::arg("o5") = nan)
        .def("change_impedance_setpoint", &Virtual::change_impedance_setpoint, py::arg("setpoint"),
             py::arg("o1") = nan, py::arg("o2") = nan, py::arg("o3") = nan, py::arg("o4") = nan,
             py::arg("o5") = nan, py::arg("o6") = nan, py::arg("o7") = nan)
        .def("internal_change_speed_setpoint", &Virtual::internal_change_speed_setpoint,
             py::arg("x1"), py::arg("x2"), py::arg("x3"), py::arg("x4"))
        .def("internal_change_position_setpoint", &Virtual::internal_change_position_setpoint,
             py::arg("x1"), py::arg("x2"), py::arg("x3"), py::arg("x4"), py::arg("x5"),
             py::arg("x6"), py::arg("x7"), py::arg("x8"), py::arg("x9"))
        .def("set_home_position", &Virtual::set_home_position)
        // ---- configuration ----
        .def("change_address", &Virtual::change_address, py::arg("address"))
        .def("set_can_high_speed", &Virtual::set_can_high_speed, py::arg("enable"))
        .def("set_torque_performance", &Virtual::set_torque_performance, py::arg("performance"))
        .def("set_speed_performance", &Virtual::set_speed_performance, py::arg("performance"))
        // ---- parameters ----
        .def("set_parameters", &Virtual::set_parameters, py::arg("values"))
        .def("get_parameters", &Virtual::get_parameters, py::arg("codes"),
             py::arg("timeout_s") = 1.0f)
        // ---- reports ----
        .def("get_info", &Virtual::get_info)
        .def("get_motor_state", &Virtual::get_motor_state)
        .def("get_measurements", &Virtual::get_measurements)
        .def("get_debug_flags", &Virtual::get_debug_flags)
        .def("get_all_parameters", &Virtual::get_all_parameters)
        .def("get_parameters_all", &Virtual::get_parameters_all)
        // ---- model selection ----
        .def_static("discover_available_actuators", &Virtual::discover_available_actuators,
                    py::arg("path"))
        .def("set_actuator", &Virtual::set_actuator, py::arg("model_name"), py::arg("path_a_text"),
             py::arg("path_b_text"))
        .def("set_actuator_from_paths", &Virtual::set_actuator_from_paths, py::arg("path_a_text"),
             py::arg("path_c_text"))
        // ---- Python additions ----
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
             [](Virtual& self, const py::args&) {
                 self.stop();
                 self.disconnect();
             })
        .def("__copy__", [](const Virtual& self) { return Virtual(self); })
        .def("__repr__", [](const Virtual& self) {
            char text[160];
            std::snprintf(text, sizeof text, "position=%g speed=%g torque=%g", self.position,
                          self.speed, self.torque);
            char address[16];
            std::snprintf(address, sizeof address, "0x%x", self.address);
            return std::string("<OrvexActuatorVirtual ") + address + " " +
                   std::string(
                       py::str(py::getattr(py::cast(self.mode), "name", py::cast(self.mode)))) +
                   " " + text + (self.enabled ? " enabled>" : " disabled>");
        });
}

}  // namespace oxl_py
