#pragma once
// The facade an application creates first: the connection, the three
// accessors over it, and the map from device UUIDs to data store ids.
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "cdsapi/DataAlarms.h"
#include "cdsapi/InBandAccessor.h"
#include "cdsapi/OobAccessor.h"
#include "cdsapi/dataClient.h"
#include "tova/common/Uuid.h"
#include "zu/CDevice.h"

namespace cdsapi {

// One sub-device as getSubDevicesInfo lists it: the nil UUID when the device
// has none readable.
struct DeviceInfo {
  DeviceInfo(const tova::common::Uuid& device_uuid, unsigned long long device_id)
      : uuid(device_uuid), id(device_id) {}
  tova::common::Uuid uuid;
  unsigned long long id;
};

// What applications and the persistence adapters use of the facade.
class ICdsAccessor {
 public:
  virtual ~ICdsAccessor() = default;
  virtual dataClient& getDataClient() = 0;
  virtual InBandAccessor& inbandAccessor() = 0;
  virtual OobAccessor& oobAccessor() = 0;
  virtual DataAlarms& alarmsAccessor() = 0;
  virtual unsigned long long getDeviceId(const tova::common::Uuid& uuid) = 0;
  virtual tova::common::Uuid getDeviceUuid(unsigned long long id) = 0;
  virtual std::vector<zu::CDevice> getDevices(unsigned long long id, unsigned int depth) = 0;
  virtual void getSubDevicesInfo(unsigned long long parent_id, std::vector<DeviceInfo>& out, unsigned int depth) = 0;
  virtual void removeDevice(unsigned long long id) = 0;
  virtual void removeDevices(const std::vector<unsigned long long>& ids) = 0;
  virtual void removeAllSubDevicesExcept(unsigned long long parent_id, const std::vector<unsigned long long>& keep,
                                         unsigned int depth) = 0;
  virtual void removeAllSubDevicesExcept(unsigned long long parent_id, const std::vector<tova::common::Uuid>& keep,
                                         unsigned int depth) = 0;
  virtual unsigned long long createDevice(const tova::common::Uuid& uuid, unsigned long long id,
                                          unsigned long long parent_id, bool use_given_id) = 0;
  virtual unsigned long long emplaceDevice(const tova::common::Uuid& uuid, unsigned long long parent_id,
                                           unsigned long long id) = 0;
  virtual tova::common::Uuid getPowerDistributionUuid() = 0;
  virtual tova::common::Uuid getManagerUuid() = 0;
  virtual void invalidateCache() = 0;
  virtual bool isConnected() const = 0;
};

// Owns the connection (named by the constructor's client name) and the
// accessors, and maps device UUIDs to ids for the devices under the manager
// device (id 1). The map is built when the connect succeeds and rebuilt
// after every change the facade makes to the device tree; it is never
// refreshed by itself, so devices others create appear after
// invalidateCache(). A facade whose connect failed is still usable: its map
// is empty and its requests go to the store (and fail) as usual.
//
// Operations that the sub-device operations call go through virtual
// dispatch: a derived class may override them.
//
// Thread safety: requests run on the caller's thread. A map rebuild holds the
// facade's recursive mutex for its whole run, the request included; the map
// readers (getDeviceId, dumpDevices) take the same mutex, so they may run
// beside a rebuild on another thread and see the map before or after it,
// never half built.
class CdsAccessor : public ICdsAccessor {
 public:
  // Connects with `connect_flag` (reconnect by itself later when true); a
  // failed connect leaves an unconnected facade. Throws std::invalid_argument
  // "Couldn't get deviceIds" when connected but the device list cannot be read.
  CdsAccessor(std::string client_name, bool connect_flag);
  ~CdsAccessor() override;
  CdsAccessor(const CdsAccessor&) = delete;
  CdsAccessor& operator=(const CdsAccessor&) = delete;

  dataClient& getDataClient() override;
  InBandAccessor& inbandAccessor() override;
  OobAccessor& oobAccessor() override;
  DataAlarms& alarmsAccessor() override;

  // The id of the device carrying `uuid` at the last map rebuild; throws
  // std::out_of_range when none did.
  unsigned long long getDeviceId(const tova::common::Uuid& uuid) override;
  // Asks the store (not the map); the nil UUID when there is none readable.
  tova::common::Uuid getDeviceUuid(unsigned long long id) override;
  // The device and its descendants down to `depth` levels (2147483647: the
  // whole tree); throws std::invalid_argument "Couldn't get deviceIds".
  std::vector<zu::CDevice> getDevices(unsigned long long id, unsigned int depth) override;

  // ---- sub-devices by UUID; every change rebuilds the map ----
  // The devices below `parent_id` to `depth` levels, without the parent.
  void getSubDevicesInfo(unsigned long long parent_id, std::vector<DeviceInfo>& out, unsigned int depth) override;
  void removeDevice(unsigned long long id) override;
  void removeDevices(const std::vector<unsigned long long>& ids) override;
  // Removes the direct sub-devices of `parent_id` whose id (or UUID) is not
  // in `keep`. The id form sends one removal for all of them, even an empty
  // one; the UUID form one per device, and removes devices without a
  // readable UUID unless the nil UUID is kept.
  void removeAllSubDevicesExcept(unsigned long long parent_id, const std::vector<unsigned long long>& keep,
                                 unsigned int depth) override;
  void removeAllSubDevicesExcept(unsigned long long parent_id, const std::vector<tova::common::Uuid>& keep,
                                 unsigned int depth) override;
  // Creates a device under `parent_id` (with `id` when `use_given_id`) and
  // gives it `uuid`; throws std::runtime_error "Can't create device <id>".
  unsigned long long createDevice(const tova::common::Uuid& uuid, unsigned long long id, unsigned long long parent_id,
                                  bool use_given_id) override;
  // Makes the device at `id` carry `uuid`: keeps it when it already does,
  // replaces a device with another UUID, creates one at a free id. With id 0
  // only looks the UUID up (getDeviceId).
  unsigned long long emplaceDevice(const tova::common::Uuid& uuid, unsigned long long parent_id,
                                   unsigned long long id) override;

  tova::common::Uuid getPowerDistributionUuid() override;  // device 20
  tova::common::Uuid getManagerUuid() override;            // device 1
  void invalidateCache() override;                         // rebuilds the map
  bool isConnected() const override;

  // Rebuilds the map from the devices under the manager device; devices
  // without a readable UUID are left out, and of two with one UUID the later
  // in the store's list wins. On failure the map is left empty.
  void refreshDeviceIdsMap();
  // Writes the map to standard error, one "uuid = <uuid> id = <id>" line per
  // entry between ">>> dumpDevices" and "<<< dumpDevices".
  void dumpDevices();
  // The first device whose canonical model name is `name`; all ones when none.
  unsigned long long getDeviceByName(const std::string& name);
  // The devices whose whole canonical model name matches `pattern`.
  std::vector<unsigned long long> getDevicesWithNameMask(const std::regex& pattern);

 protected:
  std::map<std::string, unsigned long long> deviceIds;  // UUID text -> device id
  std::recursive_mutex mutex;                           // guards deviceIds
  dataClient connection;
  OobAccessor oob;
  InBandAccessor inband;
  DataAlarms alarms;
};

}  // namespace cdsapi
