// Automatic reconnection: with the switch on, a transport whose adapter vanished waits for it to
// come back and resumes receiving by itself, with its callbacks in place.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "hardening_util.hpp"
#include "oxl_api/oxl_over_usb.hpp"

namespace {

using namespace hardening;
using oxl_api::OXL_over_USB;
using oxl_test::CerrCapture;

std::string lost_line(const std::string& port, const std::string& seconds) {
    return "Adapter on " + port + " lost; reconnecting every " + seconds + " s\n";
}

std::string back_line(const std::string& port) {
    return "Adapter on " + port + " back\n";
}

TEST(Reconnect, ResumesByNameOrByUsbIdsWhenTheAdapterComesBack) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    for (const bool by_ids : {false, true}) {
        SCOPED_TRACE(by_ids ? "chosen by USB ids, back under another name" : "opened by name");
        std::unique_ptr<FakeAdapter> second;  // declared before the feeder that writes to it
        auto first = std::make_unique<FakeAdapter>();
        const std::string first_name = first->port_name();
        Inbox inbox;
        CerrCapture cerr;  // outlives the transport, whose polling thread prints
        OXL_over_USB usb(by_ids ? "" : first_name, false);
        usb.set_auto_reconnect(true);
        EXPECT_EQ(usb.reconnect_interval(), 500ms);
        const auto interval = 20ms;
        usb.set_reconnect_interval(interval);
        usb.setCallback(5, inbox.callback());
        ASSERT_TRUE(usb.connect(""));
        EXPECT_EQ(usb.port_name, first_name);
        auto feeder = std::make_unique<StreamFeeder>(*first, 5, 2000);
        ASSERT_GE(sequences(inbox, 100).size(), 100u);

        first->unplug();
        // The transport notices, closes the port and reports itself disconnected while it waits;
        // it is not back by itself while the adapter is away (ten retries at least).
        ASSERT_TRUE(eventually([&] { return !usb.is_connected(); }));
        EXPECT_FALSE(usb.send_OXL(5, {0x01}));
        const std::size_t during_outage = inbox.size();
        EXPECT_FALSE(eventually([&] { return usb.is_connected() || inbox.size() != during_outage; },
                                10 * interval));

        const auto replugged = std::chrono::steady_clock::now();
        if (by_ids) {
            // Unplugged for good (node and listing entry gone); the device comes back under a new
            // name and numbers its frames after the first one's.
            feeder.reset();
            first.reset();
            second = std::make_unique<FakeAdapter>(0x0483, 0xA54A);
            feeder = std::make_unique<StreamFeeder>(*second, 5, 2000, UINT32_MAX, [](uint32_t n) {
                Bytes payload;
                put_u32(payload, 1000000 + n);
                return payload;
            });
        } else {
            ASSERT_TRUE(first->replug());
        }
        FakeAdapter& back = by_ids ? *second : *first;
        ASSERT_TRUE(eventually([&] { return usb.is_connected(); }));
        EXPECT_LT(std::chrono::steady_clock::now() - replugged, 5s);
        // The stream goes on, in order, with the callbacks in place; sending works again.
        const std::size_t want = inbox.size() + 200;
        const std::vector<uint32_t> all = sequences(inbox, want);
        ASSERT_GE(all.size(), want);
        EXPECT_TRUE(strictly_increasing(all));
        ASSERT_TRUE(usb.send_OXL(6, {0x07}));
        const auto frame = back.read_frame(5s);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->payload, Bytes{0x07});

        usb.disconnect();
        EXPECT_EQ(usb.port_name, back.port_name());
        EXPECT_EQ(cerr.str(), lost_line(first_name, "0.02") + back_line(back.port_name()));
    }
}

TEST(Reconnect, DisconnectAndDestructionArePromptWhileWaitingForTheAdapter) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    FakeAdapter adapter;
    CerrCapture cerr;
    auto usb = std::make_unique<OXL_over_USB>(adapter.port_name(), false);
    usb->set_auto_reconnect(true);
    usb->set_reconnect_interval(0ms);
    EXPECT_EQ(usb->reconnect_interval(), 1ms) << "a zero interval would spin";
    // Far longer than the bounds below: waiting out a pause instead of ending it fails them.
    usb->set_reconnect_interval(60s);
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

    const std::string lost = lost_line(adapter.port_name(), "60");
    const std::string failed = "SerialPort: failed to open port " + adapter.port_name() +
                               "\nCouldn't connect to port " + adapter.port_name() + "\n";
    EXPECT_EQ(cerr.str(), lost + failed + lost);
}

}  // namespace
