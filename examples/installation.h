// The small installation the demo works on: a power distribution device with
// three sensors under the manager device.
#pragma once
#include <map>
#include <string>

#include "cdsapi/CdsAccessor.h"
#include "console.h"
#include "tova/common/Uuid.h"

namespace demo {

constexpr unsigned long long kManager = 1;
constexpr unsigned long long kPowerDistribution = 20;

struct Installation {
  unsigned long long pdu = 0;
  unsigned long long inlet = 0, outlet = 0, door = 0;  // the sensor devices
  // What the sensors report as their identity; the application finds their
  // data store ids through the facade's UUID map.
  tova::common::Uuid inlet_uuid, outlet_uuid, door_uuid;
  unsigned long long inlet_temperature = 0, inlet_humidity = 0;
  unsigned long long outlet_temperature = 0, outlet_humidity = 0;
  unsigned long long door_contact = 0;
  // "inlet sensor/temperature" by channel id, for the callback lines.
  std::map<unsigned long long, std::string> channel_names;
};

// Removes what an earlier run left (device 20 and everything under it, with
// the alarm log of those devices) and builds the installation afresh; the
// sensors are created by UUID through the facade.
Installation build(cdsapi::CdsAccessor& facade, Console& out);

// Every device under `root` with its attributes and channel values.
void print_tree(cdsapi::InBandAccessor& cds, unsigned long long root, Console& out);

}  // namespace demo
