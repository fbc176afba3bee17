// Connecting and disconnecting many times, and creating and destroying transports, while frames
// stream in: no thread and no file descriptor may be left behind.

#include <gtest/gtest.h>

#include "hardening_util.hpp"
#include "oxl_api/oxl_over_usb.hpp"
#include "pty_gtest.hpp"

namespace {

using namespace hardening;
using oxl_api::OXL_over_USB;
using oxl_test::FakeAdapter;

int threads_now() {
    return count_proc_entries("/proc/self/task");
}

int descriptors_now() {
    return count_proc_entries("/proc/self/fd");
}

TEST(Lifecycle, HundredConnectDisconnectCyclesLeaveNoThreadOrDescriptor) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    FakeAdapter adapter;
    SequenceInbox inbox;
    // A busy line ends every receive pass quickly, so disconnect does not wait out idle reads.
    StreamFeeder feeder(adapter, 5, 5000);
    OXL_over_USB usb(adapter.port_name(), false);
    usb.setCallback(5, inbox.callback());

    const int threads = threads_now();
    const int descriptors = descriptors_now();
    ASSERT_GT(threads, 0);
    ASSERT_GT(descriptors, 0);
    for (int cycle = 0; cycle < 100; ++cycle) {
        const std::size_t before = inbox.size();
        ASSERT_TRUE(usb.connect("")) << "cycle " << cycle;
        ASSERT_TRUE(inbox.wait_count(before + 1)) << "cycle " << cycle;
        if (cycle == 0) {
            // The counters do see what a connection holds: its thread and its port.
            EXPECT_EQ(threads_now(), threads + 1);
            EXPECT_EQ(descriptors_now(), descriptors + 1);
        }
        usb.disconnect();
        ASSERT_FALSE(usb.is_connected());
    }
    EXPECT_EQ(threads_now(), threads);
    EXPECT_EQ(descriptors_now(), descriptors);

    // Whole transports too, destroyed while connected and receiving.
    for (int round = 0; round < 20; ++round) {
        SequenceInbox own;
        OXL_over_USB transport(adapter.port_name());
        transport.setCallback(5, own.callback());
        ASSERT_TRUE(own.wait_count(1)) << "round " << round;
    }
    EXPECT_EQ(threads_now(), threads);
    EXPECT_EQ(descriptors_now(), descriptors);
}

}  // namespace
