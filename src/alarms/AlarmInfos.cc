// AlarmInfos, the alarm code table and the orderings of alarm records.
#include "cdsapi/AlarmInfos.h"

#include <map>

#include "alarms/AlarmCodes.h"

namespace cdsapi {
namespace detail {
namespace {

using AlarmCodeTable = std::map<std::string, AlarmCodeTexts>;

// Built on first use so that no other static initialiser can see it half made.
const AlarmCodeTable& alarmCodeTable() {
  static const AlarmCodeTable table{
      {"1200", {"Communication lost", "Communication recovered"}},
      {"1201", {"Temperature is critically low", "Temperature is back to low"}},
      {"1202", {"Temperature is low", "Temperature is back to normal"}},
      {"1203", {"Temperature is high", "Temperature is back to normal"}},
      {"1204", {"Temperature is critically high", "Temperature is back to high"}},
      {"1211", {"Humidity is critically low", "Humidity is back to low"}},
      {"1212", {"Humidity is low", "Humidity is back to normal"}},
      {"1213", {"Humidity is high", "Humidity is back to normal"}},
      {"1214", {"Humidity is critically high", "Humidity is back to high"}},
      {"1221", {"Contact is active", "Contact is back to normal"}},
      {"1302", {"Alarms: the number of alarms is high and above 5 000",
                "Alarms: the number of alarms is back to normal"}},
      {"1303", {"Alarms: the number of alarms is too high and above 6 000",
                "Alarms: the number of alarms is back to normal"}},
  };
  return table;
}

// ... and built at load all the same, so that the first lookup on the event
// thread does not pay for it.
const AlarmCodeTable& kBuiltAtLoad = alarmCodeTable();

// Indexed by level; every level from 8 up reads the last entry. Entries 0 to
// 3 are the data store's levels, 4 to 7 the library's for the same words.
const char* const kLevelNames[] = {"info", "good", "warning", "critical", "good",
                                   "info", "warning", "critical", "unknown"};
constexpr unsigned kUnknownLevel = sizeof(kLevelNames) / sizeof(kLevelNames[0]) - 1;

}  // namespace

const AlarmCodeTexts* findAlarmCode(const std::string& code) {
  const AlarmCodeTable& table = alarmCodeTable();
  auto found = table.find(code);
  return found == table.end() ? nullptr : &found->second;
}

}  // namespace detail

const char* AlarmInfos::getLevelString() const {
  if (!trigger) return detail::kLevelNames[detail::kUnknownLevel];
  const unsigned level = trigger->level < detail::kUnknownLevel ? trigger->level : detail::kUnknownLevel;
  return detail::kLevelNames[level];
}

std::string AlarmInfos::getDescriptionString() const {
  if (!trigger) return description;
  const detail::AlarmCodeTexts* texts = detail::findAlarmCode(trigger->code);
  if (!texts) return description;
  return back_to_normal ? texts->second : texts->first;
}

bool less_than_priority::operator()(const zu::CAlarmUpdate& a, const zu::CAlarmUpdate& b) const {
  if (!a.trigger || !b.trigger) return a.trigger && !b.trigger;
  if (a.trigger->level != b.trigger->level) return a.trigger->level > b.trigger->level;
  return a.trigger->priority < b.trigger->priority;
}

bool less_than_threshold::operator()(const zu::CAlarmTrigger& a, const zu::CAlarmTrigger& b) const {
  return a.threshold < b.threshold;
}

}  // namespace cdsapi
