#pragma once

#include <oxl_api/log.hpp>
#include <oxl_api/oxl.hpp>

#include <string>

// A transport that accepts and drops every message, and a log handler that drops the library's
// lines so that the fuzzer is not slowed down by writing them.
class NullTransport : public oxl_api::OXL {
  public:
    bool connect(const std::string&) override { return true; }
    void disconnect() override {}
    bool is_connected() const override { return true; }
    bool send_OXL(int id, const std::vector<uint8_t>& payload) override {
        return check_oxl_id_range(id) && check_oxl_payload_size(payload);
    }
};

inline void silence_diagnostics() {
    oxl_api::set_log_handler([](oxl_api::LogSeverity, const std::string&) {});
}
