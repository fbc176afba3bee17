// Fast discovery (OrvexActuatorScanner::discover) and the one-id probe (probe_identity) on the
// in-process simulated bus.

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "oxl_api/orvex_actuator.hpp"
#include "oxl_api/oxl_over_sim.hpp"
#include "recorders.hpp"
#include "registry_probe.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

// The simulated transport with a readable registry, a ping that can be made to throw, and a ping
// that can be held back and delivered later (a device answering late). Application thread only.
class ProbedSim : public oxl_test::RegistryProbe<oxl_api::OXL_over_Sim> {
  public:
    bool send_OXL(int id, const Bytes& payload) override {
        if (id == fail_at) {
            throw std::runtime_error("line gone");
        }
        if (id == held_id) {
            held = payload;
            return true;
        }
        if (id == release_at && held) {
            OXL_over_Sim::send_OXL(held_id, *held);
            held.reset();
        }
        return OXL_over_Sim::send_OXL(id, payload);
    }

    int fail_at = -1;
    int held_id = -1;     // the ping to this id is held back ...
    int release_at = -1;  // ... until the ping to this one
    std::optional<Bytes> held;
};

TEST(SimDiscovery, FindsEveryDeviceOfTheWholeRangeAndLeavesNoCallbackBehind) {
    ProbedSim sim;
    ASSERT_TRUE(sim.bus().add_actuator(0x10, 1, 0x0842));
    ASSERT_TRUE(sim.bus().add_actuator(0x1234, 3, 0x0001));
    ASSERT_TRUE(sim.bus().add_actuator(0x3FFE, 10, 0xFFFF));
    {
        oxl_api::OrvexActuatorScanner scanner(sim);
        ASSERT_TRUE(scanner.connected);

        // Windows of 4 ids: 0x11 answers only while 0x14..0x17 are pinged. Its late answer is
        // credited to no id, neither its own nor one of the open window.
        ASSERT_TRUE(sim.bus().add_actuator(0x11));
        sim.held_id = 0x11;
        sim.release_at = 0x15;
        testing::internal::CaptureStdout();
        const auto found_early = scanner.discover(0x10, 0x17, 4);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(found_early, std::vector<int>{0x10});
        EXPECT_FALSE(sim.held);
        ASSERT_TRUE(sim.bus().remove_actuator(0x11));

        // A transport that throws in the middle of a window (which holds the scanner's own id 0)
        // leaves none of the discovery's callbacks registered, and the scanner's own in place.
        sim.fail_at = 3;
        EXPECT_THROW(scanner.discover(0, 0x20, 8), std::runtime_error);
        EXPECT_EQ(sim.registered_ids(), std::vector<int>{0});
        sim.fail_at = -1;

        std::vector<std::pair<int, int>> progress;
        testing::internal::CaptureStdout();
        const auto found =
            scanner.discover(0x10, 0x3FFE, oxl_api::OrvexActuatorScanner::kDiscoveryWindow,
                             [&](int done, int total) {
                                 progress.emplace_back(done, total);
                                 return true;
                             });
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Device found: address 0x10 (16)\tmodel ARVEN\tfirmware 1.1.2\n"
                  "Device found: address 0x1234 (4660)\tmodel CALDE\tfirmware 0.0.1\n"
                  "Device found: address 0x3ffe (16382)\tmodel IVAST\tfirmware 31.31.63\n");
        EXPECT_EQ(found, (std::vector<int>{0x10, 0x1234, 0x3FFE}));
        EXPECT_EQ(sim.registered_ids(), std::vector<int>{0});
        ASSERT_EQ(progress.size(), 32u);  // 16367 ids in windows of 512
        EXPECT_EQ(progress.front(), std::make_pair(512, 16367));
        EXPECT_EQ(progress.back(), std::make_pair(16367, 16367));
        EXPECT_EQ(scanner.model, "CAN_ADAPTER");
    }
    EXPECT_TRUE(sim.registered_ids().empty());
}

TEST(SimDiscovery, ProbeNamesWhatAnswersSilentlyAndLeavesAnotherClientsCallbackAlone) {
    ProbedSim sim;
    ASSERT_TRUE(sim.bus().add_actuator(0x1234, 3, 0x0001));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const auto found = oxl_api::probe_identity(sim, 0x1234, 1.0f);
    const auto silent = oxl_api::probe_identity(sim, 0x1235, 0.02f);
    const auto beyond = oxl_api::probe_identity(sim, 0x3FFF, 0.02f);
    EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->model, "CALDE");
    EXPECT_EQ(found->firmware, "0.0.1");
    EXPECT_FALSE(silent);
    EXPECT_FALSE(beyond);
    EXPECT_TRUE(sim.registered_ids().empty());

    // A client listening on the id keeps its callback, and the probe sends nothing.
    std::atomic<int> client_messages{0};
    sim.setCallback(0x1234, [&](int, Bytes, int) { ++client_messages; });
    const uint64_t received = sim.bus().stats().messages_received;
    EXPECT_FALSE(oxl_api::probe_identity(sim, 0x1234, 0.02f));
    EXPECT_EQ(sim.bus().stats().messages_received, received);
    EXPECT_EQ(sim.registered_ids(), std::vector<int>{0x1234});
    ASSERT_TRUE(sim.send_OXL(0x1234, {0x40}));  // a ping: the answer goes to the client
    EXPECT_TRUE(oxl_test::eventually([&] { return client_messages.load() == 1; }));
    sim.removeCallback(0x1234);
}

}  // namespace
