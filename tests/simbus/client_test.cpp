// Applications written against the public client API (OrvexActuator, OrvexActuatorScanner) run
// unchanged over the simulated bus: in process through OXL_over_Sim, and through the real
// OXL_over_USB and libserialport over the pseudo-terminal of the fake adapter.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "oxl_api/orvex_actuator.hpp"
#include "oxl_api/oxl_over_sim.hpp"
#include "oxl_api/oxl_over_usb.hpp"
#include "pty_gtest.hpp"
#include "registry_probe.hpp"
#include "sim_adapter.hpp"

namespace {

using oxl_api::OrvexActuator;
using oxl_api::OrvexActuatorScanner;
using oxl_api::OXL_over_Sim;
using oxl_test::eventually;
using Items = OrvexActuator::OXL_Items;
using Parameters = OrvexActuator::OXL_Parameters;
using FeedbackMap = OrvexActuator::FeedbackMap;

TEST(SimTransport, AStallOfTheProcessShowsInTheCountersOfTransportAndClient) {
    std::atomic<int64_t> now_ns{1000000000};
    OXL_over_Sim sim(true, [&] { return std::chrono::nanoseconds(now_ns.load()); });
    ASSERT_TRUE(sim.bus().add_actuator(0x20));
    ASSERT_TRUE(sim.bus().add_actuator(0x21));
    OrvexActuator actuator(sim, 0x20);
    actuator.setFeedbackItems({Items::SPEED_45});
    actuator.setFeedbackRate(1000);
    EXPECT_TRUE(sim.send_OXL(0x21, {0x07, 0x45}));  // 0x21 streams to nobody
    EXPECT_TRUE(sim.send_OXL(0x21, {0x06, 10, 0, 0, 0}));
    const auto received = [&] { return actuator.get_feedback_counters().frames_received; };
    // On time: one frame per millisecond of bus time, none missing.
    for (int ms = 0; ms < 30; ++ms) {
        const uint64_t before = received();
        now_ns += 1000000;
        ASSERT_TRUE(eventually([&] { return received() > before; }));
    }
    EXPECT_EQ(actuator.get_feedback_counters().frames_missing, 0u);

    // The process stalls for a second: the bus sends the last 0.25 s of frames at once and
    // skips the rest; the client's estimate covers at least what was skipped.
    const uint64_t before = received();
    now_ns += 1000000000;
    const auto all_delivered = [&] {
        const auto c = sim.counters();
        return received() > before + 200 &&
               c.frames_dispatched + c.frames_without_callback == c.sim_frames_sent;
    };
    ASSERT_TRUE(eventually(all_delivered));
    const auto client = actuator.get_feedback_counters();
    const auto transport = sim.counters();
    EXPECT_GE(transport.sim_frames_skipped, 2 * 700u);  // both devices
    EXPECT_GE(client.frames_missing, transport.sim_frames_skipped / 2);
    EXPECT_GE(client.largest_gap_ns, 990000000);
    EXPECT_EQ(transport.frames_dispatched, client.frames_received);
    EXPECT_EQ(transport.frames_without_callback, transport.sim_frames_sent / 2);  // 0x21's
    EXPECT_EQ(transport.frames_written, 4u);
    EXPECT_EQ(transport.bytes_read, 0u);
}

TEST(SimTransport, SendChecksDispatchThreadAndConnectionLikeTheUsbTransport) {
    OXL_over_Sim sim(false);
    EXPECT_FALSE(sim.is_connected());
    EXPECT_FALSE(sim.send_OXL(0, {0x40}));

    testing::internal::CaptureStderr();  // the checks shared with the USB transport
    EXPECT_FALSE(sim.send_OXL(16383, {0x40}));
    EXPECT_FALSE(sim.send_OXL(3, std::vector<uint8_t>(60, 0x01)));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Invalid OXL ID: 16383\nInvalid payload length for address 3\n");

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
    std::atomic<bool> wrong{false};
    const auto test_thread = std::this_thread::get_id();
    sim.setCallback(0, [&](int id, std::vector<uint8_t> payload, int reply) {
        wrong = wrong || id != 0 || payload.size() != 5 || payload[0] != 0x80 || reply != 1 ||
                std::this_thread::get_id() == test_thread;
        ++answers;
    });
    EXPECT_TRUE(sim.send_OXL(0, {0x40}));
    EXPECT_TRUE(eventually([&] { return answers.load() == 1; }));

    sim.disconnect();
    EXPECT_FALSE(sim.is_connected());
    EXPECT_FALSE(sim.send_OXL(0, {0x40}));
    ASSERT_TRUE(sim.connect());
    EXPECT_TRUE(sim.send_OXL(0, {0x40}));
    EXPECT_TRUE(eventually([&] { return answers.load() == 2; }));
    EXPECT_FALSE(wrong);
    sim.removeCallback(0);
}

TEST(SimOverSerial, DiscoveryStreamAndParameterReadThroughThePseudoTerminal) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    // Declared before the transport and the actuator, whose callback may still run on frames in
    // flight until they are destroyed.
    std::mutex mutex;
    std::vector<FeedbackMap> frames;  // guarded by mutex
    std::atomic<bool> on_test_thread{false};
    const auto test_thread = std::this_thread::get_id();
    oxl_test::SimAdapter adapter;
    ASSERT_TRUE(adapter.bus().add_actuator(0x12, 7, 0x0842));
    ASSERT_TRUE(adapter.bus().add_actuator(0x13, 8, 0x0001));
    ASSERT_TRUE(adapter.bus().add_actuator(0x3FFE));
    oxl_test::RegistryProbe<oxl_api::OXL_over_USB> usb(adapter.port_name(), false);
    ASSERT_TRUE(usb.connect(""));
    {
        // Every ping of the whole id range crosses the line, and only the devices answer. On a
        // loaded machine an answer may come after its window closed: such a device is asked
        // again alone until it is found.
        OrvexActuatorScanner scanner(usb);
        ASSERT_TRUE(scanner.connected);
        EXPECT_EQ(scanner.model, "CAN_ADAPTER");
        const uint64_t received_before = adapter.bus().stats().messages_received;
        testing::internal::CaptureStdout();
        std::vector<int> found = scanner.discover(0x10, 0x3FFE);
        EXPECT_TRUE(eventually([&] {
            return adapter.bus().stats().messages_received - received_before == 0x3FFEu - 0x10 + 1;
        })) << adapter.bus().stats().messages_received - received_before;
        for (const int id : {0x12, 0x13, 0x3FFE}) {
            for (int round = 0; round < 20 && std::count(found.begin(), found.end(), id) == 0;
                 ++round) {
                const auto again = scanner.discover(id, id);
                found.insert(found.end(), again.begin(), again.end());
            }
        }
        testing::internal::GetCapturedStdout();
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, (std::vector<int>{0x12, 0x13, 0x3FFE}));
        EXPECT_EQ(usb.registered_ids(), std::vector<int>{0});
    }
    EXPECT_TRUE(usb.registered_ids().empty());

    OrvexActuator actuator(usb, 0x12);
    ASSERT_TRUE(actuator.connect(1.0f));
    EXPECT_EQ(actuator.model, "FJALO");
    EXPECT_EQ(actuator.firmware, "1.1.2");
    actuator.set_feedback_callback([&](int, FeedbackMap items) {
        on_test_thread = on_test_thread || std::this_thread::get_id() == test_thread;
        std::lock_guard<std::mutex> lock(mutex);
        frames.push_back(std::move(items));
    });
    actuator.setFeedbackItems({Items::TEMP_WINDING, Items::SPEED_45});
    actuator.setFeedbackRate(100);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return frames.size() >= 3;
    }));
    actuator.setFeedbackRate(0);
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Every frame carries exactly the selected items (the device stands still).
        EXPECT_EQ(frames, std::vector<FeedbackMap>(frames.size(), {{Items::TEMP_WINDING, 25.0f},
                                                                   {Items::SPEED_45, 0.0f}}));
    }
    EXPECT_FALSE(on_test_thread);
    EXPECT_EQ(actuator.get_parameters({Parameters::PARAM_84, Parameters::ADDRESS}),
              (OrvexActuator::ParameterMap{{Parameters::PARAM_84, 20000.0f},
                                           {Parameters::ADDRESS, 18.0f}}));
    EXPECT_EQ(adapter.failed_writes(), 0u);
}

}  // namespace
