// DataAlarms: the list queries.
#include "cdsapi/DataAlarms.h"

#include <iostream>
#include <string>

#include "alarms/AlarmRequest.h"
#include "zu/cds/CClient.h"

namespace cdsapi {
namespace detail {

void writeErrorLine(const char* text) {
  std::string line(text);
  line += '\n';
  std::cerr << line << std::flush;
}

std::shared_ptr<zu::cds::CGetAlarms> submitAlarmQuery(zu::cds::CGetAlarms& request) {
  auto response = std::dynamic_pointer_cast<zu::cds::CGetAlarms>(zu::cds::CClient::get()->submit_wait(request));
  if (!response) {
    writeErrorLine("Error: Get Alarms request failed!");
    return nullptr;
  }
  if (response->status == zu::cds::status_no_queue)
    writeErrorLine(
        "Error: Not enough queue space to return the response. Try again later and/or try a more restrictive query.");
  else if (response->status == zu::cds::status_too_big)
    writeErrorLine("Error: The response would be too big, try a more restrictive query.");
  return response;
}

std::uint32_t maxCount(unsigned long long count) {
  return count >= 1 && count <= 999 ? static_cast<std::uint32_t>(count) : 1000U;
}

}  // namespace detail

namespace {

constexpr std::uint32_t kMaxUpdates = 1000;

using detail::maxCount;
using detail::submitAlarmQuery;
using Updates = std::vector<zu::CAlarmUpdate>;

// The request every query starts from: the given devices, by id.
zu::cds::CGetAlarms requestFor(const std::vector<unsigned long long>& ids, bool recursive) {
  zu::cds::CGetAlarms request;
  // The record's id type is the framework's 64-bit one, not necessarily ours.
  request.ids.assign(ids.begin(), ids.end());
  request.ids_given = true;
  request.recursive = recursive;
  request.order_flag = true;
  return request;
}

// Updates without a trigger carry no level to translate and stay as they are.
void translateLevel(zu::CAlarmUpdate& update) {
  if (update.trigger) update.trigger->level = translateTriggerLevel(update.trigger->level);
}

void translateLevels(Updates& updates) {
  for (auto& update : updates) translateLevel(update);
}

Updates updatesOf(const std::shared_ptr<zu::cds::CGetAlarms>& response) {
  return response ? response->alarms : Updates();
}

// The date queries translate levels only in a complete answer; a partial one
// (status 3 or 4) is handed back as the data store gave it.
Updates queryTranslatedWhenComplete(zu::cds::CGetAlarms& request) {
  auto response = submitAlarmQuery(request);
  if (!response) return {};
  Updates updates = response->alarms;
  if (response->status == zu::cds::status_ok) translateLevels(updates);
  return updates;
}

}  // namespace

DataAlarms::DataAlarms(dataClient& client) : client(client), filter_level(0), filter_text(), filter_byte(255) {}

DataAlarms::~DataAlarms() = default;

void DataAlarms::getActive(const std::vector<unsigned long long>& ids, bool recursive, unsigned long long start,
                           unsigned long long count, LevelAlarm level, std::shared_ptr<zu::cds::CGetAlarms>& out) {
  auto request = requestFor(ids, recursive);
  request.start = start;
  request.max_count = maxCount(count);
  request.active_only = true;
  request.active_query = true;
  if (level != LevelNone) {
    request.level = static_cast<std::uint32_t>(level);
    request.level_given = true;
  }
  out = submitAlarmQuery(request);
  if (!out) return;
  for (auto& update : out->alarms) {
    update.active = true;
    translateLevel(update);
  }
}

void DataAlarms::getActive(unsigned long long device_id, bool recursive, unsigned long long start,
                           unsigned long long count, LevelAlarm level, std::shared_ptr<zu::cds::CGetAlarms>& out) {
  getActive(std::vector<unsigned long long>{device_id}, recursive, start, count, level, out);
}

std::vector<zu::CAlarmUpdate> DataAlarms::getActive(unsigned long long device_id, bool recursive,
                                                    unsigned long long start, unsigned long long count,
                                                    LevelAlarm level) {
  std::shared_ptr<zu::cds::CGetAlarms> response;
  getActive(device_id, recursive, start, count, level, response);
  return updatesOf(response);
}

std::vector<zu::CAlarmUpdate> DataAlarms::getActive(unsigned long long device_id, bool recursive) {
  return getActive(device_id, recursive, 0, 0, LevelNone);
}

std::vector<zu::CAlarmUpdate> DataAlarms::getActive(const std::vector<unsigned long long>& ids, bool recursive) {
  std::shared_ptr<zu::cds::CGetAlarms> response;
  getActive(ids, recursive, 0, 0, LevelNone, response);
  return updatesOf(response);
}

void DataAlarms::getLog(unsigned long long device_id, bool recursive, unsigned long long start,
                        unsigned long long count, std::shared_ptr<zu::cds::CGetAlarms>& out) {
  auto request = requestFor({device_id}, recursive);
  request.start = start;
  request.max_count = maxCount(count);
  out = submitAlarmQuery(request);
  if (!out) return;
  // The log does not say which alarms are still raised; the active query does.
  // Its own failure is reported by it and just leaves nothing marked.
  const Updates active = getActive(device_id, recursive);
  for (auto& update : out->alarms) {
    for (const auto& raised : active)
      if (update.alarm_id == raised.alarm_id && update.alarm_index == raised.alarm_index) update.active = true;
    translateLevel(update);
  }
}

std::vector<zu::CAlarmUpdate> DataAlarms::getLog(unsigned long long device_id, bool recursive,
                                                 unsigned long long start, unsigned long long count) {
  std::shared_ptr<zu::cds::CGetAlarms> response;
  getLog(device_id, recursive, start, count, response);
  return updatesOf(response);
}

void DataAlarms::getLogFromDateAndLevel(unsigned long long device_id, bool recursive, unsigned long long start,
                                        zu::CWallTime date, std::uint32_t level,
                                        std::shared_ptr<zu::cds::CGetAlarms>& out) {
  auto request = requestFor({device_id}, recursive);
  request.start = start;
  request.date2 = date;
  request.max_count = kMaxUpdates;
  request.level = level;
  request.level_given = true;
  out = submitAlarmQuery(request);
}

std::vector<zu::CAlarmUpdate> DataAlarms::getLogFromDateAndLevel(unsigned long long device_id, bool recursive,
                                                                 unsigned long long start, zu::CWallTime date,
                                                                 std::uint32_t level) {
  std::shared_ptr<zu::cds::CGetAlarms> response;
  getLogFromDateAndLevel(device_id, recursive, start, date, level, response);
  return updatesOf(response);
}

std::vector<zu::CAlarmUpdate> DataAlarms::getLogFiltered(unsigned long long device_id, bool recursive,
                                                         unsigned long long start, unsigned long long count) {
  auto request = requestFor({device_id}, recursive);
  request.start = start;
  request.max_count = maxCount(count);
  request.level = filter_level;
  request.filter_byte = filter_byte;
  request.filter_text = filter_text;
  return updatesOf(submitAlarmQuery(request));
}

std::vector<zu::CAlarmUpdate> DataAlarms::getLogFromDate(unsigned long long device_id, bool recursive,
                                                         zu::CWallTime date) {
  auto request = requestFor({device_id}, recursive);
  request.date1 = date;
  return queryTranslatedWhenComplete(request);
}

std::vector<zu::CAlarmUpdate> DataAlarms::getActiveAlarmsFromDate(unsigned long long device_id,
                                                                  zu::CWallTime date) {
  auto request = requestFor({device_id}, false);
  request.date1 = date;
  request.active_only = true;
  request.active_query = true;
  return queryTranslatedWhenComplete(request);
}

std::vector<zu::CAlarmUpdate> DataAlarms::getClosedAlarmsFromDate(unsigned long long device_id,
                                                                  zu::CWallTime date) {
  auto request = requestFor({device_id}, false);
  request.date1 = date;
  request.closed_only = true;
  auto response = submitAlarmQuery(request);
  Updates closed;
  if (!response || response->status != zu::cds::status_ok) return closed;
  for (auto& update : response->alarms) {
    translateLevel(update);
    if (update.back_to_normal) closed.push_back(update);
  }
  return closed;
}

}  // namespace cdsapi
