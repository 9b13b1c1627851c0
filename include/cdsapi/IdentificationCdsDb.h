#pragma once
// A device's identification record kept as attributes of that device.
#include "tova/common/IdentificationDb.h"
#include "tova/common/Uuid.h"
#include "tova/conv/Identification.h"

namespace cdsapi {
class CdsAccessor;
}

namespace tova {

// The identification of one data store device, read once at construction and
// cached. The store's UUID is the device's as the data store reported it
// then (nil when it had none readable).
//
// Fields and attributes: uuid - the device's UUID characters (read only);
// vendor - vendor; partNumber - canonical_model_name; serialNumber - serial;
// friendlyName - name; physicalName - asset_id; interface - network_address;
// swVersion - software_version; location - location; contact - contact.
//
// The listener given to the constructor is told once, from inside the
// constructor; nothing else notifies it. Changes others make in the data
// store later are not seen. No lock: callers serialise use across threads.
// The accessor is not owned and must outlive the store.
class IdentificationCdsDb : public common::IdentificationDb {
 public:
  // Reads the device's UUID, then its record. Throws std::invalid_argument
  // "Unable to get device <id>" for a device the data store does not know;
  // no listener is called then.
  IdentificationCdsDb(cdsapi::CdsAccessor& accessor, unsigned long long deviceId, Listener* listener);
  ~IdentificationCdsDb() override;

  // The cached record; no data store traffic.
  void load(conv::Identification& out) const override;
  // Caches `identification` with the store's own UUID in place of its uuid
  // field, then writes the nine other fields to the device, one request
  // each, every one of them on every call (vendor, canonical_model_name,
  // serial, name, asset_id, network_address, software_version, location,
  // contact). A write the data store refuses is not reported; an exception
  // of a write leaves store() with the earlier writes done.
  void store(const conv::Identification& identification) override;
  common::Uuid getManagerUuid() override;            // the facade's
  common::Uuid getPowerDistributionUuid() override;  // the facade's

  void terminate();  // nothing to release early; kept for the interface

 private:
  void loadFromCds();

  cdsapi::CdsAccessor& accessor;
  conv::Identification identification;
  unsigned long long deviceId;
};

}  // namespace tova
