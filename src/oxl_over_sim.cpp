#include "oxl_api/oxl_over_sim.hpp"

#include <chrono>
#include <utility>

namespace oxl_api {

namespace {

// Longest wait of an idle polling thread, so that simulated time keeps up with the clock in
// small steps even when nothing streams (and with an injected clock, whose future the thread
// cannot know).
constexpr std::chrono::milliseconds kIdleWait{20};

}  // namespace

OXL_over_Sim::OXL_over_Sim(bool connect_now, SimulatedBus::Clock clock)
    : sim_bus([this](std::vector<SimMessage> batch) { enqueue(std::move(batch)); },
              std::move(clock)) {
    if (connect_now) {
        connect();
    }
}

OXL_over_Sim::~OXL_over_Sim() {
    disconnect();
}

bool OXL_over_Sim::connect(const std::string& /*port*/) {
    disconnect();
    // Bring the bus up to date first: frames that fell due while disconnected are lost.
    sim_bus.poll();
    {
        std::lock_guard<std::mutex> lock(outbox_mutex);
        outbox.clear();
        running.store(true);
    }
    polling_thread = std::thread(&OXL_over_Sim::polling_thread_worker, this);
    return true;
}

void OXL_over_Sim::disconnect() {
    {
        std::lock_guard<std::mutex> lock(outbox_mutex);
        running.store(false);
    }
    outbox_ready.notify_all();
    if (polling_thread.joinable()) {
        polling_thread.join();
    }
    std::lock_guard<std::mutex> lock(outbox_mutex);
    outbox.clear();
}

bool OXL_over_Sim::is_connected() const {
    return running.load();
}

bool OXL_over_Sim::send_OXL(int id, const std::vector<uint8_t>& payload) {
    if (!check_outgoing_message(id, payload)) {
        return false;
    }
    if (!running.load()) {
        return false;
    }
    trace_sent(id, payload, [this] { return sim_bus.clock_now().count(); });
    sim_bus.deliver(id, payload);
    return true;
}

void OXL_over_Sim::enqueue(std::vector<SimMessage> batch) {
    {
        std::lock_guard<std::mutex> lock(outbox_mutex);
        if (!running.load()) {
            return;
        }
        if (outbox.empty()) {
            outbox = std::move(batch);
        } else {
            outbox.insert(outbox.end(), std::make_move_iterator(batch.begin()),
                          std::make_move_iterator(batch.end()));
        }
    }
    outbox_ready.notify_one();
}

void OXL_over_Sim::process_pkt(int id, const std::vector<uint8_t>& payload, int reply_flag) {
    dispatch(id, payload, reply_flag, sim_bus.clock_now().count());
}

TransportCounters OXL_over_Sim::counters() const {
    const DeliveryCounts delivered = published_delivery.load();
    const SimulatedBus::Stats bus_stats = sim_bus.stats();
    TransportCounters out;
    out.frames_dispatched = delivered.dispatched;
    out.frames_without_callback = delivered.without_callback;
    out.frames_written = bus_stats.messages_received;
    out.sim_frames_sent = bus_stats.frames_sent;
    out.sim_frames_skipped = bus_stats.frames_skipped;
    return out;
}

void OXL_over_Sim::polling_thread_worker() {
    std::vector<SimMessage> batch;
    while (running.load()) {
        const std::chrono::nanoseconds wait = sim_bus.poll_and_wait_time(kIdleWait);
        {
            std::unique_lock<std::mutex> lock(outbox_mutex);
            if (outbox.empty()) {
                outbox_ready.wait_for(lock, wait,
                                      [this] { return !outbox.empty() || !running.load(); });
            }
            batch.swap(outbox);
        }
        // The batch reaches the host side now: its receive time, on the bus clock.
        const int64_t received_at = batch.empty() ? 0 : sim_bus.clock_now().count();
        for (const SimMessage& message : batch) {
            if (!running.load()) {
                break;
            }
            bool found = true;  // a callback that throws was found
            try {
                found = dispatch(message.id, message.payload, message.reply_flag, received_at);
            } catch (...) {
                // A throwing callback must not end the receive loop; the next message goes on.
            }
            ++(found ? delivery_counts.dispatched : delivery_counts.without_callback);
        }
        if (!batch.empty()) {
            published_delivery.store(delivery_counts);
        }
        batch.clear();
    }
}

}  // namespace oxl_api
