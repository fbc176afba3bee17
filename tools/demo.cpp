// `oxl demo`: a guided run that shows what the library does, on the simulated bus unless a port
// is given: scan, connect, a position step, an impedance hold under a changing load, a summary
// and an SVG plot of the run.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>

#include <oxl_api/orvex_actuator.hpp>
#include <oxl_api/orvex_actuator_virtual.hpp>
#include <oxl_api/simulated_bus.hpp>

#include "commands.hpp"
#include "errors.hpp"
#include "feedback_stream.hpp"
#include "interrupt.hpp"
#include "names.hpp"
#include "output.hpp"
#include "svg_plot.hpp"

namespace oxl_tool {
namespace {

using oxl_api::OrvexActuator;
using Clock = std::chrono::steady_clock;

// Impedance gains and load of the hold: the simulated output is a unit mass, so with these gains
// it settles within about 0.7 s (damping ratio 0.85) and sags by load / stiffness = 0.2.
constexpr float kStiffness = 50.0f;
constexpr float kDamping = 12.0f;
constexpr float kLoad = 10.0f;
constexpr float kStepTarget = 1.0f;
constexpr int kStreamRateHz = 200;

// Time series of the run, on the stream's clock.
struct Recording {
    std::vector<double> time, position, speed, torque, setpoint;
    std::vector<uint64_t> index;

    void add(const Sample& sample) {
        index.push_back(sample.index);
        time.push_back(sample.time);
        position.push_back(sample.value(Item::POSITION_4C));
        speed.push_back(sample.value(Item::SPEED_45));
        torque.push_back(sample.value(Item::TORQUE_56));
        setpoint.push_back(sample.value(Item::SETPOINT_4B));
    }

    // Replaces the arrival times by the times the device sent the frames: a frame leaves the
    // device every `period`, and arrives a little later, sometimes in a burst after a stall of
    // the host. The least delayed frame fixes the offset. (A frame lost on the way would shift
    // the frames after it by one period; the simulated bus loses none.)
    void use_send_times(double period) {
        double offset = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < time.size(); ++i) {
            offset = std::min(offset, time[i] - static_cast<double>(index[i]) * period);
        }
        for (std::size_t i = 0; i < time.size(); ++i) {
            time[i] = offset + static_cast<double>(index[i]) * period;
        }
    }

    // Mean position over the last `fraction` of [from, to).
    double mean_position(double from, double to, double fraction) const {
        const double start = to - (to - from) * fraction;
        double sum = 0.0;
        int n = 0;
        for (std::size_t i = 0; i < time.size(); ++i) {
            if (time[i] >= start && time[i] < to && std::isfinite(position[i])) {
                sum += position[i];
                ++n;
            }
        }
        return n > 0 ? sum / n : std::nan("");
    }
};

struct StepFigures {
    double rise = std::nan("");       // 10 % to 90 % of the step
    double settle = std::nan("");     // from the step until the position stays within 2 %
    double overshoot = std::nan("");  // percent of the step
    double final_value = std::nan("");
};

StepFigures step_figures(const Recording& r, double from, double to, double target) {
    StepFigures f;
    double start = 0.0;
    for (std::size_t i = 0; i < r.time.size() && r.time[i] < from; ++i) {
        start = r.position[i];
    }
    const double span = target - start;
    if (std::fabs(span) < 1e-9) {
        return f;
    }
    double t10 = std::nan(""), t90 = std::nan(""), peak = start, settled_at = from;
    bool any = false;
    for (std::size_t i = 0; i < r.time.size(); ++i) {
        if (r.time[i] < from || r.time[i] >= to || !std::isfinite(r.position[i])) {
            continue;
        }
        any = true;
        const double progress = (r.position[i] - start) / span;
        if (std::isnan(t10) && progress >= 0.1) {
            t10 = r.time[i];
        }
        if (std::isnan(t90) && progress >= 0.9) {
            t90 = r.time[i];
        }
        peak = std::max(peak, progress);
        if (std::fabs(1.0 - progress) > 0.02) {
            settled_at = r.time[i];
        }
        f.final_value = r.position[i];
    }
    if (!any) {
        return f;
    }
    f.rise = t90 - t10;
    f.settle = settled_at - from;
    f.overshoot = std::max(0.0, peak - 1.0) * 100.0;
    return f;
}

std::string signed_fixed(double value, int decimals) {
    const std::string text = format_fixed(value, decimals);
    return (value >= 0.0 && text[0] != '-' ? "+" : "") + text;
}

// Fails on an unwritable output before anything moves, without leaving an empty file behind if
// the demo is then interrupted.
void check_output_writable(const std::string& output) {
    std::error_code ignored;
    const bool existed = std::filesystem::exists(output, ignored);
    std::ofstream probe(output, std::ios::app);
    if (!probe) {
        throw UsageError("cannot write " + output);
    }
    probe.close();
    if (!existed) {
        std::filesystem::remove(output, ignored);
    }
}

// Step 1: the first actuator that answers in a range around the simulated ids (or 0x10..0x3f on
// a port); nothing when interrupted.
std::optional<int> scan_for_actuator(Session& session, oxl_api::OXL& bus,
                                     const oxl_api::SimulatedBus* sim) {
    int first = kFirstActuatorId;
    int last = 0x3f;
    if (sim != nullptr) {
        const auto& ids = session.bus_options().sim_actuators;
        const int lowest = *std::min_element(ids.begin(), ids.end());
        const int highest = *std::max_element(ids.begin(), ids.end());
        first = std::max(kFirstActuatorId, lowest - 3);
        last = std::min(kLastActuatorId, std::min(highest, lowest + 40) + 3);
    }
    std::cout << "1. Scanning " << hex_id(first) << ".." << hex_id(last) << " on "
              << session.describe() << std::endl;
    std::vector<int> found;
    {
        LibraryLines found_lines(is_device_found_line);
        oxl_api::OrvexActuatorScanner scanner(bus);
        if (!scanner.connected || !bus.is_connected()) {
            throw DeviceError("no USB-to-CAN adapter answers on " + session.describe());
        }
        found = scanner.scan(first, last);
        for (const auto& line : found_lines.take()) {
            std::cout << "   " << line << '\n';
        }
    }
    if (interrupted()) {
        return std::nullopt;
    }
    if (found.empty()) {
        throw DeviceError("no actuator answered in " + hex_id(first) + ".." + hex_id(last) +
                          " (give one with --id)");
    }
    return found.front();
}

// A window of the impedance hold under one load.
struct LoadHold {
    double from, to;
    float load;
};

// What steps 3 and 4 recorded, on the stream's clock.
struct DemoRun {
    Recording rec;
    std::vector<PlotMarker> markers;
    std::vector<LoadHold> holds;
    double step_at = 0.0, step_end = 0.0;
};

// Steps 3 and 4: the position step, then the impedance hold (under changing loads on the
// simulated bus), recording the feedback stream; the actuator is stopped however it ends. False
// when interrupted (reported here).
bool record_demo(oxl_api::SimulatedBus* sim, OrvexActuator& actuator, int id, DemoRun& run) {
    Recording& rec = run.rec;
    auto& markers = run.markers;
    FeedbackStream stream(actuator,
                          {Item::POSITION_4C, Item::SPEED_45, Item::TORQUE_56, Item::SETPOINT_4B},
                          kStreamRateHz);
    // Runs the current phase for `seconds`, recording every frame; false on Ctrl-C.
    const auto run_for = [&](double seconds) {
        const auto deadline = deadline_after(seconds);
        while (Clock::now() < deadline) {
            if (interrupted()) {
                return false;
            }
            throw_if_output_failed();
            for (const Sample& sample : stream.take(deadline)) {
                rec.add(sample);
            }
            for (const auto& error : stream.take_errors()) {
                std::cerr << "oxl: actuator " << hex_id(id) << " reports error " << error.bit
                          << ": " << error.text << std::endl;
                if (error.serious()) {
                    throw DeviceError("the demo stopped on a serious error of " + hex_id(id));
                }
            }
        }
        return true;
    };
    const auto set_load = [&](float load) {
        if (sim != nullptr) {
            sim->with_actuator(id,
                               [load](oxl_api::OrvexActuatorVirtual& a) { a.change_load(load); });
        }
    };
    const StopOnExit stopper(actuator);  // however the run ends

    std::cout << "3. Position step 0 -> " << format_value(kStepTarget) << std::endl;
    set_load(0.0f);
    actuator.change_mode(OrvexActuator::Mode::POSITION);
    actuator.change_position_setpoint(0.0f);
    actuator.start();
    markers.push_back({stream.now(), "hold 0"});
    bool completed = run_for(0.3);
    run.step_at = stream.now();
    markers.push_back({run.step_at, "step to 1"});
    actuator.change_position_setpoint(kStepTarget);
    completed = completed && run_for(0.8);
    run.step_end = stream.now();

    std::cout << "4. Impedance hold at " << format_value(kStepTarget) << " (stiffness "
              << format_value(kStiffness) << ", damping " << format_value(kDamping) << ")"
              << (sim != nullptr ? ", load 0 -> +10 -> -10 -> 0"
                                 : "; push the output by hand to feel the spring")
              << std::endl;
    markers.push_back({stream.now(), "impedance"});
    actuator.change_mode(OrvexActuator::Mode::IMPEDANCE);
    actuator.change_impedance_setpoint(kStepTarget, OrvexActuator::kUnset, kStiffness, kDamping);
    completed = completed && run_for(0.4);
    if (sim != nullptr) {
        for (const float load : {kLoad, -kLoad, 0.0f}) {
            if (!completed) {
                break;
            }
            const double from = stream.now();
            set_load(load);
            markers.push_back({from, load == 0.0f ? "load 0" : "load " + signed_fixed(load, 0)});
            completed = run_for(0.9);
            run.holds.push_back({from, stream.now(), load});
        }
    } else {
        completed = completed && run_for(2.7);
    }
    actuator.stop();
    set_load(0.0f);
    rec.use_send_times(stream.period());
    if (!completed) {
        std::cerr << "oxl: demo interrupted; actuator " << hex_id(id) << " stopped" << std::endl;
    }
    return completed;
}

// Step 5: frame count and rate, the step's figures, and the deflection under each load.
void print_summary(const DemoRun& run) {
    const Recording& rec = run.rec;
    const auto step = step_figures(rec, run.step_at, run.step_end, kStepTarget);
    const double span = rec.time.back() - rec.time.front();
    std::cout << "5. Summary\n"
              << "   feedback        " << rec.time.size() << " frames over "
              << format_fixed(span, 1) << " s ("
              << format_fixed(rec.time.size() / std::max(span, 1e-9), 0) << " per second)\n"
              << "   position step   0 -> " << format_value(kStepTarget) << ": rise (10-90 %) "
              << format_fixed(step.rise, 3) << " s, within 2 % after "
              << format_fixed(step.settle, 3) << " s, overshoot " << format_fixed(step.overshoot, 1)
              << " %, final " << format_fixed(step.final_value, 4) << '\n';
    for (const auto& hold : run.holds) {
        const double mean = rec.mean_position(hold.from, hold.to, 0.3);
        std::cout << "   load " << (hold.load == 0.0f ? " 0 " : signed_fixed(hold.load, 0))
                  << "        position " << format_fixed(mean, 3) << " (deflection "
                  << signed_fixed(mean - kStepTarget, 3) << ", expected "
                  << signed_fixed(-hold.load / kStiffness, 3) << " = -load / stiffness)\n";
    }
}

// Step 6, first half: position, speed, torque and setpoint in three panels, with the markers.
Plot demo_plot(const DemoRun& run, const std::string& title) {
    const Recording& rec = run.rec;
    Plot plot;
    plot.title = title;
    plot.x_label = "time (s)";
    plot.panels = {
        {"position",
         {{"position", "#1f77b4", false, rec.time, rec.position},
          {"setpoint", "#ff7f0e", true, rec.time, rec.setpoint}}},
        {"speed", {{"speed", "#2ca02c", false, rec.time, rec.speed}}},
        {"torque", {{"torque", "#d62728", false, rec.time, rec.torque}}},
    };
    plot.markers = run.markers;
    return plot;
}

// Writes `plot` aside and renames it into place, so the output is never a partial plot.
void write_plot(const Plot& plot, const std::string& output) {
    const std::string part = output + ".tmp";
    std::ofstream out(part, std::ios::trunc);
    out << render_svg(plot);
    out.close();
    std::error_code renamed;
    if (out) {
        std::filesystem::rename(part, output, renamed);
    }
    if (!out || renamed) {
        std::filesystem::remove(part, renamed);
        throw std::runtime_error("writing " + output + " failed");
    }
}

}  // namespace

int run_demo(Session& session, const DemoArgs& args) {
    int id = args.id.empty() ? 0 : parse_actuator_id(args.id, "--id");
    check_output_writable(args.output);
    const auto demo_start = Clock::now();
    oxl_api::OXL& bus = session.transport();
    oxl_api::SimulatedBus* const sim = session.sim_bus();

    if (id == 0) {
        const std::optional<int> found = scan_for_actuator(session, bus, sim);
        if (!found) {
            return kExitInterrupted;
        }
        id = *found;
    }

    // 2. Connect.
    auto actuator = session.connect_actuator(id);
    std::cout << "2. Connected to " << hex_id(id) << ": model " << actuator->model << ", firmware "
              << actuator->firmware << std::endl;

    DemoRun run;
    if (!record_demo(sim, *actuator, id, run)) {
        return kExitInterrupted;
    }
    if (run.rec.time.size() < 10) {
        throw DeviceError("actuator " + hex_id(id) + " streamed too little feedback (" +
                          std::to_string(run.rec.time.size()) + " frames)");
    }
    print_summary(run);

    write_plot(demo_plot(run, "oxl demo: actuator " + hex_id(id) + " (" + actuator->model +
                                  ") on " + session.describe()),
               args.output);
    std::error_code ignored;
    const auto path = std::filesystem::absolute(args.output, ignored);
    const std::chrono::duration<double> total = Clock::now() - demo_start;
    std::cout << "6. Plot of position, speed, torque and setpoint written to "
              << (path.empty() ? args.output : path.string()) << "\n   (demo took "
              << format_fixed(total.count(), 1) << " s)" << std::endl;
    return kExitOk;
}

}  // namespace oxl_tool
