#include "subscriptions.h"

#include <cstdio>
#include <exception>
#include <string>

#include "cdsapi/AlarmInfos.h"

namespace demo {

namespace {

std::string name_of(const Installation& site, unsigned long long channel) {
  auto found = site.channel_names.find(channel);
  return found == site.channel_names.end() ? "channel " + std::to_string(channel) : found->second;
}

std::string text_of(const zu::CValue& value) { return value.is_valid() ? value.as_string() : "(no value)"; }

}  // namespace

bool Subscriptions::subscribe() {
  const Installation& site = site_;
  Console& out = out_;
  cdsapi::InBandAccessor& cds = cds_;
  bool all = true;
  auto keep = [&](bool made, unsigned long long id, const char* what) {
    // A refused subscribe may still have reserved its id, which then needs releasing.
    if (id != zu::kNoId) ids_.push_back(id);
    out.say("  subscribe %-48s %s (subscription %llu)\n", what, made ? "ok" : "REFUSED", id);
    all = all && made;
  };

  unsigned long long id = zu::kNoId;
  bool made = cds.subscribeMultipleChannels(
      {site.inlet_temperature, site.inlet_humidity, site.outlet_temperature, site.outlet_humidity,
       site.door_contact},
      [&out, &site](unsigned long long channel, zu::CValue value) {
        out.callback(Console::Value, "%s = %s\n", name_of(site, channel).c_str(), text_of(value).c_str());
      },
      zu::sub::channel_value_changed, &id);
  keep(made, id, "to the values of the five sensor channels");

  id = zu::kNoId;
  // Flag true: the sub-devices' changes too. The callback gets only the id;
  // it reads the device back, which a callback may do on the event thread.
  made = cds.subscribeDevice(
      site.pdu,
      [&out, &cds](unsigned long long device) {
        std::string state;
        try {
          zu::CDevice record = cds.getDevice(device);
          state = cds.getDeviceFriendlyName(device) + (record.communicating ? ", communicating" : ", not communicating");
        } catch (const std::exception& e) {
          state = std::string("unreadable: ") + e.what();
        }
        out.callback(Console::Device, "%llu changed (%s)\n", device, state.c_str());
      },
      zu::sub::device_record, true, &id);
  keep(made, id, "to changes of device 20 and its sub-devices");

  id = zu::kNoId;
  // Alarm updates of the sensors too: this subscription covers sub-devices.
  made = alarms_.subscribeDeviceAlarms(
      site.pdu,
      [&out, &site](const zu::CAlarmUpdate& update) {
        cdsapi::AlarmInfos info(update);
        out.callback(Console::Alarm, "%-8s %-26s %s (value %s)\n", info.getLevelString(),
                     name_of(site, info.alarm_id).c_str(), info.getDescriptionString().c_str(),
                     text_of(info.value).c_str());
      },
      &id);
  keep(made, id, "to the alarms of device 20 and its sub-devices");
  return all;
}

Subscriptions::~Subscriptions() {
  for (unsigned long long id : ids_) {
    try {
      if (!cds_.unsubscribe(id)) std::fprintf(stderr, "demo: subscription %llu was not released\n", id);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "demo: subscription %llu was not released: %s\n", id, e.what());
    }
  }
}

bool Subscriptions::unsubscribe() {
  bool all = true;
  for (unsigned long long id : ids_) {
    bool released = cds_.unsubscribe(id);
    out_.say("  unsubscribe %llu: %s\n", id, released ? "ok" : "REFUSED");
    all = all && released;
  }
  ids_.clear();
  return all;
}

}  // namespace demo
