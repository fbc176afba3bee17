// Closed control loops through the real serial stack: OXL_over_USB and libserialport on a
// pseudo-terminal, with the fake adapter serving simulated actuators on the other side.
//
// Two kinds of loop are measured, with 1, 4 and 12 actuators sharing the line:
//
//  * streamed: each actuator streams its position at 10 kHz; the application's feedback callback
//    (OrvexActuator::set_feedback_callback) sends a new setpoint (change_setpoint) for every frame
//    it receives. One loop = one streamed frame decoded and handed to the callback, plus the
//    setpoint that the callback sent arriving at the simulated actuator. The device's stream rate
//    (10 kHz) caps it.
//  * round trip: each actuator runs a strict ping-pong: the host sends a setpoint and an item
//    request; the simulated actuator applies the setpoint and answers the request; the answer's
//    arrival on the host makes it send the next pair at once. One loop = host frames out, device
//    answer back, nothing overlapped; its rate is 1 / round-trip time.
//
// Completed loops are counted on the device side (setpoints the bus received) and on the host
// side; the figure reported per actuator is the lowest one actuator reached.
//
// Usage: bench_closed_loop [window_seconds=2]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_adapter.hpp"
#include "oxl_api/orvex_actuator.hpp"
#include "oxl_api/oxl_over_usb.hpp"
#include "sim_adapter.hpp"

namespace {

using oxl_api::OrvexActuator;
using oxl_api::OXL_over_USB;
using Items = OrvexActuator::OXL_Items;
using Clock = std::chrono::steady_clock;

struct Figures {
    double min_loops_per_s = 0;     // lowest per-actuator host-side rate
    double device_loops_per_s = 0;  // setpoints received by the bus, per actuator per second
    std::size_t failed_writes = 0;  // frames the adapter could not write back
};

std::vector<uint8_t> setpoint_message(float value) {
    std::vector<uint8_t> payload{0x04};  // the short setpoint form
    oxl_api::append_float(payload, value);
    return payload;
}

// Waits out the window and turns per-actuator counters into figures.
Figures measure(const std::vector<std::atomic<uint64_t>>& loops, oxl_test::SimAdapter& adapter,
                double window_s) {
    std::vector<uint64_t> first(loops.size());
    for (std::size_t i = 0; i < loops.size(); ++i) {
        first[i] = loops[i].load();
    }
    const uint64_t received0 = adapter.bus().stats().messages_received;
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(window_s));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const uint64_t received1 = adapter.bus().stats().messages_received;

    Figures f;
    f.min_loops_per_s = 1e18;
    for (std::size_t i = 0; i < loops.size(); ++i) {
        f.min_loops_per_s =
            std::min(f.min_loops_per_s, static_cast<double>(loops[i].load() - first[i]) / wall);
    }
    f.device_loops_per_s =
        static_cast<double>(received1 - received0) / wall / static_cast<double>(loops.size());
    f.failed_writes = adapter.failed_writes();
    return f;
}

Figures run_streamed(int count, double window_s) {
    oxl_test::SimAdapter adapter;
    for (int i = 0; i < count; ++i) {
        adapter.bus().add_actuator(0x10 + i);
    }
    OXL_over_USB usb(adapter.port_name());
    std::vector<std::atomic<uint64_t>> loops(static_cast<std::size_t>(count));
    std::vector<std::unique_ptr<OrvexActuator>> actuators;
    for (int i = 0; i < count; ++i) {
        actuators.push_back(std::make_unique<OrvexActuator>(usb, 0x10 + i));
        OrvexActuator* actuator = actuators.back().get();
        std::atomic<uint64_t>* counter = &loops[static_cast<std::size_t>(i)];
        actuator->set_feedback_callback([actuator, counter](int, OrvexActuator::FeedbackMap fb) {
            const uint64_t n = counter->fetch_add(1) + 1;
            actuator->change_setpoint(fb[Items::POSITION_4C] + static_cast<float>(n & 1));
        });
        actuator->setFeedbackItems({Items::POSITION_4C});
    }
    for (auto& actuator : actuators) {
        actuator->setFeedbackRate(10000);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // settle
    // The rate commands and the two settle-time messages per actuator are in the count's
    // baseline; during the window the bus receives only setpoints.
    const Figures f = measure(loops, adapter, window_s);
    for (auto& actuator : actuators) {
        actuator->setFeedbackRate(0);
    }
    actuators.clear();
    return f;
}

Figures run_round_trip(int count, double window_s) {
    oxl_test::SimAdapter adapter;
    for (int i = 0; i < count; ++i) {
        adapter.bus().add_actuator(0x10 + i);
    }
    OXL_over_USB usb(adapter.port_name());
    std::vector<std::atomic<uint64_t>> loops(static_cast<std::size_t>(count));
    std::atomic<bool> running{true};
    const std::vector<uint8_t> request{0x0F, static_cast<uint8_t>(Items::POSITION_4C)};
    for (int i = 0; i < count; ++i) {
        const int id = 0x10 + i;
        std::atomic<uint64_t>* counter = &loops[static_cast<std::size_t>(i)];
        usb.setCallback(
            id, [&usb, &running, &request, counter](int from, std::vector<uint8_t>, int reply) {
                if (reply == 0 || !running.load()) {
                    return;
                }
                const uint64_t n = counter->fetch_add(1) + 1;
                usb.send_OXL(from, setpoint_message(static_cast<float>(n & 1)));
                usb.send_OXL(from, request);
            });
    }
    for (int i = 0; i < count; ++i) {
        usb.send_OXL(0x10 + i, setpoint_message(0.0f));
        usb.send_OXL(0x10 + i, request);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Figures f = measure(loops, adapter, window_s);
    f.device_loops_per_s /= 2.0;  // two messages per loop
    running = false;
    for (int i = 0; i < count; ++i) {
        usb.removeCallback(0x10 + i);
    }
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    std::string why;
    if (!oxl_test::enter_private_namespace(&why)) {
        std::cerr << "cannot publish a fake adapter: " << why << "\n";
        return 1;
    }
    const double window_s = argc > 1 ? std::atof(argv[1]) : 2.0;
    std::printf("closed loop over the pseudo-terminal, %.1f s window\n", window_s);
    std::printf("%-11s %10s %22s %22s %14s\n", "loop", "actuators", "loops/s per actuator",
                "device loops/s each", "failed writes");
    for (const int count : {1, 4, 12}) {
        const Figures f = run_streamed(count, window_s);
        std::printf("%-11s %10d %22.0f %22.0f %14zu\n", "streamed", count, f.min_loops_per_s,
                    f.device_loops_per_s, f.failed_writes);
        std::fflush(stdout);
    }
    for (const int count : {1, 4, 12}) {
        const Figures f = run_round_trip(count, window_s);
        std::printf("%-11s %10d %22.0f %22.0f %14zu\n", "round trip", count, f.min_loops_per_s,
                    f.device_loops_per_s, f.failed_writes);
        std::fflush(stdout);
    }
    std::printf("targets (host side): at least 5000 loops/s with 1 actuator, 1000 each with 12\n");
    return 0;
}
