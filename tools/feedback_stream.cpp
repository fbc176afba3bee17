#include "feedback_stream.hpp"

#include <cmath>

#include <algorithm>
#include <iostream>

#include "errors.hpp"

namespace oxl_tool {

double Sample::value(Item item) const {
    const float* found = frame.find(item);
    return found == nullptr ? std::nan("") : static_cast<double>(*found);
}

void check_duration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0 || seconds > 1e6) {
        throw UsageError("--duration must be a number of seconds, 0 to 1000000 (0: until Ctrl-C)");
    }
}

bool report_errors(const std::vector<ReportedError>& errors) {
    bool serious = false;
    for (const auto& error : errors) {
        std::cerr << "oxl: actuator " << hex_id(error.address) << " reports error " << error.bit
                  << ": " << error.text << std::endl;
        serious = serious || error.serious();
    }
    return serious;
}

std::chrono::steady_clock::time_point deadline_after(double seconds) {
    using Clock = std::chrono::steady_clock;
    if (seconds <= 0.0) {
        return Clock::time_point::max();
    }
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

FeedbackQueue::FeedbackQueue() : shared(std::make_shared<Shared>(oxl_api::monotonic_time_ns())) {}

std::vector<Sample> FeedbackQueue::take(std::chrono::steady_clock::time_point deadline) {
    const auto wake =
        std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->ready.wait_until(lock, wake, [this] { return !shared->samples.empty(); });
    std::vector<Sample> out;
    out.swap(shared->samples);
    return out;
}

std::vector<ReportedError> FeedbackQueue::take_errors() {
    std::lock_guard<std::mutex> lock(shared->mutex);
    std::vector<ReportedError> out;
    out.swap(shared->errors);
    return out;
}

double FeedbackQueue::now() const {
    return static_cast<double>(oxl_api::monotonic_time_ns() - shared->start_ns) / 1e9;
}

FeedbackStream::FeedbackStream(oxl_api::OrvexActuator& actuator_in, const std::vector<Item>& items,
                               int rate_hz, FeedbackQueue queue_in)
    : actuator(actuator_in), period_s(0.0), queue(std::move(queue_in)) {
    std::weak_ptr<FeedbackQueue::Shared> weak = queue.shared;
    actuator.set_feedback_sample_callback(
        [weak](int address, const oxl_api::OrvexActuator::FeedbackSample& frame) {
            const auto state = weak.lock();
            if (!state) {
                return;
            }
            const int64_t received =
                frame.receive_time_ns != 0 ? frame.receive_time_ns : oxl_api::monotonic_time_ns();
            const double age = static_cast<double>(received - state->start_ns) / 1e9;
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                state->samples.push_back(Sample{address, age, state->received[address]++, frame});
            }
            state->ready.notify_one();
        });
    actuator.set_error_callback([weak](int address, oxl_api::OrvexActuator::ErrorMap errors) {
        const auto state = weak.lock();
        if (!state) {
            return;
        }
        std::vector<ReportedError> sorted;
        for (auto& entry : errors) {
            sorted.push_back(ReportedError{address, entry.first, std::move(entry.second)});
        }
        std::sort(sorted.begin(), sorted.end(),
                  [](const ReportedError& a, const ReportedError& b) { return a.bit < b.bit; });
        std::lock_guard<std::mutex> lock(state->mutex);
        state->errors.insert(state->errors.end(), sorted.begin(), sorted.end());
    });
    actuator.setFeedbackItems(items);
    actuator.setFeedbackRate(rate_hz);
    // The period the library sent, as it rounds the rate to the device's ticks.
    period_s = static_cast<double>(actuator.get_feedback_counters().period_ns) / 1e9;
}

FeedbackStream::~FeedbackStream() {
    actuator.setFeedbackRate(0);
    actuator.set_feedback_sample_callback({});
    // Errors reported from now on are printed (and serious ones stop the device) as usual.
    oxl_api::OrvexActuator* const target = &actuator;
    actuator.set_error_callback([target](int address, oxl_api::OrvexActuator::ErrorMap errors) {
        target->default_error_callback(address, errors);
    });
}

oxl_api::OrvexActuator::FeedbackCounters FeedbackStream::counters() const {
    return actuator.get_feedback_counters();
}

}  // namespace oxl_tool
