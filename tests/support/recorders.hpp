#pragma once

// Recorders for tests and bench programs that need no line: what a transport hands to its
// message callback, and the lines the library prints; and a deadline-bounded wait for a condition
// that another thread brings about. No GoogleTest dependency.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "oxl_api/log.hpp"
#include "oxl_api/oxl.hpp"

namespace oxl_test {

/// Re-checks `condition` every millisecond until it holds (true) or `timeout` has passed (false).
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

/// Collects, through the library's log hook, every line the library prints while it lives (on
/// any thread), each with its line end, instead of printing it. Only one may live at a time.
class CerrCapture {
  public:
    CerrCapture() {
        oxl_api::set_log_handler([this](oxl_api::LogSeverity, const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            captured += line + '\n';
        });
    }
    ~CerrCapture() { oxl_api::set_log_handler(nullptr); }
    CerrCapture(const CerrCapture&) = delete;
    CerrCapture& operator=(const CerrCapture&) = delete;

    /// Lines printed so far.
    std::string str() const {
        std::lock_guard<std::mutex> lock(mutex);
        return captured;
    }

  private:
    mutable std::mutex mutex;
    std::string captured;  // guarded by `mutex`
};

/// Records the messages handed to its callback, in arrival order. Declare it before the
/// transport whose callback refers to it.
class Inbox {
  public:
    using Entry = std::tuple<int, std::vector<uint8_t>, int>;  // id, payload, reply flag

    oxl_api::OXL::MessageCallback callback() {
        return [this](int id, std::vector<uint8_t> payload, int reply) {
            std::lock_guard<std::mutex> lock(mutex);
            entries.emplace_back(id, std::move(payload), reply);
            cv.notify_all();
        };
    }
    /// Waits until `count` messages have arrived or `timeout` has passed; returns all so far.
    std::vector<Entry> wait_for(std::size_t count,
                                std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, timeout, [&] { return entries.size() >= count; });
        return entries;
    }
    std::size_t size() {
        std::lock_guard<std::mutex> lock(mutex);
        return entries.size();
    }

  private:
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Entry> entries;  // guarded by mutex
};

}  // namespace oxl_test
