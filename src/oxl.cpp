#include "oxl_api/oxl.hpp"

#include "oxl_api/details/vocabulary.hpp"

#include <iostream>
#include <string>
#include <utility>

#include "log.hpp"
#include "trace_internal.hpp"

namespace oxl_api {

OXL::OXL() {
    set_trace_sink(details::environment_trace_sink());
}

void OXL::set_trace_sink(std::shared_ptr<TraceSink> new_sink) {
    std::lock_guard<std::mutex> lock(trace_mutex);
    tracing.store(new_sink != nullptr, std::memory_order_relaxed);
    sink.swap(new_sink);
    // The old sink, if this was its last owner, is destroyed after the lock is released.
}

std::shared_ptr<TraceSink> OXL::trace_sink() const {
    std::lock_guard<std::mutex> lock(trace_mutex);
    return sink;
}

void OXL::trace_message(TraceDirection direction, int id, const std::vector<uint8_t>& payload,
                        int reply_flag, int64_t time_ns) {
    std::shared_ptr<TraceSink> target = trace_sink();
    if (!target) {
        return;
    }
    TraceRecord message;
    message.time_ns = time_ns;
    message.direction = direction;
    message.id = static_cast<uint16_t>(id & 0x3FFF);
    if (direction == TraceDirection::SENT) {
        message.host_id = static_cast<uint16_t>(host_id & 0x3FFF);
    } else {
        message.reply_flag = reply_flag != 0 ? 1 : 0;
    }
    message.set_payload(payload.data(), payload.size());
    target->record(message);
}

void OXL::setCallback(int id, MessageCallback callback) {
    std::lock_guard<std::mutex> lock(callbacks_mutex);
    // Assignment destroys the replaced callable while the lock is held, so it can no longer run.
    callbacks[id] = std::move(callback);
}

bool OXL::setCallbackIfFree(int id, MessageCallback callback) {
    std::lock_guard<std::mutex> lock(callbacks_mutex);
    return callbacks.emplace(id, std::move(callback)).second;
}

void OXL::removeCallback(int id) {
    std::lock_guard<std::mutex> lock(callbacks_mutex);
    callbacks.erase(id);
}

bool OXL::dispatch(int id, const std::vector<uint8_t>& payload, int reply_flag,
                   int64_t receive_time_ns) {
    if (tracing.load(std::memory_order_relaxed)) {
        trace_message(TraceDirection::RECEIVED, id, payload, reply_flag, receive_time_ns);
    }
    std::lock_guard<std::mutex> lock(callbacks_mutex);
    const auto it = callbacks.find(id);
    if (it == callbacks.end()) {
        return false;
    }
    // Cleared again however the callback ends, so that no later reader takes this message's time
    // for another's.
    struct ClearOnExit {
        std::atomic<int64_t>& time;
        ~ClearOnExit() { time.store(0, std::memory_order_relaxed); }
    } clear{dispatch_time_ns};
    dispatch_time_ns.store(receive_time_ns, std::memory_order_relaxed);
    it->second(id, std::vector<uint8_t>(payload), reply_flag);
    return true;
}

bool OXL::dispatch(int id, const std::vector<uint8_t>& payload, int reply_flag) {
    return dispatch(id, payload, reply_flag, monotonic_time_ns());
}

TransportCounters OXL::counters() const {
    return {};
}

void OXL::close() {
    disconnect();
}

bool OXL::check_oxl_id_range(int id) {
    return static_cast<uint32_t>(id) <= static_cast<uint32_t>(kLastOxlId);
}

bool OXL::check_oxl_payload_size(const std::vector<uint8_t>& payload) {
    return !payload.empty() && payload.size() <= kMaxPayloadSize;
}

bool OXL::check_outgoing_message(int id, const std::vector<uint8_t>& payload) {
    if (!check_oxl_id_range(id)) {
        details::log_line(std::cerr, LogSeverity::ERROR, "Invalid OXL ID: " + std::to_string(id));
        return false;
    }
    if (!check_oxl_payload_size(payload)) {
        // The message names the id, not the length: the caller knows what it tried to send.
        details::log_line(std::cerr, LogSeverity::ERROR,
                          "Invalid payload length for address " + std::to_string(id));
        return false;
    }
    return true;
}

int OXL::build_TWX_identifier(int source_id, int target_id) {
    return ((source_id & 0x3FFF) << 14) | (target_id & 0x3FFF);
}

}  // namespace oxl_api
