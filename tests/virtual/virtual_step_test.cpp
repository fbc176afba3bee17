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
    EXPECT_EQ(a.get_sim_time(3), 1.0f);
    EXPECT_EQ(a.get_sim_time(5), 1.00005f);
    EXPECT_EQ(a.get_sim_time(), 1.000054f);
    EXPECT_EQ(a.get_sim_time(-1), 0.0f);
    // 10^d is infinite or zero in single precision: returned unrounded.
    for (int d : {60, -60, INT_MIN, INT_MAX}) {
        EXPECT_EQ(a.get_sim_time(d), a.sim_time) << d;
    }
    EXPECT_EQ(a.get_sim_rate_hz(), 10000.0f);

    for (int steps : {0, -5, INT_MIN}) {  // each runs exactly one sub-step
        const float before = a.sim_time;
        a.step(std::nullopt, steps);
        EXPECT_EQ(a.sim_time, before + kDt);
    }
    EXPECT_EQ(a.step_count, 10003u);
}

TEST(VirtualStep, OneSubStepOfEachControlLawFromRest) {
    OrvexActuatorVirtual pos(0x10), trq(0x10), spd(0x10), imp(0x10);
    for (OrvexActuatorVirtual* a : {&pos, &trq, &spd, &imp}) {
        a->start();
    }
    pos.change_setpoint(1.0f);
    const Feedback fb = pos.step();
    // Position 0.002 computed in single precision.
    EXPECT_EQ(fb, (Feedback{{Item::POSITION_4C, 20.0f * kDt},
                            {Item::SPEED_45, 20.0f},
                            {Item::TORQUE_56, 2.0f}}));
    pos.position = 0.0f;
    pos.step(0.5f, 1);
    EXPECT_EQ(pos.torque, 1.5f);  // the load enters only the reported torque
    EXPECT_EQ(pos.speed, 20.0f);

    trq.change_torque_setpoint(1.0f);
    trq.step(0.25f, 1);
    EXPECT_EQ(trq.torque, 0.75f);
    EXPECT_EQ(trq.speed, 0.75f * kDt);
    EXPECT_EQ(trq.position, 0.0000000075f);
    trq.step();  // the load given to step stays
    EXPECT_EQ(trq.load, 0.25f);
    EXPECT_EQ(trq.speed, 0.75f * kDt + 0.75f * kDt);

    spd.change_speed_setpoint(2.0f);
    spd.change_load(0.5f);
    spd.step();
    EXPECT_EQ(spd.speed, 2.0f);
    EXPECT_EQ(spd.position, 0.0002f);
    EXPECT_EQ(spd.torque, -0.5f);

    imp.change_impedance_setpoint(1.0f);  // default stiffness 1.0, damping 0.1
    imp.step();
    EXPECT_EQ(imp.torque, 1.0f);
    EXPECT_EQ(imp.speed, 0.0001f);
    imp.step();
    EXPECT_EQ(imp.torque, 1.0f * (1.0f - kDt * kDt) - 0.1f * kDt);
}

TEST(VirtualStep, ImpedanceGainsComeFromTheStore) {
    OrvexActuatorVirtual a(0x10);
    a.start();
    a.change_impedance_setpoint(0.5f, kNaN, 10.0f, 0.5f, 7.0f, kNaN, 3.0f, 4.0f);
    const auto torque_from = [&a](float p, float v, float load) {
        a.position = p;
        a.speed = v;
        a.step(load, 1);
        return a.torque;
    };
    EXPECT_EQ(torque_from(0.0f, 2.0f, 0.25f), 10.0f * 0.5f - 0.5f * 2.0f - 0.25f);
    // Left to right: (1 - 1) - 1e-8, not 1 - (1 + 1e-8), which would round to 0.
    a.set_parameters({{P::K_STIFF, 2.0f}, {P::K_DAMP, 1.0f}});
    EXPECT_EQ(torque_from(0.0f, 1.0f, 1e-8f), -1e-8f);
    // An infinity is used as it is; a stored NaN falls back to the default.
    a.set_parameters({{P::K_STIFF, kInf}, {P::K_DAMP, kNaN}});
    EXPECT_EQ(torque_from(0.0f, 0.0f, 0.0f), kInf);
    a.set_parameters({{P::K_STIFF, kNaN}, {P::K_DAMP, 0.0f}});
    EXPECT_EQ(torque_from(0.0f, 0.0f, 0.0f), 0.5f);
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

TEST(VirtualStep, OnlyStartMovesThePlant) {
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
    const float frozen = a.position;
    a.step(std::nullopt, 100);
    EXPECT_EQ(a.position, frozen);

    a.start();
    a.set_parameters({{P::MODE, -1.0f}});  // mode value 0 has no dynamics
    a.step(std::nullopt, 10);
    EXPECT_EQ(a.position, frozen);
    a.set_home_position();  // state is kept across mode changes, except what homing resets
    EXPECT_EQ(a.get_feedback().at(Item::POSITION_4C), 0.0f);
    a.change_mode(Mode::POSITION);
    a.step();
    EXPECT_EQ(a.position, 20.0f * kDt);  // error 1.0 again after homing

    a.change_setpoint(kInf);
    a.step(std::nullopt, 2);  // inf - inf in the second sub-step
    EXPECT_TRUE(std::isnan(a.position));
    a.disconnect();
    EXPECT_FALSE(a.send_ping() || a.enabled);
}

TEST(VirtualStep, FeedbackRateToPeriod) {
    OrvexActuatorVirtual a(0x10);
    const std::pair<int, int> table[] = {{1, 10000}, {3, 3333},    {333, 30}, {1000, 10},
                                         {4000, 3},  {5000, 2},    {6666, 2}, {6667, 1},
                                         {20001, 1}, {INT_MAX, 1}, {0, 0},    {INT_MIN, 0}};
    for (const auto& [rate, period] : table) {
        a.set_feedback_rate(rate);
        EXPECT_EQ(a.feedback_period_steps, period) << rate;
    }
    a.set_feedback_rate(OrvexActuatorVirtual::Rates::RATE_200HZ);
    EXPECT_EQ(a.feedback_period_steps, 50);
}

TEST(VirtualStep, CallbackCadence) {
    OrvexActuatorVirtual a(0x10);
    std::vector<uint64_t> calls;
    int last_address = 0;
    a.set_feedback_callback([&](int address, Feedback fb) {
        calls.push_back(a.step_count);
        last_address = address;
        EXPECT_EQ(fb, a.feedback);
    });
    a.step(std::nullopt, 50);   // no rate set: period 0
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

TEST(VirtualStep, ThrowingOrSelfReplacingCallback) {
    OrvexActuatorVirtual a(0x10);
    a.start();
    a.change_setpoint(1.0f);
    a.set_feedback_rate(10000);  // every sub-step
    a.set_feedback_callback([](int, Feedback) { throw std::runtime_error("boom"); });
    EXPECT_THROW(a.step(std::nullopt, 5), std::runtime_error);
    EXPECT_EQ(a.step_count, 5u);
    EXPECT_EQ(a.last_feedback_step, 0u);
    EXPECT_EQ(a.feedback.at(Item::POSITION_4C), a.position);  // rebuilt before the callback
    EXPECT_NE(a.position, 0.0f);

    // A callback may clear itself; its own captures stay valid until it returns.
    const std::vector<int> captured(64, 7);
    int seen = 0;
    a.set_feedback_callback([&a, &seen, captured](int, Feedback) {
        a.set_feedback_callback(nullptr);
        seen += captured.back();
    });
    a.step();
    a.step();
    EXPECT_EQ(seen, 7);
    EXPECT_EQ(a.last_feedback_step, 6u);
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
    a.set_feedback_items({});
    EXPECT_TRUE(a.step().empty());
}

}  // namespace
