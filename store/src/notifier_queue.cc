// The bounded outbound queue of a session's notifications.
#include <algorithm>
#include <string>

#include "store/NotificationQueue.h"

namespace cds {
namespace store {
namespace {

// Folds `from` into `into`, a queued notification of the same subscription and
// type: the newer values win, the sets are united.
void merge(zu::cds::CSubscriberNotify& into, const zu::cds::CSubscriberNotify& from) {
  for (const auto& [channel, value] : from.values) into.values[channel] = value;
  into.numbers_2.insert(from.numbers_2.begin(), from.numbers_2.end());
  into.numbers_5.insert(from.numbers_5.begin(), from.numbers_5.end());
  into.device_ids.insert(from.device_ids.begin(), from.device_ids.end());
  into.device_ids_14.insert(from.device_ids_14.begin(), from.device_ids_14.end());
  into.paths.insert(from.paths.begin(), from.paths.end());
}

bool mergeable(const zu::cds::CSubscriberNotify& n) { return n.type != zu::sub::device_alarms; }

std::string dropped_text(std::size_t updates) {
  return std::to_string(updates) + (updates == 1 ? " alarm update was" : " alarm updates were") +
         " dropped: the session's notification queue was full (its receiver did not keep up); re-read the active "
         "alarms";
}

}  // namespace

bool NotificationQueue::push(Notification n) {
  if (!n) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  const Key key(n->subscription_id, n->type);
  if (queue_.size() >= limit_ && mergeable(*n)) {
    if (!indexed_) index_merge_targets();
    auto target = newest_.find(key);
    if (target != newest_.end()) {
      merge(*target->second, *n);
      ++merged_;
      return true;
    }
  }
  // Past twice the bound (written so that it cannot overflow), alarm updates go.
  if (!mergeable(*n) && queue_.size() >= limit_ && queue_.size() - limit_ >= limit_) {
    drop_alarms(*n);
    return true;
  }
  if (indexed_ && mergeable(*n)) newest_[key] = n;
  queue_.push_back(std::move(n));
  size_.store(queue_.size());
  return true;
}

void NotificationQueue::index_merge_targets() {
  for (const Notification& n : queue_)
    if (mergeable(*n)) newest_[Key(n->subscription_id, n->type)] = n;  // the later the newer
  indexed_ = true;
}

void NotificationQueue::drop_alarms(const zu::cds::CSubscriberNotify& n) {
  const std::size_t updates = std::max<std::size_t>(n.alarm_updates.size(), 1);
  dropped_ += updates;
  Notice& notice = notices_[n.subscription_id];
  if (!notice.notification) {
    notice.notification = std::make_shared<zu::cds::CSubscriberNotify>();
    notice.notification->subscription_id = n.subscription_id;
    notice.notification->type = n.type;
    notice.notification->status = zu::cds::status_no_queue;
    queue_.push_back(notice.notification);
    size_.store(queue_.size());
  }
  notice.updates += updates;
  notice.notification->message = dropped_text(notice.updates);
}

void NotificationQueue::unindex(const Notification& n) {
  if (queue_.empty()) {
    newest_.clear();
    indexed_ = false;
  } else if (indexed_) {
    auto it = newest_.find(Key(n->subscription_id, n->type));
    if (it != newest_.end() && it->second == n) newest_.erase(it);
  }
  if (notices_.empty()) return;
  auto notice = notices_.find(n->subscription_id);
  if (notice != notices_.end() && notice->second.notification == n) notices_.erase(notice);
}

NotificationQueue::Notification NotificationQueue::pop() {
  // Mostly asked when nothing waits: no lock for that. A push racing with
  // this is taken by the pump its pusher starts.
  if (size_.load() == 0) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return nullptr;
  Notification n = std::move(queue_.front());
  queue_.pop_front();
  size_.store(queue_.size());
  unindex(n);
  return n;
}

bool NotificationQueue::drain(const Deliver& deliver) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (draining_) return false;
  draining_ = true;
  drainer_ = std::this_thread::get_id();
  while (!queue_.empty()) {
    in_delivery_ = std::move(queue_.front());
    queue_.pop_front();
    size_.store(queue_.size());
    unindex(in_delivery_);
    Notification n = in_delivery_;
    lock.unlock();
    try {
      deliver(n);
    } catch (...) {
      // A failing receiver must not stop the session's later notifications.
    }
    n.reset();
    lock.lock();
    in_delivery_.reset();
    delivered_.notify_all();
  }
  draining_ = false;
  drainer_ = std::thread::id();
  return true;
}

template <typename Pred>
void NotificationQueue::wait_delivery(std::unique_lock<std::mutex>& lock, Pred pred) {
  // The drainer itself (a receiver releasing from inside its delivery) must
  // not wait for its own delivery to end.
  if (drainer_ == std::this_thread::get_id()) return;
  delivered_.wait(lock, [&] { return !in_delivery_ || !pred(*in_delivery_); });
}

void NotificationQueue::drop_subscription(std::uint64_t subscription_id) {
  std::unique_lock<std::mutex> lock(mutex_);
  queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                              [&](const Notification& n) { return n->subscription_id == subscription_id; }),
               queue_.end());
  size_.store(queue_.size());
  for (auto it = newest_.begin(); it != newest_.end();) {
    if (it->first.first == subscription_id) it = newest_.erase(it);
    else ++it;
  }
  notices_.erase(subscription_id);
  wait_delivery(lock, [&](const zu::cds::CSubscriberNotify& n) { return n.subscription_id == subscription_id; });
}

void NotificationQueue::close() {
  std::unique_lock<std::mutex> lock(mutex_);
  closed_ = true;
  queue_.clear();
  size_.store(0);
  newest_.clear();
  indexed_ = false;
  notices_.clear();
  wait_delivery(lock, [](const zu::cds::CSubscriberNotify&) { return true; });
}

bool NotificationQueue::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

std::size_t NotificationQueue::size() const { return size_.load(); }

std::size_t NotificationQueue::merged() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return merged_;
}

std::size_t NotificationQueue::dropped() const { return dropped_.load(); }

}  // namespace store
}  // namespace cds
