// The alarm log: its bound, queries, paging, counts and deletion.
#include <functional>
#include <set>
#include <string>
#include <tuple>

#include "alarm_fixture.h"

namespace cds::store::testing {
namespace {

using Instances = std::vector<std::uint64_t>;

class AlarmLogTest : public AlarmTest {
 protected:
  explicit AlarmLogTest(std::size_t log_size = 100000) : AlarmTest(log_size) {}

  // Raises and ends the alarm of `channel` (a high trigger at 30) `times`
  // times: 2 * times updates.
  void cycle(std::uint64_t channel, int times) {
    for (int i = 0; i < times; ++i) {
      set(channel, 35.0);
      set(channel, 20.0);
    }
  }
  std::uint64_t global_count() { return ask(zu::cds::CGetAlarmUpdateGlobalCount())->count; }
  Instances found(zu::cds::CGetAlarms get) {
    auto r = ask(get);
    EXPECT_EQ(r->status, 1u) << r->message;
    EXPECT_EQ(r->found_count, r->alarms.size());
    return instances(r->alarms);
  }
};

class SmallLogTest : public AlarmLogTest {
 protected:
  SmallLogTest() : AlarmLogTest(5) {}
};

TEST_F(SmallLogTest, KeepsTheNewestUpdatesAndCountsOn) {
  configure_ok(channel_, {high(30)});
  cycle(channel_, 4);
  EXPECT_EQ(found(all_log()), (Instances{8, 7, 6, 5, 4}));
  EXPECT_EQ(global_count(), 8u);
}

TEST_F(AlarmLogTest, PagesShowNoGapOrDuplicateWhileAlarmsArrive) {
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

  // Active alarms page the same way, by the instance of their raise.
  std::set<std::uint64_t> channels, alarm_ids;
  auto raise_new = [&](const std::string& name) {
    std::uint64_t c = add_channel(device_, name);
    configure_ok(c, {high(30)});
    set(c, 35.0);
    return c;
  };
  for (int i = 0; i < 5; ++i) channels.insert(raise_new("c" + std::to_string(i)));
  auto active = active_of(device_);
  active.max_count = 2;
  for (int round = 0; round < 5; ++round) {
    auto r = ask(active);
    if (r->alarms.empty()) break;
    for (const auto& u : r->alarms) EXPECT_TRUE(alarm_ids.insert(u.alarm_id).second);
    active.start = r->alarms.back().instance;
    raise_new("late" + std::to_string(round));
  }
  EXPECT_EQ(alarm_ids, channels);
}

TEST_F(AlarmLogTest, MaxCountZeroMeansAThousandAndCountOnlyAnswersTheCountAndTheNewestMatch) {
  configure_ok(channel_, {high(30)});
  cycle(channel_, 501);
  auto r = ask(all_log());
  EXPECT_EQ(r->alarms.size(), 1000u);
  EXPECT_EQ(r->found_count, 1002u);
  EXPECT_EQ(r->alarms.front().instance, 1002u);

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
  get = active_of(99999);
  get.count_only = true;
  r = ask(get);
  EXPECT_EQ(r->status, 1u);
  EXPECT_EQ(r->found_count, 0u);
  EXPECT_TRUE(r->alarms.empty());
}

TEST_F(AlarmLogTest, DeviceSelectionFollowsIdsAndSubDevices) {
  std::uint64_t child = add_named_device(device_, "child");
  std::uint64_t grandchild = add_named_device(child, "grandchild");
  std::uint64_t other = add_named_device(1, "other");
  for (std::uint64_t d : {device_, child, grandchild, other}) {
    std::uint64_t c = add_channel(d, "t");
    configure_ok(c, {high(30)});
    set(c, 35.0);  // instances 1..4 in this order
  }
  auto get = all_log();
  EXPECT_EQ(found(get), (Instances{4, 3, 2, 1}));
  get.ids_given = true;
  get.ids = {child, other};
  EXPECT_EQ(found(get), (Instances{4, 2}));
  get.recursive = true;
  EXPECT_EQ(found(get), (Instances{4, 3, 2}));
  get.ids = {};
  EXPECT_TRUE(found(get).empty()) << "given ids, none given: nothing selected";

  // The log outlives the device: its updates stay selectable by its id.
  ASSERT_EQ(remove_devices({grandchild}), 1u);  // 5: the alarm ends
  get.ids = {grandchild};
  get.recursive = false;
  EXPECT_EQ(found(get), (Instances{5, 3}));
}

TEST_F(AlarmLogTest, FiltersByDateLevelTextAndLevelMask) {
  std::uint64_t second = add_channel(device_, "pressure");
  configure_ok(channel_, {trigger(0, 7, zu::CValue(30.0))});  // critical, stored as 3
  configure_ok(second, {trigger(0, 5, zu::CValue(30.0))});    // info, stored as 0
  set(channel_, 35.0);  // 1 at t0
  clock_->advance(60);
  set(second, 35.0);  // 2 at t0 + 60
  const zu::CWallTime t60 = clock_->wall_now();
  clock_->advance(60);
  set(channel_, 20.0);  // 3 at t0 + 120

  using Filter = std::function<void(zu::cds::CGetAlarms&)>;
  const std::vector<std::tuple<const char*, Filter, Instances>> cases = {
      {"at or after date1", [&](auto& g) { g.date1 = t60; }, {3, 2}},
      {"at or after date2", [&](auto& g) { g.date2 = t60; }, {3, 2}},
      {"level 3", [](auto& g) { g.level_given = true; g.level = 3; }, {3, 1}},
      {"library level 7", [](auto& g) { g.level_given = true; g.level = 7; }, {3, 1}},
      {"a level not given", [](auto& g) { g.level = 3; }, {3, 2, 1}},
      {"store level 0 only", [](auto& g) { g.filter_byte = 1; }, {2}},
      {"store level 3 only", [](auto& g) { g.filter_byte = 1 << 3; }, {3, 1}},
      {"no level", [](auto& g) { g.filter_byte = 0; }, {}},
      {"a channel's text", [](auto& g) { g.filter_text = "channel 'pressure'"; }, {2}},
      {"an end's text", [](auto& g) { g.filter_text = "back to normal"; }, {3}},
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
}

TEST_F(AlarmLogTest, AnAnswerPastTheFrameLimitIsCutAndFlagged) {
  // A device name of 300 000 characters makes every description that long.
  std::uint64_t channel = add_channel(add_named_device(1, std::string(300000, 'n')), "t");
  configure_ok(channel, {high(30)});
  cycle(channel, 10);
  auto r = ask(all_log());
  EXPECT_EQ(r->status, 4u);
  EXPECT_EQ(r->found_count, 20u);
  ASSERT_FALSE(r->alarms.empty());
  EXPECT_LT(r->alarms.size(), 14u);
  EXPECT_EQ(r->alarms.front().instance, 20u) << "the newest come first";
}

TEST_F(AlarmLogTest, DeleteByDeviceHonoursTimeAndLevelAndDeleteByIdsTakesEveryUpdate) {
  std::uint64_t elsewhere = add_channel(add_named_device(1, "other"), "t");
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
  std::size_t changes_before = changes_.size();
  ASSERT_EQ(ask(del)->status, 1u);
  auto ended = updates_since(changes_before);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_TRUE(ended[0].back_to_normal);
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
  EXPECT_EQ(found(active_of(device_)), (Instances{8})) << "the latest raise of an alarm still active";
  auto closed = active_of(device_);
  closed.closed_only = true;
  EXPECT_TRUE(found(closed).empty());
}

}  // namespace
}  // namespace cds::store::testing
