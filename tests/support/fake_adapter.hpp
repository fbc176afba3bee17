#pragma once

// A stand-in for the USB-to-CAN adapter that the library reaches through its real serial stack
// (libserialport, a pseudo-terminal, fake USB entries in /sys/class/tty), for tests and bench
// programs. No GoogleTest dependency.
//
// Typical use (in a test executable whose main() called enter_private_namespace first):
//
//     oxl_test::FakeAdapter adapter;                         // vid 0x0483, pid 0xA540
//     oxl_api::OXL_over_USB usb(adapter.port_name());        // opens the pseudo-terminal
//     usb.send_OXL(5, {0x01});
//     auto frame = adapter.read_frame(std::chrono::seconds(2));   // FE 05 40 01 01 FD
//     adapter.write_frame(5, {0x80, 0x01}, /*reply_flag=*/1);    // reaches usb's callback for 5
//
// To simulate devices on the bus, set a responder: it runs on the fixture's own thread for
// every frame the host writes and may answer with write_frame, like a real adapter would.

#include <sys/types.h>

#include <atomic>
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

/// Moves the process into a private mount namespace with a private /dev (a tmpfs that re-exposes
/// the real device nodes) and an empty /sys/class/tty, in which FakeAdapter can publish fake USB
/// serial ports. Call it first in main(), before any thread exists. Returns false with the reason
/// in `why` (not root, namespaces unavailable, ...). Nothing leaks outside the process. A second
/// call after a success does nothing and returns true.
bool enter_private_namespace(std::string* why);

/// True when enter_private_namespace has succeeded in this process; otherwise false, and `why`
/// (if not null) says why fake adapters are unavailable.
bool fake_adapters_available(std::string* why = nullptr);

/// True when the environment variable CI is "true": tests must then fail instead of skipping.
bool skipping_is_failure();

/// How a fake port presents itself in the port listing.
struct AdapterOptions {
    /// USB vendor and product id reported for the port.
    uint16_t vid = 0x0483;
    uint16_t pid = 0xA540;
    /// False: a serial port without USB ids (the listing reports vid and pid 0).
    bool usb = true;
    /// False: the port is listed but has no /dev node, so opening it fails.
    bool device_node = true;
};

/// One frame the host wrote, as the adapter parsed it off the line.
struct HostFrame {
    /// The 16-bit identifier field (bits 0-13: target id; bits 14-15: low bits of the host id).
    uint16_t id_field = 0;
    /// The payload (the length byte says how many bytes).
    std::vector<uint8_t> payload;
    /// Every byte of the frame, start byte to end byte, as written.
    std::vector<uint8_t> raw;
    /// Target OXL id (`id_field & 0x3FFF`).
    int id() const { return id_field & 0x3FFF; }
    /// True when the end byte was 0xFD.
    bool end_ok() const { return !raw.empty() && raw.back() == 0xFD; }
};

/// Encodes one adapter frame: 0xFE, `id_field` little-endian, length, payload, `end`. The length
/// byte is the payload size truncated to 8 bits (so over-long payloads make malformed frames).
std::vector<uint8_t> encode_adapter_frame(uint16_t id_field, const std::vector<uint8_t>& payload,
                                          uint8_t end = 0xFD);

/// A fake USB-to-CAN adapter: a pseudo-terminal whose slave is published as /dev/<name> with a
/// matching /sys/class/tty/<name> entry (USB ids per AdapterOptions), so that libserialport lists
/// and opens it like real hardware. The fixture owns the master side: a fixture thread parses
/// the frames the host writes; tests write adapter frames and raw bytes back.
///
/// Requires enter_private_namespace. Neither copyable nor movable. All methods are thread-safe.
class FakeAdapter {
  public:
    /// Called on the fixture thread for each frame the host writes; may call write_frame.
    using Responder = std::function<void(const HostFrame&, FakeAdapter&)>;

    /// An adapter with the genuine ids (vendor 0x0483, product 0xA540).
    FakeAdapter();
    /// A port with the given ids (e.g. near-miss ids that the library must ignore).
    FakeAdapter(uint16_t vid, uint16_t pid);
    /// A port as described by `options`. Throws std::runtime_error when the fake cannot be set
    /// up (e.g. without the private namespace).
    explicit FakeAdapter(const AdapterOptions& options);
    /// Stops the fixture thread, closes the line and removes /dev and /sys entries.
    ~FakeAdapter();

    FakeAdapter(const FakeAdapter&) = delete;
    FakeAdapter& operator=(const FakeAdapter&) = delete;
    FakeAdapter(FakeAdapter&&) = delete;
    FakeAdapter& operator=(FakeAdapter&&) = delete;

    /// The name to open, e.g. "/dev/ttyOXL3".
    const std::string& port_name() const { return name; }

    /// Waits up to `timeout` for the next frame the host wrote (in order). Empty on time-out.
    /// Frames are not queued while a responder is set.
    std::optional<HostFrame> read_frame(std::chrono::milliseconds timeout);
    /// Waits until `count` frames are queued or `timeout` has passed; returns the frames read so
    /// far (fewer than `count` on time-out).
    std::vector<HostFrame> read_frames(std::size_t count, std::chrono::milliseconds timeout);
    /// Installs (or, with an empty function, removes) the responder. Blocks while a responder call
    /// is running. The responder must not call set_responder or destroy the adapter.
    void set_responder(Responder responder);
    /// Count of bytes the host has written to the line so far (parsed or not).
    std::size_t bytes_from_host() const;
    /// Makes every write() call of this process on the port write at most `max_bytes` bytes
    /// (0: no limit), so that the host's writes come back partial, as on a slow link, and
    /// concurrent writers get the chance to interleave. Removed by the destructor.
    void limit_host_write_size(std::size_t max_bytes);

    /// Writes one adapter frame: id in bits 0-13, `reply_flag` in bit 15, end byte 0xFD. Blocks
    /// at most 2 s while the line is full; false when not all bytes were written.
    bool write_frame(int id, const std::vector<uint8_t>& payload, int reply_flag = 0);
    /// Writes bytes as they are (garbage, partial frames, many frames at once). Same blocking and
    /// result as write_frame.
    bool write_raw(const std::vector<uint8_t>& bytes);

    /// Hangs up the line as a vanishing adapter does: the host's reads return nothing from now
    /// on and its writes fail, while its port stays open. Later writes here return false, and no
    /// more frames are parsed. Opening the port by its name fails until `replug`. Joins the
    /// fixture thread: never call it from the responder.
    void unplug();
    /// Plugs the adapter back in after `unplug`: a new line under the same name and USB ids, so
    /// that the host can open the port again (its old descriptor stays hung up). Frames already
    /// queued stay queued; the responder stays installed; a write-size limit does not carry over.
    /// Returns false when the adapter is not unplugged or the new line cannot be set up. Never
    /// call it from the responder.
    bool replug();

  private:
    // Opens a new pseudo-terminal pair in raw mode into master_fd, slave_fd and slave_device, and
    // returns the slave's path. Throws std::runtime_error.
    std::string open_line();
    void reader_loop();
    void consume(const uint8_t* data, std::size_t size);
    void stop_reader();
    void teardown();

    std::string name;
    std::string sys_dir;   // fake device folder under /sys/class/tty
    std::string dev_node;  // /dev/<name>, empty when not created
    bool dev_mounted = false;

    dev_t slave_device = 0;  // device number of the slave, for write limits
    int master_fd = -1;      // closed by unplug() (guarded by write_mutex) or the destructor
    bool unplugged = false;  // set by unplug(), cleared by replug() (guarded by write_mutex)
    int slave_fd = -1;       // held open so the master never sees EIO between host connections
    int wake_fd = -1;        // eventfd that stops the fixture thread

    mutable std::mutex write_mutex;  // guards master_fd and writes to it

    mutable std::mutex frames_mutex;    // guards frames and total_bytes
    std::condition_variable frames_cv;  // signalled when a frame is queued
    std::deque<HostFrame> frames;
    std::vector<uint8_t> parse_buffer;  // fixture thread only
    std::size_t total_bytes = 0;
    Responder responder;         // guarded by responder_mutex
    std::mutex responder_mutex;  // held while the responder runs, so set_responder waits it out

    // Declared last: started at the end of construction, joined first in the destructor.
    std::thread reader;
};

}  // namespace oxl_test
