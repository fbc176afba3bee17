#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "oxl_api/export.hpp"
#include "oxl_api/oxl.hpp"

namespace oxl_api {
namespace details {

/// First byte of every adapter frame, in both directions.
inline constexpr uint8_t kFrameStart = 0xFE;
/// Last byte of every frame the host writes; on receipt it is read and not examined.
inline constexpr uint8_t kFrameEnd = 0xFD;
/// Largest payload of one adapter frame: one OXL message (a frame is payload + 5 bytes, at
/// most 64).
inline constexpr std::size_t kMaxFramePayload = OXL::kMaxPayloadSize;

/// Builds one adapter frame: 0xFE, `id_field` little-endian, the payload size as one byte, the
/// payload, 0xFD. The caller keeps the payload within `kMaxFramePayload` bytes (a larger size
/// would not fit the length byte); nothing is checked here.
OXL_API_EXPORT std::vector<uint8_t> encode_frame(uint16_t id_field,
                                                 const std::vector<uint8_t>& payload);

/// Receive parser for the adapter's byte stream, one frame attempt per `pass`, written against a
/// read source so that it runs the same over a serial port, a scripted test source or a fuzzer.
///
/// Frame on receipt: 0xFE, 16-bit identifier field (little-endian; bits 0-13 the sender's OXL id,
/// bit 15 the reply flag), length L (0..59), L payload bytes, one end byte. While `synced`, a pass
/// reads the 4-byte header in one read; after any loss of step (short read, bad start byte, L
/// above 59, short body) it hunts byte by byte for 0xFE. Corrupt input is dropped silently and
/// counted in `counts`.
///
/// Not thread-safe: one thread drives a receiver. It holds no buffer between passes.
class OXL_API_EXPORT FrameReceiver {
  public:
    /// Read source: returns at most n bytes, fewer (possibly none) when the stream paused. A
    /// source that returns more than n bytes is treated as a loss of step.
    using ReadFn = std::function<std::vector<uint8_t>(std::size_t n)>;
    /// Receives one complete frame: OXL id (0..16383), payload (0..59 bytes), reply flag (0/1).
    using DispatchFn = std::function<void(int id, const std::vector<uint8_t>& payload, int reply)>;

    /// Runs one pass: reads one header and body through `read` (one or two reads while synced,
    /// up to three otherwise) and calls `dispatch` once if they form a frame. Blocks only inside
    /// `read`; `dispatch` runs on the calling thread. Returns the count of bytes that `read`
    /// returned. An exception from `read` or `dispatch` propagates; the caller then clears
    /// `synced` and may go on with further passes.
    std::size_t pass(const ReadFn& read, const DispatchFn& dispatch);

    /// What the passes have seen, counted since the receiver was made.
    struct Counts {
        /// Bytes that `read` returned.
        uint64_t bytes_read = 0;
        /// Complete frames handed to `dispatch`.
        uint64_t frames = 0;
        /// Headers read in step whose first byte was not 0xFE, dropped whole.
        uint64_t bad_start = 0;
        /// Headers whose length byte was above 59.
        uint64_t overlong = 0;
        /// Headers cut short: a header read that returned some bytes but not 4 (or 0xFE found
        /// while hunting, then fewer than 3 more). A read that returned nothing (an idle line)
        /// is not counted.
        uint64_t short_header = 0;
        /// Bodies cut short.
        uint64_t short_body = 0;
        /// Bytes other than 0xFE skipped while hunting.
        uint64_t bytes_skipped = 0;
    };

    /// True when the next header is expected right at the next byte (read 4 bytes at once);
    /// false while hunting for 0xFE. True initially.
    bool synced = true;
    /// Counters of all passes so far.
    Counts counts;
    /// `monotonic_time_ns` taken right after the last byte of the frame being dispatched was
    /// read, before `dispatch` is called: the frame's receive time, for `dispatch` to read.
    int64_t frame_time_ns = 0;
};

}  // namespace details
}  // namespace oxl_api
