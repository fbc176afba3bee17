// Requests answered from the device thread while the application waits (ping, items,
// parameters, with their time-outs and chunking), and the cross-thread lifetime rules.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

#include "actuator_test_util.hpp"

namespace oxl_test {
namespace {

using ParameterMap = OrvexActuator::ParameterMap;
using Strings = std::vector<std::string>;
using std::chrono::milliseconds;

TEST(Requests, PingAndItemsAreAnsweredFromTheDeviceThread) {
    LoopbackOXL bus;
    ScriptedDevice dev;
    dev.model_code = 4;
    dev.delay = milliseconds(20);
    dev.items = {{0x45, float_word(1.5f)}, {0x90, 7u}, {0x4A, 0xFFFFFFFEu}};
    bus.add_device(0x20, dev);
    OrvexActuator act(bus, 0x20);
    OrvexActuator other(bus, 0x21);
    EXPECT_TRUE(act.connect(5.0f));
    EXPECT_EQ(act.model, "DORVA");
    EXPECT_EQ(act.firmware, "1.1.2");
    EXPECT_FALSE(act.connect(0.0f)) << "a zero time-out fails at once, whatever arrived before";
    EXPECT_FALSE(act.connected);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(other.send_ping(0.2f)) << "0x20's report is no answer for 0x21";
    EXPECT_GE(seconds_since(start), 0.2);

    std::vector<Item> twelve;  // 0x41 to 0x4C: only the first 9 are requested
    for (uint8_t code = 0x41; code <= 0x4C; ++code) {
        twelve.push_back(static_cast<Item>(code));
    }
    bus.clear_sent();
    EXPECT_EQ(act.getItemsBlocking(twelve, 5.0f),
              (OrvexActuator::FeedbackMap{{Item::SPEED_45, 1.5f}}));
    EXPECT_EQ(act.getItemsBlocking({Item::ERRORS, Item::ITEM_4A}, 5.0f),
              (OrvexActuator::FeedbackMap{{Item::ERRORS, 7.0f}, {Item::ITEM_4A, -2.0f}}));
    EXPECT_TRUE(act.get_feedback().empty());
    testing::internal::CaptureStderr();
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(act.getItemsBlocking({Item::SPEED_45}, 0.0f).empty());
    ASSERT_TRUE(bus.wait_idle(std::chrono::seconds(5)));  // else the late reply ends the next wait
    EXPECT_TRUE(act.getItemsBlocking({Item::VBUS}, 0.1f).empty());  // not held: no reply
    EXPECT_GE(seconds_since(start), 0.1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Timeout waiting for feedback items\nTimeout waiting for feedback items\n");
    EXPECT_EQ(sent_hex(bus), (Strings{"0f414243444546474849", "0f904a", "0f45", "0f70"}));
}

TEST(Requests, ParameterChunksGoOutOneAfterTheOther) {
    LoopbackOXL bus;
    ScriptedDevice dev;
    dev.delay = milliseconds(5);
    for (uint8_t code = 1; code <= 0x0F; ++code) {
        dev.parameters[code] = float_word(code);
    }
    bus.add_device(0x20, dev);
    OrvexActuator act(bus, 0x20);

    // The third chunk finds no value on the device: its time-out ends the chain, and the cache
    // filled by the first two is still returned.
    testing::internal::CaptureStderr();
    ParameterMap got = act.get_parameters_all();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Timeout waiting for parameters\n");
    EXPECT_EQ(sent_hex(bus),
              (Strings{"0c010203040506070809", "0c0a0b0c0d0e0f303140", "0c414243444546478081"}));
    EXPECT_EQ(got.size(), 15u);
    EXPECT_EQ(got.at(Param::PROFILE_SPEED_MIN), 12.0f);

    for (uint8_t code : {0x30, 0x31, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x80, 0x81,
                         0x82, 0x83, 0x84, 0x85}) {
        dev.parameters[code] = 1u;
    }
    bus.add_device(0x20, dev);
    bus.clear_sent();
    EXPECT_EQ(act.get_parameters_all().size(), 31u);
    const auto sent = bus.sent();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(hex(sent[3].payload), "0c82838485");
    for (std::size_t i = 1; i < sent.size(); ++i) {
        EXPECT_GE(sent[i].when - sent[i - 1].when, dev.delay) << "sent before the answer";
    }

    // A silent device: the first chunk times out, nothing more is asked, the result is empty.
    dev.answers_parameters = false;
    bus.add_device(0x20, dev);
    bus.clear_sent();
    testing::internal::CaptureStderr();
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(act.get_parameters({}, 0.0f).empty());
    EXPECT_TRUE(act.get_parameters(std::vector<Param>(10, Param::K_DAMP), 0.1f).empty());
    EXPECT_GE(seconds_since(start), 0.1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Timeout waiting for parameters\nTimeout waiting for parameters\n");
    EXPECT_EQ(sent_hex(bus), (Strings{"0c", "0c010101010101010101"}));
}

TEST(Requests, ParameterAnswersAreConvertedByCode) {
    struct Case {
        std::string answer;
        ParameterMap expected;  // empty: the answer must not end the wait
    };
    const auto f = [](float v) { return hex_word(float_word(v)); };
    const std::vector<Case> cases = {
        {"83 30" + f(2.7f), {{Param::MODE, 2.0f}}},
        {"83 30" + f(-2.7f), {{Param::MODE, -2.0f}}},
        {"83 30" + f(NAN), {{Param::MODE, 0.0f}}},
        {"83 30" + f(1e10f) + "01" + f(-1e10f),
         {{Param::MODE, 2147483648.0f}, {Param::K_DAMP, -1e10f}}},
        {"83 30" + f(-1e10f), {{Param::MODE, -2147483648.0f}}},
        {"83 80 204e0000 84 ffffffff",
         {{Param::PARAM_80, 20000.0f}, {Param::PARAM_84, 4294967296.0f}}},
        {"83 81 204e0000 77" + f(-3.5f),
         {{Param::ADDRESS, 2.8026e-41f}, {static_cast<Param>(0x77), -3.5f}}},
        {"83 04 00004040 05 00", {{Param::LIMIT_TORQUE, 3.0f}}},  // 2 trailing bytes ignored
        {"45 0000803f 83 04 00004040", {{Param::LIMIT_TORQUE, 3.0f}}},
        {"83 00 0000803f", {}},
        {"83 04 000040", {}},
    };
    for (const auto& c : cases) {
        LoopbackOXL bus;
        ScriptedDevice dev;
        dev.parameter_answer = unhex(c.answer);
        bus.add_device(0x20, dev);
        OrvexActuator act(bus, 0x20);
        testing::internal::CaptureStderr();
        const ParameterMap got =
            act.get_parameters({Param::MODE}, c.expected.empty() ? 0.1f : 5.0f);
        testing::internal::GetCapturedStderr();
        ASSERT_EQ(got.size(), c.expected.size()) << c.answer;
        for (const auto& e : c.expected) {
            EXPECT_FLOAT_EQ(got.at(e.first), e.second) << c.answer;
        }
        EXPECT_TRUE(act.get_feedback().empty());
    }
}

TEST(Threads, FeedbackCallbackReplacedWhileFramesStream) {
    LoopbackOXL bus;
    OrvexActuator act(bus, 0x20);
    std::atomic<int> calls{0}, frames{0};
    std::atomic<bool> stop{false};
    std::vector<uint8_t> frame = unhex("45 00000000 72 0000c841");
    auto send_frame = [&](int i) {
        const float v = static_cast<float>(i);
        std::memcpy(&frame[1], &v, 4);
        bus.deliver(0x20, frame);
    };
    std::thread receiver([&] {
        while (!stop) {
            send_frame(++frames);
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (frames == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    for (int i = 0; i < 300; ++i) {
        act.set_feedback_callback([&calls](int, OrvexActuator::FeedbackMap m) {
            calls += static_cast<int>(m.size()) / 2;
        });
        act.set_feedback_callback(nullptr);
        act.set_feedback_callback([&calls](int, OrvexActuator::FeedbackMap) { calls++; });
        (void)act.get_feedback();
    }
    stop = true;
    receiver.join();
    EXPECT_LE(calls.load(), frames.load()) << "at most one callback per frame";
    const int before = calls;
    send_frame(frames + 1);
    EXPECT_EQ(calls, before + 1);
    EXPECT_EQ(act.get_feedback().at(Item::SPEED_45), static_cast<float>(frames + 1));
}

TEST(Threads, CallbacksLeftUnderOtherIdsOutliveTheirObjectHarmlessly) {
    LoopbackOXL bus;
    std::atomic<bool> stop{false};
    std::thread receiver;
    {
        auto act = std::make_unique<OrvexActuator>(bus, 0x20);
        act->changeAddress(0x30);
        testing::internal::CaptureStderr();
        receiver = std::thread([&] {
            while (!stop) {
                bus.deliver(0x20, unhex("45 0000803f"));
                bus.deliver(0x20, unhex("82 00000100"));  // the default callback sends stop
            }
        });
        EXPECT_TRUE(bus.wait_for_sent(3, std::chrono::seconds(5)));
        act.reset();  // removes only 0x30, while frames keep arriving for 0x20
        stop = true;
        receiver.join();
        EXPECT_NE(testing::internal::GetCapturedStderr().find(
                      "Actuator 0x30 Error code: 16 - Current maximum\n"),
                  std::string::npos);
    }
    ASSERT_EQ(bus.registered_ids(), std::vector<int>{0x20});
    bus.clear_sent();
    EXPECT_TRUE(bus.deliver(0x20, unhex("82 00000100")));
    EXPECT_TRUE(bus.sent().empty()) << "the stray callback must not act for a destroyed object";
}

}  // namespace
}  // namespace oxl_test
