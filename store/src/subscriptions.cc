// Subscription ids and subscribe requests.
#include <algorithm>
#include <string>

#include "subscriptions.h"

namespace cds {
namespace store {
namespace detail {

using zu::cds::status_invalid;
using zu::cds::status_ok;
using zu::cds::status_refused;

namespace {

enum class Watched { none, channel, device, path };

Watched watched_by(zu::sub::subscription_type type) {
  switch (type) {
    case zu::sub::channel_value_changed:
    case zu::sub::channel_value_written:
    case zu::sub::channel_settings:
    case zu::sub::channel_alarm_config:
      return Watched::channel;
    case zu::sub::device_record:
    case zu::sub::device_channels:
    case zu::sub::device_tree:
    case zu::sub::device_alarms:
      return Watched::device;
    case zu::sub::oob_path:
      return Watched::path;
  }
  return Watched::none;
}

std::string id_text(std::uint64_t id) { return "subscription id " + std::to_string(id); }

void unindex(std::vector<std::uint64_t>& list, std::uint64_t id) {
  list.erase(std::remove(list.begin(), list.end(), id), list.end());
}

}  // namespace

void Subscriptions::manage_ids(bool session_open, SessionId session, const zu::cds::CManageSubscriberIDs& request,
                               zu::cds::CManageSubscriberIDs& response, std::vector<std::uint64_t>& released) {
  if (request.op == 1) {
    response.reserved_ids.clear();
    if (!session_open) return refuse(response, status_refused, "the session is closed");
    if (!request.other_ids.empty()) return reserve_given(session, request.other_ids, response);
    // Ids a client gave stay its own: the counter steps over those held now.
    while (next_id_ != zu::kNoId && subscriptions_.count(next_id_) > 0) ++next_id_;
    if (next_id_ == zu::kNoId) return refuse(response, status_refused, "no subscription id is left");
    std::uint64_t id = next_id_++;
    subscriptions_[id].session = session;
    response.reserved_ids.push_back(id);
    response.status = status_ok;
    return;
  }
  if (request.op != 0)
    return refuse(response, status_invalid, "unknown subscription id operation " + std::to_string(request.op));

  for (std::uint64_t id : request.release_ids) {
    auto it = subscriptions_.find(id);
    if (it == subscriptions_.end() || it->second.session != session)
      return refuse(response, status_refused, id_text(id) + " is not reserved by this session");
  }
  for (std::uint64_t id : request.release_ids) {
    if (subscriptions_.count(id) == 0) continue;  // named twice
    release(id);
    released.push_back(id);
  }
  response.status = status_ok;
}

void Subscriptions::reserve_given(SessionId session, const std::vector<std::uint64_t>& wanted,
                                  zu::cds::CManageSubscriberIDs& response) {
  std::set<std::uint64_t> ids(wanted.begin(), wanted.end());
  for (std::uint64_t id : ids) {
    if (id == 0 || id == zu::kNoId) return refuse(response, status_invalid, id_text(id) + " cannot be reserved");
    auto it = subscriptions_.find(id);
    if (it != subscriptions_.end() && it->second.session != session)
      return refuse(response, zu::cds::status_exists, id_text(id) + " is reserved by another session");
  }
  // The counter of assigned ids is left where it is: a given id near 2^64
  // must not use up the ids other sessions are assigned.
  for (std::uint64_t id : ids) {
    subscriptions_[id].session = session;
    response.reserved_ids.push_back(id);
  }
  response.status = status_ok;
}

void Subscriptions::subscribe(const StoreData& data, SessionId session, const zu::cds::CSubscribe& request,
                              zu::cds::CSubscribe& response) {
  // The type each id will have once the request is applied: one subscription
  // carries one type, so that a request reaches it as one notification.
  std::map<std::uint64_t, zu::sub::subscription_type> types;
  for (const zu::cds::CSubscribeSingle& entry : request.subscriptions) {
    auto it = subscriptions_.find(entry.subscription_id);
    if (it == subscriptions_.end() || it->second.session != session)
      return refuse(response, status_refused, id_text(entry.subscription_id) + " is not reserved by this session");
    const Watched watched = watched_by(entry.type);
    if (watched == Watched::none)
      return refuse(response, status_invalid,
                    "unknown subscription type " + std::to_string(static_cast<unsigned>(entry.type)));
    auto known = types.find(entry.subscription_id);
    if (known == types.end() && it->second.typed) known = types.emplace(it->first, it->second.type).first;
    if (known != types.end() && known->second != entry.type)
      return refuse(response, status_invalid,
                    id_text(entry.subscription_id) + " has type " + std::to_string(static_cast<unsigned>(known->second)) +
                        ", not " + std::to_string(static_cast<unsigned>(entry.type)));
    types.emplace(entry.subscription_id, entry.type);
    if (watched == Watched::channel && !data.channel(entry.object_id))
      return refuse(response, status_refused, "unknown channel " + std::to_string(entry.object_id));
    if (watched == Watched::device && !data.device(entry.object_id))
      return refuse(response, status_refused, "unknown device " + std::to_string(entry.object_id));
    if (watched == Watched::path && entry.path.empty())
      return refuse(response, status_invalid, "a path subscription needs a path");
  }

  for (const zu::cds::CSubscribeSingle& entry : request.subscriptions) {
    const std::uint64_t id = entry.subscription_id;
    Subscription& s = subscriptions_[id];
    s.typed = true;
    s.type = entry.type;
    switch (watched_by(entry.type)) {
      case Watched::path:
        if (s.paths.insert(entry.path).second) by_path_[entry.path].push_back(id);
        break;
      case Watched::channel:
      case Watched::device: {
        Index& index = watched_by(entry.type) == Watched::channel ? by_channel_ : by_device_;
        auto [object, added] = s.objects.emplace(entry.object_id, entry.flag);
        if (added) index[entry.object_id].push_back(id);
        else object->second = object->second || entry.flag;  // the wider watch wins
        break;
      }
      case Watched::none:
        break;
    }
  }
  response.status = status_ok;
}

void Subscriptions::release(std::uint64_t id) {
  auto it = subscriptions_.find(id);
  if (it == subscriptions_.end()) return;
  const Subscription& s = it->second;
  Index& index = watched_by(s.type) == Watched::channel ? by_channel_ : by_device_;
  for (const auto& object : s.objects) {
    auto entry = index.find(object.first);
    if (entry == index.end()) continue;
    unindex(entry->second, id);
    if (entry->second.empty()) index.erase(entry);
  }
  for (const std::string& path : s.paths) {
    auto entry = by_path_.find(path);
    if (entry == by_path_.end()) continue;
    unindex(entry->second, id);
    if (entry->second.empty()) by_path_.erase(entry);
  }
  subscriptions_.erase(it);
}

void Subscriptions::release_session(SessionId session) {
  std::vector<std::uint64_t> ids;
  for (const auto& [id, s] : subscriptions_)
    if (s.session == session) ids.push_back(id);
  for (std::uint64_t id : ids) release(id);
}

void Subscriptions::forget_removed(const ChangeSet& changes) {
  // A removed object's keys go, so that an object created later under the same
  // (given) id does not reach the old subscription; the subscription stays.
  auto forget = [this](Index& index, std::uint64_t object) {
    auto entry = index.find(object);
    if (entry == index.end()) return;
    for (std::uint64_t id : entry->second) {
      auto s = subscriptions_.find(id);
      if (s != subscriptions_.end()) s->second.objects.erase(object);
    }
    index.erase(entry);
  };
  for (const auto& removed : changes.channels_removed) forget(by_channel_, removed.first);
  for (const auto& removed : changes.devices_removed) forget(by_device_, removed.first);
}

}  // namespace detail
}  // namespace store
}  // namespace cds
