// SimulatedBus with SimMessage, DeviceInfo and Stats.

#include "common.hpp"

#include <chrono>
#include <cstdio>

namespace oxl_py {

using oxl_api::OrvexActuatorVirtual;
using oxl_api::SimMessage;
using oxl_api::SimulatedBus;

namespace {

std::string hex(long long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", value);
    return text;
}

/// Runs `fn` on the simulated actuator at `address` under the bus lock (see with_actuator).
/// The function gets a copy, whose changes are written back when it returns (or raises), so a
/// reference it keeps can never reach the bus's own object once the lock is gone. The device's
/// own callbacks are kept: the bus streams by itself, and a Python callback there would run
/// under the bus lock on the receive thread. Stores fn's result in `result` when given.
bool run_on_actuator(SimulatedBus& bus, int address, const py::function& fn, py::object* result) {
    check_may_send();
    GilRelease release;
    return bus.with_actuator(address, [&](OrvexActuatorVirtual& device) {
        py::gil_scoped_acquire gil;
        ContextScope scope(kInBusFunction);
        py::object copy = py::cast(std::make_unique<OrvexActuatorVirtual>(device));
        auto write_back = [&] {
            auto feedback_callback = std::move(device.feedback_callback);
            auto error_callback = std::move(device.error_callback);
            device = copy.cast<OrvexActuatorVirtual&>();
            device.feedback_callback = std::move(feedback_callback);
            device.error_callback = std::move(error_callback);
        };
        try {
            py::object value = fn(copy);
            write_back();
            if (result != nullptr) {
                *result = std::move(value);
            }
        } catch (...) {
            write_back();
            throw;
        }
    });
}

}  // namespace

void bind_simulated_bus(py::module_& m) {
    py::class_<SimMessage>(m, "SimMessage", "One message a simulated device sends to the host.")
        .def(py::init([](int id, std::vector<uint8_t> payload, int reply_flag) {
                 return SimMessage{id, std::move(payload), reply_flag};
             }),
             py::arg("id") = 0, py::arg("payload") = std::vector<uint8_t>{},
             py::arg("reply_flag") = 0)
        .def_readwrite("id", &SimMessage::id)
        .def_readwrite("payload", &SimMessage::payload)
        .def_readwrite("reply_flag", &SimMessage::reply_flag)
        .def("__repr__", [](const SimMessage& message) {
            return "SimMessage(id=" + hex(message.id) +
                   ", payload=" + std::string(py::repr(py::cast(message.payload))) +
                   ", reply_flag=" + std::to_string(message.reply_flag) + ")";
        });

    py::class_<SimulatedBus, std::unique_ptr<SimulatedBus, LibraryDeleter<SimulatedBus>>> bus(
        m, "SimulatedBus", R"doc(
Device side of a CAN bus, simulated: the adapter at id 0 and any number of actuators, each an
OrvexActuatorVirtual that answers as a real actuator would. Usually reached through
OXL_over_Sim.bus(); built alone it hands what the devices send to `sink` (a callable taking a
list of SimMessage). Times are integer nanoseconds of the bus clock. Every method may be called
from any thread.)doc");

    py::class_<SimulatedBus::DeviceInfo>(bus, "DeviceInfo", "Bus-level state of one device.")
        .def_readonly("address", &SimulatedBus::DeviceInfo::address)
        .def_readonly("model_code", &SimulatedBus::DeviceInfo::model_code)
        .def_readonly("firmware_word", &SimulatedBus::DeviceInfo::firmware_word)
        .def_readonly("stream_period_ticks", &SimulatedBus::DeviceInfo::stream_period_ticks)
        .def_property_readonly(
            "stream_items",
            [](const SimulatedBus::DeviceInfo& info) {
                return std::vector<int>(info.stream_items.begin(), info.stream_items.end());
            },
            "Streamed item codes in frame order, as a list of int.")
        .def_readonly("error_bits", &SimulatedBus::DeviceInfo::error_bits)
        .def_readonly("silent", &SimulatedBus::DeviceInfo::silent)
        .def("__repr__", [](const SimulatedBus::DeviceInfo& info) {
            return "DeviceInfo(address=" + hex(info.address) +
                   ", model_code=" + std::to_string(info.model_code) +
                   ", stream_period_ticks=" + std::to_string(info.stream_period_ticks) +
                   ", error_bits=" + hex(info.error_bits) +
                   ", silent=" + (info.silent ? "True" : "False") + ")";
        });

    py::class_<SimulatedBus::Stats>(bus, "Stats", "Traffic counters since construction.")
        .def_readonly("messages_received", &SimulatedBus::Stats::messages_received)
        .def_readonly("frames_sent", &SimulatedBus::Stats::frames_sent)
        .def_readonly("frames_skipped", &SimulatedBus::Stats::frames_skipped)
        .def("__repr__", [](const SimulatedBus::Stats& stats) {
            return "Stats(messages_received=" + std::to_string(stats.messages_received) +
                   ", frames_sent=" + std::to_string(stats.frames_sent) +
                   ", frames_skipped=" + std::to_string(stats.frames_skipped) + ")";
        });

    bus.def(py::init([](const py::object& sink, const py::object& clock) {
                SimulatedBus::Sink bus_sink;
                if (!sink.is_none()) {
                    if (!PyCallable_Check(sink.ptr())) {
                        throw py::type_error("sink must be a callable or None");
                    }
                    bus_sink = AsyncCall<std::vector<SimMessage>>(sink);
                }
                SimulatedBus::Clock bus_clock = clock_from(clock);
                GilRelease release;
                return std::unique_ptr<SimulatedBus, LibraryDeleter<SimulatedBus>>(
                    new SimulatedBus(std::move(bus_sink), std::move(bus_clock)));
            }),
            py::arg("sink") = py::none(), py::arg("clock") = py::none())
        .def("add_actuator", &SimulatedBus::add_actuator, py::arg("address"),
             py::arg("model_code") = 1, py::arg("firmware_word") = 0x0842, py::call_guard<Waits>(),
             "Adds a stopped actuator; False when `address` is outside 0x10..0x3FFE or taken.")
        .def("remove_actuator", &SimulatedBus::remove_actuator, py::arg("address"),
             py::call_guard<Waits>())
        .def("addresses", &SimulatedBus::addresses, py::call_guard<Waits>())
        .def("device_info", &SimulatedBus::device_info, py::arg("address"), py::call_guard<Waits>(),
             "DeviceInfo of the actuator at `address`, or None.")
        .def("set_adapter_firmware", &SimulatedBus::set_adapter_firmware, py::arg("firmware_word"),
             py::call_guard<Waits>())
        .def("raise_errors", &SimulatedBus::raise_errors, py::arg("address"), py::arg("bits"),
             py::call_guard<Waits>(),
             "Makes the actuator send an error report with `bits` now (they also stay in the "
             "item ERRORS until clear_errors).")
        .def("clear_errors", &SimulatedBus::clear_errors, py::arg("address"),
             py::call_guard<Waits>())
        .def("reset_device", &SimulatedBus::reset_device, py::arg("address"),
             py::call_guard<Waits>())
        .def("deliver", &SimulatedBus::deliver, py::arg("id"), py::arg("payload"),
             py::call_guard<Waits>(), "Hands the bus a message the host sent to `id`.")
        .def(
            "poll", [](SimulatedBus& self) { return self.poll().count(); }, py::call_guard<Waits>(),
            "Sends the frames that fell due; returns when the next one falls due (ns).")
        .def(
            "poll_and_wait_time",
            [](SimulatedBus& self, int64_t max_wait_ns) {
                return self.poll_and_wait_time(std::chrono::nanoseconds(max_wait_ns)).count();
            },
            py::arg("max_wait"), py::call_guard<Waits>())
        .def(
            "clock_now", [](const SimulatedBus& self) { return self.clock_now().count(); },
            py::call_guard<Waits>())
        .def("ticks", &SimulatedBus::ticks, py::call_guard<Waits>())
        .def("stats", &SimulatedBus::stats, py::call_guard<Waits>())
        .def(
            "with_actuator",
            [](SimulatedBus& self, int address, const py::function& fn) {
                return run_on_actuator(self, address, fn, nullptr);
            },
            py::arg("address"), py::arg("fn"), R"doc(
Calls fn(actuator) under the bus lock with the simulated actuator at `address` (an
OrvexActuatorVirtual; its changes are applied when fn returns or raises). False, without calling
fn, when there is no such actuator. fn must be short and may use only the actuator it is given:
calls into a transport or the bus raise RuntimeError there. Keeping the actuator past fn gives a
detached copy.)doc")
        .def(
            "inspect",
            [](SimulatedBus& self, int address, const py::function& fn) {
                py::object result = py::none();
                run_on_actuator(self, address, fn, &result);
                return result;
            },
            py::arg("address"), py::arg("fn"),
            "Like with_actuator, returning what fn returns, or None when there is no actuator "
            "at `address`. Example: bus.inspect(0x20, lambda a: a.position).");
    bus.attr("kAdapterId") = SimulatedBus::kAdapterId;
    bus.attr("kAdapterModelCode") = SimulatedBus::kAdapterModelCode;
    bus.attr("kTick") = SimulatedBus::kTick.count();
    bus.attr("kMaxEntriesPerMessage") = SimulatedBus::kMaxEntriesPerMessage;
    bus.attr("kMaxCatchUpTicks") = SimulatedBus::kMaxCatchUpTicks;
}

}  // namespace oxl_py
