// Decode path throughput, on one thread, with frames of 11 float items.
//
// decode: each frame copied as the transport's dispatch copies it, decoded by can_callback into
// the accumulated feedback and handed as an item map to a feedback callback.
// timed: each frame dispatched as a transport's receive thread dispatches it (receive time taken
// from the monotonic clock, registry lock and look-up, payload copy), decoded, and handed as a
// FeedbackSample to a sample callback; no item map is built.
// Prints frames per second and nanoseconds per frame for both.
//
// Usage: bench_decode [frames per run, default 2000000] [runs, default 5]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "oxl_api/orvex_actuator.hpp"

namespace {

// A transport that drops everything sent: the benchmark calls the decoder directly.
class NullOXL : public oxl_api::OXL {
  public:
    bool connect(const std::string&) override { return true; }
    void disconnect() override {}
    bool is_connected() const override { return true; }
    bool send_OXL(int, const std::vector<uint8_t>&) override { return true; }
    /// Dispatches a received frame as a transport's receive thread does, stamped now.
    bool receive(int id, const std::vector<uint8_t>& payload) {
        return dispatch(id, payload, 0, oxl_api::monotonic_time_ns());
    }
};

std::vector<uint8_t> make_frame() {
    // 11 float items, 55 bytes: the most one 59-byte message carries.
    const uint8_t codes[11] = {0x41, 0x43, 0x45, 0x49, 0x4B, 0x4C, 0x56, 0x5A, 0x70, 0x71, 0x72};
    std::vector<uint8_t> frame;
    for (int i = 0; i < 11; ++i) {
        frame.push_back(codes[i]);
        oxl_api::append_float(frame, 0.25f * static_cast<float>(i));
    }
    return frame;
}

struct Figures {
    double median = 0.0;
    double best = 0.0;
};

// Runs `feed(frame)` `frames` times per run, after a warm-up run, varying one value per frame so
// that nothing can be hoisted out of the loop.
template <class Feed>
Figures measure(long frames, int runs, Feed feed) {
    std::vector<uint8_t> frame = make_frame();
    std::vector<double> rates;
    for (int run = 0; run <= runs; ++run) {  // run 0 warms up
        const auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < frames; ++i) {
            const float v = static_cast<float>(i);
            std::memcpy(&frame[1], &v, sizeof v);
            feed(frame);
        }
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (run > 0) {
            rates.push_back(static_cast<double>(frames) / s);
        }
    }
    std::sort(rates.begin(), rates.end());
    return {rates[rates.size() / 2], rates.back()};
}

void print(const char* what, long frames, int runs, const Figures& f) {
    std::printf("%s: %ld frames x %d runs, 11 float items per frame\n", what, frames, runs);
    std::printf("median %.0f frames/s (%.1f ns/frame), best %.0f frames/s (%.1f ns/frame)\n",
                f.median, 1e9 / f.median, f.best, 1e9 / f.best);
    std::printf("target 2000000 frames/s: %s\n", f.median >= 2e6 ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
    const long frames = argc > 1 ? std::atol(argv[1]) : 2000000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    if (frames <= 0 || runs <= 0) {
        std::fprintf(stderr, "usage: %s [frames>0] [runs>0]\n", argv[0]);
        return 2;
    }

    NullOXL bus;
    double checksum = 0.0;
    Figures decode;
    Figures timed;
    {
        oxl_api::OrvexActuator actuator(bus, 0x20);
        double sum = 0.0;
        actuator.set_feedback_callback([&sum](int, oxl_api::OrvexActuator::FeedbackMap items) {
            sum += static_cast<double>(items.size());
        });
        decode = measure(frames, runs, [&actuator](std::vector<uint8_t>& frame) {
            actuator.can_callback(0x20, std::vector<uint8_t>(frame), 0);
        });
        checksum = sum + static_cast<double>(actuator.get_feedback().size());
    }
    {
        oxl_api::OrvexActuator actuator(bus, 0x20);
        double sum = 0.0;
        actuator.set_feedback_sample_callback(
            [&sum](int, const oxl_api::OrvexActuator::FeedbackSample& sample) {
                sum += static_cast<double>(sample.items[0].value);
            });
        timed = measure(frames, runs,
                        [&bus](std::vector<uint8_t>& frame) { bus.receive(0x20, frame); });
        const auto counters = actuator.get_feedback_counters();
        checksum += sum + static_cast<double>(counters.frames_received);
    }

    print("decode", frames, runs, decode);
    print("timed", frames, runs, timed);
    std::printf("(checksum %.0f)\n", checksum);
    return 0;
}
