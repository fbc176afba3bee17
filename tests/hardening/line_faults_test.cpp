// Faults on the line, injected through the real serial stack (libserialport on a pseudo-terminal
// published as a fake USB adapter): the adapter vanishing mid-stream, corrupt and truncated frames
// mixed into a full-rate stream, many senders while frames stream in, and a line the adapter stops
// draining.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "hardening_util.hpp"
#include "oxl_api/details/frame_receiver.hpp"
#include "oxl_api/oxl_over_usb.hpp"

namespace {

using namespace hardening;
using oxl_api::OXL_over_USB;
using oxl_api::details::FrameReceiver;

TEST(LineFaults, AdapterVanishingMidStreamLeavesTheTransportUpUntilDisconnect) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    FakeAdapter adapter;
    Inbox inbox;
    OXL_over_USB usb(adapter.port_name());
    EXPECT_FALSE(usb.auto_reconnect());  // off by default
    usb.setCallback(5, inbox.callback());
    StreamFeeder feeder(adapter, 5, 2000);
    ASSERT_GE(sequences(inbox, 200).size(), 200u);

    adapter.unplug();
    // Reads now fail at once; the polling thread keeps going and the transport stays up. (Coming
    // back after a replug, by hand or by itself, is the reconnection tests' subject.)
    EXPECT_FALSE(eventually([&] { return !usb.is_connected(); }, 1s));
    EXPECT_TRUE(usb.send_OXL(5, {0x01}));  // port still open: the failed write is not reported
    const auto stop_start = std::chrono::steady_clock::now();
    usb.disconnect();
    EXPECT_LT(std::chrono::steady_clock::now() - stop_start, 3s);
    EXPECT_FALSE(usb.is_connected());
}

// Numbered good frames (payload: 4-byte sequence number, then filler) with faults between them:
// junk, truncated frames, over-long headers, stray start bytes. Starts and ends with clean frames.
struct FaultyStream {
    Bytes bytes;
    std::vector<Bytes> good_payloads;
    std::size_t faults = 0;
};

FaultyStream make_faulty_stream(uint32_t good_frames, uint32_t seed) {
    std::mt19937 rng(seed);
    auto uniform = [&rng](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(rng);
    };
    FaultyStream stream;
    auto append_random = [&](int count, Bytes& out) {
        for (int i = 0; i < count; ++i) {
            out.push_back(static_cast<uint8_t>(uniform(0, 255)));
        }
    };
    auto append = [&stream](const Bytes& piece) {
        stream.bytes.insert(stream.bytes.end(), piece.begin(), piece.end());
    };
    for (uint32_t seq = 0; seq < good_frames + 20; ++seq) {
        Bytes payload;
        put_u32(payload, seq);
        append_random(uniform(0, 55), payload);
        const auto id_field = static_cast<uint16_t>(seq % 2 == 0 ? 0x0005 : 0x8005);
        // An end byte other than 0xFD is not examined: still a good frame.
        const auto end = static_cast<uint8_t>(uniform(0, 19) == 0 ? uniform(0, 255) : 0xFD);
        append(oxl_test::encode_adapter_frame(id_field, payload, end));
        stream.good_payloads.push_back(payload);
        if (seq == 0 || seq >= good_frames - 1 || uniform(0, 3) != 0) {
            continue;
        }
        ++stream.faults;
        switch (uniform(0, 3)) {
            case 0:  // junk
                append_random(uniform(1, 24), stream.bytes);
                break;
            case 1: {  // a frame cut short: header, then fewer than length + 1 body bytes
                const int length = uniform(4, 59);
                append({0xFE, 0x05, 0x00, static_cast<uint8_t>(length)});
                append_random(uniform(0, length), stream.bytes);
                break;
            }
            case 2:  // header with a length above 59
                append({0xFE, static_cast<uint8_t>(uniform(0, 255)),
                        static_cast<uint8_t>(uniform(0, 255)),
                        static_cast<uint8_t>(uniform(60, 255))});
                break;
            default:  // a stray start byte
                append({0xFE});
                break;
        }
    }
    return stream;
}

// What the receive parser must deliver for id 5 (and count) when every read returns the full
// count asked for, as reads do while the line is busy.
std::vector<Inbox::Entry> parse_offline(const Bytes& bytes, FrameReceiver::Counts& counts) {
    FrameReceiver receiver;
    std::size_t at = 0;
    std::vector<Inbox::Entry> out;
    const FrameReceiver::ReadFn read = [&](std::size_t n) {
        const std::size_t take = std::min(n, bytes.size() - at);
        at += take;
        return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at - take),
                     bytes.begin() + static_cast<std::ptrdiff_t>(at));
    };
    while (at < bytes.size()) {
        receiver.pass(read, [&](int id, const Bytes& payload, int reply) {
            if (id == 5) {
                out.emplace_back(id, payload, reply);
            }
        });
    }
    counts = receiver.counts;
    return out;
}

TEST(LineFaults, GarbageAndTruncatedFramesAmongGoodOnesAtFullRate) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    const FaultyStream stream = make_faulty_stream(10000, 20240611);
    FrameReceiver::Counts parsed;
    const std::vector<Inbox::Entry> expected = parse_offline(stream.bytes, parsed);
    std::set<Bytes> delivered;
    for (const Inbox::Entry& m : expected) {
        delivered.insert(std::get<1>(m));
    }
    std::size_t lost = 0;
    for (const Bytes& payload : stream.good_payloads) {
        lost += delivered.count(payload) == 0 ? 1 : 0;
    }
    // The faults must cost some frames (else this test exercises nothing), and resynchronisation
    // must keep the loss to the neighbours of faults.
    EXPECT_GT(lost, 0u);
    EXPECT_LT(lost, stream.faults * 2);

    FakeAdapter adapter;
    Inbox inbox;
    OXL_over_USB usb(adapter.port_name());
    usb.setCallback(5, inbox.callback());
    constexpr std::size_t kChunk = 4096;
    for (std::size_t at = 0; at < stream.bytes.size(); at += kChunk) {
        const auto end = std::min(stream.bytes.size(), at + kChunk);
        ASSERT_TRUE(
            adapter.write_raw(Bytes(stream.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                    stream.bytes.begin() + static_cast<std::ptrdiff_t>(end))));
    }
    const std::vector<Inbox::Entry> received = inbox.wait_for(expected.size(), 60s);
    ASSERT_EQ(received.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(received[i], expected[i]) << "message " << i;
    }

    // The transport's counters account for every byte and every fault as the parser met them:
    // the drops by reason, the bytes skipped, and the frames that found or missed a callback.
    // (They are published after the pass that delivered the last frame.)
    ASSERT_TRUE(eventually([&] { return usb.counters().bytes_read == stream.bytes.size(); }));
    const oxl_api::TransportCounters c = usb.counters();
    EXPECT_GT(parsed.bad_start + parsed.overlong + parsed.short_header, 0u);
    EXPECT_EQ(c.dropped_bad_start, parsed.bad_start);
    EXPECT_EQ(c.dropped_overlong, parsed.overlong);
    EXPECT_EQ(c.dropped_short_header, parsed.short_header);
    EXPECT_EQ(c.dropped_short_body, parsed.short_body);
    EXPECT_EQ(c.bytes_skipped, parsed.bytes_skipped);
    EXPECT_EQ(c.frames_dispatched, expected.size());
    EXPECT_EQ(c.frames_dispatched + c.frames_without_callback, parsed.frames);
    EXPECT_EQ(c.bytes_written, 0u);
}

TEST(LineFaults, EightSendersWhileFramesStreamInNeverInterleave) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    FakeAdapter adapter;
    adapter.limit_host_write_size(16);  // each frame takes several write calls
    Inbox inbox;
    OXL_over_USB usb(adapter.port_name());
    usb.setCallback(5, inbox.callback());
    constexpr uint32_t kIncoming = 20000;
    StreamFeeder feeder(adapter, 5, 0, kIncoming);

    constexpr int kThreads = 8;
    constexpr int kFrames = 200;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&usb, t] {
            for (int i = 0; i < kFrames; ++i) {
                Bytes payload(59, static_cast<uint8_t>(t));
                payload[1] = static_cast<uint8_t>(i & 0xFF);
                payload[2] = static_cast<uint8_t>(i >> 8);
                usb.send_OXL(0x100 + t, payload);
            }
        });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }

    const auto frames = adapter.read_frames(kThreads * kFrames, 30s);
    ASSERT_EQ(frames.size(), static_cast<std::size_t>(kThreads * kFrames));
    std::set<std::pair<int, int>> seen;
    for (const auto& frame : frames) {
        ASSERT_EQ(frame.raw.size(), 64u);
        ASSERT_TRUE(frame.end_ok());
        const int t = frame.payload[0];
        ASSERT_EQ(frame.id(), 0x100 + t);
        ASSERT_EQ(Bytes(frame.payload.begin() + 3, frame.payload.end()),
                  Bytes(56, frame.payload[0]));
        seen.insert({t, frame.payload[1] | (frame.payload[2] << 8)});
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kFrames));

    // The incoming stream lost nothing meanwhile: a pseudo-terminal holds the writer back instead
    // of dropping bytes, so every frame must arrive, in order.
    std::vector<uint32_t> want(kIncoming);
    std::iota(want.begin(), want.end(), 0u);
    EXPECT_EQ(sequences(inbox, kIncoming, 60s), want);
}

TEST(LineFaults, StalledLineHoldsUpNeitherIsConnectedNorReceptionNorDisconnect) {
    OXL_REQUIRE_FAKE_ADAPTERS();
    FakeAdapter adapter;
    Inbox inbox;
    OXL_over_USB usb(adapter.port_name());
    usb.setCallback(5, inbox.callback());
    adapter.stop_draining();

    // Declared after `usb`, so the senders are joined before it goes, even on a failed assertion.
    struct Senders {
        std::atomic<bool> stop{false};
        std::atomic<int> timed_out{0};  // sends that waited out (most of) the write time-out
        std::vector<std::thread> threads;
        ~Senders() {
            stop = true;
            for (std::thread& thread : threads) {
                thread.join();
            }
        }
    } senders;
    for (int t = 0; t < 4; ++t) {
        senders.threads.emplace_back([&usb, &senders, t] {
            const Bytes payload(59, static_cast<uint8_t>(t));
            bool sent = true;
            while (sent && !senders.stop) {
                const auto start = std::chrono::steady_clock::now();
                sent = usb.send_OXL(0x100 + t, payload);
                if (std::chrono::steady_clock::now() - start > 500ms) {
                    ++senders.timed_out;
                }
            }
        });
    }
    ASSERT_TRUE(eventually([&] { return senders.timed_out > 0; })) << "the line never filled up";

    const auto ms_since = [](std::chrono::steady_clock::time_point start) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
            .count();
    };
    // Deadlines far above what the transport needs (microseconds and milliseconds), far below
    // the seconds that writers queued on one lock would cost.
    for (std::size_t round = 1; round <= 3; ++round) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(usb.is_connected());
        EXPECT_LT(ms_since(start), 200) << "round " << round;
        ASSERT_TRUE(adapter.write_frame(5, {static_cast<uint8_t>(round)}));
        EXPECT_EQ(inbox.wait_for(round, 1s).size(), round) << "frame not dispatched in time";
    }
    // The polling thread's receive pass (at most 1.6 s) and the one write in progress (at most
    // 1 s); the other senders are refused instead of each waiting out a write.
    const auto stop_start = std::chrono::steady_clock::now();
    usb.disconnect();
    EXPECT_LT(ms_since(stop_start), 3500);
    EXPECT_FALSE(usb.is_connected());
}

}  // namespace
