#include "request_guard.hpp"

#include <algorithm>
#include <cctype>
#include <utility>

namespace oxl_tool {
namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Splits "name:port", "[v6]:port", "name" or "[v6]" into the name (brackets kept off) and the
// port text (empty when absent).
std::pair<std::string, std::string> split_host(const std::string& host) {
    if (!host.empty() && host.front() == '[') {
        const auto close = host.find(']');
        if (close == std::string::npos) {
            return {host, ""};
        }
        const std::string rest = host.substr(close + 1);
        return {host.substr(1, close - 1),
                rest.size() > 1 && rest[0] == ':' ? rest.substr(1) : rest};
    }
    const auto colon = host.rfind(':');
    if (colon == std::string::npos) {
        return {host, ""};
    }
    return {host.substr(0, colon), host.substr(colon + 1)};
}

}  // namespace

RequestGuard::RequestGuard(std::string address_in, int port_in, std::string token_in)
    : address(lower(std::move(address_in))), port(port_in), token(std::move(token_in)) {}

bool RequestGuard::is_loopback(const std::string& address) {
    const std::string name = lower(address);
    return name == "127.0.0.1" || name == "::1" || name == "localhost";
}

bool RequestGuard::host_allowed(const std::string& host) const {
    const auto [name_raw, port_text] = split_host(host);
    const std::string name = lower(name_raw);
    if (is_loopback(address)) {
        // Through an SSH tunnel the browser's Host carries the tunnel's local port, so any port
        // is taken; no DNS name other than localhost can point here on a rebinding page.
        return is_loopback(name);
    }
    return name == address && (port_text.empty() || port_text == std::to_string(port));
}

std::string RequestGuard::refusal(const std::string& host, const std::string& origin,
                                  const std::string& request_token) const {
    if (host.empty() || !host_allowed(host)) {
        return "Host '" + host + "' is not this server's address";
    }
    // Browsers send Origin on cross-site requests and on every POST; a page of this server has
    // the origin http://<the Host it was loaded from>.
    if (!origin.empty() && lower(origin) != "http://" + lower(host)) {
        return "Origin '" + origin + "' is not this server";
    }
    if (!token.empty() && request_token != token) {
        return request_token.empty() ? "an access token is needed (printed when the server started)"
                                     : "wrong access token";
    }
    return "";
}

}  // namespace oxl_tool
