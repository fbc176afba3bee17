// Commands: exact payloads, mode caching, refused arguments with their messages, parameter write
// chunking, address changes and what the resetting commands forget.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <thread>

#include "actuator_test_util.hpp"

namespace oxl_test {
namespace {

using A = OrvexActuator;
using Mode = A::Mode;

TEST(Commands, PayloadsMessagesAndWaitsOfEveryCommand) {
    struct Case {
        const char* name;  // what the row checks; a failing row names itself
        std::function<void(A&)> call;
        Strings sent;          // payloads, all to the actuator's id
        std::string err = "";  // standard error, verbatim
        double blocks_s = 0;   // least time the call takes
    };
    // Floats 1 to 9 (8 hex digits each) and four NaN options.
    const std::string f =
        "0000803f000000400000404000008040"
        "0000a0400000c0400000e0400000004100001041";
    const std::string nan4 = "0000c07f0000c07f0000c07f0000c07f";
    const Item i44 = static_cast<Item>(0x44);
    const std::string warning = "Warning: Actuator configuration cleared. Device will reset.\n";
    const std::vector<Case> cases = {
        {"start", [](A& a) { a.start(); }, {"01"}},
        {"blink", [](A& a) { a.blink(); }, {"41"}},
        {"set home position", [](A& a) { a.set_home_position(); }, {"0a"}},
        {"save config", [](A& a) { a.save_config(); }, {"39"}},
        {"disconnect", [](A& a) { a.disconnect(); }, {"02"}},
        {"torque performance level 3",
         [](A& a) { a.set_torque_performance(A::TorquePerformance::LEVEL_3); },
         {"0d03"}},
        {"speed performance level 1",
         [](A& a) { a.set_speed_performance(A::SpeedPerformance::LEVEL_1); },
         {"0e01"}},
        {"setpoint with zero speed and torque is position only",
         [](A& a) { a.change_setpoint(1.5f, 0.0f, -0.0f); },
         {"040000c03f"}},
        {"setpoint with unset speed sends NaN",
         [](A& a) { a.change_setpoint(1.5f, A::kUnset, 0.0f); },
         {"100000c03f0000c07f00000000"}},
        {"setpoint with torque sends all three",
         [](A& a) { a.change_setpoint(-1.0f, 0.0f, 2.0f); },
         {"10000080bf0000000000000040"}},
        {"CAN high speed on", [](A& a) { a.set_can_high_speed(true); }, {"0b850000803f"}},
        {"CAN high speed off", [](A& a) { a.set_can_high_speed(false); }, {"0b8500000000"}},
        // Setpoints send the mode first only when the cached mode (initially SPEED) differs.
        {"speed setpoint in cached speed mode with NaN options",
         [](A& a) { a.change_speed_setpoint(1.0f); },
         {"120000803f" + nan4}},
        {"speed setpoint with all options",
         [](A& a) { a.change_speed_setpoint(2, 3, 4, 5, 6); },
         {"12" + f.substr(8, 40)}},
        {"position setpoints switch to position then internal position",
         [](A& a) {
             a.change_position_setpoint(1, 2, 3, 4, 5, 6);
             a.internal_change_position_setpoint(1, 2, 3, 4, 5, 6, 7, 8, 9);
         },
         {"0307", "13" + f.substr(0, 48), "16" + f}},
        {"torque and internal speed setpoints each switch the mode first",
         [](A& a) {
             a.change_torque_setpoint(1, 2, 3, 4, 5);
             a.internal_change_speed_setpoint(1, 2, 3, 4);
         },
         {"0305", "11" + f.substr(0, 40), "0306", "15" + f.substr(0, 32)}},
        {"impedance mode then impedance setpoint",
         [](A& a) {
             a.change_mode(Mode::IMPEDANCE);
             a.change_impedance_setpoint(1, 2, 3, 4, 5, 6, 7, 8);
         },
         {"0308", "14" + f.substr(0, 64)}},
        // Streamed items are sent as given; 58 make the largest payload the transport accepts.
        {"feedback items sent as given, repeats kept",
         [](A& a) {
             a.setFeedbackItems({Item::TEMP_WINDING, Item::SPEED_45, Item::SPEED_45});
         },
         {"07724545"}},
        {"58 feedback items fill the largest payload",
         [=](A& a) { a.setFeedbackItems(std::vector<Item>(58, i44)); },
         {"07" + std::string(116, '4')}},
        {"59 feedback items are refused by the transport",
         [=](A& a) { a.setFeedbackItems(std::vector<Item>(59, i44)); },
         {},
         "Invalid payload length for address 32\n"},
        // Rates become periods in 100 us ticks, rounded to the nearest.
        {"rate 1000 Hz is 10 ticks", [](A& a) { a.setFeedbackRate(1000); }, {"060a000000"}},
        {"rate 3 Hz rounds to 3333 ticks", [](A& a) { a.setFeedbackRate(3); }, {"06050d0000"}},
        {"rate 6667 Hz rounds down to 1 tick",
         [](A& a) { a.setFeedbackRate(6667); },
         {"0601000000"}},
        {"rate 6666 Hz rounds up to 2 ticks",
         [](A& a) { a.setFeedbackRate(6666); },
         {"0602000000"}},
        {"rate 10000 Hz is 1 tick", [](A& a) { a.setFeedbackRate(10000); }, {"0601000000"}},
        {"rate 0 stops streaming", [](A& a) { a.setFeedbackRate(0); }, {"0600000000"}},
        {"rate 1 Hz is 10000 ticks", [](A& a) { a.setFeedbackRate(1); }, {"0610270000"}},
        {"rate enumerator 100 Hz",
         [](A& a) { a.setFeedbackRate(A::Rates::RATE_100HZ); },
         {"0664000000"}},
        {"rate above 10000 Hz refused",
         [](A& a) { a.setFeedbackRate(10001); },
         {},
         "Rate cannot exceed 10000 Hz\n"},
        {"negative rate refused",
         [](A& a) { a.setFeedbackRate(-1); },
         {},
         "Rate must be non-negative\n"},
        {"low-frequency feedback settings send nothing",
         [](A& a) {
             a.set_low_freq_feedback_items({Item::VBUS});
             a.set_low_freq_feedback_rate(50);
             a.set_low_freq_feedback_callback([](A::FeedbackMap) {});
         },
         {}},
        {"address change to the same address refused",
         [](A& a) { a.changeAddress(0x20); },
         {},
         "New address is the same as current: 32\n"},
        {"address below 0x10 refused",
         [](A& a) { a.changeAddress(0x0F); },
         {},
         "Invalid address 15. Must be 0x10..0x3FFE\n"},
        {"address above 0x3FFE refused",
         [](A& a) { a.changeAddress(0x3FFF); },
         {},
         "Invalid address 16383. Must be 0x10..0x3FFE\n"},
        {"clear config warns and waits", [](A& a) { a.clear_config(); }, {"c2"}, warning, 0.1},
        {"enter bootloader waits", [](A& a) { a.enter_bootloader(); }, {"c1"}, "", 0.1},
        {"restore factory parameters stops, stops streaming, clears and waits",
         [](A& a) { a.restore_factory_parameters(0.15f); },
         {"02", "0600000000", "c2"},
         "",
         0.15},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackOXL bus;
        {
            OrvexActuator act(bus, 0x20);
            testing::internal::CaptureStderr();
            const auto start = std::chrono::steady_clock::now();
            c.call(act);
            EXPECT_GE(seconds_since(start), c.blocks_s);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
            EXPECT_EQ(sent_hex(bus), c.sent);
            for (const auto& m : bus.sent()) {
                EXPECT_EQ(m.id, 0x20);
            }
            bus.clear_sent();
        }
        EXPECT_EQ(sent_hex(bus), Strings{"02"}) << "the destructor stops once";
        EXPECT_TRUE(bus.registered_ids().empty()) << "and leaves no registration";
    }
}

TEST(Commands, SetpointsOfSeveralKindsFromSeveralThreadsEachFollowTheirOwnMode) {
    LoopbackOXL bus;
    OrvexActuator act(bus, 0x20);
    const std::vector<std::pair<std::function<void()>, Mode>> kinds = {
        {[&act] { act.change_torque_setpoint(1.0f); }, Mode::TORQUE},
        {[&act] { act.change_speed_setpoint(1.0f); }, Mode::SPEED},
        {[&act] { act.change_position_setpoint(1.0f); }, Mode::POSITION},
    };
    std::vector<std::thread> threads;
    for (const auto& kind : kinds) {
        threads.emplace_back([&kind] {
            for (int i = 0; i < 300; ++i) {
                kind.first();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    // Replayed in sending order, every setpoint reaches the device in its own mode, and the
    // cached mode is the last one sent.
    const std::map<uint8_t, Mode> mode_of = {
        {0x11, Mode::TORQUE}, {0x12, Mode::SPEED}, {0x13, Mode::POSITION}};
    auto device_mode = Mode::SPEED;
    std::size_t setpoints = 0;
    for (const auto& m : bus.sent()) {
        if (m.payload[0] == 0x03) {
            device_mode = static_cast<Mode>(m.payload[1]);
        } else {
            ASSERT_EQ(mode_of.at(m.payload[0]), device_mode) << "message " << setpoints;
            ++setpoints;
        }
    }
    EXPECT_EQ(setpoints, 900u);
    EXPECT_EQ(act.mode, device_mode);
}

TEST(Commands, ParameterWritesAreSplitIntoMessagesOfNineEntries) {
    for (std::size_t n : {0u, 1u, 9u, 10u, 18u, 19u}) {
        LoopbackOXL bus;
        OrvexActuator act(bus, 0x20);
        A::ParameterMap values, decoded;
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

TEST(Commands, AddressChangesAndDisconnectMoveOrDropTheRegistration) {
    LoopbackOXL bus;
    OrvexActuator act(bus, 0x20);
    OrvexActuator odd(bus, 5);
    testing::internal::CaptureStderr();
    odd.changeAddress(5);  // the same-address check comes before the range check
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "New address is the same as current: 5\n");

    act.changeAddress(0x10);
    act.start();
    act.changeAddress(0x3FFE);
    const auto sent = bus.sent();
    ASSERT_EQ(sent_hex(bus), (Strings{"0b8100008041", "01", "0b8100f87f46"}));
    EXPECT_EQ(std::vector<int>({sent[0].id, sent[1].id, sent[2].id}),
              (std::vector<int>{0x20, 0x10, 0x10}));
    EXPECT_EQ(act.address, 0x3FFE);
    EXPECT_EQ(bus.registered_ids(), (std::vector<int>{5, 0x20})) << "the decoder stays at 0x20";

    odd.connected = true;
    odd.disconnect();
    EXPECT_FALSE(odd.connected);
    EXPECT_FALSE(bus.deliver(5, unhex("45 0000803f")));
}

TEST(Commands, ResetsForgetWhatTheClientRecorded) {
    LoopbackOXL bus;
    ScriptedDevice dev;
    dev.parameters = {{0x04, float_word(3.0f)}, {0x05, float_word(4.0f)}};
    bus.add_device(0x20, dev);
    OrvexActuator act(bus, 0x20);
    const std::vector<Param> codes = {Param::LIMIT_TORQUE, Param::PARAM_05};

    // setFeedbackItems forgets the accumulated feedback even when the transport refuses it.
    bus.deliver(0x20, unhex("45 0000803f"));
    testing::internal::CaptureStderr();
    act.setFeedbackItems(std::vector<Item>(59, Item::VBUS));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(act.get_feedback().empty());

    act.set_can_high_speed(true);
    act.change_position_setpoint(1.0f);
    bus.deliver(0x20, unhex("45 0000803f"));
    ASSERT_EQ(act.get_parameters(codes, 5.0f).size(), 2u);
    dev.parameters.erase(0x05);
    bus.add_device(0x20, dev);
    act.restore_factory_parameters(0.0f);
    EXPECT_FALSE(act.can_high_speed);
    EXPECT_EQ(act.mode, Mode::SPEED);
    EXPECT_TRUE(act.get_feedback().empty());
    EXPECT_EQ(act.get_parameters(codes, 5.0f), (A::ParameterMap{{Param::LIMIT_TORQUE, 3.0f}}))
        << "PARAM_05, no longer held by the device, must have left the cache";
}

}  // namespace
}  // namespace oxl_test
