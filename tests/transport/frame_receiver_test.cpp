// Receive parser driven by a scripted byte source: no serial port involved.

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "fake_adapter.hpp"
#include "oxl_api/details/frame_receiver.hpp"

namespace {

using Bytes = std::vector<uint8_t>;
using oxl_api::details::FrameReceiver;
using Message = std::tuple<int, Bytes, int>;  // id, payload, reply flag

// Feeds `chunks` as a serial read sees them: each chunk arrives at once and is followed by an
// idle spell, so a read asking for more than the rest of a chunk returns that rest (the time-out).
std::vector<Message> receive_all(std::deque<Bytes> chunks,
                                 FrameReceiver::Counts* counts = nullptr) {
    FrameReceiver receiver;
    std::vector<Message> got;
    const FrameReceiver::ReadFn read = [&](std::size_t n) {
        Bytes out;
        if (!chunks.empty()) {
            Bytes& chunk = chunks.front();
            const std::size_t take = std::min(n, chunk.size());
            out.assign(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(take));
            chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(take));
            if (chunk.empty() && take < n) {
                chunks.pop_front();
            }
        }
        return out;
    };
    const FrameReceiver::DispatchFn dispatch = [&](int id, const Bytes& payload, int reply) {
        EXPECT_LE(payload.size(), 59u);
        got.emplace_back(id, payload, reply);
    };
    for (int guard = 0; !chunks.empty() && guard < 100000; ++guard) {
        receiver.pass(read, dispatch);
    }
    if (counts != nullptr) {
        *counts = receiver.counts;
    }
    return got;
}

// bytes read, frames, then drops: bad start, over-long, short header, short body; bytes skipped
std::vector<uint64_t> listed(const FrameReceiver::Counts& c) {
    return {c.bytes_read,   c.frames,     c.bad_start,    c.overlong,
            c.short_header, c.short_body, c.bytes_skipped};
}

Bytes concat(std::initializer_list<Bytes> pieces) {
    Bytes all;
    for (const Bytes& piece : pieces) {
        all.insert(all.end(), piece.begin(), piece.end());
    }
    return all;
}

Bytes frame(uint16_t id_field, const Bytes& payload, uint8_t end = 0xFD) {
    return oxl_test::encode_adapter_frame(id_field, payload, end);
}

TEST(FrameReceiver, DecodesFramesAndResynchronisesAfterLossOfStep) {
    Bytes long_payload(59);
    for (std::size_t i = 0; i < long_payload.size(); ++i) {
        long_payload[i] = static_cast<uint8_t>(i);
    }
    // Counts: bytes read, frames, then drops: bad start, over-long, short header, short body;
    // bytes skipped.
    const struct {
        std::string what;
        std::deque<Bytes> chunks;
        std::vector<Message> expected;
        std::vector<uint64_t> counts;
    } cases[] = {
        {"back to back: reply flag, empty payload, any end byte, bit 14 ignored",
         {concat({frame(0x4005, {0x01}), frame(0x8005, {}), frame(0x0007, long_payload, 0x00),
                  frame(0xFFFF, {0x02})})},
         {{5, {0x01}, 0}, {5, {}, 1}, {7, long_payload, 0}, {16383, {0x02}, 1}},
         {81, 4, 0, 0, 0, 0, 0}},
        // The synced header read after frame 1 is 00 FE 02 00: dropped whole, so frame 2, which
        // starts inside it, is lost; the byte hunt skips its other 3 bytes and finds frame 3.
        // (Staying synced would read on in 4-byte steps, out of step with every later frame.)
        {"synced header with a bad start byte",
         {concat({frame(1, {0xA1}), {0x00}, frame(2, {0xA2}), frame(3, {0xA3})})},
         {{1, {0xA1}, 0}, {3, {0xA3}, 0}},
         {19, 2, 1, 0, 0, 0, 3}},
        {"length above 59: header dropped, junk skipped byte by byte",
         {concat({frame(4, {0xA4}), {0xFE, 0x04, 0x00, 60, 0x10, 0x20}, frame(5, {0xA5})})},
         {{4, {0xA4}, 0}, {5, {0xA5}, 0}},
         {18, 2, 0, 1, 0, 0, 2}},
        {"line idles before the body is complete",
         {{0xFE, 0x06, 0x00, 0x05, 0x01, 0x02}, frame(7, {0xA7})},
         {{7, {0xA7}, 0}},
         {12, 1, 0, 0, 0, 1, 0}},
        // An idle spell alone (a header read that returns nothing) is no dropped frame.
        {"idle spell, then junk before the next start byte",
         {frame(8, {0xA8}), concat({{0x33, 0x00}, frame(9, {0xA9})})},
         {{8, {0xA8}, 0}, {9, {0xA9}, 0}},
         {14, 2, 0, 0, 0, 0, 2}},
        {"junk at the very start: the first header read is dropped whole",
         {concat({{0x00, 0xFE, 0x01, 0x00}, frame(3, {0xA3})})},
         {{3, {0xA3}, 0}},
         {10, 1, 1, 0, 0, 0, 0}},
        {"headers cut short, in step and while hunting",
         {{0xFE, 0x07}, {0x00, 0xFE}, frame(7, {0xA7})},
         {{7, {0xA7}, 0}},
         {10, 1, 0, 0, 2, 0, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FrameReceiver::Counts counts;
        EXPECT_EQ(receive_all(c.chunks, &counts), c.expected);
        EXPECT_EQ(listed(counts), c.counts);
    }
}

TEST(FrameReceiver, SurvivesArbitraryBytesAndRecoversAfterAPause) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    const uint8_t interesting[] = {0xFE, 0xFD, 0x00, 59, 60, 0xFF};
    for (int round = 0; round < 2000; ++round) {
        SCOPED_TRACE(round);
        std::deque<Bytes> chunks(static_cast<std::size_t>(1 + byte(rng) % 4));
        for (Bytes& junk : chunks) {
            junk.resize(static_cast<std::size_t>(byte(rng) % 80));
            for (uint8_t& b : junk) {
                b = byte(rng) % 3 == 0 ? interesting[byte(rng) % 6]
                                       : static_cast<uint8_t>(byte(rng));
            }
        }
        // After a pause, two good frames must always come through, whatever came before.
        chunks.push_back(concat({frame(0x8010, {0x01, 0x02}), frame(0x0011, {})}));
        const auto got = receive_all(std::move(chunks));
        ASSERT_GE(got.size(), 2u);
        EXPECT_EQ(got[got.size() - 2], (Message{0x10, {0x01, 0x02}, 1}));
        EXPECT_EQ(got.back(), (Message{0x11, {}, 0}));
    }
}

TEST(FrameReceiver, ReadSourceReturningTooMuchIsALossOfStep) {
    FrameReceiver receiver;
    int dispatched = 0;
    const Bytes too_much = concat({frame(5, {0x01}), frame(5, {0x01})});
    for (int i = 0; i < 10; ++i) {
        receiver.pass([&](std::size_t) { return too_much; },
                      [&](int, const Bytes&, int) { ++dispatched; });
    }
    EXPECT_EQ(dispatched, 0);
    EXPECT_FALSE(receiver.synced);
}

}  // namespace
