#include "alarm_tour.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cdsapi/AlarmInfos.h"
#include "zu/CWallTime.h"

namespace demo {

namespace {

enum Direction : std::uint8_t { High = 0, Low = 1, Equal = 2 };

// Thresholds are floats: the setters by position write floats, and values
// of different types order by type before value, so a channel's thresholds
// must share one type for "lowest first" to mean anything.
zu::CAlarmTrigger trigger(Direction direction, const zu::CValue& threshold, cdsapi::LevelAlarm level,
                          unsigned priority, const char* code) {
  zu::CAlarmTrigger t;
  t.trigger_flag = direction;
  t.threshold = threshold;
  t.level = level;  // the store keeps its own encoding of the level
  t.priority = priority;
  t.code = code;
  return t;
}

// Four climate triggers: critical ones outside warning ones, the critical
// ones more urgent (lower priority number) for temperature than humidity.
void configure_climate(cdsapi::InBandAccessor& cds, unsigned long long channel, bool temperature) {
  // Off while the configuration is being built, so that no half-built
  // configuration raises anything.
  cds.setChannelAlarmEnabled(channel, false);
  zu::cds::CSingleAlarmConfig config;
  if (temperature) {
    // The critically high threshold is tuned below, by position.
    config.triggers = {trigger(High, 45.0F, cdsapi::LevelCritical, 1, "1204"),
                       trigger(High, 35.0F, cdsapi::LevelWarning, 3, "1203"),
                       trigger(Low, 10.0F, cdsapi::LevelWarning, 3, "1202"),
                       trigger(Low, 5.0F, cdsapi::LevelCritical, 1, "1201")};
  } else {
    config.triggers = {trigger(High, 80.0F, cdsapi::LevelCritical, 2, "1214"),
                       trigger(High, 70.0F, cdsapi::LevelWarning, 4, "1213"),
                       trigger(Low, 20.0F, cdsapi::LevelWarning, 4, "1212"),
                       trigger(Low, 10.0F, cdsapi::LevelCritical, 2, "1211")};
  }
  cds.setChannelAlarmConfig(channel, config);
  // Field setters: each reads the whole configuration, changes it and writes it back.
  cds.setChannelAlarmHysteresis(channel, 1.0F);  // every trigger
  cds.setChannelAlarmDelay(channel, 0);           // every trigger: raise at once
  if (temperature) cds.setChannelAlarmTriggerThreshold(channel, cdsapi::FourthTrigger, 40.0F);
  cds.setChannelAlarmEnabled(channel, true);
}

// The word of a level, as AlarmInfos names the level of an update.
const char* level_word(unsigned level) {
  cdsapi::AlarmInfos info;
  info.trigger = zu::CAlarmTrigger();
  info.trigger->level = level;
  return info.getLevelString();
}

void print_configuration(cdsapi::InBandAccessor& cds, const Installation& site, unsigned long long channel,
                         Console& out) {
  zu::cds::CSingleAlarmConfig config = cds.getChannelAlarmConfig(channel);
  std::string thresholds, codes;
  for (unsigned position = 0; position < config.triggers.size(); ++position) {
    if (position) thresholds += " / ";
    thresholds += std::to_string(static_cast<int>(
        cds.getChannelAlarmTriggerThreshold(channel, static_cast<cdsapi::TriggerId>(position))));
  }
  for (const zu::CAlarmTrigger& t : config.triggers) codes += (codes.empty() ? "" : " ") + t.code;
  out.say("  %-26s alarms %s, %zu triggers (codes %s), thresholds low to high %s, hysteresis %.1f, delay %u s, "
          "first trigger %s\n",
          site.channel_names.at(channel).c_str(), cds.getChannelAlarmEnabled(channel) ? "on" : "off",
          config.triggers.size(), codes.c_str(), thresholds.c_str(),
          static_cast<double>(cds.getChannelAlarmHysteresis(channel)), cds.getChannelAlarmDelay(channel),
          level_word(cds.getChannelAlarmLevel(channel)));
}

}  // namespace

void configure_alarms(cdsapi::InBandAccessor& cds, const Installation& site, Console& out) {
  for (unsigned long long channel : {site.inlet_temperature, site.outlet_temperature})
    configure_climate(cds, channel, true);
  for (unsigned long long channel : {site.inlet_humidity, site.outlet_humidity})
    configure_climate(cds, channel, false);

  // The door: raised while the contact equals its boolean threshold.
  cds.setChannelAlarmEnabled(site.door_contact, false);
  zu::cds::CSingleAlarmConfig door;
  door.triggers = {trigger(Equal, zu::CValue(false), cdsapi::LevelInfo, 5, "1221")};
  cds.setChannelAlarmConfig(site.door_contact, door);
  cds.setChannelAlarmTriggerThreshold(site.door_contact, true);
  cds.setChannelAlarmLevel(site.door_contact, cdsapi::LevelWarning);
  cds.setChannelAlarmEnabled(site.door_contact, true);

  for (unsigned long long channel : {site.inlet_temperature, site.outlet_temperature, site.inlet_humidity,
                                     site.outlet_humidity})
    print_configuration(cds, site, channel, out);
  out.say("  %-26s alarms %s, raises 1221 while the contact is %s, level %s\n",
          site.channel_names.at(site.door_contact).c_str(),
          cds.getChannelAlarmEnabled(site.door_contact) ? "on" : "off",
          cds.getChannelAlarmTriggerThreshold(site.door_contact) ? "true" : "false",
          level_word(cds.getChannelAlarmLevel(site.door_contact)));
}

bool sweep(cdsapi::InBandAccessor& cds, cdsapi::DataAlarms& alarms, const Installation& site, Console& out) {
  struct Step {
    unsigned long long channel;  // 0: a device change instead of a write
    zu::CValue value;
    const char* why;
  };
  const Step steps[] = {
      {site.inlet_temperature, zu::CValue(37.0), "high"},
      {site.inlet_temperature, zu::CValue(42.0), "critically high, high stays"},
      {site.inlet_temperature, zu::CValue(30.0), "both end"},
      {site.inlet_temperature, zu::CValue(8.0), "low"},
      {site.inlet_temperature, zu::CValue(3.0), "critically low"},
      {site.inlet_temperature, zu::CValue(21.0), "both end"},
      {site.outlet_temperature, zu::CValue(41.0), "high and critically high in one write"},
      {site.inlet_humidity, zu::CValue(75.0), "high"},
      {site.inlet_humidity, zu::CValue(15.0), "high ends, low"},
      {site.outlet_humidity, zu::CValue(85.0), "high and critically high"},
      {site.outlet_humidity, zu::CValue(60.0), "both end"},
      {site.door_contact, zu::CValue(true), "door opens"},
      {0, zu::CValue(false), "outlet sensor stops communicating"},
      {site.door_contact, zu::CValue(false), "door closes"},
      {site.door_contact, zu::CValue(true), "door opens again"},
      {0, zu::CValue(true), "outlet sensor communicates again"},
  };

  // Callbacks expected so far. Every write changes its channel's value; the
  // alarm updates are what the installation's log grew by since the start.
  unsigned values = 0, devices = 0;
  cdsapi::DataAlarms::AlarmChangedContext log_size;
  alarms.hasChanged(site.pdu, true, false, log_size);
  const std::uint64_t before = log_size.last_count;
  for (const Step& step : steps) {
    if (step.channel) {
      out.say("  %-26s <- %-6s %s\n", site.channel_names.at(step.channel).c_str(), step.value.as_string().c_str(),
              step.why);
      cds.setChannelCValue(step.channel, step.value);
      ++values;
    } else {
      out.say("  %s\n", step.why);
      cds.setDeviceCommunicating(site.outlet, step.value.as_bool());
      ++devices;
    }
    alarms.hasChanged(site.pdu, true, false, log_size);  // zero when the count failed
    unsigned updates = log_size.last_count > before ? static_cast<unsigned>(log_size.last_count - before) : 0;
    // After one step's callbacks are missing, the next steps would only wait as long again.
    if (!out.expect(Console::Value, values) || !out.expect(Console::Device, devices) ||
        !out.expect(Console::Alarm, updates))
      return false;
  }
  return true;
}

namespace {

void print_update(const zu::CAlarmUpdate& update, const Installation& site, Console& out) {
  cdsapi::AlarmInfos info(update);
  auto name = site.channel_names.find(info.alarm_id);
  out.say("  #%-6llu %-8s %-26s %-34s value %-5s%s\n", static_cast<unsigned long long>(info.instance),
          info.getLevelString(), name == site.channel_names.end() ? "?" : name->second.c_str(),
          info.getDescriptionString().c_str(), info.value.is_valid() ? info.value.as_string().c_str() : "-",
          info.active ? "  (its alarm is active)" : "");
}

}  // namespace

void report(cdsapi::DataAlarms& alarms, const Installation& site, zu::CWallTime since, Console& out) {
  // The forms that hand out the response tell a failed query from an empty
  // answer (the others return an empty list either way).
  std::shared_ptr<zu::cds::CGetAlarms> active;
  alarms.getActive(site.pdu, true, 0, 0, cdsapi::LevelNone, active);
  if (!active || active->status != zu::cds::status_ok)
    throw std::runtime_error("the active alarms could not be read");
  out.say("\n== %zu active alarms under device %llu\n", active->alarms.size(), site.pdu);
  for (const zu::CAlarmUpdate& update : active->alarms) print_update(update, site, out);

  std::shared_ptr<zu::cds::CGetAlarms> log;
  alarms.getLog(site.pdu, true, 0, 0, log);
  if (!log || log->status != zu::cds::status_ok) throw std::runtime_error("the alarm log could not be read");
  out.say("\n== alarm log, newest first (%zu updates)\n", log->alarms.size());
  for (const zu::CAlarmUpdate& update : log->alarms) print_update(update, site, out);

  // The most critical alarm is asked per device: the query is not recursive.
  out.say("\n== most critical active alarm per sensor\n");
  for (unsigned long long sensor : {site.inlet, site.outlet, site.door}) {
    boost::optional<zu::CAlarmUpdate> worst = alarms.getMostCritical(sensor);
    if (!worst) {
      out.say("  device %llu: none\n", sensor);
      continue;
    }
    out.say("  device %llu: instance %s\n", sensor, alarms.getMostCriticalId(sensor).c_str());
    print_update(*worst, site, out);
  }

  out.say("\n== counters\n");
  out.say("  alarm updates in the whole data store (latest instance)   %llu\n",
          static_cast<unsigned long long>(alarms.getEndInstanceGlobal()));
  out.say("  latest update under device %llu                             %llu\n", site.pdu,
          static_cast<unsigned long long>(alarms.getEndInstance(site.pdu, true, false)));
  // A level is always applied by getNbInstance: count warning and critical apart.
  for (unsigned long long sensor : {site.inlet, site.outlet, site.door})
    out.say("  device %llu since %s: %u warning and %u critical updates; active now %u warning, %u critical\n",
            sensor, since.to_string().c_str(), alarms.getNbInstance(sensor, since, cdsapi::LevelWarning, false),
            alarms.getNbInstance(sensor, since, cdsapi::LevelCritical, false),
            alarms.getNbInstance(sensor, since, cdsapi::LevelWarning, true),
            alarms.getNbInstance(sensor, since, cdsapi::LevelCritical, true));
  cdsapi::DataAlarms::AlarmChangedContext seen;
  bool first = alarms.hasChanged(site.pdu, true, false, seen);
  bool second = alarms.hasChanged(site.pdu, true, false, seen);
  out.say("  hasChanged with a fresh context: %s; called again at once: %s\n", first ? "yes" : "no",
          second ? "yes" : "no");
  out.say("  level of the first trigger of %s: %s\n", site.channel_names.at(site.outlet_temperature).c_str(),
          level_word(alarms.getLevel(site.outlet_temperature)));
}

}  // namespace demo
