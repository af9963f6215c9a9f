// Body of the fuzz target for the Wyoming event reader, apart from
// fuzz_harness.h because it needs the tools' reader rather than libtorch.
#pragma once

#include "fuzz/fuzz_check.h"
#include "wyoming/event.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fuzz {

// The bytes as what a client sent on a connection: events are read one after
// another, as the server reads them, until the bytes run out or one is
// refused. Small limits let the fuzzer reach every bound.
inline void wyoming_event(const uint8_t *data, size_t size) {
  wyoming::EventLimits limits;
  limits.max_header_bytes = 512;
  limits.max_data_bytes = 1024;
  limits.max_payload_bytes = 2048;
  limits.max_json_depth = 8;
  std::string_view bytes(reinterpret_cast<const char *>(data), size);
  for (;;) {
    wyoming::Event event;
    const wyoming::ReadResult result = wyoming::read_event(bytes, limits, event);
    if (result.status == wyoming::ReadStatus::kError) {
      check(!result.error.empty(), "a refusal gave no reason");
      return;
    }
    if (result.status == wyoming::ReadStatus::kNeedMore) {
      // What a connection may hold while it waits is bounded by the limits.
      check(
          bytes.size() < limits.max_header_bytes + limits.max_data_bytes + limits.max_payload_bytes,
          "asked for more beyond the limits");
      return;
    }
    check(result.consumed > 0 && result.consumed <= bytes.size(), "consumed outside the input");
    check(!event.type.empty(), "an event without a type");
    check(event.data.is_object(), "data is not an object");
    check(event.payload.size() <= limits.max_payload_bytes, "payload over the limit");
    // Each proper prefix asks for more: the reader may be called as bytes arrive.
    for (size_t cut : {size_t(0), result.consumed / 2, result.consumed - 1}) {
      wyoming::Event partial;
      check(wyoming::read_event(bytes.substr(0, cut), limits, partial).status ==
                wyoming::ReadStatus::kNeedMore,
            "a prefix of an event did not ask for more");
    }
    // What the writer makes of the event reads back as the same event.
    wyoming::EventLimits roomy;
    roomy.max_data_bytes = 1 << 20;
    const std::string written = wyoming::write_event(event.type, event.data, event.payload);
    wyoming::Event again;
    const wyoming::ReadResult reread = wyoming::read_event(written, roomy, again);
    check(reread.status == wyoming::ReadStatus::kEvent && reread.consumed == written.size(),
          "a written event did not read back whole");
    // (Compared as text: a number past double's range reads as infinity,
    // which JSON writes as null.)
    check(again.type == event.type && again.payload == event.payload,
          "a written event read back different");
    check(again.data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) ==
              event.data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
          "a written event's data read back different");
    bytes.remove_prefix(result.consumed);
  }
}

}  // namespace fuzz
