#include "sim_adapter.hpp"

#include <utility>

namespace oxl_test {

namespace {

// Longest wait of an idle writer; bounds the size of each catch-up of simulated time.
constexpr std::chrono::milliseconds kIdleWait{20};

}  // namespace

SimAdapter::SimAdapter(oxl_api::SimulatedBus::Clock clock)
    : sim_bus([this](std::vector<oxl_api::SimMessage> batch) { enqueue(std::move(batch)); },
              std::move(clock)) {
    fake.set_responder([this](const HostFrame& frame, FakeAdapter&) {
        sim_bus.deliver(frame.id(), frame.payload);
    });
    writer = std::thread(&SimAdapter::writer_loop, this);
}

SimAdapter::~SimAdapter() {
    fake.set_responder({});
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    writer.join();
}

std::size_t SimAdapter::failed_writes() const {
    std::lock_guard<std::mutex> lock(mutex);
    return write_failures;
}

void SimAdapter::enqueue(std::vector<oxl_api::SimMessage> batch) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping) {
            return;
        }
        pending.insert(pending.end(), std::make_move_iterator(batch.begin()),
                       std::make_move_iterator(batch.end()));
    }
    wake.notify_one();
}

void SimAdapter::writer_loop() {
    std::vector<oxl_api::SimMessage> batch;
    std::vector<uint8_t> bytes;
    for (;;) {
        const std::chrono::nanoseconds wait = sim_bus.poll_and_wait_time(kIdleWait);
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (pending.empty() && !stopping) {
                wake.wait_for(lock, wait, [this] { return !pending.empty() || stopping; });
            }
            if (stopping) {
                return;
            }
            batch.swap(pending);
        }
        if (batch.empty()) {
            continue;
        }
        // One write for the whole batch: frames that fell due together reach the host together.
        bytes.clear();
        for (const oxl_api::SimMessage& message : batch) {
            const std::vector<uint8_t> frame = encode_adapter_frame(
                adapter_id_field(message.id, message.reply_flag), message.payload);
            bytes.insert(bytes.end(), frame.begin(), frame.end());
        }
        if (!fake.write_raw(bytes)) {
            std::lock_guard<std::mutex> lock(mutex);
            write_failures += batch.size();
        }
        batch.clear();
    }
}

}  // namespace oxl_test
