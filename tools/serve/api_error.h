// The JSON error every endpoint answers with: {"error": {"message", "type",
// "param"}}, where param names the offending field when there is one.
#pragma once

#include <string>

struct ApiError {
  int status = 0;  // 0: no error
  std::string message;
  std::string type;
  std::string param;

  explicit operator bool() const { return status != 0; }
  std::string body() const;
};

ApiError bad_field(const std::string &param, const std::string &message);
ApiError api_error(int status, const std::string &type, const std::string &message);
