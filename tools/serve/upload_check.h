// What an uploaded recording claims in its header, checked before any of its
// samples are decoded: a 1 MB FLAC of silence may claim ten minutes of eight
// channels at 384 kHz, gigabytes once decoded.
#pragma once

#include "serve/api_error.h"

#include <cstddef>
#include <string_view>

struct UploadBounds {
  int max_sample_rate = 192000;
  int max_channels = 8;
  double max_seconds = 600;
  // frames x channels: ten minutes of 48 kHz stereo.
  long long max_samples = 600LL * 48000 * 2;
};

// A 413 naming the claim over its bound, or no error. A recording whose
// header libsndfile cannot read passes: the library's reader refuses it
// with its reason.
ApiError check_upload_claims(std::string_view bytes, const UploadBounds &bounds);
