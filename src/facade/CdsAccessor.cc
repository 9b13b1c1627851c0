// CdsAccessor: construction, accessors, the UUID map and look-ups by name.
#include "cdsapi/CdsAccessor.h"

#include <iostream>
#include <stdexcept>

#include "common/Response.h"
#include "zu/cds/CClient.h"

namespace cdsapi {

using detail::successful;

namespace {
constexpr unsigned long long kManagerDevice = 1;
constexpr unsigned long long kPowerDistributionDevice = 20;
constexpr unsigned int kWholeTree = 2147483647;

// A device's canonical model name as a C string would read it.
std::string canonical_name(const zu::CDevice& device) {
  return InBandAccessor::getDeviceAttribute(device, CanonicalModelName).c_str();
}
}  // namespace

CdsAccessor::CdsAccessor(std::string client_name, bool connect_flag)
    : connection(std::move(client_name)), oob(connection), inband(connection, connect_flag), alarms(connection) {
  if (connection.connected) refreshDeviceIdsMap();
}

CdsAccessor::~CdsAccessor() = default;

dataClient& CdsAccessor::getDataClient() { return connection; }
InBandAccessor& CdsAccessor::inbandAccessor() { return inband; }
OobAccessor& CdsAccessor::oobAccessor() { return oob; }
DataAlarms& CdsAccessor::alarmsAccessor() { return alarms; }
bool CdsAccessor::isConnected() const { return connection.connected; }

std::vector<zu::CDevice> CdsAccessor::getDevices(unsigned long long id, unsigned int depth) {
  zu::cds::CGetDevice request;
  request.ids = {id};
  request.depth = depth;
  auto response = successful<zu::cds::CGetDevice>(zu::cds::CClient::get()->submit_wait(request));
  if (!response) throw std::invalid_argument("Couldn't get deviceIds");
  return response->devices;
}

void CdsAccessor::refreshDeviceIdsMap() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  deviceIds.clear();
  for (const zu::CDevice& device : getDevices(kManagerDevice, kWholeTree)) {
    tova::common::Uuid uuid = InBandAccessor::getDeviceUuid(device);
    if (uuid.isNil()) continue;
    deviceIds[uuid.to_string()] = device.id;
  }
}

void CdsAccessor::invalidateCache() { refreshDeviceIdsMap(); }

unsigned long long CdsAccessor::getDeviceId(const tova::common::Uuid& uuid) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return deviceIds.at(uuid.to_string());
}

tova::common::Uuid CdsAccessor::getDeviceUuid(unsigned long long id) { return inband.getDeviceUuid(id); }

tova::common::Uuid CdsAccessor::getManagerUuid() { return getDeviceUuid(kManagerDevice); }

tova::common::Uuid CdsAccessor::getPowerDistributionUuid() { return getDeviceUuid(kPowerDistributionDevice); }

void CdsAccessor::dumpDevices() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  std::cerr << ">>> dumpDevices" << std::endl;
  for (const auto& [uuid, id] : deviceIds) std::cerr << "uuid = " << uuid << " id = " << id << std::endl;
  std::cerr << "<<< dumpDevices" << std::endl;
}

unsigned long long CdsAccessor::getDeviceByName(const std::string& name) {
  for (const zu::CDevice& device : getDevices(kManagerDevice, kWholeTree))
    if (canonical_name(device) == name) return device.id;
  return zu::kNoId;
}

std::vector<unsigned long long> CdsAccessor::getDevicesWithNameMask(const std::regex& pattern) {
  std::vector<unsigned long long> ids;
  for (const zu::CDevice& device : getDevices(kManagerDevice, kWholeTree))
    if (std::regex_match(canonical_name(device), pattern)) ids.push_back(device.id);
  return ids;
}

}  // namespace cdsapi
