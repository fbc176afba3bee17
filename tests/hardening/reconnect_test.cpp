// Automatic reconnection: with the switch on, a transport whose adapter vanished waits for it to
// come back and resumes receiving by itself, with its callbacks in place.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "hardening_util.hpp"
#include "oxl_api/oxl_over_usb.hpp"
#include "pty_gtest.hpp"

namespace {

using namespace hardening;
using oxl_api::OXL_over_USB;
using oxl_test::CerrCapture;
using oxl_test::FakeAdapter;

std::string lost_line(const std::string& port) {
    return "Adapter on " + port + " lost; reconnecting every 0.5 s\n";
}

std::string back_line(const std::string& port) {
    return "Adapter on " + port + " back\n";
}

// Waits for `count` more frames than `inbox` holds now, and checks that they continue the
// stream: in order, and numbered after everything received before.
void expect_stream_resumes(SequenceInbox& inbox, std::size_t count) {
    const std::vector<uint32_t> before = inbox.snapshot();
    ASSERT_TRUE(inbox.wait_count(before.size() + count));
    const std::vector<uint32_t> all = inbox.snapshot();
    EXPECT_TRUE(strictly_increasing(all));
}

TEST(Reconnect, OffByDefaultAndSwitchable) {
    OXL_over_USB usb("", false);
    EXPECT_FALSE(usb.auto_reconnect());
    usb.set_auto_reconnect(true);
    EXPECT_TRUE(usb.auto_reconnect());
    usb.set_auto_reconnect(false);
    EXPECT_FALSE(usb.auto_reconnect());
}

TEST(Reconnect, ByNameWhenTheAdapterComesBack) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    FakeAdapter adapter;
    SequenceInbox inbox;
    CerrCapture cerr;  // outlives the transport, whose polling thread prints
    OXL_over_USB usb(adapter.port_name(), false);
    usb.set_auto_reconnect(true);
    usb.setCallback(5, inbox.callback());
    ASSERT_TRUE(usb.connect(""));
    StreamFeeder feeder(adapter, 5, 2000);
    ASSERT_TRUE(inbox.wait_count(100));

    adapter.unplug();
    // The transport notices, closes the port and reports itself disconnected while it waits.
    ASSERT_TRUE(eventually([&] { return !usb.is_connected(); }));
    EXPECT_FALSE(usb.send_OXL(5, {0x01}));
    const std::size_t during_outage = inbox.size();
    // Not back by itself while the adapter is away (two retry periods at least).
    std::this_thread::sleep_for(1200ms);
    EXPECT_FALSE(usb.is_connected());
    EXPECT_EQ(inbox.size(), during_outage);

    const auto replugged = std::chrono::steady_clock::now();
    ASSERT_TRUE(adapter.replug());
    ASSERT_TRUE(eventually([&] { return usb.is_connected(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - replugged, 5s);
    expect_stream_resumes(inbox, 200);
    // Sending works again on the new line.
    ASSERT_TRUE(usb.send_OXL(6, {0x07}));
    const auto frame = adapter.read_frame(5s);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->raw, (Bytes{0xFE, 0x06, 0x40, 0x01, 0x07, 0xFD}));

    usb.disconnect();
    EXPECT_EQ(cerr.str(), lost_line(adapter.port_name()) + back_line(adapter.port_name()));
}

TEST(Reconnect, ByUsbIdsWhenTheAdapterComesBackUnderAnotherName) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    auto first = std::make_unique<FakeAdapter>();  // the one adapter plugged in
    const std::string first_name = first->port_name();
    SequenceInbox inbox;
    CerrCapture cerr;
    OXL_over_USB usb("", false);
    usb.set_auto_reconnect(true);
    usb.setCallback(5, inbox.callback());
    ASSERT_TRUE(usb.connect(""));  // chosen by its USB ids
    EXPECT_EQ(usb.port_name, first_name);
    std::unique_ptr<StreamFeeder> feeder = std::make_unique<StreamFeeder>(*first, 5, 2000);
    ASSERT_TRUE(inbox.wait_count(100));

    // Unplugged for good: its node and listing entry disappear.
    first->unplug();
    ASSERT_TRUE(eventually([&] { return !usb.is_connected(); }));
    feeder.reset();
    first.reset();
    // A replugged device that the system names anew.
    FakeAdapter second(0x0483, 0xA54A);
    ASSERT_NE(second.port_name(), first_name);
    StreamFeeder second_feeder(second, 5, 2000, UINT32_MAX, [](uint32_t sequence) {
        Bytes payload;
        put_u32(payload, 1000000 + sequence);  // numbered after the first device's frames
        return payload;
    });
    ASSERT_TRUE(eventually([&] { return usb.is_connected(); }));
    expect_stream_resumes(inbox, 200);

    usb.disconnect();
    EXPECT_EQ(usb.port_name, second.port_name());
    EXPECT_EQ(cerr.str(), lost_line(first_name) + back_line(second.port_name()));
}

TEST(Reconnect, DisconnectAndDestructionArePromptWhileWaitingForTheAdapter) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    FakeAdapter adapter;
    CerrCapture cerr;
    auto usb = std::make_unique<OXL_over_USB>(adapter.port_name(), false);
    usb->set_auto_reconnect(true);
    ASSERT_TRUE(usb->connect(""));
    adapter.unplug();
    ASSERT_TRUE(eventually([&] { return !usb->is_connected(); }));
    auto start = std::chrono::steady_clock::now();
    usb->disconnect();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    // Connecting by hand while the adapter is away fails as usual and starts no retries.
    EXPECT_FALSE(usb->connect(""));
    ASSERT_TRUE(adapter.replug());
    ASSERT_TRUE(usb->connect(""));
    adapter.unplug();
    ASSERT_TRUE(eventually([&] { return !usb->is_connected(); }));
    start = std::chrono::steady_clock::now();
    usb.reset();  // destroyed while retrying
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    const std::string lost = lost_line(adapter.port_name());
    const std::string failed = "SerialPort: failed to open port " + adapter.port_name() +
                               "\nCouldn't connect to port " + adapter.port_name() + "\n";
    EXPECT_EQ(cerr.str(), lost + failed + lost);
}

}  // namespace
