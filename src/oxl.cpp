#include "oxl_api/oxl.hpp"

#include <utility>

namespace oxl_api {

void OXL::setCallback(int id, MessageCallback callback) {
    std::lock_guard<std::mutex> lock(callbacks_mutex);
    // Assignment destroys the replaced callable while the lock is held, so it can no longer run.
    callbacks[id] = std::move(callback);
}

void OXL::removeCallback(int id) {
    std::lock_guard<std::mutex> lock(callbacks_mutex);
    callbacks.erase(id);
}

void OXL::close() {
    disconnect();
}

bool OXL::check_oxl_id_range(int id) {
    return static_cast<uint32_t>(id) <= 0x3FFEu;
}

bool OXL::check_oxl_payload_size(const std::vector<uint8_t>& payload) {
    return !payload.empty() && payload.size() <= 59;
}

int OXL::build_TWX_identifier(int source_id, int target_id) {
    return ((source_id & 0x3FFF) << 14) | (target_id & 0x3FFF);
}

}  // namespace oxl_api
