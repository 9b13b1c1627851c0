// The alarm engine: triggers raise and end alarms as values, configurations,
// the alarm-disabled bit and the device tree change.
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

#include "alarm_fixture.h"

namespace cds::store::testing {
namespace {

// Each write of a case either raises or ends nothing (no text) or makes one
// update whose description holds the text; "back to normal" texts end the alarm.
TEST_F(AlarmTest, WritesRaiseAndEndAlarmsByDirectionHysteresisAndExactComparison) {
  struct Case {
    const char* what;
    zu::CAlarmTrigger trigger;
    std::vector<std::pair<zu::CValue, const char*>> writes;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Case> cases = {
      {"high", high(30, 1),
       {{29.9, nullptr}, {30.0, "30 >= 30 (high)"}, {31.5, nullptr}, {29.5, nullptr},
        {28.5, "back to normal: 28.5 < 30 - 1 (high)"}, {30.0, "(high)"}}},
      {"low", low(5, 0.5F), {{5.1, nullptr}, {5.0, "5 <= 5 (low)"}, {5.4, nullptr}, {5.6, "back to normal"}}},
      {"equal", trigger(2, 3, zu::CValue(true)),
       {{false, nullptr}, {true, "channel 'c2': true == true (equal)"}, {true, nullptr}, {false, "back to normal"}}},
      // 2^53 + 1 does not fit a double: compared as doubles it would equal 2^53.
      {"integer", trigger(0, 2, zu::CValue(9007199254740993ULL)),
       {{9007199254740992ULL, nullptr}, {9007199254740993ULL, ">="}}},
      {"NaN", high(30), {{nan, nullptr}, {31.0, ">="}, {nan, nullptr}}},
      // The same decimal as float or double is the same number, at the threshold and its hysteresis limit.
      {"high, float threshold", trigger(0, 2, zu::CValue(25.3F), 0.5F), {{25.3, ">="}, {24.8, nullptr}}},
      {"low, float threshold", trigger(1, 2, zu::CValue(25.3F), 0.5F), {{25.3, "<="}, {25.8, nullptr}}},
      {"equal, float threshold", trigger(2, 2, zu::CValue(25.3F), 0.5F), {{25.3, "=="}, {25.3, nullptr}}},
      {"high, float value", high(25.3, 0.5F), {{25.3F, ">="}, {24.8F, nullptr}}},
      {"low, float value", trigger(1, 2, zu::CValue(25.3), 0.5F), {{25.3F, "<="}, {25.8F, nullptr}}},
      {"equal, float value", trigger(2, 2, zu::CValue(25.3), 0.5F), {{25.3F, "=="}, {25.3F, nullptr}}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    std::uint64_t ch = add_channel(device_, "c" + std::to_string(i));
    configure_ok(ch, {cases[i].trigger});
    for (const auto& [value, text] : cases[i].writes) {
      auto updates = set(ch, value);
      EXPECT_EQ(updates.size(), text ? 1u : 0u) << value.as_string();
      if (!text || updates.size() != 1) continue;
      EXPECT_NE(updates[0].description.find(text), std::string::npos) << updates[0].description;
      const bool ends = std::string(text).rfind("back to normal", 0) == 0;
      EXPECT_EQ(updates[0].back_to_normal, ends);
      EXPECT_EQ(alarm_active_bit(ch), !ends);
    }
  }
}

TEST_F(AlarmTest, AnUpdateNamesItsAlarmTriggerValueTimeAndInstance) {
  configure_ok(channel_, {high(30), trigger(0, 3, zu::CValue(40.0)), low(0)});
  auto raised = set(45.0);
  ASSERT_EQ(raised.size(), 2u);  // each trigger of a channel is its own alarm
  const zu::CAlarmUpdate& u = raised[0];
  EXPECT_EQ(u.alarm_id, channel_);
  EXPECT_EQ(u.alarm_index, 0u);
  EXPECT_EQ(u.instance, 1u);
  EXPECT_EQ(u.aux_number1, device_);
  EXPECT_EQ(u.value, zu::CValue(45.0));
  ASSERT_TRUE(u.trigger);
  EXPECT_EQ(*u.trigger, triggers_of(channel_)[0]);
  EXPECT_EQ(u.time, clock_->wall_now());
  EXPECT_EQ(u.description, "device " + std::to_string(device_) + " 'inlet sensor', channel 'temperature': 45 >= 30 (high)");
  EXPECT_EQ(raised[1].alarm_index, 1u);
  EXPECT_EQ(raised[1].instance, 2u);

  auto one = set(35.0);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].alarm_index, 1u);
  EXPECT_EQ(one[0].instance, 3u);
  EXPECT_TRUE(alarm_active_bit(channel_)) << "trigger 0 is still raised";
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
  EXPECT_TRUE(advance(5).empty());
  // A new delay for a waiting trigger keeps its start; disabling cancels the wait.
  configure_ok(channel_, {high(30, 0, 8)});
  EXPECT_TRUE(advance(2.9).empty());
  EXPECT_EQ(advance(0.2).size(), 1u);
  ASSERT_EQ(set(20.0).size(), 1u);
  set(35.0);
  set_alarms_enabled(channel_, false);
  EXPECT_TRUE(advance(20).empty());
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
  create.requests = {{1, "slow", false, zu::kNoId}};
  auto made = std::dynamic_pointer_cast<zu::cds::CCreateChannel>(engine->handle(s, create));
  ASSERT_EQ(made->channels.size(), 1u);
  const std::uint64_t slow = made->channels[0].id();
  zu::cds::CSetAlarmConfig set;
  set.configs = {{slow, {high(1, 0, 1), trigger(0, 3, zu::CValue(1.0), 0, 3600)}}};
  ASSERT_EQ(engine->handle(s, set)->status, 1u);
  zu::cds::CUpdateChannelValue values;
  values.values = {{slow, zu::CValue(2.0)}};
  ASSERT_EQ(engine->handle(s, values)->status, 1u);

  for (auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);;) {
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
    EXPECT_EQ(seen[0].alarm_index, 0u);
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

TEST_F(AlarmTest, RemovingAChannelItsDeviceOrItsTriggerEndsItsAlarms) {
  std::uint64_t second = add_channel(device_, "pressure");
  std::uint64_t other_device = add_named_device(1, "");
  std::uint64_t third = add_channel(other_device, "level");
  for (std::uint64_t c : {channel_, second, third}) {
    configure_ok(c, {high(30), low(0)});
    set(c, 35.0);
  }
  // Each removal ends exactly one alarm: of this channel, on this device, with this text.
  auto ends = [&](auto&& remove, std::uint64_t channel, std::uint64_t device, const std::string& text) {
    std::size_t before = changes_.size();
    remove();
    auto ended = updates_since(before);
    ASSERT_EQ(ended.size(), 1u) << text;
    EXPECT_TRUE(ended[0].back_to_normal);
    EXPECT_EQ(ended[0].alarm_id, channel);
    EXPECT_EQ(ended[0].alarm_index, 0u);
    EXPECT_EQ(ended[0].aux_number1, device);
    EXPECT_NE(ended[0].description.find(text), std::string::npos) << ended[0].description;
  };
  ends([&] { configure_ok(channel_, {low(0)}); }, channel_, device_, "trigger");
  ends([&] { ASSERT_EQ(remove_channels({second}), 1u); }, second, device_, "channel 'pressure'");
  ends([&] { ASSERT_EQ(remove_devices({other_device}), 1u); }, third, other_device,
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
  configure_ok(channel_, {high(40)});  // ends the alarm of the trigger at 30
  auto ended = set(35.0);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].alarm_index, 1u);
  EXPECT_EQ(ended[0].trigger->threshold, zu::CValue(40.0));

  // 30, 10, 20 written back sorted with the first threshold changed: 40, 20, 30.
  std::uint64_t ch = add_channel(device_, "sorted");
  configure_ok(ch, {high(30), high(10), high(20)});
  ASSERT_EQ(set(ch, 45.0).size(), 3u);
  std::size_t before = changes_.size();
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
  auto active = ask(active_of(device_))->alarms;
  ASSERT_EQ(active.size(), 1u);
  EXPECT_EQ(active[0].alarm_index, 3u) << "the new low trigger";
}

TEST_F(AlarmTest, ConfigurationsAreReadByChannelAndByDeviceWithLibraryLevelsStoredAsStoreLevels) {
  configure_ok(channel_, {trigger(0, 4, 1.0), trigger(0, 5, 2.0), trigger(0, 6, 3.0), trigger(0, 7, 4.0),
                          trigger(0, 0, 5.0), trigger(1, 3, 6.0)});
  std::vector<std::uint32_t> levels;
  for (const auto& t : triggers_of(channel_)) levels.push_back(t.level);
  EXPECT_EQ(levels, (std::vector<std::uint32_t>{1, 0, 2, 3, 0, 3}));

  std::uint64_t second = add_channel(device_, "pressure"), elsewhere = add_channel(1, "mains");
  configure_ok(elsewhere, {high(2)});
  zu::cds::CGetAlarmConfig get;
  get.channel_ids = {elsewhere, channel_, 55555};
  get.device_ids = {device_, 44444};
  auto r = ask(get);
  ASSERT_EQ(r->status, 1u);
  std::map<std::uint64_t, std::size_t> trigger_counts;
  for (const auto& c : r->configs) trigger_counts[c.channel_id] = c.triggers.size();
  EXPECT_EQ(r->configs.size(), 3u) << "one configuration per known channel, each once";
  EXPECT_EQ(trigger_counts, (std::map<std::uint64_t, std::size_t>{{channel_, 6}, {second, 0}, {elsewhere, 1}}));

  zu::cds::CGetChannel channel;
  channel.ids = {channel_};
  auto c = ask(channel);
  ASSERT_EQ(c->results.size(), 1u);
  ASSERT_EQ(c->results[0].channel.triggers.size(), 6u) << "the channel record carries its triggers";
  EXPECT_EQ(c->results[0].channel.triggers[5].trigger_flag, 1u);
}

TEST_F(AlarmTest, InvalidConfigurationsAreRefusedAndChangeNothing) {
  configure_ok(channel_, {high(30)});
  set(35.0);
  const auto kept = triggers_of(channel_);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  zu::CAlarmTrigger text_hysteresis = high(30);
  text_hysteresis.hysteresis = zu::CValue("1");
  const std::vector<std::pair<const char*, zu::CAlarmTrigger>> cases = {
      {"level above 7", trigger(0, 8, zu::CValue(1.0))},
      {"direction 3", trigger(3, 2, zu::CValue(1.0))},
      {"no threshold", trigger(0, 2, zu::CValue())},
      {"NaN threshold", trigger(0, 2, zu::CValue(nan))},
      {"infinite threshold", trigger(1, 2, zu::CValue(-std::numeric_limits<double>::infinity()))},
      {"negative hysteresis", high(30, -1)},
      {"NaN hysteresis", high(30, std::nanf(""))},
      {"text hysteresis", text_hysteresis},
  };
  for (const auto& [what, bad] : cases) {
    SCOPED_TRACE(what);
    std::size_t before = changes_.size();
    // The fault is in the second trigger: the valid first one must not be applied either.
    auto r = configure(channel_, {low(0), bad});
    EXPECT_EQ(r->status, 5u);
    EXPECT_NE(r->message.find("trigger 1"), std::string::npos) << r->message;
    EXPECT_EQ(triggers_of(channel_), kept);
    EXPECT_EQ(changes_.size(), before);
  }

  zu::cds::CSetAlarmConfig both;
  both.configs = {{channel_, {low(0)}}, {987654, {low(0)}}};
  auto r = ask(both);
  EXPECT_EQ(r->status, 2u);
  EXPECT_NE(r->message.find("987654"), std::string::npos);
  EXPECT_EQ(triggers_of(channel_), kept);
  EXPECT_TRUE(alarm_active_bit(channel_));
}

}  // namespace
}  // namespace cds::store::testing
