// DataAlarms: counters, the most critical alarm, clearing and alarm subscriptions.
#include <algorithm>
#include <sstream>

#include "alarms/AlarmRequest.h"
#include "cdsapi/DataAlarms.h"
#include "cdsapi/dataHandler.h"
#include "common/Response.h"
#include "zu/cds/CClient.h"

namespace cdsapi {

using detail::response_as;
using detail::successful;

namespace {

// The one-update request of the counters; order_flag stays false.
zu::cds::CGetAlarms counterRequest(unsigned long long device_id, bool active_only) {
  zu::cds::CGetAlarms request;
  request.ids = {device_id};
  request.ids_given = true;
  request.active_only = active_only;
  request.max_count = 1;
  request.start = 0;
  request.count_only = false;
  return request;
}

void submitDelete(zu::cds::CDeleteAlarms& request) {
  auto response = response_as<zu::cds::CDeleteAlarms>(zu::cds::CClient::get()->submit_wait(request));
  // Only a refusal is reported; with no answer there is nothing to report on.
  if (response && response->status != zu::cds::status_ok)
    detail::writeErrorLine("Error: The delete alarm request did not succeed.");
}

}  // namespace

std::uint64_t DataAlarms::getEndInstanceGlobal() {
  zu::cds::CGetAlarmUpdateGlobalCount request;
  auto response = successful<zu::cds::CGetAlarmUpdateGlobalCount>(zu::cds::CClient::get()->submit_wait(request));
  return response ? response->count : 0;
}

std::uint64_t DataAlarms::getEndInstance(unsigned long long device_id, bool recursive, bool active_only) {
  auto request = counterRequest(device_id, active_only);
  request.recursive = recursive;
  auto response = successful<zu::cds::CGetAlarms>(zu::cds::CClient::get()->submit_wait(request));
  return response && !response->alarms.empty() ? response->alarms.front().instance : 0;
}

std::uint32_t DataAlarms::getNbInstance(unsigned long long device_id, zu::CWallTime date, std::uint32_t level,
                                        bool active_only) {
  auto request = counterRequest(device_id, active_only);
  request.date2 = date;
  request.level = level;
  request.level_given = true;
  request.count_only = true;
  auto response = successful<zu::cds::CGetAlarms>(zu::cds::CClient::get()->submit_wait(request));
  return response ? response->found_count : 0;
}

bool DataAlarms::hasChanged(unsigned long long device_id, bool recursive, bool active_only,
                            AlarmChangedContext& context) {
  auto request = counterRequest(device_id, active_only);
  request.recursive = recursive;
  request.count_only = true;
  std::uint64_t instance = 0;
  std::uint64_t count = 0;
  if (auto response = successful<zu::cds::CGetAlarms>(zu::cds::CClient::get()->submit_wait(request))) {
    count = response->found_count;
    if (!response->alarms.empty()) instance = response->alarms.front().instance;
  }
  const bool changed = instance != context.last_instance || count != context.last_count;
  // Also after a failure: the next success then reads as a change.
  context.last_instance = instance;
  context.last_count = count;
  return changed;
}

std::uint32_t DataAlarms::getLevel(unsigned long long channel_id) {
  zu::cds::CGetChannel request;
  request.ids = {channel_id};
  auto response = successful<zu::cds::CGetChannel>(zu::cds::CClient::get()->submit_wait(request));
  if (!response || response->results.empty()) return 0;
  const auto& triggers = response->results.front().channel.triggers;
  return triggers.empty() ? 0 : translateTriggerLevel(triggers.front().level);
}

boost::optional<zu::CAlarmUpdate> DataAlarms::getMostCritical(unsigned long long device_id) {
  zu::cds::CGetAlarms request;
  request.ids = {device_id};
  request.ids_given = true;
  request.active_only = true;
  request.active_query = true;
  request.order_flag = true;
  request.max_count = detail::maxCount(0);
  auto response = detail::submitAlarmQuery(request);
  if (!response) return boost::none;
  // Only the first of the sorted list is wanted, and the levels are the data
  // store's (critical highest), so the minimum under the same ordering does.
  const auto& updates = response->alarms;
  auto most = std::min_element(updates.begin(), updates.end(), less_than_priority());
  if (most == updates.end()) return boost::none;
  return *most;
}

std::string DataAlarms::getMostCriticalId(unsigned long long device_id) {
  auto most = getMostCritical(device_id);
  if (!most) return std::string();
  std::ostringstream text;
  text << most->instance;
  return text.str();
}

void DataAlarms::clear(unsigned long long device_id, zu::CWallTime time, std::uint32_t param1, std::uint32_t param2) {
  zu::cds::CDeleteAlarms request;
  request.device_ids = {device_id};
  request.time = time;
  request.clear_param1 = param1;
  request.clear_param2 = param2;
  request.by_device = true;
  submitDelete(request);
}

void DataAlarms::clearByIds(const std::vector<unsigned long long>& alarm_ids) {
  zu::cds::CDeleteAlarms request;
  request.alarm_ids.insert(alarm_ids.begin(), alarm_ids.end());
  request.time = zu::CWallTime::now();
  request.by_device = false;
  submitDelete(request);
}

// Alarm subscriptions go to the process-wide registry, not to this object's
// client: type 9 with the flag set, so sub-devices are covered too.
bool DataAlarms::subscribeDeviceAlarms(unsigned long long device_id, AlarmUpdateCallback callback,
                                       unsigned long long* subscription_id) {
  return subscribeMultipleDeviceAlarms(std::vector<unsigned long long>{device_id}, std::move(callback),
                                       subscription_id);
}

bool DataAlarms::subscribeMultipleDeviceAlarms(std::vector<unsigned long long> device_ids,
                                               AlarmUpdateCallback callback, unsigned long long* subscription_id) {
  std::shared_ptr<dataHandler> registry = SubscriberSingleton::instance().handler;
  return registry->registerSubscription(
      device_ids, dataHandler::SubscriptionCallback::AlarmUpdateCallback(std::move(callback)), subscription_id);
}

}  // namespace cdsapi
