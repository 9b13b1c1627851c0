// The alarm engine: triggers raise and end alarms as values, configurations,
// the alarm-disabled bit and the device tree change.
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "alarm_fixture.h"

namespace cds::store::testing {
namespace {

TEST_F(AlarmTest, HighTriggerRaisesAtThresholdAndEndsBelowHysteresis) {
  configure_ok(channel_, {high(30, 1)});
  EXPECT_TRUE(set(29.9).empty());

  auto raised = set(30.0);
  ASSERT_EQ(raised.size(), 1u);
  const zu::CAlarmUpdate& u = raised[0];
  EXPECT_EQ(u.alarm_id, channel_);
  EXPECT_EQ(u.alarm_index, 0u);
  EXPECT_EQ(u.instance, 1u);
  EXPECT_EQ(u.aux_number1, device_);
  EXPECT_FALSE(u.back_to_normal);
  EXPECT_EQ(u.value, zu::CValue(30.0));
  ASSERT_TRUE(u.trigger);
  EXPECT_EQ(*u.trigger, triggers_of(channel_)[0]);
  EXPECT_EQ(u.time, clock_->wall_now());
  EXPECT_EQ(u.description, "device " + std::to_string(device_) + " 'inlet sensor', channel 'temperature': 30 >= 30 (high)");
  EXPECT_TRUE(alarm_active_bit(channel_));

  EXPECT_TRUE(set(31.5).empty()) << "a raised alarm is not raised again";
  EXPECT_TRUE(set(29.5).empty()) << "inside the hysteresis band the alarm stays";

  auto ended = set(28.5);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_TRUE(ended[0].back_to_normal);
  EXPECT_EQ(ended[0].instance, 2u);
  EXPECT_EQ(ended[0].alarm_id, channel_);
  EXPECT_EQ(ended[0].value, zu::CValue(28.5));
  EXPECT_NE(ended[0].description.find("back to normal: 28.5 < 30 - 1 (high)"), std::string::npos)
      << ended[0].description;
  EXPECT_FALSE(alarm_active_bit(channel_));

  auto again = set(30.0);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].instance, 3u);
}

TEST_F(AlarmTest, LowTriggerRaisesAtOrBelowAndEndsAboveHysteresis) {
  configure_ok(channel_, {low(5, 0.5f)});
  EXPECT_TRUE(set(5.1).empty());
  auto raised = set(5.0);
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_NE(raised[0].description.find("5 <= 5 (low)"), std::string::npos) << raised[0].description;
  EXPECT_TRUE(set(5.4).empty());
  auto ended = set(5.6);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_TRUE(ended[0].back_to_normal);
}

TEST_F(AlarmTest, EqualTriggerFollowsAContact) {
  std::uint64_t contact = add_channel(device_, "door");
  configure_ok(contact, {trigger(2, 3, zu::CValue(true))});
  EXPECT_TRUE(set(contact, false).empty());
  auto raised = set(contact, true);
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_NE(raised[0].description.find("channel 'door': true == true (equal)"), std::string::npos);
  EXPECT_TRUE(set(contact, true).empty());
  auto ended = set(contact, false);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_TRUE(ended[0].back_to_normal);
}

TEST_F(AlarmTest, EachTriggerOfAChannelIsItsOwnAlarm) {
  configure_ok(channel_, {high(30), trigger(0, 3, zu::CValue(40.0)), low(0)});
  auto both = set(45.0);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0].alarm_index, 0u);
  EXPECT_EQ(both[1].alarm_index, 1u);
  EXPECT_LT(both[0].instance, both[1].instance);

  auto one = set(35.0);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].alarm_index, 1u);
  EXPECT_TRUE(one[0].back_to_normal);
  EXPECT_TRUE(alarm_active_bit(channel_)) << "trigger 0 is still raised";
}

TEST_F(AlarmTest, IntegerChannelsCompareExactly) {
  std::uint64_t counter = add_channel(device_, "counter");
  // 2^53 + 1 does not fit a double: compared as doubles it would equal 2^53.
  configure_ok(counter, {trigger(0, 2, zu::CValue(9007199254740993ULL))});
  EXPECT_TRUE(set(counter, 9007199254740992ULL).empty());
  EXPECT_EQ(set(counter, 9007199254740993ULL).size(), 1u);
}

// Thresholds from the float setters meet double channels, and the reverse:
// the same decimal written either way is the same number, at the threshold
// and at its hysteresis limit.
TEST_F(AlarmTest, AFloatAndADoubleOfTheSameDecimalMeetAtTheThreshold) {
  struct Case {
    const char* what;
    std::uint8_t direction;
    zu::CValue threshold, at, back;  // `back`: at the hysteresis limit, still raised
  };
  const std::vector<Case> cases = {
      {"high, float threshold", 0, zu::CValue(25.3F), zu::CValue(25.3), zu::CValue(24.8)},
      {"low, float threshold", 1, zu::CValue(25.3F), zu::CValue(25.3), zu::CValue(25.8)},
      {"equal, float threshold", 2, zu::CValue(25.3F), zu::CValue(25.3), zu::CValue(25.3)},
      {"high, float value", 0, zu::CValue(25.3), zu::CValue(25.3F), zu::CValue(24.8F)},
      {"low, float value", 1, zu::CValue(25.3), zu::CValue(25.3F), zu::CValue(25.8F)},
      {"equal, float value", 2, zu::CValue(25.3), zu::CValue(25.3F), zu::CValue(25.3F)},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::uint64_t ch = add_channel(device_, "decimal " + std::to_string(n++));
    configure_ok(ch, {trigger(c.direction, 2, c.threshold, 0.5F)});
    ASSERT_EQ(set(ch, c.at).size(), 1u) << "raised at the threshold";
    EXPECT_TRUE(set(ch, c.back).empty()) << "not yet past the hysteresis";
  }
}

TEST_F(AlarmTest, NanNeitherRaisesNorEnds) {
  configure_ok(channel_, {high(30)});
  EXPECT_TRUE(set(std::numeric_limits<double>::quiet_NaN()).empty());
  ASSERT_EQ(set(31.0).size(), 1u);
  EXPECT_TRUE(set(std::numeric_limits<double>::quiet_NaN()).empty());
  EXPECT_TRUE(alarm_active_bit(channel_));
}

TEST_F(AlarmTest, DelayedTriggerRaisesOnlyAfterTheConditionHeld) {
  configure_ok(channel_, {high(30, 0, 10)});
  EXPECT_TRUE(set(35.0).empty());
  EXPECT_TRUE(advance(9.9).empty());
  EXPECT_TRUE(set(36.0).empty()) << "still holding: the wait goes on from the first write";
  auto raised = advance(0.2);
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_EQ(raised[0].value, zu::CValue(36.0));
  EXPECT_EQ(sessions_.back(), 0u) << "a raise by the timer is the store's own change";
  EXPECT_TRUE(alarm_active_bit(channel_));
  EXPECT_TRUE(advance(100).empty());

  // The wait starts again each time the condition begins to hold.
  ASSERT_EQ(set(20.0).size(), 1u);
  EXPECT_TRUE(set(35.0).empty());
  EXPECT_TRUE(advance(5).empty());
  EXPECT_TRUE(set(25.0).empty());
  EXPECT_TRUE(set(35.0).empty());
  EXPECT_TRUE(advance(9).empty());
  EXPECT_EQ(advance(1).size(), 1u);
}

TEST_F(AlarmTest, ChangingTheDelayOfAWaitingTriggerKeepsItsStart) {
  configure_ok(channel_, {high(30, 0, 100)});
  set(35.0);
  advance(5);
  configure_ok(channel_, {high(30, 0, 8)});
  EXPECT_TRUE(advance(2.9).empty());
  EXPECT_EQ(advance(0.2).size(), 1u);
}

TEST_F(AlarmTest, SystemClockTimerRaisesAndStopsWithTheEngine) {
  auto engine = std::make_shared<Engine>();
  SessionId s = engine->open_session("t", nullptr);
  std::mutex m;
  std::vector<zu::CAlarmUpdate> seen;
  engine->set_change_listener([&](SessionId, const ChangeSet& c) {
    std::lock_guard<std::mutex> lock(m);
    seen.insert(seen.end(), c.alarm_updates.begin(), c.alarm_updates.end());
  });
  zu::cds::CCreateChannel create;
  create.requests.push_back({1, "slow", false, zu::kNoId});
  create.requests.push_back({1, "never", false, zu::kNoId});
  auto made = std::dynamic_pointer_cast<zu::cds::CCreateChannel>(engine->handle(s, create));
  ASSERT_EQ(made->channels.size(), 2u);
  zu::cds::CSetAlarmConfig set;
  set.configs.push_back({made->channels[0].id(), {high(1, 0, 1)}});
  set.configs.push_back({made->channels[1].id(), {high(1, 0, 3600)}});
  ASSERT_EQ(engine->handle(s, set)->status, 1u);
  zu::cds::CUpdateChannelValue values;
  values.values = {{made->channels[0].id(), zu::CValue(2.0)}, {made->channels[1].id(), zu::CValue(2.0)}};
  ASSERT_EQ(engine->handle(s, values)->status, 1u);

  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(m);
      if (!seen.empty()) break;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "the delayed alarm was never raised";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  {
    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].alarm_id, made->channels[0].id());
  }
  // An hour's wait still pending: destroying the engine must not wait for it.
  engine->set_change_listener(nullptr);
  engine.reset();
}

TEST_F(AlarmTest, DisabledChannelRaisesNothingAndDisablingEndsItsAlarms) {
  configure_ok(channel_, {high(30)});
  ASSERT_EQ(set_alarms_enabled(channel_, false)->status, 1u);
  EXPECT_EQ(changes_.back().channel_alarm_configs_changed.count(channel_), 1u);
  EXPECT_TRUE(set(35.0).empty());
  EXPECT_FALSE(alarm_active_bit(channel_));

  std::size_t before = changes_.size();
  set_alarms_enabled(channel_, true);
  auto raised = updates_since(before);
  ASSERT_EQ(raised.size(), 1u) << "enabling evaluates the current value";
  EXPECT_FALSE(raised[0].back_to_normal);

  before = changes_.size();
  set_alarms_enabled(channel_, false);
  auto ended = updates_since(before);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_TRUE(ended[0].back_to_normal);
  EXPECT_NE(ended[0].description.find("alarms disabled"), std::string::npos);
  EXPECT_FALSE(alarm_active_bit(channel_));
  EXPECT_TRUE(ask(active_of(device_))->alarms.empty());
}

TEST_F(AlarmTest, DisablingCancelsAWaitingDelay) {
  configure_ok(channel_, {high(30, 0, 10)});
  set(35.0);
  set_alarms_enabled(channel_, false);
  EXPECT_TRUE(advance(20).empty());
}

TEST_F(AlarmTest, RemovingAChannelItsDeviceOrItsTriggerEndsItsAlarms) {
  std::uint64_t second = add_channel(device_, "pressure");
  std::uint64_t other_device = add_named_device(1, "");
  std::uint64_t third = add_channel(other_device, "level");
  for (std::uint64_t c : {channel_, second, third}) {
    configure_ok(c, {high(30), low(0)});
    set(c, 35.0);
  }
  EXPECT_EQ(ask(all_log())->alarms.size(), 3u);

  // A trigger dropped from the configuration.
  std::size_t before = changes_.size();
  configure_ok(channel_, {low(0)});
  auto ended = updates_since(before);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_TRUE(ended[0].back_to_normal);
  EXPECT_EQ(ended[0].alarm_index, 0u);
  EXPECT_NE(ended[0].description.find("trigger"), std::string::npos);

  before = changes_.size();
  zu::cds::CDeleteChannel del;
  del.ids = {second};
  ASSERT_EQ(ask(del)->status, 1u);
  ended = updates_since(before);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].alarm_id, second);
  EXPECT_EQ(ended[0].aux_number1, device_);
  EXPECT_NE(ended[0].description.find("channel 'pressure'"), std::string::npos);

  before = changes_.size();
  zu::cds::CDeleteDevice remove;
  remove.ids = {other_device};
  ASSERT_EQ(ask(remove)->status, 1u);
  ended = updates_since(before);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].alarm_id, third);
  EXPECT_EQ(ended[0].aux_number1, other_device);
  EXPECT_EQ(ended[0].description,
            "device " + std::to_string(other_device) + ", channel 'level': alarm ended (channel removed)");

  auto get = all_log();
  get.active_only = true;
  EXPECT_TRUE(ask(get)->alarms.empty());
}

TEST_F(AlarmTest, ConfigurationIsEvaluatedAgainstTheCurrentValue) {
  set(35.0);
  auto before = changes_.size();
  configure_ok(channel_, {high(30)});
  ASSERT_EQ(updates_since(before).size(), 1u) << "a new trigger already met raises at once";
  EXPECT_EQ(changes_.back().channel_alarm_configs_changed.count(channel_), 1u);

  before = changes_.size();
  configure_ok(channel_, {high(30)});
  EXPECT_EQ(changes_.size(), before) << "the same configuration changes nothing";

  // Same direction and level: the same alarm, judged by the new threshold.
  before = changes_.size();
  configure_ok(channel_, {high(40)});
  auto ended = updates_since(before);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_TRUE(ended[0].back_to_normal);

  // A new level makes a new alarm: the old one ends, the new one raises.
  configure_ok(channel_, {high(30)});
  before = changes_.size();
  configure_ok(channel_, {trigger(0, 7, zu::CValue(30.0))});
  auto swapped = updates_since(before);
  ASSERT_EQ(swapped.size(), 2u);
  EXPECT_TRUE(swapped[0].back_to_normal);
  EXPECT_EQ(swapped[0].trigger->level, 2u);
  EXPECT_FALSE(swapped[1].back_to_normal);
  EXPECT_EQ(swapped[1].trigger->level, 3u);
}

// An alarm stays with its trigger when a configuration write removes or
// reorders the triggers around it, as the threshold setters do.
TEST_F(AlarmTest, AnAlarmFollowsItsTriggerThroughRemovalsAndReordering) {
  configure_ok(channel_, {high(30), high(40)});
  ASSERT_EQ(set(45.0).size(), 2u);
  std::size_t before = changes_.size();
  configure_ok(channel_, {high(40)});
  auto ended = updates_since(before);
  ASSERT_EQ(ended.size(), 1u) << "only the removed trigger's alarm ends";
  EXPECT_EQ(ended[0].alarm_index, 0u);
  EXPECT_EQ(ended[0].trigger->threshold, zu::CValue(30.0));
  auto active = ask(active_of(device_))->alarms;
  ASSERT_EQ(active.size(), 1u);
  EXPECT_EQ(active[0].alarm_index, 1u);
  EXPECT_EQ(active[0].trigger->threshold, zu::CValue(40.0));
  ended = set(35.0);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].alarm_index, 1u);

  // 30, 10, 20 written back sorted with the first threshold changed: 40, 20, 30.
  std::uint64_t ch = add_channel(device_, "sorted");
  configure_ok(ch, {high(30), high(10), high(20)});
  ASSERT_EQ(set(ch, 45.0).size(), 3u);
  before = changes_.size();
  configure_ok(ch, {high(40), high(20), high(30)});
  EXPECT_TRUE(updates_since(before).empty()) << "every threshold is still met";
  ended = set(ch, 35.0);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].alarm_index, 1u) << "the alarm of the trigger that was at 10";
  EXPECT_EQ(ended[0].trigger->threshold, zu::CValue(40.0)) << "the trigger as it is now";
  // The others keep their numbers: a new trigger takes the smallest free one.
  configure_ok(ch, {high(40), high(20), high(30), low(-5)});
  ended = set(ch, 25.0);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].alarm_index, 0u) << "the alarm of the trigger at 30";
  EXPECT_EQ(set(ch, -10.0).size(), 2u);
  auto on_ch = ask(active_of(device_))->alarms;
  std::set<std::uint32_t> numbers;
  for (const auto& u : on_ch) numbers.insert(u.alarm_index);
  EXPECT_EQ(numbers, (std::set<std::uint32_t>{3})) << "the new low trigger";
}

TEST_F(AlarmTest, LibraryLevelsAreStoredAsStoreLevels) {
  configure_ok(channel_, {trigger(0, 4, 1.0), trigger(0, 5, 2.0), trigger(0, 6, 3.0), trigger(0, 7, 4.0),
                          trigger(0, 0, 5.0), trigger(0, 3, 6.0)});
  std::vector<std::uint32_t> levels;
  for (const auto& t : triggers_of(channel_)) levels.push_back(t.level);
  EXPECT_EQ(levels, (std::vector<std::uint32_t>{1, 0, 2, 3, 0, 3}));
}

TEST_F(AlarmTest, InvalidConfigurationsAreRefusedAndChangeNothing) {
  configure_ok(channel_, {high(30)});
  set(35.0);
  const auto kept = triggers_of(channel_);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();

  struct Case {
    const char* what;
    zu::CAlarmTrigger t;
  };
  std::vector<Case> cases = {
      {"level above 7", trigger(0, 8, zu::CValue(1.0))},
      {"direction 3", trigger(3, 2, zu::CValue(1.0))},
      {"no threshold", trigger(0, 2, zu::CValue())},
      {"NaN threshold", trigger(0, 2, zu::CValue(nan))},
      {"infinite threshold", trigger(1, 2, zu::CValue(-inf))},
      {"negative hysteresis", high(30, -1)},
      {"NaN hysteresis", high(30, std::nanf(""))},
  };
  zu::CAlarmTrigger text_hysteresis = high(30);
  text_hysteresis.hysteresis = zu::CValue("1");
  cases.push_back({"text hysteresis", text_hysteresis});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::size_t before = changes_.size();
    // The fault is in the second trigger: the valid first one must not be applied either.
    auto r = configure(channel_, {low(0), c.t});
    EXPECT_EQ(r->status, 5u);
    EXPECT_NE(r->message.find("trigger 1"), std::string::npos) << r->message;
    EXPECT_EQ(triggers_of(channel_), kept);
    EXPECT_EQ(changes_.size(), before);
  }

  zu::cds::CSetAlarmConfig both;
  both.configs.push_back({channel_, {low(0)}});
  both.configs.push_back({987654, {low(0)}});
  auto r = ask(both);
  EXPECT_EQ(r->status, 2u);
  EXPECT_NE(r->message.find("987654"), std::string::npos);
  EXPECT_EQ(triggers_of(channel_), kept);
  EXPECT_TRUE(alarm_active_bit(channel_));
}

TEST_F(AlarmTest, ConfigurationsAreReadByChannelAndByDevice) {
  std::uint64_t second = add_channel(device_, "pressure");
  std::uint64_t elsewhere = add_channel(1, "mains");
  configure_ok(second, {low(1)});
  configure_ok(elsewhere, {high(2)});

  zu::cds::CGetAlarmConfig get;
  get.channel_ids = {elsewhere, second, 55555};
  get.device_ids = {device_, 44444};
  auto r = ask(get);
  ASSERT_EQ(r->status, 1u);
  std::map<std::uint64_t, std::size_t> trigger_counts;
  for (const auto& c : r->configs) trigger_counts[c.channel_id] = c.triggers.size();
  EXPECT_EQ(r->configs.size(), 3u) << "one configuration per known channel, each once";
  EXPECT_EQ(trigger_counts, (std::map<std::uint64_t, std::size_t>{{channel_, 0}, {second, 1}, {elsewhere, 1}}));

  zu::cds::CGetChannel channel;
  channel.ids = {second};
  auto c = ask(channel);
  ASSERT_EQ(c->results.size(), 1u);
  ASSERT_EQ(c->results[0].channel.triggers.size(), 1u) << "the channel record carries its triggers";
  EXPECT_EQ(c->results[0].channel.triggers[0].trigger_flag, 1u);
}

}  // namespace
}  // namespace cds::store::testing
