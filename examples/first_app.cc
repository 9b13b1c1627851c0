// The smallest application: open the facade, make a device with a UUID, give
// it a channel with a value, and read it back. README quotes it.
#include <iostream>

#include "cdsapi/CdsAccessor.h"

int main() {
  cdsapi::CdsAccessor cds("first-app", true);  // connects, maps device UUIDs to ids
  if (!cds.isConnected()) return 1;
  tova::common::Uuid sensor = tova::common::Uuid::generate();
  unsigned long long device = cds.createDevice(sensor, 0, 1, false);  // under the manager device
  cdsapi::InBandAccessor& inband = cds.inbandAccessor();
  unsigned long long temperature = inband.createChannel(device, "temperature", false);
  inband.setChannelCValue(temperature, zu::CValue(21.5));
  std::cout << "device " << cds.getDeviceId(sensor) << " temperature "
            << inband.getChannelCValue(temperature).as_string() << "\n";
  cds.removeDevice(device);
}
