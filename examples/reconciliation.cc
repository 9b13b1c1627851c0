#include "reconciliation.h"

#include <vector>

namespace demo {

namespace {
// Ids below 1024 are the application's to give: the leak sensor has its slot.
constexpr unsigned long long kLeakSensorSlot = 24;
}  // namespace

void reconcile(cdsapi::CdsAccessor& facade, Installation& site, Console& out) {
  out.say("  before:\n");
  print_tree(facade.inbandAccessor(), site.pdu, out);

  const tova::common::Uuid leak = tova::common::Uuid::generate();
  const std::vector<tova::common::Uuid> seen = {site.inlet_uuid, site.outlet_uuid, leak};
  out.say("  the application sees: inlet %s, outlet %s, leak %s (new); the door contact %s is gone\n",
          site.inlet_uuid.to_string().c_str(), site.outlet_uuid.to_string().c_str(), leak.to_string().c_str(),
          site.door_uuid.to_string().c_str());

  facade.removeAllSubDevicesExcept(site.pdu, seen, 0);
  // An emplace of a device that is already in place changes nothing.
  unsigned long long inlet = facade.emplaceDevice(site.inlet_uuid, site.pdu, site.inlet);
  unsigned long long leak_id = facade.emplaceDevice(leak, site.pdu, kLeakSensorSlot);
  facade.inbandAccessor().setDeviceFriendlyName(leak_id, "leak sensor");
  facade.inbandAccessor().setDeviceLocation(leak_id, "rack A, floor");
  out.say("  removeAllSubDevicesExcept(%llu, 3 UUIDs); emplaceDevice(inlet) -> %llu (unchanged), "
          "emplaceDevice(leak, slot %llu) -> %llu\n",
          site.pdu, inlet, kLeakSensorSlot, leak_id);

  std::vector<cdsapi::DeviceInfo> now;
  facade.getSubDevicesInfo(site.pdu, now, 1);
  out.say("  sub-devices by UUID now:\n");
  for (const cdsapi::DeviceInfo& d : now) out.say("    %s -> %llu\n", d.uuid.to_string().c_str(), d.id);
  out.say("  after:\n");
  print_tree(facade.inbandAccessor(), site.pdu, out);
  site.door = 0;
}

}  // namespace demo
