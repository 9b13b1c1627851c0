// alarms active|log|clear and config alarm show|add|set|remove|enable|disable.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>

#include "Commands.h"
#include "Output.h"
#include "Values.h"
#include "cdsapi/AlarmInfos.h"

namespace cdsctl {
namespace {

std::string level_name(std::uint32_t level) {
  zu::CAlarmUpdate update;
  update.trigger = zu::CAlarmTrigger();
  update.trigger->level = level;
  return cdsapi::AlarmInfos(update).getLevelString();
}

unsigned parse_level(const std::string& text) {
  std::optional<unsigned> level = level_from_name(text);
  if (!level) throw UsageError("unknown alarm level '" + text + "' (known: good, info, warning, critical)");
  return *level;
}

// The alarm queries report a failed request only by a line on std::cerr; the
// line is passed on as it is, and the command fails.
class ErrorLines {
 public:
  ErrorLines() : saved_(std::cerr.rdbuf(buffer_.rdbuf())) {}
  ~ErrorLines() { std::cerr.rdbuf(saved_); }
  ErrorLines(const ErrorLines&) = delete;
  ErrorLines& operator=(const ErrorLines&) = delete;
  // Restores std::cerr and writes what was caught there; true when something was.
  bool release() {
    std::cerr.rdbuf(saved_);
    const std::string text = buffer_.str();
    buffer_.str(std::string());
    std::cerr << text;
    return !text.empty();
  }

 private:
  std::ostringstream buffer_;
  std::streambuf* saved_;
};

// "DEVICE/NAME" of the channels alarm updates name, asked once each.
class ChannelLabels {
 public:
  explicit ChannelLabels(cdsapi::InBandAccessor& cds) : cds_(cds) {}
  const zu::CChannel* get(unsigned long long id) {
    auto it = cache_.find(id);
    if (it == cache_.end()) {
      std::optional<zu::CChannel> channel;
      try {
        channel = cds_.getChannel(id);
      } catch (const std::exception&) {
      }
      it = cache_.emplace(id, channel).first;
    }
    return it->second ? &*it->second : nullptr;
  }
  std::string label(unsigned long long id) {
    const zu::CChannel* c = get(id);
    return c ? channel_label(*c) : "#" + std::to_string(id);
  }
  std::string units(unsigned long long id) {
    const zu::CChannel* c = get(id);
    return c ? c->settings()->units : std::string();
  }

 private:
  cdsapi::InBandAccessor& cds_;
  std::map<unsigned long long, std::optional<zu::CChannel>> cache_;
};

void print_updates(Context& ctx, const std::vector<zu::CAlarmUpdate>& updates, std::uint32_t found, bool log) {
  ChannelLabels labels(ctx.cds());
  if (ctx.json) {
    Json json;
    json.begin_object().key("found").number(static_cast<unsigned long long>(found)).key("alarms").begin_array();
    for (const zu::CAlarmUpdate& u : updates) {
      cdsapi::AlarmInfos info(u);
      json.begin_object();
      json.key("instance").number(static_cast<unsigned long long>(u.instance));
      json.key("time").string(u.time.to_string());
      json.key("level").string(info.getLevelString());
      json.key("channel").number(static_cast<unsigned long long>(u.alarm_id));
      json.key("channel_name").string(labels.label(u.alarm_id));
      json.key("device").number(static_cast<unsigned long long>(u.aux_number1));
      json.key("trigger").number(static_cast<unsigned long long>(u.alarm_index));
      json.key("value").value(u.value);
      json.key("units").string(labels.units(u.alarm_id));
      json.key("back_to_normal").boolean(u.back_to_normal);
      json.key("active").boolean(u.active);
      json.key("code").string(u.trigger ? u.trigger->code : std::string());
      json.key("description").string(info.getDescriptionString());
      json.end_object();
    }
    print(json.end_array().end_object().text() + "\n");
    return;
  }
  if (updates.empty()) {
    print(log ? "no alarm updates\n" : "no active alarms\n");
    return;
  }
  Table table(log ? std::vector<std::string>{"INSTANCE", "TIME", "LEVEL", "EVENT", "CHANNEL", "VALUE", "DESCRIPTION"}
                  : std::vector<std::string>{"INSTANCE", "TIME", "LEVEL", "CHANNEL", "VALUE", "DESCRIPTION"});
  for (const zu::CAlarmUpdate& u : updates) {
    cdsapi::AlarmInfos info(u);
    std::vector<std::string> row = {std::to_string(u.instance), u.time.to_string(), info.getLevelString()};
    if (log) row.push_back(u.back_to_normal ? "cleared" : u.active ? "raised (active)" : "raised");
    row.push_back(labels.label(u.alarm_id));
    row.push_back(value_with_units(u.value, labels.units(u.alarm_id)));
    row.push_back(info.getDescriptionString());
    table.add(std::move(row));
  }
  std::string text = table.render();
  if (found > updates.size())
    text += "(" + std::to_string(updates.size()) + " of " + std::to_string(found) + " shown)\n";
  print(text);
}

int run_active(Args& args, Context& ctx) {
  std::optional<std::string> level_text = args.option("--level");
  std::optional<std::string> device_text = args.next_positional();
  const unsigned level = level_text ? parse_level(*level_text) : 0;
  const unsigned long long device = device_text ? parse_id(*device_text, "DEVICE") : kManagerDevice;
  args.finish();
  auto& alarms = ctx.alarms();
  find_device(ctx.cds(), device);
  std::shared_ptr<zu::cds::CGetAlarms> answer;
  ErrorLines errors;
  alarms.getActive(device, true, 0, 0, static_cast<cdsapi::LevelAlarm>(level), answer);
  const bool failed = errors.release();
  if (!answer) throw Failure("the active alarm query failed");
  print_updates(ctx, answer->alarms, answer->found_count, false);
  return failed ? 1 : 0;
}

// A --since/--until time in whole seconds since the epoch: the log's own
// "YYYY-MM-DD HH:MM:SS" (UTC), with a "T" for the space, or seconds.
std::int64_t parse_log_time(std::string text, const char* option) {
  const std::size_t space = text.find(' ');
  if (space != std::string::npos) text[space] = 'T';
  try {
    return parse_value(text, zu::type_timestamp).as_timestamp().seconds;
  } catch (const Failure&) {
    throw UsageError(std::string(option) + " takes a time: YYYY-MM-DD HH:MM:SS (UTC) or seconds since the epoch");
  }
}

// The log between two times, both included, at the seconds the log prints.
// The store filters updates "at or after" only, so pages are read newest
// first and the upper bound is applied here; reading stops at the first
// update older than `since`.
struct LogWindow {
  std::optional<std::int64_t> since, until;
  bool keeps(const zu::CAlarmUpdate& u) const { return !until || u.time.seconds <= *until; }
  bool past(const zu::CAlarmUpdate& u) const { return since && u.time.seconds < *since; }
};

int run_log(Args& args, Context& ctx) {
  std::optional<std::string> count_text = args.option("--count");
  std::optional<std::string> before_text = args.option("--before");
  std::optional<std::string> since_text = args.option("--since");
  std::optional<std::string> until_text = args.option("--until");
  std::optional<std::string> device_text = args.next_positional();
  const unsigned long long count = count_text ? parse_u32(*count_text, "--count") : 50;
  if (count == 0 || count > 1000) throw UsageError("--count must be from 1 to 1000");
  const unsigned long long before = before_text ? parse_id(*before_text, "--before") : 0;
  const unsigned long long device = device_text ? parse_id(*device_text, "DEVICE") : kManagerDevice;
  LogWindow window;
  if (since_text) window.since = parse_log_time(*since_text, "--since");
  if (until_text) window.until = parse_log_time(*until_text, "--until");
  args.finish();
  auto& alarms = ctx.alarms();
  find_device(ctx.cds(), device);
  std::shared_ptr<zu::cds::CGetAlarms> answer;
  ErrorLines errors;
  if (!window.since && !window.until) {
    alarms.getLog(device, true, before, count, answer);
    const bool failed = errors.release();
    if (!answer) throw Failure("the alarm log query failed");
    print_updates(ctx, answer->alarms, answer->found_count, true);
    return failed ? 1 : 0;
  }
  constexpr unsigned long long kPage = 1000;
  std::vector<zu::CAlarmUpdate> kept;
  std::uint32_t found = 0;
  for (unsigned long long start = before;;) {
    alarms.getLog(device, true, start, kPage, answer);
    if (!answer) break;
    bool done = answer->alarms.size() < kPage;
    for (const zu::CAlarmUpdate& u : answer->alarms) {
      if (window.past(u)) {
        done = true;
        break;
      }
      if (!window.keeps(u)) continue;
      ++found;
      if (kept.size() < count) kept.push_back(u);
    }
    if (done || answer->alarms.empty()) break;
    start = answer->alarms.back().instance;
  }
  const bool failed = errors.release();
  if (!answer) throw Failure("the alarm log query failed");
  print_updates(ctx, kept, found, true);
  return failed ? 1 : 0;
}

int run_clear(Args& args, Context& ctx) {
  std::optional<std::string> level_text = args.option("--level");
  const bool end_active = args.flag("--end-active");
  const unsigned long long device = parse_id(args.positional("DEVICE"), "DEVICE");
  args.finish();
  const unsigned level = level_text ? parse_level(*level_text) : 0;
  auto& alarms = ctx.alarms();
  find_device(ctx.cds(), device);
  ErrorLines errors;
  alarms.clear(device, zu::CWallTime::now(), level, end_active ? 1 : 0);
  // A refusal writes a line; a lost answer writes nothing.
  const bool refused = errors.release();
  check_connection();
  if (refused) throw Failure("the alarms of device " + std::to_string(device) + " were not cleared");
  if (ctx.json) print(Json().begin_object().key("cleared").number(device).end_object().text() + "\n");
  return 0;
}

// ---- config alarm

// The channel's triggers, sorted as TriggerId counts them; none when the
// channel has no configuration yet.
std::vector<zu::CAlarmTrigger> sorted_triggers(cdsapi::InBandAccessor& cds, unsigned long long channel_id) {
  std::vector<zu::CAlarmTrigger> triggers;
  try {
    triggers = cds.getChannelAlarmConfig(channel_id).triggers;
  } catch (const std::invalid_argument&) {
    return {};
  }
  std::sort(triggers.begin(), triggers.end(), cdsapi::less_than_threshold());
  return triggers;
}

void write_config(cdsapi::InBandAccessor& cds, const zu::CChannel& channel, std::vector<zu::CAlarmTrigger> triggers) {
  zu::cds::CSingleAlarmConfig config;
  config.channel_id = channel.id();
  config.triggers = std::move(triggers);
  try {
    cds.setChannelAlarmConfig(channel.id(), config);
  } catch (const std::invalid_argument&) {
    throw Failure("the data store refused the alarm configuration of channel " + channel_label(channel));
  }
}

float parse_hysteresis(const std::string& text) {
  float h = parse_value(text, zu::type_float).as_float();
  if (h < 0) throw Failure("the hysteresis cannot be negative");
  return h;
}

std::uint32_t trigger_position(const std::optional<std::string>& text, std::size_t count, const zu::CChannel& channel) {
  const std::uint32_t n = text ? parse_u32(*text, "--trigger") : 0;
  if (count == 0) throw Failure("channel " + channel_label(channel) + " has no alarm triggers");
  if (n >= count)
    throw Failure("channel " + channel_label(channel) + " has " + std::to_string(count) + " trigger(s): --trigger is 0 to " +
                  std::to_string(count - 1));
  return n;
}

int run_config_show(Args& args, Context& ctx) {
  const ChannelRef ref = parse_channel_ref(args.positional("CHANNEL"));
  args.finish();
  auto& cds = ctx.cds();
  zu::CChannel channel = find_channel(cds, ref);
  const bool enabled = cds.getChannelAlarmEnabled(channel.id());
  std::vector<zu::CAlarmTrigger> triggers = sorted_triggers(cds, channel.id());
  const std::string& units = channel.settings()->units;
  if (ctx.json) {
    Json json;
    json.begin_object().key("channel").number(static_cast<unsigned long long>(channel.id()));
    json.key("name").string(channel_label(channel)).key("enabled").boolean(enabled);
    json.key("triggers").begin_array();
    for (std::size_t i = 0; i < triggers.size(); ++i) {
      const zu::CAlarmTrigger& t = triggers[i];
      json.begin_object().key("trigger").number(static_cast<unsigned long long>(i));
      json.key("level").string(level_name(t.level)).key("direction").string(direction_name(t.trigger_flag));
      json.key("threshold").value(t.threshold).key("hysteresis").value(t.hysteresis);
      json.key("delay").number(static_cast<unsigned long long>(t.delay)).key("code").string(t.code);
      json.key("priority").number(static_cast<unsigned long long>(t.priority)).end_object();
    }
    print(json.end_array().end_object().text() + "\n");
    return 0;
  }
  std::string text = "channel " + channel_label(channel) + " (" + std::to_string(channel.id()) + "): alarms " +
                     (enabled ? "enabled" : "disabled") + "\n";
  if (triggers.empty()) {
    print(text + "no triggers\n");
    return 0;
  }
  Table table({"TRIGGER", "LEVEL", "DIRECTION", "THRESHOLD", "HYSTERESIS", "DELAY", "CODE", "PRIORITY"});
  for (std::size_t i = 0; i < triggers.size(); ++i) {
    const zu::CAlarmTrigger& t = triggers[i];
    table.add({std::to_string(i), level_name(t.level), direction_name(t.trigger_flag),
               value_with_units(t.threshold, units), t.hysteresis.is_valid() ? value_with_units(t.hysteresis, units) : "-",
               std::to_string(t.delay) + " s", t.code.empty() ? "-" : t.code, std::to_string(t.priority)});
  }
  print(text + table.render());
  return 0;
}

int run_config_add(Args& args, Context& ctx) {
  std::optional<std::string> threshold = args.option("--threshold");
  std::optional<std::string> level = args.option("--level");
  std::optional<std::string> direction = args.option("--direction");
  std::optional<std::string> hysteresis = args.option("--hysteresis");
  std::optional<std::string> delay = args.option("--delay");
  std::optional<std::string> code = args.option("--code");
  std::optional<std::string> priority = args.option("--priority");
  const ChannelRef ref = parse_channel_ref(args.positional("CHANNEL"));
  args.finish();
  if (!threshold) throw UsageError("missing --threshold");
  zu::CAlarmTrigger trigger;
  trigger.level = level ? parse_level(*level) : 6;
  if (direction) {
    std::optional<std::uint8_t> d = direction_from_name(*direction);
    if (!d) throw UsageError("unknown direction '" + *direction + "' (known: high, low, equal)");
    trigger.trigger_flag = *d;
  }
  if (delay) trigger.delay = parse_u32(*delay, "--delay");
  if (priority) trigger.priority = parse_u32(*priority, "--priority");
  if (code) trigger.code = *code;
  if (hysteresis) trigger.hysteresis = zu::CValue(parse_hysteresis(*hysteresis));
  auto& cds = ctx.cds();
  zu::CChannel channel = find_channel(cds, ref);
  // The threshold compares with the channel's values: read it as one of them.
  const std::uint8_t type = channel.settings()->data_type;
  trigger.threshold = parse_value(*threshold, type == zu::type_none ? static_cast<std::uint8_t>(zu::type_double) : type);
  std::vector<zu::CAlarmTrigger> triggers = sorted_triggers(cds, channel.id());
  triggers.push_back(trigger);
  write_config(cds, channel, triggers);
  if (ctx.json) print(Json().begin_object().key("channel").number(static_cast<unsigned long long>(channel.id()))
                          .key("triggers").number(static_cast<unsigned long long>(triggers.size())).end_object().text() + "\n");
  else print("channel " + channel_label(channel) + ": " + std::to_string(triggers.size()) + " trigger(s)\n");
  return 0;
}

int run_config_set(Args& args, Context& ctx) {
  std::optional<std::string> trigger_text = args.option("--trigger");
  std::optional<std::string> threshold = args.option("--threshold");
  std::optional<std::string> level_text = args.option("--level");
  std::optional<std::string> hysteresis_text = args.option("--hysteresis");
  std::optional<std::string> delay_text = args.option("--delay");
  const ChannelRef ref = parse_channel_ref(args.positional("CHANNEL"));
  args.finish();
  if (!threshold && !level_text && !hysteresis_text && !delay_text)
    throw UsageError("nothing to set: give --threshold, --level, --hysteresis or --delay");
  // Plain values beside the texts that say whether they are given.
  const unsigned level = level_text ? parse_level(*level_text) : 0;
  const float hysteresis = hysteresis_text ? parse_hysteresis(*hysteresis_text) : 0.0F;
  const std::uint32_t delay = delay_text ? parse_u32(*delay_text, "--delay") : 0;
  auto& cds = ctx.cds();
  zu::CChannel channel = find_channel(cds, ref);
  std::vector<zu::CAlarmTrigger> triggers = sorted_triggers(cds, channel.id());
  const std::uint32_t n = trigger_position(trigger_text, triggers.size(), channel);
  const bool contact = channel.settings()->data_type == zu::type_bool;
  std::optional<zu::CValue> wanted;
  if (threshold) {
    wanted = parse_value(*threshold, contact ? zu::type_bool : zu::type_float);
    if (contact && n != 0) throw Failure("a contact channel's threshold is set on its first trigger only");
  }
  if (level_text) {
    triggers[n].level = level;
    write_config(cds, channel, triggers);
  }
  // The field setters do not report a refused write; the read-back below does.
  if (wanted) {
    if (contact) cds.setChannelAlarmTriggerThreshold(channel.id(), wanted->as_bool());
    else cds.setChannelAlarmTriggerThreshold(channel.id(), static_cast<cdsapi::TriggerId>(n), wanted->as_float());
  }
  if (hysteresis_text) cds.setChannelAlarmHysteresis(channel.id(), hysteresis);
  if (delay_text) cds.setChannelAlarmDelay(channel.id(), delay);
  std::vector<zu::CAlarmTrigger> after = sorted_triggers(cds, channel.id());
  bool taken = after.size() == triggers.size();
  if (taken && wanted)
    taken = std::any_of(after.begin(), after.end(), [&](const zu::CAlarmTrigger& t) { return t.threshold == *wanted; });
  for (const zu::CAlarmTrigger& t : after) {
    if (hysteresis_text && !(t.hysteresis == zu::CValue(hysteresis))) taken = false;
    if (delay_text && t.delay != delay) taken = false;
  }
  if (!taken) throw Failure("the data store did not take the change to channel " + channel_label(channel));
  return 0;
}

int run_config_remove(Args& args, Context& ctx) {
  std::optional<std::string> trigger_text = args.option("--trigger");
  const bool all = args.flag("--all");
  const ChannelRef ref = parse_channel_ref(args.positional("CHANNEL"));
  args.finish();
  if (all == trigger_text.has_value()) throw UsageError("give either --trigger N or --all");
  auto& cds = ctx.cds();
  zu::CChannel channel = find_channel(cds, ref);
  std::vector<zu::CAlarmTrigger> triggers = sorted_triggers(cds, channel.id());
  if (all) {
    triggers.clear();
  } else {
    const std::uint32_t n = trigger_position(trigger_text, triggers.size(), channel);
    triggers.erase(triggers.begin() + n);
  }
  write_config(cds, channel, triggers);
  return 0;
}

int set_enabled(Args& args, Context& ctx, bool enabled) {
  const ChannelRef ref = parse_channel_ref(args.positional("CHANNEL"));
  args.finish();
  auto& cds = ctx.cds();
  zu::CChannel channel = find_channel(cds, ref);
  try {
    cds.setChannelAlarmEnabled(channel.id(), enabled);
  } catch (const std::runtime_error&) {
    throw Failure(std::string("the data store refused to ") + (enabled ? "enable" : "disable") + " the alarms of channel " +
                  channel_label(channel));
  }
  return 0;
}

int run_config_enable(Args& args, Context& ctx) { return set_enabled(args, ctx, true); }
int run_config_disable(Args& args, Context& ctx) { return set_enabled(args, ctx, false); }

}  // namespace

const std::vector<Command>& alarm_commands() {
  static const std::vector<Command> commands = {
      {"alarms active", "alarms active [DEVICE] [--level LEVEL]\n\n"
       "Alarms active now on DEVICE (default 1) and its sub-devices; LEVEL is good, info,\nwarning or critical.\n",
       "list active alarms", run_active},
      {"alarms log", "alarms log [DEVICE] [--count N] [--before INSTANCE] [--since TIME] [--until TIME]\n\n"
       "The newest N (default 50, at most 1000) alarm updates of DEVICE (default 1) and its\n"
       "sub-devices; --before pages back from an instance number. --since and --until keep the\n"
       "updates from TIME and up to TIME, both included, to the second; TIME is the log's\n"
       "\"YYYY-MM-DD HH:MM:SS\" (UTC, a T may replace the space) or seconds since the epoch.\n"
       "(The library's date queries, getLogFromDate and the like, mean \"at or after\" by\n"
       "either date; they have no upper bound.)\n",
       "show the alarm log", run_log},
      {"alarms clear", "alarms clear DEVICE [--level LEVEL] [--end-active]\n\n"
       "Deletes the device's logged alarm updates (of LEVEL only, when given); --end-active\n"
       "also ends its active alarms.\n",
       "clear alarms", run_clear},
      {"config alarm show", "config alarm show CHANNEL\n\n"
       "Whether the channel's alarms are enabled, and its triggers in threshold order (the\n"
       "numbers --trigger takes).\n",
       "show a channel's alarm triggers", run_config_show},
      {"config alarm add", "config alarm add CHANNEL --threshold VALUE [--level LEVEL] [--direction DIR]\n"
       "                 [--hysteresis H] [--delay SECONDS] [--code CODE] [--priority N]\n\n"
       "Adds a trigger: raised when the value reaches VALUE (DIR high, the default), falls to it\n"
       "(low) or equals it (equal), after the condition held DELAY seconds; it ends once the\n"
       "value is back past the threshold by more than H. LEVEL defaults to warning.\n",
       "add an alarm trigger", run_config_add},
      {"config alarm set", "config alarm set CHANNEL [--trigger N] [--threshold VALUE] [--level LEVEL]\n"
       "                 [--hysteresis H] [--delay SECONDS]\n\n"
       "Changes trigger N (default 0; see config alarm show): its threshold and level. The\n"
       "hysteresis and the delay apply to every trigger of the channel.\n",
       "change alarm triggers", run_config_set},
      {"config alarm remove", "config alarm remove CHANNEL (--trigger N | --all)\n\nRemoves one trigger or all.\n",
       "remove alarm triggers", run_config_remove},
      {"config alarm enable", "config alarm enable CHANNEL\n\nEnables the channel's alarms.\n",
       "enable a channel's alarms", run_config_enable},
      {"config alarm disable", "config alarm disable CHANNEL\n\nDisables the channel's alarms and ends its active ones.\n",
       "disable a channel's alarms", run_config_disable},
  };
  return commands;
}

}  // namespace cdsctl
