// Feeds an arbitrary byte stream to the adapter receive parser. The first input byte seeds the
// read pattern: some reads come back short, as when the line pauses for the read time-out.
#include <oxl_api/details/frame_receiver.hpp>

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    uint32_t pattern = data[0] | 1u;
    size_t pos = 1;
    oxl_api::details::FrameReceiver receiver;

    const oxl_api::details::FrameReceiver::ReadFn read = [&](size_t n) {
        pattern = pattern * 1103515245u + 12345u;
        size_t take = std::min(n, size - pos);
        if ((pattern >> 28) == 0) {  // about one read in sixteen stops early
            take = std::min(take, static_cast<size_t>((pattern >> 16) % (n + 1)));
        }
        std::vector<uint8_t> out(data + pos, data + pos + take);
        pos += take;
        return out;
    };
    const oxl_api::details::FrameReceiver::DispatchFn dispatch =
        [](int id, const std::vector<uint8_t>& payload, int reply) {
            if (id < 0 || id > 0x3FFF || payload.size() > oxl_api::details::kMaxFramePayload ||
                (reply != 0 && reply != 1)) {
                std::abort();
            }
        };

    // Every pass consumes at least one byte unless the source is exhausted; bound the loop anyway.
    for (size_t guard = 0; pos < size && guard < 4 * size + 16; ++guard) {
        receiver.pass(read, dispatch);
    }
    return 0;
}
