// How fast the scanner finds the devices on a bus: the fast discovery
// (OrvexActuatorScanner::discover) over the whole id range 0x10..0x3FFE, next to the sequential
// scan (OrvexActuatorScanner::scan) over a sub-range, extrapolated to the whole range. Devices
// sit at 0x10, 0x1234 and 0x3FFE. Both run on the in-process simulated bus (OXL_over_Sim) and
// through the real serial stack (OXL_over_USB and libserialport on a pseudo-terminal published as
// a fake USB adapter that serves a simulated bus; needs root).
//
// First it measures what that serial stack sustains: pings for the whole range written back to
// back with no pacing, timed until the adapter has parsed every one. The discovery's pacing
// (1,600 pings/s, set by the adapter's 115200-baud line) has to stay under it.
//
// Usage: bench_discovery [sequential_ids=100] [rounds=3]
// Exit status: 0, or 1 when a run found a wrong set, lost a ping or left a callback registered,
// 2 when fake adapters are unavailable (the in-process figures are printed anyway).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_adapter.hpp"
#include "oxl_api/orvex_actuator.hpp"
#include "oxl_api/oxl_over_sim.hpp"
#include "oxl_api/oxl_over_usb.hpp"
#include "registry_probe.hpp"
#include "sim_adapter.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using oxl_api::OrvexActuatorScanner;

constexpr int kFirst = oxl_api::kFirstActuatorAddress;
constexpr int kLast = oxl_api::kLastOxlId;
constexpr int kWholeRange = kLast - kFirst + 1;
const std::vector<int> kDevices = {0x10, 0x1234, 0x3FFE};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Keeps the scanner's "Device found" lines out of the report.
class QuietStdout {
  public:
    QuietStdout() : original(std::cout.rdbuf(sink.rdbuf())) {}
    ~QuietStdout() { std::cout.rdbuf(original); }

  private:
    std::ostringstream sink;
    std::streambuf* original;
};

struct Run {
    double seconds = 0;
    bool ok = false;  // the expected ids found, and only the scanner's own callback left
};

// One discovery of the whole range, or one sequential scan of `kFirst`..`kFirst + ids - 1`.
template <class Transport>
Run scan_once(Transport& transport, bool sequential, int ids) {
    OrvexActuatorScanner scanner(transport);
    if (!scanner.connected) {
        return {};
    }
    const int last = sequential ? kFirst + ids - 1 : kLast;
    std::vector<int> expected;
    for (int id : kDevices) {
        if (id <= last) {
            expected.push_back(id);
        }
    }
    QuietStdout quiet;
    const auto start = Clock::now();
    const auto found = sequential ? scanner.scan(kFirst, last) : scanner.discover(kFirst, last);
    Run run;
    run.seconds = seconds_since(start);
    const auto left = transport.registered_ids();
    // The sequential scan removes the id-0 callback only when its range covers 0; it does not.
    run.ok = found == expected && left == std::vector<int>{0};
    return run;
}

// Pings of the whole range written back to back with no pacing; pings per second until the
// adapter has parsed the last one, or 0 when some never arrived.
double line_capacity(oxl_test::SimAdapter& adapter, oxl_api::OXL_over_USB& usb) {
    const uint64_t before = adapter.bus().stats().messages_received;
    const auto start = Clock::now();
    for (int id = kFirst; id <= kLast; ++id) {
        usb.send_OXL(id, {0x40});
    }
    while (adapter.bus().stats().messages_received - before < static_cast<uint64_t>(kWholeRange)) {
        if (seconds_since(start) > 30) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return kWholeRange / seconds_since(start);
}

void report(const char* transport, const char* way, int ids, const std::vector<Run>& runs) {
    std::vector<double> seconds;
    bool ok = true;
    for (const Run& run : runs) {
        seconds.push_back(run.seconds);
        ok = ok && run.ok;
    }
    const double s = median(seconds);
    const double rate = ids / s;
    std::printf("%-10s %-10s %6d ids  median %7.2f s  %8.0f ids/s  whole range %8.1f s  %s\n",
                transport, way, ids, s, rate, kWholeRange / rate,
                ok ? "right ids found, no callback left" : "WRONG");
}

}  // namespace

int main(int argc, char** argv) {
    const int sequential_ids = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    std::string why;
    const bool pty = oxl_test::enter_private_namespace(&why);
    bool all_ok = true;

    std::printf("whole range 0x10..0x3ffe = %d ids; devices at 0x10, 0x1234, 0x3ffe; %d rounds\n",
                kWholeRange, rounds);
    if (pty) {
        std::vector<double> capacities;
        for (int round = 0; round < rounds; ++round) {
            oxl_test::SimAdapter adapter;
            oxl_api::OXL_over_USB usb(adapter.port_name());
            capacities.push_back(line_capacity(adapter, usb));
            all_ok = all_ok && capacities.back() > 0;
        }
        std::printf(
            "pseudo-terminal line, unpaced pings parsed by the adapter: median %.0f/s "
            "(lowest %.0f/s); discovery paces at 1600/s\n",
            median(capacities), *std::min_element(capacities.begin(), capacities.end()));
    } else {
        std::printf("no fake adapters (%s): in-process figures only\n", why.c_str());
    }

    for (const bool sequential : {false, true}) {
        const int ids = sequential ? sequential_ids : kWholeRange;
        const char* way = sequential ? "sequential" : "discover";
        std::vector<Run> sim_runs;
        std::vector<Run> line_runs;
        for (int round = 0; round < rounds; ++round) {
            {
                oxl_test::RegistryProbe<oxl_api::OXL_over_Sim> sim;
                for (int id : kDevices) {
                    sim.bus().add_actuator(id);
                }
                sim_runs.push_back(scan_once(sim, sequential, ids));
            }
            if (pty) {
                oxl_test::SimAdapter adapter;
                for (int id : kDevices) {
                    adapter.bus().add_actuator(id);
                }
                oxl_test::RegistryProbe<oxl_api::OXL_over_USB> usb(adapter.port_name(), false);
                usb.connect("");
                line_runs.push_back(scan_once(usb, sequential, ids));
                line_runs.back().ok = line_runs.back().ok && adapter.failed_writes() == 0;
            }
        }
        report("in-process", way, ids, sim_runs);
        if (pty) {
            report("pty", way, ids, line_runs);
        }
        for (const auto* runs : {&sim_runs, &line_runs}) {
            for (const Run& run : *runs) {
                all_ok = all_ok && run.ok;
            }
        }
    }
    if (!all_ok) {
        return 1;
    }
    return pty ? 0 : 2;
}
