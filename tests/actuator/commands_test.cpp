// Command encoding byte-exact, mode caching, rate periods, parameter chunking, address changes
// and the commands that block.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>

#include "actuator_test_util.hpp"

namespace oxl_test {
namespace {

using Mode = OrvexActuator::Mode;
using Strings = std::vector<std::string>;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(Commands, PayloadsAreByteExactAndGoToTheAddress) {
    using A = OrvexActuator;
    const std::vector<std::pair<std::function<void(A&)>, std::string>> cases = {
        {[](A& a) { a.start(); }, "01"},
        {[](A& a) { a.change_mode(Mode::IMPEDANCE); }, "0308"},
        {[](A& a) { a.blink(); }, "41"},
        {[](A& a) { a.set_home_position(); }, "0a"},
        {[](A& a) { a.save_config(); }, "39"},
        {[](A& a) { a.set_torque_performance(A::TorquePerformance::LEVEL_3); }, "0d03"},
        {[](A& a) { a.set_speed_performance(A::SpeedPerformance::LEVEL_1); }, "0e01"},
        {[](A& a) { a.change_setpoint(1.5f, 0.0f, -0.0f); }, "040000c03f"},
        {[](A& a) { a.change_setpoint(1.5f, kNaN, 0.0f); }, "100000c03f0000c07f00000000"},
        {[](A& a) { a.change_setpoint(-1.0f, 0.0f, 2.0f); }, "10000080bf0000000000000040"},
        {[](A& a) { a.set_can_high_speed(true); }, "0b850000803f"},
        {[](A& a) { a.set_can_high_speed(false); }, "0b8500000000"},
        {[](A& a) {
             a.setFeedbackItems({Item::TEMP_WINDING, Item::SPEED_45, Item::SPEED_45});
         },
         "07724545"},
    };
    for (const auto& c : cases) {
        LoopbackOXL bus;
        {
            OrvexActuator act(bus, 0x20);
            c.first(act);
            EXPECT_EQ(sent_hex(bus), Strings{c.second});
            EXPECT_EQ(sent_ids(bus), std::vector<int>{0x20});
            bus.clear_sent();
        }
        EXPECT_EQ(sent_hex(bus), Strings{"02"}) << "the destructor stops once";
    }
}

TEST(Commands, SetpointsChangeModeOnlyWhenTheCachedModeDiffers) {
    LoopbackOXL bus;
    OrvexActuator act(bus, 0x20);
    act.change_speed_setpoint(1.0f);
    act.change_speed_setpoint(2, 3, 4, 5, 6);
    act.change_position_setpoint(1, 2, 3, 4, 5, 6);
    act.internal_change_position_setpoint(1, 2, 3, 4, 5, 6, 7, 8, 9);
    act.change_torque_setpoint(1, 2, 3, 4, 5);
    act.change_impedance_setpoint(1, 2, 3, 4, 5, 6, 7, 8);
    act.internal_change_speed_setpoint(1, 2, 3, 4);
    // Floats 1 to 9, little-endian.
    const std::string f =
        "0000803f000000400000404000008040"
        "0000a0400000c0400000e040"
        "0000004100001041";
    const std::string nan4 = "0000c07f0000c07f0000c07f0000c07f";
    EXPECT_EQ(sent_hex(bus),
              (Strings{"120000803f" + nan4, "12" + f.substr(8, 40), "0307", "13" + f.substr(0, 48),
                       "16" + f.substr(0, 72), "0305", "11" + f.substr(0, 40), "0308",
                       "14" + f.substr(0, 64), "0306", "15" + f.substr(0, 32)}));
    EXPECT_EQ(act.mode, Mode::SPEED);
}

TEST(Commands, FeedbackRateAndItemLimits) {
    LoopbackOXL bus;
    OrvexActuator act(bus, 0x20);
    const std::vector<std::pair<int, std::string>> periods = {
        {1000, "060a000000"},  {3, "06050d0000"}, {6667, "0601000000"}, {6666, "0602000000"},
        {10000, "0601000000"}, {0, "0600000000"}, {1, "0610270000"}};
    for (const auto& c : periods) {
        bus.clear_sent();
        act.setFeedbackRate(c.first);
        EXPECT_EQ(sent_hex(bus), Strings{c.second}) << c.first << " Hz";
    }
    bus.clear_sent();
    act.setFeedbackRate(OrvexActuator::Rates::RATE_100HZ);
    EXPECT_EQ(sent_hex(bus), Strings{"0664000000"});

    // 58 items make the largest payload the transport accepts; 59 are refused by it, and the
    // accumulated feedback is forgotten all the same.
    act.setFeedbackItems(std::vector<Item>(58, Item::VBUS));
    EXPECT_EQ(bus.sent().back().payload.size(), 59u);
    bus.deliver(0x20, unhex("45 0000803f"));
    ASSERT_EQ(act.get_feedback().size(), 1u);
    bus.clear_sent();
    testing::internal::CaptureStderr();
    act.setFeedbackRate(10001);
    act.setFeedbackRate(-1);
    act.set_low_freq_feedback_rate(50);
    act.setFeedbackItems(std::vector<Item>(59, Item::VBUS));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Rate cannot exceed 10000 Hz\nRate must be non-negative\n"
              "Invalid payload length for address 32\n");
    EXPECT_TRUE(bus.sent().empty());
    EXPECT_TRUE(act.get_feedback().empty());
}

TEST(Commands, ParameterWritesAreSplitIntoMessagesOfNineEntries) {
    for (std::size_t n : {0u, 1u, 9u, 10u, 18u, 19u}) {
        LoopbackOXL bus;
        OrvexActuator act(bus, 0x20);
        OrvexActuator::ParameterMap values, decoded;
        for (std::size_t i = 0; i < n; ++i) {
            values[static_cast<Param>(i + 1)] = static_cast<float>(i) + 0.5f;
        }
        act.set_parameters(values);
        const auto sent = bus.sent();
        ASSERT_EQ(sent.size(), (n + 8) / 9) << n << " entries";
        for (std::size_t m = 0; m < sent.size(); ++m) {
            const auto& p = sent[m].payload;
            EXPECT_EQ(p[0], 0x0B);
            EXPECT_EQ(p.size(), m + 1 < sent.size() ? 46u : 1 + 5 * (n - 9 * m));
            for (std::size_t k = 1; k + 5 <= p.size(); k += 5) {
                std::memcpy(&decoded[static_cast<Param>(p[k])], &p[k + 1], 4);
            }
        }
        EXPECT_EQ(decoded, values);
    }
}

TEST(Commands, ChangeAddressValidatesThenMovesLaterCommands) {
    LoopbackOXL bus;
    OrvexActuator act(bus, 0x20);
    OrvexActuator odd(bus, 5);
    testing::internal::CaptureStderr();
    act.changeAddress(0x20);
    act.changeAddress(0x0F);
    act.changeAddress(0x3FFF);
    odd.changeAddress(5);  // the same-address check comes before the range check
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "New address is the same as current: 32\n"
              "Invalid address 15. Must be 0x10..0x3FFE\n"
              "Invalid address 16383. Must be 0x10..0x3FFE\n"
              "New address is the same as current: 5\n");
    EXPECT_TRUE(bus.sent().empty());

    act.changeAddress(0x10);
    act.start();
    act.changeAddress(0x3FFE);
    EXPECT_EQ(sent_hex(bus), (Strings{"0b8100008041", "01", "0b8100f87f46"}));
    EXPECT_EQ(sent_ids(bus), (std::vector<int>{0x20, 0x10, 0x10}));
    EXPECT_EQ(act.address, 0x3FFE);
    EXPECT_EQ(bus.registered_ids(), (std::vector<int>{5, 0x20}));
}

TEST(Commands, DisconnectStopsAndUnregisters) {
    LoopbackOXL bus;
    {
        OrvexActuator act(bus, 0x20);
        act.connected = true;
        act.disconnect();
        EXPECT_FALSE(act.connected);
        EXPECT_FALSE(bus.deliver(0x20, unhex("45 0000803f")));
    }
    EXPECT_EQ(sent_hex(bus), (Strings{"02", "02"}));
}

TEST(Commands, BlockingCommandsWaitAtLeastTheirTime) {
    LoopbackOXL bus;
    ScriptedDevice dev;
    dev.parameters = {{0x04, float_word(3.0f)}, {0x05, float_word(4.0f)}};
    bus.add_device(0x20, dev);
    OrvexActuator act(bus, 0x20);
    auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    act.clear_config();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: Actuator configuration cleared. Device will reset.\n");
    EXPECT_GE(seconds_since(start), 0.1);
    start = std::chrono::steady_clock::now();
    act.enter_bootloader();
    EXPECT_GE(seconds_since(start), 0.1);
    EXPECT_EQ(sent_hex(bus), (Strings{"c2", "c1"}));

    // restore_factory_parameters forgets what the client recorded.
    act.set_can_high_speed(true);
    act.change_position_setpoint(1.0f);
    bus.deliver(0x20, unhex("45 0000803f"));
    ASSERT_EQ(act.get_parameters({Param::LIMIT_TORQUE, Param::PARAM_05}, 5.0f).size(), 2u);
    dev.parameters.erase(0x05);
    bus.add_device(0x20, dev);
    bus.clear_sent();
    act.restore_factory_parameters(0.0f);
    EXPECT_EQ(sent_hex(bus), (Strings{"02", "0600000000", "c2"}));
    EXPECT_FALSE(act.can_high_speed);
    EXPECT_EQ(act.mode, Mode::SPEED);
    EXPECT_TRUE(act.get_feedback().empty());
    EXPECT_EQ(act.get_parameters({Param::LIMIT_TORQUE, Param::PARAM_05}, 5.0f),
              (OrvexActuator::ParameterMap{{Param::LIMIT_TORQUE, 3.0f}}))
        << "PARAM_05, no longer held by the device, must have left the cache";
    start = std::chrono::steady_clock::now();
    act.restore_factory_parameters(0.15f);
    EXPECT_GE(seconds_since(start), 0.15);
}

}  // namespace
}  // namespace oxl_test
