// How many simulated actuators, each streaming 6 items at 1 kHz, the in-process simulated
// transport serves in real time on one core with every frame delivered.
//
// The whole process (application thread and the transport's polling thread) is pinned to one
// CPU. For each actuator count the bench streams for a measurement window and counts, per
// actuator, the frames that reached the application's feedback callback through the full client
// path (bus, transport dispatch, OrvexActuator decoding, callback). A count is sustained when
// every actuator received at least 99% of the frames its rate promises within the window, the bus
// never had to skip a frame for lagging, and after the streams stop every frame the bus sent has
// been delivered.
//
// Usage: bench_sim_capacity [window_seconds=2] [max_actuators=2000]

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "bench_util.hpp"
#include "oxl_api/orvex_actuator.hpp"
#include "oxl_api/oxl_over_sim.hpp"

namespace {

using oxl_api::OrvexActuator;
using oxl_api::OXL_over_Sim;
using Items = OrvexActuator::OXL_Items;
using Clock = std::chrono::steady_clock;

struct Result {
    int actuators = 0;
    double min_rate = 0;       // lowest per-actuator delivery rate in the window, frames/s
    double cpu_share = 0;      // CPU time / wall time over the window (1.0 = one core busy)
    uint64_t skipped = 0;      // frames the bus dropped for lagging
    uint64_t undelivered = 0;  // frames sent by the bus but not delivered after draining
    uint64_t sent = 0;         // frames the bus sent in the whole run
    double run_s = 0;          // wall time of the whole run, set-up and drain included
    bool sustained = false;
};

Result run(int count, double window_s) {
    Result result;
    result.actuators = count;
    const auto run_start = Clock::now();
    OXL_over_Sim sim;
    std::vector<std::unique_ptr<OrvexActuator>> actuators;
    std::vector<std::atomic<uint64_t>> frames(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const int address = 0x10 + i;
        sim.bus().add_actuator(address, 1, 0x0842);
        actuators.push_back(std::make_unique<OrvexActuator>(sim, address));
        std::atomic<uint64_t>* counter = &frames[static_cast<std::size_t>(i)];
        actuators.back()->set_feedback_callback(
            [counter](int, OrvexActuator::FeedbackMap) { counter->fetch_add(1); });
        actuators.back()->setFeedbackItems({Items::POSITION_4C, Items::SPEED_45, Items::TORQUE_56,
                                            Items::SETPOINT_4B, Items::VBUS, Items::TEMP_WINDING});
        actuators.back()->start();
        actuators.back()->change_speed_setpoint(1.0f);
    }
    for (auto& actuator : actuators) {
        actuator->setFeedbackRate(1000);
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // settle
    std::vector<uint64_t> first(frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        first[i] = frames[i].load();
    }
    const double cpu0 = oxl_bench::process_cpu_seconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(window_s));
    const auto t1 = Clock::now();
    const double cpu1 = oxl_bench::process_cpu_seconds();
    const double wall = std::chrono::duration<double>(t1 - t0).count();
    double min_rate = 1e18;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        min_rate = std::min(min_rate, static_cast<double>(frames[i].load() - first[i]) / wall);
    }

    for (auto& actuator : actuators) {
        actuator->setFeedbackRate(0);
    }
    // Drain: every frame the bus sent must reach its callback (deadline 5 s).
    const auto drain_deadline = Clock::now() + std::chrono::seconds(5);
    uint64_t delivered = 0;
    oxl_api::SimulatedBus::Stats stats;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stats = sim.bus().stats();
        delivered = 0;
        for (auto& f : frames) {
            delivered += f.load();
        }
    } while (delivered < stats.frames_sent && Clock::now() < drain_deadline);

    result.min_rate = min_rate;
    result.cpu_share = (cpu1 - cpu0) / wall;
    result.skipped = stats.frames_skipped;
    result.undelivered = stats.frames_sent - std::min(stats.frames_sent, delivered);
    result.sent = stats.frames_sent;
    result.run_s = std::chrono::duration<double>(Clock::now() - run_start).count();
    result.sustained = min_rate >= 990.0 && result.skipped == 0 && result.undelivered == 0;
    actuators.clear();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const double window_s = argc > 1 ? std::atof(argv[1]) : 2.0;
    const int max_actuators = argc > 2 ? std::atoi(argv[2]) : 2000;

    // One core for the whole process; threads started later inherit the mask.
    if (oxl_bench::pin_to_current_cpu() < 0) {
        std::perror("sched_setaffinity");
    }

    std::printf("simulated transport, 6 items at 1 kHz per actuator, one core, %.1f s window\n",
                window_s);
    std::printf("%10s %14s %10s %11s %10s %12s %8s %10s\n", "actuators", "min frames/s",
                "cpu share", "sent", "skipped", "undelivered", "run s", "sustained");
    int best = 0;
    int failures = 0;
    for (int count : {1, 10, 20, 50, 100, 200, 400, 600, 800, 1000, 1200, 1600, 2000}) {
        if (count > max_actuators) {
            break;
        }
        const Result r = run(count, window_s);
        std::printf("%10d %14.1f %10.2f %11llu %10llu %12llu %8.1f %10s\n", r.actuators, r.min_rate,
                    r.cpu_share, static_cast<unsigned long long>(r.sent),
                    static_cast<unsigned long long>(r.skipped),
                    static_cast<unsigned long long>(r.undelivered), r.run_s,
                    r.sustained ? "yes" : "no");
        std::fflush(stdout);
        if (r.sustained) {
            best = count;
            failures = 0;
        } else if (++failures == 2) {
            break;  // two counts in a row failed: the limit is behind us
        }
    }
    std::printf("largest sustained count: %d actuators (target: at least 20)\n", best);
    return 0;
}
