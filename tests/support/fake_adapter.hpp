#pragma once

// A stand-in for the USB-to-CAN adapter that the library reaches through its real serial stack
// (libserialport, a pseudo-terminal, fake USB entries in /sys/class/tty), for tests and bench
// programs. No GoogleTest dependency.
//
//     oxl_test::FakeAdapter adapter;                         // vid 0x0483, pid 0xA540
//     oxl_api::OXL_over_USB usb(adapter.port_name());        // opens the pseudo-terminal
//     usb.send_OXL(5, {0x01});
//     auto frame = adapter.read_frame(std::chrono::seconds(2));   // FE 05 40 01 01 FD
//     adapter.write_frame(5, {0x80, 0x01}, /*reply_flag=*/1);    // reaches usb's callback for 5

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace oxl_test {

/// Moves the process into a private mount namespace with a private /dev (a tmpfs re-exposing the
/// real device nodes) and an empty /sys/class/tty, where FakeAdapter publishes fake USB serial
/// ports. Call it first in main(), before any thread exists. False, with the reason in `why`,
/// when that is impossible (not root, no namespaces). Later calls after a success return true.
bool enter_private_namespace(std::string* why);

/// True once enter_private_namespace has succeeded; otherwise `why` (if set) says why not.
bool fake_adapters_available(std::string* why = nullptr);

/// True when the environment variable CI is "true": tests must then fail instead of skipping.
bool skipping_is_failure();

/// How a fake port presents itself in the port listing.
struct AdapterOptions {
    uint16_t vid = 0x0483;
    uint16_t pid = 0xA540;
    /// False: a serial port without USB ids (the listing reports vid and pid 0).
    bool usb = true;
    /// False: the port is listed but has no /dev node, so opening it fails.
    bool device_node = true;
};

/// One frame the host wrote, as the adapter parsed it off the line.
struct HostFrame {
    /// Bits 0-13: target id; bits 14-15: low bits of the host id.
    uint16_t id_field = 0;
    std::vector<uint8_t> payload;
    /// Every byte of the frame, start byte to end byte, as written.
    std::vector<uint8_t> raw;
    int id() const { return id_field & 0x3FFF; }
    bool end_ok() const { return !raw.empty() && raw.back() == 0xFD; }
};

/// Encodes one adapter frame: 0xFE, `id_field` little-endian, length, payload, `end`. The length
/// byte is the payload size truncated to 8 bits (so over-long payloads make malformed frames).
std::vector<uint8_t> encode_adapter_frame(uint16_t id_field, const std::vector<uint8_t>& payload,
                                          uint8_t end = 0xFD);
/// The identifier field of a frame from `id`: bits 0-13 the id, bit 15 the reply flag.
uint16_t adapter_id_field(int id, int reply_flag);

/// A fake USB-to-CAN adapter: a pseudo-terminal whose slave is published as /dev/<name> with a
/// matching /sys/class/tty/<name> entry, so that libserialport lists and opens it like hardware.
/// A fixture thread parses the frames the host writes on the master side; tests write adapter
/// frames and raw bytes back. Requires enter_private_namespace. All methods are thread-safe.
class FakeAdapter {
  public:
    /// Called on the fixture thread for each frame the host writes; may call write_frame.
    using Responder = std::function<void(const HostFrame&, FakeAdapter&)>;

    FakeAdapter() : FakeAdapter(AdapterOptions{}) {}
    FakeAdapter(uint16_t vid, uint16_t pid) : FakeAdapter(AdapterOptions{vid, pid}) {}
    /// Throws std::runtime_error when the fake cannot be set up.
    explicit FakeAdapter(const AdapterOptions& options);
    /// Stops the fixture thread, closes the line and removes the /dev and /sys entries.
    ~FakeAdapter();

    FakeAdapter(const FakeAdapter&) = delete;
    FakeAdapter& operator=(const FakeAdapter&) = delete;

    /// The name to open, e.g. "/dev/ttyOXL3".
    const std::string& port_name() const { return name; }

    /// The next frame the host wrote (in order), or nothing after `timeout`. Frames are not
    /// queued while a responder is set.
    std::optional<HostFrame> read_frame(std::chrono::milliseconds timeout);
    /// Waits until `count` frames are queued or `timeout` has passed; returns (and dequeues) up
    /// to `count` frames.
    std::vector<HostFrame> read_frames(std::size_t count, std::chrono::milliseconds timeout);
    /// Installs (or, with an empty function, removes) the responder; waits out a running call.
    /// The responder must not call set_responder or destroy the adapter.
    void set_responder(Responder responder);
    /// Makes every write() of this process on the port write at most `max_bytes` bytes (0: no
    /// limit), as on a slow link, so that concurrent writers get the chance to interleave. One
    /// adapter at a time has a limit.
    void limit_host_write_size(std::size_t max_bytes);

    /// Writes one adapter frame: id in bits 0-13, `reply_flag` in bit 15, end byte 0xFD. Blocks
    /// at most 2 s while the line is full; false when not all bytes were written.
    bool write_frame(int id, const std::vector<uint8_t>& payload, int reply_flag = 0);
    /// Writes bytes as they are (garbage, partial frames, many frames at once). Same blocking and
    /// result as write_frame.
    bool write_raw(const std::vector<uint8_t>& bytes);

    /// Stops reading what the host writes, as a hung adapter does: once the line's buffers are
    /// full (some 64 KiB), the host's writes block until their time-out. Frames written from
    /// this side still reach the host. For good: nothing restarts reading. Never call it from
    /// the responder.
    void stop_draining();
    /// Hangs up the line as a vanishing adapter does: the host's reads return nothing and its
    /// writes fail while its port stays open; opening the name fails until `replug`. Later writes
    /// here return false. Never call it from the responder.
    void unplug();
    /// A new line under the same name and USB ids after `unplug` (the host's old descriptor stays
    /// hung up). Queued frames and the responder stay; a write-size limit does not. False when
    /// not unplugged or the line cannot be set up. Never call it from the responder.
    bool replug();

  private:
    // Opens a raw pseudo-terminal pair into master_fd, slave_fd and slave_device; returns the
    // slave's path. Throws std::runtime_error.
    std::string open_line();
    void reader_loop();
    void consume(const uint8_t* data, std::size_t size);
    void stop_reader();
    void teardown();

    std::string name;
    std::string sys_dir;  // fake device folder under /sys/class/tty
    bool dev_created = false;
    bool dev_mounted = false;

    dev_t slave_device = 0;  // device number of the slave, for write limits
    int master_fd = -1;      // guarded by write_mutex; -1 once unplugged
    int slave_fd = -1;       // held open so the master never sees EIO between host connections
    int wake_fd = -1;        // eventfd that stops the fixture thread

    std::mutex write_mutex;  // guards master_fd and writes to the line

    std::mutex frames_mutex;  // guards frames
    std::condition_variable frames_cv;
    std::deque<HostFrame> frames;
    std::vector<uint8_t> parse_buffer;  // fixture thread only
    Responder responder;                // guarded by responder_mutex
    std::mutex responder_mutex;         // held while the responder runs

    // Declared last: started at the end of construction, joined first in the destructor.
    std::thread reader;
};

}  // namespace oxl_test
