// The alarm engine (triggers raise and end alarms as values, configurations,
// the alarm-disabled bit and the device tree change) and the alarm log (its
// bound, queries, paging, counts and deletion).
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "store/Clock.h"
#include "store_fixture.h"

namespace cds::store::testing {
namespace {

using Instances = std::vector<std::uint64_t>;
using Updates = std::vector<zu::CAlarmUpdate>;
using Kinds = std::vector<std::string>;

// An engine on a manual clock whose log keeps kLogSize updates, with a device
// and a channel, and helpers that write values, move the clock and read the
// alarm state and the log through records.
class AlarmTest : public StoreTest {
 protected:
  static constexpr std::size_t kLogSize = 1003;
  AlarmTest() : AlarmTest(std::make_shared<ManualClock>()) {}
  explicit AlarmTest(std::shared_ptr<ManualClock> clock) : StoreTest(options(clock)), clock_(std::move(clock)) {
    device_ = add_device(1, zu::kNoId, "inlet sensor");
    channel_ = add_channel(device_, "temperature");
  }
  static EngineOptions options(std::shared_ptr<ManualClock> clock) {
    EngineOptions options;
    options.clock = std::move(clock);
    options.alarm_log_size = kLogSize;
    return options;
  }

  std::vector<zu::CAlarmTrigger> triggers_of(std::uint64_t channel) {
    auto r = ask_with<zu::cds::CGetAlarmConfig>([&](auto& get) { get.channel_ids = {channel}; });
    EXPECT_EQ(r->configs.size(), 1u);
    return r->configs.empty() ? std::vector<zu::CAlarmTrigger>() : r->configs[0].triggers;
  }

  // The alarm updates that `change` caused.
  Updates updates_of(const std::function<void()>& change) {
    const std::size_t before = changes_.size();
    change();
    Updates out;
    for (std::size_t i = before; i < changes_.size(); ++i)
      out.insert(out.end(), changes_[i].alarm_updates.begin(), changes_[i].alarm_updates.end());
    return out;
  }
  Updates set(std::uint64_t channel, zu::CValue value) {
    return updates_of([&] {
      auto r = write({{channel, value}});
      EXPECT_EQ(r->status, 1u) << r->message;
    });
  }
  Updates set(zu::CValue value) { return set(channel_, std::move(value)); }
  Updates advance(double seconds) {
    return updates_of([&] { clock_->advance(seconds); });
  }
  // Raises and ends the alarm of `channel` (a high trigger at 30) `times` times: 2 * times updates.
  void cycle(std::uint64_t channel, int times) {
    for (int i = 0; i < times; ++i) {
      set(channel, 35.0);
      set(channel, 20.0);
    }
  }

  std::uint32_t set_alarms_enabled(std::uint64_t channel, bool enabled) {
    const zu::CStateBits bits = enabled ? zu::CStateBits() : zu::CStateBits(zu::realtime_state::alarm_disabled);
    zu::cds::CSetChannelState set;
    set.states = {{{channel, bits, {}, zu::cds::state_op::assign, false}}};
    return ask(set)->status;
  }

  bool alarm_active_bit(std::uint64_t channel) {
    auto values = read({channel});
    return !values.empty() && values[0].state.test(zu::realtime_state::alarm_active);
  }

  // A query of every device's log.
  static zu::cds::CGetAlarms all_log() {
    zu::cds::CGetAlarms get;
    get.order_flag = true;
    return get;
  }
  // Each update as "raise N" or "end N", N the index of its trigger.
  static Kinds kinds(const Updates& updates) {
    Kinds out;
    for (const auto& u : updates) out.push_back((u.back_to_normal ? "end " : "raise ") + std::to_string(u.alarm_index));
    return out;
  }
  static Instances instances(const Updates& updates) {
    Instances out;
    for (const auto& u : updates) out.push_back(u.instance);
    return out;
  }
  // The instances a query finds, each counted.
  Instances found(const zu::cds::CGetAlarms& get) {
    auto r = ask(get);
    EXPECT_EQ(r->status, 1u) << r->message;
    EXPECT_EQ(r->found_count, r->alarms.size());
    return instances(r->alarms);
  }
  std::uint64_t global_count() { return ask(zu::cds::CGetAlarmUpdateGlobalCount())->count; }

  std::shared_ptr<ManualClock> clock_;
  std::uint64_t device_ = 0;
  std::uint64_t channel_ = 0;
};

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
      // The same decimal as float or double is the same number, at the threshold and its hysteresis limit;
      // plain widening puts the float below the double, so each direction meets one side of it.
      {"low, float threshold", trigger(1, 2, zu::CValue(25.3F), 0.5F), {{25.3, "<="}, {25.8, nullptr}}},
      {"high, float value", high(25.3, 0.5F), {{25.3F, ">="}, {24.8F, nullptr}}},
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

TEST_F(AlarmTest, AnUpdateNamesItsAlarmTriggerValueAndTime) {
  configure_ok(channel_, {high(30), trigger(0, 3, zu::CValue(40.0)), low(0)});
  auto raised = set(45.0);
  ASSERT_EQ(kinds(raised), (Kinds{"raise 0", "raise 1"}));  // each trigger of a channel is its own alarm
  const zu::CAlarmUpdate& u = raised[0];
  EXPECT_EQ(u.alarm_id, channel_);
  EXPECT_EQ(u.aux_number1, device_);
  EXPECT_EQ(u.value, zu::CValue(45.0));
  EXPECT_EQ(u.time, clock_->wall_now());
  EXPECT_EQ(u.description, "device " + std::to_string(device_) + " 'inlet sensor', channel 'temperature': 45 >= 30 (high)");

  EXPECT_EQ(kinds(set(35.0)), Kinds{"end 1"});
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
  // Disabling cancels a running wait.
  set_alarms_enabled(channel_, false);
  EXPECT_TRUE(advance(20).empty());
  // A new delay for a waiting trigger counts from the start of its wait.
  set_alarms_enabled(channel_, true);  // 35 holds: a wait of 10 starts
  EXPECT_TRUE(advance(2).empty());
  configure_ok(channel_, {high(30, 0, 4)});
  EXPECT_EQ(advance(2.1).size(), 1u);
}

// The engine's own clock: its timer thread raises a delayed alarm, and a wait
// of an hour still pending does not hold up the engine's end with the test.
using AlarmTimerTest = StoreTest;

TEST_F(AlarmTimerTest, SystemClockTimerRaisesAndStopsWithTheEngine) {
  const std::uint64_t slow = add_channel(1, "slow");
  configure_ok(slow, {high(1, 0, 1), trigger(0, 3, zu::CValue(1.0), 0, 3600)});
  ASSERT_EQ(write({{slow, zu::CValue(2.0)}})->status, 1u);
  // The listener runs under the engine's write lock, so changes_ is whole once a read sees the raise.
  for (auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
       !read({slow}).at(0).state.test(zu::realtime_state::alarm_active);) {
    ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "the delayed alarm was never raised";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(changes_.back().alarm_updates.size(), 1u);
  EXPECT_EQ(changes_.back().alarm_updates[0].alarm_index, 0u);
}

TEST_F(AlarmTest, ConfigurationAndTheAlarmDisabledBitAreEvaluatedAgainstTheCurrentValue) {
  set(35.0);
  ASSERT_EQ(updates_of([&] { configure_ok(channel_, {high(30)}); }).size(), 1u) << "a trigger already met raises";
  std::size_t before = changes_.size();
  configure_ok(channel_, {high(30)});
  EXPECT_EQ(changes_.size(), before) << "the same configuration changes nothing";

  auto ended = updates_of([&] { ASSERT_EQ(set_alarms_enabled(channel_, false), 1u); });
  ASSERT_EQ(kinds(ended), Kinds{"end 0"});
  EXPECT_NE(ended[0].description.find("alarms disabled"), std::string::npos);
  EXPECT_EQ(changes_.back().channel_alarm_configs_changed.count(channel_), 1u);
  EXPECT_FALSE(alarm_active_bit(channel_));
  auto active = all_log();
  active.active_only = true;
  EXPECT_TRUE(ask(active)->alarms.empty());
  EXPECT_TRUE(set(36.0).empty()) << "a disabled channel raises nothing";
  EXPECT_EQ(kinds(updates_of([&] { set_alarms_enabled(channel_, true); })), Kinds{"raise 0"})
      << "enabling evaluates the current value";

  // Same direction and level: the same alarm, judged by the new threshold.
  EXPECT_EQ(kinds(updates_of([&] { configure_ok(channel_, {high(40)}); })), Kinds{"end 0"});
  // A new level makes a new alarm: the old one ends, the new one raises.
  configure_ok(channel_, {high(30)});
  auto swapped = updates_of([&] { configure_ok(channel_, {trigger(0, 7, zu::CValue(30.0))}); });
  ASSERT_EQ(kinds(swapped), (Kinds{"end 0", "raise 0"}));
  EXPECT_NE(swapped[0].description.find(": alarm ended (trigger changed)"), std::string::npos) << swapped[0].description;
  EXPECT_EQ(swapped[0].trigger->level, 2u);
  EXPECT_EQ(swapped[1].trigger->level, 3u);
}

// An alarm stays with its trigger when a configuration write removes or
// reorders the triggers around it, as the threshold setters do; it ends with
// its trigger, its channel or its device.
TEST_F(AlarmTest, AnAlarmFollowsItsTriggerThroughReorderingAndEndsWithItsTriggerChannelOrDevice) {
  std::uint64_t second = add_channel(device_, "pressure");
  std::uint64_t other_device = add_device(1);
  std::uint64_t third = add_channel(other_device, "level");
  configure_ok(channel_, {high(30), high(40)});
  for (std::uint64_t c : {second, third}) configure_ok(c, {high(30), low(0)});
  for (std::uint64_t c : {channel_, second, third}) set(c, 45.0);  // instances 1 and 2, 3, 4
  // Each removal ends exactly one alarm: of this channel, on this device, with this text.
  auto ends = [&](const std::function<void()>& remove, std::uint64_t channel, std::uint64_t device,
                  const std::string& text) {
    auto ended = updates_of(remove);
    ASSERT_EQ(kinds(ended), Kinds{"end 0"}) << text;
    EXPECT_EQ(ended[0].alarm_id, channel);
    EXPECT_EQ(ended[0].aux_number1, device);
    EXPECT_NE(ended[0].description.find(text), std::string::npos) << ended[0].description;
  };
  ends([&] { configure_ok(channel_, {high(40)}); }, channel_, device_, "trigger");
  ends([&] { ASSERT_EQ(remove_channels({second}), 1u); }, second, device_, "channel 'pressure'");
  ends([&] { ASSERT_EQ(remove_devices({other_device}), 1u); }, third, other_device,
       "device " + std::to_string(other_device) + ", channel 'level': alarm ended (channel removed)");
  auto active = all_log();
  active.active_only = true;
  EXPECT_EQ(instances(ask(active)->alarms), Instances{2}) << "only the alarm of the trigger at 40 is left";
  EXPECT_EQ(kinds(set(35.0)), Kinds{"end 1"});

  // 30, 10, 20 written back sorted with the first threshold changed: 40, 20, 30.
  std::uint64_t ch = add_channel(device_, "sorted");
  configure_ok(ch, {high(30), high(10), high(20)});
  ASSERT_EQ(set(ch, 45.0).size(), 3u);
  active.start = 11;  // a page of active alarms: the raises below instance 11, newest first
  EXPECT_EQ(instances(ask(active)->alarms), (Instances{10, 9}));
  active.start = 0;
  EXPECT_TRUE(updates_of([&] { configure_ok(ch, {high(40), high(20), high(30)}); }).empty())
      << "every threshold is still met";
  auto ended = set(ch, 35.0);
  ASSERT_EQ(kinds(ended), Kinds{"end 1"}) << "the alarm of the trigger that was at 10";
  EXPECT_EQ(ended[0].trigger->threshold, zu::CValue(40.0)) << "the trigger as it is now";
  // The others keep their numbers: a new trigger takes the smallest free one.
  configure_ok(ch, {high(40), high(20), high(30), low(-5)});
  EXPECT_EQ(kinds(set(ch, 25.0)), Kinds{"end 0"}) << "the alarm of the trigger at 30";
  EXPECT_EQ(kinds(set(ch, -10.0)), (Kinds{"end 2", "raise 3"})) << "the new low trigger";
  EXPECT_EQ(kinds(ask(active)->alarms), Kinds{"raise 3"});
}

TEST_F(AlarmTest, ConfigurationsAreKeptInStoreLevelsAndInvalidOnesChangeNothing) {
  configure_ok(channel_, {trigger(0, 4, 1.0), trigger(0, 5, 2.0), trigger(0, 6, 3.0), trigger(0, 7, 4.0),
                          trigger(0, 0, 5.0), trigger(1, 3, 6.0)});
  std::vector<std::uint32_t> levels;
  for (const auto& t : triggers_of(channel_)) levels.push_back(t.level);
  EXPECT_EQ(levels, (std::vector<std::uint32_t>{1, 0, 2, 3, 0, 3}));

  // Invalid configurations are refused and change nothing.
  std::uint64_t elsewhere = add_channel(1, "mains");
  configure_ok(elsewhere, {high(2)});
  set(elsewhere, 35.0);
  const auto kept = triggers_of(elsewhere);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  zu::CAlarmTrigger text_hysteresis = high(30);
  text_hysteresis.hysteresis = zu::CValue("1");
  const std::vector<std::pair<const char*, zu::CAlarmTrigger>> cases = {
      {"level above 7", trigger(0, 8, zu::CValue(1.0))},
      {"direction 3", trigger(3, 2, zu::CValue(1.0))},
      {"no threshold", trigger(0, 2, zu::CValue())},
      {"NaN threshold", trigger(0, 2, zu::CValue(nan))},
      {"negative hysteresis", high(30, -1)},
      {"NaN hysteresis", high(30, std::nanf(""))},
      {"text hysteresis", text_hysteresis},
  };
  for (const auto& [what, bad] : cases) {
    SCOPED_TRACE(what);
    // The fault is in the second trigger: the valid first one must not be applied either.
    auto refused = configure(elsewhere, {low(0), bad});
    EXPECT_EQ(refused->status, 5u);
    EXPECT_NE(refused->message.find("trigger 1"), std::string::npos) << refused->message;
    EXPECT_EQ(triggers_of(elsewhere), kept);
  }
  auto refused = ask_with<zu::cds::CSetAlarmConfig>([&](auto& both) {
    both.configs = {{elsewhere, {low(0)}}, {987654, {low(0)}}};
  });
  EXPECT_EQ(refused->status, 2u);
  EXPECT_EQ(triggers_of(elsewhere), kept);
  EXPECT_TRUE(alarm_active_bit(elsewhere));
}

TEST_F(AlarmTest, LogPagesShowNoGapOrDuplicateWhileAlarmsArrive) {
  configure_ok(channel_, {high(30)});
  cycle(channel_, 15);  // instances 1..30
  Instances seen, expected;
  auto page = all_log();
  page.max_count = 7;
  for (int round = 0; round < 20; ++round) {
    auto r = ask(page);
    if (r->alarms.empty()) break;
    for (const auto& u : r->alarms) seen.push_back(u.instance);
    page.start = r->alarms.back().instance;
    cycle(channel_, 1);  // two newer updates between pages
  }
  for (std::uint64_t i = 30; i >= 1; --i) expected.push_back(i);
  EXPECT_EQ(seen, expected);
}

TEST_F(AlarmTest, LogKeepsTheNewestUpdatesMaxCountZeroMeansAThousandAndCountOnlyAnswersTheCountAndNewestMatch) {
  configure_ok(channel_, {high(30)});
  cycle(channel_, 501);
  auto r = ask(all_log());
  EXPECT_EQ(r->alarms.size(), 1000u);
  EXPECT_EQ(r->found_count, 1002u);

  set(35.0);
  auto get = all_log();
  get.count_only = true;
  get.max_count = 50;
  for (bool closed : {false, true}) {
    get.closed_only = closed;
    r = ask(get);
    EXPECT_EQ(r->found_count, closed ? 501u : 1003u);
    EXPECT_EQ(instances(r->alarms), Instances{closed ? 1002u : 1003u});
  }
  set(20.0);  // 1004
  set(35.0);  // 1005: the two oldest have left the log, the count goes on
  get = all_log();
  get.start = 5;
  EXPECT_EQ(found(get), (Instances{4, 3}));
  EXPECT_EQ(ask(all_log())->found_count, kLogSize);
  EXPECT_EQ(global_count(), 1005u);
  // Past the frame limit the answer holds the newest updates that fit, flagged.
  const std::uint64_t wide = add_channel(device_, std::string(1500000, 'w'));  // 1.5 MB per description
  configure_ok(wide, {high(30)});
  cycle(wide, 2);
  r = ask(all_log());
  EXPECT_EQ(r->status, 4u);
  EXPECT_EQ(instances(r->alarms), (Instances{1009, 1008}));
}

// Each query of one log: by device (with or without sub-devices), date,
// level (as the store or the library numbers it), level mask and text.
TEST_F(AlarmTest, LogQueriesSelectByDeviceDateLevelAndText) {
  std::uint64_t child = add_device(device_), grandchild = add_device(child), other = add_device(1);
  configure_ok(channel_, {trigger(0, 7, zu::CValue(30.0))});  // critical, stored as 3
  std::uint64_t pressure = add_channel(child, "pressure");
  configure_ok(pressure, {trigger(0, 5, zu::CValue(30.0))});  // info, stored as 0
  set(channel_, 35.0);  // 1 at t0
  clock_->advance(60);
  const zu::CWallTime t60 = clock_->wall_now();
  set(pressure, 35.0);  // 2 at t0 + 60
  for (std::uint64_t d : {grandchild, other}) {  // 3, 4
    std::uint64_t c = add_channel(d, "t");
    configure_ok(c, {high(30)});
    set(c, 35.0);
  }
  clock_->advance(60);
  set(channel_, 20.0);  // 5 at t0 + 120

  using Filter = std::function<void(zu::cds::CGetAlarms&)>;
  const std::vector<std::tuple<const char*, Filter, Instances>> cases = {
      {"all", [](auto&) {}, {5, 4, 3, 2, 1}},
      {"given devices", [&](auto& g) { g.ids_given = true; g.ids = {child, other}; }, {4, 2}},
      {"given devices and theirs", [&](auto& g) { g.ids_given = true; g.ids = {child, other}; g.recursive = true; }, {4, 3, 2}},
      {"given ids, none given", [](auto& g) { g.ids_given = true; }, {}},
      {"at or after date1", [&](auto& g) { g.date1 = t60; }, {5, 4, 3, 2}},
      {"at or after date2", [&](auto& g) { g.date2 = t60; }, {5, 4, 3, 2}},
      {"level 3", [](auto& g) { g.level_given = true; g.level = 3; }, {5, 1}},
      {"library level 7", [](auto& g) { g.level_given = true; g.level = 7; }, {5, 1}},
      {"a level not given", [](auto& g) { g.level = 3; }, {5, 4, 3, 2, 1}},
      {"store level 0 only", [](auto& g) { g.filter_byte = 1; }, {2}},
      {"no level", [](auto& g) { g.filter_byte = 0; }, {}},
      {"a channel's text", [](auto& g) { g.filter_text = "channel 'pressure'"; }, {2}},
  };
  for (const auto& [what, filter, expected] : cases) {
    auto get = all_log();
    filter(get);
    EXPECT_EQ(found(get), expected) << what;
  }
  auto get = all_log();
  get.level_given = true;
  get.level = 8;
  EXPECT_EQ(ask(get)->status, 5u);
  ASSERT_EQ(remove_devices({grandchild}), 1u);  // 6: its alarm ends; the log outlives the device
  EXPECT_EQ(found(all_log()), (Instances{6, 5, 4, 3, 2, 1}));
}

TEST_F(AlarmTest, LogDeleteByDeviceHonoursTimeAndLevelAndDeleteByIdsTakesEveryUpdate) {
  std::uint64_t elsewhere = add_channel(add_device(1), "t");
  configure_ok(channel_, {high(30), trigger(0, 7, zu::CValue(40.0))});  // warning, critical
  configure_ok(elsewhere, {high(30)});
  set(channel_, 45.0);   // 1 warning, 2 critical
  set(channel_, 20.0);   // 3, 4
  set(elsewhere, 35.0);  // 5
  const zu::CWallTime before_new = clock_->wall_now();
  clock_->advance(10);
  set(channel_, 35.0);  // 6 warning, at a later time

  zu::cds::CDeleteAlarms del;
  del.by_device = true;
  del.device_ids = {device_};
  del.time = before_new;
  del.clear_param1 = 7;  // critical, as the library numbers it
  ASSERT_EQ(ask(del)->status, 1u);
  EXPECT_EQ(found(all_log()), (Instances{6, 5, 3, 1}));
  del.clear_param1 = 0;
  ASSERT_EQ(ask(del)->status, 1u);
  EXPECT_EQ(found(all_log()), (Instances{6, 5})) << "6 is newer than the time given";

  del.time = clock_->wall_now();
  del.clear_param1 = 2;
  del.clear_param2 = 1;  // also ends the active warning
  auto ended = updates_of([&] { ASSERT_EQ(ask(del)->status, 1u); });
  ASSERT_EQ(kinds(ended), Kinds{"end 0"});
  EXPECT_EQ(ended[0].instance, 7u);
  EXPECT_EQ(found(all_log()), (Instances{7, 5}));
  EXPECT_FALSE(alarm_active_bit(channel_));
  EXPECT_TRUE(set(channel_, 36.0).empty()) << "a cleared alarm stays down while its condition holds";
  set(channel_, 20.0);
  EXPECT_EQ(set(channel_, 35.0).size(), 1u) << "after returning to normal it raises again";
  EXPECT_EQ(global_count(), 8u) << "instances never go back";

  for (auto [level, also_end] : {std::pair<std::uint32_t, std::uint32_t>{8, 0}, {0, 2}}) {
    del.clear_param1 = level;
    del.clear_param2 = also_end;
    auto refused = ask(del);
    EXPECT_EQ(refused->status, 5u);
    EXPECT_FALSE(refused->message.empty());
  }
  EXPECT_EQ(found(all_log()), (Instances{8, 7, 5})) << "refused deletes delete nothing";

  // By ids: every update of those alarms, whatever the time; unknown ids are no fault.
  zu::cds::CDeleteAlarms by_ids;
  by_ids.alarm_ids = {channel_, 424242};
  ASSERT_EQ(ask(by_ids)->status, 1u);
  EXPECT_EQ(found(all_log()), (Instances{5}));
}

}  // namespace
}  // namespace cds::store::testing
