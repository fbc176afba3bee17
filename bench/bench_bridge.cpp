// `oxl bridge` under load: 12 joints at 1 kHz on one simulated bus, one JointState per cycle,
// received by a DDS subscriber in this process over the loopback interface. Prints the latency
// from the frames' receipt on the bus (the JointState's header stamp) to this subscriber, the
// JointStates received per second, and the CPU time of the bridge process (which also runs
// the simulated bus) as a share of one core.
//
//   bench_bridge [SECONDS (default 10)]
#include <dds/dds.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bridge_peer.hpp"

namespace {

// User plus system CPU time of process `pid` in seconds, from /proc.
double cpu_seconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream fields(content.substr(content.rfind(')') + 2));
    std::string field;
    double ticks = 0.0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) {  // utime, stime
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1));
    return values[index];
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    namespace fs = std::filesystem;
    std::string scratch = (fs::temp_directory_path() / "oxl_bench_bridge_XXXXXX").string();
    if (mkdtemp(scratch.data()) == nullptr) {
        return 1;
    }
    bridge_test::use_loopback_dds(scratch);
    std::ostringstream config;
    config << R"({"namespace": "bench", "joints": [)";
    for (int i = 0; i < 12; ++i) {
        config << (i > 0 ? "," : "") << R"({"name": "j)" << i << R"(", "address": )" << 0x20 + i
               << R"(, "mode": "position", "rate_hz": 1000, "limits": {"min": -1, "max": 1}})";
    }
    config << "]}";
    std::ofstream(scratch + "/bench.json") << config.str();

    bridge_test::BridgeProcess bridge(OXL_TOOL_PATH, {"--sim", "bridge", scratch + "/bench.json"},
                                      scratch + "/err");
    bridge_test::Peer peer("bench");
    if (!peer.ok() || !peer.wait_matched(20.0)) {
        std::fprintf(stderr, "the bridge did not come up:\n%s\n", bridge.err().c_str());
        return 1;
    }
    // Wake on each sample: the latency is measured when the subscriber can first see it.
    const dds_entity_t waitset = dds_create_waitset(peer.participant);
    dds_waitset_attach(waitset, dds_create_readcondition(peer.state_reader, DDS_ANY_STATE), 0);
    const auto drain_until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < drain_until) {  // past start-up
        dds_waitset_wait(waitset, nullptr, 0, DDS_MSECS(100));
        peer.take_states();
    }

    std::vector<double> latency_us;
    std::size_t incomplete = 0;
    const double cpu_start = cpu_seconds(bridge.id());
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        dds_waitset_wait(waitset, nullptr, 0, DDS_MSECS(100));
        for (const auto& state : peer.take_states()) {
            latency_us.push_back(static_cast<double>(state.taken_ns - state.stamp_ns) / 1000.0);
            incomplete += state.joints.size() != 12 ? 1 : 0;
        }
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpu_seconds(bridge.id()) - cpu_start;
    const int status = bridge.finish();
    fs::remove_all(scratch);

    std::printf("12 joints at 1000 Hz on one simulated bus, %.1f s\n", wall);
    std::printf("JointStates received: %zu (%.1f per second; %zu without all 12 joints)\n",
                latency_us.size(), static_cast<double>(latency_us.size()) / wall, incomplete);
    std::printf("receipt on the bus to subscriber, us: p50 %.0f  p90 %.0f  p99 %.0f  max %.0f\n",
                percentile(latency_us, 50), percentile(latency_us, 90), percentile(latency_us, 99),
                percentile(latency_us, 100));
    std::printf("bridge process CPU (bridge and simulated bus): %.1f %% of one core\n",
                100.0 * cpu / wall);
    return status == 0 ? 0 : 1;
}
