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

TEST_F(QueriesTest, ActiveAlarmsAreMarkedAndTranslatedWhateverTheStatus) {
  zu::testing::CapturedStream err(std::cerr);
  Answer(1, {Update(10, 0, 5, 3), Update(11, 1, 6, 0), Untriggered(7)});
  EXPECT_EQ(Shown(alarms.getActive(kDevice, false)), "5:7:active 6:5:active 7:-:active ");
  Answer(4, {Update(10, 0, 5, 2)});
  EXPECT_EQ(Shown(alarms.getActive(std::vector<unsigned long long>{kDevice}, false)), "5:6:active ");
  EXPECT_EQ(err.text(), kTooBigLine);
  err.clear();
  Answer(3, {Update(10, 0, 5, 1)});
  std::shared_ptr<zu::cds::CGetAlarms> out;
  alarms.getActive(kDevice, false, 0, 0, cdsapi::LevelNone, out);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->status, 3U);
  EXPECT_EQ(Shown(out->alarms), "5:4:active ");
  EXPECT_EQ(err.text(), kQueueLine);
  err.clear();
  Answer(2, {Update(10, 0, 5, 1)});  // other failures leave the caller to read the status
  EXPECT_EQ(Shown(alarms.getActive(kDevice, false)), "5:4:active ");
  EXPECT_EQ(err.text(), "");
}

TEST_F(QueriesTest, TheLogMarksUpdatesOfAlarmsActiveNow) {
  // (10, 1) is active through a later instance; (10, 0) and (11, 1) share half its identity.
  Answer(1, {Update(10, 1, 20, 3), Update(10, 0, 19, 2), Update(11, 1, 18, 1), Update(10, 1, 17, 3)}, 0,
         {Update(10, 1, 25, 3), Update(99, 0, 26, 0)});
  EXPECT_EQ(Shown(alarms.getLog(kDevice, true, 300, 50)), "20:7:active 19:6 18:4 17:7:active ");
  auto sent = faults().sent<zu::cds::CGetAlarms>();
  ASSERT_EQ(sent.size(), 2U);
  EXPECT_EQ(Fields(*sent[0]), "ids=1042, recursive start=300 max=50 order");
  EXPECT_EQ(Fields(*sent[1]), "ids=1042, recursive start=0 max=1000 active_only active_query order");
}

TEST_F(QueriesTest, ALogReportsEachFailedRequestOnce) {
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

TEST_F(QueriesTest, OtherQueriesLeaveLevelsAndActiveAlone) {
  Answer(1, {Update(10, 1, 20, 3), Update(10, 0, 19, 0)});
  EXPECT_EQ(Shown(alarms.getLogFromDateAndLevel(kDevice, false, 0, kDate, 1)), "20:3 19:0 ");
  EXPECT_EQ(Shown(alarms.getLogFiltered(kDevice, false, 0, 0)), "20:3 19:0 ");
  EXPECT_EQ(faults().count("CGetAlarms"), 2U);  // no active query behind them
}

TEST_F(QueriesTest, DateQueriesTranslateOnlyCompleteAnswers) {
  Answer(1, {Update(10, 1, 20, 3)});
  EXPECT_EQ(Shown(alarms.getLogFromDate(kDevice, false, kDate)), "20:7 ");
  EXPECT_EQ(Shown(alarms.getActiveAlarmsFromDate(kDevice, kDate)), "20:7 ");
  zu::testing::CapturedStream err(std::cerr);
  Answer(3, {Update(10, 1, 20, 3)});
  EXPECT_EQ(Shown(alarms.getLogFromDate(kDevice, false, kDate)), "20:3 ");
  Answer(5, {Update(10, 1, 20, 2)});
  EXPECT_EQ(Shown(alarms.getActiveAlarmsFromDate(kDevice, kDate)), "20:2 ");
  EXPECT_EQ(err.text(), kQueueLine);
}

TEST_F(QueriesTest, ClosedAlarmsAreOnlyReturnsToNormalOfACompleteAnswer) {
  Answer(1, {Update(10, 1, 20, 3, 0, true), Update(10, 1, 19, 3, 0, false), Update(11, 0, 18, 1, 0, true),
             Untriggered(17)});
  EXPECT_EQ(Shown(alarms.getClosedAlarmsFromDate(kDevice, kDate)), "20:7 18:4 ");
  for (std::uint32_t status : {3U, 4U, 2U}) {
    Answer(status, {Update(10, 1, 20, 3, 0, true)});
    zu::testing::CapturedStream err(std::cerr);
    EXPECT_TRUE(alarms.getClosedAlarmsFromDate(kDevice, kDate).empty()) << status;
    EXPECT_EQ(err.text(), status == 3 ? kQueueLine : status == 4 ? kTooBigLine : "");
  }
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
