// Commands that act on a device without moving it: stop, home, errors.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>

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

// The raw messages `oxl errors` exchanges with a device. The library's client decodes the item
// ERRORS into a float, which holds 24 significant bits: 0x80000001 would read as 0x80000000.
// Reading the four bytes ourselves keeps every bit.
constexpr uint8_t kPing = 0x40;
constexpr uint8_t kRequestItems = 0x0F;
constexpr uint8_t kIdentityReport = 0x80;
constexpr uint8_t kErrorReport = 0x82;
constexpr uint8_t kErrorsItem = static_cast<uint8_t>(Item::ERRORS);

uint32_t read_u32(const std::vector<uint8_t>& bytes, std::size_t at) {
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

std::string hex32(uint32_t bits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(bits));
    return text;
}

// Listens to everything the device at `id` sends, in place of a client object: what `oxl
// errors` needs is the identity, the exact ERRORS item and the error reports. The callback runs
// on the receive thread and only fills `Inbox` under its lock; it is removed by the destructor.
class ErrorListener {
  public:
    struct Report {
        double time;  // seconds since the listener started
        uint32_t bits;
    };

    ErrorListener(oxl_api::OXL& bus_in, int id_in)
        : bus(bus_in), id(id_in), inbox(std::make_shared<Inbox>()) {
        const auto start = Clock::now();
        bus.setCallback(id, [inbox = inbox, start](int, std::vector<uint8_t> payload, int reply) {
            std::lock_guard<std::mutex> lock(inbox->mutex);
            if (payload.size() >= 5 && payload[0] == kIdentityReport) {
                inbox->identified = true;
            } else if (payload.size() >= 5 && payload[0] == kErrorReport) {
                const std::chrono::duration<double> age = Clock::now() - start;
                inbox->reports.push_back({age.count(), read_u32(payload, 1)});
            } else if (reply != 0) {
                // Item entries of 5 bytes, up to a 0x00 code.
                for (std::size_t at = 0; at + 5 <= payload.size() && payload[at] != 0; at += 5) {
                    if (payload[at] == kErrorsItem) {
                        inbox->state = read_u32(payload, at + 1);
                        inbox->has_state = true;
                    }
                }
            }
            inbox->changed.notify_all();
        });
    }
    ~ErrorListener() { bus.removeCallback(id); }
    ErrorListener(const ErrorListener&) = delete;
    ErrorListener& operator=(const ErrorListener&) = delete;

    // Pings the device; true when it answered within `timeout_s`.
    bool ping(float timeout_s) {
        bus.send_OXL(id, {kPing});
        return wait(timeout_s, [](const Inbox& in) { return in.identified; });
    }

    // Requests the item ERRORS; its bits, or nothing without an answer within `timeout_s`.
    bool read_state(float timeout_s, uint32_t& bits) {
        bus.send_OXL(id, {kRequestItems, kErrorsItem});
        if (!wait(timeout_s, [](const Inbox& in) { return in.has_state; })) {
            return false;
        }
        std::lock_guard<std::mutex> lock(inbox->mutex);
        bits = inbox->state;
        return true;
    }

    // The error reports received so far (waiting up to `timeout_s` for one), oldest first.
    std::deque<Report> take_reports(float timeout_s) {
        wait(timeout_s, [](const Inbox& in) { return !in.reports.empty(); });
        std::lock_guard<std::mutex> lock(inbox->mutex);
        std::deque<Report> out;
        out.swap(inbox->reports);
        return out;
    }

  private:
    struct Inbox {
        std::mutex mutex;
        std::condition_variable changed;
        bool identified = false;     // guarded by `mutex`
        bool has_state = false;      // guarded by `mutex`
        uint32_t state = 0;          // guarded by `mutex`
        std::deque<Report> reports;  // guarded by `mutex`
    };

    template <class Predicate>
    bool wait(float timeout_s, Predicate done) {
        const auto deadline =
            Clock::now() + std::chrono::microseconds(static_cast<int64_t>(timeout_s * 1e6f));
        std::unique_lock<std::mutex> lock(inbox->mutex);
        return inbox->changed.wait_until(lock, deadline, [&] { return done(*inbox); });
    }

    oxl_api::OXL& bus;
    const int id;
    const std::shared_ptr<Inbox> inbox;
};

// The set bits of `bits`, ascending, with their descriptions and whether they are serious (the
// library's default error handling stops the device on them).
Json describe_bits(uint32_t bits) {
    Json list = Json::array();
    for (int bit = 0; bit < 32; ++bit) {
        if ((bits >> bit & 1u) == 0) {
            continue;
        }
        const std::string text = oxl_api::error_description(bit);
        list.push_back({{"bit", bit},
                        {"name", text.empty() ? Json() : Json(text)},
                        {"serious", !text.empty() && oxl_api::is_serious_error(bit)}});
    }
    return list;
}

Json error_document(int id, uint32_t bits) {
    return {
        {"address", id}, {"errors", hex32(bits)}, {"value", bits}, {"bits", describe_bits(bits)}};
}

std::string bit_name(const Json& bit) {
    return bit["name"].is_null() ? "(no description)" : bit["name"].get<std::string>();
}

void print_state(int id, uint32_t bits) {
    if (bits == 0) {
        std::cout << "Actuator " << hex_id(id) << ": error state " << hex32(bits) << " (no errors)"
                  << std::endl;
        return;
    }
    std::cout << "Actuator " << hex_id(id) << ": error state " << hex32(bits) << '\n';
    TextTable table({"BIT", "ERROR", "SERIOUS"}, {true, false, false});
    for (const auto& bit : describe_bits(bits)) {
        table.add_row({std::to_string(bit["bit"].get<int>()), bit_name(bit),
                       bit["serious"].get<bool>() ? "yes" : "no"});
    }
    table.print(std::cout, 2);
}

void print_report(const ErrorListener::Report& report) {
    std::string names;
    for (const auto& bit : describe_bits(report.bits)) {
        names += (names.empty() ? "" : ", ") + std::to_string(bit["bit"].get<int>()) + " " +
                 bit_name(bit) + (bit["serious"].get<bool>() ? " (serious)" : "");
    }
    std::cout << format_fixed(report.time, 3) << "  " << hex32(report.bits) << "  " << names
              << std::endl;
}

}  // namespace

std::optional<uint32_t> read_error_state(oxl_api::OXL& bus, int id, float timeout_s) {
    ErrorListener listener(bus, id);
    uint32_t bits = 0;
    if (!listener.read_state(timeout_s, bits)) {
        return std::nullopt;
    }
    return bits;
}

int run_stop(Session& session, const StopArgs& args) {
    if (args.target == "all" || args.target == "ALL") {
        const int first = parse_actuator_id(args.from, "--from");
        const int last = parse_actuator_id(args.to, "--to");
        if (first > last) {
            throw UsageError("--from " + hex_id(first) + " is above --to " + hex_id(last));
        }
        oxl_api::OXL& bus = session.transport();
        // The scanner's "Device found" lines are not this command's output.
        const LibraryLines found_lines(is_device_found_line);
        oxl_api::OrvexActuatorScanner scanner(bus);
        if (!scanner.connected || !bus.is_connected()) {
            throw DeviceError("no USB-to-CAN adapter answers on " + session.describe());
        }
        if (last - first >= oxl_api::OrvexActuatorScanner::kDiscoveryWindow) {
            note("Looking for actuators in " + hex_id(first) + ".." + hex_id(last) +
                 "; each is stopped as soon as it answers");
        }
        // A window at a time, so that the first actuators stop long before the whole range
        // is done.
        int stopped = 0;
        for (int from = first; from <= last && !interrupted();
             from += oxl_api::OrvexActuatorScanner::kDiscoveryWindow) {
            const int to =
                std::min(last, from + oxl_api::OrvexActuatorScanner::kDiscoveryWindow - 1);
            for (const int id : scanner.discover(from, to)) {
                OrvexActuator(bus, id).stop();  // and once more as it goes
                const auto identity = session.identify(id, 0.3f);
                std::cout << "Actuator " << hex_id(id) << " ("
                          << (identity && !identity->model.empty() ? identity->model
                                                                   : "unknown model")
                          << ") stopped." << std::endl;
                ++stopped;
            }
        }
        if (interrupted()) {
            std::cerr << "oxl: interrupted; " << stopped << " actuator(s) stopped" << std::endl;
            return kExitInterrupted;
        }
        if (stopped == 0) {
            throw DeviceError("no actuator answers in " + hex_id(first) + ".." + hex_id(last) +
                              " on " + session.describe());
        }
        return kExitOk;
    }
    const int id = parse_actuator_id(args.target, "actuator id (or all)");
    {
        // The stop goes out first, answer or not: it is what the user needs most.
        OrvexActuator actuator(session.transport(), id);
        actuator.stop();
        if (!actuator.connect(0.5f)) {
            session.throw_no_answer(id);
        }
    }
    std::cout << "Actuator " << hex_id(id) << " stopped." << std::endl;
    return kExitOk;
}

int run_home(Session& session, const std::string& id_text) {
    const int id = parse_actuator_id(id_text);
    auto actuator = session.connect_actuator(id);
    actuator->set_home_position();
    const auto position = actuator->getItemsBlocking({Item::POSITION_4C}, 1.0f);
    const auto it = position.find(Item::POSITION_4C);
    std::cout << "Actuator " << hex_id(id) << ": its present position is now home"
              << (it == position.end() ? "" : " (position reads " + format_value(it->second) + ")")
              << "." << std::endl;
    return kExitOk;
}

int run_errors(Session& session, const ErrorsArgs& args) {
    const int id = parse_actuator_id(args.id);
    if (args.duration_given && !args.watch) {
        throw UsageError("--duration goes with --watch");
    }
    ErrorListener listener(session.transport(), id);
    if (!listener.ping(0.5f)) {
        session.throw_no_answer(id);
    }
    uint32_t bits = 0;
    if (!listener.read_state(1.0f, bits)) {
        throw DeviceError("actuator " + hex_id(id) + " did not answer the request for its errors");
    }
    if (args.json && args.watch) {
        std::cout << error_document(id, bits).dump() << std::endl;
    } else if (args.json) {
        print_json(error_document(id, bits));
    } else {
        print_state(id, bits);
    }
    if (!args.watch) {
        return kExitOk;
    }
    note(
        "Watching the error reports of " + hex_id(id) +
        (args.duration_s > 0.0 ? " for " + format_value(args.duration_s) + " s" : " until Ctrl-C"));
    const auto deadline = deadline_after(args.duration_s);
    while (!interrupted() && Clock::now() < deadline) {
        for (const auto& report : listener.take_reports(0.1f)) {
            if (args.json) {
                auto line = error_document(id, report.bits);
                line["time"] = std::round(report.time * 1000.0) / 1000.0;  // ms
                std::cout << line.dump() << std::endl;
            } else {
                print_report(report);
            }
        }
    }
    return kExitOk;
}

}  // namespace oxl_tool
