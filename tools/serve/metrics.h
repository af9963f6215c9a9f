// The server's counters, rendered as Prometheus text for GET /metrics.
#pragma once

#include <array>
#include <map>
#include <mutex>
#include <string>
#include <utility>

class Metrics {
 public:
  enum class Outcome { kCompleted, kCancelled, kFailed };

  void count_request(const std::string &endpoint, int status);
  // One synthesis (or voice computation when audio_seconds is 0).
  void count_synthesis(Outcome outcome, double seconds, double audio_seconds);
  void observe_first_audio(double seconds);
  // A speech request's voice: "hit" (kept loaded), "loaded" or "reloaded".
  void count_voice_lookup(const std::string &result);
  // Seconds one synthesis took lately (a moving average), for Retry-After.
  double recent_synthesis_seconds() const;

  // queue_waiting and active are read from the queue when rendering.
  std::string render(int queue_waiting, int active, bool model_loaded) const;

 private:
  static constexpr std::array<double, 8> kFirstAudioBuckets{0.25, 0.5, 1, 2, 4, 8, 16, 32};

  mutable std::mutex mutex_;
  std::map<std::pair<std::string, int>, long long> requests_;
  std::map<Outcome, long long> syntheses_;
  double synthesis_seconds_ = 0;
  double audio_seconds_ = 0;
  double recent_seconds_ = 0;
  std::array<long long, kFirstAudioBuckets.size()> first_audio_counts_{};
  long long first_audio_count_ = 0;
  double first_audio_sum_ = 0;
  std::map<std::string, long long> voice_lookups_;
};

// The endpoint label of a request path: the route's pattern, so that voice
// ids do not make one series each; "other" for paths with no route.
std::string endpoint_label(const std::string &method, const std::string &path);
