#include "wyoming/event.h"

#include <algorithm>

using nlohmann::json;

namespace wyoming {

const char *const kProtocolVersion = "1.5.2";

namespace {

// nlohmann's parser does not recurse, but the values it builds are freed
// recursively; a deeply nested header is refused before it is parsed.
bool nested_deeper_than(std::string_view text, int limit) {
  int depth = 0;
  bool in_string = false, escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      depth--;
    }
  }
  return false;
}

bool parse_object(std::string_view text, int max_depth, json &value, const char *what,
                  std::string &error) {
  if (nested_deeper_than(text, max_depth)) {
    error = std::string(what) + " is nested deeper than " + std::to_string(max_depth) + " levels";
    return false;
  }
  value = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) {
    error = std::string(what) + " is not JSON";
    return false;
  }
  if (!value.is_object()) {
    error = std::string(what) + " is not a JSON object";
    return false;
  }
  return true;
}

// A length field: absent or null is 0; otherwise a whole number within limit.
bool read_length(const json &header, const char *name, size_t limit, size_t &length,
                 std::string &error) {
  length = 0;
  const auto field = header.find(name);
  if (field == header.end() || field->is_null()) return true;
  if (field->is_number_unsigned()) {
    const auto value = field->get<uint64_t>();
    if (value <= limit) {
      length = static_cast<size_t>(value);
      return true;
    }
    error = std::string(name) + " " + std::to_string(value) + " is over the limit of " +
            std::to_string(limit) + " bytes";
    return false;
  }
  error = std::string(name) + " must be a whole number of bytes, at least 0";
  return false;
}

ReadResult failure(std::string error) {
  ReadResult result;
  result.status = ReadStatus::kError;
  result.error = std::move(error);
  return result;
}

}  // namespace

ReadResult read_event(std::string_view bytes, const EventLimits &limits, Event &event) {
  const size_t newline = bytes.substr(0, limits.max_header_bytes).find('\n');
  if (newline == std::string_view::npos) {
    if (bytes.size() >= limits.max_header_bytes)
      return failure("header line longer than " + std::to_string(limits.max_header_bytes) +
                     " bytes");
    return {};
  }
  std::string_view line = bytes.substr(0, newline);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return failure("empty header line");

  std::string error;
  json header;
  if (!parse_object(line, limits.max_json_depth, header, "header line", error))
    return failure(error);
  const auto type = header.find("type");
  if (type == header.end() || !type->is_string() || type->get_ref<const std::string &>().empty())
    return failure("header line has no \"type\"");
  json data = json::object();
  if (const auto inline_data = header.find("data");
      inline_data != header.end() && !inline_data->is_null()) {
    if (!inline_data->is_object()) return failure("\"data\" is not a JSON object");
    data = std::move(*inline_data);
  }
  size_t data_length = 0, payload_length = 0;
  if (!read_length(header, "data_length", limits.max_data_bytes, data_length, error) ||
      !read_length(header, "payload_length", limits.max_payload_bytes, payload_length, error))
    return failure(error);

  const size_t total = newline + 1 + data_length + payload_length;
  if (bytes.size() < total) return {};

  if (data_length > 0) {
    json extra;
    if (!parse_object(bytes.substr(newline + 1, data_length), limits.max_json_depth, extra, "data",
                      error))
      return failure(error);
    for (auto &[key, value] : extra.items()) data[key] = std::move(value);
  }
  event.type = type->get<std::string>();
  event.data = std::move(data);
  event.payload.assign(bytes.substr(newline + 1 + data_length, payload_length));
  ReadResult result;
  result.status = ReadStatus::kEvent;
  result.consumed = total;
  return result;
}

std::string write_event(const std::string &type, const json &data, std::string_view payload) {
  json header = {{"type", type}, {"version", kProtocolVersion}};
  std::string data_text;
  if (data.is_object() && !data.empty()) {
    // Text from a client is valid UTF-8 (the reader refuses anything else),
    // but messages may quote file names that are not.
    data_text = data.dump(-1, ' ', false, json::error_handler_t::replace);
    header["data_length"] = data_text.size();
  }
  if (!payload.empty()) header["payload_length"] = payload.size();
  std::string bytes = header.dump(-1, ' ', false, json::error_handler_t::replace);
  bytes += '\n';
  bytes += data_text;
  bytes.append(payload.data(), payload.size());
  return bytes;
}

}  // namespace wyoming
