#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "oxl_api/export.hpp"

struct sp_port;

namespace oxl_api {

/// One serial port of the machine as the port lister sees it.
struct OXL_API_EXPORT PortInfo {
    /// System name of the port, e.g. "/dev/ttyACM0".
    std::string name;
    /// USB vendor id; 0 when the port is not a USB device or the id cannot be read.
    uint16_t vid = 0;
    /// USB product id; 0 under the same conditions as `vid`.
    uint16_t pid = 0;
};

/// Owner of one libserialport port with the fixed line settings of the USB-to-CAN adapter
/// (8 data bits, no parity, 1 stop bit, no flow control) and fixed time-outs: every read waits
/// at most 800 ms, every write at most 1000 ms.
///
/// Failures never throw: they give false, 0 or an empty vector, and `open` prints one line on
/// standard error. Every operation other than `open`, `close` and `list_ports` is a no-op with an
/// empty or zero result while the port is closed.
///
/// Thread safety: no lock. One thread may read (`read`, `last_read_status`, `flush_input`,
/// `in_waiting`) while one other thread writes (`write`, `flush_output`); two concurrent writers,
/// or `open`/`close` concurrent with anything else, need the caller's own serialisation.
class OXL_API_EXPORT SerialPort {
  public:
    /// How the latest `read` ended.
    enum class ReadStatus : uint8_t {
        /// Every requested byte arrived (also the result of `read(0)`).
        COMPLETE,
        /// The time-out passed first: the line was idle; fewer bytes came back, possibly none.
        TIMED_OUT,
        /// The port is closed, reported an error, or was hung up (the device is gone): nothing
        /// came back, and the read returned without waiting for its time-out.
        FAILED,
    };

    /// A closed port.
    SerialPort() = default;
    /// Closes the port if it is open.
    ~SerialPort();

    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    SerialPort(SerialPort&&) = delete;
    SerialPort& operator=(SerialPort&&) = delete;

    /// Closes any open port, then opens `name` read-write at `baudrate` with the adapter's line
    /// settings (a refused setting is ignored). Returns false, leaving the object closed, when the
    /// port is unknown ("SerialPort: failed to find port <name>" on standard error) or cannot be
    /// opened ("SerialPort: failed to open port <name>").
    bool open(const std::string& name, int baudrate);
    /// Same as `open`, but prints nothing when it fails: for callers that retry opening a port
    /// that may be missing for a while.
    bool open_quietly(const std::string& name, int baudrate);
    /// Closes and frees the port; does nothing when it is closed.
    void close();
    /// True while a port is open.
    bool is_open() const { return port != nullptr; }

    /// Blocks until `n` bytes have arrived or 800 ms have passed, and returns what arrived (at
    /// most `n` bytes, possibly none). Empty on a closed port, for `n` 0, and on a read error.
    /// After a read that came back short, the next one first checks whether the line has been
    /// hung up (the device vanished); if so it returns nothing at once instead of waiting out its
    /// time-out. `last_read_status` tells these cases apart.
    std::vector<uint8_t> read(std::size_t n);
    /// How the latest `read` ended: complete, timed out on an idle line, or failed because the
    /// port is closed, in error or hung up. `COMPLETE` before the first read. Reading thread only.
    ReadStatus last_read_status() const { return last_status; }
    /// Writes `data` with one blocking write of at most 1000 ms. Returns the count of bytes
    /// written; 0 on a closed port, for empty data, or on a write error.
    std::size_t write(const std::vector<uint8_t>& data);
    /// Discards unread input. No-op on a closed port.
    void flush_input();
    /// Discards unsent output. No-op on a closed port.
    void flush_output();
    /// Count of received bytes waiting to be read; 0 on a closed port or on error. Does not block.
    std::size_t in_waiting() const;

    /// Lists the machine's serial ports in the order the system reports them, with their USB ids
    /// (0 when unknown). Empty when listing fails. Does not open any port.
    static std::vector<PortInfo> list_ports();

  private:
    enum class OpenResult : uint8_t { OPENED, NOT_FOUND, NOT_OPENED };
    /// `open` without the messages.
    OpenResult open_port(const std::string& name, int baudrate);

    /// Owned libserialport handle; null exactly while the port is closed.
    sp_port* port = nullptr;
    /// Time-out of every read, in milliseconds.
    uint32_t read_timeout_ms = 800;
    /// Outcome of the latest read. Reading thread only.
    ReadStatus last_status = ReadStatus::COMPLETE;
};

}  // namespace oxl_api
