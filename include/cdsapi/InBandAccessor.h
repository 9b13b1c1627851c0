#pragma once
// Devices, channels and channel values of the data store.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cdsapi/dataClient.h"
#include "tova/common/Uuid.h"
#include "zu/CChannel.h"
#include "zu/CDevice.h"
#include "zu/CValue.h"
#include "zu/cds/Records.h"

namespace cdsapi {

// The identity attributes of a device; 0 is its UUID, 1..15 are texts kept
// under the key attributeToString gives.
enum DeviceAttribute : int {  // int: values outside 0..15 are valid to pass, and rejected by the operations
  Uuid = 0,
  Family = 1,
  ModelSeries = 2,
  ConfigFile = 3,
  ProfileFile = 4,
  Model = 5,
  Name = 6,
  CanonicalModelName = 7,
  NetworkAddress = 8,
  Serial = 9,
  Vendor = 10,
  AssetId = 11,
  Location = 12,
  Contact = 13,
  HardwareVersion = 14,
  SoftwareVersion = 15,
};

// ---- channel alarm configuration ----

// An alarm level as the library presents it. The values from 4 up are the
// library's; 0 to 3 are the data store's own encoding (see translateTriggerLevel),
// and 0 is also "no level" where a level filters a query.
enum LevelAlarm : unsigned int {
  LevelNone = 0,
  LevelStoreInfo = 0,
  LevelStoreGood = 1,
  LevelStoreWarning = 2,
  LevelStoreCritical = 3,
  LevelGood = 4,
  LevelInfo = 5,
  LevelWarning = 6,
  LevelCritical = 7,
};

// A trigger of a channel alarm by its position in ascending-threshold order:
// 0 is the trigger with the lowest threshold. Any position can be named by a
// cast; the enumerators name the first few.
enum TriggerId : unsigned int {
  FirstTrigger = 0,
  SecondTrigger = 1,
  ThirdTrigger = 2,
  FourthTrigger = 3,
};

// The LevelAlarm of a data store level: 0 info -> 5, 1 good -> 4,
// 2 warning -> 6, 3 critical -> 7. A level above 3 is returned unchanged.
unsigned int translateTriggerLevel(unsigned int level);

// The accessor of devices and channels. Every operation is one or a few
// blocking requests on the caller's thread; the accessor keeps no state but
// the reference to its dataClient, so it is as thread-safe as the client.
// Failures are std::invalid_argument or std::runtime_error with fixed texts;
// some queries report absence by a value instead (nil UUID, all-ones id, 255).
class InBandAccessor {
 public:
  // Keeps `client` and connects it with `connect_flag` (result not examined).
  InBandAccessor(dataClient& client, bool connect_flag);

  // ---- devices ----
  unsigned long long createDevice(unsigned long long id, unsigned long long parent_id, bool use_given_id);
  zu::CDevice getDevice(unsigned long long id);
  std::vector<zu::CDevice> getDevices(const std::vector<unsigned long long>& ids, unsigned int depth);
  std::vector<zu::CDevice> getDevices(unsigned long long parent_id, unsigned int depth);
  std::vector<unsigned long long> getSubDevicesIds(unsigned long long parent_id, unsigned int depth);
  int getDeviceIndex(unsigned long long id, unsigned int level);
  unsigned long long getDeviceId(unsigned long long parent_id, const std::string& name);
  void removeDevice(unsigned long long id);
  void removeDevices(const std::vector<unsigned long long>& ids);

  static tova::common::Uuid getDeviceUuid(const zu::CDevice& device);
  tova::common::Uuid getDeviceUuid(unsigned long long id);
  void setDeviceUuid(unsigned long long id, const tova::common::Uuid& uuid);
  void setDeviceCommunicating(unsigned long long id, bool communicating);

  static std::string attributeToString(DeviceAttribute attribute);
  static std::string getDeviceAttribute(const zu::CDevice& device, DeviceAttribute attribute);
  std::string getDeviceAttribute(unsigned long long id, DeviceAttribute attribute);
  void setDeviceAttribute(unsigned long long id, DeviceAttribute attribute, const std::string& value);

  std::string getDeviceVendor(unsigned long long id);
  std::string getDeviceModel(unsigned long long id);
  std::string getDeviceProduct(unsigned long long id);
  std::string getDevicePartNumber(unsigned long long id);
  std::string getDevicePhysicalName(unsigned long long id);
  std::string getDeviceSerialNumber(unsigned long long id);
  std::string getDeviceSwVersion(unsigned long long id);
  std::string getDeviceHwVersion(unsigned long long id);
  std::string getDeviceFriendlyName(unsigned long long id);
  std::string getDeviceInterface(unsigned long long id);
  std::string getDeviceLocation(unsigned long long id);
  std::string getDeviceContact(unsigned long long id);
  std::string getDeviceType(unsigned long long id);
  void setDeviceVendor(unsigned long long id, const std::string& value);
  void setDeviceModel(unsigned long long id, const std::string& value);
  void setDeviceProduct(unsigned long long id, const std::string& value);
  void setDevicePartNumber(unsigned long long id, const std::string& value);
  void setDevicePhysicalName(unsigned long long id, const std::string& value);
  void setDeviceSerialNumber(unsigned long long id, const std::string& value);
  void setDeviceSwVersion(unsigned long long id, const std::string& value);
  void setDeviceHwVersion(unsigned long long id, const std::string& value);
  void setDeviceFriendlyName(unsigned long long id, const std::string& value);
  void setDeviceInterface(unsigned long long id, const std::string& value);
  void setDeviceLocation(unsigned long long id, const std::string& value);
  void setDeviceContact(unsigned long long id, const std::string& value);
  void setDeviceType(unsigned long long id, const std::string& value);

  // ---- channels ----
  unsigned long long createChannel(unsigned long long device_id, std::string name, bool settings_flag,
                                   bool create_flag);
  unsigned long long createChannel(unsigned long long device_id, std::string name, bool settings_flag);
  unsigned long long emplaceChannel(unsigned long long device_id, const std::string& name, bool settings_flag,
                                    bool create_flag);
  unsigned long long emplaceChannel(unsigned long long device_id, const std::string& name, bool settings_flag);
  zu::CChannel getChannel(unsigned long long channel_id);
  zu::CChannel getChannel(unsigned long long device_id, const std::string& name);
  unsigned long long getChannelId(unsigned long long device_id, const std::string& name);
  unsigned long long getCatchedChannelId(unsigned long long device_id, const std::string& name);
  std::uint8_t getChannelTypeByName(unsigned long long device_id, const std::string& name);
  std::vector<unsigned long long> getDeviceChannelIds(unsigned long long device_id);
  void removeChannel(unsigned long long channel_id);
  void removeChannel(unsigned long long device_id, const std::string& name);
  void removeChannels(const std::vector<unsigned long long>& ids);
  void removeAllChannelsExcept(unsigned long long device_id, const std::vector<unsigned long long>& keep);
  bool setChannelDescription(unsigned long long channel_id, const std::string& description);
  bool setChannelUnits(unsigned long long channel_id, const std::string& units);
  bool setChannelMultistateMap(unsigned long long channel_id, const zu::CMultistateMap& map);

  // ---- channel values ----
  zu::CValue getChannelCValue(unsigned long long channel_id);
  std::vector<zu::CValue> getMultipleChannelValue(const std::vector<unsigned long long>& ids);
  bool isChannelValueInitialized(unsigned long long channel_id);
  std::uint8_t getChannelCDataType(unsigned long long channel_id);
  std::uint8_t getChannelDataType(unsigned long long channel_id);
  void setChannelCValue(unsigned long long channel_id, const zu::CValue& value);
  template <typename T>
  void setChannelValue(unsigned long long channel_id, const T& value);

  // ---- channel alarm configuration ----
  // A channel's alarm configuration is its list of triggers. Every setter but
  // setChannelAlarmConfig and setChannelAlarmEnabled reads the whole
  // configuration, changes it and writes it back without examining the
  // write's answer; two setters on one channel at once can lose a change.
  // A channel that cannot be read, a channel without triggers and a trigger
  // position past the last trigger throw std::invalid_argument
  // "Unknown channel Number <id>".
  zu::cds::CSingleAlarmConfig getChannelAlarmConfig(unsigned long long channel_id);
  // Writes `config` as the channel's configuration (its channel_id is ignored).
  unsigned long long setChannelAlarmConfig(unsigned long long channel_id, const zu::cds::CSingleAlarmConfig& config);
  // False also when the channel cannot be read.
  bool getChannelAlarmEnabled(unsigned long long channel_id);
  // Throws std::runtime_error "Can't set channel" when the store refuses.
  unsigned long long setChannelAlarmEnabled(unsigned long long channel_id, bool enabled);
  // The first trigger's level, translated (translateTriggerLevel).
  LevelAlarm getChannelAlarmLevel(unsigned long long channel_id);
  // Stores `level` as given into the first trigger.
  unsigned long long setChannelAlarmLevel(unsigned long long channel_id, LevelAlarm level);
  float getChannelAlarmHysteresis(unsigned long long channel_id);
  // Sets the hysteresis of every trigger.
  unsigned long long setChannelAlarmHysteresis(unsigned long long channel_id, float hysteresis);
  unsigned int getChannelAlarmDelay(unsigned long long channel_id);
  // Sets the delay of every trigger.
  unsigned long long setChannelAlarmDelay(unsigned long long channel_id, unsigned int delay);
  // The first trigger's threshold as a bool (for contacts).
  bool getChannelAlarmTriggerThreshold(unsigned long long channel_id);
  unsigned long long setChannelAlarmTriggerThreshold(unsigned long long channel_id, bool threshold);
  // The threshold of the trigger at position `trigger` in ascending-threshold order.
  float getChannelAlarmTriggerThreshold(unsigned long long channel_id, TriggerId trigger);
  // Writes the triggers back sorted by threshold, with the one at `trigger`
  // changed, even when the new threshold breaks that order.
  unsigned long long setChannelAlarmTriggerThreshold(unsigned long long channel_id, TriggerId trigger, float threshold);

  // ---- subscriptions ----
  // Callbacks run on the event thread "Event CDS", created by the first
  // subscription of the process. The id written to `id` is the key for
  // unsubscribe; it is written as soon as it is reserved, even when the store
  // then refuses the subscription.
  using ValueCallback = std::function<void(unsigned long long, zu::CValue)>;
  using DeviceCallback = std::function<void(unsigned long long)>;
  using AlarmUpdateCallback = std::function<void(const zu::CAlarmUpdate&)>;
  bool subscribeChannel(unsigned long long channel_id, ValueCallback callback, zu::sub::subscription_type type,
                        unsigned long long* id);
  bool subscribeMultipleChannels(const std::vector<unsigned long long>& channel_ids, ValueCallback callback,
                                 zu::sub::subscription_type type, unsigned long long* id);
  bool subscribeDevice(unsigned long long device_id, DeviceCallback callback, zu::sub::subscription_type type,
                       bool flag, unsigned long long* id);
  bool subscribeDeviceAlarms(unsigned long long device_id, AlarmUpdateCallback callback, unsigned long long* id);
  bool subscribeMultipleDeviceAlarms(std::vector<unsigned long long> device_ids, AlarmUpdateCallback callback,
                                     unsigned long long* id);
  bool unsubscribe(unsigned long long subscription_id);

  dataClient& client;
};

// Text values are written as the string alternative.
template <>
void InBandAccessor::setChannelValue<std::string>(unsigned long long channel_id, const std::string& value);

}  // namespace cdsapi
