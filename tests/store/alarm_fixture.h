#pragma once
// An engine on a manual clock, with a device and a channel, and helpers that
// write values, move the clock and read the alarm state through records.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "store/Clock.h"
#include "store_fixture.h"

namespace cds::store::testing {

class AlarmTest : public StoreTest {
 protected:
  explicit AlarmTest(std::size_t log_size = 100000) : AlarmTest(std::make_shared<ManualClock>(), log_size) {}
  AlarmTest(std::shared_ptr<ManualClock> clock, std::size_t log_size)
      : StoreTest(options(clock, log_size)), clock_(std::move(clock)) {
    device_ = add_named_device(1, "inlet sensor");
    channel_ = add_channel(device_, "temperature");
  }
  static EngineOptions options(std::shared_ptr<ManualClock> clock, std::size_t log_size) {
    EngineOptions options;
    options.clock = std::move(clock);
    options.alarm_log_size = log_size;
    return options;
  }

  std::uint64_t add_named_device(std::uint64_t parent, const std::string& name) {
    zu::cds::CCreateDevice create;
    zu::CDevice d = device_under(parent);
    *d.attribute(zu::device_attribute_number("name")) = name;
    create.devices.push_back(d);
    auto r = ask(create);
    EXPECT_EQ(r->status, 1u) << r->message;
    return r->devices.empty() ? zu::kNoId : r->devices[0].id;
  }

  std::vector<zu::CAlarmTrigger> triggers_of(std::uint64_t channel) {
    zu::cds::CGetAlarmConfig get;
    get.channel_ids = {channel};
    auto r = ask(get);
    EXPECT_EQ(r->configs.size(), 1u);
    return r->configs.empty() ? std::vector<zu::CAlarmTrigger>() : r->configs[0].triggers;
  }

  // Writes one value and returns the alarm updates that write caused.
  std::vector<zu::CAlarmUpdate> set(std::uint64_t channel, zu::CValue value) {
    std::size_t before = changes_.size();
    auto r = write({{channel, std::move(value)}});
    EXPECT_EQ(r->status, 1u) << r->message;
    return updates_since(before);
  }
  std::vector<zu::CAlarmUpdate> set(zu::CValue value) { return set(channel_, std::move(value)); }

  std::vector<zu::CAlarmUpdate> updates_since(std::size_t change_index) {
    std::vector<zu::CAlarmUpdate> out;
    for (std::size_t i = change_index; i < changes_.size(); ++i)
      out.insert(out.end(), changes_[i].alarm_updates.begin(), changes_[i].alarm_updates.end());
    return out;
  }

  // Advances the manual clock and returns the updates the delays raised.
  std::vector<zu::CAlarmUpdate> advance(double seconds) {
    std::size_t before = changes_.size();
    clock_->advance(seconds);
    return updates_since(before);
  }

  std::shared_ptr<zu::cds::CSetChannelState> set_alarms_enabled(std::uint64_t channel, bool enabled) {
    zu::cds::CSetChannelState set;
    zu::cds::CSetSingleChannelState entry;
    entry.id = channel;
    entry.state = enabled ? zu::CStateBits() : zu::CStateBits(zu::realtime_state::alarm_disabled);
    entry.op = zu::cds::state_op::assign;
    set.states.push_back(entry);
    return ask(set);
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
  static zu::cds::CGetAlarms active_of(std::uint64_t device) {
    zu::cds::CGetAlarms get;
    get.ids = {device};
    get.ids_given = true;
    get.active_only = true;
    get.active_query = true;
    return get;
  }

  static std::vector<std::uint64_t> instances(const std::vector<zu::CAlarmUpdate>& updates) {
    std::vector<std::uint64_t> out;
    for (const auto& u : updates) out.push_back(u.instance);
    return out;
  }

  std::shared_ptr<ManualClock> clock_;
  std::uint64_t device_ = 0;
  std::uint64_t channel_ = 0;
};

}  // namespace cds::store::testing
