// Applications written against the public client API (OrvexActuator, OrvexActuatorScanner) run
// unchanged over the in-process simulated transport.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "oxl_api/orvex_actuator.hpp"
#include "oxl_api/oxl_over_sim.hpp"
#include "sim_support.hpp"

namespace {

using oxl_api::OrvexActuator;
using oxl_api::OrvexActuatorScanner;
using oxl_api::OXL_over_Sim;
using Items = OrvexActuator::OXL_Items;
using Parameters = OrvexActuator::OXL_Parameters;
using simbus_test::eventually;

float sim_position(OXL_over_Sim& sim, int address) {
    return sim.bus().inspect(address, [](auto& a) { return a.position; }).value_or(NAN);
}

bool sim_enabled(OXL_over_Sim& sim, int address) {
    return sim.bus().inspect(address, [](auto& a) { return a.enabled; }).value_or(false);
}

TEST(SimTransport, ScanFindsExactlyTheSimulatedActuators) {
    OXL_over_Sim sim;
    ASSERT_TRUE(sim.bus().add_actuator(0x11, 1, 0x0842));
    ASSERT_TRUE(sim.bus().add_actuator(0x14, 4, 0x1003));
    ASSERT_TRUE(sim.bus().add_actuator(0x40, 2, 0x0000));  // outside the scanned range

    OrvexActuatorScanner scanner(sim);
    ASSERT_TRUE(scanner.connected);
    EXPECT_EQ(scanner.model, "CAN_ADAPTER");

    testing::internal::CaptureStdout();
    const std::vector<int> found = scanner.scan(0x10, 0x16);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(found, (std::vector<int>{0x11, 0x14}));
    EXPECT_EQ(out,
              "Device found: address 0x11 (17)\tmodel ARVEN\tfirmware 1.1.2\n"
              "Device found: address 0x14 (20)\tmodel DORVA\tfirmware 2.0.3\n");
}

TEST(SimTransport, PositionMoveConvergesAndFeedbackStreamsAtTheRequestedRate) {
    // What the feedback callback touches is declared before the actuator: frames already queued
    // when streaming stops still reach the callback until the actuator is destroyed.
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> arrivals;  // guarded by mutex
    std::set<std::set<Items>> key_sets;                           // guarded by mutex
    std::atomic<bool> on_other_thread{true};
    const auto test_thread = std::this_thread::get_id();
    OXL_over_Sim sim;
    ASSERT_TRUE(sim.bus().add_actuator(0x20, 2, 0x0842));
    OrvexActuator actuator(sim, 0x20);
    ASSERT_TRUE(actuator.connect(1.0f));
    EXPECT_EQ(actuator.model, "BRISO");
    EXPECT_EQ(actuator.firmware, "1.1.2");

    actuator.start();
    actuator.change_position_setpoint(1.5f);
    EXPECT_TRUE(eventually([&] { return std::fabs(sim_position(sim, 0x20) - 1.5f) < 1e-3f; }));

    actuator.set_feedback_callback([&](int address, OrvexActuator::FeedbackMap items) {
        std::set<Items> keys;
        for (const auto& entry : items) {
            keys.insert(entry.first);
        }
        std::lock_guard<std::mutex> lock(mutex);
        arrivals.push_back(std::chrono::steady_clock::now());
        key_sets.insert(keys);
        if (address != 0x20 || std::this_thread::get_id() == test_thread) {
            on_other_thread = false;
        }
    });
    actuator.setFeedbackItems({Items::POSITION_4C, Items::VBUS, Items::ERRORS});
    actuator.setFeedbackRate(OrvexActuator::Rates::RATE_200HZ);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return arrivals.size() >= 101;
    }));
    actuator.setFeedbackRate(0);

    std::lock_guard<std::mutex> lock(mutex);
    const double seconds = std::chrono::duration<double>(arrivals[100] - arrivals[0]).count();
    const double rate = 100.0 / seconds;
    EXPECT_GT(rate, 140.0);
    EXPECT_LT(rate, 260.0);
    EXPECT_EQ(key_sets,
              (std::set<std::set<Items>>{{Items::POSITION_4C, Items::VBUS, Items::ERRORS}}));
    EXPECT_TRUE(on_other_thread);
    const auto latest = actuator.get_feedback();
    EXPECT_NEAR(latest.at(Items::POSITION_4C), 1.5f, 1e-3f);
    EXPECT_EQ(latest.at(Items::VBUS), 48.0f);
    EXPECT_EQ(latest.at(Items::ERRORS), 0.0f);
}

TEST(SimTransport, ItemsAndParametersAreReadBackAndFactoryRestoreResetsThem) {
    OXL_over_Sim sim;
    ASSERT_TRUE(sim.bus().add_actuator(0x20));
    OrvexActuator actuator(sim, 0x20);

    const auto items =
        actuator.getItemsBlocking({Items::TEMP_WINDING, Items::VBUS, Items::SETPOINT_4B});
    EXPECT_EQ(items,
              (OrvexActuator::FeedbackMap{
                  {Items::TEMP_WINDING, 25.0f}, {Items::VBUS, 48.0f}, {Items::SETPOINT_4B, 0.0f}}));

    actuator.set_parameters({{Parameters::LIMIT_TORQUE, 2.5f},
                             {Parameters::K_STIFF, 4.0f},
                             {Parameters::PARAM_80, 1234.0f},
                             {Parameters::MODE, 5.0f}});
    const std::vector<Parameters> codes{Parameters::LIMIT_TORQUE, Parameters::K_STIFF,
                                        Parameters::PARAM_80, Parameters::MODE};
    auto values = actuator.get_parameters(codes);
    EXPECT_EQ(values[Parameters::LIMIT_TORQUE], 2.5f);
    EXPECT_EQ(values[Parameters::K_STIFF], 4.0f);
    EXPECT_EQ(values[Parameters::PARAM_80], 1234.0f);
    EXPECT_EQ(values[Parameters::MODE], 5.0f);

    actuator.restore_factory_parameters(0.0f);
    values = actuator.get_parameters(codes);
    EXPECT_EQ(values[Parameters::LIMIT_TORQUE], 0.0f);
    EXPECT_TRUE(std::isnan(values[Parameters::K_STIFF]));
    EXPECT_EQ(values[Parameters::PARAM_80], 20000.0f);
    EXPECT_EQ(values[Parameters::MODE], 7.0f);
    EXPECT_EQ(actuator.get_parameters_all().size(), 31u);  // every code answers
}

TEST(SimTransport, ChangedAddressAnswersAtTheNewIdOnly) {
    OXL_over_Sim sim;
    ASSERT_TRUE(sim.bus().add_actuator(0x20, 3, 0x0842));
    OrvexActuator actuator(sim, 0x20);
    ASSERT_TRUE(actuator.connect());
    actuator.changeAddress(0x31);
    EXPECT_EQ(sim.bus().addresses(), std::vector<int>{0x31});

    OrvexActuator moved(sim, 0x31);
    EXPECT_TRUE(moved.connect(1.0f));
    EXPECT_EQ(moved.model, "CALDE");
    EXPECT_EQ(moved.get_parameters({Parameters::ADDRESS})[Parameters::ADDRESS], 49.0f);
    OrvexActuator old_id(sim, 0x20);
    EXPECT_FALSE(old_id.connect(0.1f));
}

TEST(SimTransport, SeriousInjectedErrorReachesTheDefaultCallbackWhichStopsTheActuator) {
    OXL_over_Sim sim;
    ASSERT_TRUE(sim.bus().add_actuator(0x20));
    OrvexActuator actuator(sim, 0x20);
    actuator.start();
    ASSERT_TRUE(sim_enabled(sim, 0x20));

    testing::internal::CaptureStderr();
    ASSERT_TRUE(sim.bus().raise_errors(0x20, 1u));  // overtemperature: reported, not stopped
    // A round trip after the report proves the report was delivered before its answer.
    EXPECT_EQ(actuator.getItemsBlocking({Items::ERRORS}).at(Items::ERRORS), 1.0f);
    const bool still_enabled = sim_enabled(sim, 0x20);
    ASSERT_TRUE(sim.bus().raise_errors(0x20, 1u << 16));  // current maximum: stops
    const bool stopped = eventually([&] { return !sim_enabled(sim, 0x20); });
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(still_enabled);
    EXPECT_TRUE(stopped);
    EXPECT_NE(err.find("Actuator 0x20 Error code: 0 - Overtemperature\n"), std::string::npos);
    EXPECT_NE(err.find("Actuator 0x20 Error code: 16 - Current maximum\n"), std::string::npos);
}

TEST(SimTransport, SendChecksDispatchThreadAndConnectionLikeTheUsbTransport) {
    OXL_over_Sim sim(false);
    EXPECT_FALSE(sim.is_connected());
    EXPECT_FALSE(sim.send_OXL(0, {0x40}));

    testing::internal::CaptureStderr();
    EXPECT_FALSE(sim.send_OXL(16383, {0x40}));
    EXPECT_FALSE(sim.send_OXL(3, std::vector<uint8_t>(60, 0x01)));
    EXPECT_FALSE(sim.send_OXL(7, {}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Invalid OXL ID: 16383\nInvalid payload length for address 3\n"
              "Invalid payload length for address 7\n");

    ASSERT_TRUE(sim.connect("ignored"));
    ASSERT_TRUE(sim.is_connected());
    // A throwing callback does not end the delivery loop.
    std::atomic<int> throws{0};
    sim.setCallback(0, [&](int, std::vector<uint8_t>, int) {
        ++throws;
        throw std::runtime_error("boom");
    });
    EXPECT_TRUE(sim.send_OXL(0, {0x40}));
    EXPECT_TRUE(sim.send_OXL(0, {0x40}));
    ASSERT_TRUE(eventually([&] { return throws.load() == 2; }));
    std::atomic<int> answers{0};
    std::atomic<bool> wrong_thread{false};
    const auto test_thread = std::this_thread::get_id();
    sim.setCallback(0, [&](int id, std::vector<uint8_t> payload, int reply) {
        if (id != 0 || payload.size() != 5 || payload[0] != 0x80 || reply != 1 ||
            std::this_thread::get_id() == test_thread) {
            wrong_thread = true;
        }
        ++answers;
    });
    EXPECT_TRUE(sim.send_OXL(0, {0x40}));
    EXPECT_TRUE(eventually([&] { return answers.load() == 1; }));
    EXPECT_FALSE(wrong_thread);

    sim.disconnect();
    EXPECT_FALSE(sim.is_connected());
    EXPECT_FALSE(sim.send_OXL(0, {0x40}));
    ASSERT_TRUE(sim.connect());
    EXPECT_TRUE(sim.send_OXL(0, {0x40}));
    EXPECT_TRUE(eventually([&] { return answers.load() == 2; }));
    sim.removeCallback(0);
}

}  // namespace
