#include "session.hpp"

#include <oxl_api/oxl_over_sim.hpp>
#include <oxl_api/oxl_over_usb.hpp>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

#include "errors.hpp"
#include "names.hpp"
#include "output.hpp"

namespace oxl_tool {
namespace {

// Model codes given to the simulated actuators in turn, so that a scan of the simulated bus
// shows different models; code 5 is the adapter's and is left out.
constexpr uint16_t kSimModelCodes[] = {1, 2, 3, 4, 6};

// Why `port` could not be opened, or nothing when the reason is not one of these: the library's
// lines say that the port failed, not why.
std::string port_problem(const std::string& port) {
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT) {
            return "there is no serial port " + port;
        }
        return "cannot open " + port + ": " + std::strerror(error) +
               (error == EACCES ? " (is the user in the dialout group?)" : "");
    }
    termios settings{};
    const bool tty = tcgetattr(fd, &settings) == 0;
    close(fd);
    return tty ? "" : port + " is not a serial port";
}

}  // namespace

std::vector<BusOptions::SimError> parse_sim_errors(const std::string& list) {
    std::vector<BusOptions::SimError> errors;
    std::stringstream stream(list);
    std::string entry;
    while (std::getline(stream, entry, ',')) {
        const auto equals = entry.find('=');
        if (equals == std::string::npos) {
            throw UsageError("--sim-errors entry '" + entry +
                             "' is not ID=BITS or ID=BITS@SECONDS");
        }
        const auto at = entry.find('@', equals);
        BusOptions::SimError error;
        error.address = parse_actuator_id(entry.substr(0, equals), "--sim-errors address");
        const std::string bits = entry.substr(equals + 1, at - equals - 1);
        error.bits =
            static_cast<uint32_t>(parse_number(bits, 1, 0xFFFFFFFFll, "--sim-errors bits"));
        if (at != std::string::npos) {
            error.after_s = parse_float(entry.substr(at + 1), "--sim-errors delay");
            if (error.after_s < 0.0 || error.after_s > 3600.0) {
                throw UsageError("--sim-errors delay must lie in 0..3600 seconds");
            }
        }
        errors.push_back(error);
    }
    if (errors.empty()) {
        throw UsageError("--sim-errors list is empty");
    }
    return errors;
}

Session::Session(BusOptions options_in) : options(std::move(options_in)) {}

Session::~Session() {
    if (timer.joinable()) {
        {
            std::lock_guard<std::mutex> lock(timer_mutex);
            timer_stop = true;
        }
        timer_wake.notify_all();
        timer.join();
    }
}

void Session::raise_delayed_errors(std::vector<BusOptions::SimError> errors) {
    std::sort(errors.begin(), errors.end(),
              [](const auto& a, const auto& b) { return a.after_s < b.after_s; });
    const auto start = std::chrono::steady_clock::now();
    for (const auto& error : errors) {
        const auto due = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(error.after_s));
        std::unique_lock<std::mutex> lock(timer_mutex);
        if (timer_wake.wait_until(lock, due, [this] { return timer_stop; })) {
            return;
        }
        lock.unlock();
        sim->bus().raise_errors(error.address, error.bits);
    }
}

oxl_api::OXL& Session::transport() {
    if (owned) {
        return *owned;
    }
    if (!options.trace_file.empty() && !trace) {
        trace = oxl_api::CandumpFileSink::open(options.trace_file);
        if (!trace) {
            throw UsageError("--trace: cannot write " + options.trace_file);
        }
    }
    if (options.simulated) {
        auto transport = std::make_unique<oxl_api::OXL_over_Sim>(true);
        for (std::size_t i = 0; i < options.sim_actuators.size(); ++i) {
            transport->bus().add_actuator(options.sim_actuators[i],
                                          kSimModelCodes[i % std::size(kSimModelCodes)]);
        }
        sim = transport.get();
        if (trace) {  // else OXL_API_TRACE's sink, if any, stays
            transport->set_trace_sink(trace);
        }
        owned = std::move(transport);
        std::vector<BusOptions::SimError> delayed;
        for (const auto& error : options.sim_errors) {
            if (error.after_s > 0.0) {
                delayed.push_back(error);
            } else {
                sim->bus().raise_errors(error.address, error.bits);
            }
        }
        if (!delayed.empty()) {
            timer = std::thread([this, delayed] { raise_delayed_errors(delayed); });
        }
        return *owned;
    }
    std::string port = options.port;
    if (port.empty()) {
        // Looked up here rather than by the transport so that the user gets one message with
        // the way out, instead of the transport's bare "No serial ports found".
        const auto ports = oxl_api::OXL_over_USB::get_ports();
        if (ports.empty()) {
            throw DeviceError(
                "no USB-to-CAN adapter found (no serial port with USB id 0483:a540..a54a); "
                "plug one in, name its port with --port PATH, or use the simulated bus with "
                "--sim");
        }
        if (ports.size() > 1) {
            std::string names;
            for (const auto& name : ports) {
                names += (names.empty() ? "" : ", ") + name;
            }
            throw DeviceError("several USB-to-CAN adapters found (" + names +
                              "); choose one with --port PATH");
        }
        port = ports.front();
    }
    // The library's lines on a port it cannot open make the reason of our one line.
    LibraryLines refusal([](oxl_api::LogSeverity severity,
                            const std::string&) { return severity == oxl_api::LogSeverity::ERROR; },
                         true);
    auto transport = std::make_unique<oxl_api::OXL_over_USB>(port, true);
    if (!transport->is_connected()) {
        std::string problem = port_problem(port);
        if (problem.empty()) {
            const auto lines = refusal.take();
            problem = "cannot open the adapter port " + port +
                      (lines.empty() ? std::string() : " (" + lines.front() + ")");
        }
        throw DeviceError(problem + " (`oxl ports` lists the serial ports)");
    }
    port_in_use = port;
    if (trace) {
        transport->set_trace_sink(trace);
    }
    owned = std::move(transport);
    return *owned;
}

oxl_api::SimulatedBus* Session::sim_bus() {
    return sim != nullptr ? &sim->bus() : nullptr;
}

std::string Session::describe() const {
    if (options.simulated) {
        return "the simulated bus";
    }
    const std::string& port = port_in_use.empty() ? options.port : port_in_use;
    return port.empty() ? "the adapter" : "the adapter on " + port;
}

std::optional<Session::Identity> Session::identify(int id, float timeout_s) {
    // A probe rather than a client object: a client sends a stop command when it is destroyed,
    // and a probe must not stop a device it merely looked for.
    const auto identity = oxl_api::probe_identity(transport(), id, timeout_s);
    if (!identity) {
        return std::nullopt;
    }
    return Identity{identity->model, identity->firmware};
}

std::unique_ptr<oxl_api::OrvexActuator> Session::connect_actuator(int id) {
    auto actuator = std::make_unique<oxl_api::OrvexActuator>(transport(), id);
    if (actuator->connect(0.5f)) {
        return actuator;
    }
    actuator.reset();
    throw_no_answer(id);
}

void Session::throw_no_answer(int id) {
    // Tell a missing actuator from a silent adapter: the way out differs.
    if (answers(0, 0.3f)) {
        throw DeviceError("actuator " + hex_id(id) + " does not answer on " + describe() +
                          " (the adapter does; `oxl scan` lists the actuators)");
    }
    throw DeviceError("no answer from actuator " + hex_id(id) + " nor from " + describe() +
                      " (is the adapter powered and connected to the bus?)");
}

}  // namespace oxl_tool
