#pragma once

#include <string>

namespace oxl_tool {

/// Decides whether a request to the web server's API may be looked at, before anything else is:
/// the page moves motors, so a request that another site makes the browser send (a foreign
/// `Origin`), or that reaches the server through a name resolving to it (DNS rebinding: a
/// foreign `Host`), is refused, and on an address other than the loopback one a token is needed.
class RequestGuard {
  public:
    /// For a server bound to `address` (an IPv4 address, "::1" or "localhost") on `port`.
    /// `token` is required on every API request unless empty.
    RequestGuard(std::string address, int port, std::string token);

    /// Empty when the request may go on; otherwise why it is refused (answered with 403).
    /// `host` and `origin` are the headers as received (empty when absent), `token` the one the
    /// request carries (header or query), empty when none.
    std::string refusal(const std::string& host, const std::string& origin,
                        const std::string& token) const;

    /// True for the addresses on which no token is needed: 127.0.0.1, ::1 and localhost.
    static bool is_loopback(const std::string& address);

  private:
    /// True when `host` ("name" or "name:port", as a Host header carries it) names this server.
    bool host_allowed(const std::string& host) const;

    std::string address;
    int port;
    std::string token;
};

}  // namespace oxl_tool
