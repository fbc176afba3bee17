#pragma once

// A fake USB-to-CAN adapter whose bus is simulated: the pseudo-terminal adapter of
// fake_adapter.hpp serving a SimulatedBus, so that the real OXL_over_USB, libserialport and the
// actuator client run end to end against simulated actuators. No GoogleTest dependency.
//
//     oxl_test::SimAdapter sim;                          // needs enter_private_namespace
//     sim.bus().add_actuator(0x20, 2, 0x0842);
//     oxl_api::OXL_over_USB usb(sim.port_name());
//     oxl_api::OrvexActuator actuator(usb, 0x20);        // talks to the simulated device

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_adapter.hpp"
#include "oxl_api/simulated_bus.hpp"

namespace oxl_test {

/// Serves a SimulatedBus over a FakeAdapter. Frames the host writes go to the bus on the fake
/// adapter's thread; what the devices send is written back by a writer thread, which also keeps
/// simulated time moving, so that the adapter never stops reading the host while the line towards
/// the host is full. `bus()` is thread-safe; the rest is set up at construction.
class SimAdapter {
  public:
    /// Publishes a fake adapter with the genuine USB ids serving a bus with only the adapter at
    /// id 0 and the given clock. Throws std::runtime_error when the fake cannot be set up.
    explicit SimAdapter(oxl_api::SimulatedBus::Clock clock = {});
    /// Stops serving, joins the writer thread, then removes the fake adapter.
    ~SimAdapter();

    SimAdapter(const SimAdapter&) = delete;
    SimAdapter& operator=(const SimAdapter&) = delete;

    /// The serial port to open, e.g. "/dev/ttyOXL3".
    const std::string& port_name() const { return fake.port_name(); }
    /// The simulated bus served on the line.
    oxl_api::SimulatedBus& bus() { return sim_bus; }
    /// Count of frames whose write to the host failed (line full for 2 s, or unplugged).
    std::size_t failed_writes() const;
    /// Pulls the adapter out (see `FakeAdapter::unplug`): the devices keep running, what they
    /// send is lost and the host's messages no longer reach them.
    void unplug() { fake.unplug(); }
    /// Plugs it back in under the same name (see `FakeAdapter::replug`).
    bool replug() { return fake.replug(); }

  private:
    void enqueue(std::vector<oxl_api::SimMessage> batch);
    void writer_loop();

    /// Guards `pending`, `stopping` and `write_failures`; `wake` is signalled when either of the
    /// first two changes.
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::vector<oxl_api::SimMessage> pending;
    bool stopping = false;
    std::size_t write_failures = 0;

    /// Its sink fills `pending`, so it is declared after it.
    oxl_api::SimulatedBus sim_bus;
    /// Its responder calls into `sim_bus`, so it is declared after it (and destroyed first).
    FakeAdapter fake;
    /// Writes `pending` to the line and drives time. Declared last: started at the end of
    /// construction, joined first in the destructor.
    std::thread writer;
};

}  // namespace oxl_test
