#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <oxl_api/orvex_actuator.hpp>

#include "names.hpp"

namespace oxl_tool {

/// One streamed feedback frame with the time it arrived.
struct Sample {
    /// Address of the actuator that sent it.
    int address = 0;
    /// Host receive time of the frame (from the library), in seconds since the stream started.
    double time = 0.0;
    /// Position of the frame in its actuator's stream, from 0.
    uint64_t index = 0;
    /// The frame as the library delivered it: receive time, sequence number, items.
    oxl_api::OrvexActuator::FeedbackSample frame;
    /// The value of `item` in this frame, NaN when the frame does not carry it.
    double value(Item item) const;
};

/// A device that has not streamed a frame after this many seconds is not going to.
constexpr double kFirstFrameTimeout = 2.0;

/// Checks a `--duration` before anything is sent: NaN or infinity would make no deadline.
/// Throws `UsageError` outside 0..1000000 seconds (0: until Ctrl-C).
void check_duration(double seconds);

/// The time `seconds` from now; for 0 or less, no deadline (the far future).
std::chrono::steady_clock::time_point deadline_after(double seconds);

/// Stops the device when it leaves its scope, by any path (end, Ctrl-C, exception).
class StopOnExit {
  public:
    explicit StopOnExit(oxl_api::OrvexActuator& actuator_in) : actuator(actuator_in) {}
    ~StopOnExit() { actuator.stop(); }
    StopOnExit(const StopOnExit&) = delete;
    StopOnExit& operator=(const StopOnExit&) = delete;

  private:
    oxl_api::OrvexActuator& actuator;
};

/// One error an actuator reported: the actuator, bit number and description.
struct ReportedError {
    int address = 0;
    int bit = 0;
    std::string text;
    /// A serious error: the device must be stopped.
    bool serious() const { return oxl_api::is_serious_error(bit); }
};

/// Prints each reported error on standard error ("oxl: actuator 0x20 reports error 16: Current
/// maximum"); returns true when one of them is serious (the device must stop).
bool report_errors(const std::vector<ReportedError>& errors);

/// Where the streams of a command queue their frames and error reports, on the transport's
/// receive thread, for the command's thread to drain. Copies share one queue: several streams
/// given the same queue deliver their frames in the order they arrived, on one time axis.
class FeedbackQueue {
  public:
    /// An empty queue whose times count from now.
    FeedbackQueue();

    /// Blocks until at least one sample is queued, `deadline` passes or 100 ms have gone by (so
    /// that the caller can look at the interrupt flag), then returns the queued samples, oldest
    /// first.
    std::vector<Sample> take(std::chrono::steady_clock::time_point deadline);
    /// Errors reported since the last call, in arrival order.
    std::vector<ReportedError> take_errors();
    /// Seconds since the queue was made, on the clock of `Sample::time`.
    double now() const;

  private:
    friend class FeedbackStream;
    struct Shared {
        explicit Shared(int64_t start_in) : start_ns(start_in) {}
        /// Time origin of the samples, on the library's monotonic clock; immutable.
        const int64_t start_ns;
        std::mutex mutex;
        /// Signalled when a sample is queued.
        std::condition_variable ready;
        /// Guarded by `mutex`.
        std::vector<Sample> samples;
        /// Guarded by `mutex`.
        std::vector<ReportedError> errors;
        /// Frames received so far, by address. Guarded by `mutex`.
        std::map<int, uint64_t> received;
    };
    std::shared_ptr<Shared> shared;
};

/// Streams feedback items from one actuator into a queue that the application thread drains.
///
/// The constructor installs sample and error callbacks on the actuator, selects the items and
/// starts the stream; the destructor stops the stream (rate 0, which also starts the actuator's
/// arrival statistics afresh). The callbacks run on the transport's receive thread and only
/// append to the queue under its lock; they hold the queue weakly, so a frame still being
/// delivered while the stream is torn down never touches freed memory.
class FeedbackStream {
  public:
    /// Starts streaming `items` from `actuator` at `rate_hz` (1..10000) into `queue` (by default
    /// one of its own). Replaces the actuator's error callback: reported errors are queued for
    /// `take_errors` instead of printed.
    FeedbackStream(oxl_api::OrvexActuator& actuator, const std::vector<Item>& items, int rate_hz,
                   FeedbackQueue queue = FeedbackQueue());
    /// Stops the stream, switches the sample callback off and puts back the printing error
    /// callback.
    ~FeedbackStream();

    FeedbackStream(const FeedbackStream&) = delete;
    FeedbackStream& operator=(const FeedbackStream&) = delete;

    /// See `FeedbackQueue::take`; with a shared queue, the frames of every stream on it.
    std::vector<Sample> take(std::chrono::steady_clock::time_point deadline) {
        return queue.take(deadline);
    }
    /// See `FeedbackQueue::take_errors`.
    std::vector<ReportedError> take_errors() { return queue.take_errors(); }
    /// Seconds since the queue was made, on the clock of `Sample::time`.
    double now() const { return queue.now(); }
    /// Seconds between two frames as the device sends them: the requested rate rounded to the
    /// device's 100 us ticks.
    double period() const { return period_s; }
    /// The actuator's arrival statistics of this stream so far (frames received, estimated
    /// missing, largest gap).
    oxl_api::OrvexActuator::FeedbackCounters counters() const;

  private:
    oxl_api::OrvexActuator& actuator;
    double period_s;
    FeedbackQueue queue;
};

}  // namespace oxl_tool
