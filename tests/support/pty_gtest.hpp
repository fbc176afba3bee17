#pragma once

// GoogleTest helpers for tests that drive the library through fake adapters. Include only from
// test files: the support library itself does not depend on GoogleTest.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fake_adapter.hpp"
#include "oxl_api/oxl.hpp"

/// At the top of a TEST body: skips the test when fake adapters are unavailable (not root, no
/// mount namespace), or fails it when the environment variable CI is "true".
#define OXL_REQUIRE_FAKE_ADAPTERS()                                                \
    do {                                                                           \
        std::string oxl_why_;                                                      \
        if (!oxl_test::fake_adapters_available(&oxl_why_)) {                       \
            if (oxl_test::skipping_is_failure()) {                                 \
                FAIL() << "fake adapters unavailable under CI=true: " << oxl_why_; \
            }                                                                      \
            GTEST_SKIP() << "fake adapters unavailable: " << oxl_why_;             \
        }                                                                          \
    } while (false)

namespace oxl_test {

/// The main() of a test executable that uses fake adapters: enters the private namespace first,
/// while no thread exists (a multithreaded process cannot change mount namespace), then runs the
/// tests. `what` names them in the note printed when fake adapters are unavailable.
inline int run_fake_adapter_tests(int argc, char** argv, const char* what) {
    std::string why;
    const bool ready = enter_private_namespace(&why);
    testing::InitGoogleTest(&argc, argv);
    if (!ready && !testing::GTEST_FLAG(list_tests)) {
        std::cerr << "note: " << what << " need fake adapters: " << why << "\n";
    }
    return RUN_ALL_TESTS();
}

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
