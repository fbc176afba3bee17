// `oxl move`: drives one or several actuators on a setpoint or a trajectory (a sine about the
// setpoint, a ramp to it, or setpoints from a CSV file), reports their feedback, stops them.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>

#include <oxl_api/orvex_actuator.hpp>

#include "commands.hpp"
#include "errors.hpp"
#include "feedback_stream.hpp"
#include "interrupt.hpp"
#include "names.hpp"
#include "output.hpp"
#include "text_table.hpp"

namespace oxl_tool {
namespace {

using oxl_api::OrvexActuator;
using Clock = std::chrono::steady_clock;

constexpr int kStreamRateHz = 100;
// Setpoints of a trajectory are sent at this rate.
constexpr double kCommandPeriod = 0.01;
constexpr double kPi = 3.14159265358979323846;

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// One setpoint at the time of a row of a setpoints file.
struct Point {
    double time;
    double value;
};

// A setpoints file: a header "time,MODE" (MODE one of position, speed, torque, impedance) and
// rows "seconds,setpoint" with rising times; blank lines and lines starting with # are skipped.
struct SetpointFile {
    Mode mode = Mode::POSITION;
    std::vector<Point> points;
};

SetpointFile read_setpoints(const std::string& file) {
    std::ifstream in(file);
    if (!in) {
        throw UsageError("cannot read " + file);
    }
    SetpointFile result;
    bool header = false;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        const std::string where = file + " line " + std::to_string(number) + ": ";
        const auto comma = line.find(',');
        if (comma == std::string::npos || line.find(',', comma + 1) != std::string::npos) {
            throw UsageError(where + "expected two fields separated by a comma");
        }
        const std::string left = line.substr(0, comma), right = line.substr(comma + 1);
        if (!header) {
            std::string mode = right;
            mode.erase(0, mode.find_first_not_of(" \t"));
            mode.erase(mode.find_last_not_of(" \t") + 1);
            std::transform(mode.begin(), mode.end(), mode.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            bool known = false;
            for (const auto& entry : all_modes()) {
                if (entry.second == mode) {
                    result.mode = entry.first;
                    known = true;
                }
            }
            std::string time = left;
            std::transform(time.begin(), time.end(), time.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (time.find("time") == std::string::npos || !known) {
                throw UsageError(where +
                                 "the header must be time,position (or speed, torque, impedance)");
            }
            header = true;
            continue;
        }
        const Point point{parse_float(left, where + "time"),
                          parse_float(right, where + "setpoint")};
        if (point.time < 0.0 ||
            (!result.points.empty() && point.time <= result.points.back().time)) {
            throw UsageError(where + "time " + left + " does not come after the previous row's");
        }
        result.points.push_back(point);
    }
    if (result.points.empty()) {
        throw UsageError(file + " holds no setpoints (a header time,MODE, then rows time,value)");
    }
    return result;
}

// The setpoint at `t` along `points`: linear between rows, the first value before the first row
// and the last after the last.
double interpolate(const std::vector<Point>& points, double t) {
    if (t <= points.front().time) {
        return points.front().value;
    }
    for (std::size_t i = 1; i < points.size(); ++i) {
        if (t <= points[i].time) {
            const Point& a = points[i - 1];
            const Point& b = points[i];
            return a.value + (b.value - a.value) * (t - a.time) / (b.time - a.time);
        }
    }
    return points.back().value;
}

// A table cell: a value with 4 decimals (or in exponent form when that would be too wide),
// right-aligned in 12 characters and never touching the cell before it.
std::string cell(double value) {
    const std::string text =
        std::fabs(value) < 1e6 || std::isnan(value) ? format_fixed(value, 4) : format_value(value);
    return "  " + pad_left(text, 10);
}

const char* mode_word(Mode mode) {
    switch (mode) {
        case Mode::TORQUE:
            return "torque";
        case Mode::SPEED:
            return "speed";
        case Mode::POSITION:
            return "position";
        default:
            return "impedance";
    }
}

// One driven actuator with its stream; declared in this order so that the stream ends before the
// client goes (the client's destructor sends a stop as well).
struct Driven {
    int id = 0;
    std::unique_ptr<OrvexActuator> actuator;
    std::unique_ptr<FeedbackStream> stream;
    std::unique_ptr<StopOnExit> stop_on_exit;
    double start_position = 0.0;  // where a ramp of position or impedance starts
    double stream_lead = 0.0;     // seconds from the start of the stream to the start of the move
    Sample latest;
    bool have_sample = false;
};

}  // namespace

void send_setpoint(OrvexActuator& actuator, OrvexActuator::Mode mode, float value, float stiffness,
                   float damping) {
    switch (mode) {
        case OrvexActuator::Mode::TORQUE:
            actuator.change_torque_setpoint(value);
            break;
        case OrvexActuator::Mode::SPEED:
            actuator.change_speed_setpoint(value);
            break;
        case OrvexActuator::Mode::POSITION:
            actuator.change_position_setpoint(value);
            break;
        case OrvexActuator::Mode::IMPEDANCE:
            actuator.change_impedance_setpoint(value, OrvexActuator::kUnset, stiffness, damping);
            break;
    }
}

int run_move(Session& session, const MoveArgs& args) {
    const std::vector<int> ids = parse_actuator_ids(args.ids);
    const bool from_file = !args.setpoints.empty();
    const int targets = int{args.has_position} + int{args.has_speed} + int{args.has_torque} +
                        int{args.has_impedance};
    if (from_file ? targets != 0 : targets != 1) {
        throw UsageError(from_file ? "--setpoints names the mode in its header; leave out "
                                     "--position, --speed, --torque and --impedance"
                                   : "give exactly one of --position, --speed, --torque, "
                                     "--impedance and --setpoints");
    }
    const int shapes = int{from_file} + int{!args.sine.empty()} + int{args.has_ramp};
    if (shapes > 1) {
        throw UsageError("--sine, --ramp and --setpoints exclude each other");
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
    double amplitude = 0.0, frequency = 0.0;
    if (!args.sine.empty()) {
        const auto comma = args.sine.find(',');
        if (comma == std::string::npos) {
            throw UsageError("--sine takes AMPLITUDE,FREQUENCY (e.g. 0.5,1)");
        }
        amplitude = parse_float(args.sine.substr(0, comma), "--sine amplitude");
        frequency = parse_float(args.sine.substr(comma + 1), "--sine frequency");
        if (frequency <= 0.0 || frequency > 10.0) {
            throw UsageError(
                "--sine frequency must lie in 0..10 Hz (setpoints go out 100 times "
                "a second)");
        }
    }
    if (args.has_ramp && !(args.ramp_s > 0.0 && args.ramp_s <= 3600.0)) {
        throw UsageError("--ramp must be a number of seconds, more than 0 and at most 3600");
    }
    SetpointFile file;
    Mode mode = args.has_position ? Mode::POSITION
                : args.has_speed  ? Mode::SPEED
                : args.has_torque ? Mode::TORQUE
                                  : Mode::IMPEDANCE;
    if (from_file) {
        file = read_setpoints(args.setpoints);
        mode = file.mode;
    }
    if ((args.has_stiffness || args.has_damping) && mode != Mode::IMPEDANCE) {
        throw UsageError("--stiffness and --damping go with --impedance");
    }
    const double target = args.has_position ? args.position
                          : args.has_speed  ? args.speed
                          : args.has_torque ? args.torque
                                            : args.impedance;
    // The run ends at the end of the setpoints unless --duration says otherwise.
    const double duration =
        args.duration_s > 0.0 || !from_file ? args.duration_s : file.points.back().time;

    std::vector<Driven> driven(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        driven[i].id = ids[i];
        driven[i].actuator = session.connect_actuator(ids[i]);
    }
    const bool ramp_from_position =
        args.has_ramp && (mode == Mode::POSITION || mode == Mode::IMPEDANCE);
    for (Driven& d : driven) {
        if (ramp_from_position) {
            const auto now = d.actuator->getItemsBlocking({Item::POSITION_4C}, 1.0f);
            const auto it = now.find(Item::POSITION_4C);
            if (it == now.end() || !std::isfinite(it->second)) {
                throw DeviceError("actuator " + hex_id(d.id) + " did not report its position");
            }
            d.start_position = it->second;
        }
        d.stream =
            std::make_unique<FeedbackStream>(*d.actuator,
                                             std::vector<Item>{Item::POSITION_4C, Item::SPEED_45,
                                                               Item::TORQUE_56, Item::SETPOINT_4B},
                                             kStreamRateHz);
        d.stop_on_exit = std::make_unique<StopOnExit>(*d.actuator);
    }

    // The setpoint of actuator `d` at `t` seconds after the start.
    const std::function<double(const Driven&, double)> setpoint = [&](const Driven& d, double t) {
        if (from_file) {
            return interpolate(file.points, t);
        }
        if (!args.sine.empty()) {
            return target + amplitude * std::sin(2.0 * kPi * frequency * t);
        }
        if (args.has_ramp) {
            const double from = ramp_from_position ? d.start_position : 0.0;
            return from + (target - from) * std::min(1.0, t / args.ramp_s);
        }
        return target;
    };
    const auto send = [&](Driven& d, double value) {
        constexpr float kUnset = OrvexActuator::kUnset;
        send_setpoint(*d.actuator, mode, static_cast<float>(value),
                      args.has_stiffness ? args.stiffness : kUnset,
                      args.has_damping ? args.damping : kUnset);
    };
    // Mode, then setpoint, then start: the device never runs on a setpoint left from before.
    for (Driven& d : driven) {
        d.actuator->change_mode(mode);
        send(d, setpoint(d, 0.0));
        d.actuator->start();
    }

    std::string what = std::string(mode_word(mode)) + " mode, ";
    if (from_file) {
        what += "setpoints from " + args.setpoints + " (" + std::to_string(file.points.size()) +
                " rows to " + format_value(file.points.back().time) + " s)";
    } else if (!args.sine.empty()) {
        what += "setpoint " + format_value(target) + " + " + format_value(amplitude) +
                " sin(2 pi " + format_value(frequency) + " Hz t)";
    } else if (args.has_ramp) {
        what += "ramp to " + format_value(target) + " in " + format_value(args.ramp_s) + " s";
    } else {
        what += "setpoint " + format_value(target);
    }
    if (args.has_stiffness) {
        what += ", stiffness " + format_value(args.stiffness);
    }
    if (args.has_damping) {
        what += ", damping " + format_value(args.damping);
    }
    std::string names;
    for (const int id : ids) {
        names += (names.empty() ? "" : ", ") + hex_id(id);
    }
    const bool several = ids.size() > 1;
    if (!quiet()) {
        std::cout << (several ? "Actuators " : "Actuator ") << names << ": " << what << ", "
                  << (duration > 0.0 ? "for " + format_value(duration) + " s (Ctrl-C stops " +
                                           (several ? "them" : "it") + " sooner)"
                                     : std::string("until Ctrl-C"))
                  << '\n';
    }
    std::cout << pad_left("TIME", 8) << (several ? pad_left("ADDRESS", 9) : "")
              << pad_left("POSITION", 12) << pad_left("SPEED", 12) << pad_left("TORQUE", 12)
              << pad_left("SETPOINT", 12) << std::endl;
    const std::vector<Item> columns = {Item::POSITION_4C, Item::SPEED_45, Item::TORQUE_56,
                                       Item::SETPOINT_4B};
    const auto values = [&](const Sample& sample) {
        std::string text;
        for (const Item item : columns) {
            text += cell(sample.value(item));
        }
        return text;
    };

    const bool trajectory = shapes > 0;
    const auto start = Clock::now();
    for (Driven& d : driven) {
        d.stream_lead = d.stream->now();
    }
    const auto deadline = deadline_after(duration);
    const double row_period = 1.0 / args.rate_hz;
    double next_row = row_period;
    double next_command = kCommandPeriod;
    while (!interrupted() && Clock::now() < deadline) {
        const double t = seconds_between(start, Clock::now());
        if (trajectory && t >= next_command) {
            for (Driven& d : driven) {
                send(d, setpoint(d, t));
            }
            next_command +=
                kCommandPeriod * (1 + static_cast<int>((t - next_command) / kCommandPeriod));
        }
        // Wait on the first stream until the next command or row falls due; the others have
        // their frames queued by then (they stream at the same rate).
        const double wake = std::min(trajectory ? next_command : next_row, next_row);
        const auto until = std::min(deadline, start + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(wake)));
        for (std::size_t i = 0; i < driven.size(); ++i) {
            Driven& d = driven[i];
            for (Sample& sample : d.stream->take(i == 0 ? until : Clock::time_point::min())) {
                d.latest = std::move(sample);
                d.have_sample = true;
            }
            if (report_errors(d.stream->take_errors())) {
                throw DeviceError("actuator " + hex_id(d.id) + " reported a serious error; " +
                                  (several ? "every actuator stopped" : "stopped"));
            }
            if (!d.have_sample && d.stream->now() > kFirstFrameTimeout) {
                throw DeviceError("actuator " + hex_id(d.id) + " sends no feedback; stopped");
            }
        }
        const double now = seconds_between(start, Clock::now());
        if (now >= next_row) {
            for (const Driven& d : driven) {
                if (d.have_sample) {
                    // The time the frame arrived, on the clock of the move.
                    std::cout << pad_left(format_fixed(d.latest.time - d.stream_lead, 2), 8)
                              << (several ? pad_left(hex_id(d.id), 9) : "") << values(d.latest)
                              << '\n';
                }
            }
            std::cout.flush();
            throw_if_output_failed();
            next_row += row_period * (1 + static_cast<int>((now - next_row) / row_period));
        }
    }
    for (Driven& d : driven) {
        d.actuator->stop();
    }
    for (const Driven& d : driven) {
        if (d.have_sample) {
            std::cout << (several ? "Final " + hex_id(d.id) + ":" : std::string("Final:"))
                      << " position " << format_fixed(d.latest.value(Item::POSITION_4C), 4)
                      << "  speed " << format_fixed(d.latest.value(Item::SPEED_45), 4)
                      << "  torque " << format_fixed(d.latest.value(Item::TORQUE_56), 4)
                      << "  setpoint " << format_fixed(d.latest.value(Item::SETPOINT_4B), 4)
                      << '\n';
        }
    }
    std::cout << (several ? "Actuators " : "Actuator ") << names << " stopped"
              << (interrupted() ? " (Ctrl-C)." : ".") << std::endl;
    return kExitOk;
}

}  // namespace oxl_tool
