// httplib's server with bounds on what one connection may take. httplib 0.11
// gives each connection a pool thread for as long as it stays open, reads
// with a timeout per read rather than per request, and writes with a timeout
// per poll, so a client trickling bytes holds a thread indefinitely and a
// client reading slowly holds its synthesis. This server keeps httplib's
// parsing and routing and runs each connection itself:
//   - a thread per connection, up to max_connections; past that, one thread
//     watches the extra connections for a second: a complete GET /healthz or
//     /metrics is answered, anything else gets 503, so probes never wait
//     behind slow clients however many there are;
//   - the request line and headers must arrive within header_seconds, the
//     whole request (with its body) within request_seconds of its first byte,
//     and no read may wait longer than idle_seconds;
//   - the body may not exceed the limit the route set (begin_body);
//   - each write must finish within write_seconds, or the connection is
//     dropped, which makes a streamed synthesis stop at its next chunk.
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstddef>
#include <string>

struct ConnectionLimits {
  int max_connections = 128;       // connections served for any route
  int overflow_connections = 256;  // more, watched for a probe; past them closed at once
  double overflow_seconds = 1;     // for such a connection's probe to arrive
  double header_seconds = 10;      // request line and headers
  double request_seconds = 60;     // the whole request, from its first byte
  double idle_seconds = 10;        // one read waiting for bytes
  double write_seconds = 15;       // one write (a whole chunk of a stream)
  double keep_alive_seconds = 5;   // an idle connection between requests
  int keep_alive_requests = 100;
  size_t max_head_bytes = 64 << 10;   // request line and headers together
  int send_buffer_bytes = 256 << 10;  // bounds what a stalled reader can absorb
};

class GuardedServer : public httplib::Server {
 public:
  explicit GuardedServer(const ConnectionLimits &limits);
  ~GuardedServer() override;

  const ConnectionLimits &limits() const { return limits_; }
  int open_connections() const { return open_; }
  long long refused_connections() const { return refused_; }
  long long dropped_connections() const { return dropped_; }

  // For handlers, on the thread serving the request (no-ops elsewhere):
  // The request's headers are read; its body may hold at most `bytes`
  // (counted as sent, chunk framing included).
  static void begin_body(size_t bytes);
  // True when the body read failed because it went over that limit.
  static bool body_over_limit();
  // The connection ends after this response; unread request bytes are
  // drained for a moment first, so the client can read the answer.
  static void close_after_response();
  // True on a connection admitted past max_connections (probes only).
  static bool probe_only();
  // GET /healthz or GET /metrics: what an over-bound connection may ask.
  static bool is_probe_head(const std::string &head);

 private:
  class ConnectionQueue;
  class ConnectionStream;
  class OverflowLane;

  bool process_and_close_socket(socket_t sock) override;
  void serve_connection(int fd);
  void refuse_connection(int fd);
  // One probe whose head is already in `head`, on the overflow lane's thread.
  void serve_probe(int fd, std::string head, const ConnectionLimits &limits);

  OverflowLane *overflow_ = nullptr;  // the current listening run's

  const ConnectionLimits limits_;
  std::atomic<int> open_{0};
  std::atomic<long long> refused_{0};
  std::atomic<long long> dropped_{0};
};
