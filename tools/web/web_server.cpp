#include "web_server.hpp"

#include <httplib.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <iostream>
#include <optional>
#include <random>
#include <utility>

#include <oxl_api/log.hpp>
#include <oxl_api/orvex_actuator.hpp>

#include "../commands.hpp"
#include "../config_document.hpp"
#include "../errors.hpp"
#include "../names.hpp"
#include "../parameter_values.hpp"
#include "request_guard.hpp"
#include "web_assets.hpp"

namespace oxl_tool {

using oxl_api::OrvexActuator;
using Clock = std::chrono::steady_clock;

namespace {

// Frames waiting for the broadcaster, per actuator; beyond this the newest are dropped (the page
// sees the gap in the sequence numbers).
constexpr std::size_t kMaxQueuedFrames = 100000;
// Events kept for a page that is a little behind: 2 s of data events.
constexpr std::size_t kKeptEvents = 100;
constexpr auto kBroadcastPeriod = std::chrono::milliseconds(20);
// Every how many broadcasts a state event goes out (5 per second).
constexpr int kStateEvery = 10;
constexpr std::size_t kKeptLogLines = 200;
// Setpoints are checked against the device's limits when it has them, else against this.
constexpr double kDefaultSetpointBound = 10000.0;
constexpr double kMaxGain = 1e6;

// An error answered to the page with an HTTP status and a message.
struct ApiError : std::runtime_error {
    ApiError(int status_in, const std::string& what)
        : std::runtime_error(what), status(status_in) {}
    int status;
};

std::string random_hex(std::size_t bytes) {
    std::random_device device;
    std::string text;
    static const char* digits = "0123456789abcdef";
    for (std::size_t i = 0; i < bytes; ++i) {
        const unsigned value = device() & 0xffu;
        text += digits[value >> 4];
        text += digits[value & 0xfu];
    }
    return text;
}

void append_float(std::string& out, float value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void append_seconds(std::string& out, double seconds) {
    char buffer[32];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed, 5);
    out.append(buffer, result.ptr);
}

const char* content_type(const std::string& name) {
    const auto ends_with = [&](const char* tail) {
        const std::string t = tail;
        return name.size() >= t.size() && name.compare(name.size() - t.size(), t.size(), t) == 0;
    };
    if (ends_with(".html")) {
        return "text/html; charset=utf-8";
    }
    if (ends_with(".js")) {
        return "text/javascript; charset=utf-8";
    }
    if (ends_with(".css")) {
        return "text/css; charset=utf-8";
    }
    return "text/plain; charset=utf-8";
}

Mode parse_mode(const Json& value) {
    if (value.is_string()) {
        for (const auto& [mode, name] : all_modes()) {
            if (name == value.get<std::string>()) {
                return mode;
            }
        }
    }
    throw ApiError(400, "mode must be one of TORQUE, SPEED, POSITION, IMPEDANCE");
}

// A finite number from the page, within -bound..bound.
double finite_number(const Json& body, const char* key, double low, double high) {
    const auto it = body.find(key);
    if (it == body.end() || !it->is_number()) {
        throw ApiError(400, std::string(key) + " must be a number");
    }
    const double value = it->get<double>();
    if (!std::isfinite(value)) {
        throw ApiError(400, std::string(key) + " must be a finite number");
    }
    if (value < low || value > high) {
        throw ApiError(400, std::string(key) + " " + format_value(value) + " is outside " +
                                format_value(low) + ".." + format_value(high));
    }
    return value;
}

int actuator_id(const Json& body) {
    const auto it = body.find("id");
    if (it == body.end()) {
        throw ApiError(400, "no actuator id");
    }
    if (it->is_number_integer()) {
        const long long id = it->get<long long>();
        if (id < kFirstActuatorId || id > kLastActuatorId) {
            throw ApiError(400, "actuator id " + std::to_string(id) + " is outside 0x10..0x3ffe");
        }
        return static_cast<int>(id);
    }
    if (it->is_string()) {
        return parse_actuator_id(it->get<std::string>());  // UsageError: 400
    }
    throw ApiError(400, "actuator id must be a number or text such as \"0x20\"");
}

Json counters_json(const oxl_api::TransportCounters& c) {
    Json fields = Json::object();
    for (const auto& [name, value] : counter_fields(c)) {
        fields[name] = value;
    }
    return fields;
}

// Writes `values`, reads them back, and lists for each: the value before, the one written, the
// one read back, and whether the device took it.
Json written_rows(OrvexActuator& actuator, const std::vector<Parameter>& codes,
                  const OrvexActuator::ParameterMap& values) {
    const auto reported = [](const std::optional<float>& v) {
        return v ? json_number(*v) : Json();
    };
    Json rows = Json::array();
    for (const WrittenParameter& p : write_and_read_back(actuator, codes, values)) {
        rows.push_back({{"name", parameter_name(p.code)},
                        {"before", reported(p.before)},
                        {"written", json_number(p.written)},
                        {"read", reported(p.read)},
                        {"taken", p.taken}});
    }
    return rows;
}

}  // namespace

struct WebServer::LogBuffer {
    std::mutex mutex;
    std::deque<std::pair<uint64_t, Json>> lines;  // guarded by `mutex`
    uint64_t next = 1;                            // guarded by `mutex`
};

// One streamed frame as the page receives it.
struct QueuedFrame {
    uint64_t sequence;
    int64_t time_ns;
    uint32_t count;
    std::array<float, OrvexActuator::kMaxItemsPerFrame> values;
};

// Filled on the transport's receive thread by the actuator's callbacks, emptied by the
// broadcaster.
struct FrameQueue {
    std::mutex mutex;
    std::vector<QueuedFrame> frames;  // guarded by `mutex`
    std::vector<Item> items;          // the streamed items; guarded by `mutex`
    uint64_t dropped = 0;             // guarded by `mutex`
    /// The error state read at the scan, then that of each error report; empty while the device
    /// has not told it. Guarded by `mutex`.
    std::optional<uint32_t> error_bits;
    bool stopped_on_error = false;  // guarded by `mutex`
};

struct WebServer::Device {
    int id = 0;
    std::string model, firmware;
    /// Setpoint limits by mode from the device's parameters; absent when it has none.
    std::map<Mode, std::pair<double, double>> limits;
    std::shared_ptr<FrameQueue> queue = std::make_shared<FrameQueue>();
    /// Held through each parameter read or write: two reads that overlap could take each
    /// other's answers.
    std::mutex parameter_mutex;

    /// Guards the fields below.
    std::mutex mutex;
    bool started = false;
    std::string started_by;  // the page that started it
    int rate = 0;
    Mode mode = Mode::SPEED;

    /// Declared last, destroyed first: its destructor waits for the callbacks that use `queue`.
    std::unique_ptr<OrvexActuator> actuator;
};

struct WebServer::Page {
    Clock::time_point last_seen = Clock::now();
    int streams = 0;          // open event streams
    bool had_stream = false;  // opened one: its end means the page is gone
    bool commanded = false;   // sent a command: watched by the deadman
};

WebServer::WebServer(Session& session_in, WebOptions options_in)
    : session(session_in),
      options(std::move(options_in)),
      start_ns(oxl_api::monotonic_time_ns()),
      log(std::make_shared<LogBuffer>()) {
    std::weak_ptr<LogBuffer> weak = log;
    oxl_api::set_log_handler([weak](oxl_api::LogSeverity severity, const std::string& text) {
        std::cerr << text << std::endl;
        if (const auto buffer = weak.lock()) {
            std::lock_guard<std::mutex> lock(buffer->mutex);
            buffer->lines.emplace_back(
                buffer->next++,
                Json{{"severity", oxl_api::log_severity_name(severity)}, {"text", text}});
            if (buffer->lines.size() > kKeptLogLines) {
                buffer->lines.pop_front();
            }
        }
    });
}

WebServer::~WebServer() {
    stop();
    oxl_api::set_log_handler({});
}

int WebServer::start() {
    http = std::make_unique<httplib::Server>();
    // Each open page holds one worker for its event stream, and browsers keep several
    // connections open per page.
    http->new_task_queue = [] { return new httplib::ThreadPool(32); };
    const int port =
        options.http_port == 0
            ? http->bind_to_any_port(options.listen)
            : (http->bind_to_port(options.listen, options.http_port) ? options.http_port : -1);
    if (port < 0) {
        throw UsageError("cannot listen on " + options.listen + " port " +
                         std::to_string(options.http_port));
    }
    options.http_port = port;
    install_routes();
    http_thread = std::thread([this] { http->listen_after_bind(); });
    broadcaster = std::thread([this] { broadcast_loop(); });
    watchdog = std::thread([this] { watchdog_loop(); });
    return port;
}

void WebServer::stop() {
    {
        std::lock_guard<std::mutex> lock(events_mutex);
        stopping = true;
    }
    events_ready.notify_all();
    if (http) {
        http->stop();
    }
    for (std::thread* t : {&http_thread, &broadcaster, &watchdog, &scanner}) {
        if (t->joinable()) {
            t->join();
        }
    }
    std::map<int, std::shared_ptr<Device>> gone;
    {
        std::lock_guard<std::mutex> lock(devices_mutex);
        gone.swap(devices);
    }
    for (auto& entry : gone) {
        entry.second->actuator->setFeedbackRate(0);
    }
    gone.clear();  // each actuator's destructor sends stop
}

std::shared_ptr<WebServer::Device> WebServer::device(int id) {
    std::lock_guard<std::mutex> lock(devices_mutex);
    const auto it = devices.find(id);
    if (it == devices.end()) {
        throw ApiError(404, "no actuator " + hex_id(id) + " was found by the last scan");
    }
    return it->second;
}

std::vector<std::shared_ptr<WebServer::Device>> WebServer::devices_snapshot() {
    std::lock_guard<std::mutex> lock(devices_mutex);
    std::vector<std::shared_ptr<Device>> list;
    for (const auto& entry : devices) {
        list.push_back(entry.second);
    }
    return list;
}

std::shared_ptr<WebServer::Page> WebServer::touch_page(const std::string& id, bool commanded) {
    if (id.empty() || id.size() > 64) {
        throw ApiError(400, "no page id (X-Oxl-Page)");
    }
    std::lock_guard<std::mutex> lock(pages_mutex);
    auto& page = pages[id];
    if (!page) {
        page = std::make_shared<Page>();
    }
    page->last_seen = Clock::now();
    page->commanded = page->commanded || commanded;
    return page;
}

void WebServer::stop_started_by(const std::string& page_id, const std::string& why) {
    for (const auto& dev : devices_snapshot()) {
        bool stop_it = false;
        {
            std::lock_guard<std::mutex> lock(dev->mutex);
            if (dev->started && dev->started_by == page_id) {
                dev->started = false;
                stop_it = true;
            }
        }
        if (stop_it) {
            dev->actuator->stop();
            std::cerr << "oxl web: actuator " << hex_id(dev->id) << " stopped: " << why
                      << std::endl;
            std::lock_guard<std::mutex> lock(log->mutex);
            log->lines.emplace_back(
                log->next++, Json{{"severity", "warning"},
                                  {"text", "actuator " + hex_id(dev->id) + " stopped: " + why}});
        }
    }
}

void WebServer::watchdog_loop() {
    const auto limit = std::chrono::duration<double>(options.deadman_s);
    std::unique_lock<std::mutex> events_lock(events_mutex);
    while (!stopping) {
        events_ready.wait_for(events_lock, std::chrono::milliseconds(20));
        events_lock.unlock();
        std::vector<std::pair<std::string, std::string>> gone;
        {
            std::lock_guard<std::mutex> lock(pages_mutex);
            const auto now = Clock::now();
            for (auto it = pages.begin(); it != pages.end();) {
                const Page& page = *it->second;
                const bool silent = now - page.last_seen > limit;
                const bool closed = page.had_stream && page.streams == 0;
                if (page.commanded && closed) {
                    gone.emplace_back(it->first, "its page was closed");
                } else if (page.commanded && silent) {
                    gone.emplace_back(it->first, "its page sent no keep-alive for " +
                                                     format_value(options.deadman_s) + " s");
                }
                // A page that is gone is forgotten; if it comes back it starts afresh.
                if ((silent || closed) && page.streams == 0) {
                    it = pages.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (const auto& [page, why] : gone) {
            stop_started_by(page, why);
        }
        events_lock.lock();
    }
}

void WebServer::publish(std::string text) {
    auto event = std::make_shared<const std::string>("data: " + text + "\n\n");
    {
        std::lock_guard<std::mutex> lock(events_mutex);
        events.emplace_back(next_event++, std::move(event));
        if (events.size() > kKeptEvents) {
            events.pop_front();
        }
    }
    events_ready.notify_all();
}

Json WebServer::state(uint64_t log_from) {
    Json list = Json::array();
    for (const auto& dev : devices_snapshot()) {
        std::optional<uint32_t> bits;
        std::vector<Item> items;
        bool stopped_on_error = false;
        {
            std::lock_guard<std::mutex> lock(dev->queue->mutex);
            bits = dev->queue->error_bits;
            items = dev->queue->items;
            std::swap(stopped_on_error, dev->queue->stopped_on_error);
        }
        Json errors = Json::array();
        for (int bit = 0; bit < 32; ++bit) {
            if ((bits.value_or(0) >> bit) & 1u) {
                errors.push_back({{"bit", bit},
                                  {"text", oxl_api::error_description(bit)},
                                  {"serious", oxl_api::is_serious_error(bit)}});
            }
        }
        Json item_names = Json::array();
        for (const Item item : items) {
            item_names.push_back(item_name(item));
        }
        Json limits = Json::object();
        for (const auto& [mode, range] : dev->limits) {
            limits[mode_name(mode)] = {range.first, range.second};
        }
        const auto counters = dev->actuator->get_feedback_counters();
        Json latest = Json::object();
        for (const auto& entry : dev->actuator->get_feedback_sample()) {
            latest[item_name(entry.item)] = json_number(entry.value);
        }
        std::lock_guard<std::mutex> lock(dev->mutex);
        if (stopped_on_error) {
            dev->started = false;
        }
        list.push_back({{"id", dev->id},
                        {"model", dev->model},
                        {"firmware", dev->firmware},
                        {"started", dev->started},
                        {"mode", mode_name(dev->mode)},
                        {"rate", dev->rate},
                        {"items", item_names},
                        {"latest", latest},
                        {"error_state", bits ? Json(*bits) : Json()},
                        {"errors", errors},
                        {"limits", limits},
                        {"frames_received", counters.frames_received},
                        {"frames_missing", counters.frames_missing},
                        {"largest_gap_ms", static_cast<double>(counters.largest_gap_ns) / 1e6}});
    }
    Json scan_json;
    {
        std::lock_guard<std::mutex> lock(scan_mutex);
        scan_json = {{"running", scan_state.running},
                     {"done", scan_state.done},
                     {"total", scan_state.total},
                     {"message", scan_state.message}};
    }
    Json lines = Json::array();
    {
        std::lock_guard<std::mutex> lock(log->mutex);
        for (const auto& [number, line] : log->lines) {
            if (number >= log_from) {
                lines.push_back(line);
            }
        }
    }
    int open_pages = 0;
    {
        std::lock_guard<std::mutex> lock(pages_mutex);
        for (const auto& entry : pages) {
            open_pages += entry.second->streams > 0 ? 1 : 0;
        }
    }
    return {{"type", "state"},
            {"time", static_cast<double>(oxl_api::monotonic_time_ns() - start_ns) / 1e9},
            {"devices", list},
            {"scan", scan_json},
            {"transport", counters_json(session.transport().counters())},
            {"pages", open_pages},
            {"log", lines}};
}

void WebServer::broadcast_loop() {
    std::vector<QueuedFrame> frames;
    std::string text;
    int round = 0;
    auto next = Clock::now();
    std::unique_lock<std::mutex> events_lock(events_mutex);
    while (!stopping) {
        next += kBroadcastPeriod;
        events_ready.wait_until(events_lock, next, [this] { return stopping; });
        if (stopping) {
            break;
        }
        events_lock.unlock();
        bool anyone = false;
        {
            std::lock_guard<std::mutex> lock(pages_mutex);
            for (const auto& entry : pages) {
                anyone = anyone || entry.second->streams > 0;
            }
        }
        text = "{\"type\":\"data\",\"d\":[";
        bool any_frames = false;
        for (const auto& dev : devices_snapshot()) {
            std::vector<Item> items;
            frames.clear();
            {
                std::lock_guard<std::mutex> lock(dev->queue->mutex);
                frames.swap(dev->queue->frames);
                items = dev->queue->items;
            }
            if (frames.empty() || !anyone) {
                continue;
            }
            text += any_frames ? ",{\"id\":" : "{\"id\":";
            any_frames = true;
            text += std::to_string(dev->id);
            text += ",\"items\":[";
            for (std::size_t i = 0; i < items.size(); ++i) {
                text += i == 0 ? "\"" : ",\"";
                text += item_name(items[i]);
                text += '"';
            }
            text += "],\"seq\":";
            text += std::to_string(frames.front().sequence);
            text += ",\"n\":";
            text += std::to_string(frames.size());
            text += ",\"t\":[";
            for (std::size_t f = 0; f < frames.size(); ++f) {
                if (f > 0) {
                    text += ',';
                }
                append_seconds(text, static_cast<double>(frames[f].time_ns - start_ns) / 1e9);
            }
            text += "],\"v\":[";
            for (std::size_t i = 0; i < items.size(); ++i) {
                text += i == 0 ? "[" : ",[";
                for (std::size_t f = 0; f < frames.size(); ++f) {
                    if (f > 0) {
                        text += ',';
                    }
                    append_float(text, i < frames[f].count ? frames[f].values[i] : NAN);
                }
                text += ']';
            }
            text += "]}";
        }
        text += "]}";
        if (any_frames) {
            publish(text);
        }
        if (++round % kStateEvery == 0 && anyone) {
            const uint64_t from = log_sent;
            {
                std::lock_guard<std::mutex> lock(log->mutex);
                log_sent = log->next;
            }
            publish(state(from).dump(-1, ' ', false, Json::error_handler_t::replace));
        }
        events_lock.lock();
    }
}

void WebServer::scan(int first, int last) {
    // The scanner takes over the callbacks of the ids it pings: the present clients go first
    // (each stops its actuator as it goes).
    std::map<int, std::shared_ptr<Device>> old;
    {
        std::lock_guard<std::mutex> lock(devices_mutex);
        old.swap(devices);
    }
    for (auto& entry : old) {
        entry.second->actuator->setFeedbackRate(0);
    }
    old.clear();

    std::vector<int> found;
    std::string message;
    try {
        oxl_api::OrvexActuatorScanner scanner(session.transport());
        if (!scanner.connected || !session.transport().is_connected()) {
            message = "the USB-to-CAN adapter does not answer on " + session.describe();
        } else {
            found = scanner.discover(first, last, oxl_api::OrvexActuatorScanner::kDiscoveryWindow,
                                     [this](int done, int total) {
                                         std::lock_guard<std::mutex> lock(scan_mutex);
                                         scan_state.done = done;
                                         scan_state.total = total;
                                         return true;
                                     });
        }
    } catch (const std::exception& e) {
        message = e.what();
    }
    for (const int id : found) {
        auto dev = std::make_shared<Device>();
        dev->id = id;
        // Error reports come only when the device sends one, so errors raised before the scan
        // would not show: the present state is asked for before the client takes the id over.
        dev->queue->error_bits = read_error_state(session.transport(), id, 0.5f);
        dev->actuator = std::make_unique<OrvexActuator>(session.transport(), id);
        if (!dev->actuator->connect(0.5f)) {
            continue;
        }
        dev->model = dev->actuator->model;
        dev->firmware = dev->actuator->firmware;
        try {
            const auto values = read_parameters(
                *dev->actuator,
                {Parameter::PROFILE_POSITION_MIN, Parameter::PROFILE_POSITION_MAX,
                 Parameter::LIMIT_SPEED_MIN, Parameter::LIMIT_SPEED_MAX, Parameter::LIMIT_TORQUE});
            const auto range = [&](Parameter low,
                                   Parameter high) -> std::optional<std::pair<double, double>> {
                const auto l = values.find(low);
                const auto h = values.find(high);
                if (l == values.end() || h == values.end() || !std::isfinite(l->second) ||
                    !std::isfinite(h->second) || !(h->second > l->second)) {
                    return std::nullopt;  // 0..0 or unset: the device has no limit
                }
                return std::make_pair(double{l->second}, double{h->second});
            };
            if (const auto r =
                    range(Parameter::PROFILE_POSITION_MIN, Parameter::PROFILE_POSITION_MAX)) {
                dev->limits[Mode::POSITION] = *r;
                dev->limits[Mode::IMPEDANCE] = *r;
            }
            if (const auto r = range(Parameter::LIMIT_SPEED_MIN, Parameter::LIMIT_SPEED_MAX)) {
                dev->limits[Mode::SPEED] = *r;
            }
            const auto torque = values.find(Parameter::LIMIT_TORQUE);
            if (torque != values.end() && std::isfinite(torque->second) && torque->second > 0.0f) {
                dev->limits[Mode::TORQUE] = {-torque->second, torque->second};
            }
        } catch (const DeviceError&) {
            // No parameters: the default bound applies.
        }
        dev->mode = dev->actuator->mode;
        std::weak_ptr<FrameQueue> weak_queue = dev->queue;
        const std::shared_ptr<FrameQueue> queue = dev->queue;
        dev->actuator->set_feedback_sample_callback(
            [queue](int, const OrvexActuator::FeedbackSample& sample) {
                std::lock_guard<std::mutex> lock(queue->mutex);
                if (queue->frames.size() >= kMaxQueuedFrames) {
                    ++queue->dropped;
                    return;
                }
                QueuedFrame frame{sample.sequence,
                                  sample.receive_time_ns,
                                  static_cast<uint32_t>(queue->items.size()),
                                  {}};
                for (std::size_t i = 0; i < queue->items.size() && i < frame.values.size(); ++i) {
                    frame.values[i] = sample.value_or(queue->items[i], NAN);
                }
                queue->frames.push_back(frame);
            });
        OrvexActuator* const actuator = dev->actuator.get();
        dev->actuator->set_error_callback(
            [queue, actuator](int, const OrvexActuator::ErrorMap& errors) {
                uint32_t bits = 0;
                bool serious = false;
                for (const auto& entry : errors) {
                    if (entry.first >= 0 && entry.first < 32) {
                        bits |= 1u << entry.first;
                        serious = serious || oxl_api::is_serious_error(entry.first);
                    }
                }
                if (serious) {
                    actuator->stop();
                }
                std::lock_guard<std::mutex> lock(queue->mutex);
                queue->error_bits = bits;
                queue->stopped_on_error = queue->stopped_on_error || serious;
            });
        std::lock_guard<std::mutex> lock(devices_mutex);
        devices[id] = dev;
    }
    const std::size_t count = devices_snapshot().size();
    std::lock_guard<std::mutex> lock(scan_mutex);
    scan_state.running = false;
    scan_state.message = message.empty() ? std::to_string(count) + " actuator(s) found in " +
                                               hex_id(first) + ".." + hex_id(last)
                                         : message;
}

void WebServer::install_routes() {
    const RequestGuard guard(options.listen, options.http_port, options.token);
    // Before anything else is looked at: no API request from a foreign page or through a
    // foreign name, nor without the token where one is needed.
    http->set_pre_routing_handler([guard](const httplib::Request& req, httplib::Response& res) {
        if (req.path.rfind("/api/", 0) != 0) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        const std::string token = req.has_header("X-Oxl-Token")
                                      ? req.get_header_value("X-Oxl-Token")
                                      : req.get_param_value("token");
        const std::string why =
            guard.refusal(req.get_header_value("Host"), req.get_header_value("Origin"), token);
        if (why.empty()) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        res.status = 403;
        res.set_content(Json{{"error", why}}.dump(), "application/json");
        return httplib::Server::HandlerResponse::Handled;
    });
    http->set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("X-Frame-Options", "DENY");  // no clicks on the page through a frame
    });

    for (const WebAsset& asset : web_assets()) {
        const std::string name = asset.name;
        const std::string body(reinterpret_cast<const char*>(asset.data), asset.size);
        const auto serve = [body, name](const httplib::Request&, httplib::Response& res) {
            res.set_content(body, content_type(name));
        };
        http->Get("/" + name, serve);
        if (name == "index.html") {
            http->Get("/", serve);
        }
    }

    // Every API handler: the JSON body parsed, the answer or the error as JSON.
    using Handler = std::function<Json(const httplib::Request&, const Json&)>;
    const auto api = [this](const std::string& method, const std::string& path, Handler handler) {
        const auto wrapped = [handler](const httplib::Request& req, httplib::Response& res) {
            int status = 200;
            Json answer;
            try {
                Json body = Json::object();
                if (!req.body.empty()) {
                    body = Json::parse(req.body);
                    if (!body.is_object()) {
                        throw ApiError(400, "the request body must be a JSON object");
                    }
                }
                answer = handler(req, body);
            } catch (const Json::exception& e) {
                status = 400;
                answer = {{"error", std::string("bad JSON: ") + e.what()}};
            } catch (const ApiError& e) {
                status = e.status;
                answer = {{"error", e.what()}};
            } catch (const UsageError& e) {
                status = 400;
                answer = {{"error", e.what()}};
            } catch (const DeviceError& e) {
                status = 502;
                answer = {{"error", e.what()}};
            } catch (const std::exception& e) {
                status = 500;
                answer = {{"error", e.what()}};
            }
            res.status = status;
            res.set_content(answer.dump(-1, ' ', false, Json::error_handler_t::replace),
                            "application/json");
        };
        if (method == "GET") {
            http->Get(path, wrapped);
        } else {
            http->Post(path, wrapped);
        }
    };
    const auto page_of = [](const httplib::Request& req) {
        return req.get_header_value("X-Oxl-Page");
    };

    api("GET", "/api/hello", [this](const httplib::Request&, const Json&) {
        Json items = Json::array(), parameters = Json::array(), modes = Json::array();
        for (const auto& entry : all_items()) {
            items.push_back(entry.second);
        }
        for (const auto& entry : all_parameters()) {
            parameters.push_back(entry.second);
        }
        for (const auto& entry : all_modes()) {
            modes.push_back(entry.second);
        }
        const std::string page = random_hex(8);
        touch_page(page, false);
        return Json{{"page", page},
                    {"bus", session.describe()},
                    {"deadman_s", options.deadman_s},
                    {"default_bound", kDefaultSetpointBound},
                    {"items", items},
                    {"parameters", parameters},
                    {"modes", modes}};
    });
    // The page's event stream: a state event at once, then every event as published. A stream
    // that cannot be written (the page closed) ends, and with it the page's keep-alive duty.
    http->Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string page_id = req.get_param_value("page");
        std::shared_ptr<Page> page;
        try {
            page = touch_page(page_id, false);
        } catch (const ApiError& e) {
            res.status = e.status;
            res.set_content(Json{{"error", e.what()}}.dump(), "application/json");
            return;
        }
        {
            std::lock_guard<std::mutex> lock(pages_mutex);
            ++page->streams;
            page->had_stream = true;
        }
        auto cursor = std::make_shared<uint64_t>(0);
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, cursor](std::size_t, httplib::DataSink& sink) {
                std::vector<std::shared_ptr<const std::string>> batch;
                if (*cursor == 0) {
                    {
                        std::lock_guard<std::mutex> lock(events_mutex);
                        *cursor = next_event;
                    }
                    const std::string first =
                        "data: " + state(0).dump(-1, ' ', false, Json::error_handler_t::replace) +
                        "\n\n";
                    return sink.write(first.data(), first.size());
                }
                {
                    std::unique_lock<std::mutex> lock(events_mutex);
                    events_ready.wait_for(lock, std::chrono::milliseconds(500),
                                          [&] { return stopping || next_event > *cursor; });
                    if (stopping) {
                        return false;
                    }
                    for (const auto& [number, text] : events) {
                        if (number >= *cursor) {
                            batch.push_back(text);
                        }
                    }
                    *cursor = next_event;
                }
                if (batch.empty()) {
                    return sink.write(": idle\n\n", 9);  // finds a closed page within 0.5 s
                }
                for (const auto& text : batch) {
                    if (!sink.write(text->data(), text->size())) {
                        return false;
                    }
                }
                return true;
            },
            [this, page](bool) {
                std::lock_guard<std::mutex> lock(pages_mutex);
                --page->streams;
            });
    });
    api("GET", "/api/state", [this](const httplib::Request&, const Json&) { return state(0); });
    api("POST", "/api/keepalive", [this, page_of](const httplib::Request& req, const Json&) {
        touch_page(page_of(req), false);
        return Json::object();
    });
    api("POST", "/api/scan", [this](const httplib::Request&, const Json& body) {
        const auto bound = [&](const char* key, int fallback) {
            if (!body.contains(key)) {
                return fallback;
            }
            const Json& v = body[key];
            if (v.is_string()) {
                return parse_id(v.get<std::string>(), 0, kLastActuatorId, key);
            }
            return static_cast<int>(finite_number(body, key, 0, kLastActuatorId));
        };
        const int first = bound("from", 0x10);
        const int last = bound("to", 0x7f);
        if (first > last) {
            throw ApiError(400, "from " + hex_id(first) + " is above to " + hex_id(last));
        }
        {
            std::lock_guard<std::mutex> lock(scan_mutex);
            if (scan_state.running) {
                throw ApiError(409, "a scan is running");
            }
            scan_state = ScanState{true, 0, last - first + 1, first, last, ""};
        }
        if (scanner.joinable()) {
            scanner.join();  // the previous scan, finished
        }
        scanner = std::thread([this, first, last] { scan(first, last); });
        return Json::object();
    });
    api("POST", "/api/stream", [this](const httplib::Request&, const Json& body) {
        const int rate = static_cast<int>(finite_number(body, "rate", 0, 10000));
        if (static_cast<double>(rate) != body["rate"].get<double>()) {
            throw ApiError(400, "rate must be a whole number of frames per second");
        }
        std::vector<Item> items;
        if (!body.contains("items") || !body["items"].is_array()) {
            throw ApiError(400, "items must be a list of item names");
        }
        for (const Json& name : body["items"]) {
            if (!name.is_string()) {
                throw ApiError(400, "items must be a list of item names");
            }
            const Item item = parse_item(name.get<std::string>());
            if (std::find(items.begin(), items.end(), item) != items.end()) {
                throw ApiError(400, item_name(item) + " is listed twice");
            }
            items.push_back(item);
        }
        if (items.empty() || items.size() > OrvexActuator::kMaxItemsPerFrame) {
            throw ApiError(
                400, "choose 1 to " + std::to_string(OrvexActuator::kMaxItemsPerFrame) + " items");
        }
        std::vector<std::shared_ptr<Device>> chosen;
        if (body.contains("ids")) {
            if (!body["ids"].is_array()) {
                throw ApiError(400, "ids must be a list of actuator ids");
            }
            for (const Json& id : body["ids"]) {
                chosen.push_back(device(actuator_id(Json{{"id", id}})));
            }
        } else {
            chosen = devices_snapshot();
        }
        for (const auto& dev : chosen) {
            {
                std::lock_guard<std::mutex> lock(dev->queue->mutex);
                dev->queue->items = items;
                dev->queue->frames.clear();
            }
            dev->actuator->setFeedbackItems(items);
            dev->actuator->setFeedbackRate(rate);
            std::lock_guard<std::mutex> lock(dev->mutex);
            dev->rate = rate;
        }
        return Json::object();
    });
    api("POST", "/api/start", [this, page_of](const httplib::Request& req, const Json& body) {
        const auto dev = device(actuator_id(body));
        touch_page(page_of(req), true);
        {
            std::lock_guard<std::mutex> lock(dev->mutex);
            dev->started = true;
            dev->started_by = page_of(req);
        }
        dev->actuator->start();
        return Json::object();
    });
    api("POST", "/api/stop", [this](const httplib::Request&, const Json& body) {
        std::vector<std::shared_ptr<Device>> chosen;
        if (body.value("all", false)) {
            chosen = devices_snapshot();
        } else {
            chosen.push_back(device(actuator_id(body)));
        }
        for (const auto& dev : chosen) {
            dev->actuator->stop();
            std::lock_guard<std::mutex> lock(dev->mutex);
            dev->started = false;
        }
        return Json{{"stopped", chosen.size()}};
    });
    api("POST", "/api/mode", [this, page_of](const httplib::Request& req, const Json& body) {
        const auto dev = device(actuator_id(body));
        const Mode mode = parse_mode(body.value("mode", Json()));
        touch_page(page_of(req), true);
        dev->actuator->change_mode(mode);
        std::lock_guard<std::mutex> lock(dev->mutex);
        dev->mode = mode;
        return Json::object();
    });
    // A setpoint in the given mode; a stopped actuator is started with it.
    api("POST", "/api/setpoint", [this, page_of](const httplib::Request& req, const Json& body) {
        const auto dev = device(actuator_id(body));
        const Mode mode = parse_mode(body.value("mode", Json()));
        const auto limit = dev->limits.find(mode);
        const auto [low, high] = limit != dev->limits.end() ? limit->second
                                                            : std::make_pair(-kDefaultSetpointBound,
                                                                             kDefaultSetpointBound);
        const auto value = static_cast<float>(finite_number(body, "value", low, high));
        touch_page(page_of(req), true);
        bool start = false;
        {
            std::lock_guard<std::mutex> lock(dev->mutex);
            start = !dev->started;
            dev->started = true;
            dev->started_by = page_of(req);
            dev->mode = mode;
        }
        send_setpoint(*dev->actuator, mode, value);
        if (start) {
            dev->actuator->start();
        }
        return Json::object();
    });
    api("GET", "/api/params", [this](const httplib::Request& req, const Json&) {
        const auto dev = device(actuator_id(Json{{"id", req.get_param_value("id")}}));
        std::lock_guard<std::mutex> lock(dev->parameter_mutex);
        const auto values = read_parameters(*dev->actuator, every_parameter());
        Json answer = Json::object();
        for (const Parameter code : every_parameter()) {
            const auto it = values.find(code);
            answer[parameter_name(code)] = it == values.end() ? Json() : json_number(it->second);
        }
        return Json{{"values", answer}};
    });
    api("POST", "/api/params", [this](const httplib::Request&, const Json& body) {
        const auto dev = device(actuator_id(body));
        if (!body.contains("values") || !body["values"].is_object() || body["values"].empty()) {
            throw ApiError(400, "values must be an object of parameter names and numbers");
        }
        std::vector<Parameter> codes;
        OrvexActuator::ParameterMap values;
        for (const auto& [name, value] : body["values"].items()) {
            const Parameter code = parse_parameter(name);
            if (code == Parameter::ADDRESS) {
                throw ApiError(400, "the address is changed with oxl set-address, not here");
            }
            if (!value.is_number()) {
                throw ApiError(400, name + " must be a number");
            }
            const std::string problem = parameter_value_problem(code, value.get<double>());
            if (!problem.empty()) {
                throw ApiError(400, parameter_name(code) + " " + value.dump() + " " + problem);
            }
            codes.push_back(code);
            values[code] = value.get<float>();
        }
        std::lock_guard<std::mutex> lock(dev->parameter_mutex);
        return Json{{"rows", written_rows(*dev->actuator, codes, values)}};
    });
    api("POST", "/api/save", [this](const httplib::Request&, const Json& body) {
        device(actuator_id(body))->actuator->save_config();
        return Json::object();
    });
    api("GET", "/api/config", [this](const httplib::Request& req, const Json&) {
        const auto dev = device(actuator_id(Json{{"id", req.get_param_value("id")}}));
        std::lock_guard<std::mutex> lock(dev->parameter_mutex);
        return configuration_document(*dev->actuator);
    });
    api("POST", "/api/config", [this](const httplib::Request&, const Json& body) {
        const auto dev = device(actuator_id(body));
        if (!body.contains("document")) {
            throw ApiError(400, "no configuration document");
        }
        const Configuration config = configuration_from_json(body["document"], "configuration: ");
        if (!config.model.empty() && config.model != dev->model && !body.value("force", false)) {
            throw ApiError(409, "the configuration is from model " + config.model + ", actuator " +
                                    hex_id(dev->id) + " is model " + dev->model +
                                    "; tick 'other model' to restore it anyway");
        }
        if (config.codes.empty()) {
            throw ApiError(400, "the configuration holds no parameter value to write");
        }
        std::lock_guard<std::mutex> lock(dev->parameter_mutex);
        const Json rows = written_rows(*dev->actuator, config.codes, config.values);
        std::size_t refused = 0;
        for (const Json& row : rows) {
            refused += row["taken"].get<bool>() ? 0 : 1;
        }
        return Json{
            {"rows", rows},
            {"summary", std::to_string(rows.size()) + " parameters written to " + hex_id(dev->id) +
                            ", " + std::to_string(refused) + " did not read back as written"}};
    });
    api("POST", "/api/gains", [this, page_of](const httplib::Request& req, const Json& body) {
        const auto dev = device(actuator_id(body));
        const auto stiffness = static_cast<float>(finite_number(body, "stiffness", 0, kMaxGain));
        const auto damping = static_cast<float>(finite_number(body, "damping", 0, kMaxGain));
        touch_page(page_of(req), true);
        dev->actuator->set_parameters(
            {{Parameter::K_STIFF, stiffness}, {Parameter::K_DAMP, damping}});
        return Json::object();
    });
}

}  // namespace oxl_tool
