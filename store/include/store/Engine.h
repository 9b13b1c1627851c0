#pragma once
// The data store engine: one thread-safe store shared by every session of a
// process (the embedded store) or of the daemon.
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "store/ChangeSet.h"
#include "store/Clock.h"

#include "zu/cds/Records.h"
#include "zu/cds/Transport.h"

namespace cds {
namespace store {

struct EngineOptions {
  std::size_t alarm_log_size = 100000;  // updates kept in the alarm log
  // Time for alarm delays and update stamps; empty: the system clock.
  std::shared_ptr<Clock> clock;
  // Notifications a session's queue holds before it merges new ones into those
  // queued (see NotificationQueue.h).
  std::size_t notify_queue_limit = 10000;

  // The SQLite file that keeps the store across restarts; empty: memory only.
  std::string data_file;
  // Channel values reach the file at most this long after they were written
  // (0: before the write is answered). Everything else does before its answer.
  std::uint32_t value_flush_ms = 1000;
  // Every commit also waits for the disk, so it survives a power loss; without
  // it a commit survives the process, not the machine.
  bool sync_full = false;
  // Told of storage failures that no request answers (a value flush that
  // failed); empty: standard error.
  std::function<void(const std::string&)> warn;
};

// Why a data file cannot be used (newer schema, corrupt, not a store, locked
// by another process); the message names the file and the reason.
class StoreFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using SessionId = std::uint64_t;

// Receives the change set of every request that changed the store, with the
// session that sent it. Called on the requesting thread while the engine's
// write lock is held, so change sets arrive in the order the changes were
// made; it must not call back into the engine. Changes the store makes by
// itself (alarms raised when their delay runs out) come with session 0.
using ChangeListener = std::function<void(SessionId, const ChangeSet&)>;

// Answers request records as the data store does. Every public operation is
// thread-safe. Sessions own their subscriptions; closing one releases them.
class Engine {
 public:
  // Throws StoreFileError when options.data_file cannot be used.
  explicit Engine(EngineOptions options = {});
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Opens a session; its notifications go to `sink` (may be empty). They are
  // handed to it on the thread of the request that caused them, after that
  // request's response is complete, one delivery at a time and in order.
  SessionId open_session(const std::string& client_name, zu::cds::NotificationSink sink);
  void close_session(SessionId session);

  // Answers one request of `session` with a record of the request's class.
  // Never returns null and never throws for bad input: refusals are statuses.
  std::shared_ptr<zu::cds::CRequestResponse> handle(SessionId session, const zu::cds::CRequestResponse& request);

  // Installs the change listener (an empty one removes it).
  void set_change_listener(ChangeListener listener);

  // The medium, the durability in force and what the store holds, as
  // "key: value" lines.
  std::string describe() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A transport whose sessions are served by `engine` on the caller's thread.
std::shared_ptr<zu::cds::Transport> make_embedded_transport(std::shared_ptr<Engine> engine,
                                                           std::string endpoint = "embedded");

// The engine behind the "embedded" endpoint of this process (created on first use).
std::shared_ptr<Engine> process_engine();

}  // namespace store
}  // namespace cds
