#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../output.hpp"
#include "../session.hpp"

namespace httplib {
class Server;
}

namespace oxl_tool {

/// Settings of `oxl web`.
struct WebOptions {
    /// Address to bind; anything but 127.0.0.1, ::1 or localhost requires `token`.
    std::string listen = "127.0.0.1";
    /// TCP port; 0 picks a free one.
    int http_port = 8080;
    /// Access token required on every API request; empty: none.
    std::string token;
    /// A page that sent a command and then sends no keep-alive for this long is gone: the
    /// actuators it started are stopped.
    double deadman_s = 0.5;
};

/// The server behind `oxl web`: serves the embedded page and a JSON API over HTTP, and streams
/// feedback, state, counters and log lines to each open page as server-sent events.
///
/// Threads: the HTTP server's worker threads run the handlers; one broadcaster thread turns the
/// frames that the actuators' sample callbacks queued into one event for every page (50 per
/// second), and one watchdog thread stops what a vanished page started. Actuators live in
/// `Device` objects shared by pointer, so a handler keeps its device alive while a scan
/// replaces the list. Each lock guards one thing and is never held while calling the library's
/// blocking reads or while writing to a socket.
class WebServer {
  public:
    WebServer(Session& session, WebOptions options);
    /// Stops the server if it runs, stops every actuator, and restores the library's log output.
    ~WebServer();

    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    /// Binds the address and port, starts serving on a thread of its own, and returns the
    /// port bound. Throws `UsageError` when the address cannot be bound.
    int start();
    /// Stops serving and joins every thread; stops every actuator. Safe to call twice.
    void stop();

    struct Device;
    struct Page;

  private:
    void install_routes();
    void broadcast_loop();
    void watchdog_loop();
    void scan(int first, int last);
    /// Appends one event for every page; `events_mutex` not held.
    void publish(std::string text);
    /// The state document: devices, scan, counters, pages, and log lines from number
    /// `log_from` on.
    Json state(uint64_t log_from);
    std::shared_ptr<Device> device(int id);
    std::vector<std::shared_ptr<Device>> devices_snapshot();
    /// Marks `page` as alive now and returns its entry; creates it if new.
    std::shared_ptr<Page> touch_page(const std::string& id, bool commanded);
    void stop_started_by(const std::string& page_id, const std::string& why);

    Session& session;
    WebOptions options;
    std::unique_ptr<httplib::Server> http;
    std::thread http_thread, broadcaster, watchdog, scanner;
    const int64_t start_ns;

    /// Found actuators by address. Guarded by `devices_mutex`.
    std::map<int, std::shared_ptr<Device>> devices;
    std::mutex devices_mutex;

    /// The events for the pages, numbered; the last few are kept for pages a little behind.
    /// Guarded by `events_mutex`; `events_ready` is signalled on each new one and on stop.
    std::deque<std::pair<uint64_t, std::shared_ptr<const std::string>>> events;
    uint64_t next_event = 1;
    bool stopping = false;
    std::mutex events_mutex;
    std::condition_variable events_ready;

    /// Pages by id. Guarded by `pages_mutex`.
    std::map<std::string, std::shared_ptr<Page>> pages;
    std::mutex pages_mutex;

    /// Scan progress. Guarded by `scan_mutex`.
    struct ScanState {
        bool running = false;
        int done = 0, total = 0;
        int first = 0, last = 0;
        std::string message;
    } scan_state;
    std::mutex scan_mutex;

    /// The library's log lines, shared with the log handler (which may run a little after
    /// the server is gone).
    struct LogBuffer;
    std::shared_ptr<LogBuffer> log;
    /// Number of the first log line not yet sent in a state event; broadcaster thread only.
    uint64_t log_sent = 1;
};

}  // namespace oxl_tool
