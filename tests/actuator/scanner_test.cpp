// The bus scanner: adapter check, scan output and the callback registry it leaves behind.
#include <gtest/gtest.h>

#include "actuator_test_util.hpp"

namespace oxl_test {
namespace {

using oxl_api::OrvexActuatorScanner;

ScriptedDevice device(uint16_t model_code, uint16_t firmware_word) {
    ScriptedDevice dev;
    dev.model_code = model_code;
    dev.firmware_word = firmware_word;
    dev.delay = std::chrono::milliseconds(2);
    return dev;
}

TEST(Scanner, ListsAnsweringDevicesAndUnregistersScannedIds) {
    LoopbackOXL bus;
    bus.add_device(0, device(5, 0x0001));
    bus.add_device(0x2A, device(1, 0x0842));
    bus.add_device(0x2C, device(3, 0xFFFF));
    OrvexActuatorScanner scanner(bus);
    ASSERT_TRUE(scanner.connected);
    bus.clear_sent();

    testing::internal::CaptureStdout();
    EXPECT_EQ(scanner.scan(0x28, 0x2D), (std::vector<int>{0x2A, 0x2C}));
    EXPECT_EQ(scanner.scan(0, 0), std::vector<int>{0});  // the adapter answers like a device
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Device found: address 0x2a (42)\tmodel ARVEN\tfirmware 1.1.2\n"
              "Device found: address 0x2c (44)\tmodel CALDE\tfirmware 31.31.63\n"
              "Device found: address 0x0 (0)\tmodel CAN_ADAPTER\tfirmware 0.0.1\n");
    EXPECT_EQ(sent_ids(bus), (std::vector<int>{0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0}));
    EXPECT_EQ(sent_hex(bus), std::vector<std::string>(7, "40"));
    EXPECT_TRUE(bus.registered_ids().empty()) << "scanning 0 removed the scanner's own callback";

    bus.clear_sent();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(scanner.scan(0x30, 0x2F).empty());
    EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(bus.sent().empty());
}

TEST(Scanner, NegativeIdsAreRefusedButTheirCallbacksOutliveTheScanner) {
    LoopbackOXL bus;
    bus.add_device(0, device(5, 0));
    {
        OrvexActuatorScanner scanner(bus);
        testing::internal::CaptureStderr();
        auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(scanner.scan(-2, -1).empty());
        EXPECT_GE(seconds_since(start), 0.1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Invalid OXL ID: -2\nInvalid OXL ID: -1\n");
        EXPECT_EQ(bus.registered_ids(), (std::vector<int>{-2, -1, 0}));
    }
    EXPECT_EQ(bus.registered_ids(), (std::vector<int>{-2, -1}));
    bus.clear_sent();
    EXPECT_TRUE(bus.deliver(-1, unhex("82 00000100")));  // would print and stop if alive
    EXPECT_TRUE(bus.sent().empty());
}

TEST(Scanner, SilentAdapterMakesEveryScanFail) {
    LoopbackOXL bus;
    testing::internal::CaptureStderr();
    OrvexActuatorScanner scanner(bus);
    EXPECT_FALSE(scanner.connected);
    bus.clear_sent();
    EXPECT_TRUE(scanner.scan(0x10, 0x20).empty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "CAN adapter not responding\nCAN adapter is not connected\n");
    EXPECT_TRUE(bus.sent().empty());
}

TEST(Scanner, ADeviceOtherThanTheAdapterAtIdZeroClosesTheTransport) {
    for (uint16_t code : {uint16_t{1}, uint16_t{0xFFFF}}) {
        LoopbackOXL bus;
        bus.add_device(0, device(code, 0));
        bus.add_device(0x10, device(2, 0));
        testing::internal::CaptureStderr();
        OrvexActuatorScanner scanner(bus);
        EXPECT_EQ(
            testing::internal::GetCapturedStderr(),
            std::string("Device is not a CAN adapter, it's a ") + (code == 1 ? "ARVEN\n" : "\n"));
        EXPECT_TRUE(scanner.connected);
        EXPECT_FALSE(bus.is_connected());
        bus.clear_sent();
        EXPECT_TRUE(scanner.scan(0x10, 0x11).empty()) << "a closed transport sends nothing";
        EXPECT_TRUE(bus.sent().empty());
    }
}

}  // namespace
}  // namespace oxl_test
