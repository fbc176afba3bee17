#pragma once

// Shared machinery of the Python module: where Python code may run and what it may call from
// there, call guards that release the GIL, holders of Python objects that are safe to copy and
// destroy on any thread, the library objects' deleters, and the conversions of payloads and
// item/parameter maps. Every binding source includes this header first, so that the type casters
// below are seen before any use.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
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
#include "oxl_api/serial_port.hpp"
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

/// True, once the interpreter's exit hook has run, on a thread that runs no library context and
/// did not run the hook: a daemon thread coming back from a blocking call, which the interpreter
/// is about to end. A receive thread inside a Python callback still takes the GIL back: the hook
/// waits for it to finish.
bool must_park();

/// Blocks the calling thread until the process ends.
[[noreturn]] void park_forever();

/// Releases the GIL for its scope, like GilRelease, except for the way back: a thread
/// that must_park() is parked for good instead of taking the GIL again. The interpreter would end
/// such a thread by unwinding it from inside the GIL request, which aborts the process when that
/// request sits in a destructor that may not throw; hence also noexcept(false), for a thread that
/// asked for the GIL just before the exit hook ran.
class GilRelease {
  public:
    GilRelease() : state(PyEval_SaveThread()) {}
    ~GilRelease() noexcept(false) {
        if (must_park()) {
            park_forever();
        }
        PyEval_RestoreThread(state);
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

  private:
    PyThreadState* state;
};

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
    GilRelease release;
};

/// Call guard for bindings that change callback registrations or join a receive thread.
struct Registers {
    struct Check {
        Check() { check_may_register(); }
    } check;
    GilRelease release;
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
            GilRelease release;
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

/// Forgets the sample fan-out (samples.hpp) of an actuator about to be destroyed, whose address
/// may then be reused by a new object.
void forget_fanout(const oxl_api::OrvexActuator* actuator);

/// Deleter of an actuator: drops its fan-out entry, then deletes it as LibraryDeleter does.
template <class T>
struct ActuatorDeleter {
    void operator()(T* object) const {
        forget_fanout(object);
        LibraryDeleter<T>{}(object);
    }
};

/// Takes ownership of a freshly built actuator (GIL released).
template <class T>
std::shared_ptr<T> own_actuator(T* raw) {
    std::shared_ptr<T> owned(raw, ActuatorDeleter<T>{});
    track_actuator(owned);
    return owned;
}

/// Registers the exit hook that stops every actuator and transport before the interpreter
/// finalizes, and the helper thread's shutdown.
void install_exit_hook(py::module_& m);

// ---- enumerations ----

/// The C++ enumerations appear in Python as `enum.IntEnum` classes nested in their class
/// (`OrvexActuator.Mode.TORQUE`): their members are ints, so they compare and hash as their
/// codes (`items[0x4C]` finds `OXL_Items.POSITION_4C`), and every argument of an enumeration
/// type also takes a plain int of the underlying type's range, as the C++ API does.
template <class E>
struct IntEnum {
    using Underlying = std::underlying_type_t<E>;

    /// Canonical members by value (strong references kept for the life of the process);
    /// filled by `bind_enum`.
    static std::vector<PyObject*>& members() {
        static std::vector<PyObject*> table;
        return table;
    }

    /// The member for `value`, or a plain int for a value without one (the C++ API lets any
    /// value of the underlying type through). GIL held.
    static py::object to_python(E value) {
        const auto code = static_cast<std::size_t>(value);
        const auto& table = members();
        if (code < table.size() && table[code] != nullptr) {
            return py::reinterpret_borrow<py::object>(table[code]);
        }
        return py::int_(static_cast<long long>(code));
    }

    /// A member (of this or any int enumeration) or a plain int. False for other types;
    /// ValueError for an int outside the underlying type's range. GIL held.
    static bool from_python(py::handle source, const char* what, E& out) {
        if (PyFloat_Check(source.ptr()) || !PyIndex_Check(source.ptr())) {
            return false;
        }
        auto index = py::reinterpret_steal<py::object>(PyNumber_Index(source.ptr()));
        if (!index) {
            throw py::error_already_set();
        }
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (overflow != 0 || value < 0 ||
            value > static_cast<long long>(std::numeric_limits<Underlying>::max())) {
            throw py::value_error(std::string(what) + " " + std::string(py::str(index)) +
                                  " is out of range 0.." +
                                  std::to_string(std::numeric_limits<Underlying>::max()));
        }
        out = static_cast<E>(value);
        return true;
    }
};

/// Creates the IntEnum `name` with `values` as an attribute of `scope` (a bound class or the
/// module).
template <class E>
void bind_enum(py::handle scope, const char* name, const char* doc,
               std::initializer_list<std::pair<const char*, E>> values) {
    py::list pairs;
    std::size_t largest = 0;
    for (const auto& value : values) {
        pairs.append(py::make_tuple(value.first, static_cast<long long>(value.second)));
        largest = std::max(largest, static_cast<std::size_t>(value.second));
    }
    const std::string qualname = py::hasattr(scope, "__qualname__")
                                     ? std::string(py::str(scope.attr("__qualname__"))) + "." + name
                                     : std::string(name);
    py::object cls = py::module_::import("enum").attr("IntEnum")(
        name, pairs, py::arg("module") = "oxl_api", py::arg("qualname") = qualname);
    cls.attr("__doc__") = doc;
    scope.attr(name) = cls;
    auto& table = IntEnum<E>::members();
    table.assign(largest + 1, nullptr);
    for (const auto& value : values) {
        table[static_cast<std::size_t>(value.second)] = cls.attr(value.first).ptr();
        Py_INCREF(table[static_cast<std::size_t>(value.second)]);
    }
}

/// Expands one entry of a shared enumerator list into a {name, value} pair of `Enum`.
#define OXL_PY_ENUMERATOR(name, value) {#name, Enum::name},

/// Binds the six enumerations that `Owner` (OrvexActuator or OrvexActuatorVirtual) nests, as
/// attributes of its bound class `cls`; `rates_doc` is the docstring of `Rates`.
template <class Owner>
void bind_nested_enums(py::handle cls, const char* rates_doc) {
    {
        using Enum = typename Owner::Mode;
        bind_enum<Enum>(cls, "Mode", "Control modes.", {OXL_API_MODES(OXL_PY_ENUMERATOR)});
    }
    {
        using Enum = typename Owner::Rates;
        bind_enum<Enum>(cls, "Rates", rates_doc, {OXL_API_RATES(OXL_PY_ENUMERATOR)});
    }
    {
        using Enum = typename Owner::TorquePerformance;
        bind_enum<Enum>(cls, "TorquePerformance", "Torque performance presets.",
                        {OXL_API_PERFORMANCE_LEVELS(OXL_PY_ENUMERATOR)});
    }
    {
        using Enum = typename Owner::SpeedPerformance;
        bind_enum<Enum>(cls, "SpeedPerformance", "Speed performance presets.",
                        {OXL_API_PERFORMANCE_LEVELS(OXL_PY_ENUMERATOR)});
    }
    {
        using Enum = typename Owner::OXL_Items;
        bind_enum<Enum>(cls, "OXL_Items", "Feedback item codes.",
                        {OXL_API_FEEDBACK_ITEMS(OXL_PY_ENUMERATOR)});
    }
    {
        using Enum = typename Owner::OXL_Parameters;
        bind_enum<Enum>(cls, "OXL_Parameters", "Configuration parameter codes.",
                        {OXL_API_PARAMETERS(OXL_PY_ENUMERATOR)});
    }
}

/// Type caster of an enumeration bound with `bind_enum`.
template <class E>
struct IntEnumCaster {
    PYBIND11_TYPE_CASTER(E, py::detail::const_name("int"));
    bool load(py::handle source, bool /*convert*/) {
        return IntEnum<E>::from_python(source, "value", value);
    }
    static py::handle cast(E source, py::return_value_policy, py::handle) {
        return IntEnum<E>::to_python(source).release();
    }
};

/// Caster of `std::unordered_map<E, float>` (items and parameters): to a dict keyed by the
/// enumeration's members; from any mapping whose keys are members or plain ints.
template <class Map, class E>
struct EnumFloatMapCaster {
    PYBIND11_TYPE_CASTER(Map, py::detail::const_name("dict[int, float]"));

    bool load(py::handle source, bool /*convert*/) {
        if (!PyDict_Check(source.ptr()) && !py::hasattr(source, "items")) {
            return false;
        }
        value.clear();
        for (auto entry : source.attr("items")()) {
            auto pair = entry.cast<py::tuple>();
            E key{};
            if (!IntEnum<E>::from_python(pair[0], "key", key)) {
                throw py::type_error(
                    "keys must be enumerators or ints, not " +
                    std::string(py::str(py::type::handle_of(pair[0]).attr("__name__"))));
            }
            if (PyFloat_Check(pair[1].ptr()) == 0 && PyIndex_Check(pair[1].ptr()) == 0) {
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
            dict[IntEnum<E>::to_python(entry.first)] = py::float_(entry.second);
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

#define OXL_PY_ENUM_CASTER(E) \
    template <>               \
    struct type_caster<E> : oxl_py::IntEnumCaster<E> {};

OXL_PY_ENUM_CASTER(oxl_api::SerialPort::ReadStatus)
OXL_PY_ENUM_CASTER(oxl_api::OrvexActuator::Mode)
OXL_PY_ENUM_CASTER(oxl_api::OrvexActuator::Rates)
OXL_PY_ENUM_CASTER(oxl_api::OrvexActuator::TorquePerformance)
OXL_PY_ENUM_CASTER(oxl_api::OrvexActuator::SpeedPerformance)
OXL_PY_ENUM_CASTER(oxl_api::OrvexActuator::OXL_Items)
OXL_PY_ENUM_CASTER(oxl_api::OrvexActuator::OXL_Parameters)
OXL_PY_ENUM_CASTER(oxl_api::OrvexActuatorVirtual::Mode)
OXL_PY_ENUM_CASTER(oxl_api::OrvexActuatorVirtual::Rates)
OXL_PY_ENUM_CASTER(oxl_api::OrvexActuatorVirtual::TorquePerformance)
OXL_PY_ENUM_CASTER(oxl_api::OrvexActuatorVirtual::SpeedPerformance)
OXL_PY_ENUM_CASTER(oxl_api::OrvexActuatorVirtual::OXL_Items)
OXL_PY_ENUM_CASTER(oxl_api::OrvexActuatorVirtual::OXL_Parameters)

#undef OXL_PY_ENUM_CASTER

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
void bind_timing(py::module_& m);
void bind_streaming(py::module_& m);

}  // namespace oxl_py
