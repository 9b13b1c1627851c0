#include "cdsapi/IdentificationCdsDb.h"

#include "cdsapi/CdsAccessor.h"

namespace tova {

using cdsapi::InBandAccessor;

IdentificationCdsDb::IdentificationCdsDb(cdsapi::CdsAccessor& accessor, unsigned long long deviceId,
                                         Listener* listener)
    : common::IdentificationDb(accessor.inbandAccessor().getDeviceUuid(deviceId), listener),
      accessor(accessor),
      deviceId(deviceId) {
  loadFromCds();
}

IdentificationCdsDb::~IdentificationCdsDb() { terminate(); }

void IdentificationCdsDb::loadFromCds() {
  const zu::CDevice device = accessor.inbandAccessor().getDevice(deviceId);
  const auto attribute = [&device](cdsapi::DeviceAttribute which) {
    return InBandAccessor::getDeviceAttribute(device, which);
  };
  identification.uuid = attribute(cdsapi::Uuid);
  identification.vendor = attribute(cdsapi::Vendor);
  identification.partNumber = attribute(cdsapi::CanonicalModelName);
  identification.serialNumber = attribute(cdsapi::Serial);
  identification.physicalName = attribute(cdsapi::AssetId);
  identification.friendlyName = attribute(cdsapi::Name);
  identification.interface = attribute(cdsapi::NetworkAddress);
  identification.swVersion = attribute(cdsapi::SoftwareVersion);
  identification.location = attribute(cdsapi::Location);
  identification.contact = attribute(cdsapi::Contact);
  if (Listener* told = listener()) told->onIdentificationChanged(*this, identification);
}

void IdentificationCdsDb::load(conv::Identification& out) const { out = identification; }

void IdentificationCdsDb::store(const conv::Identification& given) {
  identification = given;
  // The UUID is the device's own, never the caller's.
  identification.uuid = uuid().to_string();
  const struct {
    cdsapi::DeviceAttribute attribute;
    const std::string& value;
  } writes[] = {
      {cdsapi::Vendor, identification.vendor},
      {cdsapi::CanonicalModelName, identification.partNumber},
      {cdsapi::Serial, identification.serialNumber},
      {cdsapi::Name, identification.friendlyName},
      {cdsapi::AssetId, identification.physicalName},
      {cdsapi::NetworkAddress, identification.interface},
      {cdsapi::SoftwareVersion, identification.swVersion},
      {cdsapi::Location, identification.location},
      {cdsapi::Contact, identification.contact},
  };
  for (const auto& write : writes) {
    accessor.inbandAccessor().setDeviceAttribute(deviceId, write.attribute, write.value);
  }
}

common::Uuid IdentificationCdsDb::getManagerUuid() { return accessor.getManagerUuid(); }

common::Uuid IdentificationCdsDb::getPowerDistributionUuid() { return accessor.getPowerDistributionUuid(); }

void IdentificationCdsDb::terminate() {}

}  // namespace tova
