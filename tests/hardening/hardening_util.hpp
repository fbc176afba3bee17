#pragma once

// Helpers of the fault-injection tests: a stream of numbered frames fed into a fake adapter from a
// thread of its own, a message callback that records what arrives, and counters of this process's
// threads and file descriptors.

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_adapter.hpp"
#include "oxl_api/oxl.hpp"

namespace hardening {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

/// Little-endian u32 at the start of a payload (the sequence number of a numbered frame).
inline uint32_t sequence_of(const Bytes& payload) {
    if (payload.size() < 4) {
        return UINT32_MAX;
    }
    return static_cast<uint32_t>(payload[0]) | (static_cast<uint32_t>(payload[1]) << 8) |
           (static_cast<uint32_t>(payload[2]) << 16) | (static_cast<uint32_t>(payload[3]) << 24);
}

inline void put_u32(Bytes& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

/// Polls `condition` every millisecond until it holds or `timeout` passes; true when it held.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

/// Records the sequence numbers of the messages handed to its callback, in arrival order.
class SequenceInbox {
  public:
    oxl_api::OXL::MessageCallback callback() {
        return [this](int, Bytes payload, int) {
            std::lock_guard<std::mutex> lock(mutex);
            received.push_back(sequence_of(payload));
            cv.notify_all();
        };
    }
    /// Waits until `predicate(received)` holds or `timeout` passes; true when it held.
    bool wait_until(const std::function<bool(const std::vector<uint32_t>&)>& predicate,
                    std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return predicate(received); });
    }
    /// Waits until at least `count` messages have arrived.
    bool wait_count(std::size_t count, std::chrono::milliseconds timeout = 10s) {
        return wait_until([count](const auto& r) { return r.size() >= count; }, timeout);
    }
    std::vector<uint32_t> snapshot() const {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex);
        return received.size();
    }

  private:
    mutable std::mutex mutex;
    std::condition_variable cv;
    std::vector<uint32_t> received;  // guarded by mutex
};

/// True when every element is greater than the one before it (in order, no repeats).
inline bool strictly_increasing(const std::vector<uint32_t>& values) {
    for (std::size_t i = 1; i < values.size(); ++i) {
        if (values[i] <= values[i - 1]) {
            return false;
        }
    }
    return true;
}

/// Feeds numbered frames to the host from a thread of its own, as a device streaming at
/// `rate_hz` (0: as fast as the line takes them), until `limit` frames were written or it is
/// destroyed. `make_payload(sequence)` builds each frame's payload; the default is the 4-byte
/// sequence number. Writes that fail (the adapter is unplugged) are retried a millisecond later
/// with the next number, as a device that keeps streaming into a dead cable.
class StreamFeeder {
  public:
    using PayloadFn = std::function<Bytes(uint32_t)>;

    StreamFeeder(oxl_test::FakeAdapter& adapter, int id, unsigned rate_hz,
                 uint32_t limit = UINT32_MAX, PayloadFn make_payload = {})
        : thread([this, &adapter, id, rate_hz, limit, make = std::move(make_payload)] {
              run(adapter, id, rate_hz, limit, make);
          }) {}
    ~StreamFeeder() {
        stop = true;
        thread.join();
    }
    StreamFeeder(const StreamFeeder&) = delete;
    StreamFeeder& operator=(const StreamFeeder&) = delete;

    /// Frames written successfully so far.
    uint32_t written() const { return frames_written; }
    /// True once `limit` frames have been attempted.
    bool finished() const { return done; }

  private:
    void run(oxl_test::FakeAdapter& adapter, int id, unsigned rate_hz, uint32_t limit,
             const PayloadFn& make) {
        using Clock = std::chrono::steady_clock;
        // Paced in batches of one millisecond's worth of frames.
        const uint32_t per_batch = rate_hz == 0 ? 64 : (rate_hz + 999) / 1000;
        auto next = Clock::now();
        uint32_t sequence = 0;
        while (!stop && sequence < limit) {
            Bytes batch;
            uint32_t in_batch = 0;
            for (; in_batch < per_batch && sequence < limit; ++in_batch, ++sequence) {
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
            if (adapter.write_raw(batch)) {
                frames_written += in_batch;
            } else {
                std::this_thread::sleep_for(1ms);
            }
            if (rate_hz != 0) {
                next += 1ms;
                std::this_thread::sleep_until(next);
            }
        }
        done = true;
    }

    std::atomic<bool> stop{false};  // atomic hand-over flag
    std::atomic<bool> done{false};  // atomic hand-over flag
    std::atomic<uint32_t> frames_written{0};
    // Declared last: started once the flags exist.
    std::thread thread;
};

/// Count of entries of a /proc/self directory (threads in "task", descriptors in "fd"), not
/// counting the descriptor used to list it.
inline int count_proc_entries(const char* path) {
    DIR* dir = ::opendir(path);
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(dir);
    return std::string(path) == "/proc/self/fd" ? count - 1 : count;
}

}  // namespace hardening
