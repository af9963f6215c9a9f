// The HTTP endpoints of `vclone serve` on one model.
#pragma once

#include "common/server_memory.h"
#include "serve/connection_guard.h"
#include "serve/metrics.h"
#include "serve/request_guard.h"
#include "serve/serve.h"
#include "serve/synthesis_queue.h"
#include "serve/voice_cache.h"
#include "serve/voice_store.h"
#include "vclone.h"

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

class SpeechServer {
 public:
  SpeechServer(const ServeOptions &options, std::string api_key, VoiceStore &voices);

  httplib::Server &http() { return http_; }
  // Until this is called, /healthz and the model's endpoints answer 503.
  void set_model(vclone_model *model);
  // Readiness turns to 503 and no new work is accepted; requests already
  // admitted finish. Returns once every admitted stream has begun sending
  // (at most a few seconds), as httplib drops streams not begun by then
  // when it stops.
  void begin_stopping();

 private:
  void add_routes();
  void add_hooks();

  void speak(const httplib::Request &request, httplib::Response &response);
  void speak_stream(struct SpeechJob job, httplib::Response &response);
  void add_voice(const httplib::Request &request, httplib::Response &response,
                 const httplib::ContentReader &read_body);
  void list_voices(httplib::Response &response) const;
  void delete_voice(const std::string &id, httplib::Response &response);
  // The voice file a request's "voice" names: its own, or the default voice
  // for a built-in name. A 404 error otherwise.
  struct ApiError resolve_voice(const std::string &name, std::string &id) const;
  long long model_created() const;

  // The ticket, or null after answering 503 (busy, loading or stopping).
  std::unique_ptr<SynthesisQueue::Ticket> admit(httplib::Response &response);
  void send_error(httplib::Response &response, const struct ApiError &error) const;
  // An answer sent before the body was read: the connection closes after it.
  void refuse(httplib::Response &response, const struct ApiError &error) const;
  // The request's line and headers against the policy; true once refused.
  bool refuse_by_head(const httplib::Request &request, httplib::Response &response) const;

  const ServeOptions options_;
  const std::string api_key_;
  VoiceStore &voices_;
  const RequestPolicy policy_;
  VoiceCache voice_cache_;
  GuardedServer http_;
  SynthesisQueue queue_;
  IdleMemoryReturner memory_returner_;
  Metrics metrics_;
  std::atomic<vclone_model *> model_{nullptr};
  std::vector<std::string> languages_;
  std::atomic<bool> stopping_{false};
  // Streams admitted whose content provider has not run yet.
  std::mutex starting_mutex_;
  std::condition_variable starting_changed_;
  int streams_starting_ = 0;
  struct StartMark;
  bool enter_starting();
  void leave_starting();
};
