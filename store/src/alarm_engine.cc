// The alarm engine: channel alarm configurations and the evaluation of their
// triggers against the channels' values.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "alarms.h"

namespace cds {
namespace store {
namespace detail {

using zu::cds::status_invalid;
using zu::cds::status_ok;
using zu::cds::status_refused;

namespace {

enum Direction : std::uint8_t { kHigh = 0, kLow = 1, kEqual = 2 };

const char* direction_name(std::uint8_t flag) {
  switch (flag) {
    case kHigh: return "high";
    case kLow: return "low";
    default: return "equal";
  }
}

bool is_integral(const zu::CValue& v) { return v.type() <= zu::type_uint64; }
bool is_floating(const zu::CValue& v) { return v.type() == zu::type_float || v.type() == zu::type_double; }
bool is_number(const zu::CValue& v) { return is_integral(v) || is_floating(v); }
bool is_signed(const zu::CValue& v) { return v.type() == zu::type_int32 || v.type() == zu::type_int64; }

enum class Order { less, equal, greater, unordered };

template <typename T>
Order order_of(T a, T b) {
  return a < b ? Order::less : b < a ? Order::greater : Order::equal;
}

// A number as a double. A float widens through its shortest decimal text:
// 25.3 as a float (a threshold from a float setter) and 25.3 as a double (a
// channel's value) are then the same number, where plain widening would put
// the float 7.6e-7 below the double.
double number_of(const zu::CValue& v) {
  if (v.type() != zu::type_float) return v.as_double();
  const float f = v.as_float();
  if (!std::isfinite(f)) return f;
  char text[32];
  const char* end = std::to_chars(text, text + sizeof text, f).ptr;
  double d = f;
  std::from_chars(text, end, d);
  return d;
}

// Compares a value with a threshold. Numbers compare by value across their
// types (exactly for integers, so 64-bit ids and counters do not round;
// floats by their decimal, see number_of); other values only with a value of
// the same type. NaN and values of unrelated types are unordered: they
// neither raise nor end an alarm.
Order compare(const zu::CValue& a, const zu::CValue& b) {
  if (!a.is_valid() || !b.is_valid()) return Order::unordered;
  if (is_integral(a) && is_integral(b)) {
    bool a_neg = is_signed(a) && a.as_int64() < 0;
    bool b_neg = is_signed(b) && b.as_int64() < 0;
    if (a_neg || b_neg) {
      if (a_neg != b_neg) return a_neg ? Order::less : Order::greater;
      return order_of(a.as_int64(), b.as_int64());
    }
    return order_of(a.as_uint64(), b.as_uint64());
  }
  if (is_number(a) && is_number(b)) {
    double x = number_of(a), y = number_of(b);
    if (std::isnan(x) || std::isnan(y)) return Order::unordered;
    return order_of(x, y);
  }
  if (a.type() != b.type()) return Order::unordered;
  return a < b ? Order::less : b < a ? Order::greater : Order::equal;
}

double hysteresis_of(const zu::CAlarmTrigger& t) { return t.hysteresis.is_valid() ? number_of(t.hysteresis) : 0.0; }

bool raise_condition(const zu::CAlarmTrigger& t, const zu::CValue& value) {
  Order o = compare(value, t.threshold);
  switch (t.trigger_flag) {
    case kHigh: return o == Order::greater || o == Order::equal;
    case kLow: return o == Order::less || o == Order::equal;
    default: return o == Order::equal;
  }
}

// Whether a raised alarm's value has returned to normal: past the threshold
// by more than the hysteresis, so a value hovering at the threshold does not
// raise and end the alarm on every write.
bool normal_condition(const zu::CAlarmTrigger& t, const zu::CValue& value) {
  Order o = compare(value, t.threshold);
  if (o == Order::unordered) return false;
  double h = hysteresis_of(t);
  if (t.trigger_flag == kEqual) return o != Order::equal;
  bool past = t.trigger_flag == kHigh ? o == Order::less : o == Order::greater;
  if (!past || h == 0 || !is_number(value)) return past;
  double v = number_of(value), threshold = number_of(t.threshold);
  return t.trigger_flag == kHigh ? v < threshold - h : v > threshold + h;
}

std::string raise_text(const zu::CAlarmTrigger& t, const zu::CValue& value) {
  const char* op = t.trigger_flag == kHigh ? " >= " : t.trigger_flag == kLow ? " <= " : " == ";
  return value.as_string() + op + t.threshold.as_string() + " (" + direction_name(t.trigger_flag) + ")";
}

std::string normal_text(const zu::CAlarmTrigger& t, const zu::CValue& value) {
  std::string limit = t.threshold.as_string();
  if (t.trigger_flag != kEqual && hysteresis_of(t) != 0)
    limit += (t.trigger_flag == kHigh ? " - " : " + ") + t.hysteresis.as_string();
  const char* op = t.trigger_flag == kHigh ? " < " : t.trigger_flag == kLow ? " > " : " != ";
  return "back to normal: " + value.as_string() + op + limit + " (" + direction_name(t.trigger_flag) + ")";
}

// "device 1024 'inlet sensor', channel 'temperature'": the device by its
// "name" attribute when it has one.
std::string subject_of(const StoreData& data, const ChannelNode& node) {
  static const unsigned name_attribute = zu::device_attribute_number("name");
  std::string text = "device " + std::to_string(node.channel.device_id);
  if (const DeviceNode* device = data.device(node.channel.device_id)) {
    const std::string* name = device->record.attribute(name_attribute);
    if (name && !name->empty()) text += " '" + *name + "'";
  }
  return text + ", channel '" + node.channel.name + "'";
}

bool alarms_disabled(const ChannelNode& node) { return node.channel.state.test(zu::realtime_state::alarm_disabled); }

// The smallest trigger number that none of the `numbered` states holds.
std::uint32_t free_number(const std::vector<TriggerAlarmState>& states, const std::vector<bool>& numbered) {
  for (std::uint32_t n = 0;; ++n) {
    bool held = false;
    for (std::size_t i = 0; i < states.size() && !held; ++i) held = numbered[i] && states[i].number == n;
    if (!held) return n;
  }
}

// One state per trigger; states added here get numbers of their own.
void sync_states(ChannelNode& node) {
  if (node.channel.triggers.empty() && node.alarm.triggers.empty()) return;
  std::vector<TriggerAlarmState>& states = node.alarm.triggers.edit();
  std::vector<bool> numbered(node.channel.triggers.size(), true);
  for (std::size_t i = std::min(states.size(), numbered.size()); i < numbered.size(); ++i) numbered[i] = false;
  states.resize(numbered.size());
  for (std::size_t i = 0; i < states.size(); ++i)
    if (!numbered[i]) {
      states[i].number = free_number(states, numbered);
      numbered[i] = true;
    }
}

// The position of the trigger numbered `number`; the trigger count when the
// channel has no such trigger (any more).
std::size_t position_of(const ChannelNode& node, std::uint32_t number) {
  const std::vector<TriggerAlarmState>& states = node.alarm.triggers;
  auto it = std::find_if(states.begin(), states.end(), [&](const TriggerAlarmState& s) { return s.number == number; });
  const std::size_t at = static_cast<std::size_t>(it - states.begin());
  return it == states.end() || at >= node.channel.triggers.size() ? node.channel.triggers.size() : at;
}

// Back to a trigger that is neither raised nor waiting; it keeps its number.
void reset(TriggerAlarmState& state) {
  TriggerAlarmState fresh;
  fresh.number = state.number;
  state = fresh;
}

// The channel's alarm_active bit follows its raised triggers.
void update_active_bit(ChannelNode& node, ChangeSet& changes) {
  bool any = std::any_of(node.alarm.triggers.begin(), node.alarm.triggers.end(),
                         [](const TriggerAlarmState& s) { return s.raised; });
  if (any == node.channel.state.test(zu::realtime_state::alarm_active)) return;
  if (any)
    node.channel.state.set(zu::realtime_state::alarm_active);
  else
    node.channel.state.reset(zu::realtime_state::alarm_active);
  changes.channel_states_changed.insert(node.channel.id());
}

zu::CAlarmUpdate new_update(AlarmData& alarms, const AlarmKey& key, std::uint64_t device, const zu::CValue& value,
                            const zu::CAlarmTrigger& trigger, bool back_to_normal, std::string description) {
  zu::CAlarmUpdate u;
  u.alarm_id = key.first;
  u.alarm_index = key.second;
  u.instance = ++alarms.last_instance;
  u.time = alarms.clock->wall_now();
  u.aux_number1 = device;
  u.value = value;
  u.back_to_normal = back_to_normal;
  u.trigger = trigger;
  u.description = std::move(description);
  return u;
}

void record(AlarmData& alarms, zu::CAlarmUpdate update, ChangeSet& changes) {
  append_to_log(alarms, update);
  changes.alarm_updates.push_back(std::move(update));
}

void raise(StoreData& data, ChannelNode& node, std::uint32_t index, ChangeSet& changes) {
  const zu::CAlarmTrigger& trigger = node.channel.triggers[index];
  TriggerAlarmState& state = node.alarm.triggers[index];
  AlarmKey key(node.channel.id(), state.number);
  state.raised = true;
  state.pending = false;
  std::string subject = subject_of(data, node);
  zu::CAlarmUpdate update = new_update(data.alarms, key, node.channel.device_id, node.value, trigger, false,
                                       subject + ": " + raise_text(trigger, node.value));
  data.alarms.active[key] = ActiveAlarm{update, std::move(subject)};
  record(data.alarms, std::move(update), changes);
  update_active_bit(node, changes);
}

void schedule(AlarmData& alarms, const AlarmKey& key, Clock::TimePoint deadline) {
  alarms.timers.emplace(deadline, key);
  if (alarms.wake_at) alarms.wake_at(deadline);
}

Clock::TimePoint deadline_of(const TriggerAlarmState& state, const zu::CAlarmTrigger& trigger) {
  return state.pending_since + std::chrono::seconds(trigger.delay);
}

// One trigger against the channel's current value, at `now`.
void evaluate(StoreData& data, ChannelNode& node, std::uint32_t index, Clock::TimePoint now, ChangeSet& changes) {
  const zu::CAlarmTrigger& trigger = node.channel.triggers[index];
  TriggerAlarmState& state = node.alarm.triggers[index];
  if (state.raised || state.held_down) {
    if (!normal_condition(trigger, node.value)) return;
    state.held_down = false;
    if (state.raised)
      end_alarm(data, AlarmKey(node.channel.id(), state.number), normal_text(trigger, node.value), false, changes);
    return;
  }
  if (!raise_condition(trigger, node.value)) {
    state.pending = false;
    return;
  }
  if (trigger.delay == 0) return raise(data, node, index, changes);
  if (!state.pending) {
    state.pending = true;
    state.pending_since = now;
    schedule(data.alarms, AlarmKey(node.channel.id(), state.number), deadline_of(state, trigger));
  } else if (now >= deadline_of(state, trigger)) {
    raise(data, node, index, changes);
  }
}

void evaluate_channel(StoreData& data, ChannelNode& node, Clock::TimePoint now, ChangeSet& changes) {
  sync_states(node);
  if (alarms_disabled(node)) return;
  for (std::uint32_t i = 0; i < node.channel.triggers.size(); ++i) evaluate(data, node, i, now, changes);
}

// Why a trigger cannot be stored; empty when it can.
std::string trigger_fault(const zu::CAlarmTrigger& t) {
  if (t.level > 7) return "level " + std::to_string(t.level) + " is not an alarm level (0 to 7)";
  if (t.trigger_flag > kEqual)
    return "direction " + std::to_string(t.trigger_flag) + " is not 0 (high), 1 (low) or 2 (equal)";
  if (!t.threshold.is_valid()) return "the threshold has no value";
  if (is_floating(t.threshold) && !std::isfinite(t.threshold.as_double()))
    return "the threshold is not a finite number";
  if (t.hysteresis.is_valid()) {
    if (!is_number(t.hysteresis) || t.hysteresis.type() == zu::type_bool) return "the hysteresis is not a number";
    double h = t.hysteresis.as_double();
    if (std::isnan(h)) return "the hysteresis is not a number";
    if (h < 0) return "the hysteresis is negative";
    if (std::isinf(h)) return "the hysteresis is infinite";
  }
  return std::string();
}

// A trigger of the same direction and level is the same alarm: it keeps its
// state when only its threshold, hysteresis, delay or texts change.
bool same_alarm(const zu::CAlarmTrigger& a, const zu::CAlarmTrigger& b) {
  return a.trigger_flag == b.trigger_flag && a.level == b.level;
}

std::string channel_text(std::uint64_t id) { return "channel " + std::to_string(id); }

}  // namespace

std::uint32_t store_level(std::uint32_t level) {
  static const std::uint32_t from_library[4] = {1, 0, 2, 3};  // 4 good, 5 info, 6 warning, 7 critical
  return level >= 4 && level <= 7 ? from_library[level - 4] : level;
}

void end_alarm(StoreData& data, const AlarmKey& key, const std::string& why, bool hold_down, ChangeSet& changes) {
  auto active = data.alarms.active.find(key);
  if (active == data.alarms.active.end()) return;
  ChannelNode* node = data.channel(key.first);
  zu::CValue value = node ? node->value : zu::CValue();
  const std::size_t at = node ? position_of(*node, key.second) : 0;
  const bool has_trigger = node && at < node->channel.triggers.size();
  const zu::CAlarmUpdate& raised = active->second.raise;
  // The trigger as it is now: a threshold changed since the raise shows.
  const zu::CAlarmTrigger& trigger = has_trigger ? node->channel.triggers[at] : *raised.trigger;
  zu::CAlarmUpdate update = new_update(data.alarms, key, raised.aux_number1, value, trigger, true,
                                       active->second.subject + ": " + why);
  data.alarms.active.erase(active);
  record(data.alarms, std::move(update), changes);
  if (!has_trigger) return;
  TriggerAlarmState& state = node->alarm.triggers[at];
  state.raised = false;
  state.pending = false;
  state.held_down = hold_down;
  update_active_bit(*node, changes);
}

void get_alarm_config(const StoreData& data, const zu::cds::CGetAlarmConfig& request,
                      zu::cds::CGetAlarmConfig& response) {
  response.configs.clear();
  std::set<std::uint64_t> seen;
  auto add = [&](std::uint64_t id) {
    const ChannelNode* node = data.channel(id);
    if (!node || !seen.insert(id).second) return;
    response.configs.push_back(zu::cds::CSingleAlarmConfig{id, node->channel.triggers});
  };
  std::set<std::uint64_t> channels(request.channel_ids.begin(), request.channel_ids.end());
  for (std::uint64_t id : channels) add(id);
  std::set<std::uint64_t> devices(request.device_ids.begin(), request.device_ids.end());
  for (std::uint64_t device : devices)
    if (const DeviceNode* node = data.device(device))
      for (std::uint64_t id : node->record.channels) add(id);
  response.status = status_ok;
}

void set_alarm_config(StoreData& data, const zu::cds::CSetAlarmConfig& request, zu::cds::CSetAlarmConfig& response,
                      ChangeSet& changes) {
  for (const zu::cds::CSingleAlarmConfig& config : request.configs) {
    if (!data.channel(config.channel_id)) return refuse(response, status_refused, "unknown " + channel_text(config.channel_id));
    for (std::size_t i = 0; i < config.triggers.size(); ++i) {
      std::string fault = trigger_fault(config.triggers[i]);
      if (!fault.empty())
        return refuse(response, status_invalid,
                      channel_text(config.channel_id) + ", trigger " + std::to_string(i) + ": " + fault);
    }
  }

  Clock::TimePoint now = data.alarms.clock->steady_now();
  response.configs.clear();
  for (const zu::cds::CSingleAlarmConfig& config : request.configs) {
    const std::uint64_t id = config.channel_id;
    ChannelNode& node = *data.channel(id);
    std::vector<zu::CAlarmTrigger> triggers = config.triggers;
    for (zu::CAlarmTrigger& t : triggers) t.level = store_level(t.level);
    response.configs.push_back(zu::cds::CSingleAlarmConfig{id, triggers});
    if (triggers == node.channel.triggers) continue;

    std::vector<zu::CAlarmTrigger>& current = node.channel.triggers.edit();
    sync_states(node);
    // Which new trigger is which old one, whatever their positions: an
    // unchanged trigger is itself; then, in list order, one of the same
    // direction and level is the same alarm. The others are new triggers.
    std::vector<TriggerAlarmState> states(triggers.size());
    std::vector<bool> old_kept(current.size()), numbered(triggers.size());
    auto match = [&](auto same) {
      for (std::size_t j = 0; j < triggers.size(); ++j)
        for (std::size_t i = 0; i < current.size() && !numbered[j]; ++i)
          if (!old_kept[i] && same(current[i], triggers[j])) {
            states[j] = node.alarm.triggers[i];
            old_kept[i] = numbered[j] = true;
          }
    };
    match([](const zu::CAlarmTrigger& a, const zu::CAlarmTrigger& b) { return a == b; });
    match(same_alarm);
    for (std::size_t j = 0; j < triggers.size(); ++j)
      if (!numbered[j]) {
        states[j].number = free_number(states, numbered);
        numbered[j] = true;
      }
    for (std::size_t i = 0; i < current.size(); ++i) {
      if (old_kept[i]) continue;
      const std::uint32_t number = node.alarm.triggers[i].number;
      const bool replaced = std::any_of(states.begin(), states.end(),
                                        [&](const TriggerAlarmState& s) { return s.number == number; });
      end_alarm(data, AlarmKey(id, number), replaced ? "alarm ended (trigger changed)" : "alarm ended (trigger removed)",
                false, changes);
    }
    current = std::move(triggers);
    node.alarm.triggers = std::move(states);
    for (std::uint32_t i = 0; i < current.size(); ++i) {
      // A kept trigger already waiting for its delay waits for the new one.
      const TriggerAlarmState& state = node.alarm.triggers[i];
      if (state.pending) schedule(data.alarms, AlarmKey(id, state.number), deadline_of(state, current[i]));
    }
    changes.channel_alarm_configs_changed.insert(id);
    evaluate_channel(data, node, now, changes);
  }
  response.status = status_ok;
}

void evaluate_alarms(StoreData& data, ChangeSet& changes) {
  if (changes.channels_removed.empty() && changes.channel_states_changed.empty() && changes.values_written.empty())
    return;
  for (const auto& removed : changes.channels_removed) {
    auto first = data.alarms.active.lower_bound(AlarmKey(removed.first, 0));
    std::vector<AlarmKey> keys;
    for (auto it = first; it != data.alarms.active.end() && it->first.first == removed.first; ++it)
      keys.push_back(it->first);
    for (const AlarmKey& key : keys) end_alarm(data, key, "alarm ended (channel removed)", false, changes);
  }

  Clock::TimePoint now = data.alarms.clock->steady_now();
  // Raising or ending alarms below adds to channel_states_changed: walk a copy.
  const std::set<std::uint64_t> states_changed = changes.channel_states_changed;
  for (std::uint64_t id : states_changed) {
    ChannelNode* node = data.channel(id);
    if (!node || alarms_disabled(*node) == node->alarm.disabled) continue;
    node->alarm.disabled = alarms_disabled(*node);
    changes.channel_alarm_configs_changed.insert(id);
    if (node->alarm.disabled) {
      for (TriggerAlarmState& state : node->alarm.triggers) {
        end_alarm(data, AlarmKey(id, state.number), "alarm ended (alarms disabled)", false, changes);
        reset(state);
      }
    } else if (changes.values_written.count(id) == 0) {
      evaluate_channel(data, *node, now, changes);
    }
  }
  for (const auto& written : changes.values_written)
    if (ChannelNode* node = data.channel(written.first)) evaluate_channel(data, *node, now, changes);
}

void run_alarm_timers(StoreData& data, ChangeSet& changes) {
  AlarmData& alarms = data.alarms;
  Clock::TimePoint now = alarms.clock->steady_now();
  while (!alarms.timers.empty() && alarms.timers.begin()->first <= now) {
    AlarmKey key = alarms.timers.begin()->second;
    alarms.timers.erase(alarms.timers.begin());
    // The trigger may have been removed, changed or ended since: evaluate
    // decides from its state now.
    ChannelNode* node = data.channel(key.first);
    if (!node || alarms_disabled(*node)) continue;
    sync_states(*node);
    const std::size_t at = position_of(*node, key.second);
    if (at < node->channel.triggers.size()) evaluate(data, *node, static_cast<std::uint32_t>(at), now, changes);
  }
  if (!alarms.timers.empty() && alarms.wake_at) alarms.wake_at(alarms.timers.begin()->first);
}

}  // namespace detail
}  // namespace store
}  // namespace cds
