#pragma once

#include <algorithm>
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
using Strings = std::vector<std::string>;

/// Lower-case hex of a byte string, no separators: {0x0c, 0x01} -> "0c01".
inline std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    for (uint8_t b : bytes) {
        out += "0123456789abcdef"[b >> 4];
        out += "0123456789abcdef"[b & 0x0F];
    }
    return out;
}

/// Hex of a float as sent on the wire (little-endian single precision).
inline std::string hex_float(float value) {
    std::vector<uint8_t> bytes;
    oxl_api::append_float(bytes, value);
    return hex(bytes);
}

/// Bytes of a hex string; spaces are ignored: "45 0000803f" -> {0x45, 0, 0, 0x80, 0x3f}.
inline std::vector<uint8_t> unhex(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

/// Hex of every recorded payload, in sending order.
inline Strings sent_hex(const LoopbackOXL& bus) {
    Strings out;
    for (const auto& m : bus.sent()) {
        out.push_back(hex(m.payload));
    }
    return out;
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace oxl_test
