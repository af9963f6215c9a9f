// The Wyoming server's socket: listens, admits up to a bound of connections
// (each served by a Session on a thread of its own) and drains on stop.
#pragma once

#include "wyoming/session.h"

#include <condition_variable>
#include <mutex>
#include <string>

namespace wyoming {

class Server {
 public:
  Server();
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Binds and listens. A host that reaches beyond this machine (anything
  // but a loopback address) is refused unless allow_remote: the protocol
  // has no authentication. Returns the port (the chosen one for port 0), or
  // -1 with a message.
  int listen(const std::string &host, int port, bool allow_remote, std::string &error);

  // Accepts connections until stop(), then waits for every connection to
  // end: a synthesis in progress finishes, idle connections close at once.
  void serve(const SessionContext &context, int max_connections);

  // Safe from any thread, before or during serve().
  void stop();

 private:
  void serve_connection(const SessionContext &context, int fd, std::string peer);
  static void refuse_busy(int fd, int max_connections);

  int listen_fd_ = -1;
  int stop_fd_ = -1;  // an eventfd, readable once stop() was called
  std::mutex mutex_;
  std::condition_variable ended_;
  int active_ = 0;
};

}  // namespace wyoming
