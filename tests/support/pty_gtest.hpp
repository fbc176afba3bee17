#pragma once

// GoogleTest helpers for tests that drive the library through fake adapters (the recorders come
// along). Include only from test files: the support libraries do not depend on GoogleTest.

#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "fake_adapter.hpp"
#include "recorders.hpp"

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

}  // namespace oxl_test
