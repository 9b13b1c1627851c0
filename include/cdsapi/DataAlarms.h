#pragma once
// Alarm queries, counters and maintenance for the alarms of devices.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "cdsapi/AlarmInfos.h"
#include "cdsapi/InBandAccessor.h"
#include "cdsapi/dataClient.h"
#include "zu/CAlarm.h"
#include "zu/CWallTime.h"
#include "zu/cds/Records.h"

namespace cdsapi {

// Questions about the alarms of devices: active alarms, the alarm log, updates
// since a date, the most critical alarm, counters, and clearing.
//
// Every query is exactly one request (getLog two) on the process-wide data
// store client, made on the caller's thread. Nothing here throws for a failed
// request: a query writes one line on std::cerr and returns an empty or zero
// result. The lines are "Error: Get Alarms request failed!" (no answer, or an
// answer of another kind), and for the data store's statuses 3 and 4 "Error:
// Not enough queue space to return the response. Try again later and/or try a
// more restrictive query." and "Error: The response would be too big, try a
// more restrictive query."; the updates of a status 3 or 4 answer are still
// handed back except where a query says otherwise.
//
// Counts: a count c asks for c updates when 1 <= c <= 999, and for 1000 when
// c is 0 or 1000 and more. Levels: a LevelAlarm of 0 means no level filter.
// Updates come with the data store's levels (0 info, 1 good, 2 warning,
// 3 critical) unless a query says it translates them to LevelAlarm values
// (translateTriggerLevel). Updates without a trigger are left as they are.
//
// The object keeps no state between queries but the three filter members;
// queries may run on several threads at once as long as nobody changes the
// filters meanwhile.
class DataAlarms {
 public:
  // What hasChanged saw last; the caller keeps one per watched device and
  // options, starts it zeroed and must not share it between threads.
  struct AlarmChangedContext {
    std::uint64_t last_instance = 0;
    std::uint64_t last_count = 0;
  };

  explicit DataAlarms(dataClient& client);
  virtual ~DataAlarms();
  DataAlarms(const DataAlarms&) = delete;
  DataAlarms& operator=(const DataAlarms&) = delete;

  // ---- active alarms ----
  // The latest raise of every alarm active now on the devices (and their
  // sub-devices when `recursive`), levels translated, each marked active.
  // The overloads with `out` hand back the answer record itself (nullptr when
  // there was no usable answer), with the same post-processing.
  void getActive(const std::vector<unsigned long long>& ids, bool recursive, unsigned long long start,
                 unsigned long long count, LevelAlarm level, std::shared_ptr<zu::cds::CGetAlarms>& out);
  void getActive(unsigned long long device_id, bool recursive, unsigned long long start, unsigned long long count,
                 LevelAlarm level, std::shared_ptr<zu::cds::CGetAlarms>& out);
  std::vector<zu::CAlarmUpdate> getActive(unsigned long long device_id, bool recursive, unsigned long long start,
                                          unsigned long long count, LevelAlarm level);
  std::vector<zu::CAlarmUpdate> getActive(unsigned long long device_id, bool recursive);
  std::vector<zu::CAlarmUpdate> getActive(const std::vector<unsigned long long>& ids, bool recursive);

  // ---- the log ----
  // Every update of the device's alarms, levels translated; an update is
  // marked active when its alarm is active now (a second request).
  void getLog(unsigned long long device_id, bool recursive, unsigned long long start, unsigned long long count,
              std::shared_ptr<zu::cds::CGetAlarms>& out);
  std::vector<zu::CAlarmUpdate> getLog(unsigned long long device_id, bool recursive, unsigned long long start,
                                       unsigned long long count);
  // Updates at or after `date` of level `level` (0 included: a level 0 filter
  // is a filter), up to 1000, as the data store gave them.
  void getLogFromDateAndLevel(unsigned long long device_id, bool recursive, unsigned long long start,
                              zu::CWallTime date, std::uint32_t level, std::shared_ptr<zu::cds::CGetAlarms>& out);
  std::vector<zu::CAlarmUpdate> getLogFromDateAndLevel(unsigned long long device_id, bool recursive,
                                                       unsigned long long start, zu::CWallTime date,
                                                       std::uint32_t level);
  // The log selected by the three filter members below, as the data store gave it.
  std::vector<zu::CAlarmUpdate> getLogFiltered(unsigned long long device_id, bool recursive, unsigned long long start,
                                               unsigned long long count);
  // Updates from `date` on; levels translated only when the answer has status 1.
  std::vector<zu::CAlarmUpdate> getLogFromDate(unsigned long long device_id, bool recursive, zu::CWallTime date);
  // Active alarms from `date` on; as getLogFromDate, and not marked active.
  std::vector<zu::CAlarmUpdate> getActiveAlarmsFromDate(unsigned long long device_id, zu::CWallTime date);
  // Returns to normal from `date` on, levels translated; empty unless the
  // answer has status 1.
  std::vector<zu::CAlarmUpdate> getClosedAlarmsFromDate(unsigned long long device_id, zu::CWallTime date);

  // ---- counters ----
  // These write nothing on failure and return 0, which a caller cannot tell
  // from "nothing found".
  // The instance number of the latest alarm update of the whole data store.
  std::uint64_t getEndInstanceGlobal();
  // The instance number of the device's latest matching update.
  std::uint64_t getEndInstance(unsigned long long device_id, bool recursive, bool active_only);
  // The number of the device's updates at or after `date` of level `level`.
  std::uint32_t getNbInstance(unsigned long long device_id, zu::CWallTime date, std::uint32_t level,
                              bool active_only);
  // True when the device's latest matching update or the number of matching
  // updates differs from what `context` holds; then remembers both in it (a
  // failed request remembers zeros).
  bool hasChanged(unsigned long long device_id, bool recursive, bool active_only, AlarmChangedContext& context);
  // The LevelAlarm of the channel's first trigger; 0 when it has none or
  // cannot be read.
  std::uint32_t getLevel(unsigned long long channel_id);

  // ---- the most critical alarm ----
  // A copy of the device's most critical active update (highest data store
  // level, then smallest priority), independent of the answer record; empty
  // when the device has no active alarm or the request failed (after its
  // line). Its level is the data store's and it is not marked active.
  boost::optional<zu::CAlarmUpdate> getMostCritical(unsigned long long device_id);
  // The decimal instance number of that update, or "" when there is none.
  std::string getMostCriticalId(unsigned long long device_id);

  // ---- maintenance ----
  // Ask the data store to delete the device's alarms selected by `time` and
  // the two parameters, which are passed on as they are. A refusal writes
  // "Error: The delete alarm request did not succeed."; no answer writes nothing.
  void clear(unsigned long long device_id, zu::CWallTime time, std::uint32_t param1, std::uint32_t param2);
  // Likewise for every update of the given alarm ids (duplicates are sent once).
  void clearByIds(const std::vector<unsigned long long>& alarm_ids);

  // ---- subscriptions ----
  // Alarm updates of the devices and of all their sub-devices, present and
  // future, each handed to `callback` on the event thread "Event CDS". The
  // id is written to `subscription_id` (when not null) as soon as it is
  // reserved, even when the store then refuses the subscription; release it
  // with InBandAccessor::unsubscribe.
  using AlarmUpdateCallback = std::function<void(const zu::CAlarmUpdate&)>;
  bool subscribeDeviceAlarms(unsigned long long device_id, AlarmUpdateCallback callback,
                             unsigned long long* subscription_id);
  bool subscribeMultipleDeviceAlarms(std::vector<unsigned long long> device_ids, AlarmUpdateCallback callback,
                                     unsigned long long* subscription_id);

  // Kept for the object's lifetime; the queries use the process-wide client.
  dataClient& client;
  // The selection of getLogFiltered, set directly by the application. The
  // level is sent as a plain value, not as a level filter; the byte is a
  // mask of data store levels (255: all).
  std::uint32_t filter_level;
  std::string filter_text;
  std::uint8_t filter_byte;
};

}  // namespace cdsapi
