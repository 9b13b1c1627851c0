// From change sets to notifications, and their way to each session's sink.
#include <algorithm>
#include <functional>
#include <utility>

#include <boost/container/flat_map.hpp>

#include "subscriptions.h"

namespace cds {
namespace store {
namespace detail {

namespace {

using Notification = NotificationQueue::Notification;

// The parent of a device as it was before the change set: removed devices
// keep the parent they had.
std::uint64_t parent_of(const StoreData& data, const ChangeSet& changes, std::uint64_t device) {
  auto removed = changes.devices_removed.find(device);
  if (removed != changes.devices_removed.end()) return removed->second;
  const DeviceNode* node = data.device(device);
  return node ? node->record.parent_id.value_or(zu::kNoId) : zu::kNoId;
}

// The device of an alarm's channel: the update names it; a channel removed by
// the same request is found in the change set.
std::uint64_t device_of_alarm(const StoreData& data, const ChangeSet& changes, const zu::CAlarmUpdate& update) {
  if (update.aux_number1 != 0) return update.aux_number1;
  if (const ChannelNode* channel = data.channel(update.alarm_id)) return channel->channel.device_id;
  auto removed = changes.channels_removed.find(update.alarm_id);
  return removed == changes.channels_removed.end() ? zu::kNoId : removed->second;
}

}  // namespace

Subscriptions::Built Subscriptions::build(const StoreData& data, const ChangeSet& changes) const {
  // By subscription id: one each per change set, in the order of their ids.
  boost::container::flat_map<std::uint64_t, Notification, std::less<std::uint64_t>,
                             boost::container::small_vector<std::pair<std::uint64_t, Notification>, 4>>
      notes;
  auto note = [&](std::uint64_t id) -> zu::cds::CSubscriberNotify& {
    Notification& n = notes[id];
    if (!n) {
      n = std::make_shared<zu::cds::CSubscriberNotify>();
      n->status = zu::cds::status_ok;
      n->subscription_id = id;
      n->type = subscriptions_.at(id).type;
    }
    return *n;
  };
  // Calls f(id) for each subscription of `type` watching `channel`.
  auto channel_watchers = [&](std::uint64_t channel, zu::sub::subscription_type type, auto f) {
    auto entry = by_channel_.find(channel);
    if (entry == by_channel_.end()) return;
    for (std::uint64_t id : entry->second)
      if (subscriptions_.at(id).type == type) f(id);
  };
  // Calls f(id) for each subscription of `type` watching `device`: on the
  // device itself, or on an ancestor with sub-devices included. The tree is
  // walked as it is now, so a sub-device added after subscribing is covered.
  const std::size_t longest_chain = data.devices.size() + changes.devices_removed.size() + 1;
  auto device_watchers = [&](std::uint64_t device, zu::sub::subscription_type type, auto f) {
    std::uint64_t at = device;
    for (std::size_t step = 0; at != zu::kNoId && step < longest_chain; ++step) {
      auto entry = by_device_.find(at);
      if (entry != by_device_.end()) {
        for (std::uint64_t id : entry->second) {
          const Subscription& s = subscriptions_.at(id);
          if (s.type == type && (step == 0 || s.objects.at(at))) f(id);
        }
      }
      at = parent_of(data, changes, at);
    }
  };

  for (const auto& written : changes.values_written) {
    // Named copies: lambdas cannot capture structured bindings before C++20.
    const std::uint64_t channel = written.first;
    const auto& value = written.second;
    const bool changed = changes.values_changed.count(channel) > 0;
    channel_watchers(channel, zu::sub::channel_value_written, [&](std::uint64_t id) { note(id).values[channel] = value; });
    if (changed)
      channel_watchers(channel, zu::sub::channel_value_changed,
                       [&](std::uint64_t id) { note(id).values[channel] = value; });
  }
  for (std::uint64_t channel : changes.channel_settings_changed)
    channel_watchers(channel, zu::sub::channel_settings, [&](std::uint64_t id) { note(id).numbers_2.insert(channel); });
  for (std::uint64_t channel : changes.channel_alarm_configs_changed)
    channel_watchers(channel, zu::sub::channel_alarm_config,
                     [&](std::uint64_t id) { note(id).numbers_5.insert(channel); });

  for (std::uint64_t device : changes.device_records_changed)
    device_watchers(device, zu::sub::device_record, [&](std::uint64_t id) { note(id).device_ids.insert(device); });
  for (std::uint64_t device : changes.device_channels_changed)
    device_watchers(device, zu::sub::device_channels, [&](std::uint64_t id) { note(id).device_ids.insert(device); });
  for (std::uint64_t device : changes.device_trees_changed)
    device_watchers(device, zu::sub::device_tree, [&](std::uint64_t id) { note(id).device_ids_14.insert(device); });
  for (const auto& removed : changes.devices_removed) {
    const std::uint64_t device = removed.first;
    device_watchers(device, zu::sub::device_tree, [&](std::uint64_t id) { note(id).device_ids_14.insert(device); });
  }
  for (const zu::CAlarmUpdate& update : changes.alarm_updates)
    device_watchers(device_of_alarm(data, changes, update), zu::sub::device_alarms,
                    [&](std::uint64_t id) { note(id).alarm_updates.insert(update); });

  // A path subscription covers the path and everything below it, by whole
  // segments, whether or not the watch was written with a trailing "/": look up
  // the written path (with and without one) and each of its prefixes that ends
  // at a "/" (with and without it).
  for (const std::string& path : changes.oob_paths_written) {
    auto add = [&](const std::string& watched) {
      auto entry = by_path_.find(watched);
      if (entry == by_path_.end()) return;
      for (std::uint64_t id : entry->second) note(id).paths.insert(path);
    };
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      if (slash > 0) add(path.substr(0, slash));
      if (slash + 1 < path.size()) add(path.substr(0, slash + 1));
    }
    add(path);
    if (!path.empty() && path.back() != '/') add(path + '/');
  }

  Built out;
  out.reserve(notes.size());
  for (auto& [id, n] : notes) out.emplace_back(subscriptions_.at(id).session, std::move(n));
  return out;
}

void Subscriptions::publish(const StoreData& data, const ChangeSet& changes, Outboxes& outboxes) {
  if (!subscriptions_.empty()) {
    for (auto& [session, n] : build(data, changes)) outboxes.queue(session, std::move(n));
  }
  forget_removed(changes);
}

// ---- Outboxes

void Outboxes::open(SessionId session, zu::cds::NotificationSink sink) {
  auto outbox = std::make_shared<Outbox>(limit_, std::move(sink));
  std::lock_guard<std::mutex> lock(mutex_);
  outboxes_[session] = std::move(outbox);
}

bool Outboxes::is_open(SessionId session) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outboxes_.count(session) > 0;
}

std::shared_ptr<Outboxes::Outbox> Outboxes::detach(SessionId session) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = outboxes_.find(session);
  if (it == outboxes_.end()) return nullptr;
  std::shared_ptr<Outbox> outbox = std::move(it->second);
  outboxes_.erase(it);
  return outbox;
}

void Outboxes::queue(SessionId session, Notification n) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = outboxes_.find(session);
  if (it == outboxes_.end() || !it->second->sink) return;  // nobody to tell
  it->second->queue.push(std::move(n));
  if (std::find(pending_.begin(), pending_.end(), it->second) == pending_.end()) pending_.push_back(it->second);
}

void Outboxes::drop(SessionId session, const std::vector<std::uint64_t>& subscription_ids) {
  if (subscription_ids.empty()) return;
  std::shared_ptr<Outbox> outbox;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = outboxes_.find(session);
    if (it == outboxes_.end()) return;
    outbox = it->second;
  }
  for (std::uint64_t id : subscription_ids) outbox->queue.drop_subscription(id);
}

void Outboxes::deliver() {
  std::vector<std::shared_ptr<Outbox>> due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.empty()) return;
    due.swap(pending_);
  }
  for (const std::shared_ptr<Outbox>& outbox : due) {
    // Another thread already draining this outbox delivers these too, in order.
    outbox->queue.drain([&](const Notification& n) { outbox->sink(n); });
  }
  // The list's memory serves the next write, which would otherwise allocate it again.
  due.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  if (pending_.empty()) pending_.swap(due);
}

}  // namespace detail
}  // namespace store
}  // namespace cds
