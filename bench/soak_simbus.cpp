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

// Exactly one of the two transports is used; the bus is the one behind it.
struct Rig {
    std::unique_ptr<oxl_test::SimAdapter> sim_adapter;  // --pty only
    std::unique_ptr<oxl_api::OXL> transport;
    oxl_api::SimulatedBus* bus = nullptr;
};

bool open_rig(bool pty, Rig& rig) {
    if (pty) {
        rig.sim_adapter = std::make_unique<oxl_test::SimAdapter>();
        rig.bus = &rig.sim_adapter->bus();
        rig.transport = std::make_unique<oxl_api::OXL_over_USB>(rig.sim_adapter->port_name());
    } else {
        auto sim = std::make_unique<oxl_api::OXL_over_Sim>();
        rig.bus = &sim->bus();
        rig.transport = std::move(sim);
    }
    if (!rig.transport->is_connected()) {
        std::fprintf(stderr, "soak: transport did not connect\n");
        return false;
    }
    return true;
}

// Adds `count` actuators to the bus, each with a connected, started client in speed mode that
// counts the frames of `items` it is delivered (streaming not yet on).
bool add_devices(Rig& rig, int count, const std::vector<Items>& items,
                 std::vector<std::unique_ptr<Device>>& devices) {
    for (int i = 0; i < count; ++i) {
        const int address = kFirstAddress + i;
        if (!rig.bus->add_actuator(address)) {
            std::fprintf(stderr, "soak: cannot add an actuator at 0x%x\n", address);
            return false;
        }
        devices.push_back(std::make_unique<Device>(*rig.transport, address));
        Device& device = *devices.back();
        if (!device.actuator.connect()) {
            std::fprintf(stderr, "soak: actuator 0x%x does not answer its ping\n", address);
            return false;
        }
        device.actuator.set_feedback_callback(
            [&device, n = items.size()](int, OrvexActuator::FeedbackMap frame) {
                if (frame.size() != n) {
                    device.wrong_items = true;
                }
                ++device.delivered;
            });
        device.actuator.change_mode(OrvexActuator::Mode::SPEED);
        device.actuator.start();
        device.actuator.setFeedbackItems(items);
    }
    return true;
}

// The application's control loop: streaming at 1 kHz and a new speed setpoint for every
// actuator every 10 ms for `seconds`, then streaming off and stopped. Returns the setpoint
// commands sent.
uint64_t drive(std::vector<std::unique_ptr<Device>>& devices, double seconds) {
    for (auto& device : devices) {
        device->actuator.setFeedbackRate(OrvexActuator::Rates::RATE_1000HZ);
    }
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
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
    return commands;
}

bool all_stopped(const oxl_api::SimulatedBus& bus, int count) {
    for (int i = 0; i < count; ++i) {
        const auto info = bus.device_info(kFirstAddress + i);
        if (!info || info->stream_period_ticks != 0) {
            return false;
        }
    }
    return true;
}

uint64_t delivered_total(const std::vector<std::unique_ptr<Device>>& devices) {
    uint64_t sum = 0;
    for (const auto& device : devices) {
        sum += device->delivered;
    }
    return sum;
}

// What the devices sent against what the callbacks received.
struct Tally {
    uint64_t sent = 0;
    uint64_t delivered = 0;
    uint64_t skipped = 0;
    bool wrong_items = false;
};

// Waits (up to kDrainDeadline) for every device to stop streaming and every frame it sent to
// reach its callback, then counts.
Tally drain(const oxl_api::SimulatedBus& bus, const oxl_api::SimulatedBus::Stats& at_start,
            const std::vector<std::unique_ptr<Device>>& devices) {
    const int count = static_cast<int>(devices.size());
    const auto deadline = Clock::now() + kDrainDeadline;
    // Over the pseudo-terminal the stop requests are still on their way for a moment.
    while (!all_stopped(bus, count) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Tally tally;
    tally.sent = bus.stats().frames_sent - at_start.frames_sent;
    while (delivered_total(devices) < tally.sent && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    tally.delivered = delivered_total(devices);
    tally.skipped = bus.stats().frames_skipped - at_start.frames_skipped;
    for (const auto& device : devices) {
        tally.wrong_items = tally.wrong_items || device->wrong_items;
    }
    return tally;
}

void print_report(const Options& options, std::size_t items, double streamed_s, uint64_t commands,
                  const Tally& tally, const oxl_test::SimAdapter* sim_adapter) {
    const uint64_t lost = tally.sent > tally.delivered ? tally.sent - tally.delivered : 0;
    std::printf("transport          %s\n",
                options.pty ? "OXL_over_USB over a pseudo-terminal" : "OXL_over_Sim");
    std::printf("actuators          %d at 1000 Hz, %zu items a frame\n", options.actuators, items);
    std::printf("streamed for       %.1f s (%llu setpoint commands sent)\n", streamed_s,
                static_cast<unsigned long long>(commands));
    std::printf("frames sent        %llu (expected about %.0f)\n",
                static_cast<unsigned long long>(tally.sent),
                streamed_s * 1000.0 * options.actuators);
    std::printf("frames delivered   %llu\n", static_cast<unsigned long long>(tally.delivered));
    std::printf("frames lost        %llu\n", static_cast<unsigned long long>(lost));
    std::printf("frames skipped     %llu (not sent: the bus fell more than %.2f s behind)\n",
                static_cast<unsigned long long>(tally.skipped),
                std::chrono::duration<double>(oxl_api::SimulatedBus::kTick).count() *
                    static_cast<double>(oxl_api::SimulatedBus::kMaxCatchUpTicks));
    if (sim_adapter) {
        std::printf("line write errors  %zu\n", sim_adapter->failed_writes());
    }
    if (tally.wrong_items) {
        std::printf("FAULT: a frame with the wrong count of items was delivered\n");
    }
}

int run(const Options& options) {
    Rig rig;
    if (!open_rig(options.pty, rig)) {
        return 1;
    }
    const std::vector<Items> items{Items::POSITION_41, Items::SPEED_45, Items::TORQUE_49};
    std::vector<std::unique_ptr<Device>> devices;
    if (!add_devices(rig, options.actuators, items, devices)) {
        return 1;
    }
    const auto stats_at_start = rig.bus->stats();
    const auto start = Clock::now();
    const uint64_t commands = drive(devices, options.seconds);
    const double streamed_s = std::chrono::duration<double>(Clock::now() - start).count();
    const Tally tally = drain(*rig.bus, stats_at_start, devices);
    devices.clear();
    rig.transport->disconnect();

    print_report(options, items.size(), streamed_s, commands, tally, rig.sim_adapter.get());
    const bool clean = tally.delivered == tally.sent && !tally.wrong_items &&
                       all_stopped(*rig.bus, options.actuators) &&
                       (!rig.sim_adapter || rig.sim_adapter->failed_writes() == 0);
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
