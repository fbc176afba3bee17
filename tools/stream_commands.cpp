// The command that streams feedback: monitor, of one actuator or several together.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>

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

// Where `monitor` writes: a CSV file or standard output, JSON lines, a live block of lines on a
// terminal, or one table row per frame when piped.
struct MonitorOutput {
    std::ofstream file;
    std::ostream* csv = nullptr;  // null: no CSV
    bool json = false;            // one JSON object per frame on standard output
    bool live = false;            // terminal: the latest values are redrawn in place
    bool rows = false;            // piped table: every frame is a row
};

// Checks the arguments before anything is sent; returns the items.
std::vector<Item> monitor_items(const MonitorArgs& args) {
    const auto items = parse_item_list(args.items);
    if (items.size() > OrvexActuator::kMaxItemsPerFrame) {
        throw UsageError("at most " + std::to_string(OrvexActuator::kMaxItemsPerFrame) +
                         " items fit in one feedback frame (got " + std::to_string(items.size()) +
                         ")");
    }
    if (args.rate_hz < 1 || args.rate_hz > 10000) {
        throw UsageError("--rate " + std::to_string(args.rate_hz) +
                         " is out of range (1..10000 Hz)");
    }
    if (args.json && !args.csv.empty()) {
        throw UsageError("--json and --csv exclude each other");
    }
    check_duration(args.duration_s);
    return items;
}

void open_monitor_output(const MonitorArgs& args, MonitorOutput& out) {
    if (args.csv == "-") {
        out.csv = &std::cout;
    } else if (!args.csv.empty()) {
        out.file.open(args.csv);
        if (!out.file) {
            throw UsageError("cannot write " + args.csv);
        }
        out.csv = &out.file;
    }
    out.json = args.json;
    out.live = out.csv != &std::cout && !out.json && isatty(STDOUT_FILENO) != 0;
    out.rows = out.csv == nullptr && !out.json && !out.live;
}

// The columns of `monitor`: the actuator's address (in a table only when there are several),
// the frame's sequence number, its host receive time (seconds since the stream started, from
// the library's sample), then the items; as an aligned table, as CSV with one header row naming
// every column, or as one JSON object per frame.
class MonitorColumns {
  public:
    MonitorColumns(std::vector<Item> items_in, bool several_in)
        : items(std::move(items_in)), several(several_in) {
        for (const Item item : items) {
            width.push_back(std::max<std::size_t>(12, item_name(item).size() + 2));
        }
    }

    std::string table_header() const {
        std::string line = several ? pad_left("ADDRESS", kAddressWidth) : "";
        line += pad_left("SEQ", kSeqWidth) + pad_left("HOST_TIME", kTimeWidth);
        for (std::size_t i = 0; i < items.size(); ++i) {
            line += pad_left(item_name(items[i]), width[i]);
        }
        return line;
    }
    std::string table_row(const Sample& sample) const {
        std::string line = several ? pad_left(hex_id(sample.address), kAddressWidth) : "";
        line += pad_left(std::to_string(sample.frame.sequence), kSeqWidth) +
                pad_left(format_fixed(sample.time, 4), kTimeWidth);
        for (std::size_t i = 0; i < items.size(); ++i) {
            const float* value = sample.frame.find(items[i]);
            line += pad_left(value == nullptr ? "-" : format_value(*value), width[i]);
        }
        return line;
    }
    std::string csv_header() const {
        std::string line = "address,seq,host_time";
        for (const Item item : items) {
            line += ',' + item_name(item);
        }
        return line;
    }
    std::string csv_row(const Sample& sample) const {
        std::string line = hex_id(sample.address) + ',' + std::to_string(sample.frame.sequence) +
                           ',' + format_fixed(sample.time, 6);
        for (const Item item : items) {
            const float* value = sample.frame.find(item);
            line += ',' + (value == nullptr ? std::string() : format_value(*value));
        }
        return line;
    }
    std::string json_line(const Sample& sample) const {
        Json line = {{"address", sample.address},
                     {"seq", sample.frame.sequence},
                     {"host_time", std::round(sample.time * 1e6) / 1e6}};
        for (const Item item : items) {
            const float* value = sample.frame.find(item);
            line[item_name(item)] = value == nullptr ? Json() : json_number(*value);
        }
        return line.dump();
    }

  private:
    static constexpr std::size_t kAddressWidth = 8;
    static constexpr std::size_t kSeqWidth = 8;
    static constexpr std::size_t kTimeWidth = 11;
    std::vector<Item> items;
    bool several;
    std::vector<std::size_t> width;
};

// What a monitor run saw of one actuator, for its summary line.
struct MonitorTotals {
    std::size_t frames = 0;
    OrvexActuator::FeedbackCounters arrivals;
};

// What a monitor run saw: by actuator, and of the bus.
struct MonitorRun {
    std::map<int, MonitorTotals> actuators;
    std::size_t frames = 0;
    double elapsed = 0.0;
    oxl_api::TransportCounters transport;
};

// Streams every actuator into one queue until the duration ends or Ctrl-C, writing every frame
// in the order the frames arrived; reported errors are printed, and a serious one stops the
// actuator that reported it. The counters are read before the streams are switched off.
MonitorRun stream_monitor(Session& session,
                          const std::vector<std::unique_ptr<OrvexActuator>>& actuators,
                          const std::vector<Item>& items, const MonitorArgs& args,
                          const MonitorColumns& columns, MonitorOutput& out) {
    if (out.csv != nullptr) {
        *out.csv << columns.csv_header() << '\n';
    }
    if (out.live || out.rows) {
        std::cout << columns.table_header() << std::endl;
    }
    MonitorRun run;
    std::map<int, Sample> latest;  // for the live block
    double last_draw = -1.0;
    bool drawn = false;  // the live block is on screen, the cursor on the line below it
    FeedbackQueue queue;
    std::vector<std::unique_ptr<FeedbackStream>> streams;
    for (const auto& actuator : actuators) {
        run.actuators[actuator->address];
        streams.push_back(std::make_unique<FeedbackStream>(*actuator, items, args.rate_hz, queue));
    }
    const auto deadline = deadline_after(args.duration_s);
    while (!interrupted() && Clock::now() < deadline) {
        const auto samples = queue.take(deadline);
        for (const Sample& sample : samples) {
            if (out.csv != nullptr) {
                *out.csv << columns.csv_row(sample) << '\n';
            }
            if (out.json) {
                std::cout << columns.json_line(sample) << '\n';
            }
            if (out.rows) {
                std::cout << columns.table_row(sample) << '\n';
            }
            ++run.actuators[sample.address].frames;
            latest[sample.address] = sample;
        }
        run.frames += samples.size();
        if (out.live && !samples.empty() && queue.now() - last_draw >= 0.05) {
            // One line per actuator, redrawn in place: back to the block's first line.
            std::string block = drawn ? "\033[" + std::to_string(actuators.size()) + "F" : "";
            for (const auto& actuator : actuators) {
                const auto it = latest.find(actuator->address);
                block += (it == latest.end() ? std::string() : columns.table_row(it->second)) +
                         "\033[K\n";
            }
            std::cout << block << std::flush;
            last_draw = queue.now();
            drawn = true;
        }
        if (!samples.empty() && out.csv != nullptr) {
            out.csv->flush();
        }
        if ((out.rows || out.json) && !samples.empty()) {
            std::cout.flush();
        }
        throw_if_output_failed();
        const auto errors = queue.take_errors();
        // Error lines land below the live block; the next one is drawn below them.
        drawn = drawn && errors.empty();
        if (report_errors(errors)) {
            for (const auto& actuator : actuators) {
                if (std::any_of(errors.begin(), errors.end(), [&](const ReportedError& error) {
                        return error.address == actuator->address && error.serious();
                    })) {
                    actuator->stop();
                    std::cerr << "oxl: actuator " << hex_id(actuator->address)
                              << " stopped after a serious error" << std::endl;
                }
            }
        }
        for (const auto& entry : run.actuators) {
            if (entry.second.frames == 0 && queue.now() > kFirstFrameTimeout) {
                throw DeviceError("actuator " + hex_id(entry.first) + " sends no feedback");
            }
        }
    }
    run.elapsed = queue.now();
    for (std::size_t i = 0; i < actuators.size(); ++i) {
        run.actuators[actuators[i]->address].arrivals = streams[i]->counters();
    }
    run.transport = session.transport().counters();
    return run;
}

// A line on standard error for each actuator, with the frames and their rate and what the client
// estimates missing, then one with the transport's counters.
void print_monitor_summary(const MonitorRun& run, bool simulated, const std::string& csv_path) {
    const auto n = [](uint64_t value) { return std::to_string(value); };
    for (const auto& [address, t] : run.actuators) {
        char head[128];
        std::snprintf(head, sizeof head, "oxl: actuator %s: %zu frames in %.2f s (%.1f per second)",
                      hex_id(address).c_str(), t.frames, run.elapsed,
                      run.elapsed > 0.0 ? t.frames / run.elapsed : 0.0);
        note(std::string(head) + "; " + n(t.arrivals.frames_missing) +
             " missing (estimated), largest gap " +
             format_fixed(static_cast<double>(t.arrivals.largest_gap_ns) / 1e9, 3) + " s");
    }
    std::string line = "oxl: ";
    if (!csv_path.empty() && csv_path != "-") {
        line += n(run.frames) + " rows written to " + csv_path + "; ";
    }
    const oxl_api::TransportCounters& c = run.transport;
    if (simulated) {
        line += "simulated bus: " + n(c.sim_frames_sent) + " frames sent, " +
                n(c.sim_frames_skipped) + " skipped for lag";
    } else {
        line += "line: " + n(c.bytes_read) + " bytes read, " +
                n(c.dropped_bad_start + c.dropped_overlong + c.dropped_short_header +
                  c.dropped_short_body) +
                " frames dropped, " + n(c.bytes_skipped) + " bytes skipped, " +
                n(c.write_failures) + " failed writes, " + n(c.reconnects) + " reconnects";
    }
    note(line + "; " + n(c.frames_dispatched) + " messages dispatched, " +
         n(c.frames_without_callback) + " unclaimed");
}

}  // namespace

int run_monitor(Session& session, const MonitorArgs& args) {
    const std::vector<int> ids = parse_actuator_ids(args.ids);
    const std::vector<Item> items = monitor_items(args);
    MonitorOutput out;
    open_monitor_output(args, out);
    std::vector<std::unique_ptr<OrvexActuator>> actuators;
    for (const int id : ids) {
        actuators.push_back(session.connect_actuator(id));
    }
    const MonitorColumns columns(items, ids.size() > 1);
    const MonitorRun run = stream_monitor(session, actuators, items, args, columns, out);
    print_monitor_summary(run, session.simulated(), args.csv);
    return kExitOk;
}

}  // namespace oxl_tool
