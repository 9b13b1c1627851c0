#pragma once
// The transport interface of the data store client: how records reach a data
// store. Implementations: the embedded store (in this process) and the cdsd
// daemon (over a Unix socket). Tests decorate them to inject faults.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "zu/cds/Records.h"

namespace boost { namespace asio { class io_context; } }

namespace zu {
namespace cds {

// Receives the notifications of a session, on a thread of the transport's
// choosing; it must not block for long.
using NotificationSink = std::function<void(std::shared_ptr<CRequestResponse>)>;

// One open session with a data store. Thread-safe: round_trip and send may be
// called from many threads at once.
class Session {
 public:
  virtual ~Session() = default;
  // Sends one record and blocks for its response, at most `timeout`. An empty
  // pointer means no response: the session is broken or the request timed out.
  virtual std::shared_ptr<CRequestResponse> round_trip(const CRequestResponse& request,
                                                       std::chrono::milliseconds timeout) = 0;
  // Sends one record without waiting; false when it could not be sent.
  virtual bool send(const CRequestResponse& request) = 0;
  // Whether the session can still carry requests.
  virtual bool is_open() const = 0;
  // Ends the session; its subscriptions are released by the store. Idempotent.
  virtual void close() = 0;
  // Lets the thread running `loop` read the session when nobody else does, so
  // that a notification reaches that thread with no other thread in between:
  // what it reads there goes to `in_loop`, on that thread, instead of to the
  // sink. nullptr stops it; it must be stopped before `loop` is destroyed.
  // Sessions that need no reading (the embedded store's) ignore it.
  virtual void read_on(boost::asio::io_context* /*loop*/, NotificationSink /*in_loop*/) {}
};

// Opens sessions. Thread-safe.
class Transport {
 public:
  virtual ~Transport() = default;
  // A new session under `client_name`, or nullptr when the store cannot be
  // reached. `sink` receives the session's notifications.
  virtual std::shared_ptr<Session> open(const std::string& client_name, NotificationSink sink) = 0;
  // The endpoint text this transport reaches, for messages.
  virtual std::string endpoint() const = 0;
};

// Makes the transport of an endpoint ("embedded", "embedded:FILE", "unix:PATH").
using TransportFactory = std::function<std::shared_ptr<Transport>(const std::string& endpoint)>;

// Registers the factory of an endpoint scheme (the text before the first ':',
// or the whole endpoint). A later registration of the same scheme replaces it.
void register_transport(const std::string& scheme, TransportFactory factory);

// The transport of an endpoint; nullptr with `error` set when none can be made.
// The "embedded" scheme loads the embedded store engine on first use.
std::shared_ptr<Transport> make_transport(const std::string& endpoint, std::string* error = nullptr);

}  // namespace cds
}  // namespace zu
