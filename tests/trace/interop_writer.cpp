// Records a known exchange with a simulated actuator through the library's trace sink, for
// check_interop.py to read with other tools. Writes the log to argv[1] and, to argv[2], one line
// "<CAN id in hex> <data in hex>" per message that this program sent or received.
//
// Usage: trace_interop_writer LOG EXPECTED

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "oxl_api/oxl_over_sim.hpp"
#include "oxl_api/trace.hpp"

namespace {

struct Seen {
    uint32_t can_id;
    std::vector<uint8_t> data;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s LOG EXPECTED\n", argv[0]);
        return 2;
    }
    std::vector<Seen> seen;
    std::mutex seen_mutex;
    {
        oxl_api::OXL_over_Sim sim;
        sim.bus().add_actuator(0x20);
        auto sink = oxl_api::CandumpFileSink::open(argv[1]);
        if (!sink) {
            return 1;
        }
        sim.setCallback(0x20, [&](int id, std::vector<uint8_t> payload, int reply_flag) {
            std::lock_guard<std::mutex> lock(seen_mutex);
            seen.push_back(
                {0x10000000u | (reply_flag != 0 ? 0x8000u : 0u) | static_cast<uint32_t>(id),
                 payload});
        });
        sim.set_trace_sink(sink);
        // Ping, blink, an item request (10 bytes: CAN FD), a read of 9 parameters (answered with
        // 46 bytes), stop, and a ping of an id where nothing answers.
        const std::vector<std::pair<int, std::vector<uint8_t>>> messages = {
            {0x20, {0x40}},
            {0x20, {0x41}},
            {0x20, {0x0F, 0x4C, 0x45, 0x56, 0x70, 0x71, 0x72, 0x90, 0x4B, 0x41}},
            {0x20, {0x0C, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09}},
            {0x20, {0x02}},
            {0x3FFE, {0x40}},
        };
        for (const auto& message : messages) {
            if (!sim.send_OXL(message.first, message.second)) {
                return 1;
            }
            std::lock_guard<std::mutex> lock(seen_mutex);
            seen.push_back({0x4000u | static_cast<uint32_t>(message.first), message.second});
        }
        // Three answers: identity, items, parameters.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(seen_mutex);
                if (seen.size() >= messages.size() + 3) {
                    break;
                }
            }
            if (std::chrono::steady_clock::now() > deadline) {
                std::fprintf(stderr, "the simulated actuator did not answer\n");
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        sim.set_trace_sink(nullptr);
        sim.removeCallback(0x20);
        sink->close();
    }
    std::ofstream out(argv[2]);
    for (const Seen& message : seen) {
        char id[16];
        std::snprintf(id, sizeof id, "%08X", static_cast<unsigned>(message.can_id));
        out << id << ' ';
        for (const uint8_t byte : message.data) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02X", byte);
            out << hex;
        }
        out << '\n';
    }
    return out ? 0 : 1;
}
