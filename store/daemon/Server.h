#pragma once
// cdsd's server: the store engine served on a Unix stream socket.
//
// One engine session per connection. The first frame of a connection must be
// a hello; every later frame carries one request record under a correlation
// id and is answered with the engine's response under the same id. The
// hello may pass a socket (SCM_RIGHTS) for the daemon to send everything on,
// answers and notifications, so that the connection only brings requests: a
// client asleep on a socket for its answer is then not woken each time the
// daemon takes in a request it sent. A connection's requests are served one
// after the other, in arrival order, so that its notifications can follow
// the responses that caused them; separate connections are served in
// parallel, and none waits for another's socket. A connection whose hello
// passed a socket is read by a thread of its own, asleep in recv() until a
// request comes; the others are read by a small pool of event loops, which
// also keep every connection's deadlines and finish the writes a socket did
// not take at once. Either way the thread that reads a request serves and
// answers it, without handing it to another.
//
// What a connection may hold before it proves useful is bounded: the number
// of connections is capped (at the cap, a new connection pushes out the
// oldest one that has not sent its hello, else it is refused), the hello is
// due within a few seconds, and a frame that has begun must be complete
// within `frame_timeout` of the time the daemon spends waiting for it.
//
// Notifications wait for their socket in a bounded NotificationQueue per
// connection. A connection that does not read its socket only fills its own
// queue, where new notifications are merged into queued ones; alarm updates
// (never merged) past twice that bound are dropped and the subscriber gets a
// notice saying how many. The session stays open.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "store/Engine.h"

namespace cdsd {

struct ServerOptions {
  std::string socket_path = "/run/cds/cds.sock";
  // Event-loop threads, for the connections without a reader of their own.
  unsigned threads = 4;
  // Notifications a connection's queue holds before it merges new ones into them.
  std::size_t notify_queue_limit = 10000;
  // Connections open at once, greeted or not.
  std::size_t max_connections = 256;
  // Time a client has to complete a frame it has begun to send.
  std::chrono::seconds frame_timeout{10};
};

class Server {
 public:
  Server(std::shared_ptr<cds::store::Engine> engine, ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Creates the socket file (mode 0660) and listens on it. A socket file that
  // nobody listens on is replaced; one a live daemon listens on is left alone.
  // False with `*error` set when the socket cannot be made.
  bool listen(std::string* error);

  // Serves until SIGTERM or SIGINT (or stop()), then closes every session and
  // removes the socket file.
  void run();

  // Ends run() from any thread.
  void stop();

 private:
  friend class Connection;
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace cdsd
