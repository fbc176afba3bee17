#pragma once

// A transport whose message-callback registry tests can read, to check that whatever registered
// callbacks has taken them away again.

#include <algorithm>
#include <mutex>
#include <vector>

namespace oxl_test {

/// `Transport` (any `oxl_api::OXL`) plus `registered_ids`.
template <class Transport>
class RegistryProbe : public Transport {
  public:
    using Transport::Transport;

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
