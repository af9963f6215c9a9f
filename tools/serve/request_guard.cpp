#include "serve/request_guard.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool is_loopback_ipv4(const std::string &text) {
  int parts = 0;
  size_t at = 0;
  int first = -1;
  while (at <= text.size()) {
    const size_t dot = std::min(text.find('.', at), text.size());
    const std::string part = text.substr(at, dot - at);
    if (part.empty() || part.size() > 3 || !std::all_of(part.begin(), part.end(), ::isdigit) ||
        std::atoi(part.c_str()) > 255)
      return false;
    if (parts++ == 0) first = std::atoi(part.c_str());
    at = dot + 1;
  }
  return parts == 4 && first == 127;
}

bool is_loopback_name(std::string host) {
  host = lower(host);
  if (!host.empty() && host.back() == '.') host.pop_back();
  const std::string suffix = ".localhost";
  return host == "localhost" || host == "::1" || is_loopback_ipv4(host) ||
         (host.size() > suffix.size() &&
          host.compare(host.size() - suffix.size(), suffix.size(), suffix) == 0);
}

bool is_listed(const std::vector<std::string> &origins, const std::string &origin) {
  return std::any_of(origins.begin(), origins.end(),
                     [&](const std::string &allowed) { return lower(allowed) == lower(origin); });
}

// The page at / calls the API from the server's own origin, which browsers
// name in Origin on every POST.
bool is_same_origin(const httplib::Request &request, const std::string &origin) {
  const std::string host = lower(request.get_header_value("Host"));
  const std::string given = lower(origin);
  return !host.empty() && (given == "http://" + host || given == "https://" + host);
}

bool has_body(const httplib::Request &request) {
  return request.get_header_value_count("Content-Length") > 0 ||
         request.has_header("Transfer-Encoding");
}

ApiError unsupported_type(const std::string &message) {
  return api_error(415, "invalid_request_error", message);
}

}  // namespace

std::string media_type(const std::string &content_type) {
  std::string type = content_type.substr(0, content_type.find(';'));
  type.erase(0, type.find_first_not_of(" \t"));
  type.erase(type.find_last_not_of(" \t") + 1);
  return lower(type);
}

bool is_loopback_host(const std::string &host_header) {
  std::string host = host_header;
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    if (close == std::string::npos) return false;
    const std::string rest = host.substr(close + 1);
    if (!rest.empty() && (rest[0] != ':' || !std::all_of(rest.begin() + 1, rest.end(), ::isdigit)))
      return false;
    return lower(host.substr(1, close - 1)) == "::1";
  }
  const size_t colon = host.rfind(':');
  if (colon != std::string::npos) {
    if (!std::all_of(host.begin() + static_cast<long>(colon) + 1, host.end(), ::isdigit))
      return false;
    host.erase(colon);
  }
  return !host.empty() && is_loopback_name(host);
}

bool is_loopback_address(const std::string &address) {
  const std::string bare = address.size() > 2 && address.front() == '[' && address.back() == ']'
                               ? address.substr(1, address.size() - 2)
                               : address;
  return lower(bare) == "localhost" || bare == "::1" || is_loopback_ipv4(bare);
}

size_t body_limit(const RequestPolicy &policy, const std::string &method, const std::string &path) {
  if (method != "POST") return 0;
  if (path == "/v1/audio/speech") return policy.max_json_bytes;
  if (path == "/v1/voices") return policy.max_upload_bytes;
  return 0;
}

ApiError check_request_head(const RequestPolicy &policy, const httplib::Request &request) {
  const std::string host = request.get_header_value("Host");
  if (policy.loopback_only && request.has_header("Host") && !is_loopback_host(host))
    return api_error(
        421, "invalid_request_error",
        "this server answers only requests addressed to this machine (Host \"" + host + "\")");
  if (request.has_header("Origin")) {
    const std::string origin = request.get_header_value("Origin");
    if (!is_same_origin(request, origin) && !is_listed(policy.cors_origins, origin))
      return api_error(403, "permission_error",
                       "requests from pages of " + origin + " are not allowed (see --cors-origin)");
  }
  if (request.method == "OPTIONS") return {};

  const size_t limit = body_limit(policy, request.method, request.path);
  if (has_body(request)) {
    const std::string declared = request.get_header_value("Content-Length");
    const bool chunked = request.has_header("Transfer-Encoding");
    if (limit == 0 && (chunked || (!declared.empty() && declared != "0")))
      return api_error(413, "request_too_large",
                       request.method + " " + request.path + " takes no body");
    if (!declared.empty()) {
      char *end = nullptr;
      const unsigned long long length = std::strtoull(declared.c_str(), &end, 10);
      if (*end != '\0' || declared[0] == '-' || length > limit)
        return api_error(413, "request_too_large",
                         "the request body is larger than " + std::to_string(limit) + " bytes");
    }
  }

  const std::string type = media_type(request.get_header_value("Content-Type"));
  if (request.method == "POST" && request.path == "/v1/audio/speech" && type != "application/json")
    return unsupported_type("send the request as Content-Type: application/json");
  if (request.method == "POST" && request.path == "/v1/voices" &&
      (type == "application/x-www-form-urlencoded" || type.compare(0, 5, "text/") == 0))
    return unsupported_type(
        "send the recording as Content-Type: audio/wav, audio/flac or audio/mpeg, "
        "or as multipart/form-data");
  return {};
}

bool apply_cors(const RequestPolicy &policy, const httplib::Request &request,
                httplib::Response &response) {
  const std::string origin = request.get_header_value("Origin");
  const bool listed = !origin.empty() && is_listed(policy.cors_origins, origin);
  if (listed) {
    response.set_header("Access-Control-Allow-Origin", origin);
    response.set_header("Vary", "Origin");
  }
  if (request.method != "OPTIONS") return false;
  if (listed) {
    response.set_header("Access-Control-Allow-Methods", "GET, POST, DELETE");
    response.set_header("Access-Control-Allow-Headers", "Authorization, Content-Type");
    response.set_header("Access-Control-Max-Age", "600");
  }
  response.status = 204;
  return true;
}
