#pragma once

#include <oxl_api/oxl.hpp>

#include <iostream>
#include <streambuf>

// A transport that accepts and drops every message, and a sink for the library's diagnostic
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

class NullBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return c; }
};

inline void silence_diagnostics() {
    static NullBuffer sink;
    std::cerr.rdbuf(&sink);
    std::cout.rdbuf(&sink);
}
