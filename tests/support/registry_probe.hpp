#pragma once

// A transport whose message-callback registry tests can read, to check that whatever registered
// callbacks has taken them away again.

#include <algorithm>
#include <mutex>
#include <vector>

namespace oxl_test {

/// `Transport` (any `oxl_api::OXL`) plus `registered_ids`.
///
/// A transport whose receive thread makes virtual calls (`OXL_over_USB` calls `is_connected`)
/// must be constructed unconnected and connected afterwards, so that the thread never runs
/// while this class's part is still being built. The destructor disconnects before that part
/// goes away, for the same reason.
template <class Transport>
class RegistryProbe : public Transport {
  public:
    using Transport::Transport;
    ~RegistryProbe() override { this->disconnect(); }

    /// The ids that have a callback registered, ascending.
    std::vector<int> registered_ids() {
        std::vector<int> ids;
        {
            std::lock_guard<std::mutex> lock(this->callbacks_mutex);
            for (const auto& entry : this->callbacks) {
                ids.push_back(entry.first);
            }
        }
        std::sort(ids.begin(), ids.end());
        return ids;
    }
};

}  // namespace oxl_test
