#include <functional>
#include <utility>

#include "alarms_fixture.h"

namespace alarms_test {
namespace {

using Updates = std::vector<zu::CAlarmUpdate>;
const zu::CWallTime kDate = zu::CWallTime::from_seconds(1700000000);

class QueriesTest : public DataAlarmsTest {};

TEST_F(QueriesTest, EachQuerySendsTheFieldsOfItsKind) {
  Answer(1, {});
  std::shared_ptr<zu::cds::CGetAlarms> out;
  alarms.getActive(kDevice, true);
  EXPECT_EQ(SentFields(), "ids=1042, recursive start=0 max=1000 active_only active_query order");
  alarms.getActive(std::vector<unsigned long long>{30, 10}, false, 4711, 25, cdsapi::LevelWarning, out);
  EXPECT_EQ(SentFields(), "ids=30,10, start=4711 max=25 active_only active_query order level=6");
  alarms.getLogFromDateAndLevel(kDevice, true, 12, kDate, 0);  // level 0 is a filter here
  EXPECT_EQ(SentFields(), "ids=1042, recursive start=12 max=1000 order level=0 date2=1700000000");
  alarms.getLogFromDateAndLevel(kDevice, false, 0, kDate, cdsapi::LevelCritical);  // as given, not translated
  EXPECT_EQ(SentFields(), "ids=1042, start=0 max=1000 order level=7 date2=1700000000");
  alarms.getLogFiltered(kDevice, false, 7, 40);
  EXPECT_EQ(SentFields(), "ids=1042, start=7 max=40 order");
  alarms.filter_level = 2;
  alarms.filter_byte = 0x0C;
  alarms.filter_text = "rack 3";
  alarms.getLogFiltered(kDevice, false, 0, 0);
  EXPECT_EQ(SentFields(), "ids=1042, start=0 max=1000 order level(unused)=2 filter=12/rack 3");
  alarms.getLogFromDate(kDevice, true, kDate);
  EXPECT_EQ(SentFields(), "ids=1042, recursive start=0 max=0 order date1=1700000000");
  alarms.getActiveAlarmsFromDate(kDevice, kDate);
  EXPECT_EQ(SentFields(), "ids=1042, start=0 max=0 active_only active_query order date1=1700000000");
  alarms.getClosedAlarmsFromDate(kDevice, kDate);
  EXPECT_EQ(SentFields(), "ids=1042, start=0 max=0 closed_only order date1=1700000000");
}

TEST_F(QueriesTest, CountsAskForOneToAThousandUpdates) {
  Answer(1, {});
  const std::pair<unsigned long long, std::uint32_t> cases[] = {
      {0, 1000}, {1, 1}, {999, 999}, {1000, 1000}, {5000, 1000}, {0x100000001ULL, 1000}, {~0ULL, 1000}};
  for (const auto& c : cases) {
    alarms.getActive(kDevice, false, 0, c.first, cdsapi::LevelNone);
    EXPECT_EQ(faults().last<zu::cds::CGetAlarms>()->max_count, c.second) << c.first;
    alarms.getLog(kDevice, false, 0, c.first);  // the log request comes before its active query
    EXPECT_EQ(faults().sent<zu::cds::CGetAlarms>().rbegin()[1]->max_count, c.second) << c.first;
  }
}

// Active queries mark and translate whatever the status; the date queries
// translate only a complete answer, and the closed query keeps only the
// returns to normal of one; the other queries give the store's answer as it is.
TEST_F(QueriesTest, EachQueryTreatsItsAnswerByItsKindAndStatus) {
  const Updates answer = {Update(10, 1, 20, 3, 0, true), Update(11, 0, 19, 1), Untriggered(18)};
  const auto active = [&] { return alarms.getActive(kDevice, false); };
  const auto listed = [&] { return alarms.getActive(std::vector<unsigned long long>{kDevice}, false); };
  const auto by_level = [&] { return alarms.getLogFromDateAndLevel(kDevice, false, 0, kDate, 1); };
  const auto filtered = [&] { return alarms.getLogFiltered(kDevice, false, 0, 0); };
  const auto dated = [&] { return alarms.getLogFromDate(kDevice, false, kDate); };
  const auto active_dated = [&] { return alarms.getActiveAlarmsFromDate(kDevice, kDate); };
  const auto closed = [&] { return alarms.getClosedAlarmsFromDate(kDevice, kDate); };
  const struct {
    const char* what;
    std::function<Updates()> query;
    std::uint32_t status;
    const char* shown;
    std::string line;
  } cases[] = {
      {"active", active, 1, "20:7:end:active 19:4:active 18:-:active ", ""},
      {"active, too big", listed, 4, "20:7:end:active 19:4:active 18:-:active ", kTooBigLine},
      {"active, no queue", active, 3, "20:7:end:active 19:4:active 18:-:active ", kQueueLine},
      {"active, refused", active, 2, "20:7:end:active 19:4:active 18:-:active ", ""},
      {"by date and level", by_level, 1, "20:3:end 19:1 18:- ", ""},
      {"filtered", filtered, 1, "20:3:end 19:1 18:- ", ""},
      {"from date", dated, 1, "20:7:end 19:4 18:- ", ""},
      {"from date, no queue", dated, 3, "20:3:end 19:1 18:- ", kQueueLine},
      {"active from date", active_dated, 1, "20:7:end 19:4 18:- ", ""},
      {"active from date, invalid", active_dated, 5, "20:3:end 19:1 18:- ", ""},
      {"closed", closed, 1, "20:7:end ", ""},
      {"closed, no queue", closed, 3, "", kQueueLine},
      {"closed, too big", closed, 4, "", kTooBigLine},
      {"closed, refused", closed, 2, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Answer(c.status, answer);
    faults().clear_requests();
    zu::testing::CapturedStream err(std::cerr);
    EXPECT_EQ(Shown(c.query()), c.shown);
    EXPECT_EQ(err.text(), c.line);
    EXPECT_EQ(faults().count("CGetAlarms"), 1U) << "no active query behind it";
  }
}

// A log asks for the active alarms after it and marks its updates of those;
// a failure of either request is reported once.
TEST_F(QueriesTest, TheLogMarksUpdatesOfAlarmsActiveNowAndReportsEachFailedRequestOnce) {
  // (10, 1) is active through a later instance; (10, 0) and (11, 1) share half its identity.
  Answer(1, {Update(10, 1, 20, 3), Update(10, 0, 19, 2), Update(11, 1, 18, 1), Update(10, 1, 17, 3)}, 0,
         {Update(10, 1, 25, 3), Update(99, 0, 26, 0)});
  EXPECT_EQ(Shown(alarms.getLog(kDevice, true, 300, 50)), "20:7:active 19:6 18:4 17:7:active ");
  auto sent = faults().sent<zu::cds::CGetAlarms>();
  ASSERT_EQ(sent.size(), 2U);
  EXPECT_EQ(Fields(*sent[0]), "ids=1042, recursive start=300 max=50 order");
  EXPECT_EQ(Fields(*sent[1]), "ids=1042, recursive start=0 max=1000 active_only active_query order");

  zu::testing::CapturedStream err(std::cerr);
  Answer(4, {Update(10, 1, 20, 0), Update(12, 0, 21, 0)}, 0, {Update(12, 0, 22, 0)});
  std::shared_ptr<zu::cds::CGetAlarms> out;
  alarms.getLog(kDevice, false, 0, 0, out);
  ASSERT_TRUE(out);
  EXPECT_EQ(Shown(out->alarms), "20:5 21:5:active ");
  EXPECT_EQ(err.text(), kTooBigLine);

  // The log is answered, its active query is not: nothing is marked.
  err.clear();
  faults().drop_response("CGetAlarms", 1);
  faults().respond_with("CGetAlarms", [](const zu::cds::CRequestResponse&) {
    auto answer = std::make_shared<zu::cds::CGetAlarms>();
    answer->status = 1;
    answer->alarms = {Update(12, 0, 21, 3)};
    return answer;
  }, 1);
  EXPECT_EQ(Shown(alarms.getLog(kDevice, false, 0, 0)), "21:7 ");
  EXPECT_EQ(err.text(), kFailedLine);
}

TEST_F(QueriesTest, WithoutAnAnswerEveryQueryWritesOneLineAndGivesNothing) {
  const std::vector<std::function<Updates()>> queries = {
      [&] { return alarms.getActive(kDevice, false, 0, 0, cdsapi::LevelCritical); },
      [&] { return alarms.getActive(kDevice, true); },
      [&] { return alarms.getActive(std::vector<unsigned long long>{1, 2}, false); },
      [&] { return alarms.getLog(kDevice, false, 0, 0); },
      [&] { return alarms.getLogFromDateAndLevel(kDevice, false, 0, kDate, 2); },
      [&] { return alarms.getLogFiltered(kDevice, false, 0, 0); },
      [&] { return alarms.getLogFromDate(kDevice, false, kDate); },
      [&] { return alarms.getActiveAlarmsFromDate(kDevice, kDate); },
      [&] { return alarms.getClosedAlarmsFromDate(kDevice, kDate); },
  };
  for (bool other_class : {false, true}) {
    faults().clear_faults();
    if (other_class) faults().respond_with_other_class("CGetAlarms");
    else faults().drop_response("CGetAlarms");
    for (std::size_t i = 0; i < queries.size(); ++i) {
      faults().clear_requests();
      // Flushed by the query itself, even where standard error is buffered.
      zu::testing::CapturedDescriptor err(2);
      zu::testing::BufferedStream buffered(std::cerr, 2);
      EXPECT_TRUE(queries[i]().empty()) << i;
      EXPECT_EQ(err.text(), kFailedLine) << i;
      EXPECT_EQ(faults().count("CGetAlarms"), 1U) << i;
    }
  }
  // Out parameters are emptied, not left with an earlier answer.
  faults().clear_faults();
  Answer(1, {Update(10, 0, 5, 2)});
  std::shared_ptr<zu::cds::CGetAlarms> active, log, dated;
  alarms.getActive(kDevice, false, 0, 0, cdsapi::LevelNone, active);
  alarms.getLog(kDevice, false, 0, 0, log);
  alarms.getLogFromDateAndLevel(kDevice, false, 0, kDate, 1, dated);
  ASSERT_TRUE(active && log && dated);
  faults().drop_response("CGetAlarms");
  zu::testing::CapturedStream quiet(std::cerr);
  alarms.getActive(kDevice, false, 0, 0, cdsapi::LevelNone, active);
  alarms.getLog(kDevice, false, 0, 0, log);
  alarms.getLogFromDateAndLevel(kDevice, false, 0, kDate, 1, dated);
  EXPECT_FALSE(active || log || dated);
}

}  // namespace
}  // namespace alarms_test
