#pragma once

// Shared machinery of the Python module: where Python code may run and what it may call from
// there, call guards that release the GIL, holders of Python objects that are safe to copy and
// destroy on any thread, the library objects' deleters, and the conversions of payloads and
// item/parameter maps. Every binding source includes this header first, so that the type casters
// below are seen before any use.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "oxl_api/orvex_actuator.hpp"
#include "oxl_api/orvex_actuator_virtual.hpp"
#include "oxl_api/oxl.hpp"
#include "oxl_api/simulated_bus.hpp"

namespace oxl_py {

namespace py = pybind11;

// ---- where Python code runs ----

/// Flags of the thread-local context in which Python code is running. Code running in one of
/// these contexts is called by the library while the library may hold one of its locks, so a
/// call back into the library that takes the same lock would deadlock: the guards below refuse
/// such calls with a RuntimeError, and objects released there are destroyed by a helper thread.
enum Context : unsigned {
    /// A message, feedback or error callback: the transport's registry lock is held.
    kInCallback = 1u,
    /// A with_actuator/inspect function, a bus clock or sink: the bus lock may be held.
    kInBusFunction = 2u,
    /// A Python object released by the library (its __del__ and what it frees): any library
    /// lock may be held.
    kReleasing = 4u,
};

/// The context flags of the calling thread.
unsigned& context();

/// Adds `flags` to the calling thread's context for its lifetime.
class ContextScope {
  public:
    explicit ContextScope(unsigned flags) : saved(context()) { context() |= flags; }
    ~ContextScope() { context() = saved; }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;

  private:
    unsigned saved;
};

/// True once the interpreter's exit hook has run: callbacks are no longer delivered to Python.
bool shutting_down();
/// True when no thread may take the GIL any more (the interpreter is finalizing or gone).
bool python_finalizing();

/// Refuses (RuntimeError) a call that sends through a transport or touches the simulated bus
/// when the calling thread runs a bus function or releases an object. GIL held.
void check_may_send();
/// Refuses a call that registers or removes message callbacks, or joins a receive thread, from
/// any library context. GIL held.
void check_may_register();

/// Call guard for bindings that may wait on a library lock, the line or a time-out: checks the
/// context, then releases the GIL for the call.
struct Waits {
    struct Check {
        Check() { check_may_send(); }
    } check;
    py::gil_scoped_release release;
};

/// Call guard for bindings that change callback registrations or join a receive thread.
struct Registers {
    struct Check {
        Check() { check_may_register(); }
    } check;
    py::gil_scoped_release release;
};

/// Raises the pending signal's exception (KeyboardInterrupt) if a signal arrived. GIL held.
void check_signals();

/// Sleeps `ms` milliseconds with the GIL released, in slices, delivering Ctrl-C between them.
/// GIL held on entry and exit.
void interruptible_sleep_ms(long long ms);

// ---- Python objects held by the library ----

/// A strong reference to a Python object that may be copied and destroyed on any thread, with
/// or without the GIL: the last copy takes the GIL to drop the reference (and leaks it instead
/// once the interpreter is finalizing, when no foreign thread may take the GIL).
class PyRef {
  public:
    PyRef() = default;
    /// Takes a reference to `object`. GIL held.
    explicit PyRef(const py::handle& object);
    /// The object (borrowed). GIL held.
    py::handle get() const { return py::handle(ref.get()); }
    explicit operator bool() const { return static_cast<bool>(ref); }

  private:
    struct Drop {
        void operator()(PyObject* object) const;
    };
    std::shared_ptr<PyObject> ref;
};

/// Takes the GIL on a library thread for one call. The first time on a thread that Python does
/// not know, it keeps the thread state it creates for the thread's life (so that a callback at
/// 10 kHz does not build and tear down a thread state per frame, and `threading.local` values
/// survive between calls); the state is deleted when the thread ends.
class CallbackGil {
  public:
    CallbackGil();
    CallbackGil(const CallbackGil&) = delete;
    CallbackGil& operator=(const CallbackGil&) = delete;

  private:
    explicit CallbackGil(bool keep);
    py::gil_scoped_acquire gil;
};

/// Reports the exception being handled (a Python one, or a C++ one as RuntimeError) through
/// sys.unraisablehook, with `where` (usually the callable that raised) as its object. GIL held.
void report_unraisable(py::handle where);

/// A callable the library calls on its receive thread (or any thread): takes the GIL for the
/// call only, converts the arguments, and reports an exception through sys.unraisablehook
/// (with the callable as the hook's `object` and the traceback) instead of letting it reach the
/// library's thread. Not called any more once the interpreter exits.
template <class... Args>
class AsyncCall {
  public:
    explicit AsyncCall(const py::handle& fn) : fn(fn) {}
    void operator()(Args... args) const {
        if (shutting_down()) {
            return;
        }
        CallbackGil gil;
        ContextScope scope(kInCallback);
        try {
            fn.get()(py::cast(std::move(args))...);
        } catch (...) {
            report_unraisable(fn.get());
        }
    }
    /// The Python callable. GIL held.
    py::handle callable() const { return fn.get(); }

  private:
    PyRef fn;
};

/// A callable the library calls synchronously on the calling thread (the simulated actuator's
/// feedback callback inside `step`): a Python exception passes out to the caller.
template <class... Args>
class SyncCall {
  public:
    explicit SyncCall(const py::handle& fn) : fn(fn) {}
    void operator()(Args... args) const {
        py::gil_scoped_acquire gil;
        fn.get()(py::cast(std::move(args))...);
    }
    py::handle callable() const { return fn.get(); }

  private:
    PyRef fn;
};

/// The Python callable inside a std::function built from one of the wrappers above, or None for
/// an empty function, or a Python wrapper of a C++ callable.
template <class Wrapper, class Fn>
py::object callable_of(const Fn& fn) {
    if (!fn) {
        return py::none();
    }
    if (const Wrapper* wrapper = fn.template target<Wrapper>()) {
        return py::reinterpret_borrow<py::object>(wrapper->callable());
    }
    return py::cpp_function(fn);
}

// ---- library objects owned by Python ----

/// Runs `job` on the module's helper thread: used to destroy library objects whose last Python
/// reference went away in a library context, where destroying them inline could deadlock
/// (an actuator's destructor takes the transport's registry lock). Jobs run in order. Returns
/// false (the job is dropped, its object leaked) once the interpreter is exiting.
bool defer(std::function<void()> job);

/// Deleter of the library objects Python owns (transports, actuators): destroys the object with
/// the GIL released (its destructor joins threads and takes locks that a receive thread holds
/// while it waits for the GIL), or on the helper thread when released in a library context.
template <class T>
struct LibraryDeleter {
    void operator()(T* object) const {
        if (context() != 0) {
            if (!defer([object] { delete object; })) {
                // Interpreter exit: the receive threads are stopped; leaking is harmless.
            }
            return;
        }
        if (PyGILState_Check()) {
            py::gil_scoped_release release;
            delete object;
        } else {
            delete object;
        }
    }
};

/// Records a transport / an actuator so that the exit hook can stop it.
void track_transport(const std::shared_ptr<oxl_api::OXL>& transport);
void track_actuator(const std::shared_ptr<oxl_api::OrvexActuator>& actuator);

/// Takes ownership of a freshly built transport (GIL released).
template <class T>
std::shared_ptr<T> own_transport(T* raw) {
    std::shared_ptr<T> owned(raw, LibraryDeleter<T>{});
    track_transport(owned);
    return owned;
}

/// Takes ownership of a freshly built actuator (GIL released).
template <class T>
std::shared_ptr<T> own_actuator(T* raw) {
    std::shared_ptr<T> owned(raw, LibraryDeleter<T>{});
    track_actuator(owned);
    return owned;
}

/// Registers the exit hook that stops every actuator and transport before the interpreter
/// finalizes, and the helper thread's shutdown.
void install_exit_hook(py::module_& m);

// ---- enumerations ----

/// The canonical Python member of each value of an 8-bit enumeration, filled when the
/// enumeration is bound, so that a dict of 11 items is built without creating 11 new enum
/// objects per frame. Values without a member are created on demand.
template <class E>
struct EnumMembers {
    static_assert(sizeof(E) == 1, "cached for 8-bit enumerations only");
    static std::array<PyObject*, 256>& table() {
        static std::array<PyObject*, 256> members{};
        return members;
    }
    /// A new reference to the member for `value`. GIL held.
    static py::object get(E value) {
        PyObject* member = table()[static_cast<uint8_t>(value)];
        if (member != nullptr) {
            return py::reinterpret_borrow<py::object>(member);
        }
        return py::cast(value);
    }
};

/// Binds an enumeration nested in `scope`: comparable and hashable as its integer value, accepted
/// wherever a plain int of its range is (and vice versa), and with its members cached for the
/// dict conversions.
template <class E>
py::enum_<E> bind_enum(py::handle scope, const char* name, const char* doc,
                       std::initializer_list<std::pair<const char*, E>> values) {
    py::enum_<E> bound(scope, name, doc, py::arithmetic());
    for (const auto& value : values) {
        bound.value(value.first, value.second);
    }
    if constexpr (sizeof(E) == 1) {
        for (const auto& value : values) {
            // A strong reference kept for the life of the process (the class holds it too).
            EnumMembers<E>::table()[static_cast<uint8_t>(value.second)] =
                py::object(bound.attr(value.first)).release().ptr();
        }
    }
    py::implicitly_convertible<int, E>();
    return bound;
}

/// Expands one entry of a shared enumerator list into a {name, value} pair of `Enum`.
#define OXL_PY_ENUMERATOR(name, value) {#name, Enum::name},

/// Loads an enumerator or a plain integer that fits the enumeration's underlying type.
/// Throws TypeError or ValueError with a message naming `what`.
template <class E>
E enum_from(const py::handle& source, const char* what) {
    using U = std::underlying_type_t<E>;
    if (py::isinstance<E>(source)) {
        return source.cast<E>();
    }
    if (PyFloat_Check(source.ptr()) || !PyIndex_Check(source.ptr())) {
        throw py::type_error(std::string(what) + " must be an enumerator or an int, not " +
                             std::string(py::str(py::type::handle_of(source).attr("__name__"))));
    }
    const long long value =
        py::reinterpret_steal<py::int_>(PyNumber_Index(source.ptr())).template cast<long long>();
    if (value < 0 || value > static_cast<long long>(std::numeric_limits<U>::max())) {
        throw py::value_error(std::string(what) + " " + std::to_string(value) +
                              " is out of range 0.." +
                              std::to_string(std::numeric_limits<U>::max()));
    }
    return static_cast<E>(value);
}

/// Caster of `std::unordered_map<E, float>` (items and parameters): to a dict keyed by the
/// enumeration's members; from any mapping whose keys are members or plain integers.
template <class Map, class E>
struct EnumFloatMapCaster {
    PYBIND11_TYPE_CASTER(Map, py::detail::const_name("dict[") + py::detail::make_caster<E>::name +
                                  py::detail::const_name(", float]"));

    bool load(py::handle source, bool /*convert*/) {
        if (!PyDict_Check(source.ptr()) && !py::hasattr(source, "items")) {
            return false;
        }
        value.clear();
        for (auto entry : source.attr("items")()) {
            auto pair = entry.cast<py::tuple>();
            const E key = enum_from<E>(pair[0], "key");
            if (!PyFloat_Check(pair[1].ptr()) && !PyIndex_Check(pair[1].ptr())) {
                throw py::type_error("values must be numbers");
            }
            value[key] = pair[1].cast<float>();
        }
        return true;
    }

    static py::handle cast(const Map& map, py::return_value_policy /*policy*/,
                           py::handle /*parent*/) {
        py::dict dict;
        for (const auto& entry : map) {
            dict[EnumMembers<E>::get(entry.first)] = py::float_(entry.second);
        }
        return dict.release();
    }
};

}  // namespace oxl_py

// ---- type casters (every binding source sees these before any use) ----

namespace pybind11 {
namespace detail {

/// Payloads: from bytes, bytearray, any buffer of bytes, or a sequence of ints 0..255; to bytes.
template <>
struct type_caster<std::vector<uint8_t>> {
    PYBIND11_TYPE_CASTER(std::vector<uint8_t>, const_name("bytes"));
    bool load(handle source, bool convert);
    static handle cast(const std::vector<uint8_t>& bytes, return_value_policy, handle) {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    }
};

#define OXL_PY_ENUM_MAP_CASTER(E)                    \
    template <>                                      \
    struct type_caster<std::unordered_map<E, float>> \
        : oxl_py::EnumFloatMapCaster<std::unordered_map<E, float>, E> {};

OXL_PY_ENUM_MAP_CASTER(oxl_api::OrvexActuator::OXL_Items)
OXL_PY_ENUM_MAP_CASTER(oxl_api::OrvexActuator::OXL_Parameters)
OXL_PY_ENUM_MAP_CASTER(oxl_api::OrvexActuatorVirtual::OXL_Items)
OXL_PY_ENUM_MAP_CASTER(oxl_api::OrvexActuatorVirtual::OXL_Parameters)

#undef OXL_PY_ENUM_MAP_CASTER

/// Decoded errors: to a dict keyed by bit number in ascending order (the order in which the
/// library prints and delivers them); from any mapping of int to str.
template <>
struct type_caster<std::unordered_map<int, std::string>> {
    using Map = std::unordered_map<int, std::string>;
    PYBIND11_TYPE_CASTER(Map, const_name("dict[int, str]"));
    bool load(handle source, bool convert) {
        map_caster<Map, int, std::string> inner;
        if (!inner.load(source, convert)) {
            return false;
        }
        value = std::move(static_cast<Map&>(inner));
        return true;
    }
    static handle cast(const Map& errors, return_value_policy, handle);
};

}  // namespace detail
}  // namespace pybind11

namespace oxl_py {

/// A bus clock from a Python callable returning nanoseconds (None: the library's own clock).
oxl_api::SimulatedBus::Clock clock_from(const py::object& clock);

// Binders, one per area; module.cpp calls them in this order.
void bind_serial_port(py::module_& m);
void bind_transports(py::module_& m);
void bind_simulated_bus(py::module_& m);
void bind_actuator(py::module_& m);
void bind_virtual(py::module_& m);

}  // namespace oxl_py
