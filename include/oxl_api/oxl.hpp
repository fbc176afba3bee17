#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "oxl_api/export.hpp"

namespace oxl_api {

/// Abstract message endpoint: the registry of per-id message callbacks that every transport
/// shares, the id and payload rules of OXL messages, and the TWX identifier.
///
/// An OXL message is an id (0..16382 when sent; 0 is the USB-to-CAN adapter) and a payload of
/// 1..59 bytes when sent, 0..59 bytes when received. A concrete transport implements connecting,
/// sending and receiving; it delivers every received message to the callback registered for its
/// id while holding `callbacks_mutex`, so callbacks never run concurrently.
///
/// Thread safety: `setCallback` and `removeCallback` may be called from any thread except from
/// inside a message callback of this endpoint (the registry lock is not recursive).
class OXL_API_EXPORT OXL {
  public:
    /// Message callback: source id, a copy of the payload, and the reply flag (0 or 1).
    using MessageCallback = std::function<void(int, std::vector<uint8_t>, int)>;

    /// Largest payload of one OXL message, in bytes.
    static constexpr std::size_t kMaxPayloadSize = 59;

    OXL() = default;
    /// Destroys every registered callback without calling it.
    virtual ~OXL() = default;

    OXL(const OXL&) = delete;
    OXL& operator=(const OXL&) = delete;
    OXL(OXL&&) = delete;
    OXL& operator=(OXL&&) = delete;

    /// Opens the transport on `port`; an empty name lets the transport choose. True on success.
    virtual bool connect(const std::string& port) = 0;
    /// Closes the transport; returns once its receive thread, if any, has ended.
    virtual void disconnect() = 0;
    /// True while the transport is connected and receiving.
    virtual bool is_connected() const = 0;
    /// Sends one OXL message to `id`. True when it was handed to the line; false (with a line on
    /// standard error for an invalid id or payload size) otherwise.
    virtual bool send_OXL(int id, const std::vector<uint8_t>& payload) = 0;

    /// Registers `callback` for messages from `id`, replacing (and destroying) any earlier one.
    /// Blocks while a callback is running. No range check is made on `id`.
    void setCallback(int id, MessageCallback callback);
    /// Registers `callback` for messages from `id` only if no callback is registered for it.
    /// True when it did; false, leaving the registered one in place and destroying `callback`,
    /// otherwise. Blocks while a callback is running.
    bool setCallbackIfFree(int id, MessageCallback callback);
    /// Removes the callback for `id`, if any. When it returns, that callback is not running and
    /// will never be called again. Blocks while a callback is running.
    void removeCallback(int id);
    /// Disconnects the transport (calls `disconnect()`).
    void close();

    /// True when `id`, read as an unsigned 32-bit number, is at most 16382.
    static bool check_oxl_id_range(int id);
    /// True when the payload holds 1 to 59 bytes.
    static bool check_oxl_payload_size(const std::vector<uint8_t>& payload);
    /// The 28-bit TWX identifier: (source & 0x3FFF) << 14 | (target & 0x3FFF).
    static int build_TWX_identifier(int source_id, int target_id);

  protected:
    /// The checks every transport makes before sending: false, with "Invalid OXL ID: <id>" or
    /// "Invalid payload length for address <id>" and a line end on standard error, for an id or a
    /// payload size that `check_oxl_id_range` or `check_oxl_payload_size` refuses.
    static bool check_outgoing_message(int id, const std::vector<uint8_t>& payload);
    /// Delivers one received message to the callback registered for `id`, with a copy of the
    /// payload, holding `callbacks_mutex` while it runs. Returns false, calling nothing, when no
    /// callback is registered. An exception from the callback propagates after the lock is
    /// released.
    bool dispatch(int id, const std::vector<uint8_t>& payload, int reply_flag);

    /// Registered message callbacks by OXL id. Guarded by `callbacks_mutex`.
    std::unordered_map<int, MessageCallback> callbacks;
    /// Guards `callbacks`; held by a transport's dispatch for as long as a callback runs.
    std::mutex callbacks_mutex;
    /// This endpoint's own id, the source id of every TWX identifier it builds.
    int host_id = 1;
};

}  // namespace oxl_api
