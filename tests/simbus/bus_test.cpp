// The simulated bus on its own: what each device answers, byte for byte, and when streamed
// frames fall due, under a clock the test moves by hand.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "oxl_api/simulated_bus.hpp"

namespace {

using oxl_api::OrvexActuatorVirtual;
using oxl_api::SimMessage;
using oxl_api::SimulatedBus;
using Mode = OrvexActuatorVirtual::Mode;
using Parameters = OrvexActuatorVirtual::OXL_Parameters;
using std::chrono::milliseconds;
const float kNan = std::nanf("");

using Texts = std::vector<std::string>;

// "id/reply flag/payload", id and payload in hex.
std::string describe(const SimMessage& m) {
    char text[16];
    std::snprintf(text, sizeof text, "%x/%d/", m.id, m.reply_flag);
    std::string out = text;
    for (const uint8_t b : m.payload) {
        std::snprintf(text, sizeof text, "%02x", b);
        out += text;
    }
    return out;
}

// A message: each integer argument is one byte, each float its four bytes (the host is
// little-endian, as the wire is).
template <class... Parts>
std::vector<uint8_t> msg(Parts... parts) {
    std::vector<uint8_t> out;
    const auto put = [&out](auto part) {
        if constexpr (std::is_same_v<decltype(part), float>) {
            uint8_t raw[4];
            std::memcpy(raw, &part, 4);
            out.insert(out.end(), raw, raw + 4);
        } else {
            out.push_back(static_cast<uint8_t>(part));
        }
    };
    (put(parts), ...);
    return out;
}

float float_at(const std::vector<uint8_t>& bytes, std::size_t at) {
    float value = 0.0f;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

// A bus whose clock only moves when the test says so, and whose output is recorded.
class SimBus : public testing::Test {
  protected:
    void advance(std::chrono::microseconds by) {
        now_ns += std::chrono::duration_cast<std::chrono::nanoseconds>(by).count();
        bus.poll();
    }
    std::vector<SimMessage> take_raw() { return std::exchange(sent, {}); }
    Texts take() {
        Texts out;
        for (const auto& m : take_raw()) {
            out.push_back(describe(m));
        }
        return out;
    }
    // Streams `items` from `address` every `period` ticks.
    void stream(int address, std::vector<uint8_t> items, uint8_t period) {
        items.insert(items.begin(), 0x07);
        bus.deliver(address, items);
        bus.deliver(address, msg(0x06, period, 0, 0, 0));
    }

    // Everything runs on the test thread: the sink is called on the thread that calls the bus.
    int64_t now_ns = 1'000'000'000;
    std::vector<SimMessage> sent;
    SimulatedBus bus{[this](std::vector<SimMessage> batch) {
                         sent.insert(sent.end(), batch.begin(), batch.end());
                     },
                     [this] { return std::chrono::nanoseconds(now_ns); }};
};

TEST_F(SimBus, PingsAndAddressWritesAnswerFromTheDevicesOwnAddress) {
    bus.set_adapter_firmware(0x0842);
    ASSERT_TRUE(bus.add_actuator(0x20, 3, 0xFFFF));
    ASSERT_TRUE(bus.add_actuator(0x21));
    for (const int refused : {0x20, 0x0F, 0x3FFF}) {  // taken, below and above the actuator range
        EXPECT_FALSE(bus.add_actuator(refused, 1, 0)) << refused;
    }
    for (const int id : {0, 0x20, 0x22}) {  // nobody at 0x22
        bus.deliver(id, {0x40});
    }
    EXPECT_EQ(take(), (Texts{"0/1/8005004208", "20/1/800300ffff"}));  // the adapter: model 5

    // A taken, non-actuator or NaN address is refused; LIMIT_TORQUE in the same message is not.
    for (const float refused : {33.0f, 5.0f, kNan}) {
        bus.deliver(0x20, msg(0x0B, 0x81, refused, 0x04, 3.0f));
    }
    EXPECT_EQ(bus.addresses(), (std::vector<int>{0x20, 0x21}));
    EXPECT_EQ(bus.inspect(0x20, [](auto& a) { return a.param_or_nan(Parameters::LIMIT_TORQUE); }),
              3.0f);
    bus.deliver(0x20, msg(0x0B, 0x81, 64.9f));
    EXPECT_EQ(bus.addresses(), (std::vector<int>{0x21, 0x40}));
    bus.deliver(0x20, {0x40});
    bus.deliver(0x40, {0x40});
    EXPECT_EQ(take(), Texts{"40/1/800300ffff"});
    EXPECT_EQ(bus.inspect(0x40, [](auto& a) { return a.address; }), 0x40);
    EXPECT_EQ(bus.inspect(0x40, [](auto& a) { return a.param_or_nan(Parameters::ADDRESS); }),
              64.0f);  // kept whole, as the id it answers from
}

TEST_F(SimBus, StreamsSelectedItemsOnTheirPeriodReportsErrorsAndStops) {
    ASSERT_TRUE(bus.add_actuator(0x20));
    advance(std::chrono::microseconds(1500));          // streaming starts at tick 15
    stream(0x20, {0x72, 0x4E, 0x90, 0x72, 0x4A}, 10);  // every 10 ticks = 1 kHz
    // Duplicates and the non-item 0x4E are left out; order is kept.
    ASSERT_EQ(bus.device_info(0x20)->stream_items, (std::vector<uint8_t>{0x72, 0x90, 0x4A}));
    // 25.0 winding temperature as float bits, ERRORS 0 as u32, ITEM_4A 0 as i32; not replies.
    const std::string frame = "20/0/720000c84190000000004a00000000";
    // The first frame falls on the next multiple of the period (tick 20), then one per period.
    advance(std::chrono::microseconds(400));
    EXPECT_EQ(take(), Texts{});
    advance(std::chrono::microseconds(100));
    EXPECT_EQ(take(), Texts{frame});
    advance(milliseconds(99));
    EXPECT_EQ(take(), Texts(99, frame));

    // Raised errors are reported at once and then show in ERRORS, bit for bit; a second raise
    // adds its bits to those of the first.
    ASSERT_TRUE(bus.raise_errors(0x20, 0x80000001u));
    ASSERT_TRUE(bus.raise_errors(0x20, 0x00010000u));
    advance(milliseconds(1));
    EXPECT_EQ(take(),
              (Texts{"20/0/8201000080", "20/0/8200000100", "20/0/720000c84190010001804a00000000"}));

    bus.deliver(0x20, msg(0x06, 0, 0, 0, 0));
    advance(milliseconds(50));
    EXPECT_EQ(take(), Texts{});
    EXPECT_EQ(bus.stats().frames_sent, 101u);
}

TEST_F(SimBus, FramesCarryTheStateOfTheirTickAndSplitAfterElevenEntries) {
    ASSERT_TRUE(bus.add_actuator(0x30));
    bus.deliver(0x30, {0x01});
    bus.deliver(0x30, {0x03, 6});        // speed mode
    bus.deliver(0x30, msg(0x04, 2.0f));  // position grows 0.0002 a tick
    stream(0x30, {0x4C, 0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A}, 100);
    advance(milliseconds(25));  // 250 ticks: frames at 100 and 200
    const auto out = take_raw();
    ASSERT_EQ(out.size(), 4u);
    for (std::size_t frame = 0; frame < 2; ++frame) {
        const auto& head = out[2 * frame].payload;
        const auto& tail = out[2 * frame + 1].payload;
        ASSERT_EQ(head.size(), 55u);
        ASSERT_EQ(tail.size(), 5u);
        EXPECT_EQ(head[0], 0x4C);
        EXPECT_EQ(tail[0], 0x5A);
        EXPECT_NEAR(float_at(head, 1), 0.02f * static_cast<float>(frame + 1), 1e-5f);
        EXPECT_EQ(float_at(tail, 1), 0.0f);  // POWER_5A: speed 2.0 times no load
    }
}

TEST_F(SimBus, ALongStallSendsOnlyTheCatchUpWindow) {
    ASSERT_TRUE(bus.add_actuator(0x20));
    stream(0x20, {0x4C}, 10);
    advance(std::chrono::seconds(2));  // 2000 frames fell due at once
    const auto stats = bus.stats();
    EXPECT_EQ(stats.frames_sent + stats.frames_skipped, 2000u);
    EXPECT_EQ(stats.frames_sent, SimulatedBus::kMaxCatchUpTicks / 10 + 1);
    EXPECT_EQ(take().size(), stats.frames_sent);
    EXPECT_EQ(bus.ticks(), 20000u);
}

TEST_F(SimBus, ItemRequestsAndParameterReadsAnswerInTheClientEncodings) {
    ASSERT_TRUE(bus.add_actuator(0x20));
    bus.deliver(0x20, {0x0F, 0x4C, 0x4E, 0x70});
    bus.deliver(0x20, {0x0C, 0x80, 0x81, 0x30, 0x02, 0x00, 0x85});
    bus.deliver(0x20, {0x0F, 0x4E});  // nothing valid asked: no answer
    // PARAM_80 as u32 20000, ADDRESS 32.0, MODE 7.0 as float bits, absent K_STIFF as NaN bits.
    EXPECT_EQ(take(), (Texts{"20/1/4c000000007000004042",
                             "20/1/8380204e00008100000042300000e040020000c07f8500000000"}));
    // The request did not disturb the simulation's own selection.
    EXPECT_EQ(bus.inspect(0x20, [](auto& a) { return a.feedback_items.size(); }), 3u);

    // Unsigned parameters saturate and round; never undefined for NaN or huge values.
    bus.deliver(0x20, msg(0x0B, 0x80, -5.0f, 0x82, 1e20f, 0x83, kNan, 0x84, 3.6f));
    bus.deliver(0x20, {0x0C, 0x80, 0x82, 0x83, 0x84});
    EXPECT_EQ(take(), Texts{"20/1/83800000000082ffffffff83000000008404000000"});

    // Twelve parameter codes need two reports. Twelve item codes are answered in one message
    // (the client's wait ends at the first): the first 11, the most one message holds.
    bus.deliver(0x20, {0x0C, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    bus.deliver(0x20,
                {0x0F, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C});
    const auto out = take_raw();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].payload.size(), 56u);
    EXPECT_EQ(out[1].payload.size(), 6u);
    ASSERT_EQ(out[2].payload.size(), 55u);
    EXPECT_EQ(out[2].payload[50], 0x4B);
}

TEST_F(SimBus, BootloaderSilencesUntilResetAndFactoryRestoreResetsConfiguration) {
    ASSERT_TRUE(bus.add_actuator(0x20));
    stream(0x20, {0x4C}, 10);
    bus.deliver(0x20, {0xC1});
    advance(milliseconds(10));
    bus.deliver(0x20, {0x40});
    EXPECT_FALSE(bus.raise_errors(0x20, 1));
    EXPECT_EQ(take(), Texts{});
    EXPECT_TRUE(bus.device_info(0x20)->silent);

    ASSERT_TRUE(bus.reset_device(0x20));
    bus.deliver(0x20, {0x40});
    advance(milliseconds(10));
    EXPECT_EQ(take().size(), 1u);  // the identity report; streaming did not survive the reset

    // Configure, move and stream, then restore the factory configuration.
    bus.deliver(0x20, {0x01});
    bus.deliver(0x20, msg(0x0B, 0x04, 3.0f));
    bus.deliver(0x20, msg(0x14, 1.0f, kNan, 9.0f, kNan, kNan, kNan, kNan, kNan));
    stream(0x20, {0x4C}, 10);
    ASSERT_TRUE(bus.raise_errors(0x20, 1));
    advance(milliseconds(100));
    const float moved = *bus.inspect(0x20, [](auto& a) { return a.position; });
    EXPECT_GT(moved, 0.0f);
    bus.deliver(0x20, {0xC2});
    take_raw();
    advance(milliseconds(100));
    EXPECT_EQ(take(), Texts{});
    const auto info = *bus.device_info(0x20);
    EXPECT_EQ(info.stream_period_ticks, 0u);
    EXPECT_EQ(info.error_bits, 0u);
    bus.with_actuator(0x20, [&](OrvexActuatorVirtual& a) {
        EXPECT_FALSE(a.enabled);
        EXPECT_EQ(a.mode, Mode::POSITION);
        EXPECT_EQ(a.param_or_nan(Parameters::LIMIT_TORQUE), 0.0f);
        EXPECT_EQ(a.parameters.size(), 12u);
        EXPECT_EQ(a.position, moved);  // the plant is physical and stays where it is
    });
}

TEST_F(SimBus, SetpointFormsMoveThePlantAndMalformedCommandsAreIgnored) {
    ASSERT_TRUE(bus.add_actuator(0x20));
    const auto position = msg(0x13, 1.0f, kNan, kNan, kNan, kNan, kNan);
    bus.deliver(0x20, {0x01});
    bus.deliver(0x20, position);
    advance(milliseconds(500));  // ten time constants
    EXPECT_NEAR(*bus.inspect(0x20, [](auto& a) { return a.position; }), 1.0f, 1e-3f);
    bus.deliver(0x20, msg(0x15, -3.0f, 1.0f, 2.0f, 4.0f));  // internal form: speed comes first

    // Too short for their command, empty or unknown: nothing changes and nothing answers.
    const std::vector<uint8_t> short_position(position.begin(), position.end() - 1);
    for (const auto& ignored : std::vector<std::vector<uint8_t>>{
             {0x04, 0, 0, 0x80}, short_position, {0x03}, {0x06, 10, 0, 0}, {}, {0x05, 1, 2, 3}}) {
        bus.deliver(0x20, ignored);
    }
    advance(milliseconds(10));
    EXPECT_EQ(take(), Texts{});
    bus.with_actuator(0x20, [](OrvexActuatorVirtual& a) {
        EXPECT_EQ(a.mode, Mode::SPEED);
        EXPECT_EQ(a.setpoint, -3.0f);
    });
    EXPECT_EQ(bus.device_info(0x20)->stream_period_ticks, 0u);
}

}  // namespace
