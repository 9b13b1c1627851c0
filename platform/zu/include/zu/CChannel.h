#pragma once
// The framework's channel records.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zu/CAlarm.h"
#include "zu/CBitset.h"
#include "zu/CValue.h"

namespace zu {

// Display texts of the states of a multistate channel, keyed by value.
using CMultistateMap = std::map<CValue, std::string>;

// Settings of a channel. The data store owns `id` and `data_type`; the rest is
// the application's to change.
struct CChannelSettings {
  static constexpr std::uint8_t kSettingsFlag = 4;  // bit of `flags` set by the creating call

  std::uint64_t id = ~0ULL;
  std::uint8_t data_type = type_none;  // fixed by the first value written
  std::uint8_t flags = 0;
  std::string text1;
  std::string text2;
  std::string description;
  std::string units;
  CMultistateMap multistate;

  friend bool operator==(const CChannelSettings& a, const CChannelSettings& b) {
    return a.id == b.id && a.data_type == b.data_type && a.flags == b.flags && a.text1 == b.text1 &&
           a.text2 == b.text2 && a.description == b.description && a.units == b.units &&
           a.multistate == b.multistate;
  }
};

// A channel: its settings (shared between copies), its name and device, its
// realtime state and its alarm triggers.
class CChannel {
 public:
  CChannel() : settings_(std::make_shared<CChannelSettings>()) {}

  std::uint64_t id() const { return settings_->id; }
  void set_ids(std::uint64_t channel_id, std::uint64_t owner_device_id) {
    settings_->id = channel_id;
    device_id = owner_device_id;
  }
  const std::shared_ptr<CChannelSettings>& settings() const { return settings_; }
  void set_settings(std::shared_ptr<CChannelSettings> s) { settings_ = std::move(s); }
  CBitset<realtime_state> get_state() const { return state; }

  std::uint64_t device_id = ~0ULL;
  std::string name;
  bool create_flag = false;  // as given when the channel was created
  CBitset<realtime_state> state;
  std::vector<CAlarmTrigger> triggers;

 private:
  std::shared_ptr<CChannelSettings> settings_;
};

}  // namespace zu
