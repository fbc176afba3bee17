// Tracing: candump lines written and read back exactly, bad lines refused with a reason, and the
// file sink fed by a transport's send and receive paths.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "oxl_api/orvex_actuator.hpp"
#include "oxl_api/oxl_over_sim.hpp"
#include "oxl_api/trace.hpp"

namespace {

using oxl_api::CandumpFileSink;
using oxl_api::TraceDirection;
using oxl_api::TraceRecord;

TraceRecord make(TraceDirection direction, int id, std::vector<uint8_t> payload, int reply = 0,
                 int host = 1) {
    TraceRecord r;
    r.direction = direction;
    r.id = static_cast<uint16_t>(id);
    r.reply_flag = static_cast<uint8_t>(reply);
    r.host_id = static_cast<uint16_t>(direction == TraceDirection::SENT ? host : 0);
    r.set_payload(payload.data(), payload.size());
    return r;
}

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string temp_path(const std::string& name) {
    return testing::TempDir() + "oxl_trace_" + name + ".log";
}

TEST(TraceLine, WrittenAsCandumpAndReadBackExactly) {
    std::vector<uint8_t> full(59);
    for (std::size_t i = 0; i < full.size(); ++i) {
        full[i] = static_cast<uint8_t>(i * 7);
    }
    const struct {
        TraceRecord message;
        const char* line;  // nullptr: only the round trip is checked
    } rows[] = {
        {make(TraceDirection::SENT, 0x20, {0x40}), "(1700000000.123456) oxl0 00004020#40"},
        {make(TraceDirection::RECEIVED, 0x20, {0x80, 0x01, 0x00, 0x42, 0x08}, 0),
         "(1700000000.123456) oxl0 10000020#8001004208"},
        {make(TraceDirection::RECEIVED, 0x3FFF, {}, 1), "(1700000000.123456) oxl0 1000BFFF#"},
        {make(TraceDirection::SENT, 0x3FFE, {1, 2, 3, 4, 5, 6, 7, 8}, 0, 0x3FFF),
         "(1700000000.123456) oxl0 0FFFFFFE#0102030405060708"},
        {make(TraceDirection::SENT, 5, {1, 2, 3, 4, 5, 6, 7, 8, 0xAB}),
         "(1700000000.123456) oxl0 00004005##00102030405060708AB"},
        {make(TraceDirection::RECEIVED, 0x21, full, 1), nullptr},
        {make(TraceDirection::SENT, 0, full, 0, 0), nullptr},
    };
    const int64_t wall = 1700000000123456789LL;  // the sub-microsecond part is not printed
    for (const auto& row : rows) {
        const std::string line = oxl_api::format_candump_line(row.message, wall, "oxl0");
        if (row.line != nullptr) {
            EXPECT_EQ(line, row.line);
        }
        TraceRecord back;
        std::string name;
        std::string error;
        ASSERT_TRUE(oxl_api::parse_candump_line(line + "\r\n", back, name, error))
            << line << ": " << error;
        EXPECT_EQ(name, "oxl0");
        EXPECT_EQ(back.time_ns, 1700000000123456000LL);
        EXPECT_EQ(back.direction, row.message.direction) << line;
        EXPECT_EQ(back.id, row.message.id) << line;
        EXPECT_EQ(back.host_id, row.message.host_id) << line;
        EXPECT_EQ(back.reply_flag, row.message.reply_flag) << line;
        EXPECT_EQ(back.payload(), row.message.payload()) << line;
    }
}

TEST(TraceLine, BadLinesAreRefusedWithAReason) {
    const struct {
        const char* line;
        const char* reason;
    } rows[] = {
        {"", "not a candump log line"},
        {"date,id,data", "not a candump log line"},
        {"(17.5 oxl0 00004020#40", "bad time"},
        {"(.5) oxl0 00004020#40", "bad time"},
        {"(99999999999.000000) oxl0 00004020#40", "time out of range"},
        {"(1.000000) oxl0", "expected a frame"},
        {"(1.000000) oxl0 00004020", "no '#'"},
        {"(1.000000) oxl0 123#40", "standard 11-bit"},
        {"(1.000000) oxl0 4020#40", "8 hex digits"},
        {"(1.000000) oxl0 0000G020#40", "bad hex digit in the CAN id"},
        {"(1.000000) oxl0 20004020#40", "beyond 29 bits"},
        {"(1.000000) oxl0 00004020#R", "remote frame"},
        {"(1.000000) oxl0 00004020#4", "odd number"},
        {"(1.000000) oxl0 00004020#4G", "bad hex digit in the data"},
        {"(1.000000) oxl0 00004020#010203040506070809", "more than 8"},
        {"(1.000000) oxl0 00004020##", "flags digit"},
        {"(1.000000) oxl0 00004020#", "1 to 59 bytes"},
        {"(1.000000) oxl0 00007FFF#40", "out of range"},
        {"(1.000000) oxl0 10004020#40", "not one this library logs"},
        {"(1.000000) oxl0 00004020##0"
         "000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
         "000000000000000000000000000000000000",
         "at most 59"},
    };
    for (const auto& row : rows) {
        TraceRecord message;
        std::string name;
        std::string error;
        EXPECT_FALSE(oxl_api::parse_candump_line(row.line, message, name, error)) << row.line;
        EXPECT_NE(error.find(row.reason), std::string::npos)
            << row.line << " gave '" << error << "'";
    }
}

TEST(TraceSink, RecordsWhatTheSimulatedTransportSendsAndReceives) {
    const std::string path = temp_path("sim");
    {
        oxl_api::OXL_over_Sim sim;
        ASSERT_TRUE(sim.bus().add_actuator(0x20));
        auto sink = CandumpFileSink::open(path);
        ASSERT_TRUE(sink);
        sim.set_trace_sink(sink);
        oxl_api::OrvexActuator actuator(sim, 0x20);
        ASSERT_TRUE(actuator.connect(2.0f));
        sim.set_trace_sink(nullptr);
        actuator.send_ping(0.0f);  // not traced any more
        sink->close();
        EXPECT_EQ(sink->lost(), 0u);
        EXPECT_EQ(sink->written(), 2u);
    }
    const std::vector<std::string> lines = read_lines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" oxl0 00004020#40"), std::string::npos) << lines[0];
    // The identity report, flagged as a reply: model 1, firmware word 0x0842.
    EXPECT_NE(lines[1].find(" oxl0 10008020#8001004208"), std::string::npos) << lines[1];
    std::remove(path.c_str());
}

TEST(TraceSink, AFullBufferLosesLinesAndCountsEachOne) {
    const std::string path = temp_path("full");
    constexpr int kMessages = 20000;
    uint64_t lost = 0;
    uint64_t written = 0;
    {
        auto sink = CandumpFileSink::open(path, "oxl0", 1);
        ASSERT_TRUE(sink);
        const TraceRecord message = make(TraceDirection::RECEIVED, 0x20, {1, 2, 3});
        for (int i = 0; i < kMessages; ++i) {
            sink->record(message);
        }
        testing::internal::CaptureStderr();
        sink->close();
        const std::string report = testing::internal::GetCapturedStderr();
        lost = sink->lost();
        written = sink->written();
        EXPECT_NE(report.find(std::to_string(lost) + " lines lost"), std::string::npos) << report;
        sink->record(message);  // after close: lost too
        EXPECT_EQ(sink->lost(), lost + 1);
    }
    EXPECT_GT(lost, 0u);  // one slot cannot keep up with a tight loop
    EXPECT_EQ(lost + written, static_cast<uint64_t>(kMessages));
    EXPECT_EQ(read_lines(path).size(), written);
    std::remove(path.c_str());
}

}  // namespace
