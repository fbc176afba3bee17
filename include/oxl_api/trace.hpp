#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "oxl_api/export.hpp"

namespace oxl_api {

/// Which way a traced message went.
enum class TraceDirection : uint8_t {
    /// Host to device: a message a transport handed to its line or bus.
    SENT = 0,
    /// Device to host: a message a transport received (whether or not a callback took it).
    RECEIVED = 1,
};

/// One message as a transport saw it. Plain data without allocation, so that the receive thread
/// can hand it over cheaply.
struct OXL_API_EXPORT TraceRecord {
    /// Time of the message in nanoseconds: on the transport's clock (`monotonic_time_ns` for the
    /// adapter; the bus clock for the simulated transport) when recorded; the wall-clock time
    /// (since the Unix epoch, microsecond precision) when read back from a log line.
    int64_t time_ns = 0;
    TraceDirection direction = TraceDirection::SENT;
    /// The device's OXL id: the target of a sent message, the source of a received one
    /// (0..16383).
    uint16_t id = 0;
    /// Sent messages: the sending endpoint's id (`host_id` & 0x3FFF). Received: 0.
    uint16_t host_id = 0;
    /// Received messages: the reply flag (0 or 1). Sent: 0.
    uint8_t reply_flag = 0;
    /// Payload bytes in use, 0..59.
    uint8_t size = 0;
    std::array<uint8_t, 59> data{};

    /// Copies `size` bytes of `bytes` (at most 59) into the record.
    void set_payload(const uint8_t* bytes, std::size_t count);
    /// The payload as a vector.
    std::vector<uint8_t> payload() const { return {data.begin(), data.begin() + size}; }
};

/// Receives every message of the transports it is attached to (`OXL::set_trace_sink`).
///
/// `record` runs on the thread that sent the message or on the transport's receive thread, with
/// no lock of the transport held, possibly on several threads at once. It must not block: the
/// receive thread waits for it.
class OXL_API_EXPORT TraceSink {
  public:
    virtual ~TraceSink() = default;
    /// Takes one message. Must be thread-safe and must not block.
    virtual void record(const TraceRecord& message) noexcept = 0;
};

/// The 29-bit extended CAN id under which a message is logged. Sent: the TWX identifier,
/// `host_id << 14 | id` (bit 28 clear). Received: 0x10000000 | `reply_flag << 15` | `id`
/// (bit 28 set). docs/tracing.md gives the whole mapping.
OXL_API_EXPORT uint32_t trace_can_id(const TraceRecord& message);

/// One candump log line (`(seconds.microseconds) interface id#data`, without a line end) for
/// `message` at the wall-clock time `wall_time_ns` (nanoseconds since the Unix epoch, printed to
/// the microsecond). The id has 8 hex digits (an extended frame); a payload of more than 8 bytes
/// takes the CAN FD form `id##0data`. Hex digits are upper case, as candump writes them.
OXL_API_EXPORT std::string format_candump_line(const TraceRecord& message, int64_t wall_time_ns,
                                               const std::string& interface_name);

/// Reads one candump log line written by `format_candump_line` (trailing spaces, a carriage
/// return and a line end are allowed). True with `message` filled in (its `time_ns` is the
/// line's wall-clock time in nanoseconds) and `interface_name` set; false with a one-line reason
/// in `error` for anything else: not a log line, a bad time, odd or non-hex data, a standard
/// (11-bit) or remote frame, an id this library does not write, an id or payload size outside
/// what a message may carry. Never throws for any input.
OXL_API_EXPORT bool parse_candump_line(const std::string& line, TraceRecord& message,
                                       std::string& interface_name, std::string& error);

/// The built-in trace sink: writes each message as one candump log line (`format_candump_line`)
/// to a file, from a writer thread of its own.
///
/// `record` only copies the message into a bounded buffer (taking the sink's lock briefly), so a
/// transport never waits for the disk; when the buffer is full the message is not written and
/// counted in `lost`. The log's times are the wall-clock time at which the sink was created plus
/// the message's time since then on the monotonic clock, so they never jump with the wall clock.
///
/// Creates the writer thread on construction; `close` (or the destructor) writes what is
/// buffered, stops and joins it, closes the file and reports lost lines on standard error.
class OXL_API_EXPORT CandumpFileSink : public TraceSink {
  public:
    /// Default number of messages the buffer holds.
    static constexpr std::size_t kDefaultCapacity = 16384;

    /// Creates (truncates) `path` and starts the writer thread. Returns null, with "Cannot open
    /// trace file <path>" on standard error, when the file cannot be created. Lines name the
    /// interface `interface_name`; the buffer holds `capacity` messages (at least 1).
    static std::shared_ptr<CandumpFileSink> open(const std::string& path,
                                                 const std::string& interface_name = "oxl0",
                                                 std::size_t capacity = kDefaultCapacity);
    /// Calls `close`.
    ~CandumpFileSink() override;

    CandumpFileSink(const CandumpFileSink&) = delete;
    CandumpFileSink& operator=(const CandumpFileSink&) = delete;

    /// Queues `message` for the writer thread, or counts it lost when the buffer is full or the
    /// sink is closed. Never blocks on the disk.
    void record(const TraceRecord& message) noexcept override;

    /// Writes out what is buffered, stops and joins the writer thread and closes the file. When
    /// messages were lost, writes "Trace <path>: <n> lines lost (buffer full)" on standard error.
    /// Later messages are counted lost. Idempotent; not to be called from `record`'s callers
    /// while they hold a lock that the writer might need (it takes none of the library's).
    void close();

    /// Messages not written because the buffer was full or the sink closed.
    uint64_t lost() const;
    /// Lines written to the file so far.
    uint64_t written() const;
    /// The file's path.
    const std::string& path() const { return file_path; }

  private:
    CandumpFileSink(std::FILE* file, std::string path, std::string interface_name,
                    std::size_t capacity);
    void writer_loop();

    const std::string file_path;
    const std::string interface;
    const std::size_t capacity;
    /// Wall-clock and monotonic times taken together at creation: the log's time base.
    const int64_t wall_start_ns;
    const int64_t mono_start_ns;

    /// Guards `pending`, `lost_count`, `written_count` and `stopping`.
    mutable std::mutex mutex;
    /// Signalled when `pending` becomes half full and when `stopping` is set.
    std::condition_variable wake;
    /// Messages waiting for the writer. Never grows beyond `capacity` (reserved up front).
    std::vector<TraceRecord> pending;
    uint64_t lost_count = 0;
    uint64_t written_count = 0;
    bool stopping = false;
    /// Written by the writer thread only while it runs; closed by `close` after the join.
    std::FILE* file;
    /// Serialises `close` callers.
    std::mutex close_mutex;
    /// Declared last: started when every field above is ready.
    std::thread writer;
};

}  // namespace oxl_api
