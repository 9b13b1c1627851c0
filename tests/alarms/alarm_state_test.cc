#include <functional>

#include "alarms_fixture.h"

namespace alarms_test {
namespace {

const std::string kDeleteLine = "Error: The delete alarm request did not succeed.\n";

class AlarmStateTest : public DataAlarmsTest {
 protected:
  template <typename T>
  void AnswerWith(const char* record, std::uint32_t status, std::function<void(T&)> fill = nullptr) {
    faults().respond_with(record, [status, fill](const zu::cds::CRequestResponse&) {
      auto answer = std::make_shared<T>();
      answer->status = status;
      if (fill) fill(*answer);
      return answer;
    });
  }
  void AnswerChannelLevels(std::vector<std::uint32_t> levels) {
    AnswerWith<zu::cds::CGetChannel>("CGetChannel", 1, [levels](zu::cds::CGetChannel& answer) {
      answer.results.emplace_back();
      for (auto level : levels) {
        answer.results[0].channel.triggers.emplace_back();
        answer.results[0].channel.triggers.back().level = level;
      }
    });
  }
};

TEST_F(AlarmStateTest, CountersReadTheAnswerAndGiveZeroOnFailure) {
  AnswerWith<zu::cds::CGetAlarmUpdateGlobalCount>("CGetAlarmUpdateGlobalCount", 1,
                                                   [](auto& a) { a.count = 0x1234567890ULL; });
  EXPECT_EQ(alarms.getEndInstanceGlobal(), 0x1234567890ULL);
  Answer(1, {Update(10, 0, 5000000000ULL, 3), Update(10, 0, 4, 3)}, 42);
  EXPECT_EQ(alarms.getEndInstance(kDevice, true, true), 5000000000ULL);
  EXPECT_EQ(SentFields(), "ids=1042, recursive start=0 max=1 active_only");
  EXPECT_EQ(alarms.getNbInstance(kDevice, zu::CWallTime::from_seconds(1600000000), 0, false), 42U);
  EXPECT_EQ(SentFields(), "ids=1042, start=0 max=1 count_only level=0 date2=1600000000");
  Answer(1, {});
  EXPECT_EQ(alarms.getEndInstance(kDevice, false, false), 0U);

  zu::testing::CapturedStream err(std::cerr);
  AnswerWith<zu::cds::CGetAlarmUpdateGlobalCount>("CGetAlarmUpdateGlobalCount", 2, [](auto& a) { a.count = 9; });
  EXPECT_EQ(alarms.getEndInstanceGlobal(), 0U);
  Answer(4, {Update(10, 0, 9, 3)}, 42);
  EXPECT_EQ(alarms.getEndInstance(kDevice, false, false), 0U);
  EXPECT_EQ(alarms.getNbInstance(kDevice, zu::CWallTime(), 7, true), 0U);
  faults().drop_response("CGetAlarms");
  faults().respond_with_other_class("CGetAlarmUpdateGlobalCount");
  EXPECT_EQ(alarms.getEndInstance(kDevice, false, false), 0U);
  EXPECT_EQ(alarms.getNbInstance(kDevice, zu::CWallTime(), 7, true), 0U);
  EXPECT_EQ(alarms.getEndInstanceGlobal(), 0U);
  EXPECT_EQ(err.text(), "");
}

TEST_F(AlarmStateTest, HasChangedComparesWithWhatTheContextSawLast) {
  cdsapi::DataAlarms::AlarmChangedContext context;
  Answer(1, {}, 0);
  EXPECT_FALSE(alarms.hasChanged(kDevice, true, false, context));  // nothing, as before
  EXPECT_EQ(SentFields(), "ids=1042, recursive start=0 max=1 count_only");
  Answer(1, {Update(10, 0, 57, 3)}, 3);
  EXPECT_TRUE(alarms.hasChanged(kDevice, true, false, context));
  EXPECT_EQ(context.last_instance, 57U);
  EXPECT_EQ(context.last_count, 3U);
  EXPECT_FALSE(alarms.hasChanged(kDevice, true, false, context));
  Answer(1, {Update(10, 0, 57, 3)}, 2);  // the count alone changed
  EXPECT_TRUE(alarms.hasChanged(kDevice, true, false, context));
  faults().drop_response("CGetAlarms", 1);
  EXPECT_TRUE(alarms.hasChanged(kDevice, true, false, context));
  EXPECT_EQ(context.last_instance, 0U);
  EXPECT_EQ(context.last_count, 0U);
  EXPECT_TRUE(alarms.hasChanged(kDevice, true, false, context));  // and back
  EXPECT_EQ(context.last_instance, 57U);
}

TEST_F(AlarmStateTest, LevelIsTheFirstTriggersLibraryLevel) {
  AnswerChannelLevels({3, 0});
  EXPECT_EQ(alarms.getLevel(77), 7U);
  EXPECT_EQ(faults().last<zu::cds::CGetChannel>()->ids, zu::cds::IdList{77});
  AnswerChannelLevels({});
  EXPECT_EQ(alarms.getLevel(77), 0U);
  faults().clear_faults();
  EXPECT_EQ(alarms.getLevel(4242), 0U);  // unknown to the store
  faults().drop_response("CGetChannel");
  EXPECT_EQ(alarms.getLevel(77), 0U);
}

TEST_F(AlarmStateTest, MostCriticalIsTheHighestStoreLevelThenSmallestPriority) {
  Answer(1, {Untriggered(5), Update(10, 0, 1, 1, 0), Update(11, 0, 2, 3, 5), Update(12, 0, 3, 3, 2),
             Update(13, 0, 4, 2, 0)});
  auto most = alarms.getMostCritical(kDevice);
  ASSERT_TRUE(most);
  EXPECT_EQ(Shown({*most}), "3:3 ");  // untranslated, not marked
  EXPECT_EQ(SentFields(), "ids=1042, start=0 max=1000 active_only active_query order");
  Answer(1, {Update(10, 0, 1234567890123ULL, 3)});
  EXPECT_EQ(alarms.getMostCriticalId(kDevice), "1234567890123");

  zu::testing::CapturedStream err(std::cerr);
  Answer(4, {Update(10, 0, 1, 1), Update(11, 0, 2, 2)});  // whatever the status
  EXPECT_EQ(alarms.getMostCriticalId(kDevice), "2");
  EXPECT_EQ(err.text(), kTooBigLine);
  err.clear();
  Answer(1, {});
  EXPECT_FALSE(alarms.getMostCritical(kDevice));
  EXPECT_EQ(alarms.getMostCriticalId(kDevice), "");
  EXPECT_EQ(err.text(), "");
  faults().drop_response("CGetAlarms");
  EXPECT_FALSE(alarms.getMostCritical(kDevice));
  EXPECT_EQ(err.text(), kFailedLine);
}

TEST_F(AlarmStateTest, ClearingSendsItsSelectionAndReportsOnlyARefusal) {
  zu::testing::CapturedStream err(std::cerr);
  AnswerWith<zu::cds::CDeleteAlarms>("CDeleteAlarms", 1);
  const zu::CWallTime time = zu::CWallTime::from_seconds(1500000000, 7);
  alarms.clear(kDevice, time, 2, 1);
  auto sent = faults().last<zu::cds::CDeleteAlarms>();
  EXPECT_EQ(sent->device_ids, zu::cds::IdSet{kDevice});
  EXPECT_TRUE(sent->alarm_ids.empty());
  EXPECT_EQ(sent->time, time);
  EXPECT_EQ(sent->clear_param1, 2U);
  EXPECT_EQ(sent->clear_param2, 1U);
  EXPECT_TRUE(sent->by_device);

  const zu::CWallTime before = zu::CWallTime::now();
  alarms.clearByIds({5, 5, 9});
  sent = faults().last<zu::cds::CDeleteAlarms>();
  EXPECT_EQ(sent->alarm_ids, (zu::cds::IdSet{5, 9}));
  EXPECT_TRUE(sent->device_ids.empty());
  EXPECT_FALSE(sent->by_device);
  EXPECT_EQ(sent->clear_param1 + sent->clear_param2, 0U);
  EXPECT_TRUE(before <= sent->time && sent->time <= zu::CWallTime::now());
  EXPECT_EQ(err.text(), "");

  AnswerWith<zu::cds::CDeleteAlarms>("CDeleteAlarms", 2);
  alarms.clear(kDevice, time, 0, 0);
  EXPECT_EQ(err.text(), kDeleteLine);
  alarms.clearByIds({});
  EXPECT_EQ(err.text(), kDeleteLine + kDeleteLine);
  err.clear();
  faults().drop_response("CDeleteAlarms");
  alarms.clear(kDevice, time, 0, 0);
  faults().respond_with_other_class("CDeleteAlarms");
  alarms.clearByIds({1});
  EXPECT_EQ(err.text(), "");
}

}  // namespace
}  // namespace alarms_test
