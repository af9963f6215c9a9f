// Wyoming protocol events on a byte stream: a JSON header line, then
// data_length bytes of JSON merged over the header's "data", then
// payload_length bytes of payload.
//
// The reader is a pure function of the bytes received so far, so the
// connection code, the unit tests and the fuzzer drive the same code. It
// refuses anything over its limits from the header alone, before a byte of
// the announced data or payload is held.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace wyoming {

// The protocol version written into every event we send.
extern const char *const kProtocolVersion;

struct Event {
  std::string type;
  nlohmann::json data = nlohmann::json::object();
  std::string payload;
};

struct EventLimits {
  size_t max_header_bytes = 64 << 10;  // the header line, its newline included
  size_t max_data_bytes = 256 << 10;   // data_length
  size_t max_payload_bytes = 1 << 20;  // payload_length
  int max_json_depth = 32;             // nesting of the header and the data
};

enum class ReadStatus {
  kEvent,     // `event` holds the first event; `consumed` bytes belong to it
  kNeedMore,  // the bytes so far are a valid beginning of an event
  kError,     // `error` says why; the stream cannot be resynchronised
};

struct ReadResult {
  ReadStatus status = ReadStatus::kNeedMore;
  size_t consumed = 0;
  std::string error;
};

// Reads the event at the start of `bytes`. With kNeedMore, the caller appends
// what arrives next and calls again; an event never needs more than
// max_header_bytes + max_data_bytes + max_payload_bytes.
ReadResult read_event(std::string_view bytes, const EventLimits &limits, Event &event);

// The bytes of one event: its data (an object; omitted when empty) as a data
// segment after the header, and the payload, if any, after that.
std::string write_event(const std::string &type,
                        const nlohmann::json &data = nlohmann::json::object(),
                        std::string_view payload = {});

}  // namespace wyoming
