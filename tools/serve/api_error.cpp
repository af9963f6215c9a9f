#include "serve/api_error.h"

#include <nlohmann/json.hpp>

namespace {

// The code of an error raised without one.
std::string default_code(int status, const std::string &type, const std::string &param) {
  switch (status) {
    case 400:
      return param.empty() ? "invalid_request" : "invalid_value";
    case 401:
      return "invalid_api_key";
    case 404:
      return "not_found";
    case 409:
      return "conflict";
    case 413:
      return "request_too_large";
    case 429:
    case 503:
      return "server_busy";
    default:
      return status >= 500 ? "server_error" : type;
  }
}

}  // namespace

std::string ApiError::body() const {
  nlohmann::json error = {{"message", message}, {"type", type}};
  error["param"] = param.empty() ? nlohmann::json(nullptr) : nlohmann::json(param);
  error["code"] = code.empty() ? default_code(status, type, param) : code;
  return nlohmann::json({{"error", error}}).dump();
}

ApiError bad_field(const std::string &param, const std::string &message) {
  ApiError error{400, "\"" + param + "\" " + message, "invalid_request_error", param};
  return error;
}

ApiError api_error(int status, const std::string &type, const std::string &message) {
  return ApiError{status, message, type, ""};
}

ApiError with_code(ApiError error, const std::string &code) {
  error.code = code;
  return error;
}
