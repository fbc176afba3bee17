#pragma once

#include <memory>
#include <string>
#include <vector>

#include <oxl_api/orvex_actuator.hpp>
#include <oxl_api/oxl.hpp>
#include <oxl_api/simulated_bus.hpp>

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
};

/// The bus connection of one run of the tool, opened on first use and kept for every command
/// of the run (so that the commands of `oxl batch` share one simulated bus). Actuator objects
/// made from it must be destroyed before it.
class Session {
  public:
    explicit Session(BusOptions options);
    /// Disconnects the transport (joining its receive thread).
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
    /// True when something answers a ping at `id` within `timeout_s` (`oxl_api::probe_identity`:
    /// sends nothing else, prints nothing). False, sending nothing, for an id that a live client
    /// object listens on.
    bool answers(int id, float timeout_s);

  private:
    BusOptions options;
    /// The port actually opened (hardware only).
    std::string port_in_use;
    /// Owned transport; null until `transport()`.
    std::unique_ptr<oxl_api::OXL> owned;
    /// The simulated transport inside `owned`, when simulated.
    oxl_api::OXL_over_Sim* sim = nullptr;
};

}  // namespace oxl_tool
