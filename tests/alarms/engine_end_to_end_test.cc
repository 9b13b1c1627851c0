// The data store's alarm engine as an application sees it: triggers written
// with InBandAccessor, values written with InBandAccessor, alarms read with
// DataAlarms, against a real store (in this process or in cdsd).
#include <cmath>
#include <cstdint>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cdsapi/DataAlarms.h"
#include "cdsapi/InBandAccessor.h"
#include "store/Clock.h"
#include "zu/testing/Harness.h"

namespace alarms_test {
namespace {

constexpr std::uint8_t kHigh = 0, kLow = 1, kEqual = 2;

zu::CAlarmTrigger Trigger(std::uint8_t direction, unsigned level, zu::CValue threshold, float hysteresis = 0,
                          unsigned delay = 0) {
  zu::CAlarmTrigger t;
  t.trigger_flag = direction;
  t.level = level;
  t.threshold = threshold;
  t.hysteresis = zu::CValue(hysteresis);
  t.delay = delay;
  return t;
}

// "instance:library level[:end][:active]" of each update, as the queries give them.
std::string Shown(const std::vector<zu::CAlarmUpdate>& updates) {
  std::string text;
  for (const auto& u : updates) {
    text += std::to_string(u.instance) + ':' + (u.trigger ? std::to_string(u.trigger->level) : "-");
    if (u.back_to_normal) text += ":end";
    if (u.active) text += ":active";
    text += ' ';
  }
  return text;
}

class EngineEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override { Start({}); }

  // A fresh store, the library's objects over it, and one device with a
  // "temperature" channel.
  void Start(cds::store::EngineOptions options) {
    store = std::make_unique<zu::testing::EmbeddedStore>(options);
    data = std::make_unique<cdsapi::dataClient>("alarm-engine-test");
    inband = std::make_unique<cdsapi::InBandAccessor>(*data, false);
    alarms = std::make_unique<cdsapi::DataAlarms>(*data);
    ASSERT_TRUE(data->connect(false));
    device = inband->createDevice(0, 1, false);
    channel = inband->createChannel(device, "temperature", false);
  }

  void Configure(unsigned long long id, std::vector<zu::CAlarmTrigger> triggers) {
    zu::cds::CSingleAlarmConfig config;
    config.triggers = std::move(triggers);
    inband->setChannelAlarmConfig(id, config);
  }
  void Write(unsigned long long id, zu::CValue value) { inband->setChannelCValue(id, value); }
  void Write(double value) { Write(channel, zu::CValue(value)); }
  std::vector<zu::CAlarmUpdate> Active() { return alarms->getActive(device, false); }
  std::vector<zu::CAlarmUpdate> Log() { return alarms->getLog(device, false, 0, 0); }
  // Every page of `query` (given the start of its page) from the newest
  // update on, with `between` run after each page.
  std::vector<zu::CAlarmUpdate> AllPages(const std::function<std::vector<zu::CAlarmUpdate>(unsigned long long)>& query,
                                         const std::function<void()>& between) {
    std::vector<zu::CAlarmUpdate> all;
    unsigned long long start = 0;
    for (int page = 0; page < 50; ++page) {
      auto updates = query(start);
      if (updates.empty()) break;
      all.insert(all.end(), updates.begin(), updates.end());
      start = updates.back().instance;
      between();
    }
    return all;
  }
  std::string UnknownChannel() const { return "Unknown channel Number " + std::to_string(channel); }

  // Declared in this order so that they go in the reverse one.
  std::unique_ptr<zu::testing::EmbeddedStore> store;
  std::unique_ptr<cdsapi::dataClient> data;
  std::unique_ptr<cdsapi::InBandAccessor> inband;
  std::unique_ptr<cdsapi::DataAlarms> alarms;
  unsigned long long device = 0;
  unsigned long long channel = 0;
};

// ---- thresholds, directions, hysteresis and levels

TEST_F(EngineEndToEndTest, HighTriggerRaisesAtThresholdAndEndsPastItsHysteresis) {
  Configure(channel, {Trigger(kHigh, cdsapi::LevelCritical, 30.0, 1)});
  EXPECT_EQ(inband->getChannelAlarmConfig(channel).triggers.at(0).level, 3u) << "kept in the store's encoding";
  Write(29.9);
  EXPECT_EQ(Shown(Active()), "");
  cdsapi::DataAlarms::AlarmChangedContext seen;
  EXPECT_FALSE(alarms->hasChanged(device, false, false, seen));

  Write(30.0);
  EXPECT_TRUE(alarms->hasChanged(device, false, false, seen));
  EXPECT_FALSE(alarms->hasChanged(device, false, false, seen));
  EXPECT_EQ(Shown(alarms->getActive(device, false, 0, 0, cdsapi::LevelWarning)), "");
  EXPECT_EQ(Shown(alarms->getActive(device, false, 0, 0, cdsapi::LevelCritical)), "1:7:active ");
  auto active = Active();
  ASSERT_EQ(Shown(active), "1:7:active ");
  EXPECT_EQ(active[0].alarm_id, channel);
  EXPECT_EQ(active[0].alarm_index, 0u);
  EXPECT_EQ(active[0].value, zu::CValue(30.0));
  auto critical = alarms->getMostCritical(device);
  ASSERT_TRUE(critical);
  EXPECT_EQ(critical->trigger->level, 3u) << "the most critical alarm keeps the store's level";
  EXPECT_EQ(alarms->getMostCriticalId(device), "1");
  EXPECT_EQ(alarms->getLevel(channel), 7u);

  Write(29.5);
  EXPECT_EQ(Shown(Active()), "1:7:active ") << "inside the hysteresis band the alarm stays";
  Write(28.9);
  EXPECT_EQ(Shown(Active()), "");
  EXPECT_EQ(Shown(Log()), "2:7:end 1:7 ");
  EXPECT_EQ(Shown(alarms->getClosedAlarmsFromDate(device, zu::CWallTime())), "2:7:end ");
  EXPECT_FALSE(alarms->getMostCritical(device));
  EXPECT_EQ(alarms->getEndInstanceGlobal(), 2u);
}

TEST_F(EngineEndToEndTest, LowTriggerRaisesAtThresholdAndEndsAboveItsHysteresis) {
  Configure(channel, {Trigger(kLow, cdsapi::LevelWarning, 5.0, 0.5f)});
  Write(5.1);
  EXPECT_EQ(Shown(Active()), "");
  Write(5.0);
  EXPECT_EQ(Shown(Active()), "1:6:active ");
  Write(5.4);
  EXPECT_EQ(Shown(Active()), "1:6:active ");
  Write(5.6);
  EXPECT_EQ(Shown(Log()), "2:6:end 1:6 ");
}

TEST_F(EngineEndToEndTest, EqualTriggerFollowsAContactAndItsBoolThreshold) {
  const auto door = inband->createChannel(device, "door", false);
  Configure(door, {Trigger(kEqual, cdsapi::LevelWarning, zu::CValue(true))});
  Write(door, zu::CValue(false));
  EXPECT_EQ(Shown(Active()), "");
  Write(door, zu::CValue(true));
  EXPECT_EQ(Shown(Active()), "1:6:active ");

  // The same trigger judged by its new threshold: the open door is now normal.
  inband->setChannelAlarmTriggerThreshold(door, false);
  EXPECT_FALSE(inband->getChannelAlarmTriggerThreshold(door));
  EXPECT_EQ(Shown(Active()), "");
  Write(door, zu::CValue(false));
  EXPECT_EQ(Shown(Active()), "3:6:active ");
}

TEST_F(EngineEndToEndTest, HysteresisSetThroughTheLibraryKeepsARaisedAlarm) {
  Configure(channel, {Trigger(kHigh, cdsapi::LevelWarning, 30.0)});
  Write(31.0);
  inband->setChannelAlarmHysteresis(channel, 2.0f);
  EXPECT_EQ(inband->getChannelAlarmHysteresis(channel), 2.0f);
  Write(28.5);
  EXPECT_EQ(Shown(Active()), "1:6:active ") << "the same alarm, judged by the new hysteresis";
  Write(27.9);
  EXPECT_EQ(Shown(Log()), "2:6:end 1:6 ");
}

TEST_F(EngineEndToEndTest, ChangingTheLevelEndsTheAlarmAndRaisesANewOne) {
  Configure(channel, {Trigger(kHigh, cdsapi::LevelWarning, 30.0)});
  Write(35.0);
  inband->setChannelAlarmLevel(channel, cdsapi::LevelCritical);
  EXPECT_EQ(inband->getChannelAlarmLevel(channel), cdsapi::LevelCritical);
  EXPECT_EQ(Shown(Active()), "3:7:active ");
  EXPECT_EQ(Shown(Log()), "3:7:active 2:6:end:active 1:6:active ")
      << "the log marks every update of an alarm that is raised now";
}

// ---- disabling and removal

TEST_F(EngineEndToEndTest, DisabledChannelRaisesNothingAndEnablingEvaluatesAtOnce) {
  Configure(channel, {Trigger(kHigh, cdsapi::LevelCritical, 30.0)});
  Write(35.0);
  inband->setChannelAlarmEnabled(channel, false);
  EXPECT_FALSE(inband->getChannelAlarmEnabled(channel));
  EXPECT_EQ(Shown(Active()), "");
  EXPECT_EQ(Shown(Log()), "2:7:end 1:7 ") << "disabling ends the raised alarm";

  Write(36.0);
  Configure(channel, {Trigger(kHigh, cdsapi::LevelCritical, 31.0)});
  EXPECT_EQ(Shown(Active()), "");
  EXPECT_EQ(alarms->getEndInstanceGlobal(), 2u);

  inband->setChannelAlarmEnabled(channel, true);
  EXPECT_TRUE(inband->getChannelAlarmEnabled(channel));
  EXPECT_EQ(Shown(Active()), "3:7:active ");
}

TEST_F(EngineEndToEndTest, RemovingAChannelEndsItsAlarmsAndKeepsItsLog) {
  Configure(channel, {Trigger(kHigh, cdsapi::LevelCritical, 30.0), Trigger(kLow, cdsapi::LevelWarning, 50.0)});
  Write(35.0);
  ASSERT_EQ(Active().size(), 2u);
  inband->removeChannel(channel);
  EXPECT_EQ(Shown(Active()), "");
  auto log = Log();
  EXPECT_EQ(Shown(log), "4:6:end 3:7:end 2:6 1:7 ");
  EXPECT_EQ(log.at(0).alarm_id, channel);
}

TEST_F(EngineEndToEndTest, RemovingASubDeviceEndsItsAlarms) {
  const auto sub = inband->createDevice(0, device, false);
  const auto sensor = inband->createChannel(sub, "sensor", false);
  Configure(sensor, {Trigger(kHigh, cdsapi::LevelWarning, 1.0)});
  Write(sensor, zu::CValue(2.0));
  EXPECT_EQ(Shown(alarms->getActive(device, true)), "1:6:active ");
  EXPECT_EQ(Shown(alarms->getActive(device, false)), "") << "not recursive: the sub-device's alarms are not ours";

  inband->removeDevice(sub);
  EXPECT_EQ(Shown(alarms->getActive(device, true)), "");
  EXPECT_EQ(Shown(alarms->getLog(sub, false, 0, 0)), "2:6:end 1:6 ") << "updates outlive their device";
}

// ---- what the store refuses

TEST_F(EngineEndToEndTest, RefusedConfigurationsChangeNothing) {
  Configure(channel, {Trigger(kHigh, cdsapi::LevelWarning, 30.0, 1), Trigger(kHigh, cdsapi::LevelCritical, 40.0, 1)});
  Write(35.0);
  const auto before = inband->getChannelAlarmConfig(channel).triggers;
  auto unchanged = [&](const char* what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(inband->getChannelAlarmConfig(channel).triggers, before);
    EXPECT_EQ(Shown(Active()), "1:6:active ");
  };
  auto refused = [&](zu::CAlarmTrigger bad, const char* what) {
    SCOPED_TRACE(what);
    try {
      Configure(channel, {bad});
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(e.what(), UnknownChannel());
    }
    unchanged(what);
  };
  refused(Trigger(kHigh, 8, 30.0), "level 8");
  refused(Trigger(kHigh, cdsapi::LevelWarning, std::numeric_limits<double>::quiet_NaN()), "NaN threshold");
  refused(Trigger(kHigh, cdsapi::LevelWarning, std::numeric_limits<double>::infinity()), "infinite threshold");
  refused(Trigger(kHigh, cdsapi::LevelWarning, 30.0, -1), "negative hysteresis");
  refused(Trigger(3, cdsapi::LevelWarning, 30.0), "direction 3");

  // The field setters do not look at the write's answer: they return and the
  // store keeps what it had.
  EXPECT_EQ(inband->setChannelAlarmLevel(channel, static_cast<cdsapi::LevelAlarm>(8)), channel);
  unchanged("setChannelAlarmLevel 8");
  EXPECT_EQ(inband->setChannelAlarmHysteresis(channel, -0.5f), channel);
  unchanged("setChannelAlarmHysteresis -0.5");
  inband->setChannelAlarmTriggerThreshold(channel, cdsapi::FirstTrigger, std::nanf(""));
  unchanged("threshold NaN");
  inband->setChannelAlarmTriggerThreshold(channel, cdsapi::SecondTrigger, std::numeric_limits<float>::infinity());
  unchanged("threshold infinite");
}

TEST_F(EngineEndToEndTest, TriggerPositionPastTheEndThrowsAndSettingOneReordersTheAlarms) {
  Configure(channel, {Trigger(kHigh, cdsapi::LevelCritical, 40.0), Trigger(kHigh, cdsapi::LevelWarning, 30.0)});
  Write(35.0);
  ASSERT_EQ(Shown(Active()), "1:6:active ");
  EXPECT_EQ(inband->getChannelAlarmTriggerThreshold(channel, cdsapi::FirstTrigger), 30.0f);
  EXPECT_EQ(inband->getChannelAlarmTriggerThreshold(channel, cdsapi::SecondTrigger), 40.0f);
  EXPECT_THROW(inband->getChannelAlarmTriggerThreshold(channel, cdsapi::ThirdTrigger), std::invalid_argument);
  try {
    inband->setChannelAlarmTriggerThreshold(channel, cdsapi::ThirdTrigger, 20.0f);
    ADD_FAILURE() << "nothing thrown";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(e.what(), UnknownChannel());
  }
  EXPECT_EQ(inband->getChannelAlarmConfig(channel).triggers.at(0).threshold, zu::CValue(40.0));
  EXPECT_EQ(alarms->getEndInstanceGlobal(), 1u);

  // Setting by position writes the list back sorted: both triggers move, and
  // each keeps its alarm; the warning alarm stays raised under its number 1,
  // judged by its new threshold 34.
  inband->setChannelAlarmTriggerThreshold(channel, cdsapi::FirstTrigger, 34.0f);
  const auto triggers = inband->getChannelAlarmConfig(channel).triggers;
  ASSERT_EQ(triggers.size(), 2u);
  EXPECT_EQ(triggers[0].level, 2u);
  EXPECT_EQ(triggers[0].threshold, zu::CValue(34.0f));
  auto active = Active();
  ASSERT_EQ(Shown(active), "1:6:active ");
  EXPECT_EQ(active[0].alarm_index, 1u);
  EXPECT_EQ(Shown(Log()), "1:6:active ");
}

// ---- clearing

TEST_F(EngineEndToEndTest, ClearingEndsAlarmsAndHoldsThemDownUntilNormal) {
  Configure(channel, {Trigger(kHigh, cdsapi::LevelCritical, 30.0)});
  Write(35.0);
  zu::testing::CapturedStream err(std::cerr);
  alarms->clear(device, zu::CWallTime::now(), 0, 1);
  EXPECT_EQ(err.text(), "");
  EXPECT_EQ(Shown(Active()), "");
  EXPECT_EQ(Shown(Log()), "2:7:end ") << "the raise is deleted, the end made after it stays";
  Write(36.0);
  EXPECT_EQ(Shown(Active()), "") << "held down while the condition still holds";
  Write(20.0);
  Write(36.0);
  EXPECT_EQ(Shown(Active()), "3:7:active ");

  alarms->clear(device, zu::CWallTime::now(), 8, 1);
  EXPECT_EQ(err.text(), "Error: The delete alarm request did not succeed.\n");
  EXPECT_EQ(Active().size(), 1u);

  alarms->clearByIds({channel, channel});
  EXPECT_EQ(Shown(Log()), "");
  EXPECT_EQ(Shown(Active()), "3:7:active ") << "deleting by id leaves raised alarms raised";
  EXPECT_EQ(alarms->getEndInstanceGlobal(), 3u) << "deleting never moves the counter back";
}

TEST_F(EngineEndToEndTest, ClearingOneLevelLeavesTheOthers) {
  const auto humidity = inband->createChannel(device, "humidity", false);
  Configure(channel, {Trigger(kHigh, cdsapi::LevelCritical, 30.0)});
  Configure(humidity, {Trigger(kHigh, cdsapi::LevelInfo, 80.0), Trigger(kHigh, cdsapi::LevelWarning, 85.0)});
  Write(35.0);
  Write(humidity, zu::CValue(90.0));
  ASSERT_EQ(Shown(Active()), "3:6:active 2:5:active 1:7:active ");
  EXPECT_EQ(alarms->getNbInstance(device, zu::CWallTime(), cdsapi::LevelCritical, false), 1u);
  EXPECT_EQ(alarms->getNbInstance(device, zu::CWallTime(), cdsapi::LevelStoreInfo, false), 1u)
      << "level 0 is a filter here: store level info";
  EXPECT_EQ(Shown(alarms->getLogFromDateAndLevel(device, false, 0, zu::CWallTime(), cdsapi::LevelWarning)), "3:2 ")
      << "the store's levels, untranslated";

  alarms->clear(device, zu::CWallTime::now(), cdsapi::LevelInfo, 1);
  EXPECT_EQ(Shown(Active()), "3:6:active 1:7:active ");
  EXPECT_EQ(Shown(Log()), "4:5:end 3:6:active 1:7:active ");
  alarms->clear(device, zu::CWallTime::now(), cdsapi::LevelWarning, 0);
  EXPECT_EQ(Shown(Active()), "3:6:active 1:7:active ") << "the log only";
  EXPECT_EQ(Shown(Log()), "4:5:end 1:7:active ");
}

// ---- the log: its bound and paging

class SmallLogTest : public EngineEndToEndTest {
 protected:
  void SetUp() override {
    cds::store::EngineOptions options;
    options.alarm_log_size = 4;
    Start(options);
  }
};

TEST_F(SmallLogTest, OldestUpdatesAreDroppedButActiveAlarmsStay) {
  const auto door = inband->createChannel(device, "door", false);
  Configure(door, {Trigger(kEqual, cdsapi::LevelWarning, zu::CValue(true))});
  Write(door, zu::CValue(true));
  Configure(channel, {Trigger(kHigh, cdsapi::LevelCritical, 30.0)});
  for (int i = 0; i < 3; ++i) {
    Write(35.0);
    Write(20.0);
  }
  EXPECT_EQ(Shown(Log()), "7:7:end 6:7 5:7:end 4:7 ");
  EXPECT_EQ(alarms->getEndInstanceGlobal(), 7u);
  EXPECT_EQ(alarms->getEndInstance(device, false, false), 7u);
  EXPECT_EQ(Shown(Active()), "1:6:active ") << "the door's raise left the log, not the store";
}

TEST_F(EngineEndToEndTest, LogPagesHaveNoGapNorDuplicateWhileAlarmsArrive) {
  Configure(channel, {Trigger(kHigh, cdsapi::LevelCritical, 30.0)});
  auto cycle = [&] {
    Write(35.0);
    Write(20.0);
  };
  for (int i = 0; i < 3; ++i) cycle();
  auto pages = AllPages([&](unsigned long long start) { return alarms->getLog(device, false, start, 4); }, cycle);
  EXPECT_EQ(Shown(pages), "6:7:end 5:7 4:7:end 3:7 2:7:end 1:7 ");
}

TEST_F(EngineEndToEndTest, ActivePagesFollowTheRaisesWhileAlarmsArrive) {
  int sensors = 0;
  auto raise_one = [&] {
    const auto id = inband->createChannel(device, "sensor " + std::to_string(++sensors), false);
    Configure(id, {Trigger(kHigh, cdsapi::LevelWarning, 1.0)});
    Write(id, zu::CValue(2.0));
  };
  for (int n = 0; n < 5; ++n) raise_one();
  auto pages = AllPages(
      [&](unsigned long long start) { return alarms->getActive(device, false, start, 2, cdsapi::LevelNone); },
      raise_one);
  EXPECT_EQ(Shown(pages), "5:6:active 4:6:active 3:6:active 2:6:active 1:6:active ");
}

TEST_F(EngineEndToEndTest, FilteredPagesHaveNoGapNorDuplicateWhileAlarmsArrive) {
  const auto humidity = inband->createChannel(device, "humidity", false);
  Configure(channel, {Trigger(kHigh, cdsapi::LevelCritical, 30.0)});
  Configure(humidity, {Trigger(kHigh, cdsapi::LevelWarning, 80.0)});
  auto cycle = [&] {
    Write(35.0);
    Write(humidity, zu::CValue(90.0));
    Write(20.0);
    Write(humidity, zu::CValue(50.0));
  };
  for (int i = 0; i < 3; ++i) cycle();

  alarms->filter_byte = 1u << 3;  // store level 3, critical
  alarms->filter_text = "back to normal";
  auto pages = AllPages([&](unsigned long long start) { return alarms->getLogFiltered(device, false, start, 2); },
                        cycle);
  EXPECT_EQ(Shown(pages), "11:3:end 7:3:end 3:3:end ") << "critical returns to normal, in the store's levels";
}

// ---- delays, on a clock the test moves

class DelayedAlarmTest : public EngineEndToEndTest {
 protected:
  void SetUp() override {
    if (zu::testing::EmbeddedStore::daemon_mode())
      GTEST_SKIP() << "cdsd runs on the system clock, which a test cannot move: delays are tested embedded";
    clock = std::make_shared<cds::store::ManualClock>();
    cds::store::EngineOptions options;
    options.clock = clock;
    Start(options);
  }
  std::shared_ptr<cds::store::ManualClock> clock;
};

TEST_F(DelayedAlarmTest, RaisesOnlyAfterTheConditionHeldForTheDelay) {
  Configure(channel, {Trigger(kHigh, cdsapi::LevelCritical, 30.0)});
  inband->setChannelAlarmDelay(channel, 10);
  EXPECT_EQ(inband->getChannelAlarmDelay(channel), 10u);

  Write(35.0);
  clock->advance(9.9);
  EXPECT_EQ(Shown(Active()), "");
  Write(36.0);  // still met: the wait goes on from the first write
  clock->advance(0.2);
  EXPECT_EQ(Shown(Active()), "1:7:active ");
  EXPECT_EQ(Active().at(0).value, zu::CValue(36.0));

  Write(20.0);
  EXPECT_EQ(Shown(Active()), "") << "no delay on the return to normal";

  Write(35.0);
  clock->advance(5);
  Write(25.0);  // cancels the wait
  Write(35.0);
  clock->advance(9);
  EXPECT_EQ(Shown(Active()), "") << "the wait started again at the last write";
  clock->advance(1.5);
  EXPECT_EQ(Shown(Active()), "3:7:active ");

  // A shorter delay counts from the start of the wait under way.
  Write(20.0);
  Write(35.0);
  clock->advance(6);
  inband->setChannelAlarmDelay(channel, 5);
  EXPECT_EQ(Shown(Active()), "5:7:active ");
}

TEST_F(DelayedAlarmTest, DisablingCancelsAWait) {
  Configure(channel, {Trigger(kHigh, cdsapi::LevelWarning, 30.0, 0, 10)});
  Write(35.0);
  clock->advance(5);
  inband->setChannelAlarmEnabled(channel, false);
  clock->advance(20);
  EXPECT_EQ(Shown(Active()), "");
  EXPECT_EQ(alarms->getEndInstanceGlobal(), 0u);
  inband->setChannelAlarmEnabled(channel, true);
  clock->advance(9);
  EXPECT_EQ(Shown(Active()), "") << "enabling starts a new wait";
  clock->advance(2);
  EXPECT_EQ(Shown(Active()), "1:6:active ");
}

}  // namespace
}  // namespace alarms_test
