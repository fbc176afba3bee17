#pragma once

// One actuator's streamed samples handed to every consumer the module attaches: the Python sample
// callback, pull-style streams and recordings. The library has one sample callback slot per
// actuator; the module installs a fan-out there (on first use) and keeps its consumers itself.

#include "common.hpp"

#include <mutex>

namespace oxl_py {

/// A consumer fed on the receive thread, in C++: `push` never takes the GIL.
class SampleSink {
  public:
    virtual ~SampleSink() = default;
    virtual void push(const oxl_api::OrvexActuator::FeedbackSample& sample) = 0;
};

/// The consumers of one actuator's samples. `deliver` runs on the receive thread: it takes a
/// reference to the current set under the lock, then feeds the C++ sinks first and the Python
/// callback last (only that one takes the GIL). Changes replace the whole set, so a frame being
/// delivered at the time may still reach a consumer just removed.
class SampleFanout {
  public:
    using PythonCallback = std::function<void(int, const oxl_api::OrvexActuator::FeedbackSample&)>;

    void deliver(int address, const oxl_api::OrvexActuator::FeedbackSample& sample) const;
    /// Replaces the Python callback (empty: none).
    void set_python(PythonCallback callback);
    void add(std::shared_ptr<SampleSink> sink);
    void remove(const SampleSink* sink);

  private:
    struct Consumers {
        PythonCallback python;
        std::vector<std::shared_ptr<SampleSink>> sinks;
    };
    mutable std::mutex mutex;
    /// Guarded by `mutex`; never null.
    std::shared_ptr<const Consumers> consumers = std::make_shared<Consumers>();
};

/// The fan-out of `actuator`, created and installed as its sample callback on first use. May wait
/// on the actuator's lock: call it with the GIL released.
std::shared_ptr<SampleFanout> fanout_of(oxl_api::OrvexActuator& actuator);

}  // namespace oxl_py
