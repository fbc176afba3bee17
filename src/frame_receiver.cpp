#include "oxl_api/details/frame_receiver.hpp"

#include "wire.hpp"

namespace oxl_api {

namespace details {

std::vector<uint8_t> encode_frame(uint16_t id_field, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + 5);
    frame.push_back(kFrameStart);
    wire::append_u16(frame, id_field);
    frame.push_back(static_cast<uint8_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(kFrameEnd);
    return frame;
}

std::size_t FrameReceiver::pass(const ReadFn& read, const DispatchFn& dispatch) {
    const uint64_t bytes_before = counts.bytes_read;
    std::vector<uint8_t> header;
    if (synced) {
        header = read(4);
        counts.bytes_read += header.size();
        if (header.size() != 4) {
            // A short header read is an idle spell or lost bytes: hunt for 0xFE from here on.
            counts.short_header += header.empty() ? 0 : 1;
            synced = false;
            return counts.bytes_read - bytes_before;
        }
    } else {
        header = read(1);
        counts.bytes_read += header.size();
        if (header.size() != 1) {
            return counts.bytes_read - bytes_before;
        }
        if (header[0] != kFrameStart) {
            ++counts.bytes_skipped;
            return counts.bytes_read - bytes_before;
        }
        const std::vector<uint8_t> rest = read(3);
        counts.bytes_read += rest.size();
        if (rest.size() != 3) {
            ++counts.short_header;
            return counts.bytes_read - bytes_before;
        }
        header.insert(header.end(), rest.begin(), rest.end());
    }

    // A synced header that does not start with 0xFE is dropped whole, without looking for 0xFE
    // inside it; the byte-by-byte hunt takes over from the next byte.
    if (header[0] != kFrameStart) {
        ++counts.bad_start;
        synced = false;
        return counts.bytes_read - bytes_before;
    }
    const std::size_t length = header[3];
    if (length > kMaxFramePayload) {
        ++counts.overlong;
        synced = false;
        return counts.bytes_read - bytes_before;
    }
    const unsigned id_field = wire::read_u16(&header[1]);

    std::vector<uint8_t> body = read(length + 1);
    counts.bytes_read += body.size();
    if (body.size() != length + 1) {
        ++counts.short_body;
        synced = false;
        return counts.bytes_read - bytes_before;
    }
    frame_time_ns = monotonic_time_ns();
    body.resize(length);  // the end byte is not examined
    ++counts.frames;
    dispatch(static_cast<int>(id_field & 0x3FFFu), body, static_cast<int>(id_field >> 15));
    synced = true;
    return counts.bytes_read - bytes_before;
}

}  // namespace details

}  // namespace oxl_api
