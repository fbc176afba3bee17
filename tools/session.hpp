#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <oxl_api/orvex_actuator.hpp>
#include <oxl_api/oxl.hpp>
#include <oxl_api/simulated_bus.hpp>
#include <oxl_api/trace.hpp>

namespace oxl_api {
class OXL_over_Sim;
}

namespace oxl_tool {

/// Where the tool finds the bus.
struct BusOptions {
    /// Serial port of the adapter; empty: find the adapter by its USB ids.
    std::string port;
    /// Use the simulated bus instead of the adapter.
    bool simulated = false;
    /// Addresses of the simulated actuators.
    std::vector<int> sim_actuators{0x20, 0x21};

    /// Error bits a simulated actuator raises (reports, and keeps in its item ERRORS).
    struct SimError {
        int address = 0;
        uint32_t bits = 0;
        /// Seconds after the bus opens; 0: at once.
        double after_s = 0.0;
    };
    /// Errors raised on the simulated bus, to try `oxl errors` and the error handling.
    std::vector<SimError> sim_errors;
    /// `--trace FILE`: every message of the transport goes to this candump log; empty: none.
    std::string trace_file;
};

/// The entries of `--sim-errors`: comma-separated ID=BITS or ID=BITS@SECONDS (BITS in hex or
/// decimal). Throws `UsageError` for a malformed entry.
std::vector<BusOptions::SimError> parse_sim_errors(const std::string& list);

/// The bus connection of one run of the tool, opened on first use and kept for every command
/// of the run (so that the commands of `oxl batch` share one simulated bus). Actuator objects
/// made from it must be destroyed before it.
class Session {
  public:
    explicit Session(BusOptions options);
    /// Stops the timer of delayed simulated errors, then disconnects the transport (joining its
    /// receive thread).
    ~Session();

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    /// The transport, opened on first call: the simulated bus with its actuators, the named
    /// port, or the one adapter found by USB id. Throws `DeviceError` when no adapter is found,
    /// several are, or the port cannot be opened (with a hint to `--port` and `--sim`).
    oxl_api::OXL& transport();
    /// The simulated bus after `transport()` opened it; null on hardware.
    oxl_api::SimulatedBus* sim_bus();
    /// The options the session was made with.
    const BusOptions& bus_options() const { return options; }
    /// True for the simulated bus.
    bool simulated() const { return options.simulated; }
    /// "the simulated bus" or "the adapter on /dev/ttyACM0", for messages.
    std::string describe() const;

    /// Pings the actuator at `id` (up to 0.5 s) and returns its client, connected. Throws
    /// `DeviceError` when it does not answer, saying whether the adapter itself answers.
    std::unique_ptr<oxl_api::OrvexActuator> connect_actuator(int id);
    /// Throws the `DeviceError` of an actuator at `id` that does not answer, saying whether the
    /// adapter itself answers (pinged for up to 0.3 s).
    [[noreturn]] void throw_no_answer(int id);

    /// What a device says of itself in its answer to a ping.
    struct Identity {
        std::string model;     ///< model name, empty for an unknown model code
        std::string firmware;  ///< "major.minor.patch"
    };
    /// The identity of whatever answers a ping at `id` within `timeout_s`, or nothing
    /// (`oxl_api::probe_identity`: sends nothing else, so it never stops a device, and prints
    /// nothing). Nothing, sending nothing, for an id that a live client object listens on.
    std::optional<Identity> identify(int id, float timeout_s);
    /// True when something answers a ping at `id` within `timeout_s`; see `identify`.
    bool answers(int id, float timeout_s) { return identify(id, timeout_s).has_value(); }

  private:
    BusOptions options;
    /// The port actually opened (hardware only).
    std::string port_in_use;
    /// The `--trace` file's sink; declared before `owned` so that it is closed (and reports
    /// lost lines) after the transport has stopped.
    std::shared_ptr<oxl_api::TraceSink> trace;
    /// Owned transport; null until `transport()`.
    std::unique_ptr<oxl_api::OXL> owned;
    /// The simulated transport inside `owned`, when simulated.
    oxl_api::OXL_over_Sim* sim = nullptr;

    /// Raises the delayed `sim_errors` when they fall due; joined by the destructor before the
    /// transport goes. `timer_stop` and its signal are guarded by `timer_mutex`.
    std::thread timer;
    std::mutex timer_mutex;
    std::condition_variable timer_wake;
    bool timer_stop = false;
    void raise_delayed_errors(std::vector<BusOptions::SimError> errors);
};

}  // namespace oxl_tool
