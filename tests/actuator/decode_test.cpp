// Decoding of everything an actuator sends: item classes and framing, identity, errors, and
// survival of malformed input and throwing callbacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdexcept>

#include "actuator_test_util.hpp"

namespace oxl_test {
namespace {

using FeedbackMap = OrvexActuator::FeedbackMap;

// An actuator at 0x10 whose feedback callback records every call. What the callback touches is
// declared before the actuator.
struct Decoding : testing::Test {
    std::vector<FeedbackMap> calls;
    LoopbackOXL bus;
    OrvexActuator act{bus, 0x10};

    void SetUp() override {
        act.set_feedback_callback([this](int addr, FeedbackMap m) {
            EXPECT_EQ(addr, 0x10);
            calls.push_back(m);
        });
    }
    void deliver(const std::string& payload, int reply_flag = 0) {
        bus.deliver(0x10, unhex(payload), reply_flag);
    }
};

TEST_F(Decoding, FramesReachTheCallbackAndAccumulateInFeedback) {
    const std::vector<std::pair<std::string, FeedbackMap>> frames = {
        {"45 0000803f 72 0000c841", {{Item::SPEED_45, 1.0f}, {Item::TEMP_WINDING, 25.0f}}},
        {"45 00000040 45 00004040", {{Item::SPEED_45, 3.0f}}},  // the last repeat wins
        {"90 05000000 4a ffffffff 42 ffffffff 60 00000080 49 000080bf",
         {{Item::ERRORS, 5.0f},
          {Item::ITEM_4A, -1.0f},
          {Item::ITEM_42, 4294967296.0f},
          {Item::ITEM_60, 2147483648.0f},
          {Item::TORQUE_49, -1.0f}}},
        {"73 0000803f 49 000000", {{Item::POSITION_73, 1.0f}}},       // 3 value bytes: list end
        {"71 0000c841 00 4e ffff", {{Item::TEMPERATURE_71, 25.0f}}},  // 0x00 ends the list
        {"45", {}},
        {"80 0200 42", {}},  // an identity report too short to read
    };
    FeedbackMap accumulated;
    for (const auto& f : frames) {
        deliver(f.first);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), f.second) << f.first;
        for (const auto& e : f.second) {
            accumulated[e.first] = e.second;
        }
    }
    EXPECT_EQ(calls.size(), frames.size());
    EXPECT_EQ(act.get_feedback(), accumulated);

    // Neither a reply-flagged message nor one with an unknown code touches feedback or the
    // callback; the unknown code drops the entries decoded before it too.
    calls.clear();
    testing::internal::CaptureStderr();
    deliver("41 0000803f", 1);
    deliver("41 0000803f 72 0000c841 4e 00000000");
    deliver("07 00000000");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Unknown command 0x4e\nUnknown command 0x7\n");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(act.get_feedback(), accumulated);

    // An exception from the callback passes out after the state was stored, and the next frame
    // finds the object usable.
    act.set_feedback_callback([](int, FeedbackMap) { throw std::runtime_error("app fault"); });
    EXPECT_THROW(deliver("45 0000e040"), std::runtime_error);
    EXPECT_EQ(act.get_feedback().at(Item::SPEED_45), 7.0f);
    act.set_feedback_callback(nullptr);
    deliver("45 00000041");
    EXPECT_EQ(act.get_feedback().at(Item::SPEED_45), 8.0f);
}

TEST_F(Decoding, SamplesCarryReceiveTimeSequenceAndItemsAndGapsAreCountedFromThePeriod) {
    using Sample = OrvexActuator::FeedbackSample;
    std::vector<Sample> samples;
    act.set_feedback_sample_callback([&](int addr, const Sample& sample) {
        EXPECT_EQ(addr, 0x10);
        samples.push_back(sample);
    });
    act.setFeedbackRate(1000);  // one frame per millisecond
    // Frames due every 1 ms arrive up to 0.2 ms early or late; those at the listed places are
    // lost: 15 in gaps of 1, 3, 10 and 1 frames.
    const std::set<int> lost = {5, 20, 21, 22, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 98};
    const int64_t ms = 1000000;
    std::vector<int64_t> times;
    for (int k = 0; k < 100; ++k) {
        if (lost.count(k) == 0) {
            times.push_back(5000 * ms + k * ms + (k % 5 - 2) * ms / 10);
            bus.deliver(0x10, unhex("45" + hex_float(static_cast<float>(k)) + "72 0000c841"), 0,
                        times.back());
        }
    }
    int64_t largest = 0;
    for (std::size_t i = 1; i < times.size(); ++i) {
        largest = std::max(largest, times[i] - times[i - 1]);
    }
    auto counters = act.get_feedback_counters();
    EXPECT_EQ(counters.frames_received, 85u);
    EXPECT_EQ(counters.frames_missing, 15u);
    EXPECT_EQ(counters.largest_gap_ns, largest);
    EXPECT_EQ(counters.period_ns, ms);

    // Every frame reached both callbacks; the samples carry the transport's receive times, a
    // sequence without holes (the device's frames are not numbered) and the frame's items.
    ASSERT_EQ(samples.size(), 85u);
    EXPECT_EQ(calls.size(), 85u);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].receive_time_ns, times[i]);
        EXPECT_EQ(samples[i].sequence, i + 1);
        ASSERT_EQ(samples[i].count, 2u);
        EXPECT_EQ(samples[i].items[1].item, Item::TEMP_WINDING);
        EXPECT_EQ(samples[i].value_or(Item::SPEED_45, -1.0f), calls[i].at(Item::SPEED_45));
    }
    EXPECT_EQ(samples.back().value_or(Item::SPEED_45, -1.0f), 99.0f);
    EXPECT_EQ(samples.back().find(Item::VBUS), nullptr);
    const Sample latest = act.get_feedback_sample();
    EXPECT_EQ(latest.sequence, 85u);
    EXPECT_EQ(latest.receive_time_ns, times.back());
    EXPECT_EQ(std::vector<float>({latest.items[0].value, latest.items[1].value}),
              std::vector<float>({99.0f, 25.0f}));

    // A new rate starts the counts afresh; without a period nothing is estimated missing. A
    // refused rate keeps them. Reply-flagged items are no streamed frame.
    act.setFeedbackRate(0);
    bus.deliver(0x10, unhex("45 00000000"), 0, 9000 * ms);
    bus.deliver(0x10, unhex("45 00000000"), 0, 9050 * ms);
    bus.deliver(0x10, unhex("45 00000000"), 1, 9060 * ms);
    testing::internal::CaptureStderr();
    act.setFeedbackRate(-1);
    testing::internal::GetCapturedStderr();
    counters = act.get_feedback_counters();
    EXPECT_EQ(counters.frames_received, 2u);
    EXPECT_EQ(counters.frames_missing, 0u);
    EXPECT_EQ(counters.largest_gap_ns, 50 * ms);
    EXPECT_EQ(counters.period_ns, 0);
    EXPECT_EQ(act.get_feedback_sample().sequence, 87u);

    // A message longer than one frame, decoded outside any dispatch: the sample keeps the first
    // 11 items and has no receive time; the feedback callback gets all 12.
    std::string twelve;
    for (uint8_t code = 0x41; code <= 0x4C; ++code) {
        twelve += hex({code}) + "0000803f";
    }
    act.can_callback(0x10, unhex(twelve), 0);
    EXPECT_EQ(samples.back().count, OrvexActuator::kMaxItemsPerFrame);
    EXPECT_EQ(samples.back().receive_time_ns, 0);
    EXPECT_EQ(samples.back().items[10].item, Item::SETPOINT_4B);
    EXPECT_EQ(calls.back().size(), 12u);

    // The latest sample is the frame as delivered: frame order, a repeated code's last value, and
    // the slots the longer frame before it used cleared.
    deliver("72 0000c841 45 0000803f 72 00002042");
    const Sample last = act.get_feedback_sample();
    ASSERT_EQ(last.count, 2u);
    EXPECT_EQ(last.items[0].item, Item::TEMP_WINDING);
    EXPECT_EQ(last.items[0].value, 40.0f);
    EXPECT_EQ(last.items[1].item, Item::SPEED_45);
    EXPECT_EQ(last.items[1].value, 1.0f);
    for (std::size_t i = 2; i < last.items.size(); ++i) {
        EXPECT_EQ(static_cast<int>(last.items[i].item), 0) << i;
        EXPECT_EQ(last.items[i].value, 0.0f) << i;
    }

    // Either callback throwing: the other one still sees the frame, then the exception passes.
    act.set_feedback_sample_callback([](int, const Sample&) { throw std::runtime_error("app"); });
    const std::size_t before = calls.size();
    EXPECT_THROW(deliver("45 0000803f"), std::runtime_error);
    EXPECT_EQ(calls.size(), before + 1);
    act.set_feedback_sample_callback([&](int, const Sample& sample) { samples.push_back(sample); });
    act.set_feedback_callback([](int, FeedbackMap) { throw std::runtime_error("app"); });
    EXPECT_THROW(deliver("45 0000803f"), std::runtime_error);
    EXPECT_EQ(samples.back().sequence, 91u);
}

TEST_F(Decoding, IdentityReportSetsModelFirmwareAndPingFlag) {
    deliver("80 0200 4208");
    EXPECT_EQ(act.model + " " + act.firmware, "BRISO 1.1.2");
    EXPECT_TRUE(act.ping_answered);
    deliver("80 0300 ffff 45 0000803f");  // what follows the report is not read
    EXPECT_EQ(act.model + " " + act.firmware, "CALDE 31.31.63");
    deliver("80 0b00 0000");  // an unknown model code
    EXPECT_EQ(act.model + " " + act.firmware, " 0.0.0");
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(act.get_feedback().empty());
}

TEST_F(Decoding, ErrorsArePrintedAndStopOrGoToTheUserCallbackInBitOrder) {
    testing::internal::CaptureStderr();
    deliver("82 01000000");
    deliver("82 02000000");  // bit 1 has no description: nothing at all
    deliver("82 000001");    // cut short: not read
    deliver("82 00000100");
    act.parse_errors(0xE0000001u);
    const std::string stopping = "Actuator 0x10 Stopping (override error_callback to change)\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Actuator 0x10 Error code: 0 - Overtemperature\n"
              "Actuator 0x10 Error code: 16 - Current maximum\n" +
                  stopping +
                  "Actuator 0x10 Error code: 0 - Overtemperature\n"
                  "Actuator 0x10 Error code: 29 - VBUS critical range\n" +
                  stopping + "Actuator 0x10 Error code: 30 - Internal encoder error\n" + stopping +
                  "Actuator 0x10 Error code: 31 - External encoder error\n" + stopping);
    EXPECT_EQ(sent_hex(bus), Strings(4, "02"));

    // The printed order comes from sorting the bits, not from how the map iterates.
    OrvexActuator::ErrorMap unordered;
    unordered.reserve(32);
    for (const int bit : {0, 5, 12}) {
        unordered.emplace(bit, "text " + std::to_string(bit));
    }
    ASSERT_NE(unordered.begin()->first, 0) << "the case needs a map that does not start at bit 0";
    testing::internal::CaptureStderr();
    act.default_error_callback(0x10, unordered);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Actuator 0x10 Error code: 0 - text 0\nActuator 0x10 Error code: 5 - text 5\n"
              "Actuator 0x10 Error code: 12 - text 12\n");

    // A user callback replaces printing and stopping; an empty one switches reporting off.
    bus.clear_sent();
    std::vector<std::vector<std::pair<int, std::string>>> errors;
    act.set_error_callback([&](int, OrvexActuator::ErrorMap m) {
        errors.push_back({m.begin(), m.end()});  // keeps the delivered order
    });
    testing::internal::CaptureStderr();
    deliver("82 21100000");
    act.parse_errors(0x00000800u);  // bit 11: undescribed, no call
    act.set_error_callback(nullptr);
    act.parse_errors(0x00010000u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(bus.sent().empty());
    EXPECT_EQ(errors,
              (decltype(errors){
                  {{0, "Overtemperature"}, {5, "VBUS out of range"}, {12, "Control overrun"}}}));
}

TEST_F(Decoding, MalformedInputIsSurvived) {
    // Every code byte with every short tail and both reply flags, and parameter offsets around
    // the payload's ends; under the sanitizers any out-of-bounds read fails the run. (The fuzz
    // targets cover random payloads.)
    act.set_error_callback([](int, OrvexActuator::ErrorMap) {});
    testing::internal::CaptureStderr();
    for (int code = 0; code < 256; ++code) {
        for (std::size_t tail = 0; tail <= 5; ++tail) {
            std::vector<uint8_t> payload(1 + tail, 0xFF);
            payload[0] = static_cast<uint8_t>(code);
            for (int reply : {0, 1}) {
                act.can_callback(0, payload, reply);
            }
            for (int offset : {-1, 0, 1, static_cast<int>(tail), static_cast<int>(tail) + 2}) {
                act.parse_parameters(payload, offset);
            }
        }
    }
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Unknown command 0x"), std::string::npos);
    EXPECT_FALSE(calls.empty());
    for (const auto& e : act.get_feedback()) {
        const auto code = static_cast<unsigned>(e.first);
        EXPECT_TRUE((code >= 0x41 && code <= 0x62 && code != 0x4E) ||
                    (code >= 0x70 && code <= 0x73) || (code >= 0x90 && code <= 0x9A))
            << code;
    }
}

}  // namespace
}  // namespace oxl_test
