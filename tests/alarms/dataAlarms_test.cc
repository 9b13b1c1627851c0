// DataAlarms and AlarmInfos: what each query sends and how it treats an
// answer (against the fault-injecting transport, with answers made to order),
// the counters, clearing, the AlarmInfos texts and orderings. The engine's
// rules are tested with the store, and the library reading a real engine's
// alarms through cdsd with cdsctl.
#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cdsapi/AlarmInfos.h"
#include "cdsapi/DataAlarms.h"
#include "cdsapi/InBandAccessor.h"
#include "zu/testing/Harness.h"

namespace {

using Updates = std::vector<zu::CAlarmUpdate>;
constexpr unsigned long long kDevice = 1042;
const zu::CWallTime kDate = zu::CWallTime::from_seconds(1700000000);
const std::string kFailedLine = "Error: Get Alarms request failed!\n";
const std::string kQueueLine =
    "Error: Not enough queue space to return the response. Try again later and/or try a more restrictive query.\n";
const std::string kTooBigLine = "Error: The response would be too big, try a more restrictive query.\n";
const std::string kDeleteLine = "Error: The delete alarm request did not succeed.\n";

// An update of alarm (id, index) whose trigger has data store level `level`.
zu::CAlarmUpdate Update(std::uint64_t id, std::uint32_t index, std::uint64_t instance, std::uint32_t level,
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
zu::CAlarmUpdate Untriggered(std::uint64_t instance) {
  zu::CAlarmUpdate u;
  u.instance = instance;
  return u;
}

// "instance:level[:end][:active]" of every update, "-" for no trigger.
std::string Shown(const Updates& updates) {
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
std::string Fields(const zu::cds::CGetAlarms& r) {
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

// A fresh embedded store behind the fault-injecting transport, and a
// connected client.
class DataAlarmsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(client.connect(false));
    faults().clear_requests();
  }
  zu::testing::FaultInjectingTransport& faults() { return store.faults(); }

  // The next `times` alarm requests (0: all) are answered with `status` and
  // `updates`; the active query gets `active` instead when given (a log needs both).
  void Answer(std::uint32_t status, Updates updates, std::uint32_t found = 0, Updates active = {},
              std::size_t times = 0) {
    faults().respond_with("CGetAlarms", [=](const zu::cds::CRequestResponse& request) {
      auto answer = std::make_shared<zu::cds::CGetAlarms>();
      bool second = !active.empty() && dynamic_cast<const zu::cds::CGetAlarms&>(request).active_query;
      answer->status = second ? 1 : status;
      answer->alarms = second ? active : updates;
      answer->found_count = found;
      return answer;
    }, times);
  }
  // Requests of class T are answered with `status`, filled by `fill`.
  template <typename T>
  void AnswerWith(std::uint32_t status, std::function<void(T&)> fill = nullptr) {
    const std::string record = T().class_name();
    faults().respond_with(record, [status, fill](const zu::cds::CRequestResponse&) {
      auto answer = std::make_shared<T>();
      answer->status = status;
      if (fill) fill(*answer);
      return answer;
    });
  }
  std::string SentFields() { return Fields(*faults().last<zu::cds::CGetAlarms>()); }

  zu::testing::EmbeddedStore store;
  cdsapi::dataClient client{"alarms-test"};
  cdsapi::DataAlarms alarms{client};
};

// ---- the queries

// Each query sends the fields of its kind. Active queries mark and translate
// whatever the status; the date queries translate only a complete answer, and
// the closed one keeps only the returns to normal of one; the others give the
// store's answer as it is. Status 3 and 4 write their line. Without an answer
// a query writes one line, flushed even where standard error is buffered, and
// gives nothing (an out parameter is emptied, not left with an earlier answer).
TEST_F(DataAlarmsTest, EachQuerySendsItsFieldsAndTreatsItsAnswerByKindAndStatus) {
  const Updates answer = {Update(10, 1, 20, 3, 0, true), Update(11, 0, 19, 1), Untriggered(18)};
  const std::string marked = "20:7:end:active 19:4:active 18:-:active ", as_given = "20:3:end 19:1 18:- ",
                    translated = "20:7:end 19:4 18:- ";
  std::shared_ptr<zu::cds::CGetAlarms> out;
  const auto out_alarms = [&out] { return out ? out->alarms : Updates(); };
  const struct {
    const char* what;
    std::function<Updates()> query;
    const char* sent;
    std::string complete;  // shown for status 1
    std::string partial;   // for any other status
  } queries[] = {
      {"active", [&] { return alarms.getActive(kDevice, true); },
       "ids=1042, recursive start=0 max=1000 active_only active_query order", marked, marked},
      {"active, listed",
       [&] {
         alarms.getActive(std::vector<unsigned long long>{30, 10}, false, 4711, 999, cdsapi::LevelWarning, out);
         return out_alarms();
       },
       "ids=30,10, start=4711 max=999 active_only active_query order level=6", marked, marked},
      {"by date and level 0, a filter here",
       [&] {
         alarms.getLogFromDateAndLevel(kDevice, true, 12, kDate, 0, out);
         return out_alarms();
       },
       "ids=1042, recursive start=12 max=1000 order level=0 date2=1700000000", as_given, as_given},
      {"by date and level, as given",
       [&] { return alarms.getLogFromDateAndLevel(kDevice, false, 0, kDate, cdsapi::LevelCritical); },
       "ids=1042, start=0 max=1000 order level=7 date2=1700000000", as_given, as_given},
      {"filtered, a count past 32 bits", [&] { return alarms.getLogFiltered(kDevice, false, 7, 0x100000001ULL); },
       "ids=1042, start=7 max=1000 order", as_given, as_given},
      {"filtered by the members",
       [&] {
         alarms.filter_level = 2;
         alarms.filter_byte = 0x0C;
         alarms.filter_text = "rack 3";
         return alarms.getLogFiltered(kDevice, false, 0, 0);
       },
       "ids=1042, start=0 max=1000 order level(unused)=2 filter=12/rack 3", as_given, as_given},
      {"from date", [&] { return alarms.getLogFromDate(kDevice, true, kDate); },
       "ids=1042, recursive start=0 max=0 order date1=1700000000", translated, as_given},
      {"active from date", [&] { return alarms.getActiveAlarmsFromDate(kDevice, kDate); },
       "ids=1042, start=0 max=0 active_only active_query order date1=1700000000", translated, as_given},
      {"closed", [&] { return alarms.getClosedAlarmsFromDate(kDevice, kDate); },
       "ids=1042, start=0 max=0 closed_only order date1=1700000000", "20:7:end ", ""},
  };
  const std::pair<std::uint32_t, std::string> statuses[] = {
      {1, ""}, {2, ""}, {3, kQueueLine}, {4, kTooBigLine}, {5, ""}};
  for (const auto& q : queries) {
    for (const auto& [status, line] : statuses) {
      SCOPED_TRACE(std::string(q.what) + ", status " + std::to_string(status));
      Answer(status, answer);
      faults().clear_requests();
      zu::testing::CapturedStream err(std::cerr);
      EXPECT_EQ(Shown(q.query()), status == 1 ? q.complete : q.partial);
      EXPECT_EQ(SentFields(), q.sent);
      EXPECT_EQ(err.text(), line);
      EXPECT_EQ(faults().count("CGetAlarms"), 1U) << "no active query behind it";
    }
    SCOPED_TRACE(std::string(q.what) + ", no answer");
    faults().drop_response("CGetAlarms", 1);
    zu::testing::CapturedDescriptor err(2);
    zu::testing::BufferedStream buffered(std::cerr, 2);
    EXPECT_EQ(Shown(q.query()), "");
    EXPECT_EQ(err.text(), kFailedLine);
  }
}

// A log asks for the active alarms after it and marks its updates of those;
// a failure of either request is reported once.
TEST_F(DataAlarmsTest, TheLogMarksUpdatesOfAlarmsActiveNowAndReportsEachFailedRequestOnce) {
  // (10, 1) is active through a later instance; (10, 0) and (11, 1) share half its identity.
  Answer(1, {Update(10, 1, 20, 3), Update(10, 0, 19, 2), Update(11, 1, 18, 1), Update(10, 1, 17, 3)}, 0,
         {Update(10, 1, 25, 3), Update(99, 0, 26, 0)});
  EXPECT_EQ(Shown(alarms.getLog(kDevice, true, 300, 1)), "20:7:active 19:6 18:4 17:7:active ");
  auto sent = faults().sent<zu::cds::CGetAlarms>();
  ASSERT_EQ(sent.size(), 2U);
  EXPECT_EQ(Fields(*sent[0]), "ids=1042, recursive start=300 max=1 order");
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
  Answer(1, {Update(12, 0, 21, 3)}, 0, {}, 1);
  EXPECT_EQ(Shown(alarms.getLog(kDevice, false, 0, 0)), "21:7 ");
  EXPECT_EQ(err.text(), kFailedLine);

  // The log itself is not answered: the out parameter is emptied, one line, no active query.
  err.clear();
  faults().clear_requests();
  faults().drop_response("CGetAlarms", 1);
  alarms.getLog(kDevice, false, 0, 0, out);
  EXPECT_FALSE(out);
  EXPECT_EQ(err.text(), kFailedLine);
  EXPECT_EQ(faults().count("CGetAlarms"), 1U);
}

// ---- counters, levels, the most critical alarm, clearing

TEST_F(DataAlarmsTest, CountersReadTheAnswerAndGiveZeroOnFailure) {
  using GlobalCount = zu::cds::CGetAlarmUpdateGlobalCount;
  AnswerWith<GlobalCount>(1, [](GlobalCount& a) { a.count = 0x1234567890ULL; });
  EXPECT_EQ(alarms.getEndInstanceGlobal(), 0x1234567890ULL);
  Answer(1, {Update(10, 0, 5000000000ULL, 3), Update(10, 0, 4, 3)}, 42);
  EXPECT_EQ(alarms.getEndInstance(kDevice, true, true), 5000000000ULL);
  EXPECT_EQ(SentFields(), "ids=1042, recursive start=0 max=1 active_only");
  EXPECT_EQ(alarms.getNbInstance(kDevice, zu::CWallTime::from_seconds(1600000000), 0, false), 42U);
  EXPECT_EQ(SentFields(), "ids=1042, start=0 max=1 count_only level=0 date2=1600000000");
  Answer(1, {});
  EXPECT_EQ(alarms.getEndInstance(kDevice, false, false), 0U);

  zu::testing::CapturedStream err(std::cerr);
  AnswerWith<GlobalCount>(2, [](GlobalCount& a) { a.count = 9; });
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

TEST_F(DataAlarmsTest, HasChangedComparesWithWhatTheContextSawLast) {
  cdsapi::DataAlarms::AlarmChangedContext context;
  Answer(1, {}, 0);
  EXPECT_FALSE(alarms.hasChanged(kDevice, true, false, context));  // nothing, as before
  EXPECT_EQ(SentFields(), "ids=1042, recursive start=0 max=1 count_only");
  Answer(1, {Update(10, 0, 57, 3)}, 3);
  EXPECT_TRUE(alarms.hasChanged(kDevice, true, false, context));
  EXPECT_EQ(context.last_instance, 57U);
  EXPECT_FALSE(alarms.hasChanged(kDevice, true, false, context));
  Answer(1, {Update(10, 0, 57, 3)}, 2);  // the count alone changed
  EXPECT_TRUE(alarms.hasChanged(kDevice, true, false, context));
  faults().drop_response("CGetAlarms", 1);
  EXPECT_TRUE(alarms.hasChanged(kDevice, true, false, context));
  EXPECT_EQ(context.last_instance, 0U);
  EXPECT_EQ(context.last_count, 0U);
}

TEST_F(DataAlarmsTest, LevelIsTheFirstTriggersLibraryLevel) {
  AnswerWith<zu::cds::CGetChannel>(1, [](zu::cds::CGetChannel& answer) {
    answer.results.emplace_back();
    answer.results[0].channel.triggers.resize(2);  // store levels 3 and 0 (info)
    answer.results[0].channel.triggers[0].level = 3;
  });
  EXPECT_EQ(alarms.getLevel(77), 7U);
  EXPECT_EQ(faults().last<zu::cds::CGetChannel>()->ids, zu::cds::IdList{77});
  AnswerWith<zu::cds::CGetChannel>(1, [](zu::cds::CGetChannel& answer) { answer.results.emplace_back(); });
  EXPECT_EQ(alarms.getLevel(77), 0U);  // no trigger
  faults().clear_faults();
  EXPECT_EQ(alarms.getLevel(4242), 0U);  // unknown to the store
}

TEST_F(DataAlarmsTest, MostCriticalIsTheHighestStoreLevelThenSmallestPriority) {
  Answer(1, {Untriggered(5), Update(10, 0, 1, 1, 0), Update(11, 0, 2, 3, 5), Update(12, 0, 3, 3, 2),
             Update(13, 0, 4, 2, 0)});
  auto most = alarms.getMostCritical(kDevice);
  ASSERT_TRUE(most);
  EXPECT_EQ(Shown({*most}), "3:3 ");  // untranslated, not marked
  EXPECT_EQ(SentFields(), "ids=1042, start=0 max=1000 active_only active_query order");

  zu::testing::CapturedStream err(std::cerr);
  Answer(4, {Update(10, 0, 1, 1), Update(11, 0, 1234567890123ULL, 2)});  // whatever the status
  EXPECT_EQ(alarms.getMostCriticalId(kDevice), "1234567890123");
  EXPECT_EQ(err.text(), kTooBigLine);
  err.clear();
  Answer(1, {});
  EXPECT_FALSE(alarms.getMostCritical(kDevice));
  EXPECT_EQ(alarms.getMostCriticalId(kDevice), "");
  faults().respond_with_other_class("CGetAlarms");  // read as no answer
  EXPECT_FALSE(alarms.getMostCritical(kDevice));
  EXPECT_EQ(err.text(), kFailedLine);
}

TEST_F(DataAlarmsTest, ClearingSendsItsSelectionAndReportsOnlyARefusal) {
  zu::testing::CapturedStream err(std::cerr);
  const zu::CWallTime time = zu::CWallTime::from_seconds(1500000000, 7);
  alarms.clear(kDevice, time, 2, 1);
  auto sent = faults().last<zu::cds::CDeleteAlarms>();
  EXPECT_EQ(sent->device_ids, zu::cds::IdSet{kDevice});
  EXPECT_EQ(sent->time, time);
  EXPECT_EQ(sent->clear_param1, 2U);
  EXPECT_EQ(sent->clear_param2, 1U);
  EXPECT_TRUE(sent->by_device);

  const zu::CWallTime before = zu::CWallTime::now();
  alarms.clearByIds({5, 5, 9});
  sent = faults().last<zu::cds::CDeleteAlarms>();
  EXPECT_EQ(sent->alarm_ids, (zu::cds::IdSet{5, 9}));
  EXPECT_FALSE(sent->by_device);
  EXPECT_TRUE(before <= sent->time && sent->time <= zu::CWallTime::now());
  EXPECT_EQ(err.text(), "");

  faults().fail_with_status("CDeleteAlarms", 2);
  alarms.clear(kDevice, time, 0, 0);
  EXPECT_EQ(err.text(), kDeleteLine);
  err.clear();
  faults().drop_response("CDeleteAlarms");
  alarms.clear(kDevice, time, 0, 0);
  EXPECT_EQ(err.text(), "");
}

// ---- AlarmInfos and the orderings

cdsapi::AlarmInfos WithCode(const std::string& code, bool back_to_normal) {
  zu::CAlarmUpdate update = Update(1, 0, 1, 0, 0, back_to_normal);
  update.trigger->code = code;
  update.description = "temp of rack 3 over 40";
  return update;
}

TEST(AlarmInfosTest, EveryKnownCodeGivesItsRaiseOrBackToNormalTextAndOthersTheDescription) {
  const struct {
    const char* code;
    const char* raised;
    const char* back;
  } table[] = {
      {"1200", "Communication lost", "Communication recovered"},
      {"1201", "Temperature is critically low", "Temperature is back to low"},
      {"1202", "Temperature is low", "Temperature is back to normal"},
      {"1203", "Temperature is high", "Temperature is back to normal"},
      {"1204", "Temperature is critically high", "Temperature is back to high"},
      {"1211", "Humidity is critically low", "Humidity is back to low"},
      {"1212", "Humidity is low", "Humidity is back to normal"},
      {"1213", "Humidity is high", "Humidity is back to normal"},
      {"1214", "Humidity is critically high", "Humidity is back to high"},
      {"1221", "Contact is active", "Contact is back to normal"},
      {"1302", "Alarms: the number of alarms is high and above 5 000", "Alarms: the number of alarms is back to normal"},
      {"1303", "Alarms: the number of alarms is too high and above 6 000",
       "Alarms: the number of alarms is back to normal"},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.code);
    EXPECT_EQ(WithCode(row.code, false).getDescriptionString(), row.raised);
    EXPECT_EQ(WithCode(row.code, true).getDescriptionString(), row.back);
  }
  for (const std::string& code : std::vector<std::string>{"9999", "", "1204 ", " 1204", "120", std::string("1204\0", 5)})
    EXPECT_EQ(WithCode(code, true).getDescriptionString(), "temp of rack 3 over 40") << '"' << code << '"';
  zu::CAlarmUpdate untriggered = Untriggered(1);
  untriggered.description = "Device lost";
  EXPECT_EQ(cdsapi::AlarmInfos(untriggered).getDescriptionString(), "Device lost");
  EXPECT_STREQ(cdsapi::AlarmInfos(untriggered).getLevelString(), "unknown");
}

TEST(AlarmInfosTest, LevelNamesAgreeForStoreAndLibraryLevels) {
  const char* names[] = {"info", "good", "warning", "critical", "good", "info", "warning", "critical",
                         "unknown", "unknown", "unknown"};
  const unsigned levels[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 4294967295U};
  for (int i = 0; i < 11; ++i)
    EXPECT_STREQ(cdsapi::AlarmInfos(Update(1, 0, 1, levels[i])).getLevelString(), names[i]) << levels[i];
}

// Where the library meets the store's alarm engine: a trigger the engine
// raises and ends reads in library levels, filters and log marks.
TEST_F(DataAlarmsTest, AlarmsRaisedByTheEngineReadInLibraryLevels) {
  cdsapi::InBandAccessor inband{client, false};
  const unsigned long long device = inband.createDevice(0, 1, false);
  const unsigned long long temperature = inband.createChannel(device, "temperature", false);
  zu::cds::CSingleAlarmConfig config;
  config.triggers.emplace_back();
  config.triggers[0].level = cdsapi::LevelCritical;
  config.triggers[0].threshold = zu::CValue(30.0);
  config.triggers[0].hysteresis = zu::CValue(1.0f);
  inband.setChannelAlarmConfig(temperature, config);

  inband.setChannelCValue(temperature, zu::CValue(30.0));
  EXPECT_EQ(Shown(alarms.getActive(device, false, 0, 0, cdsapi::LevelWarning)), "");
  EXPECT_EQ(Shown(alarms.getActive(device, false)), "1:7:active ");
  auto critical = alarms.getMostCritical(device);
  ASSERT_TRUE(critical);
  EXPECT_EQ(critical->trigger->level, 3u) << "the most critical alarm keeps the store's level";
  inband.setChannelCValue(temperature, zu::CValue(28.9));
  EXPECT_EQ(Shown(alarms.getLog(device, false, 0, 0)), "2:7:end 1:7 ");
}

// Level then priority is seen through the most critical alarm above.
TEST(AlarmOrderingTest, UpdatesOrderByLevelThenPriorityAndUntriggeredLast) {
  cdsapi::less_than_priority before;
  EXPECT_TRUE(before(Update(1, 0, 1, 4294967295U, 9), Update(1, 0, 2, 0, 7)));  // levels compare unsigned
  EXPECT_TRUE(before(Update(1, 0, 1, 0, 7), Untriggered(2)));
  EXPECT_FALSE(before(Untriggered(2), Update(1, 0, 1, 0, 7)));
  EXPECT_FALSE(before(Untriggered(1), Untriggered(2)));
  EXPECT_FALSE(before(Update(1, 0, 1, 7, 1), Update(1, 0, 2, 7, 1)));

  zu::CAlarmTrigger low, high;
  low.threshold = zu::CValue(10.0f);
  high.threshold = zu::CValue(30.0f);
  EXPECT_TRUE(cdsapi::less_than_threshold()(low, high));
  EXPECT_FALSE(cdsapi::less_than_threshold()(high, low));
}

}  // namespace
