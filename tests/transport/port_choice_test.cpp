// SerialPort and the automatic choice of the adapter's port, against fake USB serial ports.

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "oxl_api/oxl_over_usb.hpp"
#include "oxl_api/serial_port.hpp"
#include "pty_gtest.hpp"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using oxl_api::OXL_over_USB;
using oxl_api::PortInfo;
using oxl_api::SerialPort;
using oxl_test::CerrCapture;
using oxl_test::FakeAdapter;

TEST(SerialPortLine, ListsOpensReadsAndWrites) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    EXPECT_TRUE(SerialPort::list_ports().empty());
    FakeAdapter adapter(0x0483, 0xA545);
    oxl_test::AdapterOptions plain;
    plain.usb = false;
    plain.device_node = false;
    FakeAdapter no_usb(plain);

    std::set<std::tuple<std::string, int, int>> listed;
    for (const PortInfo& info : SerialPort::list_ports()) {
        listed.emplace(info.name, info.vid, info.pid);
    }
    EXPECT_EQ(listed, (decltype(listed){{adapter.port_name(), 0x0483, 0xA545},
                                        {no_usb.port_name(), 0, 0}}));

    SerialPort port;
    {
        CerrCapture cerr;
        EXPECT_FALSE(port.open(no_usb.port_name(), 115200));  // listed, but no device node
        EXPECT_EQ(cerr.str(), "SerialPort: failed to open port " + no_usb.port_name() + "\n");
    }
    ASSERT_TRUE(port.open(adapter.port_name(), 115200));
    const Bytes frame = oxl_test::encode_adapter_frame(0x4001, {0x0A, 0x0D});
    EXPECT_EQ(port.write(frame), frame.size());
    const auto written = adapter.read_frame(3s);
    ASSERT_TRUE(written);
    EXPECT_EQ(written->raw, frame);  // raw line: no output processing of 0x0A

    ASSERT_TRUE(adapter.write_raw({0x0A, 0x0D, 0x03, 0x11, 0x13, 0x00}));  // raw: no line editing
    EXPECT_TRUE(oxl_test::eventually([&] { return port.in_waiting() == 6; }));
    EXPECT_EQ(port.read(4), (Bytes{0x0A, 0x0D, 0x03, 0x11}));
    port.flush_input();
    EXPECT_EQ(port.in_waiting(), 0u);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(port.read(4).empty());  // idle line: the 800 ms time-out
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 750ms);
    EXPECT_LT(waited, 3s);

    CerrCapture cerr;
    EXPECT_FALSE(port.open("/dev/ttyOXL-none", 115200));  // closes the open port first
    EXPECT_FALSE(port.is_open());
    EXPECT_EQ(cerr.str(), "SerialPort: failed to find port /dev/ttyOXL-none\n");
}

TEST(AdapterPortChoice, NoneOneOrSeveralAdapters) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    FakeAdapter wrong_pid(0x0483, 0xA54B);
    FakeAdapter wrong_vid(0x0484, 0xA540);
    FakeAdapter below_range(0x0483, 0xA53F);
    {
        CerrCapture cerr;
        EXPECT_TRUE(OXL_over_USB::get_ports().empty());
        OXL_over_USB usb;  // connects at once: nothing to choose
        EXPECT_FALSE(usb.is_connected());
        EXPECT_EQ(cerr.str(), "No serial ports found\n");
    }

    FakeAdapter first(0x0483, 0xA54A);
    EXPECT_EQ(OXL_over_USB::get_ports(), std::vector<std::string>{first.port_name()});
    {
        OXL_over_USB usb;
        EXPECT_TRUE(usb.is_connected());
        EXPECT_EQ(usb.port_name, first.port_name());
        ASSERT_TRUE(usb.send_OXL(1, {0x2A}));
        ASSERT_TRUE(first.read_frame(3s));
    }

    FakeAdapter second(0x0483, 0xA540);
    const auto ports = OXL_over_USB::get_ports();
    ASSERT_EQ(ports.size(), 2u);
    CerrCapture cerr;
    OXL_over_USB usb("", false);
    EXPECT_FALSE(usb.connect(""));
    EXPECT_EQ(cerr.str(), "Found multiple serial ports. Manually select one. Available ports: " +
                              ports[0] + " " + ports[1] + "\n");
    EXPECT_TRUE(usb.port_name.empty());
}

}  // namespace
