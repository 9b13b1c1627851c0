#pragma once
// The alarm engine's data: per-trigger runtime state kept next to each channel,
// and the store-wide log, active alarms and pending delays. Internal to the
// store; guarded by the engine lock like the rest of StoreData.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rare_list.h"
#include "store/Clock.h"
#include "zu/CAlarm.h"

namespace cds {
namespace store {
namespace detail {

// Runtime state of one trigger of a channel, at the trigger's position.
struct TriggerAlarmState {
  // The alarm_index of the trigger's alarm. It stays with the trigger when
  // other triggers are added, removed or reordered around it; a new trigger
  // takes the smallest number no other trigger of the channel holds, so it is
  // the trigger's position unless the list was rearranged.
  std::uint32_t number = 0;
  bool raised = false;
  // Ended by a delete that also ends active alarms: raises again only after
  // the value has returned to normal, so a cleared alarm does not come straight back.
  bool held_down = false;
  bool pending = false;           // the condition holds and waits for the trigger's delay
  Clock::TimePoint pending_since;  // when the condition started to hold
};

struct ChannelAlarms {
  bool disabled = false;                    // mirrors the channel's alarm_disabled bit as last evaluated
  RareList<TriggerAlarmState> triggers;     // one per trigger of the channel
};

// An alarm: (channel id, its trigger's number).
using AlarmKey = std::pair<std::uint64_t, std::uint32_t>;

struct ActiveAlarm {
  zu::CAlarmUpdate raise;  // the update that raised it
  std::string subject;     // "device 1024 'name', channel 'name'", for the update that ends it
};

struct AlarmData {
  std::shared_ptr<Clock> clock;
  std::size_t log_size = 100000;
  std::uint64_t last_instance = 0;            // only grows: never reused, even after deletes
  std::deque<zu::CAlarmUpdate> log;           // ascending instance: oldest first, newest at the back
  std::map<AlarmKey, ActiveAlarm> active;     // every raised alarm
  std::multimap<Clock::TimePoint, AlarmKey> timers;  // when to evaluate a pending trigger again
  // Told of each new deadline; the engine wakes its timer thread with it.
  std::function<void(Clock::TimePoint)> wake_at;
};

}  // namespace detail
}  // namespace store
}  // namespace cds
