#include "loopback_oxl.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace oxl_test {

namespace {

using Clock = std::chrono::steady_clock;

void append_word(std::vector<uint8_t>& out, uint32_t word) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>(word >> shift));
    }
}

uint32_t read_word(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

uint32_t float_word(float value) {
    uint32_t word;
    std::memcpy(&word, &value, sizeof word);
    return word;
}

LoopbackOXL::LoopbackOXL(bool connected) : connected_(connected), thread_([this] { worker(); }) {}

LoopbackOXL::~LoopbackOXL() {
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        stop_ = true;
    }
    work_.notify_all();
    thread_.join();
}

bool LoopbackOXL::connect(const std::string& /*port*/) {
    connected_ = true;
    return true;
}

void LoopbackOXL::disconnect() {
    connected_ = false;
}

bool LoopbackOXL::is_connected() const {
    return connected_;
}

bool LoopbackOXL::send_OXL(int id, const std::vector<uint8_t>& payload) {
    if (!check_outgoing_message(id, payload) || !connected_) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        sent_.push_back({id, payload, Clock::now()});
        schedule_answers(id, payload);
    }
    work_.notify_all();
    return true;
}

void LoopbackOXL::schedule_answers(int id, const std::vector<uint8_t>& payload) {
    auto it = devices_.find(id);
    if (it == devices_.end()) {
        return;
    }
    ScriptedDevice& dev = it->second;
    const auto due = Clock::now() + dev.delay;
    // The requested entries (the codes after the command byte) that `values` holds.
    const auto entries = [&payload](const std::map<uint8_t, uint32_t>& values) {
        std::vector<uint8_t> out;
        for (std::size_t i = 1; i < payload.size(); ++i) {
            const auto found = values.find(payload[i]);
            if (found != values.end()) {
                out.push_back(found->first);
                append_word(out, found->second);
            }
        }
        return out;
    };
    const uint8_t command = payload[0];
    if (command == 0x40) {
        const auto byte = [](uint16_t word, int shift) {
            return static_cast<uint8_t>(word >> shift);
        };
        pending_.emplace(due, Pending{id,
                                      {0x80, byte(dev.model_code, 0), byte(dev.model_code, 8),
                                       byte(dev.firmware_word, 0), byte(dev.firmware_word, 8)},
                                      0});
    } else if (command == 0x0F) {
        std::vector<uint8_t> answer = entries(dev.items);
        if (!answer.empty()) {
            pending_.emplace(due, Pending{id, std::move(answer), 1});
        }
    } else if (command == 0x0C && dev.answers_parameters) {
        std::vector<uint8_t> answer = dev.parameter_answer;
        if (answer.empty()) {
            answer = entries(dev.parameters);
            answer.insert(answer.begin(), 0x83);
        }
        pending_.emplace(due, Pending{id, std::move(answer), 0});
    } else if (command == 0x0B) {
        for (std::size_t i = 1; i + 5 <= payload.size(); i += 5) {
            dev.parameters[payload[i]] = read_word(&payload[i + 1]);
        }
    }
}

bool LoopbackOXL::deliver(int id, const std::vector<uint8_t>& payload, int reply_flag,
                          int64_t receive_time_ns) {
    return receive_time_ns == 0 ? dispatch(id, payload, reply_flag)
                                : dispatch(id, payload, reply_flag, receive_time_ns);
}

void LoopbackOXL::post(int id, std::vector<uint8_t> payload, int reply_flag,
                       std::chrono::milliseconds delay) {
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        pending_.emplace(Clock::now() + delay, Pending{id, std::move(payload), reply_flag});
    }
    work_.notify_all();
}

void LoopbackOXL::worker() {
    std::unique_lock<std::mutex> lock(state_mutex_);
    for (;;) {
        if (stop_) {
            return;
        }
        if (pending_.empty()) {
            work_.wait(lock);
            continue;
        }
        if (Clock::now() < pending_.begin()->first) {
            work_.wait_until(lock, pending_.begin()->first);
            continue;
        }
        Pending next = std::move(pending_.begin()->second);
        pending_.erase(pending_.begin());
        delivering_ = true;
        lock.unlock();
        bool threw = false;
        try {
            deliver(next.id, next.payload, next.reply_flag);
        } catch (...) {
            threw = true;
        }
        lock.lock();
        delivering_ = false;
        swallowed_ += threw ? 1 : 0;
        changed_.notify_all();
    }
}

void LoopbackOXL::add_device(int id, ScriptedDevice device) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    devices_[id] = std::move(device);
}

ScriptedDevice LoopbackOXL::device(int id) const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    auto it = devices_.find(id);
    return it == devices_.end() ? ScriptedDevice{} : it->second;
}

std::vector<SentMessage> LoopbackOXL::sent() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return sent_;
}

void LoopbackOXL::clear_sent() {
    std::lock_guard<std::mutex> lock(state_mutex_);
    sent_.clear();
}

bool LoopbackOXL::wait_idle(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(state_mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pending_.empty() && !delivering_; });
}

std::size_t LoopbackOXL::swallowed_exceptions() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return swallowed_;
}

std::vector<int> LoopbackOXL::registered_ids() {
    std::vector<int> ids;
    std::unique_lock<std::mutex> lock(callbacks_mutex);
    for (const auto& entry : callbacks) {
        ids.push_back(entry.first);
    }
    lock.unlock();
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace oxl_test
