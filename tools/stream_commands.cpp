// Commands that stream feedback: monitor (observe) and move (command a setpoint and observe).
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>

#include <oxl_api/orvex_actuator.hpp>

#include "commands.hpp"
#include "errors.hpp"
#include "feedback_stream.hpp"
#include "interrupt.hpp"
#include "names.hpp"

namespace oxl_tool {
namespace {

using oxl_api::OrvexActuator;
using Clock = std::chrono::steady_clock;

// Feedback frames carry at most 11 items (5 bytes each in 59).
using oxl_api::kMaxItemsPerFrame;
// A device that has not streamed a frame after this long is not going to.
constexpr double kFirstFrameTimeout = 2.0;

std::string pad_left(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// Durations are checked before anything is sent: NaN or infinity would make no deadline.
void check_duration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0 || seconds > 1e6) {
        throw UsageError("--duration must be a number of seconds, 0 to 1000000 (0: until Ctrl-C)");
    }
}

// Prints reported errors; returns true when one of them is serious (the device must stop).
bool report_errors(const std::vector<ReportedError>& errors, int id) {
    bool serious = false;
    for (const auto& error : errors) {
        std::cerr << "oxl: actuator " << hex_id(id) << " reports error " << error.bit << ": "
                  << error.text << std::endl;
        serious = serious || error.serious();
    }
    return serious;
}

}  // namespace

int run_monitor(Session& session, const MonitorArgs& args) {
    const int id = parse_actuator_id(args.id);
    const auto items = parse_item_list(args.items);
    if (items.size() > kMaxItemsPerFrame) {
        throw UsageError("at most 11 items fit in one feedback frame (got " +
                         std::to_string(items.size()) + ")");
    }
    if (args.rate_hz < 1 || args.rate_hz > 10000) {
        throw UsageError("--rate " + std::to_string(args.rate_hz) +
                         " is out of range (1..10000 Hz)");
    }
    check_duration(args.duration_s);
    std::ofstream file;
    std::ostream* csv = nullptr;
    if (args.csv == "-") {
        csv = &std::cout;
    } else if (!args.csv.empty()) {
        file.open(args.csv);
        if (!file) {
            throw UsageError("cannot write " + args.csv);
        }
        csv = &file;
    }

    auto actuator = session.connect_actuator(id);
    // On a terminal the latest values are redrawn in place; piped, every frame is a row.
    const bool live = csv != &std::cout && isatty(STDOUT_FILENO) != 0;
    const bool rows = csv == nullptr && !live;
    std::vector<std::size_t> width;
    std::string header = pad_left("TIME", 9);
    for (const Item item : items) {
        width.push_back(std::max<std::size_t>(12, item_name(item).size() + 2));
        header += pad_left(item_name(item), width.back());
    }
    if (csv != nullptr) {
        *csv << "time";
        for (const Item item : items) {
            *csv << ',' << item_name(item);
        }
        *csv << '\n';
    }
    if (live || rows) {
        std::cout << header << std::endl;
    }
    const auto row_text = [&](const Sample& sample) {
        std::string line = pad_left(format_fixed(sample.time, 3), 9);
        for (std::size_t i = 0; i < items.size(); ++i) {
            const auto it = sample.values.find(items[i]);
            line += pad_left(it == sample.values.end() ? "-" : format_value(it->second), width[i]);
        }
        return line;
    };

    std::size_t count = 0;
    double elapsed = 0.0;
    double last_draw = -1.0;
    bool drawn = false;
    {
        FeedbackStream stream(*actuator, items, args.rate_hz);
        const auto deadline = deadline_after(args.duration_s);
        while (!interrupted() && Clock::now() < deadline) {
            const auto samples = stream.take(deadline);
            for (const Sample& sample : samples) {
                if (csv != nullptr) {
                    *csv << format_fixed(sample.time, 4);
                    for (const Item item : items) {
                        const auto it = sample.values.find(item);
                        *csv << ',' << (it == sample.values.end() ? "" : format_value(it->second));
                    }
                    *csv << '\n';
                }
                if (rows) {
                    std::cout << row_text(sample) << '\n';
                }
            }
            count += samples.size();
            if (live && !samples.empty() && stream.now() - last_draw >= 0.05) {
                std::cout << '\r' << row_text(samples.back()) << "\033[K" << std::flush;
                last_draw = stream.now();
                drawn = true;
            }
            if (!samples.empty() && csv != nullptr) {
                csv->flush();
            }
            if (rows && !samples.empty()) {
                std::cout.flush();
            }
            throw_if_output_failed();
            const auto errors = stream.take_errors();
            if (!errors.empty() && drawn) {
                // Keep the error lines off the line that is being redrawn.
                std::cout << std::endl;
                drawn = false;
            }
            if (report_errors(errors, id)) {
                actuator->stop();
                std::cerr << "oxl: actuator " << hex_id(id) << " stopped after a serious error"
                          << std::endl;
            }
            if (count == 0 && stream.now() > kFirstFrameTimeout) {
                throw DeviceError("actuator " + hex_id(id) + " sends no feedback");
            }
        }
        elapsed = stream.now();
    }
    if (drawn) {
        std::cout << std::endl;
    }
    char summary[64];
    std::snprintf(summary, sizeof summary, "oxl: %zu frames in %.2f s (%.1f per second)", count,
                  elapsed, elapsed > 0.0 ? count / elapsed : 0.0);
    std::cerr << summary;
    if (!args.csv.empty() && args.csv != "-") {
        std::cerr << " written to " << args.csv;
    }
    std::cerr << std::endl;
    return kExitOk;
}

int run_move(Session& session, const MoveArgs& args) {
    const int id = parse_actuator_id(args.id);
    const int targets = int{args.has_position} + int{args.has_speed} + int{args.has_torque} +
                        int{args.has_impedance};
    if (targets != 1) {
        throw UsageError("give exactly one of --position, --speed, --torque and --impedance");
    }
    if ((args.has_stiffness || args.has_damping) && !args.has_impedance) {
        throw UsageError("--stiffness and --damping go with --impedance");
    }
    check_duration(args.duration_s);
    for (const float value :
         {args.position, args.speed, args.torque, args.impedance, args.stiffness, args.damping}) {
        if (!std::isfinite(value)) {
            throw UsageError("setpoints, stiffness and damping must be finite numbers");
        }
    }
    if (args.rate_hz < 1 || args.rate_hz > 100) {
        throw UsageError("--rate " + std::to_string(args.rate_hz) +
                         " is out of range (1..100 rows per second)");
    }

    auto actuator = session.connect_actuator(id);
    const std::vector<Item> items = {Item::POSITION_4C, Item::SPEED_45, Item::TORQUE_56,
                                     Item::SETPOINT_4B};
    FeedbackStream stream(*actuator, items, 100);
    const StopOnExit stop_on_exit(*actuator);

    std::string what;
    constexpr float kUnset = OrvexActuator::kUnset;
    // Mode, then setpoint, then start: the device never runs on a setpoint left from before.
    if (args.has_position) {
        actuator->change_mode(OrvexActuator::Mode::POSITION);
        actuator->change_position_setpoint(args.position);
        what = "position mode, setpoint " + format_value(args.position);
    } else if (args.has_speed) {
        actuator->change_mode(OrvexActuator::Mode::SPEED);
        actuator->change_speed_setpoint(args.speed);
        what = "speed mode, setpoint " + format_value(args.speed);
    } else if (args.has_torque) {
        actuator->change_mode(OrvexActuator::Mode::TORQUE);
        actuator->change_torque_setpoint(args.torque);
        what = "torque mode, setpoint " + format_value(args.torque);
    } else {
        const float stiffness = args.has_stiffness ? args.stiffness : kUnset;
        const float damping = args.has_damping ? args.damping : kUnset;
        actuator->change_mode(OrvexActuator::Mode::IMPEDANCE);
        actuator->change_impedance_setpoint(args.impedance, kUnset, stiffness, damping);
        what = "impedance mode, setpoint " + format_value(args.impedance);
        if (args.has_stiffness) {
            what += ", stiffness " + format_value(args.stiffness);
        }
        if (args.has_damping) {
            what += ", damping " + format_value(args.damping);
        }
    }
    actuator->start();
    std::cout << "Actuator " << hex_id(id) << ": " << what << ", "
              << (args.duration_s > 0.0
                      ? "for " + format_value(args.duration_s) + " s (Ctrl-C stops it sooner)"
                      : std::string("until Ctrl-C"))
              << std::endl;
    std::cout << pad_left("TIME", 8) << pad_left("POSITION", 12) << pad_left("SPEED", 12)
              << pad_left("TORQUE", 12) << pad_left("SETPOINT", 12) << std::endl;

    const auto row = [&](const Sample& sample) {
        std::cout << pad_left(format_fixed(sample.time, 2), 8);
        for (const Item item : items) {
            std::cout << pad_left(format_fixed(sample.value(item), 4), 12);
        }
        std::cout << std::endl;
    };

    Sample latest;
    bool have_sample = false;
    const double row_period = 1.0 / args.rate_hz;
    double next_row = row_period;
    const auto deadline = deadline_after(args.duration_s);
    while (!interrupted() && Clock::now() < deadline) {
        for (Sample& sample : stream.take(deadline)) {
            latest = std::move(sample);
            have_sample = true;
            if (latest.time >= next_row) {
                row(latest);
                next_row +=
                    row_period * (1 + static_cast<int>((latest.time - next_row) / row_period));
            }
        }
        throw_if_output_failed();
        if (report_errors(stream.take_errors(), id)) {
            throw DeviceError("actuator " + hex_id(id) + " reported a serious error; stopped");
        }
        if (!have_sample && stream.now() > kFirstFrameTimeout) {
            throw DeviceError("actuator " + hex_id(id) + " sends no feedback; stopped");
        }
    }
    actuator->stop();
    if (have_sample) {
        std::cout << "Final: position " << format_fixed(latest.value(Item::POSITION_4C), 4)
                  << "  speed " << format_fixed(latest.value(Item::SPEED_45), 4) << "  torque "
                  << format_fixed(latest.value(Item::TORQUE_56), 4) << "  setpoint "
                  << format_fixed(latest.value(Item::SETPOINT_4B), 4) << '\n';
    }
    std::cout << "Actuator " << hex_id(id) << " stopped" << (interrupted() ? " (Ctrl-C)." : ".")
              << std::endl;
    return kExitOk;
}

}  // namespace oxl_tool
