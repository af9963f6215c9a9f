// What a request must look like before any of its body is read: who may
// send it (Host, Origin), what it may carry (Content-Type, Content-Length)
// and which cross-origin pages may read the answers.
#pragma once

#include "serve/api_error.h"

#include <httplib.h>

#include <cstddef>
#include <string>
#include <vector>

struct RequestPolicy {
  size_t max_json_bytes = 1 << 18;
  size_t max_upload_bytes = 50u << 20;
  // Bound to a loopback address: a Host that names anything else is a page
  // that rebound its own name to this machine.
  bool loopback_only = true;
  // Origins (scheme://host[:port]) whose pages may call the API.
  std::vector<std::string> cors_origins;
};

// The most a route's body may hold: JSON for speech, an upload for voices,
// nothing for the rest.
size_t body_limit(const RequestPolicy &policy, const std::string &method, const std::string &path);

// The refusal of a request from its line and headers alone (421 wrong Host,
// 403 foreign Origin, 413 declared body over the route's limit, 415 wrong
// Content-Type), or no error.
ApiError check_request_head(const RequestPolicy &policy, const httplib::Request &request);

// An allowed cross-origin caller gets the CORS headers; true when `request`
// is a preflight (OPTIONS), which this answers whole.
bool apply_cors(const RequestPolicy &policy, const httplib::Request &request,
                httplib::Response &response);

// "localhost", a name under .localhost, 127.0.0.0/8 or ::1, with or without a port.
bool is_loopback_host(const std::string &host_header);
// An address to listen on that only this machine can reach.
bool is_loopback_address(const std::string &address);
// The media type of a Content-Type value, lower-cased, without parameters.
std::string media_type(const std::string &content_type);
