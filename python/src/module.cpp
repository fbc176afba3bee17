// The extension module oxl_api._oxl_api; the package oxl_api re-exports it.

#include "common.hpp"

PYBIND11_MODULE(_oxl_api, m) {
    m.doc() = "Python bindings of the oxl_api actuator library.";
    oxl_py::bind_serial_port(m);
    oxl_py::bind_transports(m);
    oxl_py::bind_simulated_bus(m);
    oxl_py::bind_actuator(m);
    oxl_py::bind_virtual(m);
    oxl_py::bind_timing(m);
    oxl_py::bind_streaming(m);
    oxl_py::install_exit_hook(m);
}
