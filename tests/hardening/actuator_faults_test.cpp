// The actuator client under a streaming device: application callbacks that throw, and clients
// destroyed while their device streams at the highest rate, over the real serial stack.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "hardening_util.hpp"
#include "loopback_oxl.hpp"
#include "oxl_api/orvex_actuator.hpp"
#include "oxl_api/oxl_over_usb.hpp"

namespace {

using namespace hardening;
using oxl_api::OrvexActuator;
using oxl_api::OXL_over_USB;
using Items = OrvexActuator::OXL_Items;

constexpr int kAddress = 0x20;

// A streamed feedback frame with one item entry: SPEED_45 (0x45) carrying `sequence` as a float.
Bytes speed_frame_payload(uint32_t sequence) {
    Bytes payload{static_cast<uint8_t>(Items::SPEED_45)};
    put_u32(payload, oxl_test::float_word(static_cast<float>(sequence)));
    return payload;
}

TEST(ActuatorFaults, FeedbackCallbackThrowingOnEveryTenthFrameLosesNothing) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    FakeAdapter adapter;
    std::mutex mutex;
    std::vector<float> seen;  // guarded by mutex
    const auto seen_now = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    };
    OXL_over_USB usb(adapter.port_name());
    OrvexActuator actuator(usb, kAddress);
    actuator.set_feedback_callback([&](int, OrvexActuator::FeedbackMap items) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(items.at(Items::SPEED_45));
        if (seen.size() % 20 == 0) {
            throw 42;  // not even a std::exception
        }
        if (seen.size() % 10 == 0) {
            throw std::runtime_error("application failure");
        }
    });

    constexpr uint32_t kFrames = 2000;
    StreamFeeder feeder(adapter, kAddress, 0, kFrames, speed_frame_payload);
    ASSERT_TRUE(eventually([&] { return seen_now().size() >= kFrames; }, 60s));
    std::vector<float> want(kFrames);
    std::iota(want.begin(), want.end(), 0.0f);
    EXPECT_EQ(seen_now(), want);
    // The client's own state is not left locked or half-updated by the exceptions.
    EXPECT_EQ(actuator.get_feedback().at(Items::SPEED_45), static_cast<float>(kFrames - 1));
    EXPECT_TRUE(usb.is_connected());
    ASSERT_TRUE(adapter.write_frame(kAddress, speed_frame_payload(kFrames)));
    want.push_back(static_cast<float>(kFrames));
    EXPECT_TRUE(eventually([&] { return seen_now() == want; }));
}

TEST(ActuatorFaults, ClientsDestroyedWhileTheirDeviceStreamsAt10kHz) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    FakeAdapter adapter;
    OXL_over_USB usb(adapter.port_name());
    StreamFeeder feeder(adapter, kAddress, 10000, UINT32_MAX, speed_frame_payload);

    constexpr int kRounds = 20;
    // Frames each destroyed client had seen when its destructor returned.
    std::vector<std::pair<std::shared_ptr<std::atomic<int>>, int>> retired;
    for (int round = 0; round < kRounds; ++round) {
        auto hits = std::make_shared<std::atomic<int>>(0);
        {
            OrvexActuator actuator(usb, kAddress);
            actuator.set_feedback_callback([hits](int, OrvexActuator::FeedbackMap) { ++*hits; });
            ASSERT_TRUE(eventually([&] { return *hits >= 20; })) << "round " << round;
        }
        retired.emplace_back(hits, hits->load());
    }
    // A last client proves the stream is still being delivered...
    auto last = std::make_shared<std::atomic<int>>(0);
    OrvexActuator actuator(usb, kAddress);
    actuator.set_feedback_callback([last](int, OrvexActuator::FeedbackMap) { ++*last; });
    ASSERT_TRUE(eventually([&] { return *last >= 200; }));
    // ...while no destroyed client was called after its destructor returned.
    for (const auto& [hits, at_destruction] : retired) {
        EXPECT_EQ(hits->load(), at_destruction);
    }
    // Each destructor sent the stop command (0x02) in the middle of the stream.
    const auto stops = adapter.read_frames(kRounds, 10s);
    ASSERT_EQ(stops.size(), static_cast<std::size_t>(kRounds));
    for (const auto& frame : stops) {
        EXPECT_EQ(frame.id(), kAddress);
        EXPECT_EQ(frame.payload, Bytes{0x02});
    }
}

}  // namespace
