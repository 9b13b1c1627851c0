#pragma once
// The older device interface: devices addressed by 16-bit numbers, bool
// results and the identity texts of the device last read kept in members.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cdsapi/dataClient.h"

namespace cdsapi {

class AlarmInfos;
class dataHandler;

// One device through the older interface.
//
// Device number n is the data store device with id n. Ids coming back are
// cut to their low 16 bits (deviceNumber after get, the ids of
// getChannelIds). deviceNumber is 0 until the first create or successful get.
// The device's name lands in the inherited `name` member; it is not used as
// a client name here, since this class never connects.
//
// Requests go through the process-wide data store client, which a
// CdsAccessor or the application must have connected. No operation throws an
// exception of its own; failures of the submit calls themselves pass through.
// subscribe with an empty handler pointer sends nothing and returns false.
//
// Diagnostics go to standard output, one flushed line each:
//   "Device <n> created !"                       create accepted
//   "Device <n> not found !"                     get of an unknown device
//   "Error: Invalid request type!"               attribute access to device 0
//   "set field : <key> Succeed"                  set_attribute accepted
//   "Required device attributes Set Field <key> request failed!"
//   "Required device attributes Get Field request failed!"
//   "Get device request failed!"                 get_guid / set_guid read failed
//   "Device <n> does not have a Guid value!"     get_guid of a device without one
//   "set guid Succeed" / "Update device request failed!"
// create itself fails silently; remove reports nothing.
//
// GUID bytes are stored and returned as given (any length, any bytes); a
// device whose GUID was set to the empty string has none.
//
// Not thread-safe: callers sharing one object serialize their calls. Alarm
// callbacks run on the notification thread.
class dataDevice : public dataClient {
 public:
  explicit dataDevice(const std::string& client_name);

  // Creates device n under the manager device (id 1), with the given id.
  bool create(unsigned short n);
  // As above with five identity texts, which are copied into the members
  // whatever the outcome.
  bool create(unsigned short n, std::string name, std::string model, std::string partNumber,
              std::string serialNumber, std::string swVersion);
  // Deletes device n; the answer is not examined: always true.
  bool remove(unsigned short n);
  // Reads device n into the members; on failure nothing changes.
  bool get(unsigned short n);
  // Appends the ids of device n's channels, ascending by id, each cut to 16
  // bits; `out` is not cleared. True (and nothing appended) when the store
  // answered without a device.
  bool getChannelIds(unsigned short n, std::vector<unsigned short>& out);
  // Writes or reads one attribute of device n by key; the key is sent as
  // given. Device 0 is refused without sending anything.
  bool set_attribute(unsigned short n, std::string key, const std::string& value);
  bool get_attribute(unsigned short n, std::string key, std::string& out);
  // Reads or writes the device's GUID bytes.
  bool get_guid(unsigned short n, std::string& out);
  bool set_guid(unsigned short n, const std::string& guid);
  // Calls back with every alarm notice of the device (and of its
  // sub-devices) as an AlarmInfos; the second form uses the process-wide
  // handler, creating the notification thread on first use.
  bool subscribe(unsigned long long id, std::function<void(const AlarmInfos&)> callback,
                 std::shared_ptr<dataHandler> handler);
  bool subscribe(unsigned long long id, std::function<void(const AlarmInfos&)> callback);

  std::uint16_t deviceNumber = 0;
  std::string model;
  std::string contact;
  std::string location;
  std::string partNumber;
  std::string serialNumber;
  std::string swVersion;
};

}  // namespace cdsapi
