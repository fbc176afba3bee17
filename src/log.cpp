#include "log.hpp"

#include <memory>
#include <mutex>
#include <ostream>
#include <utility>

namespace oxl_api {

namespace {

struct HandlerSlot {
    std::mutex mutex;
    // Null while the default printing is in force. Guarded by `mutex`; the callable itself is
    // shared, so a line can run it after releasing the lock, and a replacement never waits for a
    // running call.
    std::shared_ptr<const LogHandler> handler;
};

HandlerSlot& handler_slot() {
    // Never destroyed: objects with static storage (an application's transport or actuator) may
    // still print while statics are torn down at exit.
    static HandlerSlot* const slot = new HandlerSlot;
    return *slot;
}

}  // namespace

void set_log_handler(LogHandler handler) {
    std::shared_ptr<const LogHandler> next;
    if (handler) {
        next = std::make_shared<const LogHandler>(std::move(handler));
    }
    HandlerSlot& slot = handler_slot();
    {
        std::lock_guard<std::mutex> lock(slot.mutex);
        slot.handler.swap(next);
    }
    // The old handler is released here, outside the lock: its captures' destructors are the
    // application's code.
}

const char* log_severity_name(LogSeverity severity) {
    switch (severity) {
        case LogSeverity::INFO:
            return "info";
        case LogSeverity::WARNING:
            return "warning";
        case LogSeverity::ERROR:
            return "error";
    }
    return "error";
}

namespace details {

void log_line(std::ostream& stream, LogSeverity severity, const std::string& text) {
    std::shared_ptr<const LogHandler> handler;
    {
        HandlerSlot& slot = handler_slot();
        std::lock_guard<std::mutex> lock(slot.mutex);
        handler = slot.handler;
    }
    if (!handler) {
        // One write per line, so that lines of concurrent threads do not cut into each other.
        stream << (text + '\n') << std::flush;
        return;
    }
    try {
        (*handler)(severity, text);
    } catch (...) {
        // A faulty handler must not break the receive thread or the call that printed.
    }
}

}  // namespace details
}  // namespace oxl_api
