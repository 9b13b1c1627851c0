// Device operations of InBandAccessor.
#include <stdexcept>

#include "cdsapi/InBandAccessor.h"
#include "common/Response.h"
#include "zu/cds/CClient.h"
#include "zu/proto/zu.pb.h"

namespace cdsapi {

using detail::successful;
using detail::with_id;

InBandAccessor::InBandAccessor(dataClient& c, bool connect_flag) : client(c) { client.connect(connect_flag); }

unsigned long long InBandAccessor::createDevice(unsigned long long id, unsigned long long parent_id,
                                                bool use_given_id) {
  zu::CDevice device;
  device.parent_id = parent_id;
  device.communicating = false;
  if (use_given_id) device.set_id(id);
  zu::cds::CCreateDevice request;
  request.devices.push_back(device);
  request.use_given_ids = use_given_id;
  auto response = successful<zu::cds::CCreateDevice>(client.client->submit_wait(request));
  if (!response) throw std::runtime_error(with_id("Can't create device ", id));
  if (response->devices.empty()) throw std::runtime_error(with_id("Can't create device ", id));
  return response->devices.front().id;
}

std::vector<zu::CDevice> InBandAccessor::getDevices(const std::vector<unsigned long long>& ids, unsigned int depth) {
  zu::cds::CGetDevice request;
  request.ids.assign(ids.begin(), ids.end());
  request.depth = depth;
  auto response = successful<zu::cds::CGetDevice>(client.client->submit_wait(request));
  if (!response) throw std::invalid_argument("Unable to get devices");
  return response->devices;
}

std::vector<zu::CDevice> InBandAccessor::getDevices(unsigned long long parent_id, unsigned int depth) {
  return getDevices(std::vector<unsigned long long>{parent_id}, depth);
}

zu::CDevice InBandAccessor::getDevice(unsigned long long id) {
  std::vector<zu::CDevice> devices = getDevices(id, 0);
  if (devices.empty()) throw std::invalid_argument(with_id("Unable to get device ", id));
  return std::move(devices.front());
}

std::vector<unsigned long long> InBandAccessor::getSubDevicesIds(unsigned long long parent_id, unsigned int depth) {
  zu::cds::CGetDevice request;
  request.ids = {parent_id};
  request.depth = depth;
  auto response = successful<zu::cds::CGetDevice>(zu::cds::CClient::get()->submit_wait(request));
  if (!response || response->devices.empty()) return {};
  const auto& subs = response->devices.front().sub_devices;
  return std::vector<unsigned long long>(subs.begin(), subs.end());
}

int InBandAccessor::getDeviceIndex(unsigned long long id, unsigned int level) {
  unsigned long long current = id;
  unsigned int remaining = level;
  unsigned long long parent;
  for (;;) {
    parent = getDevice(current).parent_id.value();  // an absent parent throws bad_optional_access
    if (remaining == 0) break;
    current = parent;
    --remaining;
    if (parent == zu::kNoId) return -1;
  }
  if (parent == zu::kNoId) return -1;
  std::vector<unsigned long long> siblings = getSubDevicesIds(parent, 0);
  int index = 0;
  for (unsigned long long sibling : siblings) {
    if (sibling == current) break;
    ++index;
  }
  return index;
}

unsigned long long InBandAccessor::getDeviceId(unsigned long long parent_id, const std::string& name) {
  for (const zu::CDevice& device : getDevices(parent_id, 1)) {
    if (*device.attribute(CanonicalModelName) == name) return device.id;
  }
  return zu::kNoId;
}

void InBandAccessor::removeDevices(const std::vector<unsigned long long>& ids) {
  zu::cds::CDeleteDevice request;
  request.ids.assign(ids.begin(), ids.end());
  client.client->submit_wait(request);
}

void InBandAccessor::removeDevice(unsigned long long id) { removeDevices(std::vector<unsigned long long>{id}); }

tova::common::Uuid InBandAccessor::getDeviceUuid(const zu::CDevice& device) {
  try {
    return tova::common::Uuid(device.guid);
  } catch (const std::invalid_argument&) {
    return tova::common::Uuid::NIL;
  }
}

tova::common::Uuid InBandAccessor::getDeviceUuid(unsigned long long id) {
  try {
    return tova::common::Uuid(getDeviceAttribute(id, Uuid));
  } catch (const std::invalid_argument&) {
    return tova::common::Uuid::NIL;
  }
}

void InBandAccessor::setDeviceUuid(unsigned long long id, const tova::common::Uuid& uuid) {
  setDeviceAttribute(id, Uuid, uuid.to_hex());
}

void InBandAccessor::setDeviceCommunicating(unsigned long long id, bool communicating) {
  zu::cds::CSetSingleDeviceState entry;
  entry.id = id;
  entry.state = zu::CBitset<zu::realtime_state>(zu::realtime_state::communicating);
  entry.op = communicating ? zu::cds::state_op::raise : zu::cds::state_op::lower;
  zu::cds::CSetDeviceState request;
  request.states.push_back(entry);
  client.client->submit_wait(request);
}

std::string InBandAccessor::attributeToString(DeviceAttribute attribute) {
  const char* key = zu::device_attribute_key(static_cast<unsigned>(attribute));
  if (attribute < Family || !key) throw std::invalid_argument("Invalid attribute " + std::to_string(static_cast<int>(attribute)));
  return key;
}

std::string InBandAccessor::getDeviceAttribute(const zu::CDevice& device, DeviceAttribute attribute) {
  if (attribute == Uuid) return device.guid;
  const std::string* text = device.attribute(static_cast<unsigned>(attribute));
  return text ? *text : std::string();
}

std::string InBandAccessor::getDeviceAttribute(unsigned long long id, DeviceAttribute attribute) {
  return getDeviceAttribute(getDevice(id), attribute);
}

void InBandAccessor::setDeviceAttribute(unsigned long long id, DeviceAttribute attribute, const std::string& value) {
  if (attribute == Uuid) {
    // The UUID is part of the device record: read it, change it, write it whole.
    auto* process_client = zu::cds::CClient::get();
    zu::cds::CGetDevice read;
    read.ids = {id};
    read.depth = 0;
    auto current = successful<zu::cds::CGetDevice>(process_client->submit_wait(read));
    if (!current || current->devices.size() != 1)
      throw std::invalid_argument("Couldn't update attribute 0 for deviceId " + std::to_string(id));
    zu::proto::Device message;
    current->devices.front().to(message, true, true);
    message.mutable_guid()->set_value(value);
    zu::cds::CUpdateDevice update;
    update.devices.emplace_back(message);
    if (!successful<zu::cds::CUpdateDevice>(process_client->submit_wait(update)))
      throw std::invalid_argument("Invalid attribute 0");
    return;
  }
  zu::cds::CSingleField field;
  field.field_kind = 1;
  field.name = attributeToString(attribute);
  field.value = zu::CValue(value);
  field.value_kind = 2;
  field.id = id;
  if (id == 0) throw std::invalid_argument("Couldn't set attribute " + std::to_string(static_cast<int>(attribute)));
  zu::cds::CSetFieldValue request;
  request.fields.insert(field);
  client.client->submit_wait(request);
}

#define CDSAPI_ATTRIBUTE_WRAPPERS(Suffix, Attribute)                                             \
  std::string InBandAccessor::getDevice##Suffix(unsigned long long id) {                          \
    return getDeviceAttribute(id, Attribute);                                                     \
  }                                                                                               \
  void InBandAccessor::setDevice##Suffix(unsigned long long id, const std::string& value) {       \
    setDeviceAttribute(id, Attribute, value);                                                     \
  }

CDSAPI_ATTRIBUTE_WRAPPERS(Vendor, Vendor)
CDSAPI_ATTRIBUTE_WRAPPERS(Model, Model)
CDSAPI_ATTRIBUTE_WRAPPERS(Product, ModelSeries)
CDSAPI_ATTRIBUTE_WRAPPERS(PartNumber, CanonicalModelName)
CDSAPI_ATTRIBUTE_WRAPPERS(PhysicalName, AssetId)
CDSAPI_ATTRIBUTE_WRAPPERS(SerialNumber, Serial)
CDSAPI_ATTRIBUTE_WRAPPERS(SwVersion, SoftwareVersion)
CDSAPI_ATTRIBUTE_WRAPPERS(HwVersion, HardwareVersion)
CDSAPI_ATTRIBUTE_WRAPPERS(FriendlyName, Name)
CDSAPI_ATTRIBUTE_WRAPPERS(Interface, NetworkAddress)
CDSAPI_ATTRIBUTE_WRAPPERS(Location, Location)
CDSAPI_ATTRIBUTE_WRAPPERS(Contact, Contact)
CDSAPI_ATTRIBUTE_WRAPPERS(Type, Family)

#undef CDSAPI_ATTRIBUTE_WRAPPERS

}  // namespace cdsapi
