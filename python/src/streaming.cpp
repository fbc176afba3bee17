// Streamed samples without Python on the receive thread: the per-actuator fan-out, pull-style
// streams (a bounded queue read from Python with a time-out) and OrvexActuator.record (rows
// collected in C++, returned as a numpy structured array).

#include "samples.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <thread>
#include <unordered_map>

namespace oxl_py {

using oxl_api::OrvexActuator;
using Sample = OrvexActuator::FeedbackSample;
using Item = OrvexActuator::OXL_Items;
using Clock = std::chrono::steady_clock;

// ---- fan-out ----

void SampleFanout::deliver(int address, const Sample& sample) const {
    std::shared_ptr<const Consumers> now;
    {
        std::lock_guard<std::mutex> lock(mutex);
        now = consumers;
    }
    for (const auto& sink : now->sinks) {
        sink->push(sample);
    }
    if (now->python) {
        now->python(address, sample);
    }
}

void SampleFanout::set_python(PythonCallback callback) {
    std::shared_ptr<const Consumers> old;
    std::lock_guard<std::mutex> lock(mutex);
    auto next = std::make_shared<Consumers>(*consumers);
    next->python = std::move(callback);
    old = std::exchange(consumers, std::move(next));
    // `old` (and the Python callable it may hold) is released after the lock.
}

void SampleFanout::add(std::shared_ptr<SampleSink> sink) {
    std::shared_ptr<const Consumers> old;
    std::lock_guard<std::mutex> lock(mutex);
    auto next = std::make_shared<Consumers>(*consumers);
    next->sinks.push_back(std::move(sink));
    old = std::exchange(consumers, std::move(next));
}

void SampleFanout::remove(const SampleSink* sink) {
    std::shared_ptr<const Consumers> old;
    std::lock_guard<std::mutex> lock(mutex);
    auto next = std::make_shared<Consumers>(*consumers);
    next->sinks.erase(std::remove_if(next->sinks.begin(), next->sinks.end(),
                                     [sink](const std::shared_ptr<SampleSink>& entry) {
                                         return entry.get() == sink;
                                     }),
                      next->sinks.end());
    old = std::exchange(consumers, std::move(next));
}

namespace {

struct FanoutTable {
    std::mutex mutex;
    /// Guarded by `mutex`.
    std::unordered_map<const OrvexActuator*, std::shared_ptr<SampleFanout>> by_actuator;
};

FanoutTable& fanouts() {
    static FanoutTable* table = new FanoutTable;  // never destroyed: used until the process ends
    return *table;
}

}  // namespace

std::shared_ptr<SampleFanout> fanout_of(OrvexActuator& actuator) {
    // Installed under the table's lock so that a second caller cannot add a consumer to a
    // fan-out that is not installed yet; the library takes only the actuator's own lock here.
    std::lock_guard<std::mutex> lock(fanouts().mutex);
    auto& entry = fanouts().by_actuator[&actuator];
    if (!entry) {
        entry = std::make_shared<SampleFanout>();
        actuator.set_feedback_sample_callback([fanout = entry](int address, const Sample& sample) {
            fanout->deliver(address, sample);
        });
    }
    return entry;
}

void forget_fanout(const OrvexActuator* actuator) {
    std::lock_guard<std::mutex> lock(fanouts().mutex);
    fanouts().by_actuator.erase(actuator);
}

namespace {

/// Waits in slices of at most 50 ms with the GIL released, delivering Ctrl-C between them, until
/// `done` (called without the GIL) returns true or `deadline` passes. Returns the last value of
/// `done`. GIL held on entry and exit.
template <class Done>
bool wait_interruptibly(Clock::time_point deadline, Done done) {
    constexpr auto kSlice = std::chrono::milliseconds(50);
    for (;;) {
        bool finished = false;
        bool expired = false;
        {
            GilRelease release;
            const auto now = Clock::now();
            finished = done(std::min(deadline, now + kSlice));
            expired = Clock::now() >= deadline;
        }
        if (finished || expired) {
            return finished;
        }
        check_signals();
    }
}

Clock::time_point deadline_after(double seconds) {
    // NaN and negative wait nothing; the cap keeps the deadline within the clock's range.
    const double capped = seconds > 0.0 ? std::min(seconds, 1e7) : 0.0;
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(capped));
}

// ---- pull-style stream ----

/// A bounded queue of samples: filled on the receive thread, emptied from Python. When it is
/// full the oldest sample makes room for the new one and counts as dropped. Storage is allocated
/// once, so a push never allocates.
class SampleQueue : public SampleSink {
  public:
    explicit SampleQueue(std::size_t capacity) : ring(capacity) {}

    void push(const Sample& sample) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (closed) {
                return;
            }
            if (count == ring.size()) {
                head = (head + 1) % ring.size();
                --count;
                ++dropped;
            }
            ring[(head + count) % ring.size()] = sample;
            ++count;
        }
        ready.notify_one();
    }

    /// Takes the oldest sample, waiting until `deadline` for one. False when none came in time or
    /// the queue is closed and empty.
    bool pop(Sample& out, Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!ready.wait_until(lock, deadline, [this] { return count > 0 || closed; }) ||
            count == 0) {
            return false;
        }
        out = ring[head];
        head = (head + 1) % ring.size();
        --count;
        return true;
    }

    /// Takes every queued sample.
    std::vector<Sample> pop_all() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Sample> all;
        all.reserve(count);
        for (; count > 0; --count) {
            all.push_back(ring[head]);
            head = (head + 1) % ring.size();
        }
        return all;
    }

    /// Refuses further samples and wakes a waiting reader; queued samples can still be read.
    void close() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            closed = true;
        }
        ready.notify_all();
    }

    uint64_t dropped_count() const {
        std::lock_guard<std::mutex> lock(mutex);
        return dropped;
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex);
        return count;
    }
    std::size_t capacity() const { return ring.size(); }
    bool is_closed() const {
        std::lock_guard<std::mutex> lock(mutex);
        return closed;
    }

  private:
    mutable std::mutex mutex;
    std::condition_variable ready;
    /// The ring and its fields below are guarded by `mutex`.
    std::vector<Sample> ring;
    std::size_t head = 0;
    std::size_t count = 0;
    uint64_t dropped = 0;
    bool closed = false;
};

/// What Python holds: the queue, and the fan-out it is attached to until closed.
class FeedbackStream {
  public:
    FeedbackStream(std::shared_ptr<SampleFanout> fanout, std::size_t capacity, double timeout_s)
        : queue(std::make_shared<SampleQueue>(capacity)),
          timeout_s(timeout_s),
          fanout(std::move(fanout)) {
        this->fanout->add(queue);
    }
    ~FeedbackStream() { close(); }
    FeedbackStream(const FeedbackStream&) = delete;
    FeedbackStream& operator=(const FeedbackStream&) = delete;

    /// Detaches the queue from the actuator; what is queued can still be read.
    void close() {
        queue->close();
        std::shared_ptr<SampleFanout> attached;
        {
            std::lock_guard<std::mutex> lock(mutex);
            attached = std::move(fanout);
        }
        if (attached) {
            attached->remove(queue.get());
        }
    }

    /// The next sample, or None when none arrives within `timeout` (None: the stream's time-out).
    py::object get(const py::object& timeout) {
        const double seconds = timeout.is_none() ? timeout_s : timeout.cast<double>();
        Sample sample;
        const auto deadline = deadline_after(seconds);
        const bool got = wait_interruptibly(
            deadline, [&](Clock::time_point until) { return queue->pop(sample, until); });
        return got ? py::cast(sample) : py::object(py::none());
    }

    py::list drain() {
        std::vector<Sample> all;
        {
            GilRelease release;
            all = queue->pop_all();
        }
        py::list samples;
        for (const Sample& sample : all) {
            samples.append(py::cast(sample));
        }
        return samples;
    }

    std::shared_ptr<SampleQueue> queue;
    double timeout_s;

  private:
    std::mutex mutex;
    /// Guarded by `mutex`; null once closed.
    std::shared_ptr<SampleFanout> fanout;
};

// ---- recording ----

/// Rows of `record`: time, sequence and the chosen items of each frame that carries any of them
/// (a frame carrying none is a leftover of an earlier stream configuration). Appends on the
/// receive thread until closed.
class Recorder : public SampleSink {
  public:
    Recorder(std::vector<Item> items, std::size_t expected_rows) : items(std::move(items)) {
        times.reserve(expected_rows);
        sequences.reserve(expected_rows);
        values.reserve(expected_rows * this->items.size());
    }

    void push(const Sample& sample) override {
        std::array<float, OrvexActuator::kMaxItemsPerFrame> row{};
        bool any = false;
        for (std::size_t i = 0; i < items.size(); ++i) {
            const float* value = sample.find(items[i]);
            any = any || value != nullptr;
            row[i] = value != nullptr ? *value : std::numeric_limits<float>::quiet_NaN();
        }
        if (!any) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (closed) {
            return;
        }
        times.push_back(sample.receive_time_ns);
        sequences.push_back(sample.sequence);
        values.insert(values.end(), row.begin(), row.begin() + items.size());
    }

    void close() {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
    }

    /// The rows as a numpy structured array. Call after `close`, GIL held.
    py::object to_array(const std::vector<std::string>& names) const {
        py::module_ numpy = py::module_::import("numpy");
        py::list fields;
        fields.append(py::make_tuple("time", "<f8"));
        fields.append(py::make_tuple("seq", "<i8"));
        for (const auto& name : names) {
            fields.append(py::make_tuple(name, "<f8"));
        }
        std::lock_guard<std::mutex> lock(mutex);
        const auto rows = static_cast<py::ssize_t>(times.size());
        py::object table = numpy.attr("empty")(rows, numpy.attr("dtype")(fields));
        py::array_t<double> column(rows);
        double* out = column.mutable_data();
        for (py::ssize_t r = 0; r < rows; ++r) {
            out[r] = static_cast<double>(times[r]) * 1e-9;
        }
        table[py::str("time")] = column;
        py::array_t<int64_t> seq(rows);
        int64_t* seq_out = seq.mutable_data();
        for (py::ssize_t r = 0; r < rows; ++r) {
            seq_out[r] = static_cast<int64_t>(sequences[r]);
        }
        table[py::str("seq")] = seq;
        const std::size_t width = items.size();
        for (std::size_t i = 0; i < width; ++i) {
            for (py::ssize_t r = 0; r < rows; ++r) {
                out[r] = values[static_cast<std::size_t>(r) * width + i];
            }
            table[py::str(names[i])] = column;
        }
        return table;
    }

  private:
    const std::vector<Item> items;
    mutable std::mutex mutex;
    /// The rows and `closed` are guarded by `mutex`.
    std::vector<int64_t> times;
    std::vector<uint64_t> sequences;
    std::vector<float> values;  // row after row, one value per item
    bool closed = false;
};

/// The enumerator names of `items` for the array's fields; ValueError for a code that is not a
/// feedback item, a repeated item, or more items than one frame carries.
std::vector<std::string> field_names(const std::vector<Item>& items) {
    if (items.empty() || items.size() > OrvexActuator::kMaxItemsPerFrame) {
        throw py::value_error(
            "record takes 1 to " + std::to_string(OrvexActuator::kMaxItemsPerFrame) +
            " items (what one frame carries), got " + std::to_string(items.size()));
    }
    std::vector<std::string> names;
    for (std::size_t i = 0; i < items.size(); ++i) {
        py::object member = IntEnum<Item>::to_python(items[i]);
        if (!py::hasattr(member, "name")) {
            throw py::value_error(std::to_string(static_cast<int>(items[i])) +
                                  " is not a feedback item code");
        }
        if (std::find(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(i), items[i]) !=
            items.begin() + static_cast<std::ptrdiff_t>(i)) {
            throw py::value_error("item " + std::string(py::str(member.attr("name"))) +
                                  " is listed twice");
        }
        names.push_back(py::str(member.attr("name")));
    }
    return names;
}

py::object record(OrvexActuator& self, const std::vector<Item>& items, int rate_hz,
                  double seconds) {
    check_may_register();  // a recording waits for frames that this receive thread would deliver
    const auto names = field_names(items);
    if (rate_hz < 1 || rate_hz > 10000) {
        throw py::value_error("rate_hz must lie in 1..10000, got " + std::to_string(rate_hz));
    }
    if (!(seconds >= 0.0) || seconds > 1e6) {
        throw py::value_error("seconds must lie in 0..1e6");
    }
    // Room for the expected rows and a margin, so that the receive thread seldom reallocates.
    const auto expected = static_cast<std::size_t>(rate_hz * seconds * 1.25) + 64;
    auto recorder = std::make_shared<Recorder>(items, expected);
    std::shared_ptr<SampleFanout> fanout;
    {
        GilRelease release;
        fanout = fanout_of(self);
        fanout->add(recorder);
        self.setFeedbackItems(items);
        self.setFeedbackRate(rate_hz);
    }
    auto finish = [&] {
        GilRelease release;
        recorder->close();
        self.setFeedbackRate(0);
        fanout->remove(recorder.get());
    };
    try {
        wait_interruptibly(deadline_after(seconds), [](Clock::time_point until) {
            std::this_thread::sleep_until(until);
            return false;
        });
    } catch (...) {
        finish();
        throw;
    }
    finish();
    return recorder->to_array(names);
}

}  // namespace

void bind_streaming(py::module_& m) {
    auto actuator =
        py::reinterpret_borrow<py::class_<OrvexActuator, std::shared_ptr<OrvexActuator>>>(
            m.attr("OrvexActuator"));

    py::class_<FeedbackStream>(m, "FeedbackStream", R"doc(
Pull-style stream of one actuator's streamed frames (OrvexActuator.stream()). The receive thread
puts each frame, as a FeedbackSample, into a bounded queue without taking the GIL; Python takes
them out with get(), drain() or by iterating. When the reader falls behind and the queue is full,
the oldest sample is dropped to make room and counted in `dropped`; sequence numbers show where.
Iterating ends when no sample arrives within the stream's `timeout_s`, or once the stream is
closed and empty. Waits release the GIL and are ended by Ctrl-C within 50 ms. A context manager:
`with` closes it. The stream keeps its actuator alive until it is garbage-collected.)doc")
        .def("get", &FeedbackStream::get, py::arg("timeout_s") = py::none(),
             "The next sample, waiting up to `timeout_s` seconds (None: the stream's timeout_s); "
             "None when none arrived.")
        .def("drain", &FeedbackStream::drain, "Every queued sample, oldest first, without waiting.")
        .def("close", &FeedbackStream::close,
             "Stops filling the queue; samples already queued can still be read.")
        .def_property_readonly(
            "dropped", [](const FeedbackStream& self) { return self.queue->dropped_count(); },
            "Samples dropped because the queue was full.")
        .def_property_readonly("capacity",
                               [](const FeedbackStream& self) { return self.queue->capacity(); })
        .def_property_readonly("closed",
                               [](const FeedbackStream& self) { return self.queue->is_closed(); })
        .def_readwrite("timeout_s", &FeedbackStream::timeout_s,
                       "How long iteration waits for the next sample before it ends.")
        .def("__len__", [](const FeedbackStream& self) { return self.queue->size(); })
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__",
             [](FeedbackStream& self) {
                 py::object sample = self.get(py::none());
                 if (sample.is_none()) {
                     throw py::stop_iteration();
                 }
                 return sample;
             })
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](FeedbackStream& self, const py::args&) { self.close(); })
        .def("__repr__", [](const FeedbackStream& self) {
            return "<FeedbackStream queued=" + std::to_string(self.queue->size()) + "/" +
                   std::to_string(self.queue->capacity()) +
                   " dropped=" + std::to_string(self.queue->dropped_count()) +
                   (self.queue->is_closed() ? " closed>" : ">");
        });

    actuator
        .def(
            "stream",
            [](OrvexActuator& self, std::size_t capacity, double timeout_s) {
                check_may_send();
                if (capacity < 1 || capacity > (std::size_t{1} << 24)) {
                    throw py::value_error("capacity must lie in 1..16777216");
                }
                std::shared_ptr<SampleFanout> fanout;
                {
                    GilRelease release;
                    fanout = fanout_of(self);
                }
                return std::make_unique<FeedbackStream>(std::move(fanout), capacity, timeout_s);
            },
            py::arg("capacity") = 1024, py::arg("timeout_s") = 1.0, py::keep_alive<0, 1>(),
            R"doc(
Opens a FeedbackStream of this actuator's streamed frames, holding up to `capacity` samples.
Streaming itself is set up as usual (setFeedbackItems, setFeedbackRate); streams, the sample
callback and the feedback callback all see every frame.)doc")
        .def("record", &record, py::arg("items"), py::arg("rate_hz"), py::arg("seconds"),
             R"doc(
Streams `items` (1 to 11 feedback items) at `rate_hz` for `seconds`, then switches streaming off
and returns what arrived as a numpy structured array, one row per frame: `time` (host receive
time in seconds, on the clock of time.monotonic()), `seq` (the frame's sequence number) and one
float64 field per item named by its enumerator name (e.g. `POSITION_4C`; NaN if a frame lacks
it). Frames carrying none of the items (left over from an earlier stream) are skipped. Rows are
collected in C++ on the receive thread; the GIL is released while waiting, and Ctrl-C ends the
recording (streaming is switched off) within 50 ms.)doc");
}

}  // namespace oxl_py
