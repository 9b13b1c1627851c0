#pragma once
// The framework's alarm records: a trigger of a channel and an update of an alarm.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "zu/CValue.h"
#include "zu/CWallTime.h"

namespace zu {

// One trigger of a channel alarm. Members in record order.
struct CAlarmTrigger {
  std::uint32_t level = 0;          // data store levels: 0 info, 1 good, 2 warning, 3 critical
  std::uint8_t trigger_flag = 0;    // direction: 0 high, 1 low, 2 equal
  CValue threshold;
  CValue trigger_value;
  std::uint32_t priority = 0;
  std::string code;                 // alarm code, e.g. "1201"
  std::uint8_t trigger_flag2 = 0;
  CValue hysteresis;
  std::uint32_t delay = 0;          // seconds the condition must hold before a raise

  friend bool operator==(const CAlarmTrigger& a, const CAlarmTrigger& b) {
    return a.level == b.level && a.trigger_flag == b.trigger_flag && a.threshold == b.threshold &&
           a.trigger_value == b.trigger_value && a.priority == b.priority && a.code == b.code &&
           a.trigger_flag2 == b.trigger_flag2 && a.hysteresis == b.hysteresis && a.delay == b.delay;
  }
};

// An auxiliary callable carried by an update: a tag byte and the callable.
struct CAlarmCallback {
  std::uint8_t tag = 0;
  std::function<void()> callable;
};

// One update of one alarm (a raise or a return to normal). Members in record
// order. An alarm is identified by (alarm_id, alarm_index); `instance` numbers
// the update store-wide.
struct CAlarmUpdate {
  std::uint64_t alarm_id = 0;       // the channel id
  std::uint32_t alarm_index = 0;    // the trigger's number in its channel: its position unless the list was rearranged
  std::uint64_t instance = 0;
  CWallTime time;
  std::uint64_t aux_number1 = 0;    // the device id of the channel
  std::uint64_t aux_number2 = 0;
  CValue value;                     // the value that caused the update
  boost::optional<CAlarmCallback> aux_callback1;
  boost::optional<CAlarmCallback> aux_callback2;
  std::uint8_t aux_flag = 0;
  bool back_to_normal = false;
  boost::optional<CAlarmTrigger> trigger;
  std::string description;
  std::uint32_t aux_number3 = 0;
  std::string aux_text1;
  std::string aux_text2;
  std::uint8_t aux_flag2 = 0;
  std::string aux_text3;
  CWallTime aux_time;
  std::uint32_t aux_number4 = 0;
  bool active = false;

  // Two updates are the same update when they are the same instance of the same alarm.
  friend bool operator==(const CAlarmUpdate& a, const CAlarmUpdate& b) {
    return a.alarm_id == b.alarm_id && a.alarm_index == b.alarm_index && a.instance == b.instance;
  }
};

}  // namespace zu

template <>
struct std::hash<zu::CAlarmUpdate> {
  std::size_t operator()(const zu::CAlarmUpdate& u) const {
    return std::hash<unsigned long long>()(u.instance) ^ (std::hash<unsigned long long>()(u.alarm_id) << 1) ^
           u.alarm_index;
  }
};

namespace zu {

// The updates of a container without an order of its own (a notification's
// set), in instance order: the order the store made them in, so an alarm's
// end comes before its next raise.
template <typename Updates>
std::vector<const CAlarmUpdate*> in_instance_order(const Updates& updates) {
  std::vector<const CAlarmUpdate*> out;
  out.reserve(updates.size());
  for (const CAlarmUpdate& u : updates) out.push_back(&u);
  std::sort(out.begin(), out.end(), [](const CAlarmUpdate* a, const CAlarmUpdate* b) { return a->instance < b->instance; });
  return out;
}

}  // namespace zu
