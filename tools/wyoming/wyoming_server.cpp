#include "wyoming/wyoming_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace wyoming {

namespace {

bool is_loopback(const sockaddr *address) {
  if (address->sa_family == AF_INET) {
    const auto *v4 = reinterpret_cast<const sockaddr_in *>(address);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  if (address->sa_family == AF_INET6) {
    const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(address);
    if (IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) return true;
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) return v6->sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

std::string address_text(const sockaddr *address) {
  char host[NI_MAXHOST] = "?", port[NI_MAXSERV] = "?";
  getnameinfo(address, address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in),
              host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
  return address->sa_family == AF_INET6 ? "[" + std::string(host) + "]:" + port
                                        : std::string(host) + ":" + port;
}

// Closing a socket with unread bytes resets the connection, and the client
// may lose the error event just sent. So the sending side closes first, and
// what the client still sends is read and dropped for a moment.
void close_gracefully(int fd) {
  if (shutdown(fd, SHUT_WR) == 0) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    char sink[1 << 14];
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd watch{fd, POLLIN, 0};
      if (left.count() <= 0 || poll(&watch, 1, static_cast<int>(left.count())) <= 0) break;
      if (recv(fd, sink, sizeof sink, 0) <= 0) break;
    }
  }
  close(fd);
}

}  // namespace

Server::Server() : stop_fd_(eventfd(0, EFD_CLOEXEC)) {}

Server::~Server() {
  if (listen_fd_ >= 0) close(listen_fd_);
  if (stop_fd_ >= 0) close(stop_fd_);
}

int Server::listen(const std::string &host, int port, bool allow_remote, std::string &error) {
  if (stop_fd_ < 0) {
    error = std::string("cannot make an event descriptor: ") + std::strerror(errno);
    return -1;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo *found = nullptr;
  const std::string service = std::to_string(port);
  if (const int status =
          getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found)) {
    error = "--host " + host + ": " + gai_strerror(status);
    return -1;
  }
  for (const addrinfo *address = found; address; address = address->ai_next)
    if (!is_loopback(address->ai_addr) && !allow_remote) {
      freeaddrinfo(found);
      error = "--host " + host +
              " listens beyond this machine, and the Wyoming protocol has no authentication: "
              "anyone who can "
              "reach the port could use it. Add --allow-remote to listen there anyway";
      return -1;
    }
  int fd = -1;
  std::string reason = "no address";
  for (const addrinfo *address = found; address && fd < 0; address = address->ai_next) {
    fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
    if (fd < 0) continue;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, address->ai_addr, address->ai_addrlen) != 0 || ::listen(fd, 64) != 0) {
      reason = std::strerror(errno);
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) {
    error = "cannot listen on " + host + ":" + service + ": " + reason;
    return -1;
  }
  listen_fd_ = fd;
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
  return ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                           : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
}

void Server::stop() {
  const uint64_t one = 1;
  (void)!write(stop_fd_, &one, sizeof one);
}

void Server::refuse_busy(int fd, int max_connections) {
  // Small enough for the socket's buffer: never blocks the accepting thread.
  const std::string bytes =
      write_event("error", {{"code", "busy"},
                            {"text", "the server serves " + std::to_string(max_connections) +
                                         " connections at once; retry later"}});
  (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  close(fd);
}

void Server::serve(const SessionContext &context, int max_connections) {
  SessionContext shared = context;
  shared.stop_fd = stop_fd_;
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "vclone wyoming: poll: %s\n", std::strerror(errno));
      break;
    }
    if (fds[1].revents) break;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) continue;  // the client gave up already, or descriptors ran out for a moment
    std::unique_lock<std::mutex> lock(mutex_);
    if (active_ >= max_connections) {
      lock.unlock();
      refuse_busy(fd, max_connections);
      continue;
    }
    active_++;
    lock.unlock();
    std::thread(&Server::serve_connection, this, std::cref(shared), fd,
                address_text(reinterpret_cast<sockaddr *>(&peer)))
        .detach();
  }
  // New connections are refused from here on; the ones in progress end.
  close(listen_fd_);
  listen_fd_ = -1;
  std::unique_lock<std::mutex> lock(mutex_);
  ended_.wait(lock, [this] { return active_ == 0; });
}

void Server::serve_connection(const SessionContext &context, int fd, std::string peer) {
  // A client that stops reading cannot hold a synthesis, or the model,
  // longer than the idle timeout.
  const long long ms = context.idle_timeout.count();
  timeval timeout{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  // Audio chunks leave as soon as they are written.
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  Session(context, fd, peer).run();
  close_gracefully(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  if (--active_ == 0) ended_.notify_all();
}

}  // namespace wyoming
