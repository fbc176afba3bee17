// Receive and send throughput of OXL_over_USB through the real serial stack (libserialport on a
// pseudo-terminal published as a fake USB adapter), next to a plain loop of raw libserialport
// reads on the same line, and the receive path again with every frame traced to a candump log.
// Needs root (private mount namespace).
//
// Usage: bench_transport [frames_per_run=200000] [rounds=3]

#include <libserialport.h>

#include <dlfcn.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_adapter.hpp"
#include "oxl_api/oxl_over_usb.hpp"
#include "oxl_api/serial_port.hpp"
#include "oxl_api/trace.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kId = 5;
constexpr std::size_t kPayload = 59;  // 64-byte frames
constexpr std::size_t kWriteChunk = 4096;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

uint32_t sequence_of(const uint8_t* payload) {
    return static_cast<uint32_t>(payload[0]) | (static_cast<uint32_t>(payload[1]) << 8) |
           (static_cast<uint32_t>(payload[2]) << 16) | (static_cast<uint32_t>(payload[3]) << 24);
}

// `frames` adapter frames for id 5, payload = 4-byte little-endian sequence number + filler.
Bytes make_stream(uint32_t frames) {
    Bytes stream;
    stream.reserve(static_cast<std::size_t>(frames) * (kPayload + 5));
    Bytes payload(kPayload, 0x5A);
    for (uint32_t seq = 0; seq < frames; ++seq) {
        for (int i = 0; i < 4; ++i) {
            payload[static_cast<std::size_t>(i)] = static_cast<uint8_t>(seq >> (8 * i));
        }
        const Bytes frame = oxl_test::encode_adapter_frame(static_cast<uint16_t>(kId), payload);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    return stream;
}

// Feeds the stream into the line from a thread of its own, as fast as the line takes it.
class Feeder {
  public:
    Feeder(oxl_test::FakeAdapter& adapter, const Bytes& stream)
        : thread([&adapter, &stream, this] {
              for (std::size_t at = 0; at < stream.size() && ok; at += kWriteChunk) {
                  const auto end = stream.begin() + static_cast<std::ptrdiff_t>(
                                                        std::min(stream.size(), at + kWriteChunk));
                  ok = adapter.write_raw(
                      Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at), end));
              }
          }) {}
    ~Feeder() { thread.join(); }
    std::atomic<bool> ok{true};

  private:
    std::thread thread;
};

struct Result {
    double frames_per_s = 0;
    uint64_t received = 0;
    uint64_t trace_lines = 0;  // traced runs: lines written and lost
    uint64_t trace_lost = 0;
    uint64_t lost = 0;
};

// Raw libserialport, looked up at run time: the bench links the library, not libserialport.
struct RawSp {
    decltype(&sp_get_port_by_name) get_port_by_name;
    decltype(&sp_open) open;
    decltype(&sp_close) close;
    decltype(&sp_free_port) free_port;
    decltype(&sp_set_baudrate) set_baudrate;
    decltype(&sp_blocking_read) blocking_read;

    bool load() {
        get_port_by_name = reinterpret_cast<decltype(get_port_by_name)>(
            dlsym(RTLD_DEFAULT, "sp_get_port_by_name"));
        open = reinterpret_cast<decltype(open)>(dlsym(RTLD_DEFAULT, "sp_open"));
        close = reinterpret_cast<decltype(close)>(dlsym(RTLD_DEFAULT, "sp_close"));
        free_port = reinterpret_cast<decltype(free_port)>(dlsym(RTLD_DEFAULT, "sp_free_port"));
        set_baudrate =
            reinterpret_cast<decltype(set_baudrate)>(dlsym(RTLD_DEFAULT, "sp_set_baudrate"));
        blocking_read =
            reinterpret_cast<decltype(blocking_read)>(dlsym(RTLD_DEFAULT, "sp_blocking_read"));
        return get_port_by_name && open && close && free_port && set_baudrate && blocking_read;
    }
};

// Plain loop: one 4-byte header read and one body read per frame, nothing else.
Result run_plain(const RawSp& sp, oxl_test::FakeAdapter& adapter, const Bytes& stream,
                 uint32_t frames) {
    Result result;
    sp_port* port = nullptr;
    if (sp.get_port_by_name(adapter.port_name().c_str(), &port) != SP_OK) {
        return result;
    }
    if (sp.open(port, SP_MODE_READ_WRITE) != SP_OK) {
        sp.free_port(port);
        return result;
    }
    sp.set_baudrate(port, 115200);
    uint8_t header[4];
    uint8_t body[kPayload + 1];
    const auto start = Clock::now();
    {
        Feeder feeder(adapter, stream);
        for (uint32_t i = 0; i < frames; ++i) {
            if (sp.blocking_read(port, header, 4, 800) != 4 ||
                sp.blocking_read(port, body, header[3] + 1u, 800) != header[3] + 1) {
                break;
            }
            if (header[0] == 0xFE && sequence_of(body) == i) {
                ++result.received;
            }
        }
    }
    result.frames_per_s = result.received / seconds_since(start);
    result.lost = frames - result.received;
    sp.close(port);
    sp.free_port(port);
    return result;
}

// The library's receive path: polling thread, parser, dispatch, registered callback; with a
// `trace_path`, every frame is also traced to that file by the candump sink.
Result run_library(oxl_test::FakeAdapter& adapter, const Bytes& stream, uint32_t frames,
                   const std::string& trace_path = "") {
    Result result;
    std::mutex mutex;
    std::condition_variable cv;
    uint64_t received = 0;  // guarded by mutex
    uint64_t in_order = 0;  // polling thread only
    Clock::time_point last;
    oxl_api::OXL_over_USB usb(adapter.port_name());
    if (!usb.is_connected()) {
        return result;
    }
    std::shared_ptr<oxl_api::CandumpFileSink> sink;
    if (!trace_path.empty()) {
        sink = oxl_api::CandumpFileSink::open(trace_path);
        usb.set_trace_sink(sink);
    }
    usb.setCallback(kId, [&](int, Bytes payload, int) {
        if (payload.size() == kPayload && sequence_of(payload.data()) == in_order) {
            ++in_order;
        }
        std::lock_guard<std::mutex> lock(mutex);
        last = Clock::now();
        if (++received == frames) {
            cv.notify_all();
        }
    });
    const auto start = Clock::now();
    {
        Feeder feeder(adapter, stream);
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, std::chrono::seconds(120), [&] { return received == frames; });
    }
    usb.disconnect();  // joins the polling thread: in_order is final
    if (sink) {
        sink->close();
        result.trace_lines = sink->written();
        result.trace_lost = sink->lost();
        std::remove(trace_path.c_str());
    }
    std::lock_guard<std::mutex> lock(mutex);
    result.received = in_order;
    result.lost = frames - in_order;
    result.frames_per_s =
        received == 0 ? 0 : in_order / std::chrono::duration<double>(last - start).count();
    return result;
}

// send_OXL from one thread; the adapter counts the frames that reach it.
Result run_send(oxl_test::FakeAdapter& adapter, uint32_t frames) {
    Result result;
    std::mutex mutex;
    std::condition_variable cv;
    uint64_t received = 0;  // guarded by mutex
    uint64_t in_order = 0;  // fixture thread only
    adapter.set_responder([&](const oxl_test::HostFrame& frame, oxl_test::FakeAdapter&) {
        if (frame.payload.size() == kPayload && sequence_of(frame.payload.data()) == in_order) {
            ++in_order;
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (++received == frames) {
            cv.notify_all();
        }
    });
    {
        oxl_api::OXL_over_USB usb(adapter.port_name());
        Bytes payload(kPayload, 0xA5);
        const auto start = Clock::now();
        for (uint32_t seq = 0; seq < frames; ++seq) {
            for (int i = 0; i < 4; ++i) {
                payload[static_cast<std::size_t>(i)] = static_cast<uint8_t>(seq >> (8 * i));
            }
            usb.send_OXL(kId, payload);
        }
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, std::chrono::seconds(120), [&] { return received == frames; });
        result.frames_per_s = received / seconds_since(start);
    }
    adapter.set_responder(nullptr);  // waits out a responder call in flight
    result.received = in_order;
    result.lost = frames - in_order;
    return result;
}

void print(const char* what, int round, const Result& r) {
    std::printf(
        "%-34s round %d: %9.0f frames/s (%6.2f MB/s), received %" PRIu64 ", lost %" PRIu64 "\n",
        what, round, r.frames_per_s, r.frames_per_s * (kPayload + 5) / 1e6, r.received, r.lost);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::string why;
    if (!oxl_test::enter_private_namespace(&why)) {
        std::fprintf(stderr, "bench_transport needs fake adapters: %s\n", why.c_str());
        return 2;
    }
    const uint32_t frames =
        argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 200000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    RawSp sp;
    if (frames == 0 || rounds <= 0 || !sp.load()) {
        std::fprintf(stderr, "usage: bench_transport [frames>0] [rounds>0]\n");
        return 2;
    }
    oxl_test::FakeAdapter adapter;
    const Bytes stream = make_stream(frames);
    std::printf("%u frames of 64 bytes per run, %d rounds\n", frames, rounds);

    std::vector<double> plain, library, traced, send;
    uint64_t trace_lost = 0;
    uint64_t lost = 0;
    for (int round = 1; round <= rounds; ++round) {
        const Result p = run_plain(sp, adapter, stream, frames);
        print("plain loop (2 sp_blocking_read)", round, p);
        const Result l = run_library(adapter, stream, frames);
        print("OXL_over_USB receive -> callback", round, l);
        const Result t = run_library(adapter, stream, frames, "/tmp/bench_transport_trace.log");
        print("OXL_over_USB receive, traced", round, t);
        std::printf("%-34s round %d: %" PRIu64 " trace lines written, %" PRIu64 " lost\n", "",
                    round, t.trace_lines, t.trace_lost);
        traced.push_back(t.frames_per_s);
        trace_lost += t.trace_lost;
        lost += t.lost;
        const Result s = run_send(adapter, frames);
        print("OXL_over_USB send_OXL -> adapter", round, s);
        plain.push_back(p.frames_per_s);
        library.push_back(l.frames_per_s);
        send.push_back(s.frames_per_s);
        lost += p.lost + l.lost + s.lost;
    }
    const double ratio = median(plain) > 0 ? median(library) / median(plain) : 0;
    const double traced_ratio = median(library) > 0 ? median(traced) / median(library) : 0;
    std::printf(
        "median: plain %.0f, receive %.0f (%.0f%% of plain), traced receive %.0f (%.0f%% of "
        "receive), send %.0f frames/s; lost %" PRIu64 ", trace lines lost %" PRIu64 "\n",
        median(plain), median(library), 100 * ratio, median(traced), 100 * traced_ratio,
        median(send), lost, trace_lost);
    return lost == 0 && trace_lost == 0 ? 0 : 1;
}
