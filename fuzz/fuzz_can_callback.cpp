// Hands arbitrary payloads to the actuator's report decoder, alternating streamed and
// reply-flagged messages, with feedback and error callbacks installed (the default error
// callback too, which answers serious faults by sending a stop command).
#include <oxl_api/orvex_actuator.hpp>

#include <cmath>
#include <cstdlib>

#include "fuzz_null_transport.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silence_diagnostics();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static NullTransport transport;
    oxl_api::OrvexActuator actuator(transport, 0x20);
    const uint8_t flags = data[0];
    size_t max_entries = 0;  // whole 5-byte entries in the message being decoded
    actuator.set_feedback_callback([&](int address, auto items) {
        if (address != 0x20 || items.size() > max_entries) {
            std::abort();
        }
    });
    if (flags & 0x80) {
        actuator.set_error_callback([](int, auto errors) {
            if (errors.empty() || errors.size() > 15) {
                std::abort();
            }
        });
    }
    // The rest of the input is a sequence of messages: a length byte then that many bytes.
    size_t pos = 1;
    int index = 0;
    while (pos < size) {
        const size_t len = std::min<size_t>(data[pos] % 64, size - pos - 1);
        std::vector<uint8_t> payload(data + pos + 1, data + pos + 1 + len);
        pos += 1 + len;
        max_entries = payload.size() / 5;
        const int reply = (flags >> (index++ % 7)) & 1;
        actuator.can_callback(0x20, std::move(payload), reply);
    }
    (void)actuator.get_feedback();
    (void)actuator.model;
    return 0;
}
