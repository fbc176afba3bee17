// Streamed feedback frames through the serial stack into four consumers, each a process of its
// own that reports frames per second and CPU per frame:
//
//   C++ callback     OrvexActuator::set_feedback_callback in this program, run as a consumer
//   Python callback  OrvexActuator.set_feedback_callback (bench_python.py callback)
//   Python record    OrvexActuator.record (bench_python.py record)
//   python-can       python-can's serial interface (bench_python.py python-can)
//
// The first three read the fake adapter's pseudo-terminal (published as a USB port), fed frames
// of actuator 0x20 carrying POSITION_4C (the sequence number) and SPEED_45. python-can reads a
// plain pseudo-terminal fed its own framing (0xAA, timestamp, dlc, id, 8 data bytes starting
// with the sequence number, 0xBB). The feeders write as fast as the line takes the bytes, so the
// consumer sets the pace. Needs root (private mount namespace) and python3-can.
//
// Usage: bench_python_feedback [frames_per_run=100000] [rounds=3]

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.hpp"
#include "fake_adapter.hpp"
#include "oxl_api/orvex_actuator.hpp"
#include "oxl_api/oxl_over_usb.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using Item = oxl_api::OrvexActuator::OXL_Items;

constexpr int kAddress = 0x20;
constexpr uint8_t kFeedbackRateCommand = 0x06;  // followed by the period, 0 when switched off
constexpr std::size_t kWriteChunk = 4096;
constexpr auto kIdleLimit = std::chrono::seconds(3);  // a consumer gives up after this silence

void put_u32(Bytes& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void put_item(Bytes& out, Item item, float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    out.push_back(static_cast<uint8_t>(item));
    put_u32(out, bits);
}

// Adapter frames of two float items each (15 bytes on the line).
Bytes make_adapter_stream(uint32_t frames) {
    Bytes stream;
    Bytes payload;
    for (uint32_t seq = 0; seq < frames; ++seq) {
        payload.clear();
        put_item(payload, Item::POSITION_4C, static_cast<float>(seq));
        put_item(payload, Item::SPEED_45, 0.5f);
        const Bytes frame =
            oxl_test::encode_adapter_frame(oxl_test::adapter_id_field(kAddress, 0), payload);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    return stream;
}

// python-can serial messages of 8 data bytes (19 bytes on the line).
Bytes make_python_can_stream(uint32_t frames) {
    Bytes stream;
    for (uint32_t seq = 0; seq < frames; ++seq) {
        stream.push_back(0xAA);
        put_u32(stream, seq);  // timestamp in ms
        stream.push_back(8);   // dlc
        put_u32(stream, kAddress);
        put_u32(stream, seq);
        put_u32(stream, 0);
        stream.push_back(0xBB);
    }
    return stream;
}

/// What a consumer reports.
struct Result {
    uint64_t frames = 0;
    uint64_t in_order = 0;
    double seconds = 0;  // first frame to last
    double cpu = 0;      // process CPU seconds meanwhile
    bool ok = false;     // a result line arrived
    double rate() const { return frames > 1 && seconds > 0 ? (frames - 1) / seconds : 0; }
    double cpu_us_per_frame() const { return frames > 0 ? cpu * 1e6 / frames : 0; }
};

void print_result(const Result& r) {
    std::printf("result frames=%" PRIu64 " in_order=%" PRIu64 " seconds=%.6f cpu=%.6f\n", r.frames,
                r.in_order, r.seconds, r.cpu);
    std::fflush(stdout);
}

// Consumer mode: the C++ feedback callback of an actuator on `port`.
int consume(const std::string& port, uint64_t count) {
    oxl_api::OXL_over_USB usb(port);
    if (!usb.is_connected()) {
        return 1;
    }
    oxl_api::OrvexActuator actuator(usb, kAddress);
    std::mutex mutex;
    std::condition_variable cv;
    Result result;  // guarded by mutex
    Clock::time_point first;
    Clock::time_point last;
    actuator.set_feedback_callback([&](int, oxl_api::OrvexActuator::FeedbackMap items) {
        const auto it = items.find(Item::POSITION_4C);
        std::lock_guard<std::mutex> lock(mutex);
        if (it != items.end() && it->second == static_cast<float>(result.in_order)) {
            ++result.in_order;
        }
        last = Clock::now();
        if (result.frames++ == 0) {
            first = last;
        }
        if (result.frames >= count) {
            cv.notify_all();
        }
    });
    const double cpu = oxl_bench::process_cpu_seconds();
    actuator.setFeedbackItems({Item::POSITION_4C, Item::SPEED_45});
    actuator.setFeedbackRate(10000);  // the feeder starts once it sees this command
    {
        std::unique_lock<std::mutex> lock(mutex);
        uint64_t seen = 0;
        while (result.frames < count) {
            seen = result.frames;
            if (!cv.wait_for(lock, kIdleLimit, [&] { return result.frames >= count; }) &&
                result.frames == seen) {
                break;
            }
        }
    }
    actuator.set_feedback_callback(nullptr);
    std::lock_guard<std::mutex> lock(mutex);
    result.cpu = oxl_bench::process_cpu_seconds() - cpu;
    result.seconds = std::chrono::duration<double>(last - first).count();
    print_result(result);
    return 0;
}

/// Writes `stream` in chunks on a thread of its own through `write`, which returns false when
/// the line stayed full for too long.
class Feeder {
  public:
    Feeder(const Bytes& stream, std::function<bool(const uint8_t*, std::size_t)> write)
        : thread([&stream, write = std::move(write), this] {
              for (std::size_t at = 0; at < stream.size() && ok; at += kWriteChunk) {
                  ok = write(stream.data() + at, std::min(kWriteChunk, stream.size() - at));
              }
          }) {}
    ~Feeder() { thread.join(); }
    std::atomic<bool> ok{true};

  private:
    std::thread thread;
};

/// A plain pseudo-terminal in raw mode; the slave side stays open so that the master never sees
/// a hang-up between consumers.
class PlainPty {
  public:
    PlainPty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            return;
        }
        name = ::ptsname(master);
        slave = ::open(name.c_str(), O_RDWR | O_NOCTTY);
        termios tio{};
        if (slave >= 0 && ::tcgetattr(slave, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(slave, TCSANOW, &tio);
        }
    }
    ~PlainPty() {
        if (slave >= 0) {
            ::close(slave);
        }
        if (master >= 0) {
            ::close(master);
        }
    }
    PlainPty(const PlainPty&) = delete;
    PlainPty& operator=(const PlainPty&) = delete;

    bool ok() const { return slave >= 0; }
    const std::string& path() const { return name; }

    /// Writes all bytes; false when the line took nothing for 2 s.
    bool write(const uint8_t* data, std::size_t size) const {
        while (size > 0) {
            pollfd p{master, POLLOUT, 0};
            if (::poll(&p, 1, 2000) <= 0) {
                return false;
            }
            const ssize_t n = ::write(master, data, size);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) {
                    continue;
                }
                return false;
            }
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

  private:
    int master = -1;
    int slave = -1;
    std::string name;
};

std::string self_path() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string load_average() {
    char buffer[128] = {};
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fgets(buffer, sizeof buffer, f) == nullptr) {
            buffer[0] = '\0';
        }
        std::fclose(f);
    }
    std::string text(buffer);
    const auto cut = text.find(' ', text.find(' ', text.find(' ') + 1) + 1);
    return text.substr(0, cut);
}

// Waits up to `timeout` for the host's command switching streaming on.
bool wait_for_stream_start(oxl_test::FakeAdapter& adapter, std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    while (Clock::now() < until) {
        const auto frame = adapter.read_frame(std::chrono::milliseconds(100));
        if (frame && frame->id() == kAddress && frame->payload.size() == 5 &&
            frame->payload[0] == kFeedbackRateCommand &&
            (frame->payload[1] | frame->payload[2] | frame->payload[3] | frame->payload[4]) != 0) {
            return true;
        }
    }
    return false;
}

// Runs `command`; `start` waits for the consumer to be ready (it may read the consumer's output)
// and returns false when it is not; then `stream` is written through `write` and the consumer's
// result line read.
Result run_consumer(const std::string& command, const std::function<bool(FILE*)>& start,
                    const Bytes& stream,
                    const std::function<bool(const uint8_t*, std::size_t)>& write) {
    Result result;
    FILE* out = ::popen(command.c_str(), "r");
    if (out == nullptr) {
        return result;
    }
    bool fed = false;
    if (start(out)) {
        Feeder feeder(stream, write);
        fed = true;
    }
    char line[256];
    while (std::fgets(line, sizeof line, out) != nullptr) {
        if (std::sscanf(line, "result frames=%" SCNu64 " in_order=%" SCNu64 " seconds=%lf cpu=%lf",
                        &result.frames, &result.in_order, &result.seconds, &result.cpu) == 4) {
            result.ok = fed;
        }
    }
    ::pclose(out);
    return result;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double best(const std::vector<double>& v, bool highest) {
    return highest ? *std::max_element(v.begin(), v.end()) : *std::min_element(v.begin(), v.end());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--consume") {
        return consume(argv[2], std::strtoull(argv[3], nullptr, 10));
    }
    std::string why;
    if (!oxl_test::enter_private_namespace(&why)) {
        std::fprintf(stderr, "bench_python_feedback needs fake adapters: %s\n", why.c_str());
        return 2;
    }
    const uint32_t frames =
        argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 100000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (frames < 2 || frames > (1u << 24) || rounds <= 0) {
        std::fprintf(stderr, "usage: bench_python_feedback [2 <= frames <= 2^24] [rounds>0]\n");
        return 2;
    }
    oxl_test::FakeAdapter adapter;
    PlainPty plain;
    if (!plain.ok()) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 2;
    }
    ::setenv("PYTHONPATH", OXL_BENCH_PYTHONPATH, 1);
    const std::string python = std::string(OXL_BENCH_PYTHON) + " " + OXL_BENCH_PYTHON_SCRIPT;
    // The package opens the fake adapter with libserialport, which needs the modem-line shim.
    const std::string python_oxl = std::string("LD_PRELOAD=") + OXL_BENCH_PRELOAD + " " + python;
    const std::string count = std::to_string(frames);
    const Bytes adapter_stream = make_adapter_stream(frames);
    const Bytes can_stream = make_python_can_stream(frames);
    auto adapter_write = [&adapter](const uint8_t* data, std::size_t size) {
        return adapter.write_raw(Bytes(data, data + size));
    };
    auto plain_write = [&plain](const uint8_t* data, std::size_t size) {
        return plain.write(data, size);
    };
    auto streaming_started = [&adapter](FILE*) {
        return wait_for_stream_start(adapter, std::chrono::seconds(20));
    };
    auto printed_ready = [](FILE* out) {
        char line[64];
        return std::fgets(line, sizeof line, out) != nullptr && std::strncmp(line, "ready", 5) == 0;
    };

    std::printf("%u frames per consumer and round, %d rounds; load average %s\n", frames, rounds,
                load_average().c_str());
    const char* names[4] = {"C++ callback", "Python callback", "Python record", "python-can"};
    std::vector<double> rates[4], cpus[4];
    bool lost = false;
    for (int round = 1; round <= rounds; ++round) {
        Result r[4];
        adapter.read_frames(1000000, std::chrono::milliseconds(0));  // earlier commands
        r[0] = run_consumer(self_path() + " --consume " + adapter.port_name() + " " + count,
                            streaming_started, adapter_stream, adapter_write);
        adapter.read_frames(1000000, std::chrono::milliseconds(0));
        r[1] = run_consumer(python_oxl + " callback " + adapter.port_name() + " " + count,
                            streaming_started, adapter_stream, adapter_write);
        // Three times as long as the C++ consumer needed, so that a slower recording still sees
        // every frame.
        const double record_seconds = r[0].rate() > 0 ? 1.0 + 3.0 * frames / r[0].rate() : 30.0;
        adapter.read_frames(1000000, std::chrono::milliseconds(0));
        r[2] = run_consumer(python_oxl + " record " + adapter.port_name() + " " + count + " " +
                                std::to_string(record_seconds),
                            streaming_started, adapter_stream, adapter_write);
        r[3] = run_consumer(python + " python-can " + plain.path() + " " + count, printed_ready,
                            can_stream, plain_write);
        for (int i = 0; i < 4; ++i) {
            std::printf("round %d  %-16s %9.0f frames/s  %6.2f us CPU/frame  received %" PRIu64
                        ", in order %" PRIu64 "%s\n",
                        round, names[i], r[i].rate(), r[i].cpu_us_per_frame(), r[i].frames,
                        r[i].in_order, r[i].ok ? "" : "  (consumer failed)");
            lost = lost || !r[i].ok || r[i].in_order != frames;
            rates[i].push_back(r[i].rate());
            cpus[i].push_back(r[i].cpu_us_per_frame());
        }
        std::fflush(stdout);
    }
    // Other load only ever slows a consumer down, so the best round is shown next to the median.
    std::printf("over %d rounds (median, best); load average %s\n", rounds, load_average().c_str());
    for (int i = 0; i < 4; ++i) {
        std::printf("  %-16s %9.0f, %9.0f frames/s  %6.2f, %6.2f us CPU/frame\n", names[i],
                    median(rates[i]), best(rates[i], true), median(cpus[i]), best(cpus[i], false));
    }
    const auto check = [](const char* what, double ratio, double target) {
        std::printf("%s: %.2f (target >= %.1f: %s)\n", what, ratio, target,
                    ratio >= target ? "met" : "MISSED");
    };
    check("Python callback / python-can, medians", median(rates[1]) / median(rates[3]), 2);
    check("Python callback / python-can, best", best(rates[1], true) / best(rates[3], true), 2);
    check("Python record / C++ callback, medians", median(rates[2]) / median(rates[0]), 0.9);
    check("Python record / C++ callback, best", best(rates[2], true) / best(rates[0], true), 0.9);
    if (lost) {
        std::printf("FRAMES LOST or a consumer failed\n");
    }
    return lost ? 1 : 0;
}
