#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "loopback_oxl.hpp"
#include "oxl_api/orvex_actuator.hpp"

namespace oxl_test {

using oxl_api::OrvexActuator;
using Item = OrvexActuator::OXL_Items;
using Param = OrvexActuator::OXL_Parameters;

/// Lower-case hex of a byte string, no separators: {0x0c, 0x01} -> "0c01".
inline std::string hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

/// Hex of a 32-bit word in little-endian byte order: 0x3f800000 -> "0000803f".
inline std::string hex_word(uint32_t w) {
    return hex({static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8),
                static_cast<uint8_t>(w >> 16), static_cast<uint8_t>(w >> 24)});
}

/// Bytes of a hex string; spaces are ignored: "45 0000803f" -> {0x45, 0, 0, 0x80, 0x3f}.
inline std::vector<uint8_t> unhex(const std::string& text) {
    std::vector<uint8_t> out;
    std::string digits;
    for (char c : text) {
        if (c != ' ') {
            digits += c;
        }
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

/// Hex of every recorded payload, in sending order.
inline std::vector<std::string> sent_hex(const LoopbackOXL& bus) {
    std::vector<std::string> out;
    for (const auto& m : bus.sent()) {
        out.push_back(hex(m.payload));
    }
    return out;
}

/// Ids of every recorded message, in sending order.
inline std::vector<int> sent_ids(const LoopbackOXL& bus) {
    std::vector<int> out;
    for (const auto& m : bus.sent()) {
        out.push_back(m.id);
    }
    return out;
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace oxl_test
