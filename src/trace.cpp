#include "oxl_api/trace.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <utility>

#include "log.hpp"
#include "oxl_api/oxl.hpp"
#include "trace_internal.hpp"

namespace oxl_api {
namespace {

constexpr uint32_t kReceivedBit = 1u << 28;
constexpr uint32_t kReplyBit = 1u << 15;
constexpr uint32_t kIdMask = 0x3FFF;
constexpr int64_t kNsPerSecond = 1000000000;

// The writer writes what has arrived every 20 ms, or sooner when the buffer is half full: waking
// it for every message would cost the receive thread a system call per message.
constexpr auto kWriterPeriod = std::chrono::milliseconds(20);

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

std::string hex32(uint32_t value) {  // for messages
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

int64_t wall_time_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void TraceRecord::set_payload(const uint8_t* bytes, std::size_t count) {
    const std::size_t n = std::min(count, data.size());
    std::copy(bytes, bytes + n, data.begin());
    size = static_cast<uint8_t>(n);
}

uint32_t trace_can_id(const TraceRecord& message) {
    const uint32_t id = message.id & kIdMask;
    if (message.direction == TraceDirection::RECEIVED) {
        return kReceivedBit | (message.reply_flag != 0 ? kReplyBit : 0u) | id;
    }
    return ((static_cast<uint32_t>(message.host_id) & kIdMask) << 14) | id;
}

namespace {

// Appends the line for `message` (without a line end) to `out`. Built by hand, digit by digit,
// without a temporary string: the writer thread formats every traced message with it.
void append_candump_line(std::string& out, const TraceRecord& message, int64_t wall_time_ns,
                         const std::string& interface_name) {
    static const char kDigits[] = "0123456789ABCDEF";
    const int64_t time = std::max<int64_t>(wall_time_ns, 0);
    char buffer[16 + 8 + 2 * 64 + 40];
    char* p = buffer;
    *p++ = '(';
    char seconds[24];
    int n = 0;
    for (int64_t value = time / kNsPerSecond; n == 0 || value > 0; value /= 10) {
        seconds[n++] = static_cast<char>('0' + value % 10);
    }
    while (n > 0) {
        *p++ = seconds[--n];
    }
    *p++ = '.';
    int64_t micros = time % kNsPerSecond / 1000;
    for (int i = 5; i >= 0; --i) {
        p[i] = static_cast<char>('0' + micros % 10);
        micros /= 10;
    }
    p += 6;
    *p++ = ')';
    *p++ = ' ';
    out.append(buffer, static_cast<std::size_t>(p - buffer));
    out += interface_name;
    p = buffer;
    *p++ = ' ';
    const uint32_t can_id = trace_can_id(message);
    for (int shift = 28; shift >= 0; shift -= 4) {
        *p++ = kDigits[(can_id >> shift) & 0x0F];
    }
    *p++ = '#';
    // Up to 8 bytes fit a classic frame; more take the CAN FD form with flags 0.
    if (message.size > 8) {
        *p++ = '#';
        *p++ = '0';
    }
    for (std::size_t i = 0; i < message.size; ++i) {
        *p++ = kDigits[message.data[i] >> 4];
        *p++ = kDigits[message.data[i] & 0x0F];
    }
    out.append(buffer, static_cast<std::size_t>(p - buffer));
}

}  // namespace

std::string format_candump_line(const TraceRecord& message, int64_t wall_time_ns,
                                const std::string& interface_name) {
    std::string line;
    append_candump_line(line, message, wall_time_ns, interface_name);
    return line;
}

bool parse_candump_line(const std::string& line, TraceRecord& message, std::string& interface_name,
                        std::string& error) {
    std::size_t end = line.size();
    while (end > 0 && (line[end - 1] == '\n' || line[end - 1] == '\r' || line[end - 1] == ' ' ||
                       line[end - 1] == '\t')) {
        --end;
    }
    std::size_t pos = 0;
    const auto fail = [&error](const std::string& why) {
        error = why;
        return false;
    };

    // "(seconds.fraction)"
    if (pos >= end || line[pos] != '(') {
        return fail("not a candump log line (it must start with '(')");
    }
    ++pos;
    int64_t seconds = 0;
    std::size_t digits = 0;
    while (pos < end && is_digit(line[pos])) {
        if (++digits > 10) {
            return fail("time out of range");
        }
        seconds = seconds * 10 + (line[pos++] - '0');
    }
    if (digits == 0 || pos >= end || line[pos] != '.') {
        return fail("bad time (expected seconds.microseconds)");
    }
    ++pos;
    int64_t fraction_ns = 0;
    int64_t scale = kNsPerSecond;
    digits = 0;
    while (pos < end && is_digit(line[pos])) {
        if (++digits > 9) {
            return fail("bad time (more than 9 decimals)");
        }
        scale /= 10;
        fraction_ns += (line[pos++] - '0') * scale;
    }
    if (digits == 0 || pos >= end || line[pos] != ')') {
        return fail("bad time (expected seconds.microseconds)");
    }
    ++pos;
    // Keeps seconds * 1e9 within 64 bits.
    if (seconds > 9000000000LL) {
        return fail("time out of range");
    }

    // " interface "
    if (pos >= end || line[pos] != ' ') {
        return fail("expected a space after the time");
    }
    ++pos;
    const std::size_t name_start = pos;
    while (pos < end && line[pos] != ' ' && line[pos] != '\t') {
        ++pos;
    }
    if (pos == name_start || pos - name_start > 15) {
        return fail("bad interface name");
    }
    std::string name = line.substr(name_start, pos - name_start);
    if (pos >= end || line[pos] != ' ') {
        return fail("expected a frame after the interface name");
    }
    ++pos;

    // "id#data" or "id##Fdata"
    const std::size_t id_start = pos;
    uint32_t can_id = 0;
    while (pos < end && line[pos] != '#') {
        const int v = hex_value(line[pos]);
        if (v < 0) {
            return fail("bad hex digit in the CAN id");
        }
        if (pos - id_start >= 8) {
            return fail("CAN id longer than 8 hex digits");
        }
        can_id = (can_id << 4) | static_cast<uint32_t>(v);
        ++pos;
    }
    const std::size_t id_digits = pos - id_start;
    if (pos >= end) {
        return fail("no '#' between CAN id and data");
    }
    if (id_digits == 3) {
        return fail("standard 11-bit frame: this library logs extended ids only");
    }
    if (id_digits != 8) {
        return fail("CAN id must have 8 hex digits");
    }
    if (can_id > 0x1FFFFFFFu) {
        return fail("CAN id " + hex32(can_id) + " beyond 29 bits");
    }
    ++pos;  // '#'
    std::size_t max_bytes = 8;
    if (pos < end && line[pos] == '#') {
        ++pos;
        if (pos >= end || hex_value(line[pos]) < 0) {
            return fail("CAN FD frame without its flags digit");
        }
        ++pos;
        max_bytes = 64;
    } else if (pos < end && (line[pos] == 'R' || line[pos] == 'r')) {
        return fail("remote frame: carries no message");
    }
    std::array<uint8_t, 64> bytes{};
    std::size_t count = 0;
    while (pos < end) {
        const int high = hex_value(line[pos]);
        if (high < 0) {
            return fail("bad hex digit in the data");
        }
        if (pos + 1 >= end) {
            return fail("odd number of hex digits in the data");
        }
        const int low = hex_value(line[pos + 1]);
        if (low < 0) {
            return fail("bad hex digit in the data");
        }
        if (count >= max_bytes) {
            return fail(max_bytes == 8 ? "more than 8 data bytes in a classic frame"
                                       : "more than 64 data bytes");
        }
        bytes[count++] = static_cast<uint8_t>(high << 4 | low);
        pos += 2;
    }
    if (count > OXL::kMaxPayloadSize) {
        return fail(std::to_string(count) + " data bytes: a message carries at most 59");
    }

    TraceRecord out;
    out.time_ns = seconds * kNsPerSecond + fraction_ns;
    out.id = static_cast<uint16_t>(can_id & kIdMask);
    if ((can_id & kReceivedBit) != 0) {
        if ((can_id & ~(kReceivedBit | kReplyBit | kIdMask)) != 0) {
            return fail("CAN id " + hex32(can_id) + " is not one this library logs");
        }
        out.direction = TraceDirection::RECEIVED;
        out.reply_flag = (can_id & kReplyBit) != 0 ? 1 : 0;
    } else {
        out.direction = TraceDirection::SENT;
        out.host_id = static_cast<uint16_t>((can_id >> 14) & kIdMask);
        if (!OXL::check_oxl_id_range(out.id)) {
            return fail("OXL id " + std::to_string(out.id) + " out of range for a sent message");
        }
        if (count == 0) {
            return fail("a sent message carries 1 to 59 bytes");
        }
    }
    out.set_payload(bytes.data(), count);
    message = out;
    interface_name = std::move(name);
    return true;
}

// ---- CandumpFileSink ----

std::shared_ptr<CandumpFileSink> CandumpFileSink::open(const std::string& path,
                                                       const std::string& interface_name,
                                                       std::size_t capacity) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        details::log_line(std::cerr, LogSeverity::ERROR, "Cannot open trace file " + path);
        return nullptr;
    }
    return std::shared_ptr<CandumpFileSink>(
        new CandumpFileSink(file, path, interface_name, std::max<std::size_t>(capacity, 1)));
}

CandumpFileSink::CandumpFileSink(std::FILE* file, std::string path, std::string interface_name,
                                 std::size_t capacity)
    : file_path(std::move(path)),
      interface(std::move(interface_name)),
      capacity(capacity),
      wall_start_ns(wall_time_now_ns()),
      mono_start_ns(monotonic_time_ns()),
      file(file) {
    pending.reserve(capacity);
    writer = std::thread([this] { writer_loop(); });
}

CandumpFileSink::~CandumpFileSink() {
    close();
}

void CandumpFileSink::record(const TraceRecord& message) noexcept {
    bool half_full = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping || pending.size() >= capacity) {
            ++lost_count;
            return;
        }
        pending.push_back(message);  // within the reserved capacity: never allocates
        half_full = pending.size() == (capacity + 1) / 2;
    }
    if (half_full) {
        wake.notify_one();
    }
}

void CandumpFileSink::writer_loop() {
    std::vector<TraceRecord> batch;
    batch.reserve(capacity);
    std::string text;
    for (;;) {
        bool last = false;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait_for(lock, kWriterPeriod,
                          [this] { return pending.size() >= (capacity + 1) / 2 || stopping; });
            batch.swap(pending);
            last = stopping;
        }
        if (!batch.empty()) {
            text.clear();
            for (const TraceRecord& message : batch) {
                append_candump_line(text, message,
                                    wall_start_ns + (message.time_ns - mono_start_ns), interface);
                text += '\n';
            }
            std::fwrite(text.data(), 1, text.size(), file);
            std::fflush(file);
            const uint64_t n = batch.size();
            batch.clear();
            std::lock_guard<std::mutex> lock(mutex);
            written_count += n;
        }
        if (last) {
            // `stopping` was seen with the buffer taken in the same hold of the lock, and
            // nothing is queued once it is set: everything is written.
            return;
        }
    }
}

void CandumpFileSink::close() {
    std::lock_guard<std::mutex> closing(close_mutex);
    if (!writer.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    writer.join();
    std::fclose(file);
    file = nullptr;
    const uint64_t lost_lines = lost();
    if (lost_lines > 0) {
        details::log_line(
            std::cerr, LogSeverity::WARNING,
            "Trace " + file_path + ": " + std::to_string(lost_lines) + " lines lost (buffer full)");
    }
}

uint64_t CandumpFileSink::lost() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lost_count;
}

uint64_t CandumpFileSink::written() const {
    std::lock_guard<std::mutex> lock(mutex);
    return written_count;
}

namespace details {
namespace {

// Closes the environment's sink when the process ends, even if a transport that was never
// destroyed still holds it: what was recorded reaches the file and lost lines are reported.
struct EnvironmentSink {
    std::shared_ptr<CandumpFileSink> sink;
    EnvironmentSink() {
        const char* path = std::getenv("OXL_API_TRACE");
        if (path != nullptr && *path != '\0') {
            sink = CandumpFileSink::open(path);
        }
    }
    ~EnvironmentSink() {
        if (sink) {
            sink->close();
        }
    }
};

}  // namespace

std::shared_ptr<TraceSink> environment_trace_sink() {
    static EnvironmentSink environment;  // made once, on first use, safely against races
    return environment.sink;
}

}  // namespace details
}  // namespace oxl_api
