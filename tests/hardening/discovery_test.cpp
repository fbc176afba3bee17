// Fast discovery over the real serial stack: OXL_over_USB and libserialport on the fake adapter's
// pseudo-terminal, the adapter serving a simulated bus. Every ping of the whole id range crosses
// the line, and only the three devices answer.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oxl_api/orvex_actuator.hpp"
#include "oxl_api/oxl_over_usb.hpp"
#include "pty_gtest.hpp"
#include "registry_probe.hpp"
#include "sim_adapter.hpp"

namespace {

TEST(LineDiscovery, WholeRangeOverTheLineFindsTheThreeDevicesAndLeavesNoCallback) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    oxl_test::SimAdapter adapter;
    for (int id : {0x10, 0x1234, 0x3FFE}) {
        ASSERT_TRUE(adapter.bus().add_actuator(id));
    }
    oxl_test::RegistryProbe<oxl_api::OXL_over_USB> usb(adapter.port_name(), false);
    ASSERT_TRUE(usb.connect(""));
    {
        oxl_api::OrvexActuatorScanner scanner(usb);
        ASSERT_TRUE(scanner.connected);
        const uint64_t received_before = adapter.bus().stats().messages_received;
        testing::internal::CaptureStdout();
        const auto found = scanner.discover(0x10, 0x3FFE);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(found, (std::vector<int>{0x10, 0x1234, 0x3FFE}));
        // Every ping reached the bus (the last one 50 ms before the discovery returned).
        EXPECT_EQ(adapter.bus().stats().messages_received - received_before, 0x3FFEu - 0x10 + 1);
        EXPECT_EQ(usb.registered_ids(), std::vector<int>{0});
    }
    EXPECT_TRUE(usb.registered_ids().empty());
    EXPECT_EQ(adapter.failed_writes(), 0u);
}

}  // namespace
