// Simulation stepping: time accumulation, the four control laws, feedback snapshot and callback.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "oxl_api/orvex_actuator_virtual.hpp"

namespace {

using oxl_api::OrvexActuatorVirtual;
using Mode = OrvexActuatorVirtual::Mode;
using P = OrvexActuatorVirtual::OXL_Parameters;
using Item = OrvexActuatorVirtual::OXL_Items;
using Feedback = OrvexActuatorVirtual::FeedbackMap;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kDt = 0.0001f;

TEST(VirtualStep, TimeAccumulatesInSinglePrecisionAndRounds) {
    OrvexActuatorVirtual a(0x10);
    a.change_setpoint(1.0f);
    a.start_steps(10000);  // never started: the plant stays frozen
    EXPECT_EQ(a.sim_time, 1.0000535f);
    EXPECT_EQ(a.step_count, 10000u);
    EXPECT_EQ(a.position + a.speed + a.torque, 0.0f);
    // 10^d zero or infinite in single precision: returned unrounded.
    const std::pair<int, float> rounded[] = {
        {3, 1.0f},        {5, 1.00005f},     {6, 1.000054f},        {-1, 0.0f},
        {60, a.sim_time}, {-60, a.sim_time}, {INT_MIN, a.sim_time}, {INT_MAX, a.sim_time}};
    for (const auto& [decimals, value] : rounded) {
        EXPECT_EQ(a.get_sim_time(decimals), value) << decimals;
    }
    EXPECT_EQ(a.get_sim_time(), 1.000054f);
    EXPECT_EQ(a.get_sim_rate_hz(), 10000.0f);
    for (int steps : {0, -5, INT_MIN}) {  // each runs exactly one sub-step
        const float before = a.sim_time;
        a.step(std::nullopt, steps);
        EXPECT_EQ(a.sim_time, before + kDt);
    }
    EXPECT_EQ(a.step_count, 10003u);
}

TEST(VirtualStep, ControlLawsInSinglePrecision) {
    struct Law {
        Mode mode;
        float setpoint, load, speed0, stiffness, damping;  // gains go to the store as they are
        int steps;
        float position, speed, torque;  // expected after the steps; NaN: not checked
    };
    const float one_step = 0.75f * kDt;  // torque mode: speed after one sub-step
    // clang-format off
    const std::vector<Law> laws = {
        {Mode::POSITION, 1.0f, 0.0f, 0.0f, kNaN, kNaN, 1, 20.0f * kDt, 20.0f, 2.0f},  // 0.002
        {Mode::POSITION, 1.0f, 0.5f, 0.0f, kNaN, kNaN, 1, 20.0f * kDt, 20.0f, 1.5f},
        {Mode::TORQUE, 1.0f, 0.25f, 0.0f, kNaN, kNaN, 1, 0.0000000075f, one_step, 0.75f},
        {Mode::TORQUE, 1.0f, 0.25f, 0.0f, kNaN, kNaN, 2, kNaN, one_step + one_step, 0.75f},
        {Mode::SPEED, 2.0f, 0.5f, 0.0f, kNaN, kNaN, 1, 0.0002f, 2.0f, -0.5f},
        // Absent or NaN gains fall back to stiffness 1.0 and damping 0.1; an infinity is used.
        {Mode::IMPEDANCE, 1.0f, 0.0f, 0.0f, kNaN, kNaN, 1, kNaN, 0.0001f, 1.0f},
        {Mode::IMPEDANCE, 1.0f, 0.0f, 0.0f, kNaN, kNaN, 2, kNaN, kNaN,
         1.0f * (1.0f - kDt * kDt) - 0.1f * kDt},
        {Mode::IMPEDANCE, 0.5f, 0.25f, 2.0f, 10.0f, 0.5f, 1, kNaN, kNaN, 5.0f - 1.0f - 0.25f},
        {Mode::IMPEDANCE, 0.5f, 0.0f, 0.0f, kInf, kNaN, 1, kNaN, kNaN, kInf},
        {Mode::IMPEDANCE, 0.5f, 0.0f, 0.0f, kNaN, 0.0f, 1, kNaN, kNaN, 0.5f},
        // Left to right: (1 - 1) - 1e-8, not 1 - (1 + 1e-8), which would round to 0.
        {Mode::IMPEDANCE, 0.5f, 1e-8f, 1.0f, 2.0f, 1.0f, 1, kNaN, kNaN, -1e-8f},
    };
    // clang-format on
    for (std::size_t i = 0; i < laws.size(); ++i) {
        const Law& c = laws[i];
        SCOPED_TRACE("law " + std::to_string(i));
        OrvexActuatorVirtual a(0x10);
        a.start();
        a.change_mode(c.mode);
        a.change_setpoint(c.setpoint);
        a.set_parameters({{P::K_STIFF, c.stiffness}, {P::K_DAMP, c.damping}});
        a.speed = c.speed0;
        a.change_load(c.load);  // stays for every later sub-step
        Feedback fb;
        for (int k = 0; k < c.steps; ++k) {
            fb = a.step();
        }
        const float got[] = {a.position, a.speed, a.torque};
        const float want[] = {c.position, c.speed, c.torque};
        for (int k = 0; k < 3; ++k) {
            EXPECT_TRUE(std::isnan(want[k]) || got[k] == want[k]) << k << ": " << got[k];
        }
        EXPECT_EQ(fb, (Feedback{{Item::POSITION_4C, a.position},
                                {Item::SPEED_45, a.speed},
                                {Item::TORQUE_56, a.torque}}));
    }
}

// n sub-steps in one call must equal n calls of one sub-step, bit for bit, in every mode.
TEST(VirtualStep, BatchedSubStepsMatchSingleSubSteps) {
    for (Mode m : {Mode::TORQUE, Mode::SPEED, Mode::POSITION, Mode::IMPEDANCE}) {
        OrvexActuatorVirtual batched(0x10), single(0x10);
        for (OrvexActuatorVirtual* a : {&batched, &single}) {
            a->start();
            a->change_mode(m);
            a->change_setpoint(1.5f);
            a->set_parameters({{P::K_STIFF, 40.0f}, {P::K_DAMP, 3.0f}});
            a->change_load(0.3f);
            a->speed = -0.7f;
        }
        batched.step(std::nullopt, 2500);
        for (int i = 0; i < 2500; ++i) {
            single.step();
        }
        EXPECT_EQ(batched.get_feedback(), single.get_feedback()) << static_cast<int>(m);
        EXPECT_EQ(batched.sim_time, single.sim_time);
        EXPECT_NE(batched.position, 0.0f);
    }
}

TEST(VirtualStep, OnlyStartAndTheFourModesMoveThePlant) {
    OrvexActuatorVirtual a(0x10);
    a.change_setpoint(1.0f);
    EXPECT_FALSE(a.send_ping());
    EXPECT_TRUE(a.connect(0.0f));
    EXPECT_TRUE(a.send_ping());
    a.step(std::nullopt, 100);
    EXPECT_EQ(a.position, 0.0f);
    a.start();
    a.step();
    EXPECT_EQ(a.speed, 20.0f);
    a.stop();
    EXPECT_TRUE(a.send_ping());
    a.step(std::nullopt, 100);
    EXPECT_EQ(a.position, 20.0f * kDt);
    a.set_home_position();  // zeroes the position and rebuilds the snapshot
    EXPECT_EQ(a.get_feedback().at(Item::POSITION_4C), 0.0f);
    a.start();
    a.step();
    EXPECT_EQ(a.position, 20.0f * kDt);  // error 1.0 again after homing
    a.change_setpoint(kInf);
    a.step(std::nullopt, 2);  // inf - inf in the second sub-step
    EXPECT_TRUE(std::isnan(a.position));
    a.disconnect();
    EXPECT_FALSE(a.send_ping() || a.enabled);

    // Every mode byte is accepted; only the four control modes have dynamics.
    for (int m = 0; m < 256; ++m) {
        OrvexActuatorVirtual b(0x10);
        b.start();
        b.change_mode(static_cast<Mode>(m));
        b.change_setpoint(1.0f);
        b.step(0.5f, 3);
        EXPECT_EQ(b.position != 0.0f || b.torque != 0.0f, m >= 5 && m <= 8) << m;
        EXPECT_EQ(b.sim_time, kDt + kDt + kDt);
    }
}

TEST(VirtualStep, FeedbackCallbackCadence) {
    OrvexActuatorVirtual a(0x10);
    const std::pair<int, int> periods[] = {{1, 10000}, {3, 3333},    {333, 30}, {1000, 10},
                                           {4000, 3},  {5000, 2},    {6666, 2}, {6667, 1},
                                           {20001, 1}, {INT_MAX, 1}, {0, 0},    {INT_MIN, 0}};
    for (const auto& [rate, period] : periods) {
        a.set_feedback_rate(rate);
        EXPECT_EQ(a.feedback_period_steps, period) << rate;
    }
    a.set_feedback_rate(OrvexActuatorVirtual::Rates::RATE_200HZ);
    EXPECT_EQ(a.feedback_period_steps, 50);

    std::vector<uint64_t> calls;
    int last_address = 0;
    a.set_feedback_callback([&](int address, Feedback fb) {
        calls.push_back(a.step_count);
        last_address = address;
        EXPECT_EQ(fb, a.feedback);
    });
    a.set_feedback_rate(0);
    a.step(std::nullopt, 50);
    a.set_feedback_rate(1000);  // period 10
    for (int i = 0; i < 30; ++i) {
        a.step();
    }
    a.step(std::nullopt, 25);  // spans two periods, calls once
    a.step(std::nullopt, 10);
    a.step(std::nullopt, 9);
    EXPECT_EQ(calls, (std::vector<uint64_t>{51, 61, 71, 105, 115}));
    a.set_parameters({{P::ADDRESS, 5.0f}});
    a.step(std::nullopt, 10);
    EXPECT_EQ(last_address, 5);
    a.set_feedback_rate(-3);
    a.step(std::nullopt, 100000);
    EXPECT_EQ(calls.size(), 6u);
}

TEST(VirtualStep, StatefulThrowingOrSelfReplacingCallback) {
    OrvexActuatorVirtual a(0x10);
    a.start();
    a.change_setpoint(1.0f);
    a.set_feedback_rate(10000);  // every sub-step
    // The stored callable itself is called, so its state carries over from call to call, and
    // it stays installed after it threw.
    std::vector<int> counts;
    a.set_feedback_callback([&counts, n = 0](int, Feedback) mutable {
        counts.push_back(++n);
        if (n == 2) {
            throw std::runtime_error("boom");
        }
    });
    a.step();
    EXPECT_THROW(a.step(std::nullopt, 4), std::runtime_error);
    EXPECT_EQ(a.step_count, 5u);
    EXPECT_EQ(a.last_feedback_step, 1u);
    EXPECT_EQ(a.feedback.at(Item::POSITION_4C), a.position);  // rebuilt before the callback
    EXPECT_NE(a.position, 0.0f);
    a.step();
    EXPECT_EQ(counts, (std::vector<int>{1, 2, 3}));

    // A callback may replace or clear itself; its own captures stay valid until it returns.
    const std::vector<int> captured(64, 7);
    int seen = 0;
    a.set_feedback_callback([&a, &seen, captured](int, Feedback) {
        a.set_feedback_callback([&a, &seen](int, Feedback) {
            a.set_feedback_callback(nullptr);
            seen += 100;
        });
        seen += captured.back();
    });
    a.step();
    a.step();
    a.step();
    EXPECT_EQ(seen, 107);
    EXPECT_EQ(a.last_feedback_step, 8u);
}

TEST(VirtualStep, SnapshotItemValues) {
    OrvexActuatorVirtual a(0x10);
    a.start();
    a.change_speed_setpoint(8.0f);
    a.step(-6.0f, 1);  // speed 8, torque 6: power 48
    a.set_feedback_items({Item::POWER_5A, Item::DC_CURRENT_5B, Item::VBUS, Item::TEMPERATURE_71,
                          Item::ERRORS, Item::ITEM_42, Item::SETPOINT_55, Item::TORQUE_49,
                          static_cast<Item>(0x4E), static_cast<Item>(0xFF), Item::VBUS});
    // clang-format off
    EXPECT_EQ(a.get_feedback(), (Feedback{
        {Item::POWER_5A, 48.0f}, {Item::DC_CURRENT_5B, 1.0f}, {Item::VBUS, 48.0f},
        {Item::TEMPERATURE_71, 25.0f}, {Item::ERRORS, 0.0f}, {Item::ITEM_42, 0.0f},
        {Item::SETPOINT_55, 8.0f}, {Item::TORQUE_49, 6.0f}, {static_cast<Item>(0x4E), 0.0f},
        {static_cast<Item>(0xFF), 0.0f}}));
    // clang-format on
    a.vbus = 0.0f;
    EXPECT_EQ(a.get_items_blocking({Item::DC_CURRENT_5B}).at(Item::DC_CURRENT_5B), 0.0f);

    // get_feedback shows the last rebuild; get_items_blocking rebuilds first.
    a.change_setpoint(9.0f);
    EXPECT_EQ(a.get_feedback().at(Item::SETPOINT_55), 8.0f);
    const Feedback items =
        a.get_items_blocking({Item::SETPOINT_55, Item::SPEED_45, Item::SETPOINT_55});
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items.at(Item::SETPOINT_55), 9.0f);
    EXPECT_TRUE(std::isnan(items.at(Item::SPEED_45)));  // not a selected item
    EXPECT_TRUE(a.get_items_blocking({}, 0.0f).empty());

    // Stepping refreshes the values in place, yet the keys stay exactly the selected items even
    // when the application edited the snapshot or the list repeats an item.
    a.set_feedback_items({Item::SETPOINT_55, Item::VBUS});
    a.feedback.erase(Item::VBUS);
    a.feedback[Item::SPEED_45] = 1.0f;
    EXPECT_EQ(a.step(), (Feedback{{Item::SETPOINT_55, 9.0f}, {Item::VBUS, 0.0f}}));
    a.feedback_items = {Item::VBUS, Item::VBUS};
    a.feedback.erase(Item::SETPOINT_55);
    a.feedback[Item::SPEED_45] = 1.0f;  // two entries, as many as listed items
    a.vbus = 24.0f;
    EXPECT_EQ(a.step(), (Feedback{{Item::VBUS, 24.0f}}));
    a.set_feedback_items({});
    EXPECT_TRUE(a.step().empty());
}

}  // namespace
