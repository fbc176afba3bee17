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

namespace {

// Where `monitor` writes: a CSV file or standard output, a live line on a terminal, or one
// table row per frame when piped.
struct MonitorOutput {
    std::ofstream file;
    std::ostream* csv = nullptr;  // null: no CSV
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
    check_duration(args.duration_s);
    return items;
}

void open_monitor_output(const std::string& csv_path, MonitorOutput& out) {
    if (csv_path == "-") {
        out.csv = &std::cout;
    } else if (!csv_path.empty()) {
        out.file.open(csv_path);
        if (!out.file) {
            throw UsageError("cannot write " + csv_path);
        }
        out.csv = &out.file;
    }
    out.live = out.csv != &std::cout && isatty(STDOUT_FILENO) != 0;
    out.rows = out.csv == nullptr && !out.live;
}

// The columns of `monitor`: the frame's sequence number, its host receive time (seconds since
// the stream started, from the library's sample), then the items; as an aligned table or as CSV
// with one header row naming every column.
class MonitorColumns {
  public:
    explicit MonitorColumns(std::vector<Item> items_in) : items(std::move(items_in)) {
        for (const Item item : items) {
            width.push_back(std::max<std::size_t>(12, item_name(item).size() + 2));
        }
    }

    std::string table_header() const {
        std::string line = pad_left("SEQ", kSeqWidth) + pad_left("HOST_TIME", kTimeWidth);
        for (std::size_t i = 0; i < items.size(); ++i) {
            line += pad_left(item_name(items[i]), width[i]);
        }
        return line;
    }
    std::string table_row(const Sample& sample) const {
        std::string line = pad_left(std::to_string(sample.frame.sequence), kSeqWidth) +
                           pad_left(format_fixed(sample.time, 4), kTimeWidth);
        for (std::size_t i = 0; i < items.size(); ++i) {
            const float* value = sample.frame.find(items[i]);
            line += pad_left(value == nullptr ? "-" : format_value(*value), width[i]);
        }
        return line;
    }
    std::string csv_header() const {
        std::string line = "seq,host_time";
        for (const Item item : items) {
            line += ',' + item_name(item);
        }
        return line;
    }
    std::string csv_row(const Sample& sample) const {
        std::string line =
            std::to_string(sample.frame.sequence) + ',' + format_fixed(sample.time, 6);
        for (const Item item : items) {
            const float* value = sample.frame.find(item);
            line += ',' + (value == nullptr ? std::string() : format_value(*value));
        }
        return line;
    }

  private:
    static constexpr std::size_t kSeqWidth = 8;
    static constexpr std::size_t kTimeWidth = 11;
    std::vector<Item> items;
    std::vector<std::size_t> width;
};

// What a monitor run saw, for its summary line.
struct MonitorTotals {
    std::size_t frames = 0;
    double elapsed = 0.0;
    OrvexActuator::FeedbackCounters arrivals;
    oxl_api::TransportCounters transport;
};

// Streams until the duration ends or Ctrl-C, writing every frame; reported errors are printed,
// and a serious one stops the actuator. The counters are read before the stream is switched off.
MonitorTotals stream_monitor(Session& session, OrvexActuator& actuator, int id,
                             const std::vector<Item>& items, const MonitorArgs& args,
                             const MonitorColumns& columns, MonitorOutput& out) {
    if (out.csv != nullptr) {
        *out.csv << columns.csv_header() << '\n';
    }
    if (out.live || out.rows) {
        std::cout << columns.table_header() << std::endl;
    }
    MonitorTotals totals;
    double last_draw = -1.0;
    bool drawn = false;
    FeedbackStream stream(actuator, items, args.rate_hz);
    const auto deadline = deadline_after(args.duration_s);
    while (!interrupted() && Clock::now() < deadline) {
        const auto samples = stream.take(deadline);
        for (const Sample& sample : samples) {
            if (out.csv != nullptr) {
                *out.csv << columns.csv_row(sample) << '\n';
            }
            if (out.rows) {
                std::cout << columns.table_row(sample) << '\n';
            }
        }
        totals.frames += samples.size();
        if (out.live && !samples.empty() && stream.now() - last_draw >= 0.05) {
            std::cout << '\r' << columns.table_row(samples.back()) << "\033[K" << std::flush;
            last_draw = stream.now();
            drawn = true;
        }
        if (!samples.empty() && out.csv != nullptr) {
            out.csv->flush();
        }
        if (out.rows && !samples.empty()) {
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
            actuator.stop();
            std::cerr << "oxl: actuator " << hex_id(id) << " stopped after a serious error"
                      << std::endl;
        }
        if (totals.frames == 0 && stream.now() > kFirstFrameTimeout) {
            throw DeviceError("actuator " + hex_id(id) + " sends no feedback");
        }
    }
    totals.elapsed = stream.now();
    totals.arrivals = stream.counters();
    totals.transport = session.transport().counters();
    if (drawn) {
        std::cout << std::endl;
    }
    return totals;
}

// One line on standard error: the frames and their rate, what the client estimates missing,
// and the transport's counters.
void print_monitor_summary(const MonitorTotals& t, bool simulated, const std::string& csv_path) {
    char head[96];
    std::snprintf(head, sizeof head, "oxl: %zu frames in %.2f s (%.1f per second)", t.frames,
                  t.elapsed, t.elapsed > 0.0 ? t.frames / t.elapsed : 0.0);
    std::string line = head;
    if (!csv_path.empty() && csv_path != "-") {
        line += " written to " + csv_path;
    }
    const auto n = [](uint64_t value) { return std::to_string(value); };
    line += "; " + n(t.arrivals.frames_missing) + " missing (estimated), largest gap " +
            format_fixed(static_cast<double>(t.arrivals.largest_gap_ns) / 1e9, 3) + " s";
    const oxl_api::TransportCounters& c = t.transport;
    if (simulated) {
        line += "; simulated bus: " + n(c.sim_frames_sent) + " frames sent, " +
                n(c.sim_frames_skipped) + " skipped for lag";
    } else {
        line += "; line: " + n(c.bytes_read) + " bytes read, " +
                n(c.dropped_bad_start + c.dropped_overlong + c.dropped_short_header +
                  c.dropped_short_body) +
                " frames dropped, " + n(c.bytes_skipped) + " bytes skipped, " +
                n(c.write_failures) + " failed writes, " + n(c.reconnects) + " reconnects";
    }
    line += "; " + n(c.frames_dispatched) + " messages dispatched, " +
            n(c.frames_without_callback) + " unclaimed";
    std::cerr << line << std::endl;
}

}  // namespace

int run_monitor(Session& session, const MonitorArgs& args) {
    const int id = parse_actuator_id(args.id);
    const std::vector<Item> items = monitor_items(args);
    MonitorOutput out;
    open_monitor_output(args.csv, out);
    auto actuator = session.connect_actuator(id);
    const MonitorColumns columns(items);
    const MonitorTotals totals = stream_monitor(session, *actuator, id, items, args, columns, out);
    print_monitor_summary(totals, session.simulated(), args.csv);
    return kExitOk;
}

}  // namespace oxl_tool
