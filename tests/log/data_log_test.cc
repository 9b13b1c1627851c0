// dataLog: the CSV filter, the user and process names, and which records
// reach the system log, under which facility, severity and identifier.
#include "cdsapi/dataLog.h"

#include <syslog.h>

#include <cerrno>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "log/UserName.h"
#include "zu/testing/CapturedSysLog.h"

namespace {

using cdsapi::dataLog;

class DataLogTest : public ::testing::Test {
 protected:
  void TearDown() override { toolkit::CSysLog::set_ident(nullptr, false); }
  zu::testing::CapturedSysLog log;
};

TEST(DataLogTextTest, OnlyALeadingFormulaCharacterIsDefusedAndTheUserNameRulesAndTheProcessName) {
  const std::map<std::string, std::string> filtered = {{"=1+1", "'=1+1"}, {"-5", "'-5"}, {"@SUM(A1)", "'@SUM(A1)"},
      {"+x", "'+x"}, {"*", "'*"}, {"a=b", "a=b"}, {"5-3", "5-3"}, {"", ""}, {"'=1+1", "'=1+1"}, {" =1", " =1"}};
  for (const auto& c : filtered) EXPECT_EQ(dataLog::csvInjectionFiltering(c.first), c.second) << c.first;
  const std::map<uid_t, std::string> logins = {{0, "root"}, {9999, "svc"}, {10000, "operator"},
                                               {29999, "edge"}, {30000, "operator"}};
  const cdsapi::detail::LoginLookup lookup = [&](uid_t uid, std::string& login) {
    return logins.count(uid) != 0 && !(login = logins.at(uid)).empty();
  };
  const std::map<uid_t, std::string> users = {{0, "system"}, {9999, "system"}, {10000, "operator - local"},
      {29999, "edge - local"}, {30000, "operator - ldap"}, {12000, "system"}};
  for (const auto& c : users) EXPECT_EQ(cdsapi::detail::userNameFor(c.first, lookup), c.second) << c.first;
  EXPECT_EQ(dataLog::getProcessName(0), program_invocation_name);
}

TEST_F(DataLogTest, DebugAndAuditRecordsCarryTheirSeverityFacilityAndFieldsAndOnlyThreadsWithALoggerWrite) {
  dataLog logger("log-test");
  dataLog::logDebugVerbosity(2);
  // The record's severity is written, -1 for none.
  struct Case { cdsapi::syslog_severity severity; std::uint32_t verbosity; int written; } const cases[] = {
      {cdsapi::SeverityCritical, 0, LOG_CRIT},  {cdsapi::SeverityWarning, 2, LOG_WARNING},
      {cdsapi::SeverityInformational, 1, LOG_INFO}, {cdsapi::SeverityInformational, 3, -1},
      {cdsapi::SeverityError, 0, -1},           {cdsapi::SeverityNotice, 0, -1},
  };
  for (const Case& c : cases) {
    log.clear();
    dataLog::logDebug("50% =done", c.severity, c.verbosity);
    const auto records = log.records();
    ASSERT_EQ(records.size(), c.written < 0 ? 0u : 1u) << c.severity << " at " << c.verbosity;
    if (c.written < 0) continue;
    EXPECT_EQ(records[0].severity, c.written);
    EXPECT_EQ(records[0].facility, LOG_USER);
    EXPECT_EQ(records[0].text, "50% =done");  // literal and, unlike audit texts, not filtered
  }

  // Audit records carry their facility and CEE fields.
  log.clear();
  using Op = void (*)(cee_actions, cee_statuses, const std::string&, cdsapi::syslog_severity, const std::string&, int);
  const std::pair<Op, int> ops[] = {{&dataLog::logUpdate, LOG_LOCAL1},   {&dataLog::logUserMgt, LOG_LOCAL2},
                                    {&dataLog::logDeviceEvent, LOG_LOCAL4}, {&dataLog::logConfiguration, LOG_LOCAL5},
                                    {&dataLog::logSession, LOG_LOCAL6},  {&dataLog::logCommand, LOG_LOCAL7}};
  for (const auto& op : ops)
    op.first(CEE_ACTION_UPDATE, CEE_STATUS_SUCCESS, "-1 %s \"x\"", cdsapi::SeverityNotice, "=detail", 0);
  // category, first, second -> code, facility; codes out of their fields carry over
  const std::tuple<int, int, int, unsigned, int> events[] = {
      {2, 3, 4, 2097924u, LOG_LOCAL4}, {8, 0, 1, 8388609u, LOG_LOCAL2}, {9, 1, 0, 9437440u, LOG_LOCAL6},
      {10, 0, 0, 10485760u, LOG_LOCAL1}, {1, 0x1000, 0, 0x200000u, LOG_LOCAL4}, {0, 1, -1, 255u, LOG_LOCAL4}};
  for (const auto& e : events)
    dataLog::logMessage(static_cast<cdsapi::enLogCategory>(std::get<0>(e)), std::get<1>(e), std::get<2>(e),
                        cdsapi::SeverityWarning, "d", -1, "m");

  auto records = log.records();
  ASSERT_EQ(records.size(), 12u);
  const std::string fields = "\"user\":\"" + dataLog::getUserName() + "\",\"detail\":\"=detail\",\"process\":\"" +
                             dataLog::getProcessName(0) + "\",\"msg\":\"'-1 %s \\\"x\\\"\"}";
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(records[i].facility, ops[i].second) << i;
    EXPECT_EQ(records[i].severity, LOG_NOTICE);
    EXPECT_EQ(records[i].ident, "log-test");
    EXPECT_EQ(records[i].text, "@cee: {\"action\":3,\"status\":1,\"code\":0," + fields);
    EXPECT_EQ(records[6 + i].facility, std::get<4>(events[i])) << i;
    EXPECT_EQ(records[6 + i].text, "@cee: {\"action\":0,\"status\":5,\"code\":" +
                                       std::to_string(std::get<3>(events[i])) + ",\"user\":\"" +
                                       dataLog::getUserName() + "\",\"detail\":\"d\",\"process\":\"\",\"msg\":\"m\"}");
  }

  // Only threads with a logger write.
  log.clear();
  std::thread([] {
    dataLog::logUpdate(CEE_ACTION_UPDATE, CEE_STATUS_SUCCESS, "dropped", cdsapi::SeverityInformational, "", 0);
    dataLog::logDebug("dropped", cdsapi::SeverityCritical, 0);
    dataLog::logDebugVerbosity(5);
  }).join();
  std::thread([] {
    { dataLog logger("worker"); }  // the logger outlives its dataLog
    dataLog::logSession(CEE_ACTION_LOGIN, CEE_STATUS_SUCCESS, "kept", cdsapi::SeverityInformational, "", 0);
  }).join();
  dataLog::logDebug("kept", cdsapi::SeverityInformational, 2);  // this thread's threshold is still 2
  records = log.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].facility, LOG_LOCAL6);
  EXPECT_EQ(records[0].ident, "worker");
  EXPECT_EQ(records[1].ident, "worker");  // the identifier is the process's latest one
}

}  // namespace
