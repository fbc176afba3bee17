// The simulated bus on its own: what each device answers, byte for byte, and when streamed
// frames fall due, under a clock the test moves by hand.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "oxl_api/simulated_bus.hpp"

namespace {

using oxl_api::OrvexActuatorVirtual;
using oxl_api::SimMessage;
using oxl_api::SimulatedBus;
using Items = OrvexActuatorVirtual::OXL_Items;
using Parameters = OrvexActuatorVirtual::OXL_Parameters;

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char digits[3];
    for (const uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        out += digits;
    }
    return out;
}

std::vector<uint8_t> with_float(std::vector<uint8_t> bytes, float value) {
    uint8_t raw[4];
    std::memcpy(raw, &value, 4);
    bytes.insert(bytes.end(), raw, raw + 4);
    return bytes;
}

// A command byte followed by float arguments.
std::vector<uint8_t> command(uint8_t code, std::initializer_list<float> values) {
    std::vector<uint8_t> bytes{code};
    for (const float v : values) {
        bytes = with_float(std::move(bytes), v);
    }
    return bytes;
}

float float_at(const std::vector<uint8_t>& bytes, std::size_t at) {
    float value = 0.0f;
    std::memcpy(&value, bytes.data() + at, 4);  // the test host is little-endian
    return value;
}

// A bus whose clock only moves when the test says so, and whose output is recorded.
struct ManualBus {
    std::atomic<int64_t> now_ns{1'000'000'000};
    std::mutex mutex;
    std::vector<SimMessage> sent;  // guarded by mutex
    SimulatedBus bus{[this](std::vector<SimMessage> batch) {
                         std::lock_guard<std::mutex> lock(mutex);
                         for (auto& m : batch) {
                             sent.push_back(std::move(m));
                         }
                     },
                     [this] { return std::chrono::nanoseconds(now_ns.load()); }};

    void advance(std::chrono::microseconds by) {
        now_ns += std::chrono::duration_cast<std::chrono::nanoseconds>(by).count();
        bus.poll();
    }
    std::vector<SimMessage> take() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<SimMessage> out;
        out.swap(sent);
        return out;
    }
};

TEST(SimulatedBus, PingsAnswerWithIdentityOfAdapterAndActuatorsOnly) {
    ManualBus m;
    m.bus.set_adapter_firmware(0x0842);
    ASSERT_TRUE(m.bus.add_actuator(0x20, 3, 0xFFFF));
    EXPECT_FALSE(m.bus.add_actuator(0x20, 1, 0));  // taken
    EXPECT_FALSE(m.bus.add_actuator(0x0F, 1, 0));  // not an actuator address
    EXPECT_FALSE(m.bus.add_actuator(0x3FFF, 1, 0));

    m.bus.deliver(0, {0x40});
    m.bus.deliver(0x20, {0x40});
    m.bus.deliver(0x21, {0x40});  // nobody there
    const auto out = m.take();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].id, 0);
    EXPECT_EQ(hex(out[0].payload), "8005004208");
    EXPECT_EQ(out[1].id, 0x20);
    EXPECT_EQ(hex(out[1].payload), "800300ffff");
    EXPECT_EQ(out[1].reply_flag, 1);
    EXPECT_EQ(m.bus.addresses(), std::vector<int>{0x20});
}

TEST(SimulatedBus, StreamsSelectedItemsOnTheirPeriodAndStops) {
    ManualBus m;
    ASSERT_TRUE(m.bus.add_actuator(0x20));
    // Duplicates and the non-item 0x4E are left out; order is kept.
    m.bus.deliver(0x20, {0x07, 0x72, 0x4E, 0x90, 0x72, 0x4A});
    m.bus.deliver(0x20, {0x06, 10, 0, 0, 0});  // every 10 ticks = 1 kHz
    ASSERT_EQ(m.bus.device_info(0x20)->stream_items, (std::vector<uint8_t>{0x72, 0x90, 0x4A}));

    m.advance(std::chrono::milliseconds(100));
    auto out = m.take();
    ASSERT_EQ(out.size(), 100u);
    for (const auto& frame : out) {
        EXPECT_EQ(frame.reply_flag, 0);
        // 25.0 winding temperature as float bits, ERRORS 0 as u32, ITEM_4A 0 as i32.
        EXPECT_EQ(hex(frame.payload), "720000c84190000000004a00000000");
    }

    // A raised error is reported at once and then shows in ERRORS, bit for bit.
    ASSERT_TRUE(m.bus.raise_errors(0x20, 0x80010001u));
    m.advance(std::chrono::microseconds(1000));
    out = m.take();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(hex(out[0].payload), "8201000180");
    EXPECT_EQ(hex(out[1].payload), "720000c84190010001804a00000000");

    m.bus.deliver(0x20, {0x06, 0, 0, 0, 0});
    m.advance(std::chrono::milliseconds(50));
    EXPECT_TRUE(m.take().empty());
    EXPECT_EQ(m.bus.stats().frames_sent, 101u);
}

TEST(SimulatedBus, FramesCarryTheStateOfTheirTickAndSplitAfterElevenEntries) {
    ManualBus m;
    ASSERT_TRUE(m.bus.add_actuator(0x30));
    m.bus.deliver(0x30, {0x01});
    m.bus.deliver(0x30, {0x03, 6});                 // speed mode
    m.bus.deliver(0x30, with_float({0x04}, 2.0f));  // 2.0: position grows 0.0002 a tick
    std::vector<uint8_t> select{0x07, 0x4C};
    for (uint8_t c = 0x50; c <= 0x5A; ++c) {
        select.push_back(c);  // 12 items in all
    }
    m.bus.deliver(0x30, select);
    m.bus.deliver(0x30, {0x06, 100, 0, 0, 0});  // every 100 ticks

    m.advance(std::chrono::microseconds(25000));  // 250 ticks: frames at 100 and 200
    const auto out = m.take();
    ASSERT_EQ(out.size(), 4u);
    for (std::size_t frame = 0; frame < 2; ++frame) {
        const auto& head = out[2 * frame].payload;
        const auto& tail = out[2 * frame + 1].payload;
        ASSERT_EQ(head.size(), 55u);
        ASSERT_EQ(tail.size(), 5u);
        EXPECT_EQ(head[0], 0x4C);
        EXPECT_EQ(tail[0], 0x5A);
        EXPECT_NEAR(float_at(head, 1), 0.02f * static_cast<float>(frame + 1), 1e-5f);
        // POWER_5A is speed times torque: 2.0 * -0.0 (no load).
        EXPECT_EQ(float_at(tail, 1), 0.0f);
    }
}

TEST(SimulatedBus, ItemRequestAndParameterReadAnswerWithTheClientEncodings) {
    ManualBus m;
    ASSERT_TRUE(m.bus.add_actuator(0x20));
    m.bus.deliver(0x20, {0x0F, 0x4C, 0x4E, 0x70});
    m.bus.deliver(0x20, {0x0C, 0x80, 0x81, 0x30, 0x02, 0x00, 0x85});
    m.bus.deliver(0x20, {0x0F, 0x4E});  // nothing valid asked: no answer
    auto out = m.take();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].reply_flag, 1);
    EXPECT_EQ(hex(out[0].payload),
              "4c00000000"
              "7000004042");
    EXPECT_EQ(out[1].reply_flag, 1);
    // PARAM_80 as u32 20000, ADDRESS 32.0, MODE 7.0 as float bits, absent K_STIFF as NaN bits.
    EXPECT_EQ(hex(out[1].payload),
              "83"
              "80204e0000"
              "8100000042"
              "300000e040"
              "020000c07f"
              "8500000000");
    // The request did not disturb the simulation's own selection.
    EXPECT_EQ(m.bus.inspect(0x20, [](auto& a) { return a.feedback_items.size(); }), 3u);

    // Unsigned parameters saturate and round; never undefined for NaN or huge values.
    std::vector<uint8_t> write{0x0B};
    write.push_back(0x80);
    write = with_float(write, -5.0f);
    write.push_back(0x82);
    write = with_float(write, 1e20f);
    write.push_back(0x83);
    write = with_float(write, std::nanf(""));
    write.push_back(0x84);
    write = with_float(write, 3.6f);
    m.bus.deliver(0x20, write);
    m.bus.deliver(0x20, {0x0C, 0x80, 0x82, 0x83, 0x84});
    out = m.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(hex(out[0].payload),
              "83"
              "8000000000"
              "82ffffffff"
              "8300000000"
              "8404000000");

    // Twelve codes need two reports.
    m.bus.deliver(0x20, {0x0C, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    out = m.take();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].payload.size(), 56u);
    EXPECT_EQ(out[1].payload.size(), 6u);
}

TEST(SimulatedBus, AddressWriteMovesTheDeviceOnlyToAFreeActuatorAddress) {
    ManualBus m;
    ASSERT_TRUE(m.bus.add_actuator(0x20, 2, 0x0001));
    ASSERT_TRUE(m.bus.add_actuator(0x21));
    auto address_write = [](float value) {
        std::vector<uint8_t> write = with_float({0x0B, 0x81}, value);
        write.push_back(0x04);  // and LIMIT_TORQUE in the same message
        return with_float(write, 3.0f);
    };
    m.bus.deliver(0x20, address_write(33.0f));  // taken
    m.bus.deliver(0x20, address_write(5.0f));   // no actuator address
    m.bus.deliver(0x20, address_write(std::nanf("")));
    EXPECT_EQ(m.bus.addresses(), (std::vector<int>{0x20, 0x21}));
    EXPECT_EQ(m.bus.inspect(0x20, [](auto& a) { return a.param_or_nan(Parameters::LIMIT_TORQUE); }),
              3.0f);

    m.bus.deliver(0x20, address_write(64.9f));
    EXPECT_EQ(m.bus.addresses(), (std::vector<int>{0x21, 0x40}));
    m.bus.deliver(0x20, {0x40});
    m.bus.deliver(0x40, {0x40});
    const auto out = m.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].id, 0x40);
    EXPECT_EQ(hex(out[0].payload), "8002000100");
    EXPECT_EQ(m.bus.inspect(0x40, [](auto& a) { return a.address; }), 0x40);
}

TEST(SimulatedBus, BootloaderSilencesUntilResetAndFactoryRestoreResetsConfiguration) {
    ManualBus m;
    ASSERT_TRUE(m.bus.add_actuator(0x20));
    m.bus.deliver(0x20, {0x07, 0x4C});
    m.bus.deliver(0x20, {0x06, 10, 0, 0, 0});
    m.bus.deliver(0x20, {0xC1});
    m.advance(std::chrono::milliseconds(10));
    m.bus.deliver(0x20, {0x40});
    EXPECT_FALSE(m.bus.raise_errors(0x20, 1));
    EXPECT_TRUE(m.take().empty());
    EXPECT_TRUE(m.bus.device_info(0x20)->silent);

    ASSERT_TRUE(m.bus.reset_device(0x20));
    m.bus.deliver(0x20, {0x40});
    m.advance(std::chrono::milliseconds(10));
    EXPECT_EQ(m.take().size(), 1u);  // the identity report; streaming did not survive the reset

    // Configure, move and stream, then restore the factory configuration.
    m.bus.deliver(0x20, {0x01});
    m.bus.deliver(0x20, with_float({0x0B, 0x04}, 3.0f));
    const float nan = std::nanf("");
    m.bus.deliver(0x20, command(0x14, {1.0f, nan, 9.0f, nan, nan, nan, nan, nan}));
    m.bus.deliver(0x20, {0x07, 0x4C});
    m.bus.deliver(0x20, {0x06, 10, 0, 0, 0});
    ASSERT_TRUE(m.bus.raise_errors(0x20, 1));
    m.advance(std::chrono::milliseconds(100));
    const float moved = *m.bus.inspect(0x20, [](auto& a) { return a.position; });
    EXPECT_GT(moved, 0.0f);
    m.bus.deliver(0x20, {0xC2});
    m.take();
    m.advance(std::chrono::milliseconds(100));
    EXPECT_TRUE(m.take().empty());
    const auto info = *m.bus.device_info(0x20);
    EXPECT_EQ(info.stream_period_ticks, 0u);
    EXPECT_EQ(info.error_bits, 0u);
    m.bus.with_actuator(0x20, [&](OrvexActuatorVirtual& a) {
        EXPECT_FALSE(a.enabled);
        EXPECT_EQ(a.mode, OrvexActuatorVirtual::Mode::POSITION);
        EXPECT_EQ(a.param_or_nan(Parameters::LIMIT_TORQUE), 0.0f);
        EXPECT_EQ(a.parameters.size(), 12u);
        EXPECT_EQ(a.position, moved);  // the plant is physical and stays where it is
    });
}

TEST(SimulatedBus, SetpointFormsMoveThePlantAndMalformedCommandsAreIgnored) {
    ManualBus m;
    ASSERT_TRUE(m.bus.add_actuator(0x20));
    const float nan = std::nanf("");
    const std::vector<uint8_t> position = command(0x13, {1.0f, nan, nan, nan, nan, nan});
    m.bus.deliver(0x20, {0x01});
    m.bus.deliver(0x20, position);
    m.advance(std::chrono::milliseconds(500));  // ten time constants
    EXPECT_NEAR(*m.bus.inspect(0x20, [](auto& a) { return a.position; }), 1.0f, 1e-3f);

    // Internal speed form: its first value is the speed setpoint.
    m.bus.deliver(0x20, command(0x15, {-3.0f, 1.0f, 2.0f, 4.0f}));
    m.bus.with_actuator(0x20, [](OrvexActuatorVirtual& a) {
        EXPECT_EQ(a.mode, OrvexActuatorVirtual::Mode::SPEED);
        EXPECT_EQ(a.setpoint, -3.0f);
    });

    // Too short for their command, empty or unknown: nothing changes and nothing answers.
    m.bus.deliver(0x20, {0x04, 0x00, 0x00, 0x80});
    m.bus.deliver(0x20, std::vector<uint8_t>(position.begin(), position.end() - 1));
    m.bus.deliver(0x20, {0x03});
    m.bus.deliver(0x20, {0x06, 10, 0, 0});
    m.bus.deliver(0x20, {});
    m.bus.deliver(0x20, {0x05, 1, 2, 3});
    m.advance(std::chrono::milliseconds(10));
    EXPECT_TRUE(m.take().empty());
    m.bus.with_actuator(0x20, [](OrvexActuatorVirtual& a) {
        EXPECT_EQ(a.mode, OrvexActuatorVirtual::Mode::SPEED);
        EXPECT_EQ(a.setpoint, -3.0f);
    });
    EXPECT_EQ(m.bus.device_info(0x20)->stream_period_ticks, 0u);
}

TEST(SimulatedBus, ALongStallSendsOnlyTheCatchUpWindow) {
    ManualBus m;
    ASSERT_TRUE(m.bus.add_actuator(0x20));
    m.bus.deliver(0x20, {0x07, 0x4C});
    m.bus.deliver(0x20, {0x06, 10, 0, 0, 0});
    m.advance(std::chrono::seconds(2));  // 2000 frames fell due at once
    const auto stats = m.bus.stats();
    EXPECT_EQ(stats.frames_sent + stats.frames_skipped, 2000u);
    EXPECT_EQ(stats.frames_sent, SimulatedBus::kMaxCatchUpTicks / 10 + 1);
    EXPECT_EQ(m.take().size(), stats.frames_sent);
    EXPECT_EQ(m.bus.ticks(), 20000u);
}

}  // namespace
