#pragma once

// Helpers of the fault-injection tests: numbered frames streamed into a fake adapter from a
// thread of their own.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include "pty_gtest.hpp"

namespace hardening {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;
using oxl_test::eventually;
using oxl_test::FakeAdapter;
using oxl_test::Inbox;

inline void put_u32(Bytes& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

/// The sequence numbers (little-endian u32 payloads) of the messages `inbox` holds once `count`
/// have arrived, or of those that arrived within `timeout`.
inline std::vector<uint32_t> sequences(Inbox& inbox, std::size_t count = 0,
                                       std::chrono::milliseconds timeout = 10s) {
    std::vector<uint32_t> out;
    for (const Inbox::Entry& entry : inbox.wait_for(count, timeout)) {
        const Bytes& p = std::get<1>(entry);
        out.push_back(p.size() < 4 ? UINT32_MAX
                                   : uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                                         uint32_t{p[3]} << 24);
    }
    return out;
}

inline bool strictly_increasing(const std::vector<uint32_t>& values) {
    return std::adjacent_find(values.begin(), values.end(), std::greater_equal<>()) == values.end();
}

/// Writes numbered frames to `id` from a thread of its own, as a device streaming at `rate_hz`
/// (0: as fast as the line takes them), until `limit` frames were attempted or it is destroyed.
/// `make_payload(n)` builds frame n's payload (default: n as a u32). A failed write (unplugged
/// adapter) is retried a millisecond later with the next number, as a device streaming into a
/// dead cable does.
class StreamFeeder {
  public:
    using PayloadFn = std::function<Bytes(uint32_t)>;

    StreamFeeder(FakeAdapter& adapter, int id, unsigned rate_hz, uint32_t limit = UINT32_MAX,
                 PayloadFn make_payload = {})
        : thread([=, &adapter] { run(adapter, id, rate_hz, limit, make_payload); }) {}
    ~StreamFeeder() {
        stop = true;
        thread.join();
    }
    StreamFeeder(const StreamFeeder&) = delete;
    StreamFeeder& operator=(const StreamFeeder&) = delete;

  private:
    void run(FakeAdapter& adapter, int id, unsigned rate_hz, uint32_t limit,
             const PayloadFn& make) {
        // Paced in batches of one millisecond's worth of frames.
        const uint32_t per_batch = rate_hz == 0 ? 64 : (rate_hz + 999) / 1000;
        auto next = std::chrono::steady_clock::now();
        for (uint32_t sequence = 0; !stop && sequence < limit;) {
            Bytes batch;
            for (uint32_t n = 0; n < per_batch && sequence < limit; ++n, ++sequence) {
                Bytes payload;
                if (make) {
                    payload = make(sequence);
                } else {
                    put_u32(payload, sequence);
                }
                const Bytes frame =
                    oxl_test::encode_adapter_frame(static_cast<uint16_t>(id), payload);
                batch.insert(batch.end(), frame.begin(), frame.end());
            }
            if (!adapter.write_raw(batch)) {
                std::this_thread::sleep_for(1ms);
            }
            if (rate_hz != 0) {
                std::this_thread::sleep_until(next += 1ms);
            }
        }
    }

    std::atomic<bool> stop{false};  // atomic hand-over flag
    // Declared last: started once the flag exists.
    std::thread thread;
};

}  // namespace hardening
