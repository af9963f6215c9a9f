// The JSON error every endpoint answers with: {"error": {"message", "type",
// "param", "code"}}, where param names the offending field when there is one
// and code is a stable word a client may branch on.
#pragma once

#include <string>
#include <utility>

struct ApiError {
  ApiError() = default;
  ApiError(int status_, std::string message_, std::string type_, std::string param_,
           std::string code_ = "")
      : status(status_),
        message(std::move(message_)),
        type(std::move(type_)),
        param(std::move(param_)),
        code(std::move(code_)) {}

  int status = 0;  // 0: no error
  std::string message;
  std::string type;
  std::string param;
  std::string code;  // empty: derived from the status and the type

  explicit operator bool() const { return status != 0; }
  std::string body() const;
};

ApiError bad_field(const std::string &param, const std::string &message);
ApiError api_error(int status, const std::string &type, const std::string &message);
ApiError with_code(ApiError error, const std::string &code);
