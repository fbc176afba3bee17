#pragma once

// What the host and the actuators say to each other, byte by byte: command and report codes, the
// classes of feedback items and parameters, and little-endian field helpers. Shared by the
// actuator client (which encodes commands and decodes reports) and the simulated bus (which does
// the reverse), so that the two sides cannot drift apart. Internal: not installed.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "oxl_api/details/vocabulary.hpp"

namespace oxl_api {
namespace wire {

// Command codes, host to actuator (the first byte of every command payload).
constexpr uint8_t kCmdStart = 0x01;
constexpr uint8_t kCmdStop = 0x02;
constexpr uint8_t kCmdMode = 0x03;
constexpr uint8_t kCmdSetpoint = 0x04;
constexpr uint8_t kCmdFeedbackRate = 0x06;
constexpr uint8_t kCmdFeedbackItems = 0x07;
constexpr uint8_t kCmdHome = 0x0A;
constexpr uint8_t kCmdWriteParameters = 0x0B;
constexpr uint8_t kCmdReadParameters = 0x0C;
constexpr uint8_t kCmdTorquePerformance = 0x0D;
constexpr uint8_t kCmdSpeedPerformance = 0x0E;
constexpr uint8_t kCmdRequestItems = 0x0F;
constexpr uint8_t kCmdSetpointLong = 0x10;
constexpr uint8_t kCmdTorqueSetpoint = 0x11;
constexpr uint8_t kCmdSpeedSetpoint = 0x12;
constexpr uint8_t kCmdPositionSetpoint = 0x13;
constexpr uint8_t kCmdImpedanceSetpoint = 0x14;
constexpr uint8_t kCmdInternalSpeedSetpoint = 0x15;
constexpr uint8_t kCmdInternalPositionSetpoint = 0x16;
constexpr uint8_t kCmdSaveConfig = 0x39;
constexpr uint8_t kCmdPing = 0x40;
constexpr uint8_t kCmdBlink = 0x41;
constexpr uint8_t kCmdBootloader = 0xC1;
constexpr uint8_t kCmdClearConfig = 0xC2;  // also the factory restore

// Report kinds, actuator to host (the first byte of an entry).
constexpr uint8_t kReportEnd = 0x00;
constexpr uint8_t kReportIdentity = 0x80;
constexpr uint8_t kReportErrors = 0x82;
constexpr uint8_t kReportParameters = 0x83;

// One item or parameter entry: a code byte and 4 value bytes.
constexpr std::size_t kEntrySize = 5;

// Code sets generated from the shared enumerator lists (a code listed twice would not compile).
#define OXL_WIRE_CASE(name, value) case value:

// The 48 feedback item codes (0x4E is not one).
inline bool is_item_code(uint8_t c) {
    switch (c) {
        OXL_API_FEEDBACK_ITEMS(OXL_WIRE_CASE)
        return true;
        default:
            return false;
    }
}

// Items carried as unsigned 32-bit counts; `kSignedItem` is the one signed count; every other
// item is a float.
inline bool is_unsigned_item(uint8_t c) {
    return c == 0x42 || c == 0x44 || c == 0x60 || c == 0x61 || c == 0x62 || c == 0x90;
}
constexpr uint8_t kSignedItem = 0x4A;

// The 31 parameter codes.
inline bool is_parameter_code(uint8_t c) {
    switch (c) {
        OXL_API_PARAMETERS(OXL_WIRE_CASE)
        return true;
        default:
            return false;
    }
}

#undef OXL_WIRE_CASE

// Parameters whose value travels as an unsigned 32-bit integer in a parameter report.
inline bool is_unsigned_parameter(uint8_t c) {
    return c == 0x80 || c == 0x82 || c == 0x83 || c == 0x84;
}

inline uint16_t read_u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (static_cast<unsigned>(p[1]) << 8));
}

inline uint32_t read_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline float float_from_bits(uint32_t word) {
    float value;
    std::memcpy(&value, &word, sizeof value);
    return value;
}

inline void append_u16(std::vector<uint8_t>& out, uint16_t word) {
    out.push_back(static_cast<uint8_t>(word & 0xFF));
    out.push_back(static_cast<uint8_t>(word >> 8));
}

inline void append_u32(std::vector<uint8_t>& out, uint32_t word) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>((word >> shift) & 0xFF));
    }
}

// The 4 IEEE-754 single-precision bytes of `value`, least significant first, bit for bit.
inline void append_f32(std::vector<uint8_t>& out, float value) {
    uint32_t word;
    std::memcpy(&word, &value, sizeof word);
    append_u32(out, word);
}

// Truncation toward zero as a conversion to a 32-bit signed integer does, without its undefined
// cases: NaN gives 0 and values beyond the range saturate at its ends.
inline int32_t saturating_int32(float value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= 2147483648.0f) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value < -2147483648.0f) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

// The same for a 32-bit unsigned integer: NaN and values below 1 give 0, values beyond the range
// saturate at its top.
inline uint32_t saturating_uint32(float value) {
    if (!(value > 0.0f)) {
        return 0;  // negative, zero or NaN
    }
    if (value >= 4294967296.0f) {
        return std::numeric_limits<uint32_t>::max();
    }
    return static_cast<uint32_t>(value);
}

}  // namespace wire
}  // namespace oxl_api
