// OXL_over_USB: checks that need no port, then end to end through libserialport and a fake
// adapter on a pseudo-terminal.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "oxl_api/orvex_actuator.hpp"
#include "oxl_api/oxl_over_usb.hpp"
#include "pty_gtest.hpp"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Entries = std::vector<oxl_test::Inbox::Entry>;
using oxl_api::OXL;
using oxl_api::OXL_over_USB;
using oxl_test::CerrCapture;
using oxl_test::FakeAdapter;
using oxl_test::Inbox;

TEST(OXLOverUSB, RejectsBadMessagesSendsNothingWhileClosedAndDispatchesToTheLatestCallback) {
    EXPECT_EQ(OXL::build_TWX_identifier(0x4001, 16382), 0x7FFE);  // both ids masked to 14 bits
    Inbox first, second;  // declared first: outlive the transport whose callbacks use them
    OXL_over_USB usb("", false);
    EXPECT_FALSE(usb.is_connected());
    usb.disconnect();  // never connected: nothing to do
    CerrCapture cerr;
    EXPECT_FALSE(usb.send_OXL(16383, {0x01}));
    EXPECT_FALSE(usb.send_OXL(-1, {0x01}));
    EXPECT_FALSE(usb.send_OXL(3, Bytes(60)));
    EXPECT_FALSE(usb.send_OXL(4, {}));
    EXPECT_FALSE(usb.send_OXL(5, {0x01}));  // valid, but the port is closed: silent
    EXPECT_FALSE(usb.connect("/dev/ttyOXL-none"));
    EXPECT_EQ(cerr.str(),
              "Invalid OXL ID: 16383\nInvalid OXL ID: -1\n"
              "Invalid payload length for address 3\nInvalid payload length for address 4\n"
              "SerialPort: failed to find port /dev/ttyOXL-none\n"
              "Couldn't connect to port /dev/ttyOXL-none\n");
    EXPECT_EQ(usb.port_name, "/dev/ttyOXL-none");

    // Received messages go to the latest callback of their id, and to none once it is removed.
    usb.setCallback(5, first.callback());
    usb.setCallback(5, second.callback());
    usb.removeCallback(99);  // unknown id: no effect
    usb.process_pkt(5, {0x07}, 1);
    EXPECT_EQ(second.wait_for(1, 0ms), (Entries{{5, {0x07}, 1}}));
    EXPECT_EQ(first.size(), 0u);
    usb.removeCallback(5);
    usb.process_pkt(5, {0x09}, 0);
    EXPECT_EQ(second.size(), 1u);
}

TEST(OXLOverUSBLine, WritesExactFrames) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    FakeAdapter adapter;
    OXL_over_USB usb(adapter.port_name());
    ASSERT_TRUE(usb.is_connected());

    Bytes longest(59), longest_frame{0xFE, 0xFE, 0x7F, 59};
    std::iota(longest.begin(), longest.end(), uint8_t{0xC0});
    longest_frame.insert(longest_frame.end(), longest.begin(), longest.end());
    longest_frame.push_back(0xFD);
    const struct {
        int id;
        Bytes payload, frame;
    } cases[] = {
        {5, {0x01}, {0xFE, 0x05, 0x40, 0x01, 0x01, 0xFD}},  // host id 1 in bits 14-15
        {0, {0x7F, 0x80}, {0xFE, 0x00, 0x40, 0x02, 0x7F, 0x80, 0xFD}},
        {16382, longest, longest_frame},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        ASSERT_TRUE(usb.send_OXL(c.id, c.payload));
        const auto frame = adapter.read_frame(3s);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->raw, c.frame);
    }

    usb.enter_bootloader();
    const auto frame = adapter.read_frame(3s);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->raw, (Bytes{0xFE, 0x00, 0x40, 0x01, 0xC1, 0xFD}));
    EXPECT_FALSE(usb.is_connected());
}

TEST(OXLOverUSBLine, DeliversFramesAndSurvivesBadInputAndThrowingCallbacks) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    FakeAdapter adapter;
    Inbox inbox;  // declared first: outlives the transport whose callbacks use it
    OXL_over_USB usb(adapter.port_name());
    usb.setCallback(5, inbox.callback());
    usb.setCallback(7, inbox.callback());
    usb.setCallback(8, [](int, Bytes, int) { throw 42; });  // not even a std::exception
    usb.setCallback(9, OXL::MessageCallback());             // empty: std::bad_function_call
    CerrCapture cerr;

    Bytes stream;
    for (const Bytes& piece : {
             oxl_test::encode_adapter_frame(0x0006, {0x99}),  // no callback for 6
             oxl_test::encode_adapter_frame(0x8005, {0x01}),
             oxl_test::encode_adapter_frame(0x4007, {}),
             Bytes{0xFE, 0x07, 0x00, 60, 0x11},  // over-long header, then junk
             oxl_test::encode_adapter_frame(0x0005, {0x02}),
             oxl_test::encode_adapter_frame(0x0008, {0x03}),
             oxl_test::encode_adapter_frame(0x0009, {0x04}),
             oxl_test::encode_adapter_frame(0x0005, {0x05}),
         }) {
        stream.insert(stream.end(), piece.begin(), piece.end());
    }
    ASSERT_TRUE(adapter.write_raw(stream));
    EXPECT_EQ(inbox.wait_for(4),
              (Entries{{5, {0x01}, 1}, {7, {}, 0}, {5, {0x02}, 0}, {5, {0x05}, 0}}));
    // Reception goes on afterwards.
    ASSERT_TRUE(adapter.write_frame(7, {0x06}, 1));
    const auto all = inbox.wait_for(5);
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all.back(), (Inbox::Entry{7, {0x06}, 1}));
    EXPECT_EQ(cerr.str(), "");
}

TEST(OXLOverUSBLine, ConnectDiscardsOldInputAndReconnectsAnywhere) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    FakeAdapter a;
    FakeAdapter b(0x0483, 0xA541);  // two adapters: an empty name could not choose
    Inbox inbox;
    OXL_over_USB usb(a.port_name(), false);
    EXPECT_FALSE(usb.is_connected());
    usb.setCallback(5, inbox.callback());

    ASSERT_TRUE(a.write_frame(5, {0x01}));  // waiting before connect: discarded
    ASSERT_TRUE(usb.connect(""));           // stored name, no search
    ASSERT_TRUE(a.write_frame(5, {0x02}));
    EXPECT_EQ(inbox.wait_for(1), (Entries{{5, {0x02}, 0}}));

    ASSERT_TRUE(usb.connect(b.port_name()));  // stops the old thread, opens the new port
    ASSERT_TRUE(usb.send_OXL(5, {0x03}));
    const auto sent = b.read_frame(3s);
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->payload, Bytes{0x03});

    usb.disconnect();
    EXPECT_FALSE(usb.is_connected());
    EXPECT_FALSE(usb.send_OXL(5, {0x04}));
    ASSERT_TRUE(b.write_frame(5, {0x05}));  // arrives while disconnected: discarded on connect
    CerrCapture cerr;
    ASSERT_TRUE(usb.connect(""));
    EXPECT_EQ(cerr.str(), "");
    EXPECT_EQ(usb.port_name, b.port_name());
    ASSERT_TRUE(b.write_frame(5, {0x06}));
    EXPECT_EQ(inbox.wait_for(2), (Entries{{5, {0x02}, 0}, {5, {0x06}, 0}}));
}

TEST(OXLOverUSBLine, ReceiveTimesAreTakenWhenAFramesLastByteArrives) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    using Sample = oxl_api::OrvexActuator::FeedbackSample;
    FakeAdapter adapter;
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Sample> samples;  // guarded by `mutex`
    OXL_over_USB usb(adapter.port_name());
    oxl_api::OrvexActuator actuator(usb, 0x20);
    actuator.set_feedback_sample_callback([&](int, const Sample& sample) {
        std::lock_guard<std::mutex> lock(mutex);
        samples.push_back(sample);
        arrived.notify_all();
    });
    // Each frame goes out in two writes a few milliseconds apart; its receive time must lie
    // between the second write and the moment the sample was seen here.
    int64_t previous = 0;
    for (uint32_t k = 0; k < 20; ++k) {
        SCOPED_TRACE(k);
        Bytes payload{0x45};
        for (int shift = 0; shift < 32; shift += 8) {
            payload.push_back(static_cast<uint8_t>(k >> shift));
        }
        const Bytes frame = oxl_test::encode_adapter_frame(0x20, payload);
        ASSERT_TRUE(adapter.write_raw(Bytes(frame.begin(), frame.begin() + 6)));
        std::this_thread::sleep_for(3ms);
        const int64_t last_part_written = oxl_api::monotonic_time_ns();
        ASSERT_TRUE(adapter.write_raw(Bytes(frame.begin() + 6, frame.end())));
        Sample sample;
        {
            std::unique_lock<std::mutex> lock(mutex);
            ASSERT_TRUE(arrived.wait_for(lock, 5s, [&] { return samples.size() == k + 1; }));
            sample = samples.back();
        }
        const int64_t seen = oxl_api::monotonic_time_ns();
        EXPECT_GE(sample.receive_time_ns, last_part_written);
        EXPECT_LE(sample.receive_time_ns, seen);
        EXPECT_GT(sample.receive_time_ns, previous);
        EXPECT_EQ(sample.sequence, k + 1);
        previous = sample.receive_time_ns;
    }
}

}  // namespace
