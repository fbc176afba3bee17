// Hands arbitrary payloads and offsets to the parameter report decoder. The first two bytes
// are the offset as a signed 16-bit number, so negative and oversized offsets are covered.
#include <oxl_api/orvex_actuator.hpp>

#include <cstdlib>
#include <cstring>

#include "fuzz_null_transport.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silence_diagnostics();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    static NullTransport transport;
    oxl_api::OrvexActuator actuator(transport, 0x20);
    int16_t offset;
    std::memcpy(&offset, data, 2);
    std::vector<uint8_t> payload(data + 2, data + size);
    actuator.parse_parameters(payload, offset);
    // Nothing can be decoded from an offset outside the payload or from fewer than 5 bytes
    // after it, so the hand-over flag must stay clear then.
    const bool room = offset >= 0 && static_cast<size_t>(offset) + 5 <= payload.size();
    if (!room && actuator.parameters_received.load()) {
        std::abort();
    }
    return 0;
}
