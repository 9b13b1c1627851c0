// A tour of the library on a small installation: a power distribution device
// and sensors under the manager device, with channels, values, alarms and
// live subscriptions.
//
//   cds-demo                      uses a data store inside this process
//   cds-demo --endpoint unix:PATH uses the cdsd daemon listening on PATH
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "cdsapi/InBandAccessor.h"
#include "cdsapi/dataClient.h"
#include "tova/common/Uuid.h"
#include "zu/cds/CClient.h"

namespace {

constexpr unsigned long long kManager = 1;
constexpr unsigned long long kPowerDistribution = 20;

struct Sensor {
  const char* name;
  const char* model;
  const char* serial;
  const char* location;
};

struct Installation {
  unsigned long long pdu = 0;
  std::vector<unsigned long long> sensors;
};

unsigned long long add_channel(cdsapi::InBandAccessor& cds, unsigned long long device, const char* name,
                               const char* description, const char* units, const zu::CValue& value) {
  unsigned long long id = cds.createChannel(device, name, false);
  cds.setChannelDescription(id, description);
  cds.setChannelUnits(id, units);
  cds.setChannelCValue(id, value);
  return id;
}

Installation build(cdsapi::InBandAccessor& cds) {
  Installation site;
  site.pdu = cds.createDevice(kPowerDistribution, kManager, true);
  cds.setDeviceFriendlyName(site.pdu, "rack A power distribution");
  cds.setDeviceVendor(site.pdu, "Tova");
  cds.setDevicePartNumber(site.pdu, "PDU-2400");
  cds.setDeviceCommunicating(site.pdu, true);
  add_channel(cds, site.pdu, "voltage", "Input voltage", "V", zu::CValue(230.4));
  add_channel(cds, site.pdu, "current", "Input current", "A", zu::CValue(12.75F));
  add_channel(cds, site.pdu, "outlets", "Outlets switched on", "", zu::CValue(24U));

  const Sensor sensors[] = {
      {"inlet sensor", "THS-10", "SN-1001", "rack A, front"},
      {"outlet sensor", "THS-10", "SN-1002", "rack A, rear"},
      {"door contact", "DC-2", "SN-2001", "rack A, door"},
  };
  for (const Sensor& s : sensors) {
    unsigned long long id = cds.createDevice(0, site.pdu, false);
    cds.setDeviceUuid(id, tova::common::Uuid::generate());
    cds.setDeviceFriendlyName(id, s.name);
    cds.setDeviceModel(id, s.model);
    cds.setDevicePartNumber(id, s.model);
    cds.setDeviceSerialNumber(id, s.serial);
    cds.setDeviceLocation(id, s.location);
    cds.setDeviceCommunicating(id, true);
    site.sensors.push_back(id);
  }
  add_channel(cds, site.sensors[0], "temperature", "Inlet air temperature", "degC", zu::CValue(22.5));
  add_channel(cds, site.sensors[0], "humidity", "Inlet relative humidity", "%", zu::CValue(41.0));
  add_channel(cds, site.sensors[1], "temperature", "Outlet air temperature", "degC", zu::CValue(31.0));
  add_channel(cds, site.sensors[1], "humidity", "Outlet relative humidity", "%", zu::CValue(35.0));
  add_channel(cds, site.sensors[2], "contact", "Door open", "", zu::CValue(false));
  unsigned long long label = cds.createChannel(site.sensors[2], "label", false);
  cds.setChannelValue(label, std::string("front door"));
  return site;
}

void print_device(cdsapi::InBandAccessor& cds, const zu::CDevice& device, int depth) {
  std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  std::string name = cds.getDeviceFriendlyName(device.id);
  tova::common::Uuid uuid = cdsapi::InBandAccessor::getDeviceUuid(device);
  std::printf("%s[%llu] %s", indent.c_str(), static_cast<unsigned long long>(device.id),
              name.empty() ? "(unnamed)" : name.c_str());
  std::string model = cds.getDevicePartNumber(device.id);
  if (!model.empty()) std::printf("  model %s", model.c_str());
  std::string serial = cds.getDeviceSerialNumber(device.id);
  if (!serial.empty()) std::printf("  serial %s", serial.c_str());
  if (!uuid.isNil()) std::printf("  uuid %s", uuid.to_string().c_str());
  std::printf("%s\n", device.communicating ? "  (communicating)" : "");
  for (unsigned long long channel_id : device.channels) {
    zu::CChannel channel = cds.getChannel(channel_id);
    zu::CValue value = cds.getChannelCValue(channel_id);
    const auto& settings = *channel.settings();
    std::printf("%s    - %-12s = %-8s %-5s (%s, %s)\n", indent.c_str(), channel.name.c_str(),
                value.is_valid() ? value.as_string().c_str() : "unset", settings.units.c_str(),
                zu::type_name(settings.data_type), settings.description.c_str());
  }
}

void print_tree(cdsapi::InBandAccessor& cds, unsigned long long root) {
  // One request for the whole tree; depth comes from walking the parent links.
  std::vector<zu::CDevice> devices = cds.getDevices(root, 2147483647U);
  std::vector<std::pair<unsigned long long, int>> depth_of;
  for (const zu::CDevice& d : devices) {
    int depth = 0;
    for (const auto& [id, level] : depth_of)
      if (d.parent_id && *d.parent_id == id) depth = level + 1;
    depth_of.emplace_back(d.id, depth);
    print_device(cds, d, depth);
  }
}

int usage(const char* self, int code) {
  std::fprintf(code ? stderr : stdout, "usage: %s [--endpoint embedded|unix:PATH]\n", self);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  std::string endpoint = "embedded";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--endpoint") == 0 && i + 1 < argc) endpoint = argv[++i];
    else if (std::strcmp(argv[i], "--help") == 0) return usage(argv[0], 0);
    else return usage(argv[0], 2);
  }
  zu::cds::CClient::get()->set_endpoint(endpoint);

  cdsapi::dataClient client("cds-demo");
  cdsapi::InBandAccessor cds(client, true);
  if (!client.connected) return 1;
  std::printf("== connected to the data store at %s as \"%s\"\n", endpoint.c_str(), client.name.c_str());

  try {
    Installation site = build(cds);
    std::printf("\n== installation under the manager device\n");
    print_tree(cds, kManager);
    (void)site;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "demo: %s\n", e.what());
    return 1;
  }
  return 0;
}
