#include "pty_gtest.hpp"

int main(int argc, char** argv) {
    return oxl_test::run_fake_adapter_tests(argc, argv, "the bridge's tests on an adapter");
}
