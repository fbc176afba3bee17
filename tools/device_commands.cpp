// Commands that inspect and configure one device at a time: ports, names, scan, info, param,
// save, blink, set-address, factory-reset.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include <oxl_api/orvex_actuator.hpp>
#include <oxl_api/oxl_over_usb.hpp>
#include <oxl_api/serial_port.hpp>

#include "commands.hpp"
#include "errors.hpp"
#include "interrupt.hpp"
#include "names.hpp"
#include "output.hpp"
#include "parameter_values.hpp"
#include "text_table.hpp"

namespace oxl_tool {
namespace {

using oxl_api::OrvexActuator;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string usb_id(const oxl_api::PortInfo& port) {
    if (port.vid == 0 && port.pid == 0) {
        return "-";
    }
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04x:%04x", port.vid, port.pid);
    return buffer;
}

// Progress of a long scan on standard error. On a terminal one line is redrawn in place after
// each chunk and wiped before the next, so that the scanner's "Device found" lines on standard
// output start on a clean line; elsewhere a plain line is written at most once per second.
class ScanProgress {
  public:
    ScanProgress(int first, int last)
        : first(first), last(last), tty(isatty(STDERR_FILENO) != 0), start(Clock::now()) {}

    void clear() {
        if (shown) {
            std::cerr << "\r\033[K" << std::flush;
            shown = false;
        }
    }

    void update(int next_id) {
        const int done = next_id - first;
        const int left = last - next_id + 1;
        const double elapsed = seconds_since(start);
        if (left <= 0 || done <= 0) {
            return;
        }
        if (!tty && elapsed - last_line < 1.0) {
            return;
        }
        last_line = elapsed;
        char line[160];
        std::snprintf(line, sizeof line,
                      "scanning %s..%s: %d of %d ids done, %d left, about %.1f s left",
                      hex_id(first).c_str(), hex_id(last).c_str(), done, last - first + 1, left,
                      elapsed / done * left);
        if (tty) {
            std::cerr << '\r' << line << "\033[K" << std::flush;
            shown = true;
        } else {
            std::cerr << line << std::endl;
        }
    }

  private:
    const int first;
    const int last;
    const bool tty;
    const Clock::time_point start;
    double last_line = 0.0;
    bool shown = false;
};

// The scanner's "Device found" lines, taken from the library's log hook and written to standard
// output by `flush`, on the command's thread: so they never land on the progress line drawn in
// place, and stay off a --json document.
class FoundLines {
  public:
    explicit FoundLines(bool print_in) : lines(is_device_found_line), print(print_in) {}
    void flush() {
        for (const auto& line : lines.take()) {
            if (print) {
                std::cout << line << '\n';
            }
        }
        std::cout.flush();
    }

  private:
    LibraryLines lines;
    const bool print;
};

// Scans `first`..`last` one id at a time (up to 50 ms per silent id) in chunks of 10 ids, since
// `scan` reports no progress itself. Returns the ids found and sets `next` to the first id not
// scanned (past `last` unless interrupted).
std::vector<int> scan_sequentially(oxl_api::OrvexActuatorScanner& scanner, int first, int last,
                                   FoundLines& output, int& next) {
    constexpr int kChunk = 10;
    const bool long_range = last - first + 1 > 2 * kChunk;
    ScanProgress progress(first, last);
    std::vector<int> found;
    next = first;
    while (next <= last && !interrupted()) {
        const int chunk_last = std::min(last, next + kChunk - 1);
        progress.clear();
        const auto part = scanner.scan(next, chunk_last);
        output.flush();
        found.insert(found.end(), part.begin(), part.end());
        next = chunk_last + 1;
        if (long_range && !quiet()) {
            progress.update(next);
        }
    }
    progress.clear();
    return found;
}

// Discovers `first`..`last` a window of ids at a time, with progress after each window. Same
// results as `scan_sequentially`.
std::vector<int> scan_in_windows(oxl_api::OrvexActuatorScanner& scanner, int first, int last,
                                 FoundLines& output, int& next) {
    ScanProgress progress(first, last);
    next = first;
    const auto found = scanner.discover(
        first, last, oxl_api::OrvexActuatorScanner::kDiscoveryWindow, [&](int done, int) {
            next = first + done;
            progress.clear();
            output.flush();
            if (!quiet()) {
                progress.update(next);
            }
            return !interrupted();
        });
    progress.clear();
    return found;
}

// "POSITION" for a known mode value, else nothing.
std::string mode_name(float value) {
    if (!(value >= 0.0f && value < 256.0f)) {
        return "";
    }
    for (const auto& mode : all_modes()) {
        if (static_cast<int>(value) == static_cast<int>(mode.first)) {
            return mode.second;
        }
    }
    return "";
}

// An item or parameter code as two hexadecimal digits ("0x04").
std::string code_hex(int code) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "0x%02x", static_cast<unsigned>(code));
    return buffer;
}

void print_parameter_table(const std::vector<Parameter>& codes,
                           const std::map<Parameter, float>& values, int indent) {
    // The fourth column names the mode behind the MODE value.
    TextTable table({"CODE", "NAME", "VALUE", ""}, {false, false, true, false});
    for (const Parameter code : codes) {
        const auto it = values.find(code);
        const std::string note =
            code == Parameter::MODE && it != values.end() ? mode_name(it->second) : "";
        table.add_row({code_hex(static_cast<int>(code)), parameter_name(code),
                       it == values.end() ? "(no answer)" : format_value(it->second), note});
    }
    table.print(std::cout, indent);
}

}  // namespace

int run_ports() {
    const auto ports = oxl_api::SerialPort::list_ports();
    if (ports.empty()) {
        std::cout << "No serial ports found." << std::endl;
    } else {
        TextTable table({"PORT", "USB ID", "ADAPTER"}, {false, false, false});
        for (const auto& port : ports) {
            table.add_row({port.name, usb_id(port),
                           oxl_api::OXL_over_USB::is_adapter_port(port) ? "yes" : ""});
        }
        table.print(std::cout);
    }
    if (std::none_of(ports.begin(), ports.end(), oxl_api::OXL_over_USB::is_adapter_port)) {
        note(
            "No USB-to-CAN adapter (USB id 0483:a540..a54a) is plugged in; --sim runs the "
            "commands on a simulated bus.");
    }
    return kExitOk;
}

int run_names(const std::string& which) {
    const bool items = which.empty() || which == "items";
    const bool parameters = which.empty() || which == "parameters";
    if (!items && !parameters) {
        throw UsageError("unknown list '" + which + "' (items or parameters)");
    }
    if (items) {
        std::cout << "Feedback items (oxl monitor --items):\n";
        TextTable table({"CODE", "NAME"}, {false, false});
        for (const auto& entry : all_items()) {
            table.add_row({code_hex(static_cast<int>(entry.first)), entry.second});
        }
        table.print(std::cout, 2);
    }
    if (parameters) {
        std::cout << (items ? "\n" : "") << "Parameters (oxl param get/set):\n";
        TextTable table({"CODE", "NAME"}, {false, false});
        for (const auto& entry : all_parameters()) {
            table.add_row({code_hex(static_cast<int>(entry.first)), entry.second});
        }
        table.print(std::cout, 2);
    }
    return kExitOk;
}

int run_scan(Session& session, const ScanArgs& args) {
    const int first =
        args.all ? kFirstActuatorId : parse_id(args.from, 0, kLastActuatorId, "--from");
    const int last = args.all ? kLastActuatorId : parse_id(args.to, 0, kLastActuatorId, "--to");
    if (first > last) {
        throw UsageError("--from " + hex_id(first) + " is above --to " + hex_id(last));
    }
    oxl_api::OXL& transport = session.transport();
    FoundLines output(!args.json);
    oxl_api::OrvexActuatorScanner scanner(transport);
    if (!scanner.connected) {
        throw DeviceError("the USB-to-CAN adapter does not answer on " + session.describe() +
                          " (is it powered?)");
    }
    if (!transport.is_connected()) {
        // The scanner closed the transport: whatever answers at id 0 is not an adapter.
        throw DeviceError("the device answering at id 0 on " + session.describe() +
                          " is not a USB-to-CAN adapter");
    }

    const auto start = Clock::now();
    int next = first;
    const std::vector<int> found = args.sequential
                                       ? scan_sequentially(scanner, first, last, output, next)
                                       : scan_in_windows(scanner, first, last, output, next);
    output.flush();
    if (args.json) {
        Json devices = Json::array();
        for (const int id : found) {
            // The scanner prints identities but returns ids: ask each device once more.
            const auto identity = session.identify(id, 0.5f);
            devices.push_back({{"address", id},
                               {"model", identity ? identity->model : ""},
                               {"firmware", identity ? identity->firmware : ""}});
        }
        print_json(devices);
    }

    const std::string range = hex_id(first) + ".." + hex_id(last);
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f s", seconds_since(start));
    if (next <= last) {
        std::cerr << "Scan interrupted before " << hex_id(next) << "; " << found.size()
                  << " device(s) found in " << hex_id(first) << ".." << hex_id(next - 1) << "."
                  << std::endl;
        return kExitInterrupted;
    }
    if (found.empty()) {
        std::cerr << "No device answered in " << range << " (" << elapsed << ")." << std::endl;
        return kExitDevice;
    }
    note(std::to_string(found.size()) + " device(s) found in " + range + " (" + elapsed + ").");
    return kExitOk;
}

int run_info(Session& session, const std::string& id_text, bool json) {
    const int id = parse_actuator_id(id_text);
    auto actuator = session.connect_actuator(id);

    TextTable identity({"", ""}, {false, false});
    identity.add_row({"model", actuator->model.empty() ? "(unknown)" : actuator->model});
    identity.add_row({"firmware", actuator->firmware});
    const std::vector<std::pair<Item, const char*>> state_items = {
        {Item::POSITION_4C, "position"},       {Item::SPEED_45, "speed"},
        {Item::TORQUE_56, "torque"},           {Item::SETPOINT_4B, "setpoint"},
        {Item::VBUS, "bus voltage"},           {Item::TEMP_WINDING, "winding temp"},
        {Item::TEMPERATURE_71, "temperature"}, {Item::ERRORS, "errors"}};
    std::vector<Item> codes;
    for (const auto& entry : state_items) {
        codes.push_back(entry.first);
    }
    const auto state = actuator->getItemsBlocking(codes, 1.0f);
    const auto all = every_parameter();
    const auto values = read_parameters(*actuator, all);
    if (json) {
        Json state_json = Json::object();
        for (const auto& entry : state_items) {
            const auto it = state.find(entry.first);
            state_json[item_name(entry.first)] =
                it == state.end() ? Json() : json_number(it->second);
        }
        Json parameters = Json::object();
        for (const Parameter code : all) {
            const auto it = values.find(code);
            parameters[parameter_name(code)] =
                it == values.end() ? Json() : json_number(it->second);
        }
        print_json({{"address", id},
                    {"model", actuator->model},
                    {"firmware", actuator->firmware},
                    {"state", state_json},
                    {"parameters", parameters}});
        return kExitOk;
    }
    std::cout << "Actuator " << hex_id(id) << " (" << id << ") on " << session.describe() << '\n';
    for (const auto& entry : state_items) {
        const auto it = state.find(entry.first);
        identity.add_row(
            {entry.second, it == state.end() ? "(no answer)" : format_value(it->second)});
    }
    // The table's header row is empty: print the rows only.
    std::ostringstream rows;
    identity.print(rows, 2);
    const std::string text = rows.str();
    std::cout << text.substr(text.find('\n') + 1);
    std::cout << "\nParameters\n";
    print_parameter_table(all, values, 2);
    return kExitOk;
}

int run_param_get(Session& session, const std::string& id_text,
                  const std::vector<std::string>& names, bool json) {
    const int id = parse_actuator_id(id_text);
    std::vector<Parameter> codes;
    for (const auto& name : names) {
        const Parameter code = parse_parameter(name);
        if (std::find(codes.begin(), codes.end(), code) == codes.end()) {
            codes.push_back(code);
        }
    }
    if (codes.empty()) {
        codes = every_parameter();
    }
    auto actuator = session.connect_actuator(id);
    const auto values = read_parameters(*actuator, codes);
    if (json) {
        Json parameters = Json::object();
        for (const Parameter code : codes) {
            const auto it = values.find(code);
            parameters[parameter_name(code)] =
                it == values.end() ? Json() : json_number(it->second);
        }
        print_json({{"address", id}, {"parameters", parameters}});
    } else {
        print_parameter_table(codes, values, 0);
    }
    return values.size() == codes.size() ? kExitOk : kExitDevice;
}

int run_param_set(Session& session, const std::string& id_text,
                  const std::vector<std::string>& assignments) {
    const int id = parse_actuator_id(id_text);
    std::vector<Parameter> codes;
    OrvexActuator::ParameterMap wanted;
    for (const auto& assignment : assignments) {
        const auto equals = assignment.find('=');
        if (equals == std::string::npos) {
            throw UsageError("expected NAME=VALUE, got '" + assignment + "'");
        }
        const Parameter code = parse_parameter(assignment.substr(0, equals));
        if (code == Parameter::ADDRESS) {
            throw UsageError("ADDRESS is changed with `oxl set-address ID NEW`");
        }
        if (wanted.count(code) != 0) {
            throw UsageError(parameter_name(code) + " is given twice");
        }
        wanted[code] = parse_parameter_value(code, assignment.substr(equals + 1));
        codes.push_back(code);
    }
    if (codes.empty()) {
        throw UsageError("nothing to set (give NAME=VALUE pairs)");
    }

    auto actuator = session.connect_actuator(id);
    TextTable table({"NAME", "BEFORE", "WRITTEN", "READ BACK"}, {false, true, true, true});
    std::vector<std::string> refused;
    for (const WrittenParameter& p : write_and_read_back(*actuator, codes, wanted)) {
        table.add_row({parameter_name(p.code), p.before ? format_value(*p.before) : "?",
                       format_value(p.written),
                       (p.read ? format_value(*p.read) : "?") + (p.taken ? "" : " !")});
        if (!p.taken) {
            refused.push_back(parameter_name(p.code));
        }
    }
    table.print(std::cout);
    if (!refused.empty()) {
        std::string names;
        for (const auto& name : refused) {
            names += (names.empty() ? "" : ", ") + name;
        }
        std::cerr << "oxl: actuator " << hex_id(id) << " did not take " << names
                  << " (read back differs)" << std::endl;
        return kExitDevice;
    }
    return kExitOk;
}

int run_save(Session& session, const std::string& id_text) {
    const int id = parse_actuator_id(id_text);
    auto actuator = session.connect_actuator(id);
    actuator->save_config();
    std::cout << "Actuator " << hex_id(id) << ": configuration saved in the device." << std::endl;
    return kExitOk;
}

int run_blink(Session& session, const std::string& id_text) {
    const int id = parse_actuator_id(id_text);
    auto actuator = session.connect_actuator(id);
    actuator->blink();
    std::cout << "Actuator " << hex_id(id) << " (" << actuator->model << ") is blinking."
              << std::endl;
    return kExitOk;
}

int run_set_address(Session& session, const std::string& id_text, const std::string& new_text) {
    const int id = parse_actuator_id(id_text);
    const int new_id = parse_actuator_id(new_text, "new address");
    if (new_id == id) {
        throw UsageError("actuator " + hex_id(id) + " is already at " + hex_id(new_id));
    }
    {
        auto actuator = session.connect_actuator(id);
        if (session.answers(new_id, 0.3f)) {
            throw DeviceError("address " + hex_id(new_id) + " is already taken by another device");
        }
        actuator->changeAddress(new_id);
        // Destroying the client here sends its stop to the new address and leaves its decoder
        // registered, inert, under the old one.
    }
    if (!session.answers(new_id, 1.0f)) {
        throw DeviceError("actuator " + hex_id(id) + " does not answer at " + hex_id(new_id) +
                          " after the change; it may have refused the address");
    }
    std::cout << "Actuator " << hex_id(id) << " now answers at " << hex_id(new_id) << " (" << new_id
              << "). `oxl save " << hex_id(new_id) << "` stores its configuration in the device."
              << std::endl;
    return kExitOk;
}

int run_factory_reset(Session& session, const std::string& id_text, bool confirmed) {
    const int id = parse_actuator_id(id_text);
    if (!confirmed) {
        throw UsageError("factory-reset replaces every parameter of " + hex_id(id) +
                         " by its factory value; add --yes to confirm");
    }
    {
        auto actuator = session.connect_actuator(id);
        // Stops the device and its stream, sends the restore, then waits 1 s for the reset.
        actuator->restore_factory_parameters(1.0f);
    }
    if (!session.answers(id, 1.0f)) {
        throw DeviceError("actuator " + hex_id(id) + " does not answer after the factory reset");
    }
    std::cout << "Actuator " << hex_id(id)
              << ": factory parameters restored (stopped, feedback stream off)." << std::endl;
    return kExitOk;
}

}  // namespace oxl_tool
