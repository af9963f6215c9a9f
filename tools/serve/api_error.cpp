#include "serve/api_error.h"

#include <nlohmann/json.hpp>

std::string ApiError::body() const {
  nlohmann::json error = {{"message", message}, {"type", type}};
  error["param"] = param.empty() ? nlohmann::json(nullptr) : nlohmann::json(param);
  return nlohmann::json({{"error", error}}).dump();
}

ApiError bad_field(const std::string &param, const std::string &message) {
  ApiError error{400, "\"" + param + "\" " + message, "invalid_request_error", param};
  return error;
}

ApiError api_error(int status, const std::string &type, const std::string &message) {
  return ApiError{status, message, type, ""};
}
