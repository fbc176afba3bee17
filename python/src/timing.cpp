// Timed feedback: samples with receive time and sequence number, the sample callback, arrival
// and transport counters, the receive time of a dispatch, and the library's log hook.

#include "samples.hpp"

#include <cstdio>

#include "oxl_api/log.hpp"

namespace pybind11 {
namespace detail {
template <>
struct type_caster<oxl_api::LogSeverity> : oxl_py::IntEnumCaster<oxl_api::LogSeverity> {};
}  // namespace detail
}  // namespace pybind11

namespace oxl_py {

using oxl_api::LogSeverity;
using oxl_api::OrvexActuator;
using oxl_api::OXL;
using oxl_api::TransportCounters;
using Sample = OrvexActuator::FeedbackSample;
using Counters = OrvexActuator::FeedbackCounters;

namespace {

using SampleCall = AsyncCall<int, Sample>;
using MessageCall = AsyncCall<int, std::vector<uint8_t>, int>;
using LogCall = AsyncCall<LogSeverity, std::string>;

py::object sample_value(const Sample& sample, OrvexActuator::OXL_Items item) {
    const float* value = sample.find(item);
    return value != nullptr ? py::object(py::float_(*value)) : py::object(py::none());
}

}  // namespace

void bind_timing(py::module_& m) {
    auto actuator =
        py::reinterpret_borrow<py::class_<OrvexActuator, std::shared_ptr<OrvexActuator>>>(
            m.attr("OrvexActuator"));
    auto oxl = py::reinterpret_borrow<py::class_<OXL, std::shared_ptr<OXL>>>(m.attr("OXL"));

    m.def("monotonic_time_ns", &oxl_api::monotonic_time_ns,
          "The monotonic clock the receive times are taken on (CLOCK_MONOTONIC, as "
          "time.monotonic_ns()).");

    py::class_<Sample>(actuator, "FeedbackSample", R"doc(
One streamed frame with the time it arrived: `receive_time_ns` (host receive time on
monotonic_time_ns; 0 when unknown), `sequence` (1 for the first frame this actuator delivered,
never reset) and the frame's items in frame order. Iterating gives (item, value) pairs;
sample[item] is the value (KeyError when the frame does not carry it).)doc")
        .def_readonly("receive_time_ns", &Sample::receive_time_ns)
        .def_readonly("sequence", &Sample::sequence)
        .def_readonly("count", &Sample::count)
        .def_property_readonly(
            "items",
            [](const Sample& sample) {
                py::list items;
                for (const auto& entry : sample) {
                    items.append(py::make_tuple(
                        IntEnum<OrvexActuator::OXL_Items>::to_python(entry.item), entry.value));
                }
                return items;
            },
            "The frame's (item, value) pairs in frame order.")
        .def("find", &sample_value, py::arg("item"), "The value of `item`, or None.")
        .def("value_or", &Sample::value_or, py::arg("item"), py::arg("fallback"))
        .def("__len__", [](const Sample& sample) { return sample.count; })
        .def("__iter__", [](py::handle self) { return py::iter(self.attr("items")); })
        .def("__getitem__",
             [](const Sample& sample, OrvexActuator::OXL_Items item) {
                 const float* value = sample.find(item);
                 if (value == nullptr) {
                     throw py::key_error(std::to_string(static_cast<int>(item)));
                 }
                 return *value;
             })
        .def("__repr__", [](const Sample& sample) {
            std::string text = "FeedbackSample(sequence=" + std::to_string(sample.sequence) +
                               ", receive_time_ns=" + std::to_string(sample.receive_time_ns);
            for (const auto& entry : sample) {
                char value[48];
                std::snprintf(value, sizeof value, "=%g", entry.value);
                text +=
                    ", " +
                    std::string(py::str(
                        IntEnum<OrvexActuator::OXL_Items>::to_python(entry.item).attr("name"))) +
                    value;
            }
            return text + ")";
        });

    py::class_<Counters>(actuator, "FeedbackCounters", R"doc(
Arrival statistics of the streamed frames since the last setFeedbackRate: frames received,
frames estimated missing from the arrival times, the largest gap and the period (ns).)doc")
        .def_readonly("frames_received", &Counters::frames_received)
        .def_readonly("frames_missing", &Counters::frames_missing)
        .def_readonly("largest_gap_ns", &Counters::largest_gap_ns)
        .def_readonly("period_ns", &Counters::period_ns)
        .def("__repr__", [](const Counters& counters) {
            return "FeedbackCounters(frames_received=" + std::to_string(counters.frames_received) +
                   ", frames_missing=" + std::to_string(counters.frames_missing) +
                   ", largest_gap_ns=" + std::to_string(counters.largest_gap_ns) +
                   ", period_ns=" + std::to_string(counters.period_ns) + ")";
        });

    actuator
        .def(
            "set_feedback_sample_callback",
            [](OrvexActuator& self, const py::object& callback) {
                check_may_send();
                SampleFanout::PythonCallback call;
                if (!callback.is_none()) {
                    if (!PyCallable_Check(callback.ptr())) {
                        throw py::type_error("callback must be a callable or None");
                    }
                    call = SampleCall(callback);
                }
                GilRelease release;
                // Through the module's fan-out, which streams and recordings share.
                fanout_of(self)->set_python(std::move(call));
            },
            py::arg("callback"),
            "Sets `callback(address, sample: FeedbackSample)`, called on the receive thread once "
            "per streamed frame (before the feedback callback); None switches it off.")
        .def("get_feedback_sample", &OrvexActuator::get_feedback_sample, py::call_guard<Waits>(),
             "The latest streamed frame (sequence 0 before the first).")
        .def("get_feedback_counters", &OrvexActuator::get_feedback_counters,
             py::call_guard<Waits>());

    py::class_<TransportCounters>(m, "TransportCounters", R"doc(
A transport's traffic counters since construction: what the receive side read, dispatched and
dropped (by reason), what the send side wrote, and for the simulated transport the frames its
bus sent and skipped.)doc")
        .def_readonly("bytes_read", &TransportCounters::bytes_read)
        .def_readonly("frames_dispatched", &TransportCounters::frames_dispatched)
        .def_readonly("frames_without_callback", &TransportCounters::frames_without_callback)
        .def_readonly("dropped_bad_start", &TransportCounters::dropped_bad_start)
        .def_readonly("dropped_overlong", &TransportCounters::dropped_overlong)
        .def_readonly("dropped_short_header", &TransportCounters::dropped_short_header)
        .def_readonly("dropped_short_body", &TransportCounters::dropped_short_body)
        .def_readonly("bytes_skipped", &TransportCounters::bytes_skipped)
        .def_readonly("reconnects", &TransportCounters::reconnects)
        .def_readonly("bytes_written", &TransportCounters::bytes_written)
        .def_readonly("frames_written", &TransportCounters::frames_written)
        .def_readonly("write_failures", &TransportCounters::write_failures)
        .def_readonly("sim_frames_sent", &TransportCounters::sim_frames_sent)
        .def_readonly("sim_frames_skipped", &TransportCounters::sim_frames_skipped)
        .def("__repr__", [](const TransportCounters& c) {
            return "TransportCounters(frames_dispatched=" + std::to_string(c.frames_dispatched) +
                   ", frames_without_callback=" + std::to_string(c.frames_without_callback) +
                   ", frames_written=" + std::to_string(c.frames_written) + ", ...)";
        });

    oxl.def("counters", &OXL::counters, py::call_guard<Waits>())
        .def(
            "setCallbackIfFree",
            [](OXL& self, int id, const py::function& callback) {
                check_may_register();
                OXL::MessageCallback call = MessageCall(callback);
                GilRelease release;
                return self.setCallbackIfFree(id, std::move(call));
            },
            py::arg("id"), py::arg("callback"),
            "Registers `callback` for `id` only if none is registered; True when it did.")
        .def("dispatch_receive_time_ns", &OXL::dispatch_receive_time_ns,
             "Receive time of the message being dispatched (call it from a message callback); "
             "0 outside a dispatch.");

    bind_enum<LogSeverity>(m, "LogSeverity", "How serious a line of the library is.",
                           {{"INFO", LogSeverity::INFO},
                            {"WARNING", LogSeverity::WARNING},
                            {"ERROR", LogSeverity::ERROR}});
    m.def("log_severity_name", &oxl_api::log_severity_name, py::arg("severity"));
    m.def(
        "set_log_handler",
        [](const py::object& handler) {
            oxl_api::LogHandler call;
            if (!handler.is_none()) {
                if (!PyCallable_Check(handler.ptr())) {
                    throw py::type_error("handler must be a callable or None");
                }
                call = LogCall(handler);
            }
            GilRelease release;
            oxl_api::set_log_handler(std::move(call));
        },
        py::arg("handler"), R"doc(
Sends every line the library prints to `handler(severity: LogSeverity, text: str)` instead of
standard output/error; None puts the default back. The handler runs on the thread that produced
the line (often a transport's receive thread) with the GIL taken for the call; an exception in it
goes to sys.unraisablehook. oxl_api.use_python_logging() forwards the lines to `logging`.)doc");
}

}  // namespace oxl_py
