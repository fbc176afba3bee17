#pragma once

// GoogleTest helpers for tests that drive the library through fake adapters. Include only from
// test files: the support library itself does not depend on GoogleTest.

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

#include "fake_adapter.hpp"

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

}  // namespace oxl_test
