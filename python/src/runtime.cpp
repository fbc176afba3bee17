// Thread and lifetime machinery of the module (see common.hpp).

#include "common.hpp"

#include "oxl_api/log.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace oxl_py {

namespace {

std::atomic<bool> g_shutting_down{false};
std::mutex g_exit_thread_mutex;
/// The thread that ran the exit hook. Guarded by `g_exit_thread_mutex`.
std::thread::id g_exit_thread;

bool finalizing_now() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

/// Destroys objects released in a library context, in order, on a thread of its own that holds
/// no library lock. Started on first use; stopped (after running what is queued) by the exit
/// hook.
class Reaper {
  public:
    bool push(std::function<void()> job) {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopped) {
            return false;
        }
        jobs.push_back(std::move(job));
        if (!worker.joinable()) {
            worker = std::thread([this] { run(); });
        }
        ready.notify_one();
        return true;
    }

    /// Runs what is queued, then ends the thread. GIL released by the caller.
    void stop() {
        std::thread ending;
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopped = true;
            ending = std::move(worker);
        }
        ready.notify_one();
        if (ending.joinable()) {
            ending.join();
        }
    }

  private:
    void run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex);
                // Woken by push and stop; the time-out only bounds a wait that cannot be missed.
                ready.wait_for(lock, std::chrono::seconds(1),
                               [this] { return !jobs.empty() || stopped; });
                if (jobs.empty()) {
                    if (stopped) {
                        return;
                    }
                    continue;
                }
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            job();
            job = nullptr;  // its captures go here, outside the lock
        }
    }

    std::mutex mutex;
    std::condition_variable ready;
    /// Guarded by `mutex`.
    std::deque<std::function<void()>> jobs;
    /// Guarded by `mutex`.
    bool stopped = false;
    /// Guarded by `mutex`.
    std::thread worker;
};

Reaper& reaper() {
    // Never destroyed: a static destructor would run after the interpreter is gone.
    static Reaper* instance = new Reaper;
    return *instance;
}

/// Library objects owned by Python, so that the exit hook can stop them.
struct Tracked {
    std::mutex mutex;
    std::vector<std::weak_ptr<oxl_api::OXL>> transports;           // guarded by `mutex`
    std::vector<std::weak_ptr<oxl_api::OrvexActuator>> actuators;  // guarded by `mutex`
};

Tracked& tracked() {
    static Tracked* instance = new Tracked;
    return *instance;
}

template <class T>
void add_pruned(std::vector<std::weak_ptr<T>>& list, const std::shared_ptr<T>& object) {
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](const std::weak_ptr<T>& entry) { return entry.expired(); }),
               list.end());
    list.push_back(object);
}

template <class T>
std::vector<std::shared_ptr<T>> lock_all(const std::vector<std::weak_ptr<T>>& list) {
    std::vector<std::shared_ptr<T>> alive;
    for (const auto& entry : list) {
        if (auto object = entry.lock()) {
            alive.push_back(std::move(object));
        }
    }
    return alive;
}

/// The interpreter's exit hook (runs before finalization, after the other Python threads were
/// joined): from now on callbacks and log lines are no longer delivered to Python; every live
/// actuator is stopped and let go (as its destructor would), every live transport disconnected, so
/// that no receive thread calls into an interpreter that is being torn down, and the helper thread
/// finishes its queue.
void on_exit() {
    {
        std::lock_guard<std::mutex> lock(g_exit_thread_mutex);
        g_exit_thread = std::this_thread::get_id();
    }
    g_shutting_down.store(true);
    std::vector<std::shared_ptr<oxl_api::OXL>> transports;
    std::vector<std::shared_ptr<oxl_api::OrvexActuator>> actuators;
    {
        std::lock_guard<std::mutex> lock(tracked().mutex);
        transports = lock_all(tracked().transports);
        actuators = lock_all(tracked().actuators);
    }
    GilRelease release;
    // Lines printed from now on go to the standard streams again, not to a Python handler.
    oxl_api::set_log_handler({});
    for (const auto& actuator : actuators) {
        actuator->disconnect();
    }
    for (const auto& transport : transports) {
        transport->disconnect();
    }
    reaper().stop();
    // The references taken above go here, without the GIL (deleters cope with either).
    actuators.clear();
    transports.clear();
}

/// Deletes the thread state that CallbackGil kept for a library thread when that thread ends.
struct KeptThreadState {
    bool kept = false;
    ~KeptThreadState() {
        if (!kept || finalizing_now()) {
            return;  // a thread ending during finalization leaves its state to the interpreter
        }
        py::gil_scoped_acquire gil;
        gil.dec_ref();  // the reference CallbackGil kept; the guard's own drops the state
    }
};

thread_local KeptThreadState t_kept_state;
thread_local unsigned t_context = 0;

}  // namespace

unsigned& context() {
    return t_context;
}

bool shutting_down() {
    return g_shutting_down.load(std::memory_order_relaxed);
}

bool must_park() {
    if (!shutting_down() || context() != 0) {
        return false;
    }
    std::lock_guard<std::mutex> lock(g_exit_thread_mutex);
    return std::this_thread::get_id() != g_exit_thread;
}

void park_forever() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

bool python_finalizing() {
    return !Py_IsInitialized() || finalizing_now();
}

void check_may_send() {
    const unsigned flags = context();
    if (flags & kInBusFunction) {
        throw std::runtime_error(
            "cannot call into a transport or the simulated bus from a with_actuator or inspect "
            "function, a bus clock or a bus sink (the bus is locked there): use only the "
            "OrvexActuatorVirtual handed to the function");
    }
    if (flags & kReleasing) {
        throw std::runtime_error(
            "cannot call into a transport or the simulated bus while the library releases a "
            "Python object (from a __del__ method)");
    }
}

void check_may_register() {
    check_may_send();
    if (context() & kInCallback) {
        throw std::runtime_error(
            "cannot connect, disconnect or close a transport, scan, create or disconnect an "
            "actuator, or change message callbacks from a callback that runs on a transport's "
            "receive thread (it holds the transport's callback lock); sending commands is fine");
    }
}

void check_signals() {
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

void interruptible_sleep_ms(long long ms) {
    constexpr long long kSliceMs = 50;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero()) {
            return;
        }
        {
            GilRelease release;
            std::this_thread::sleep_for(
                std::min<std::chrono::nanoseconds>(left, std::chrono::milliseconds(kSliceMs)));
        }
        check_signals();
    }
}

// ---- PyRef ----

PyRef::PyRef(const py::handle& object)
    : ref(py::reinterpret_borrow<py::object>(object).release().ptr(), Drop{}) {}

void PyRef::Drop::operator()(PyObject* object) const {
    if (PyGILState_Check()) {
        ContextScope scope(kReleasing);
        Py_DECREF(object);
        return;
    }
    if (python_finalizing()) {
        return;  // no foreign thread may take the GIL any more; the reference is leaked
    }
    py::gil_scoped_acquire gil;
    ContextScope scope(kReleasing);
    Py_DECREF(object);
}

// ---- CallbackGil ----

namespace {
bool keeps_new_thread_state() {
    // A thread Python does not know yet: the acquire below creates its thread state.
    return PyGILState_GetThisThreadState() == nullptr;
}
}  // namespace

CallbackGil::CallbackGil() : CallbackGil(keeps_new_thread_state()) {}

CallbackGil::CallbackGil(bool keep) : gil() {
    if (keep) {
        gil.inc_ref();
        t_kept_state.kept = true;
    }
}

void report_unraisable(py::handle where) {
    try {
        throw;
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable(py::reinterpret_borrow<py::object>(where));
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        PyErr_WriteUnraisable(where.ptr());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
        PyErr_WriteUnraisable(where.ptr());
    }
}

// ---- deferred destruction, tracking, exit ----

bool defer(std::function<void()> job) {
    return reaper().push(std::move(job));
}

void track_transport(const std::shared_ptr<oxl_api::OXL>& transport) {
    std::lock_guard<std::mutex> lock(tracked().mutex);
    add_pruned(tracked().transports, transport);
}

void track_actuator(const std::shared_ptr<oxl_api::OrvexActuator>& actuator) {
    std::lock_guard<std::mutex> lock(tracked().mutex);
    add_pruned(tracked().actuators, actuator);
}

void install_exit_hook(py::module_& m) {
    py::module_::import("atexit").attr("register")(py::cpp_function(&on_exit));
    (void)m;
}

}  // namespace oxl_py

// ---- payload caster ----

namespace pybind11 {
namespace detail {

bool type_caster<std::vector<uint8_t>>::load(handle source, bool /*convert*/) {
    if (PyBytes_Check(source.ptr())) {
        const char* data = PyBytes_AS_STRING(source.ptr());
        value.assign(data, data + PyBytes_GET_SIZE(source.ptr()));
        return true;
    }
    if (PyByteArray_Check(source.ptr())) {
        const char* data = PyByteArray_AS_STRING(source.ptr());
        value.assign(data, data + PyByteArray_GET_SIZE(source.ptr()));
        return true;
    }
    if (PyObject_CheckBuffer(source.ptr())) {
        Py_buffer view;
        if (PyObject_GetBuffer(source.ptr(), &view, PyBUF_SIMPLE) != 0) {
            PyErr_Clear();
            return false;
        }
        const auto* data = static_cast<const uint8_t*>(view.buf);
        value.assign(data, data + view.len);
        PyBuffer_Release(&view);
        return true;
    }
    if (PyUnicode_Check(source.ptr()) || !PySequence_Check(source.ptr())) {
        return false;
    }
    auto items = reinterpret_borrow<pybind11::sequence>(source);
    std::vector<uint8_t> bytes;
    bytes.reserve(items.size());
    for (auto item : items) {
        if (PyFloat_Check(item.ptr()) || !PyIndex_Check(item.ptr())) {
            return false;
        }
        const long long byte = item.template cast<long long>();
        if (byte < 0 || byte > 255) {
            throw value_error("payload bytes must lie in 0..255, got " + std::to_string(byte));
        }
        bytes.push_back(static_cast<uint8_t>(byte));
    }
    value = std::move(bytes);
    return true;
}

handle type_caster<std::unordered_map<int, std::string>>::cast(const Map& errors,
                                                               return_value_policy, handle) {
    std::vector<std::pair<int, const std::string*>> sorted;
    sorted.reserve(errors.size());
    for (const auto& entry : errors) {
        sorted.emplace_back(entry.first, &entry.second);
    }
    std::sort(sorted.begin(), sorted.end());
    dict result;
    for (const auto& entry : sorted) {
        result[int_(entry.first)] = str(*entry.second);
    }
    return result.release();
}

}  // namespace detail
}  // namespace pybind11
