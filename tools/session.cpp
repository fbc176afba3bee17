#include "session.hpp"

#include <oxl_api/oxl_over_sim.hpp>
#include <oxl_api/oxl_over_usb.hpp>

#include <cstdint>
#include <filesystem>
#include <iterator>

#include "errors.hpp"
#include "names.hpp"

namespace oxl_tool {
namespace {

// Model codes given to the simulated actuators in turn, so that a scan of the simulated bus
// shows different models; code 5 is the adapter's and is left out.
constexpr uint16_t kSimModelCodes[] = {1, 2, 3, 4, 6};

}  // namespace

Session::Session(BusOptions options_in) : options(std::move(options_in)) {}

Session::~Session() = default;

oxl_api::OXL& Session::transport() {
    if (owned) {
        return *owned;
    }
    if (options.simulated) {
        auto transport = std::make_unique<oxl_api::OXL_over_Sim>(true);
        for (std::size_t i = 0; i < options.sim_actuators.size(); ++i) {
            transport->bus().add_actuator(options.sim_actuators[i],
                                          kSimModelCodes[i % std::size(kSimModelCodes)]);
        }
        sim = transport.get();
        owned = std::move(transport);
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
    std::error_code ignored;
    if (!std::filesystem::exists(port, ignored)) {
        // Said here in one line; the transport would print two of its own first.
        throw DeviceError("there is no serial port " + port +
                          " (`oxl ports` lists the serial ports)");
    }
    auto transport = std::make_unique<oxl_api::OXL_over_USB>(port, true);
    if (!transport->is_connected()) {
        throw DeviceError("cannot open the adapter port " + port +
                          " (`oxl ports` lists the serial ports)");
    }
    port_in_use = port;
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

bool Session::answers(int id, float timeout_s) {
    // A probe rather than a client object: a client sends a stop command when it is destroyed,
    // and a probe must not stop a device it merely looked for.
    return oxl_api::probe_identity(transport(), id, timeout_s).has_value();
}

std::unique_ptr<oxl_api::OrvexActuator> Session::connect_actuator(int id) {
    auto actuator = std::make_unique<oxl_api::OrvexActuator>(transport(), id);
    if (actuator->connect(0.5f)) {
        return actuator;
    }
    actuator.reset();
    // Tell a missing actuator from a silent adapter: the way out differs.
    if (answers(0, 0.3f)) {
        throw DeviceError("actuator " + hex_id(id) + " does not answer on " + describe() +
                          " (the adapter does; `oxl scan` lists the actuators)");
    }
    throw DeviceError("no answer from actuator " + hex_id(id) + " nor from the adapter on " +
                      describe() + " (is the adapter powered and connected to the bus?)");
}

}  // namespace oxl_tool
