#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "fake_adapter.hpp"

int main(int argc, char** argv) {
    // Must run before any thread exists: a multithreaded process cannot change mount namespace.
    std::string why;
    const bool ready = oxl_test::enter_private_namespace(&why);
    testing::InitGoogleTest(&argc, argv);
    if (!ready && !testing::GTEST_FLAG(list_tests)) {
        std::cerr << "note: fault-injection tests need fake adapters: " << why << "\n";
    }
    return RUN_ALL_TESTS();
}
