// The same simulated bus served over a pseudo-terminal: the real OXL_over_USB and libserialport
// talk to simulated actuators through the fake adapter.

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "oxl_api/orvex_actuator.hpp"
#include "oxl_api/oxl_over_usb.hpp"
#include "pty_gtest.hpp"
#include "sim_adapter.hpp"
#include "sim_support.hpp"

namespace {

using oxl_api::OrvexActuator;
using oxl_api::OrvexActuatorScanner;
using oxl_api::OXL_over_USB;
using Items = OrvexActuator::OXL_Items;
using Parameters = OrvexActuator::OXL_Parameters;

TEST(SimOverSerial, ScanStreamAndParameterReadThroughThePseudoTerminal) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    oxl_test::SimAdapter adapter;
    ASSERT_TRUE(adapter.bus().add_actuator(0x12, 7, 0x0842));
    ASSERT_TRUE(adapter.bus().add_actuator(0x13, 8, 0x0001));
    OXL_over_USB usb(adapter.port_name());
    ASSERT_TRUE(usb.is_connected());

    {
        OrvexActuatorScanner scanner(usb);
        ASSERT_TRUE(scanner.connected);
        testing::internal::CaptureStdout();
        const std::vector<int> found = scanner.scan(0x11, 0x14);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(found, (std::vector<int>{0x12, 0x13}));
        EXPECT_EQ(out,
                  "Device found: address 0x12 (18)\tmodel FJALO\tfirmware 1.1.2\n"
                  "Device found: address 0x13 (19)\tmodel GLENT\tfirmware 0.0.1\n");
    }

    // Declared before the actuator, whose callback may still run on frames in flight.
    std::mutex mutex;
    std::vector<OrvexActuator::FeedbackMap> frames;  // guarded by mutex
    OrvexActuator actuator(usb, 0x12);
    ASSERT_TRUE(actuator.connect(1.0f));  // ping answered through the serial line
    EXPECT_EQ(actuator.model, "FJALO");
    EXPECT_EQ(actuator.firmware, "1.1.2");
    actuator.set_feedback_callback([&](int, OrvexActuator::FeedbackMap items) {
        std::lock_guard<std::mutex> lock(mutex);
        frames.push_back(std::move(items));
    });
    actuator.setFeedbackItems({Items::TEMP_WINDING, Items::SPEED_45});
    actuator.setFeedbackRate(100);
    ASSERT_TRUE(simbus_test::eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return frames.size() >= 3;
    }));
    actuator.setFeedbackRate(0);
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(frames[0], (OrvexActuator::FeedbackMap{{Items::TEMP_WINDING, 25.0f},
                                                         {Items::SPEED_45, 0.0f}}));
    }

    const auto values = actuator.get_parameters({Parameters::PARAM_84, Parameters::ADDRESS});
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values.at(Parameters::PARAM_84), 20000.0f);
    EXPECT_EQ(values.at(Parameters::ADDRESS), 18.0f);
    EXPECT_EQ(adapter.failed_writes(), 0u);
}

}  // namespace
