#include "output.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace oxl_tool {
namespace {

bool g_quiet = false;
bool g_verbose = false;

// The tool's handler of the library's lines; may run on several threads at once.
void library_line(oxl_api::LogSeverity severity, const std::string& text) {
    // Losing and regaining the adapter is news for anyone watching a long run, so those lines
    // show unless -q is given; the rest of the library's lines only with -v.
    const bool adapter_news = !g_quiet && text.rfind("Adapter on ", 0) == 0;
    if (g_verbose || adapter_news) {
        // One write per line, so that lines of several threads do not cut into each other.
        std::cerr << ("oxl: library " + std::string(oxl_api::log_severity_name(severity)) + ": " +
                      text + "\n")
                  << std::flush;
    }
}

}  // namespace

void route_library_lines(bool verbose) {
    g_verbose = verbose;
    oxl_api::set_log_handler(library_line);
}

LibraryLines::LibraryLines(Filter wanted, bool echo) : kept(std::make_shared<Kept>()) {
    // The handler holds the store by shared pointer: a line still in flight when this object is
    // gone finds it alive.
    oxl_api::set_log_handler([store = kept, wanted = std::move(wanted), echo](
                                 oxl_api::LogSeverity severity, const std::string& text) {
        const bool keep = wanted(severity, text);
        if (!keep || echo) {
            library_line(severity, text);
        }
        if (keep) {
            std::lock_guard<std::mutex> lock(store->mutex);
            store->lines.push_back(text);
        }
    });
}

LibraryLines::~LibraryLines() {
    oxl_api::set_log_handler(library_line);
}

std::vector<std::string> LibraryLines::take() {
    std::vector<std::string> lines;
    std::lock_guard<std::mutex> lock(kept->mutex);
    lines.swap(kept->lines);
    return lines;
}

bool is_device_found_line(oxl_api::LogSeverity severity, const std::string& text) {
    return severity == oxl_api::LogSeverity::INFO && text.rfind("Device found: ", 0) == 0;
}

void set_quiet(bool quiet_in) {
    g_quiet = quiet_in;
}

bool quiet() {
    return g_quiet;
}

void note(const std::string& line) {
    if (!g_quiet) {
        std::cerr << line << std::endl;
    }
}

std::vector<std::pair<const char*, uint64_t>> counter_fields(const oxl_api::TransportCounters& c) {
    return {{"bytes_read", c.bytes_read},
            {"frames_dispatched", c.frames_dispatched},
            {"frames_without_callback", c.frames_without_callback},
            {"dropped_bad_start", c.dropped_bad_start},
            {"dropped_overlong", c.dropped_overlong},
            {"dropped_short_header", c.dropped_short_header},
            {"dropped_short_body", c.dropped_short_body},
            {"bytes_skipped", c.bytes_skipped},
            {"reconnects", c.reconnects},
            {"bytes_written", c.bytes_written},
            {"frames_written", c.frames_written},
            {"write_failures", c.write_failures},
            {"sim_frames_sent", c.sim_frames_sent},
            {"sim_frames_skipped", c.sim_frames_skipped}};
}

Json json_number(float value) {
    if (std::isnan(value)) {
        return Json();
    }
    if (std::trunc(value) == value && std::fabs(value) < 1e15f) {
        return Json(static_cast<long long>(value));
    }
    char text[32];
    for (int digits = 6; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
        if (std::strtof(text, nullptr) == value) {
            break;
        }
    }
    return Json(std::strtod(text, nullptr));
}

void print_json(const Json& document) {
    std::cout << document.dump(2) << std::endl;
}

}  // namespace oxl_tool
