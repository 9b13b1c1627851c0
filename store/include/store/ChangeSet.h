#pragma once
// What one write request changed in the store. The engine produces one per
// request that changed anything; the notification and alarm layers turn it
// into notifications and trigger evaluations.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "zu/CAlarm.h"
#include "zu/CValue.h"

namespace cds {
namespace store {

struct ChangeSet {
  // A named field of a device: (device id, scope, name); the scope is empty for
  // the device's own extra fields.
  using FieldRef = std::tuple<std::uint64_t, std::string, std::string>;

  std::set<std::uint64_t> devices_created;
  std::map<std::uint64_t, std::uint64_t> devices_removed;  // removed device -> its former parent
  std::set<std::uint64_t> device_records_changed;          // attributes, UUID, communicating, state
  std::set<std::uint64_t> device_trees_changed;            // devices that gained or lost sub-devices
  std::set<std::uint64_t> device_channels_changed;         // devices that gained or lost channels
  std::set<FieldRef> device_fields_written;

  std::map<std::uint64_t, std::uint64_t> channels_created;  // channel -> its device
  std::map<std::uint64_t, std::uint64_t> channels_removed;  // channel -> its former device
  std::map<std::uint64_t, zu::CValue> values_written;       // every written channel, as stored
  std::set<std::uint64_t> values_changed;                   // written channels whose value differs
  std::set<std::uint64_t> channel_settings_changed;         // includes a data type fixed by a first write
  std::set<std::uint64_t> channel_states_changed;
  std::set<std::uint64_t> channel_alarm_configs_changed;  // triggers or the alarm-enabled state
  std::vector<zu::CAlarmUpdate> alarm_updates;              // raises and returns to normal, in order
  std::set<std::string> oob_paths_written;                  // documents written, by exact path
  std::set<std::uint64_t> alarm_instances_deleted;          // updates deleted from the log

  bool empty() const {
    return devices_created.empty() && devices_removed.empty() && device_records_changed.empty() &&
           device_trees_changed.empty() && device_channels_changed.empty() && device_fields_written.empty() &&
           channels_created.empty() && channels_removed.empty() && values_written.empty() &&
           values_changed.empty() && channel_settings_changed.empty() && channel_states_changed.empty() &&
           channel_alarm_configs_changed.empty() && alarm_updates.empty() && oob_paths_written.empty() &&
           alarm_instances_deleted.empty();
  }
};

}  // namespace store
}  // namespace cds
