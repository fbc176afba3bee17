// `oxl decode` and `oxl replay`: candump logs that the library's trace sink wrote (or any log in
// the same form), read back as the protocol means them, and played again on a bus.

#include <oxl_api/orvex_actuator.hpp>
#include <oxl_api/trace.hpp>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../src/wire.hpp"
#include "commands.hpp"
#include "errors.hpp"
#include "interrupt.hpp"
#include "names.hpp"
#include "output.hpp"

namespace oxl_tool {
namespace {

using oxl_api::TraceDirection;
using oxl_api::TraceRecord;

// One message of a log with its line number.
struct LogEntry {
    int line = 0;
    TraceRecord message;
};

// Every message of `file`; throws `UsageError` naming the first line that is not one, so that
// nothing is printed or sent from a file that is not wholly understood. Blank lines are skipped.
std::vector<LogEntry> read_log(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw UsageError("cannot read " + file);
    }
    std::vector<LogEntry> entries;
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
        ++number;
        if (text.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        LogEntry entry;
        entry.line = number;
        std::string interface_name;
        std::string error;
        if (!oxl_api::parse_candump_line(text, entry.message, interface_name, error)) {
            throw UsageError(file + ":" + std::to_string(number) + ": " + error);
        }
        entries.push_back(entry);
    }
    return entries;
}

std::string hex_bytes(const uint8_t* data, std::size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0x0F];
    }
    return text;
}

std::string code_hex(int code) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", code);
    return text;
}

float read_f32(const uint8_t* p) {
    return oxl_api::wire::float_from_bits(oxl_api::wire::read_u32(p));
}

// What one message means: a name and its fields, each as text and as a JSON value.
struct Meaning {
    std::string kind;  // "command", "report", "items" or "unknown"
    std::string name;
    std::vector<std::pair<std::string, Json>> fields;

    void add(const std::string& key, Json value) { fields.emplace_back(key, std::move(value)); }
    void add_float(const std::string& key, float value) { add(key, json_number(value)); }
    void raw(const uint8_t* data, std::size_t count) {
        if (count > 0) {
            add("raw", hex_bytes(data, count));
        }
    }
};

std::string item_label(uint8_t code) {
    return oxl_api::wire::is_item_code(code) ? item_name(static_cast<Item>(code)) : code_hex(code);
}

std::string parameter_label(uint8_t code) {
    return oxl_api::wire::is_parameter_code(code) ? parameter_name(static_cast<Parameter>(code))
                                                  : code_hex(code);
}

std::string mode_label(uint8_t value) {
    for (const auto& mode : all_modes()) {
        if (static_cast<int>(mode.first) == value) {
            return mode.second;
        }
    }
    return code_hex(value);
}

// Host-to-device commands, by their first byte: name, and the labels of the floats that follow
// it (setpoint first, then the optional arguments in order).
struct SetpointCommand {
    uint8_t code;
    const char* name;
    std::vector<const char*> floats;
};
const std::vector<SetpointCommand>& setpoint_commands() {
    static const std::vector<SetpointCommand> table = {
        {oxl_api::wire::kCmdSetpoint, "setpoint", {"setpoint"}},
        {oxl_api::wire::kCmdSetpointLong, "setpoint", {"a", "b", "c"}},
        {oxl_api::wire::kCmdTorqueSetpoint,
         "torque_setpoint",
         {"torque", "PARAM_0D", "PARAM_0E", "PARAM_0F", "o4"}},
        {oxl_api::wire::kCmdSpeedSetpoint,
         "speed_setpoint",
         {"speed", "PARAM_45", "PARAM_0E", "PARAM_0D", "T_FF"}},
        {oxl_api::wire::kCmdPositionSetpoint,
         "position_setpoint",
         {"position", "PARAM_45", "PARAM_0E", "PARAM_0D", "PARAM_0F", "T_FF"}},
        {oxl_api::wire::kCmdImpedanceSetpoint,
         "impedance_setpoint",
         {"position", "PARAM_45", "K_STIFF", "K_DAMP", "o4", "T_FF", "o6", "o7"}},
        {oxl_api::wire::kCmdInternalSpeedSetpoint,
         "internal_speed_setpoint",
         {"f1", "f2", "f3", "f4"}},
        {oxl_api::wire::kCmdInternalPositionSetpoint,
         "internal_position_setpoint",
         {"f1", "f2", "f3", "f4", "f5", "f6", "f7", "f8", "f9"}},
    };
    return table;
}

Meaning decode_command(const std::vector<uint8_t>& p) {
    namespace w = oxl_api::wire;
    Meaning m;
    m.kind = "command";
    const uint8_t code = p[0];
    const std::size_t rest = p.size() - 1;
    const uint8_t* args = p.data() + 1;
    static const std::map<uint8_t, const char*> bare = {
        {w::kCmdStart, "start"},
        {w::kCmdStop, "stop"},
        {w::kCmdHome, "home"},
        {w::kCmdSaveConfig, "save_config"},
        {w::kCmdPing, "ping"},
        {w::kCmdBlink, "blink"},
        {w::kCmdBootloader, "bootloader"},
        {w::kCmdClearConfig, "clear_config"},
    };
    const auto unknown = [&] {
        m.kind = "unknown";
        m.name = "unknown";
        m.fields.clear();
        m.raw(p.data(), p.size());
        return m;
    };
    if (const auto it = bare.find(code); it != bare.end()) {
        m.name = it->second;
        return rest == 0 ? m : unknown();
    }
    for (const SetpointCommand& command : setpoint_commands()) {
        if (command.code == code) {
            if (rest != 4 * command.floats.size()) {
                return unknown();
            }
            m.name = command.name;
            for (std::size_t i = 0; i < command.floats.size(); ++i) {
                m.add_float(command.floats[i], read_f32(args + 4 * i));
            }
            return m;
        }
    }
    switch (code) {
        case w::kCmdMode:
            if (rest != 1) {
                return unknown();
            }
            m.name = "mode";
            m.add("mode", mode_label(args[0]));
            return m;
        case w::kCmdFeedbackRate: {
            if (rest != 4) {
                return unknown();
            }
            m.name = "feedback_rate";
            const uint32_t ticks = w::read_u32(args);
            m.add("period_ticks", ticks);
            m.add_float("rate_hz", ticks == 0
                                       ? 0.0f
                                       : static_cast<float>(oxl_api::kFeedbackTicksPerSecond) /
                                             static_cast<float>(ticks));
            return m;
        }
        case w::kCmdFeedbackItems:
        case w::kCmdRequestItems:
        case w::kCmdReadParameters: {
            m.name = code == w::kCmdFeedbackItems  ? "feedback_items"
                     : code == w::kCmdRequestItems ? "request_items"
                                                   : "read_parameters";
            Json names = Json::array();
            for (std::size_t i = 0; i < rest; ++i) {
                names.push_back(code == w::kCmdReadParameters ? parameter_label(args[i])
                                                              : item_label(args[i]));
            }
            m.add(code == w::kCmdReadParameters ? "parameters" : "items", names);
            return m;
        }
        case w::kCmdWriteParameters:
            if (rest % w::kEntrySize != 0) {
                return unknown();
            }
            m.name = "write_parameters";
            for (std::size_t i = 0; i < rest; i += w::kEntrySize) {
                m.add_float(parameter_label(args[i]), read_f32(args + i + 1));
            }
            return m;
        case w::kCmdTorquePerformance:
        case w::kCmdSpeedPerformance:
            if (rest != 1) {
                return unknown();
            }
            m.name = code == w::kCmdTorquePerformance ? "torque_performance" : "speed_performance";
            m.add("level", args[0]);
            return m;
        default:
            return unknown();
    }
}

// Device-to-host messages: item entries, or one report; walked entry by entry as the client
// walks them.
Meaning decode_report(const std::vector<uint8_t>& p) {
    namespace w = oxl_api::wire;
    Meaning m;
    m.kind = "items";
    m.name = "items";
    const std::size_t n = p.size();
    for (std::size_t pos = 0; pos < n; pos += w::kEntrySize) {
        const uint8_t c = p[pos];
        const bool complete = pos + 4 < n;
        if (w::is_item_code(c) && complete) {
            const uint32_t word = w::read_u32(p.data() + pos + 1);
            if (w::is_unsigned_item(c)) {
                m.add(item_label(c), word);
            } else if (c == w::kSignedItem) {
                m.add(item_label(c), static_cast<int32_t>(word));
            } else {
                m.add_float(item_label(c), w::float_from_bits(word));
            }
            continue;
        }
        if (c == w::kReportEnd && pos > 0) {
            m.raw(p.data() + pos + 1, n - pos - 1);
            return m;
        }
        if (pos == 0 && c == w::kReportIdentity && complete) {
            m.kind = "report";
            m.name = "identity";
            const uint16_t model = w::read_u16(p.data() + 1);
            m.add("model_code", model);
            m.add("model", model < oxl_api::OrvexActuator::MODELS_NAMES.size()
                               ? oxl_api::OrvexActuator::MODELS_NAMES[model]
                               : std::string());
            m.add("firmware",
                  oxl_api::OrvexActuator::parse_firmware_version(w::read_u16(p.data() + 3)));
            m.raw(p.data() + 5, n - 5);
            return m;
        }
        if (pos == 0 && c == w::kReportErrors && complete) {
            m.kind = "report";
            m.name = "errors";
            const uint32_t bits = w::read_u32(p.data() + 1);
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%08" PRIx32, bits);
            m.add("bits", hex);
            Json named = Json::array();
            for (int bit = 0; bit < 32; ++bit) {
                if ((bits >> bit & 1u) != 0) {
                    const std::string text = oxl_api::error_description(bit);
                    named.push_back(text.empty() ? "bit " + std::to_string(bit) : text);
                }
            }
            m.add("errors", named);
            m.raw(p.data() + 5, n - 5);
            return m;
        }
        if (pos == 0 && c == w::kReportParameters) {
            m.kind = "report";
            m.name = "parameters";
            std::size_t at = 1;
            for (; at + w::kEntrySize <= n && p[at] != w::kReportEnd; at += w::kEntrySize) {
                const uint8_t code = p[at];
                const uint32_t word = w::read_u32(p.data() + at + 1);
                if (w::is_unsigned_parameter(code)) {
                    m.add(parameter_label(code), word);
                } else {
                    m.add_float(parameter_label(code), w::float_from_bits(word));
                }
            }
            m.raw(p.data() + at, n - at);
            return m;
        }
        // Anything else, from here on, is shown as it came.
        if (pos == 0) {
            m.kind = "unknown";
            m.name = "unknown";
        }
        m.raw(p.data() + pos, n - pos);
        return m;
    }
    return m;
}

Meaning decode(const TraceRecord& message) {
    const std::vector<uint8_t> payload = message.payload();
    if (message.direction == TraceDirection::SENT) {
        return decode_command(payload);
    }
    if (payload.empty()) {
        Meaning m;
        m.kind = "unknown";
        m.name = "empty";
        return m;
    }
    return decode_report(payload);
}

std::string seconds_text(int64_t ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%" PRId64 ".%06" PRId64, ns < 0 ? "-" : "",
                  (ns < 0 ? -ns : ns) / 1000000000, (ns < 0 ? -ns : ns) % 1000000000 / 1000);
    return text;
}

std::string field_text(const Json& value) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_array()) {
        std::string text;
        for (const Json& entry : value) {
            text += (text.empty() ? "" : ",") + field_text(entry);
        }
        return text;
    }
    if (value.is_null()) {
        return "nan";  // json_number's NaN
    }
    if (value.is_number_float()) {
        return format_value(value.get<double>());
    }
    return value.dump();
}

// "sent 0x20" / "recv 0x20" / "reply 0x20".
std::string direction_text(const TraceRecord& message) {
    if (message.direction == TraceDirection::SENT) {
        return "sent  " + hex_id(message.id);
    }
    return (message.reply_flag != 0 ? "reply " : "recv  ") + hex_id(message.id);
}

}  // namespace

int run_decode(const std::string& file, bool json) {
    const std::vector<LogEntry> entries = read_log(file);
    const int64_t start = entries.empty() ? 0 : entries.front().message.time_ns;
    for (const LogEntry& entry : entries) {
        const TraceRecord& message = entry.message;
        const Meaning meaning = decode(message);
        if (json) {
            Json object;
            object["line"] = entry.line;
            object["time"] = static_cast<double>(message.time_ns) / 1e9;
            object["direction"] = message.direction == TraceDirection::SENT ? "sent" : "received";
            object["id"] = message.id;
            if (message.direction == TraceDirection::RECEIVED) {
                object["reply"] = message.reply_flag != 0;
            }
            object["kind"] = meaning.kind;
            object["name"] = meaning.name;
            Json fields = Json::object();
            for (const auto& field : meaning.fields) {
                fields[field.first] = field.second;
            }
            object["fields"] = fields;
            std::cout << object.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
        } else {
            std::string line = seconds_text(message.time_ns - start) + "  " +
                               direction_text(message) + "  " + meaning.name;
            for (const auto& field : meaning.fields) {
                line += " " + field.first + "=" + field_text(field.second);
            }
            std::cout << line << '\n';
        }
        throw_if_output_failed();
    }
    std::cout.flush();
    throw_if_output_failed();
    return kExitOk;
}

namespace {

// One answer: the index of the host message it followed, and what it is compared by (answers
// to requests and reports in full; streamed item frames, whose values change from run to run,
// by their sender and item codes only).
struct Answer {
    int window = 0;
    bool streamed = false;
    std::string key;
};

Answer make_answer(int window, int id, int reply_flag, const std::vector<uint8_t>& payload) {
    Answer answer;
    answer.window = window;
    answer.streamed = reply_flag == 0 && !payload.empty() &&
                      oxl_api::wire::is_item_code(payload[0]) &&
                      payload.size() % oxl_api::wire::kEntrySize == 0;
    if (answer.streamed) {
        answer.key = hex_id(id) + " stream of";
        for (std::size_t pos = 0; pos < payload.size(); pos += oxl_api::wire::kEntrySize) {
            answer.key += " " + item_label(payload[pos]);
        }
        return answer;
    }
    TraceRecord message;
    message.direction = TraceDirection::RECEIVED;
    message.id = static_cast<uint16_t>(id);
    message.reply_flag = static_cast<uint8_t>(reply_flag);
    message.set_payload(payload.data(), payload.size());
    const std::string line = oxl_api::format_candump_line(message, 0, "-");
    answer.key = line.substr(line.find(' ', line.find(' ') + 1) + 1);  // "id#data"
    return answer;
}

// Answers collected while replaying, in arrival order.
struct LiveAnswers {
    std::mutex mutex;
    int window = -1;              // guarded by `mutex`; -1: not replaying
    std::vector<Answer> answers;  // guarded by `mutex`
};

// Pairs recorded and live answers. An answer to a request or a report matches the first unpaired
// equal one that came after the same host message or later (a loaded machine delays answers, it
// never makes them early); a stream matches if it ran at all. Returns, by window, the lines
// that tell what did not pair.
std::map<int, std::vector<std::string>> compare_answers(const std::vector<Answer>& recorded,
                                                        const std::vector<Answer>& live) {
    std::map<int, std::vector<std::string>> differences;
    std::set<std::string> live_streams;
    std::set<std::string> recorded_streams;
    for (const Answer& answer : live) {
        if (answer.streamed) {
            live_streams.insert(answer.key);
        }
    }
    std::vector<bool> paired(live.size(), false);
    for (const Answer& want : recorded) {
        if (want.streamed) {
            if (recorded_streams.insert(want.key).second && live_streams.count(want.key) == 0) {
                differences[want.window].push_back("recorded, not answered now: " + want.key);
            }
            continue;
        }
        bool found = false;
        for (std::size_t i = 0; i < live.size() && !found; ++i) {
            if (!paired[i] && !live[i].streamed && live[i].window >= want.window &&
                live[i].key == want.key) {
                paired[i] = found = true;
            }
        }
        if (!found) {
            differences[want.window].push_back("recorded, not answered now: " + want.key);
        }
    }
    std::set<std::string> reported_streams;
    for (std::size_t i = 0; i < live.size(); ++i) {
        const Answer& have = live[i];
        if (have.streamed
                ? recorded_streams.count(have.key) == 0 && reported_streams.insert(have.key).second
                : !paired[i]) {
            differences[have.window].push_back("answered now, not recorded: " + have.key);
        }
    }
    return differences;
}

}  // namespace

int run_replay(Session& session, const std::string& file) {
    const std::vector<LogEntry> entries = read_log(file);
    std::vector<const LogEntry*> sent;
    std::vector<Answer> recorded;
    std::set<int> ids;
    std::map<int, std::pair<uint16_t, uint16_t>> identities;  // id: model code, firmware word
    for (const LogEntry& entry : entries) {
        const TraceRecord& message = entry.message;
        ids.insert(message.id);
        if (message.direction == TraceDirection::SENT) {
            sent.push_back(&entry);
            continue;
        }
        const std::vector<uint8_t> payload = message.payload();
        if (payload.size() >= 5 && payload[0] == oxl_api::wire::kReportIdentity) {
            identities[message.id] = {oxl_api::wire::read_u16(payload.data() + 1),
                                      oxl_api::wire::read_u16(payload.data() + 3)};
        }
        // What came before the first host message answered nothing of this replay.
        if (!sent.empty()) {
            recorded.push_back(make_answer(static_cast<int>(sent.size()) - 1, message.id,
                                           message.reply_flag, payload));
        }
    }
    if (sent.empty()) {
        throw UsageError(file + ": no message from the host to replay");
    }

    oxl_api::OXL& bus = session.transport();
    if (oxl_api::SimulatedBus* sim = session.sim_bus()) {
        // The devices that answered in the recording, as they said they were.
        for (const auto& identity : identities) {
            if (identity.first >= kFirstActuatorId) {
                sim->add_actuator(identity.first, identity.second.first, identity.second.second);
            }
        }
    }
    auto live = std::make_shared<LiveAnswers>();
    for (const int id : ids) {
        bus.setCallback(id, [live](int from, std::vector<uint8_t> payload, int reply_flag) {
            std::lock_guard<std::mutex> lock(live->mutex);
            if (live->window >= 0) {
                live->answers.push_back(make_answer(live->window, from, reply_flag, payload));
            }
        });
    }
    struct RemoveCallbacks {
        oxl_api::OXL& bus;
        const std::set<int>& ids;
        ~RemoveCallbacks() {
            for (const int id : ids) {
                bus.removeCallback(id);
            }
        }
    } remove_callbacks{bus, ids};

    // Sent with their original spacing, counted from the first.
    const auto start = std::chrono::steady_clock::now();
    const int64_t first_ns = sent.front()->message.time_ns;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const TraceRecord& message = sent[i]->message;
        std::this_thread::sleep_until(start + std::chrono::nanoseconds(message.time_ns - first_ns));
        if (interrupted()) {
            return kExitInterrupted;
        }
        {
            std::lock_guard<std::mutex> lock(live->mutex);
            live->window = static_cast<int>(i);
        }
        bus.send_OXL(message.id, message.payload());
    }
    // The devices get as long to answer the last message as they took in the recording (at
    // least 0.2 s, at most 2 s).
    const int64_t tail_ns = std::clamp<int64_t>(
        entries.back().message.time_ns - sent.back()->message.time_ns, 200000000, 2000000000);
    std::this_thread::sleep_for(std::chrono::nanoseconds(tail_ns));
    std::vector<Answer> got;
    {
        std::lock_guard<std::mutex> lock(live->mutex);
        live->window = -1;
        got.swap(live->answers);
    }

    const auto differences = compare_answers(recorded, got);
    for (const auto& [window, lines] : differences) {
        const TraceRecord& message = sent[static_cast<std::size_t>(window)]->message;
        std::cout << file << ":" << sent[static_cast<std::size_t>(window)]->line << ": after "
                  << decode(message).name << " to " << hex_id(message.id) << ":\n";
        for (const std::string& line : lines) {
            std::cout << "  " << line << '\n';
        }
    }
    std::cout << sent.size() << " messages replayed on " << session.describe() << "; answers "
              << (differences.empty()
                      ? "as recorded"
                      : "differ after " + std::to_string(differences.size()) + " of them")
              << std::endl;
    throw_if_output_failed();
    return differences.empty() ? kExitOk : kExitDevice;
}

}  // namespace oxl_tool
