#include "serve/metrics.h"

#include <sstream>

constexpr std::array<double, 8> Metrics::kFirstAudioBuckets;

void Metrics::count_request(const std::string &endpoint, int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_[{endpoint, status}]++;
}

void Metrics::count_synthesis(Outcome outcome, double seconds, double audio_seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  syntheses_[outcome]++;
  synthesis_seconds_ += seconds;
  audio_seconds_ += audio_seconds;
  recent_seconds_ = recent_seconds_ == 0 ? seconds : 0.8 * recent_seconds_ + 0.2 * seconds;
}

void Metrics::observe_first_audio(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < kFirstAudioBuckets.size(); i++)
    if (seconds <= kFirstAudioBuckets[i]) first_audio_counts_[i]++;
  first_audio_count_++;
  first_audio_sum_ += seconds;
}

void Metrics::count_voice_lookup(const std::string &result) {
  std::lock_guard<std::mutex> lock(mutex_);
  voice_lookups_[result]++;
}

double Metrics::recent_synthesis_seconds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return recent_seconds_;
}

std::string Metrics::render(int queue_waiting, int active, bool model_loaded) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ostringstream out;
  out << "# HELP vclone_requests_total HTTP requests answered, by endpoint and status.\n"
         "# TYPE vclone_requests_total counter\n";
  for (const auto &entry : requests_)
    out << "vclone_requests_total{endpoint=\"" << entry.first.first << "\",status=\""
        << entry.first.second << "\"} " << entry.second << "\n";
  out << "# HELP vclone_syntheses_total Model runs (speech and voices), by outcome.\n"
         "# TYPE vclone_syntheses_total counter\n";
  const std::pair<Outcome, const char *> outcomes[] = {{Outcome::kCompleted, "completed"},
                                                       {Outcome::kCancelled, "cancelled"},
                                                       {Outcome::kFailed, "failed"}};
  for (const auto &outcome : outcomes) {
    auto found = syntheses_.find(outcome.first);
    out << "vclone_syntheses_total{outcome=\"" << outcome.second << "\"} "
        << (found == syntheses_.end() ? 0 : found->second) << "\n";
  }
  out << "# HELP vclone_synthesis_seconds_total Seconds spent running the model.\n"
         "# TYPE vclone_synthesis_seconds_total counter\n"
      << "vclone_synthesis_seconds_total " << synthesis_seconds_ << "\n"
      << "# HELP vclone_audio_seconds_total Seconds of audio produced.\n"
         "# TYPE vclone_audio_seconds_total counter\n"
      << "vclone_audio_seconds_total " << audio_seconds_ << "\n"
      << "# HELP vclone_queue_depth Requests waiting for the model.\n"
         "# TYPE vclone_queue_depth gauge\n"
      << "vclone_queue_depth " << queue_waiting << "\n"
      << "# HELP vclone_synthesis_active Requests being synthesised (at most the parallel "
         "places).\n"
         "# TYPE vclone_synthesis_active gauge\n"
      << "vclone_synthesis_active " << active << "\n"
      << "# HELP vclone_model_loaded 1 once the model is loaded.\n"
         "# TYPE vclone_model_loaded gauge\n"
      << "vclone_model_loaded " << (model_loaded ? 1 : 0) << "\n"
      << "# HELP vclone_time_to_first_audio_seconds From a streamed request's turn to its first "
         "audio.\n"
         "# TYPE vclone_time_to_first_audio_seconds histogram\n";
  for (size_t i = 0; i < kFirstAudioBuckets.size(); i++)
    out << "vclone_time_to_first_audio_seconds_bucket{le=\"" << kFirstAudioBuckets[i] << "\"} "
        << first_audio_counts_[i] << "\n";
  out << "vclone_time_to_first_audio_seconds_bucket{le=\"+Inf\"} " << first_audio_count_ << "\n"
      << "vclone_time_to_first_audio_seconds_sum " << first_audio_sum_ << "\n"
      << "vclone_time_to_first_audio_seconds_count " << first_audio_count_ << "\n";
  out << "# HELP vclone_voice_cache_total Speech requests by how their voice was found: kept "
         "loaded (hit), "
         "read from its file (loaded), read again after the file changed (reloaded).\n"
         "# TYPE vclone_voice_cache_total counter\n";
  for (const char *result : {"hit", "loaded", "reloaded"}) {
    auto found = voice_lookups_.find(result);
    out << "vclone_voice_cache_total{result=\"" << result << "\"} "
        << (found == voice_lookups_.end() ? 0 : found->second) << "\n";
  }
  return out.str();
}

std::string endpoint_label(const std::string &method, const std::string &path) {
  static const char *fixed[] = {"/",          "/healthz",      "/metrics",   "/v1/audio/speech",
                                "/v1/voices", "/v1/languages", "/v1/models", "/v1/audio/voices"};
  for (const char *route : fixed)
    if (path == route) return method + " " + route;
  if (path.compare(0, 11, "/v1/voices/") == 0) return method + " /v1/voices/{id}";
  if (path.compare(0, 11, "/v1/models/") == 0) return method + " /v1/models/{id}";
  return "other";
}
