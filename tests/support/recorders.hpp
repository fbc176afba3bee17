#pragma once

// Recorders for tests and bench programs that need no line: what a transport hands to its
// message callback, and what the library writes to std::cerr. No GoogleTest dependency.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "oxl_api/oxl.hpp"

namespace oxl_test {

/// Collects everything written to std::cerr while it lives (the library writes its diagnostic
/// lines there). Nothing else may write to std::cerr concurrently.
class CerrCapture {
  public:
    CerrCapture() : saved(std::cerr.rdbuf(captured.rdbuf())) {}
    ~CerrCapture() { std::cerr.rdbuf(saved); }
    CerrCapture(const CerrCapture&) = delete;
    CerrCapture& operator=(const CerrCapture&) = delete;

    /// Text written so far.
    std::string str() const { return captured.str(); }

  private:
    std::ostringstream captured;
    std::streambuf* saved;
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
