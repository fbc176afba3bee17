// The command that streams feedback: monitor.
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
#include "text_table.hpp"

namespace oxl_tool {
namespace {

using oxl_api::OrvexActuator;
using Clock = std::chrono::steady_clock;

// Feedback frames carry at most 11 items (5 bytes each in 59).
using oxl_api::kMaxItemsPerFrame;

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

}  // namespace oxl_tool
