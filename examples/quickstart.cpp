// Quick start: find the actuators on the bus, move the first one to a position and watch its
// feedback. Runs on the USB-to-CAN adapter when one is plugged in, or on the simulated bus with
// `--sim` (no hardware needed).
#include <oxl_api/orvex_actuator.hpp>
#include <oxl_api/oxl_over_sim.hpp>
#include <oxl_api/oxl_over_usb.hpp>

#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>
#include <thread>

using oxl_api::OrvexActuator;

int main(int argc, char** argv) {
    const bool sim = argc > 1 && std::strcmp(argv[1], "--sim") == 0;

    // The only line that differs between hardware and simulation.
    std::unique_ptr<oxl_api::OXL> transport;
    if (sim) {
        auto bus = std::make_unique<oxl_api::OXL_over_Sim>();
        bus->bus().add_actuator(0x20);
        transport = std::move(bus);
    } else {
        transport = std::make_unique<oxl_api::OXL_over_USB>();  // finds the adapter by USB id
    }
    if (!transport->is_connected()) {
        std::cerr << "No adapter; try --sim\n";
        return 1;
    }

    std::vector<int> found;
    {
        oxl_api::OrvexActuatorScanner scanner(*transport);
        found = scanner.scan(0x10, 0x30);
    }
    if (found.empty()) {
        std::cerr << "No actuator answered\n";
        return 1;
    }

    OrvexActuator actuator(*transport, found.front());
    if (!actuator.connect(0.5f)) {
        return 1;
    }
    actuator.setFeedbackItems({OrvexActuator::OXL_Items::POSITION_4C,
                               OrvexActuator::OXL_Items::SPEED_45,
                               OrvexActuator::OXL_Items::TORQUE_56});
    actuator.setFeedbackRate(OrvexActuator::Rates::RATE_100HZ);
    actuator.start();
    actuator.change_position_setpoint(1.0f);

    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto fb = actuator.get_feedback();
        std::cout << "position " << fb[OrvexActuator::OXL_Items::POSITION_4C] << "  speed "
                  << fb[OrvexActuator::OXL_Items::SPEED_45] << "  torque "
                  << fb[OrvexActuator::OXL_Items::TORQUE_56] << "\n";
    }
    actuator.setFeedbackRate(OrvexActuator::Rates::RATE_0HZ);
    actuator.stop();
    return 0;
}
