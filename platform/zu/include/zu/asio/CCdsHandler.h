#pragma once
// A named handler of the data store: its own session, its own notifications.
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "zu/cds/Records.h"
#include "zu/cds/Transport.h"

namespace boost { namespace asio { class io_context; } }

namespace zu {
namespace asio {

// A handler opens its own session with the data store at `cds_login()`. The
// notifications of that session are handed to `handle_response` on the thread
// that runs the CIoManager the handler is attached to; notifications that
// arrive before it is attached wait for it.
//
// A logged-in handler keeps its session: when the data store is lost (a
// daemon restart), a thread of the handler reconnects with growing pauses
// (and a request made meanwhile tries at once), then restores the
// subscriptions made through submit_wait under the same ids: the ids reserved
// (CManageSubscriberIDs op 1) are reserved again by asking for exactly those
// ids, and the subscribe requests sent for them are sent again. Ids released
// through the handler are forgotten.
//
// submit_* are thread-safe. handle_response runs on the I/O thread only.
//
// A handler may be destroyed on any thread: once its destructor has returned,
// handle_response is neither running nor called again; the destructor waits
// for a call in progress on the I/O thread (so it must not be destroyed while
// holding something its handle_response waits for). Destroyed from inside
// its own handle_response, it does not wait for that call, which would never
// end: that call must then not touch the handler after the destructor.
class CCdsHandler {
 public:
  CCdsHandler(const std::string& name, std::uint32_t keepalive_seconds, std::uint32_t max_request,
              std::uint32_t max_response);
  virtual ~CCdsHandler();
  CCdsHandler(const CCdsHandler&) = delete;
  CCdsHandler& operator=(const CCdsHandler&) = delete;

  // Opens the handler's session. Throws std::runtime_error when the data store
  // cannot be reached.
  void cds_login();
  void cds_logout();
  const std::string& name() const { return name_; }

  virtual void handle_response(std::shared_ptr<cds::CRequestResponse> message) = 0;
  virtual std::shared_ptr<cds::CRequestResponse> submit_wait(cds::CRequestResponse& request) const;
  // Sends without waiting for an answer; true when it was sent.
  virtual bool submit_forget(cds::CRequestResponse& request, bool urgent);
  // Sends without waiting; the answer, if any, is dropped. True when sent.
  virtual bool submit(cds::CRequestResponse& request, bool urgent);

  // Called by CIoManager: notifications are posted to `io` from now on; with
  // nullptr they are kept until the next attach.
  void attach(boost::asio::io_context* io);

 protected:
  // Ends the callbacks as the destructor does (idempotent). A derived class
  // whose handle_response uses its own members calls it first in its
  // destructor: ~CCdsHandler runs only after those members are gone.
  void end_callbacks();

 private:
  std::shared_ptr<cds::Session> session() const;

  std::string name_;
  // Guards the session, the attached loop and the messages waiting for it.
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace asio
}  // namespace zu
