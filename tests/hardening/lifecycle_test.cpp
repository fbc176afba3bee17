// Connecting and disconnecting many times, and creating and destroying transports, while frames
// stream in: no thread and no file descriptor may be left behind.

#include <gtest/gtest.h>

#include <dirent.h>

#include "hardening_util.hpp"
#include "oxl_api/oxl_over_usb.hpp"

namespace {

using namespace hardening;
using oxl_api::OXL_over_USB;

// Threads of this process and its open descriptors (not counting the one used to list them).
std::pair<int, int> threads_and_descriptors() {
    int counts[2] = {0, -1};
    for (int i : {0, 1}) {
        DIR* dir = ::opendir(i == 0 ? "/proc/self/task" : "/proc/self/fd");
        while (const dirent* entry = dir != nullptr ? ::readdir(dir) : nullptr) {
            counts[i] += entry->d_name[0] != '.' ? 1 : 0;
        }
        if (dir != nullptr) {
            ::closedir(dir);
        }
    }
    return {counts[0], counts[1]};
}

TEST(Lifecycle, HundredConnectDisconnectCyclesLeaveNoThreadOrDescriptor) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    FakeAdapter adapter;
    Inbox inbox;
    // A busy line ends every receive pass quickly, so disconnect does not wait out idle reads.
    StreamFeeder feeder(adapter, 5, 5000);
    OXL_over_USB usb(adapter.port_name(), false);
    usb.setCallback(5, inbox.callback());

    const auto before = threads_and_descriptors();
    ASSERT_GT(before.first, 0);
    ASSERT_GT(before.second, 0);
    for (int cycle = 0; cycle < 100; ++cycle) {
        SCOPED_TRACE(cycle);
        const std::size_t received = inbox.size();
        ASSERT_TRUE(usb.connect(""));
        ASSERT_GT(inbox.wait_for(received + 1).size(), received);
        if (cycle == 0) {
            // The counters do see what a connection holds: its thread and its port.
            EXPECT_EQ(threads_and_descriptors(),
                      std::make_pair(before.first + 1, before.second + 1));
        }
        usb.disconnect();
        ASSERT_FALSE(usb.is_connected());
    }
    EXPECT_EQ(threads_and_descriptors(), before);

    // Whole transports too, destroyed while connected and receiving.
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        Inbox own;
        OXL_over_USB transport(adapter.port_name());
        transport.setCallback(5, own.callback());
        ASSERT_GE(own.wait_for(1).size(), 1u);
    }
    EXPECT_EQ(threads_and_descriptors(), before);
}

}  // namespace
