// OXL_over_USB: checks that need no port, then end-to-end through libserialport and a fake
// adapter on a pseudo-terminal.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "oxl_api/oxl_over_usb.hpp"
#include "pty_gtest.hpp"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using oxl_api::OXL;
using oxl_api::OXL_over_USB;
using oxl_test::CerrCapture;
using oxl_test::FakeAdapter;

// Messages delivered to callbacks, in order, with a deadline-bounded wait.
class Inbox {
  public:
    using Entry = std::tuple<int, Bytes, int>;  // id, payload, reply flag

    OXL::MessageCallback callback() {
        return [this](int id, Bytes payload, int reply) {
            std::lock_guard<std::mutex> lock(mutex);
            entries.emplace_back(id, std::move(payload), reply);
            cv.notify_all();
        };
    }
    // The first `count` entries, or all of them if fewer arrived within `timeout`.
    std::vector<Entry> wait_for(std::size_t count, std::chrono::milliseconds timeout = 3s) {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, timeout, [&] { return entries.size() >= count; });
        return entries;
    }

  private:
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Entry> entries;
};

TEST(OXLBase, IdRulesAndIdentifier) {
    EXPECT_TRUE(OXL::check_oxl_id_range(0));
    EXPECT_TRUE(OXL::check_oxl_id_range(16382));
    EXPECT_FALSE(OXL::check_oxl_id_range(16383));
    EXPECT_FALSE(OXL::check_oxl_id_range(-1));
    EXPECT_FALSE(OXL::check_oxl_payload_size(Bytes{}));
    EXPECT_TRUE(OXL::check_oxl_payload_size(Bytes(59)));
    EXPECT_FALSE(OXL::check_oxl_payload_size(Bytes(60)));
    EXPECT_EQ(OXL::build_TWX_identifier(1, 5), 0x4005);
    EXPECT_EQ(OXL::build_TWX_identifier(0x4001, 16382), 0x7FFE);
}

TEST(OXLOverUSB, RejectsBadMessagesAndSendsNothingWhileClosed) {
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
}

TEST(OXLOverUSB, DispatchGoesToTheLatestCallbackOfTheId) {
    Inbox first, second;
    OXL_over_USB usb("", false);
    usb.setCallback(5, first.callback());
    usb.setCallback(5, second.callback());
    usb.removeCallback(99);  // unknown id: no effect
    CerrCapture cerr;
    usb.process_pkt(5, {0x07}, 1);
    usb.process_pkt(6, {0x08}, 0);  // no callback: dropped silently
    EXPECT_EQ(second.wait_for(1, 0ms), (std::vector<Inbox::Entry>{{5, {0x07}, 1}}));
    EXPECT_TRUE(first.wait_for(1, 0ms).empty());
    usb.removeCallback(5);
    usb.process_pkt(5, {0x09}, 0);
    EXPECT_EQ(second.wait_for(2, 0ms).size(), 1u);
    usb.setCallback(7, OXL::MessageCallback());
    EXPECT_THROW(usb.process_pkt(7, {0x01}, 0), std::bad_function_call);
    usb.removeCallback(7);  // would deadlock if the throw had left the registry locked
    EXPECT_EQ(cerr.str(), "");
}

TEST(OXLOverUSBLine, WritesExactFrames) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    FakeAdapter adapter;
    OXL_over_USB usb(adapter.port_name());
    ASSERT_TRUE(usb.is_connected());

    ASSERT_TRUE(usb.send_OXL(5, {0x01}));
    auto frame = adapter.read_frame(3s);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->raw, (Bytes{0xFE, 0x05, 0x40, 0x01, 0x01, 0xFD}));

    Bytes payload(59);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(0xC0 + i);
    }
    ASSERT_TRUE(usb.send_OXL(16382, payload));
    frame = adapter.read_frame(3s);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->raw.size(), 64u);
    EXPECT_EQ(frame->id_field, 0x7FFE);
    EXPECT_EQ(frame->raw[3], 59);
    EXPECT_EQ(frame->payload, payload);
    EXPECT_TRUE(frame->end_ok());

    usb.enter_bootloader();
    frame = adapter.read_frame(3s);
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
    usb.setCallback(8, [](int, Bytes, int) { throw std::runtime_error("callback failure"); });
    usb.setCallback(9, OXL::MessageCallback());  // empty: std::bad_function_call on dispatch
    CerrCapture cerr;

    Bytes stream;
    for (const Bytes& part : {
             oxl_test::encode_adapter_frame(0x0006, {0x99}),  // no callback for 6
             oxl_test::encode_adapter_frame(0x8005, {0x01}),
             oxl_test::encode_adapter_frame(0x4007, {}),
             Bytes{0xFE, 0x07, 0x00, 60, 0x11},  // over-long header, then junk
             oxl_test::encode_adapter_frame(0x0005, {0x02}),
             oxl_test::encode_adapter_frame(0x0008, {0x03}),
             oxl_test::encode_adapter_frame(0x0009, {0x04}),
             oxl_test::encode_adapter_frame(0x0005, {0x05}),
         }) {
        stream.insert(stream.end(), part.begin(), part.end());
    }
    ASSERT_TRUE(adapter.write_raw(stream));
    EXPECT_EQ(inbox.wait_for(4), (std::vector<Inbox::Entry>{
                                     {5, {0x01}, 1}, {7, {}, 0}, {5, {0x02}, 0}, {5, {0x05}, 0}}));
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
    EXPECT_EQ(inbox.wait_for(1), (std::vector<Inbox::Entry>{{5, {0x02}, 0}}));

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
    EXPECT_EQ(inbox.wait_for(2), (std::vector<Inbox::Entry>{{5, {0x02}, 0}, {5, {0x06}, 0}}));
}

TEST(OXLOverUSBLine, AdapterVanishingLeavesTheTransportConnectedUntilDisconnect) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    FakeAdapter adapter;
    OXL_over_USB usb(adapter.port_name());
    ASSERT_TRUE(usb.is_connected());
    adapter.unplug();
    // Watch it for a while: reads come back empty, the polling thread keeps going.
    const auto until = std::chrono::steady_clock::now() + 1s;
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_TRUE(usb.is_connected());
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(usb.send_OXL(5, {0x01}));  // port still open: the failed write is not reported
    const auto start = std::chrono::steady_clock::now();
    usb.disconnect();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(usb.is_connected());
}

}  // namespace
