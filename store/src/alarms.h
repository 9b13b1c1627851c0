#pragma once
// The alarm engine and the alarm log. Internal to the store.
//
// The handlers follow store_data.h's conventions (validate everything, then
// change; the caller holds the engine lock). Alarms are evaluated where the
// store changes: set_alarm_config evaluates the channels it configures, and
// evaluate_alarms, run by the engine after every write request, evaluates the
// channels whose values, alarm-disabled bits or existence that request
// changed. Every raise and every end becomes one zu::CAlarmUpdate, appended to
// the log and to the change set.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "alarm_state.h"
#include "store/ChangeSet.h"
#include "store/Clock.h"
#include "store/Engine.h"
#include "store_data.h"
#include "zu/cds/Records.h"

namespace cds {
namespace store {
namespace detail {

// ---- configuration and evaluation (alarm_engine.cc)
void get_alarm_config(const StoreData& data, const zu::cds::CGetAlarmConfig& request,
                      zu::cds::CGetAlarmConfig& response);
void set_alarm_config(StoreData& data, const zu::cds::CSetAlarmConfig& request, zu::cds::CSetAlarmConfig& response,
                      ChangeSet& changes);
// Evaluates what `changes` (already applied) touched: written values,
// alarm-disabled bits that changed, removed channels.
void evaluate_alarms(StoreData& data, ChangeSet& changes);
// Evaluates the triggers whose delay has run out by now.
void run_alarm_timers(StoreData& data, ChangeSet& changes);
// Ends an active alarm with a back-to-normal update saying `why`. With
// `hold_down` the trigger raises again only after its value returned to normal.
void end_alarm(StoreData& data, const AlarmKey& key, const std::string& why, bool hold_down, ChangeSet& changes);

// ---- the log (alarm_log.cc)
void append_to_log(AlarmData& alarms, const zu::CAlarmUpdate& update);
void get_alarms(const StoreData& data, const zu::cds::CGetAlarms& request, zu::cds::CGetAlarms& response);
void delete_alarms(StoreData& data, const zu::cds::CDeleteAlarms& request, zu::cds::CDeleteAlarms& response,
                   ChangeSet& changes);
void get_alarm_global_count(const StoreData& data, const zu::cds::CGetAlarmUpdateGlobalCount& request,
                            zu::cds::CGetAlarmUpdateGlobalCount& response);

// A trigger level as the store keeps it: library levels 4..7 become store
// levels (4 good 1, 5 info 0, 6 warning 2, 7 critical 3); 0..3 stay. Only
// for levels up to 7.
std::uint32_t store_level(std::uint32_t level);

// Runs the alarm delays of one engine. With a clock that drives its own
// timers it only watches that clock; otherwise it keeps a thread that sleeps
// until the earliest deadline (started when the first delay is scheduled).
// `due` takes the engine lock and calls run_alarm_timers. Destroying it stops
// the thread and the watch; once destroyed, `due` is not running and will not run.
class AlarmTimers {
 public:
  AlarmTimers(AlarmData& alarms, const EngineOptions& options, std::function<void()> due);
  ~AlarmTimers();
  AlarmTimers(const AlarmTimers&) = delete;
  AlarmTimers& operator=(const AlarmTimers&) = delete;

 private:
  void wake_at(Clock::TimePoint deadline);  // called under the engine lock
  void loop();

  std::shared_ptr<Clock> clock_;
  std::function<void()> due_;
  std::uint64_t watch_ = 0;

  std::mutex mutex_;  // taken after the engine lock, never before it
  std::condition_variable wake_;
  bool stop_ = false;
  bool has_deadline_ = false;
  Clock::TimePoint next_;
  std::thread thread_;
};

}  // namespace detail
}  // namespace store
}  // namespace cds
