// Soak run: several simulated actuators stream feedback at 1 kHz for a chosen time while an
// application thread drives them with setpoints, through OXL_over_Sim, or (--pty) through the real
// OXL_over_USB and libserialport talking to the simulated bus over a pseudo-terminal. Reports the
// frames the devices sent, the frames the application's feedback callbacks received, and the
// difference. Meant to be run under ThreadSanitizer as well as in a plain build.
//
// Usage: soak_simbus [seconds=10] [actuators=4] [--pty]
// --pty needs root (private mount namespace). Exit status 0 when nothing was lost.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_adapter.hpp"
#include "oxl_api/orvex_actuator.hpp"
#include "oxl_api/oxl_over_sim.hpp"
#include "oxl_api/oxl_over_usb.hpp"
#include "sim_adapter.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using oxl_api::OrvexActuator;
using Items = OrvexActuator::OXL_Items;

constexpr int kFirstAddress = 0x10;
constexpr auto kCommandPeriod = std::chrono::milliseconds(10);
constexpr auto kDrainDeadline = std::chrono::seconds(10);

struct Options {
    double seconds = 10;
    int actuators = 4;
    bool pty = false;
};

bool parse(int argc, char** argv, Options& options) {
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pty") == 0) {
            options.pty = true;
        } else if (positional == 0) {
            options.seconds = std::atof(argv[i]);
            ++positional;
        } else if (positional == 1) {
            options.actuators = std::atoi(argv[i]);
            ++positional;
        } else {
            return false;
        }
    }
    return options.seconds > 0 && options.actuators > 0 && options.actuators <= 64;
}

// One simulated device and its client, with the count of feedback frames the client delivered.
struct Device {
    Device(oxl_api::OXL& transport, int address) : actuator(transport, address) {}
    std::atomic<uint64_t> delivered{0};
    std::atomic<bool> wrong_items{false};
    OrvexActuator actuator;  // declared last: destroyed first, before the counters it updates
};

int run(const Options& options) {
    // Exactly one of the two transports is used; the bus is the one behind it.
    std::unique_ptr<oxl_test::SimAdapter> sim_adapter;
    std::unique_ptr<oxl_api::OXL> transport;
    oxl_api::SimulatedBus* bus = nullptr;
    if (options.pty) {
        sim_adapter = std::make_unique<oxl_test::SimAdapter>();
        bus = &sim_adapter->bus();
        transport = std::make_unique<oxl_api::OXL_over_USB>(sim_adapter->port_name());
    } else {
        auto sim = std::make_unique<oxl_api::OXL_over_Sim>();
        bus = &sim->bus();
        transport = std::move(sim);
    }
    if (!transport->is_connected()) {
        std::fprintf(stderr, "soak: transport did not connect\n");
        return 1;
    }

    const std::vector<Items> items{Items::POSITION_41, Items::SPEED_45, Items::TORQUE_49};
    std::vector<std::unique_ptr<Device>> devices;
    for (int i = 0; i < options.actuators; ++i) {
        const int address = kFirstAddress + i;
        if (!bus->add_actuator(address)) {
            std::fprintf(stderr, "soak: cannot add an actuator at 0x%x\n", address);
            return 1;
        }
        devices.push_back(std::make_unique<Device>(*transport, address));
        Device& device = *devices.back();
        if (!device.actuator.connect()) {
            std::fprintf(stderr, "soak: actuator 0x%x does not answer its ping\n", address);
            return 1;
        }
        device.actuator.set_feedback_callback(
            [&device, count = items.size()](int, OrvexActuator::FeedbackMap frame) {
                if (frame.size() != count) {
                    device.wrong_items = true;
                }
                ++device.delivered;
            });
        device.actuator.change_mode(OrvexActuator::Mode::SPEED);
        device.actuator.start();
        device.actuator.setFeedbackItems(items);
    }
    const auto stats_at_start = bus->stats();
    for (auto& device : devices) {
        device->actuator.setFeedbackRate(OrvexActuator::Rates::RATE_1000HZ);
    }

    // The application's control loop: a new speed setpoint for every actuator every 10 ms.
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.seconds));
    uint64_t commands = 0;
    for (auto next = start; next < end; next += kCommandPeriod) {
        const float phase = std::chrono::duration<float>(next - start).count();
        for (auto& device : devices) {
            device->actuator.change_speed_setpoint(5.0f * (phase - static_cast<int>(phase)));
            ++commands;
        }
        std::this_thread::sleep_until(next + kCommandPeriod);
    }
    for (auto& device : devices) {
        device->actuator.setFeedbackRate(0);
        device->actuator.stop();
    }
    const double streamed_s = std::chrono::duration<double>(Clock::now() - start).count();

    // Everything the devices sent must reach the callbacks: wait for the line to drain.
    auto delivered_total = [&devices] {
        uint64_t sum = 0;
        for (const auto& device : devices) {
            sum += device->delivered;
        }
        return sum;
    };
    auto sent_total = [&] { return bus->stats().frames_sent - stats_at_start.frames_sent; };
    auto all_stopped = [&] {
        for (int i = 0; i < options.actuators; ++i) {
            const auto info = bus->device_info(kFirstAddress + i);
            if (!info || info->stream_period_ticks != 0) {
                return false;
            }
        }
        return true;
    };
    const auto drain_deadline = Clock::now() + kDrainDeadline;
    // Over the pseudo-terminal the stop requests are still on their way for a moment.
    while (!all_stopped() && Clock::now() < drain_deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const uint64_t sent = sent_total();
    while (delivered_total() < sent && Clock::now() < drain_deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const uint64_t delivered = delivered_total();
    const uint64_t skipped = bus->stats().frames_skipped - stats_at_start.frames_skipped;
    bool wrong_items = false;
    for (const auto& device : devices) {
        wrong_items = wrong_items || device->wrong_items;
    }
    devices.clear();
    transport->disconnect();

    const uint64_t lost = sent > delivered ? sent - delivered : 0;
    std::printf("transport          %s\n",
                options.pty ? "OXL_over_USB over a pseudo-terminal" : "OXL_over_Sim");
    std::printf("actuators          %d at 1000 Hz, %zu items a frame\n", options.actuators,
                items.size());
    std::printf("streamed for       %.1f s (%llu setpoint commands sent)\n", streamed_s,
                static_cast<unsigned long long>(commands));
    std::printf("frames sent        %llu (expected about %.0f)\n",
                static_cast<unsigned long long>(sent), streamed_s * 1000.0 * options.actuators);
    std::printf("frames delivered   %llu\n", static_cast<unsigned long long>(delivered));
    std::printf("frames lost        %llu\n", static_cast<unsigned long long>(lost));
    std::printf("frames skipped     %llu (not sent: the bus fell more than %.2f s behind)\n",
                static_cast<unsigned long long>(skipped),
                std::chrono::duration<double>(oxl_api::SimulatedBus::kTick).count() *
                    static_cast<double>(oxl_api::SimulatedBus::kMaxCatchUpTicks));
    if (sim_adapter) {
        std::printf("line write errors  %zu\n", sim_adapter->failed_writes());
    }
    if (wrong_items) {
        std::printf("FAULT: a frame with the wrong count of items was delivered\n");
    }
    const bool clean = lost == 0 && delivered == sent && !wrong_items && all_stopped() &&
                       (!sim_adapter || sim_adapter->failed_writes() == 0);
    return clean ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: soak_simbus [seconds=10] [actuators=4] [--pty]\n");
        return 64;
    }
    if (options.pty) {
        // Before any thread exists.
        std::string why;
        if (!oxl_test::enter_private_namespace(&why)) {
            std::fprintf(stderr, "soak_simbus --pty needs fake adapters: %s\n", why.c_str());
            return 1;
        }
    }
    return run(options);
}
