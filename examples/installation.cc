#include "installation.h"

#include <climits>
#include <utility>
#include <vector>

#include "zu/CWallTime.h"

namespace demo {

namespace {

struct Sensor {
  const char* name;
  const char* model;
  const char* serial;
  const char* location;
};

unsigned long long add_channel(cdsapi::InBandAccessor& cds, Installation& site, unsigned long long device,
                               const char* device_name, const char* name, const char* description,
                               const char* units, const zu::CValue& value) {
  unsigned long long id = cds.createChannel(device, name, false);
  cds.setChannelDescription(id, description);
  cds.setChannelUnits(id, units);
  cds.setChannelCValue(id, value);
  site.channel_names[id] = std::string(device_name) + "/" + name;
  return id;
}

// A data store keeps what earlier runs built (cdsd lives longer than the
// demo), and device 20 is created with its fixed id, which must be free. The
// demo starts from scratch each time rather than reusing the old devices, so
// that every run shows the same alarms and callbacks: it ends the old
// installation's alarms and drops them from the log, then removes the device
// with its sub-devices and channels.
void remove_previous(cdsapi::InBandAccessor& cds, cdsapi::DataAlarms& alarms, Console& out) {
  std::vector<zu::CDevice> old = cds.getDevices(kPowerDistribution, INT_MAX);
  if (old.empty()) return;
  for (const zu::CDevice& device : old) alarms.clear(device.id, zu::CWallTime::now(), 0, 1);
  cds.removeDevice(kPowerDistribution);
  out.say("== removed the installation of an earlier run (device %llu and %zu below it)\n", kPowerDistribution,
          old.size() - 1);
}

}  // namespace

Installation build(cdsapi::CdsAccessor& facade, Console& out) {
  cdsapi::InBandAccessor& cds = facade.inbandAccessor();
  remove_previous(cds, facade.alarmsAccessor(), out);

  Installation site;
  site.pdu = cds.createDevice(kPowerDistribution, kManager, true);
  cds.setDeviceUuid(site.pdu, tova::common::Uuid::generate());
  cds.setDeviceFriendlyName(site.pdu, "rack A power distribution");
  cds.setDeviceVendor(site.pdu, "Tova");
  cds.setDevicePartNumber(site.pdu, "PDU-2400");
  cds.setDeviceCommunicating(site.pdu, true);
  const char* pdu_name = "rack A power distribution";
  add_channel(cds, site, site.pdu, pdu_name, "voltage", "Input voltage", "V", zu::CValue(230.4));
  add_channel(cds, site, site.pdu, pdu_name, "current", "Input current", "A", zu::CValue(12.75F));
  add_channel(cds, site, site.pdu, pdu_name, "outlets", "Outlets switched on", "", zu::CValue(24U));

  const Sensor sensors[] = {
      {"inlet sensor", "THS-10", "SN-1001", "rack A, front"},
      {"outlet sensor", "THS-10", "SN-1002", "rack A, rear"},
      {"door contact", "DC-2", "SN-2001", "rack A, door"},
  };
  tova::common::Uuid* uuids[] = {&site.inlet_uuid, &site.outlet_uuid, &site.door_uuid};
  for (int i = 0; i < 3; ++i) {
    const Sensor& s = sensors[i];
    *uuids[i] = tova::common::Uuid::generate();
    unsigned long long id = facade.createDevice(*uuids[i], 0, site.pdu, false);
    cds.setDeviceFriendlyName(id, s.name);
    cds.setDeviceModel(id, s.model);
    cds.setDevicePartNumber(id, s.model);
    cds.setDeviceSerialNumber(id, s.serial);
    cds.setDeviceLocation(id, s.location);
    cds.setDeviceCommunicating(id, true);
  }
  // From here on the application knows its sensors by UUID only.
  site.inlet = facade.getDeviceId(site.inlet_uuid);
  site.outlet = facade.getDeviceId(site.outlet_uuid);
  site.door = facade.getDeviceId(site.door_uuid);
  site.inlet_temperature = add_channel(cds, site, site.inlet, "inlet sensor", "temperature",
                                       "Inlet air temperature", "degC", zu::CValue(22.5));
  site.inlet_humidity = add_channel(cds, site, site.inlet, "inlet sensor", "humidity", "Inlet relative humidity",
                                    "%", zu::CValue(41.0));
  site.outlet_temperature = add_channel(cds, site, site.outlet, "outlet sensor", "temperature",
                                        "Outlet air temperature", "degC", zu::CValue(31.0));
  site.outlet_humidity = add_channel(cds, site, site.outlet, "outlet sensor", "humidity",
                                     "Outlet relative humidity", "%", zu::CValue(35.0));
  site.door_contact =
      add_channel(cds, site, site.door, "door contact", "contact", "Door open", "", zu::CValue(false));
  unsigned long long label = cds.createChannel(site.door, "label", false);
  cds.setChannelValue(label, std::string("front door"));
  return site;
}

namespace {

void print_device(cdsapi::InBandAccessor& cds, const zu::CDevice& device, int depth, Console& out) {
  std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  std::string line = indent + "[" + std::to_string(device.id) + "] ";
  std::string name = cds.getDeviceFriendlyName(device.id);
  line += name.empty() ? "(unnamed)" : name;
  std::string model = cds.getDevicePartNumber(device.id);
  if (!model.empty()) line += "  model " + model;
  std::string serial = cds.getDeviceSerialNumber(device.id);
  if (!serial.empty()) line += "  serial " + serial;
  tova::common::Uuid uuid = cdsapi::InBandAccessor::getDeviceUuid(device);
  if (!uuid.isNil()) line += "  uuid " + uuid.to_string();
  if (device.communicating) line += "  (communicating)";
  out.say("%s\n", line.c_str());
  for (unsigned long long channel_id : device.channels) {
    zu::CChannel channel = cds.getChannel(channel_id);
    zu::CValue value = cds.getChannelCValue(channel_id);
    const auto& settings = *channel.settings();
    out.say("%s    - %-12s = %-8s %-5s (%s, %s)\n", indent.c_str(), channel.name.c_str(),
            value.is_valid() ? value.as_string().c_str() : "unset", settings.units.c_str(),
            zu::type_name(settings.data_type), settings.description.c_str());
  }
}

}  // namespace

void print_tree(cdsapi::InBandAccessor& cds, unsigned long long root, Console& out) {
  // One request for the whole tree; depth comes from walking the parent links.
  std::vector<zu::CDevice> devices = cds.getDevices(root, INT_MAX);
  std::vector<std::pair<unsigned long long, int>> depth_of;
  for (const zu::CDevice& d : devices) {
    int depth = 0;
    for (const auto& [id, level] : depth_of)
      if (d.parent_id && *d.parent_id == id) depth = level + 1;
    depth_of.emplace_back(d.id, depth);
    print_device(cds, d, depth, out);
  }
}

}  // namespace demo
