// CdsAccessor: listing, creating, emplacing and pruning sub-devices by UUID.
#include <algorithm>

#include "cdsapi/CdsAccessor.h"

namespace cdsapi {

void CdsAccessor::getSubDevicesInfo(unsigned long long parent_id, std::vector<DeviceInfo>& out, unsigned int depth) {
  out.clear();
  for (const zu::CDevice& device : getDevices(parent_id, depth)) {
    if (device.id == parent_id) continue;
    out.emplace_back(InBandAccessor::getDeviceUuid(device), device.id);
  }
}

void CdsAccessor::removeDevice(unsigned long long id) {
  inband.removeDevice(id);
  refreshDeviceIdsMap();
}

void CdsAccessor::removeDevices(const std::vector<unsigned long long>& ids) {
  inband.removeDevices(ids);
  refreshDeviceIdsMap();
}

void CdsAccessor::removeAllSubDevicesExcept(unsigned long long parent_id, const std::vector<unsigned long long>& keep,
                                            unsigned int depth) {
  std::vector<unsigned long long> gone;
  for (unsigned long long id : inband.getSubDevicesIds(parent_id, depth))
    if (std::find(keep.begin(), keep.end(), id) == keep.end()) gone.push_back(id);
  removeDevices(gone);  // also when empty: the map is rebuilt all the same
}

void CdsAccessor::removeAllSubDevicesExcept(unsigned long long parent_id, const std::vector<tova::common::Uuid>& keep,
                                            unsigned int depth) {
  for (unsigned long long id : inband.getSubDevicesIds(parent_id, depth)) {
    tova::common::Uuid uuid = getDeviceUuid(id);
    if (std::find(keep.begin(), keep.end(), uuid) == keep.end()) removeDevice(id);
  }
}

unsigned long long CdsAccessor::createDevice(const tova::common::Uuid& uuid, unsigned long long id,
                                             unsigned long long parent_id, bool use_given_id) {
  unsigned long long created = inband.createDevice(id, parent_id, use_given_id);
  inband.setDeviceUuid(created, uuid);
  refreshDeviceIdsMap();
  return created;
}

unsigned long long CdsAccessor::emplaceDevice(const tova::common::Uuid& uuid, unsigned long long parent_id,
                                              unsigned long long id) {
  if (id == 0) return getDeviceId(uuid);
  tova::common::Uuid current = getDeviceUuid(id);
  if (!current.isNil()) {
    if (current == uuid) return id;
    removeDevice(id);
  }
  return createDevice(uuid, id, parent_id, true);
}

}  // namespace cdsapi
