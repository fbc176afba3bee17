#pragma once

// Helpers shared by the end-to-end tests of this folder.

#include <chrono>
#include <functional>
#include <thread>

namespace simbus_test {

/// Re-checks `condition` every millisecond until it holds (true) or `timeout` has passed (false).
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace simbus_test
