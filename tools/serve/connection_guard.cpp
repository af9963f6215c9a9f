#include "serve/connection_guard.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Waits until the socket is ready for `events` or the deadline passes.
bool wait_ready(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd item{fd, events, 0};
    const int n = poll(&item, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
    if (n > 0) return true;  // ready, or an error the next call reports
    if (n < 0 && errno != EINTR) return false;
  }
}

// kOverflow marks, on the accepting thread, a connection past the bound;
// kProbesOnly is the overflow lane's thread serving one of them.
enum class Lane { kAny, kOverflow, kProbesOnly };
thread_local Lane accepted_lane = Lane::kAny;

void address_of(int fd, bool peer, std::string &ip, int &port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  const int got = peer ? getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length)
                       : getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
  char host[NI_MAXHOST], service[NI_MAXSERV];
  if (got != 0 || getnameinfo(reinterpret_cast<sockaddr *>(&address), length, host, sizeof host,
                              service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return;
  ip = host;
  port = std::atoi(service);
}

}  // namespace

// One connection's socket with the deadlines of the request being read.
class GuardedServer::ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(int fd, const ConnectionLimits &limits, std::string received = {})
      : fd_(fd), limits_(limits), buffer_(std::move(received)) {}

  // Waits for the first byte of the next request (or for buffered bytes of
  // one already sent), giving up after `seconds` or once the server stops.
  bool wait_for_request(double seconds, const std::atomic<socket_t> &listener) {
    if (position_ < buffer_.size()) return true;
    const auto deadline = after(seconds);
    while (listener != INVALID_SOCKET) {
      const auto slice = std::min(deadline, after(0.1));
      if (wait_ready(fd_, POLLIN, slice)) return true;
      if (Clock::now() >= deadline) return false;
    }
    return false;
  }

  void begin_request() {
    phase_ = Phase::kHead;
    request_start_ = Clock::now();
    phase_deadline_ = after(limits_.header_seconds);
    head_bytes_ = 0;
    over_limit_ = false;
  }
  void begin_body(size_t limit) {
    phase_ = Phase::kBody;
    phase_deadline_ = request_start_ + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(limits_.request_seconds));
    body_left_ = limit;
  }
  bool head_done() const { return phase_ == Phase::kBody; }
  bool read_failed() const { return read_failed_; }
  bool write_failed() const { return write_failed_; }
  bool over_limit() const { return over_limit_; }

  bool is_readable() const override {
    return position_ < buffer_.size() || wait_ready(fd_, POLLIN, read_deadline());
  }
  bool is_writable() const override {
    return !write_failed_ && wait_ready(fd_, POLLOUT, after(limits_.write_seconds));
  }

  ssize_t read(char *out, size_t size) override {
    if (read_failed_) return -1;
    if (position_ == buffer_.size()) {
      const ssize_t n = fill();
      if (n <= 0) return n;
    }
    const size_t n = std::min(size, buffer_.size() - position_);
    if (phase_ == Phase::kHead && (head_bytes_ += n) > limits_.max_head_bytes) return fail_read();
    if (phase_ == Phase::kBody) {
      if (n > body_left_) {
        over_limit_ = true;
        return fail_read();
      }
      body_left_ -= n;
    }
    std::memcpy(out, buffer_.data() + position_, n);
    position_ += n;
    return static_cast<ssize_t>(n);
  }

  // The whole buffer, or -1 once the write deadline passes: a client that
  // reads this slowly is gone as far as the server is concerned.
  ssize_t write(const char *data, size_t size) override {
    if (write_failed_) return -1;
    const auto deadline = after(limits_.write_seconds);
    size_t done = 0;
    while (done < size) {
      const ssize_t n = send(fd_, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno == EINTR) {
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
                 wait_ready(fd_, POLLOUT, deadline)) {
      } else {
        write_failed_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        return -1;
      }
    }
    return static_cast<ssize_t>(size);
  }

  void get_remote_ip_and_port(std::string &ip, int &port) const override {
    address_of(fd_, true, ip, port);
  }
  void get_local_ip_and_port(std::string &ip, int &port) const override {
    address_of(fd_, false, ip, port);
  }
  socket_t socket() const override { return fd_; }

 private:
  enum class Phase { kIdle, kHead, kBody };

  Clock::time_point read_deadline() const {
    const auto idle = after(limits_.idle_seconds);
    return phase_ == Phase::kIdle ? idle : std::min(idle, phase_deadline_);
  }

  ssize_t fail_read() {
    read_failed_ = true;
    return -1;
  }

  ssize_t fill() {
    buffer_.resize(16384);
    position_ = 0;
    for (;;) {
      const ssize_t n = recv(fd_, &buffer_[0], buffer_.size(), MSG_DONTWAIT);
      if (n >= 0) {
        buffer_.resize(static_cast<size_t>(n));
        return n;
      }
      if (errno == EINTR) continue;
      if ((errno != EAGAIN && errno != EWOULDBLOCK) || !wait_ready(fd_, POLLIN, read_deadline())) {
        buffer_.clear();
        return fail_read();
      }
    }
  }

  const int fd_;
  const ConnectionLimits &limits_;
  std::string buffer_;
  size_t position_ = 0;
  Phase phase_ = Phase::kIdle;
  Clock::time_point request_start_;
  Clock::time_point phase_deadline_;
  size_t head_bytes_ = 0;
  size_t body_left_ = 0;
  bool over_limit_ = false;
  bool read_failed_ = false;
  bool write_failed_ = false;
};

namespace {

struct Connection {
  Lane lane;
  std::atomic<bool> close_after{false};
  void *stream;
};
thread_local Connection *current_connection = nullptr;

}  // namespace

// Connections past max_connections, watched by one thread with poll: each
// has overflow_seconds to send a whole request head; a probe is answered on
// this thread (its handlers only read counters), anything else gets 503.
class GuardedServer::OverflowLane {
 public:
  explicit OverflowLane(GuardedServer &server) : server_(server) {
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
    quick_limits_ = server.limits_;
    quick_limits_.write_seconds = quick_limits_.header_seconds = quick_limits_.idle_seconds =
        server.limits_.overflow_seconds;
    thread_ = std::thread([this] { run(); });
  }
  ~OverflowLane() {
    stopping_ = true;
    wake();
    thread_.join();
    for (const Pending &p : pending_) server_.refuse_connection(p.fd);
    for (const Pending &p : arriving_) server_.refuse_connection(p.fd);
    if (wake_[0] >= 0) close(wake_[0]), close(wake_[1]);
  }

  // Takes the socket, or refuses it when the lane is full.
  void add(int fd) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (wake_[0] >= 0 && count_ < server_.limits_.overflow_connections) {
        count_++;
        arriving_.push_back({fd, after(server_.limits_.overflow_seconds), {}});
        fd = -1;
      }
    }
    if (fd >= 0) return server_.refuse_connection(fd);
    wake();
  }

 private:
  struct Pending {
    int fd;
    Clock::time_point deadline;
    std::string head;
  };

  void wake() {
    const char byte = 0;
    if (wake_[1] >= 0) (void)!::write(wake_[1], &byte, 1);
  }

  void run() {
    std::vector<pollfd> items;
    while (!stopping_) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Pending &p : arriving_) pending_.push_back(std::move(p));
        arriving_.clear();
      }
      items.assign(1, pollfd{wake_[0], POLLIN, 0});
      auto nearest = after(1);
      for (const Pending &p : pending_) {
        items.push_back(pollfd{p.fd, POLLIN, 0});
        nearest = std::min(nearest, p.deadline);
      }
      const auto wait =
          std::chrono::duration_cast<std::chrono::milliseconds>(nearest - Clock::now()).count();
      if (poll(items.data(), items.size(), static_cast<int>(std::max<long long>(0, wait) + 1)) <
              0 &&
          errno != EINTR)
        break;
      char scratch[64];
      while (read(wake_[0], scratch, sizeof scratch) > 0) {
      }
      std::vector<Pending> still;
      for (size_t i = 0; i < pending_.size(); i++) {
        Pending &p = pending_[i];
        bool done = Clock::now() >= p.deadline;
        if (!done && items[i + 1].revents) done = !receive(p);
        if (!done && p.head.find("\r\n\r\n") == std::string::npos) {
          still.push_back(std::move(p));
          continue;
        }
        if (!done && is_probe_head(p.head))
          server_.serve_probe(p.fd, std::move(p.head), quick_limits_);
        else
          server_.refuse_connection(p.fd);
        std::lock_guard<std::mutex> lock(mutex_);
        count_--;
      }
      pending_.swap(still);
    }
  }

  // Reads what arrived; false when the connection ended or sent too much.
  bool receive(Pending &p) {
    char buffer[4096];
    const ssize_t n = recv(p.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) p.head.append(buffer, static_cast<size_t>(n));
    const bool again = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    return (n > 0 || again) && p.head.size() <= 8192;
  }

  GuardedServer &server_;
  ConnectionLimits quick_limits_;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<Pending> arriving_;
  int count_ = 0;
  std::vector<Pending> pending_;  // the lane's thread only
  std::thread thread_;
};

// Runs each accepted connection on a thread of its own. httplib calls
// enqueue on its accepting thread, so a connection past the bound costs
// that thread only the hand-over to the overflow lane.
class GuardedServer::ConnectionQueue : public httplib::TaskQueue {
 public:
  explicit ConnectionQueue(GuardedServer &server) : server_(server), overflow_(server) {
    server_.overflow_ = &overflow_;
  }

  void enqueue(std::function<void()> job) override {
    if (++server_.open_ <= server_.limits_.max_connections) {
      std::lock_guard<std::mutex> lock(mutex_);
      try {
        std::thread([this, job]() mutable {
          accepted_lane = Lane::kAny;
          job();
          job = nullptr;
          server_.open_--;
          std::lock_guard<std::mutex> finishing(mutex_);
          // Notified under the lock: shutdown() may destroy this queue as
          // soon as it sees the count reach zero.
          if (--running_ == 0) finished_.notify_all();
        }).detach();
        running_++;
        return;
      } catch (const std::system_error &) {
        // No thread to be had: treated like any connection past the bound.
      }
    }
    server_.open_--;
    accepted_lane = Lane::kOverflow;
    job();  // hands the socket to the overflow lane
    accepted_lane = Lane::kAny;
  }

  void shutdown() override {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [this] { return running_ == 0; });
    server_.overflow_ = nullptr;
  }

 private:
  GuardedServer &server_;
  OverflowLane overflow_;
  std::mutex mutex_;
  std::condition_variable finished_;
  int running_ = 0;
};

GuardedServer::GuardedServer(const ConnectionLimits &limits) : limits_(limits) {
  new_task_queue = [this] { return new ConnectionQueue(*this); };
}

GuardedServer::~GuardedServer() = default;

bool GuardedServer::process_and_close_socket(socket_t sock) {
  if (accepted_lane == Lane::kOverflow) {
    if (overflow_)
      overflow_->add(sock);
    else
      refuse_connection(sock);
    return false;
  }
  serve_connection(sock);
  return true;
}

void GuardedServer::refuse_connection(int fd) {
  refused_++;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  static const std::string body =
      R"({"error":{"message":"too many connections; retry later","type":"server_busy","param":null}})";
  static const std::string answer =
      "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
      "Retry-After: 1\r\nConnection: close\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  (void)!send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

namespace {

// After an answer sent before the request's body was read: the client may
// still be sending it, and closing with unread bytes would reset the
// connection and lose the answer. Reads and drops them for a moment.
void drain_and_close(int fd) {
  ::shutdown(fd, SHUT_WR);
  const auto deadline = after(5);
  char scratch[16384];
  size_t drained = 0;
  while (drained < (size_t(256) << 20) && wait_ready(fd, POLLIN, deadline)) {
    const ssize_t n = recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) break;
    if (n > 0) drained += static_cast<size_t>(n);
  }
}

}  // namespace

void GuardedServer::serve_connection(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &limits_.send_buffer_bytes,
             sizeof limits_.send_buffer_bytes);
  ConnectionStream stream(fd, limits_);
  Connection connection{accepted_lane, {false}, &stream};
  current_connection = &connection;
  for (int served = 0; served < limits_.keep_alive_requests; served++) {
    const double wait = served == 0 ? limits_.header_seconds : limits_.keep_alive_seconds;
    if (!stream.wait_for_request(wait, svr_sock_)) break;
    stream.begin_request();
    const bool last = served + 1 == limits_.keep_alive_requests;
    bool client_closes = false;
    const bool written = process_request(stream, last, client_closes, nullptr);
    // A request refused before its body was read, or whose reading failed,
    // leaves the stream at an unknown place: nothing after it can be parsed.
    if (!written || last || client_closes || !stream.head_done() || stream.read_failed() ||
        stream.write_failed() || connection.close_after || svr_sock_ == INVALID_SOCKET)
      break;
  }
  current_connection = nullptr;
  if (stream.write_failed())
    dropped_++;
  else if (connection.close_after || stream.over_limit())
    drain_and_close(fd);
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

void GuardedServer::begin_body(size_t bytes) {
  if (current_connection)
    static_cast<ConnectionStream *>(current_connection->stream)->begin_body(bytes);
}

bool GuardedServer::body_over_limit() {
  return current_connection &&
         static_cast<ConnectionStream *>(current_connection->stream)->over_limit();
}

void GuardedServer::close_after_response() {
  if (current_connection) current_connection->close_after = true;
}

void GuardedServer::serve_probe(int fd, std::string head, const ConnectionLimits &limits) {
  ConnectionStream stream(fd, limits, std::move(head));
  Connection connection{Lane::kProbesOnly, {false}, &stream};
  current_connection = &connection;
  stream.begin_request();
  bool client_closes = false;
  process_request(stream, true, client_closes, nullptr);
  current_connection = nullptr;
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

bool GuardedServer::is_probe_head(const std::string &head) {
  for (const char *path : {"GET /healthz", "GET /metrics"}) {
    const size_t n = std::strlen(path);
    if (head.compare(0, n, path) == 0 && head.size() > n && (head[n] == ' ' || head[n] == '?'))
      return true;
  }
  return false;
}

bool GuardedServer::probe_only() {
  return current_connection && current_connection->lane == Lane::kProbesOnly;
}
