#pragma once
// The outbound queue of one session's notifications.
//
// Producers push notifications in the order the store made them; one consumer
// at a time takes them out in that order, either by pop() (a dedicated writer
// thread) or by drain() (whichever thread gets there first delivers what is
// queued, the others return at once). Thread-safe.
//
// The queue is bounded by `limit` notifications. Once it holds that many, a
// new notification is merged into the newest one already queued for the same
// subscription and type instead of taking a place of its own:
//   - value notifications (types 0 and 15): the values of the same channel are
//     coalesced to the newest;
//   - notifications that name devices, channels or paths (types 2, 3, 4, 5,
//     13, 14): the sets are united, so nothing is lost;
//   - alarm updates (type 9) are never merged: each raise and return to
//     normal keeps its own place, past the bound, until the queue holds twice
//     `limit`. Past that they are dropped, but never silently: the first one
//     dropped puts a notice in its place, a notification of the same
//     subscription and type with status 3 (status_no_queue), no updates, and
//     a message counting the updates dropped; later drops while the notice
//     waits raise its count. The receiver learns that it missed updates and
//     re-reads the active alarms.
// A subscription with nothing queued still gets a place of its own, so past
// the bound the queue grows by at most one entry per subscription, besides
// alarm updates: it never holds more than twice `limit` plus one entry per
// subscription.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "zu/cds/Records.h"

namespace cds {
namespace store {

class NotificationQueue {
 public:
  using Notification = std::shared_ptr<zu::cds::CSubscriberNotify>;
  using Deliver = std::function<void(const Notification&)>;

  explicit NotificationQueue(std::size_t limit = 10000) : limit_(limit) {}
  NotificationQueue(const NotificationQueue&) = delete;
  NotificationQueue& operator=(const NotificationQueue&) = delete;

  // Queues `n` (which the queue now owns and may still change by merging).
  // False when the queue is closed or `n` is null: nothing is queued.
  bool push(Notification n);

  // The oldest notification, removed; null when the queue is empty.
  Notification pop();

  // Hands every queued notification to `deliver`, oldest first, until the
  // queue is empty, including those pushed meanwhile. Only one thread drains at
  // a time: another caller returns false at once, and the running drainer
  // delivers what it queued. An exception thrown by `deliver` is swallowed:
  // the next notifications are still delivered.
  bool drain(const Deliver& deliver);

  // Removes what is queued for the subscription. When drain() is handing one
  // of its notifications over on another thread, waits until that returns, so
  // that nothing of it is delivered once this returns.
  void drop_subscription(std::uint64_t subscription_id);

  // Empties the queue and refuses every later push; waits, as above, for a
  // delivery in progress on another thread. Idempotent.
  void close();

  bool closed() const;
  std::size_t size() const;
  std::size_t limit() const { return limit_; }
  // How many pushed notifications were merged into a queued one.
  std::size_t merged() const;
  // How many alarm updates were dropped because the queue was full.
  std::size_t dropped() const;

 private:
  using Key = std::pair<std::uint64_t, std::uint8_t>;  // subscription, type

  // Forgets `n` as the merge target of its key, or as the notice of its
  // subscription's dropped updates, when it is that.
  void unindex(const Notification& n);
  // The merge targets of what is queued, built when the queue first reaches
  // its bound: below it nothing merges, so nothing is indexed.
  void index_merge_targets();
  // Counts the updates of `n` as dropped in its subscription's notice, queued
  // when the subscription has none waiting.
  void drop_alarms(const zu::cds::CSubscriberNotify& n);
  // Waits until no other thread delivers a notification matching `pred`.
  template <typename Pred>
  void wait_delivery(std::unique_lock<std::mutex>& lock, Pred pred);

  const std::size_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable delivered_;
  std::deque<Notification> queue_;
  std::map<Key, Notification> newest_;  // the merge target of each key, while queued and indexed_
  bool indexed_ = false;                // from the bound reached until the queue is empty again
  std::size_t merged_ = 0;
  struct Notice {
    Notification notification;
    std::size_t updates = 0;
  };
  std::map<std::uint64_t, Notice> notices_;  // subscription -> its queued notice of dropped updates
  // Changed under mutex_, read without it.
  std::atomic<std::size_t> size_{0};
  std::atomic<std::size_t> dropped_{0};
  bool closed_ = false;
  bool draining_ = false;
  Notification in_delivery_;            // what drain() hands over right now
  std::thread::id drainer_;
};

}  // namespace store
}  // namespace cds
