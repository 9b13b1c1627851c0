// The alarm log: every alarm update, queries over it and its deletion.
#include <algorithm>
#include <deque>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "alarms.h"
#include "answer_size.h"

namespace cds {
namespace store {
namespace detail {

using zu::cds::status_invalid;
using zu::cds::status_ok;
using zu::cds::status_too_big;

namespace {

constexpr std::uint32_t kDefaultMaxCount = 1000;

std::uint32_t level_of(const zu::CAlarmUpdate& u) { return u.trigger ? u.trigger->level : 0; }

// The devices a query selects: the given ones, with their subtrees when
// recursive. Ids of removed devices still select their updates.
std::unordered_set<std::uint64_t> selected_devices(const StoreData& data, const zu::cds::CGetAlarms& request) {
  std::unordered_set<std::uint64_t> out;
  std::vector<std::uint64_t> pending(request.ids.begin(), request.ids.end());
  while (!pending.empty()) {
    std::uint64_t id = pending.back();
    pending.pop_back();
    if (!out.insert(id).second || !request.recursive) continue;
    if (const DeviceNode* node = data.device(id))
      pending.insert(pending.end(), node->record.sub_devices.begin(), node->record.sub_devices.end());
  }
  return out;
}

// Removes the updates `doomed` selects and notes their instances as deleted.
template <typename Doomed>
void erase_from_log(std::deque<zu::CAlarmUpdate>& log, Doomed doomed, ChangeSet& changes) {
  auto kept = std::remove_if(log.begin(), log.end(), [&](const zu::CAlarmUpdate& u) {
    if (!doomed(u)) return false;
    changes.alarm_instances_deleted.insert(u.instance);
    return true;
  });
  log.erase(kept, log.end());
}

}  // namespace

void append_to_log(AlarmData& alarms, const zu::CAlarmUpdate& update) {
  if (alarms.log_size == 0) return;
  while (alarms.log.size() >= alarms.log_size) alarms.log.pop_front();
  alarms.log.push_back(update);
}

void get_alarms(const StoreData& data, const zu::cds::CGetAlarms& request, zu::cds::CGetAlarms& response) {
  response.alarms.clear();
  response.found_count = 0;
  if (request.level_given && request.level > 7)
    return refuse(response, status_invalid, "level " + std::to_string(request.level) + " is not an alarm level (0 to 7)");

  const bool all_devices = !request.ids_given;
  const std::unordered_set<std::uint64_t> devices =
      all_devices ? std::unordered_set<std::uint64_t>() : selected_devices(data, request);
  const std::uint32_t level = store_level(request.level);
  const std::uint32_t limit = request.count_only ? 1 : request.max_count == 0 ? kDefaultMaxCount : request.max_count;
  auto matches = [&](const zu::CAlarmUpdate& u) {
    if (!all_devices && devices.count(u.aux_number1) == 0) return false;
    if (request.closed_only && !u.back_to_normal) return false;
    if (request.date1.is_set() && u.time < request.date1) return false;
    if (request.date2.is_set() && u.time < request.date2) return false;
    const std::uint32_t l = level_of(u);
    if (request.level_given && l != level) return false;
    if (l > 7 || ((request.filter_byte >> l) & 1U) == 0) return false;
    return request.filter_text.empty() || u.description.find(request.filter_text) != std::string::npos;
  };

  // Walk newest first from below `start`; count every match, keep the first
  // ones that fit.
  AnswerBudget budget;
  bool cut = false;
  std::uint32_t found = 0;
  auto visit = [&](const zu::CAlarmUpdate& u) {
    if (!matches(u)) return;
    if (found < UINT32_MAX) ++found;
    if (cut || response.alarms.size() >= limit) return;
    if (!budget.take_for(u)) {
      cut = true;
      return;
    }
    response.alarms.push_back(u);
  };

  if (request.active_only || request.active_query) {
    // The raise of each active alarm, one per alarm.
    std::vector<const zu::CAlarmUpdate*> raises;
    raises.reserve(data.alarms.active.size());
    for (const auto& active : data.alarms.active)
      if (request.start == 0 || active.second.raise.instance < request.start) raises.push_back(&active.second.raise);
    std::sort(raises.begin(), raises.end(),
              [](const zu::CAlarmUpdate* a, const zu::CAlarmUpdate* b) { return a->instance > b->instance; });
    for (const zu::CAlarmUpdate* u : raises) visit(*u);
  } else {
    const auto& log = data.alarms.log;
    auto end = log.end();
    if (request.start != 0)
      end = std::lower_bound(log.begin(), log.end(), request.start,
                             [](const zu::CAlarmUpdate& u, std::uint64_t start) { return u.instance < start; });
    for (auto it = end; it != log.begin();) visit(*--it);
  }

  response.found_count = found;
  if (cut)
    return refuse(response, status_too_big,
                  "the answer would pass " + std::to_string(kMaxAnswerBytes) + " bytes: it holds the newest " +
                      std::to_string(response.alarms.size()) + " updates");
  response.status = status_ok;
}

void delete_alarms(StoreData& data, const zu::cds::CDeleteAlarms& request, zu::cds::CDeleteAlarms& response,
                   ChangeSet& changes) {
  auto& log = data.alarms.log;
  if (!request.by_device) {
    erase_from_log(log, [&](const zu::CAlarmUpdate& u) { return request.alarm_ids.count(u.alarm_id) != 0; },
                   changes);
    response.status = status_ok;
    return;
  }

  if (request.clear_param1 > 7)
    return refuse(response, status_invalid,
                  "level " + std::to_string(request.clear_param1) + " is not an alarm level (0 for all, 1 to 7)");
  if (request.clear_param2 > 1)
    return refuse(response, status_invalid,
                  "clear_param2 " + std::to_string(request.clear_param2) + " is neither 0 (log only) nor 1 (also end active alarms)");
  const bool any_level = request.clear_param1 == 0;
  const std::uint32_t level = store_level(request.clear_param1);
  // An unset time bounds nothing.
  auto selected = [&](const zu::CAlarmUpdate& u) {
    return request.device_ids.count(u.aux_number1) != 0 && (!request.time.is_set() || u.time <= request.time) &&
           (any_level || level_of(u) == level);
  };
  erase_from_log(log, selected, changes);
  if (request.clear_param2 == 1) {
    std::vector<AlarmKey> ending;
    for (const auto& active : data.alarms.active)
      if (selected(active.second.raise)) ending.push_back(active.first);
    for (const AlarmKey& key : ending) end_alarm(data, key, "alarm ended (cleared)", true, changes);
  }
  response.status = status_ok;
}

void get_alarm_global_count(const StoreData& data, const zu::cds::CGetAlarmUpdateGlobalCount&,
                            zu::cds::CGetAlarmUpdateGlobalCount& response) {
  response.count = data.alarms.last_instance;
  response.status = status_ok;
}

}  // namespace detail
}  // namespace store
}  // namespace cds
