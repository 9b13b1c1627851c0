#pragma once
// Shared fixture of the DataAlarms tests: a fresh embedded store behind the
// fault-injecting transport, a connected dataClient, updates made to order and
// the alarm requests answered with them.
#include <cstdint>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cdsapi/DataAlarms.h"
#include "zu/testing/Harness.h"

namespace alarms_test {

constexpr unsigned long long kDevice = 1042;
const std::string kFailedLine = "Error: Get Alarms request failed!\n";
const std::string kQueueLine =
    "Error: Not enough queue space to return the response. Try again later and/or try a more restrictive query.\n";
const std::string kTooBigLine = "Error: The response would be too big, try a more restrictive query.\n";

// An update of alarm (id, index) whose trigger has data store level `level`.
inline zu::CAlarmUpdate Update(std::uint64_t id, std::uint32_t index, std::uint64_t instance, std::uint32_t level,
                               std::uint32_t priority = 0, bool back_to_normal = false) {
  zu::CAlarmUpdate u;
  u.alarm_id = id;
  u.alarm_index = index;
  u.instance = instance;
  u.back_to_normal = back_to_normal;
  u.trigger = zu::CAlarmTrigger();
  u.trigger->level = level;
  u.trigger->priority = priority;
  return u;
}
inline zu::CAlarmUpdate Untriggered(std::uint64_t instance) {
  zu::CAlarmUpdate u;
  u.instance = instance;
  return u;
}

// "instance:level[:end][:active]" of every update, "-" for no trigger.
inline std::string Shown(const std::vector<zu::CAlarmUpdate>& updates) {
  std::ostringstream o;
  for (const auto& u : updates) {
    o << u.instance << ':';
    if (u.trigger) o << u.trigger->level; else o << '-';
    if (u.back_to_normal) o << ":end";
    o << (u.active ? ":active " : " ");
  }
  return o.str();
}

// The fields a query sets, in one comparable line (defaults are left out).
inline std::string Fields(const zu::cds::CGetAlarms& r) {
  std::ostringstream o;
  o << "ids=";
  for (auto id : r.ids) o << id << ',';
  if (!r.ids_given) o << " not-given";
  if (r.recursive) o << " recursive";
  o << " start=" << r.start << " max=" << r.max_count;
  if (r.active_only) o << " active_only";
  if (r.active_query) o << " active_query";
  if (r.closed_only) o << " closed_only";
  if (r.count_only) o << " count_only";
  if (r.order_flag) o << " order";
  if (r.level_given || r.level) o << (r.level_given ? " level=" : " level(unused)=") << r.level;
  if (r.date1.is_set()) o << " date1=" << r.date1.seconds;
  if (r.date2.is_set()) o << " date2=" << r.date2.seconds;
  if (r.filter_byte != 255 || !r.filter_text.empty()) o << " filter=" << int(r.filter_byte) << '/' << r.filter_text;
  return o.str();
}

class DataAlarmsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(client.connect(false));
    faults().clear_requests();
  }
  zu::testing::FaultInjectingTransport& faults() { return store.faults(); }

  // Alarm requests are answered with `status` and `updates`; the active query
  // gets `active` instead when given (a log needs both).
  void Answer(std::uint32_t status, std::vector<zu::CAlarmUpdate> updates, std::uint32_t found = 0,
              std::vector<zu::CAlarmUpdate> active = {}) {
    faults().respond_with("CGetAlarms", [=](const zu::cds::CRequestResponse& request) {
      auto answer = std::make_shared<zu::cds::CGetAlarms>();
      bool second = !active.empty() && dynamic_cast<const zu::cds::CGetAlarms&>(request).active_query;
      answer->status = second ? 1 : status;
      answer->alarms = second ? active : updates;
      answer->found_count = found;
      return answer;
    });
  }
  std::string SentFields() { return Fields(*faults().last<zu::cds::CGetAlarms>()); }

  zu::testing::EmbeddedStore store;
  cdsapi::dataClient client{"alarms-test"};
  cdsapi::DataAlarms alarms{client};
};

}  // namespace alarms_test
