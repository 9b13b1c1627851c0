#pragma once
// Subscriptions and the delivery of their notifications. Internal to the store.
//
// `Subscriptions` is the registry: reserved ids, what each watches, and the
// indexes by channel, device and path that turn a change set into
// notifications. It is guarded by the engine lock (exclusive for every call
// that changes it and for publish).
//
// `Outboxes` holds each open session's notification queue and sink. Queuing
// happens under the engine lock, so a session's notifications are queued in
// the order the changes were made; delivery happens after the lock is
// released, on the requesting thread (see DeliverAfter).
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "store/ChangeSet.h"
#include "store/Engine.h"
#include "store/NotificationQueue.h"
#include "store_data.h"
#include "zu/cds/Records.h"
#include "zu/cds/Transport.h"

namespace cds {
namespace store {
namespace detail {

class Outboxes;

class Subscriptions {
 public:
  // ---- requests (subscriptions.cc)
  // Op 1 reserves an id for `session` (refused when the session is closed),
  // or, when `other_ids` is not empty, exactly those ids, all or none: each
  // must be free or already the session's (a client restoring its
  // subscriptions after a reconnection asks for its old ids); given ids never
  // move the counter of assigned ones, which steps over ids held. Op 0 releases
  // `release_ids`, all or none, and lists them in `released`.
  void manage_ids(bool session_open, SessionId session, const zu::cds::CManageSubscriberIDs& request,
                  zu::cds::CManageSubscriberIDs& response, std::vector<std::uint64_t>& released);
  // Checks every entry, then adds every key, or none.
  void subscribe(const StoreData& data, SessionId session, const zu::cds::CSubscribe& request,
                 zu::cds::CSubscribe& response);
  // Releases every id of the session.
  void release_session(SessionId session);

  // ---- notifications (notifier.cc)
  // Queues one notification per matching subscription for `changes`, already
  // applied to `data`, then forgets the keys of removed channels and devices.
  void publish(const StoreData& data, const ChangeSet& changes, Outboxes& outboxes);

 private:
  struct Subscription {
    SessionId session = 0;
    bool typed = false;  // false until the first key fixes the type
    zu::sub::subscription_type type = zu::sub::channel_value_changed;
    std::map<std::uint64_t, bool> objects;  // channel or device -> include sub-devices
    std::set<std::string> paths;
  };
  using Index = std::unordered_map<std::uint64_t, std::vector<std::uint64_t>>;  // object -> subscriptions

  void reserve_given(SessionId session, const std::vector<std::uint64_t>& wanted,
                     zu::cds::CManageSubscriberIDs& response);
  void release(std::uint64_t id);
  // A change set's notifications with the session each is for; most change
  // sets make one or two, which stay out of the heap.
  using Built = boost::container::small_vector<std::pair<SessionId, NotificationQueue::Notification>, 4>;
  Built build(const StoreData& data, const ChangeSet& changes) const;
  void forget_removed(const ChangeSet& changes);

  std::uint64_t next_id_ = 1;  // the next id to assign; only assigning moves it, so none is assigned twice
  std::unordered_map<std::uint64_t, Subscription> subscriptions_;
  Index by_channel_;
  Index by_device_;
  std::map<std::string, std::vector<std::uint64_t>> by_path_;
};

class Outboxes {
 public:
  struct Outbox {
    explicit Outbox(std::size_t limit, zu::cds::NotificationSink s) : queue(limit), sink(std::move(s)) {}
    NotificationQueue queue;
    const zu::cds::NotificationSink sink;
  };

  explicit Outboxes(std::size_t limit) : limit_(limit) {}

  void open(SessionId session, zu::cds::NotificationSink sink);
  bool is_open(SessionId session) const;
  // Takes the session's outbox away: nothing more is queued for it. The
  // caller closes it once the engine lock is released.
  std::shared_ptr<Outbox> detach(SessionId session);
  // Queues a notification for the session and marks it for delivery.
  void queue(SessionId session, NotificationQueue::Notification n);
  // Drops what is queued for released subscriptions. Call without the engine lock.
  void drop(SessionId session, const std::vector<std::uint64_t>& subscription_ids);
  // Delivers what was queued, session by session in order. Call without the
  // engine lock: a sink may call the engine.
  void deliver();

 private:
  const std::size_t limit_;
  mutable std::mutex mutex_;  // guards both maps; never held while delivering
  std::map<SessionId, std::shared_ptr<Outbox>> outboxes_;
  std::vector<std::shared_ptr<Outbox>> pending_;
};

// Delivers the outboxes' notifications when it goes out of scope: declared
// before the engine lock, it runs once the lock is released and the response
// is complete.
class DeliverAfter {
 public:
  explicit DeliverAfter(Outboxes& outboxes) : outboxes_(outboxes) {}
  ~DeliverAfter() { outboxes_.deliver(); }
  DeliverAfter(const DeliverAfter&) = delete;
  DeliverAfter& operator=(const DeliverAfter&) = delete;

 private:
  Outboxes& outboxes_;
};

}  // namespace detail
}  // namespace store
}  // namespace cds
