// Uses the public headers of the hardware and virtual-actuator API (and through them the
// details/ headers), so a header of theirs that is missing from the install or does not compile
// on its own fails this build.
#include <oxl_api/log.hpp>
#include <oxl_api/orvex_actuator.hpp>
#include <oxl_api/orvex_actuator_virtual.hpp>
#include <oxl_api/oxl.hpp>
#include <oxl_api/oxl_over_usb.hpp>
#include <oxl_api/serial_port.hpp>

#include <iostream>

#if defined(OXL_CONSUMER_CPLUSPLUS) && __cplusplus != OXL_CONSUMER_CPLUSPLUS
#error "the package's compile flags changed the consumer's language standard"
#endif

int main() {
    oxl_api::set_log_handler([](oxl_api::LogSeverity severity, const std::string& text) {
        std::cerr << oxl_api::log_severity_name(severity) << ": " << text << "\n";
    });
    oxl_api::OXL_over_USB transport("", false);
    oxl_api::OrvexActuatorVirtual sim(0x20);
    sim.start();
    sim.change_position_setpoint(1.0f);
    sim.step(std::nullopt, 1000);
    std::cout << (transport.is_connected() ? "connected" : "disconnected") << " " << sim.position
              << "\n";
    return sim.position > 0.5f ? 0 : 1;
}
