#pragma once
// Alarm updates as the older device interface hands them out, and the two
// orderings of alarm records.
#include <string>
#include <utility>

#include "zu/CAlarm.h"

namespace cdsapi {

// An alarm update with its level and alarm code turned into English.
//
// Adds no data to zu::CAlarmUpdate: it is built by copying an update and can
// be used wherever an update is expected. Both readers only read process-wide
// constant tables, so they may be called from any thread, the event thread
// included; neither throws except on exhaustion of memory.
//
// An update without a trigger has neither a level nor a code: it reads as
// level "unknown" and its description is the update's own `description`.
class AlarmInfos : public zu::CAlarmUpdate {
 public:
  AlarmInfos() = default;
  AlarmInfos(const zu::CAlarmUpdate& update) : zu::CAlarmUpdate(update) {}             // NOLINT: a copy of the update
  AlarmInfos(zu::CAlarmUpdate&& update) : zu::CAlarmUpdate(std::move(update)) {}      // NOLINT: likewise

  // The name of the trigger's level: "info", "good", "warning" or "critical",
  // the same word for a data store level (0 to 3) and for its library level
  // (4 to 7); "unknown" for 8 and above or without a trigger. The text is
  // static and never freed.
  const char* getLevelString() const;

  // The sentence of the trigger's alarm code: its back-to-normal text when
  // `back_to_normal` is set, else its raise text. A code that is not one of
  // the known codes (compared byte for byte: no trimming, no case folding),
  // an empty code or no trigger gives a copy of `description`.
  std::string getDescriptionString() const;
};

// Orders updates most critical first: higher trigger level first, then the
// smaller trigger priority. Updates without a trigger come after every update
// with one. A strict weak ordering for std::sort; equal updates keep no order.
struct less_than_priority {
  bool operator()(const zu::CAlarmUpdate& a, const zu::CAlarmUpdate& b) const;
};

// Orders triggers by ascending threshold (zu::CValue's operator<).
struct less_than_threshold {
  bool operator()(const zu::CAlarmTrigger& a, const zu::CAlarmTrigger& b) const;
};

}  // namespace cdsapi
