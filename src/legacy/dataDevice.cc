// The older device interface.
#include "cdsapi/dataDevice.h"

#include "cdsapi/AlarmInfos.h"
#include "cdsapi/InBandAccessor.h"
#include "cdsapi/dataHandler.h"
#include "common/Response.h"
#include "common/Text.h"
#include "legacy/Console.h"
#include "zu/cds/CClient.h"
#include "zu/proto/zu.pb.h"

namespace cdsapi {

using detail::console_line;
using detail::successful;

namespace {

constexpr unsigned long long kManagerDevice = 1;

// An attribute field of device n, as an attribute write builds it.
zu::cds::CSingleField attribute_field(unsigned short n, const std::string& key) {
  zu::cds::CSingleField field;
  field.field_kind = 1;
  field.name = key;
  field.value_kind = 2;
  field.id = n;
  return field;
}

// Device 0 would name no object at all: refused before anything is sent.
bool refused_device_zero(unsigned short n) {
  if (n != 0) return false;
  console_line("Error: Invalid request type!");
  return true;
}

// Sends the one field; the response when successful with exactly one field.
template <typename Request>
std::shared_ptr<Request> send_field(zu::cds::CClient& client, const zu::cds::CSingleField& field) {
  Request request;
  request.fields.insert(field);
  auto response = successful<Request>(client.submit_wait(request));
  return response && response->fields.size() == 1 ? response : nullptr;
}

std::string text_of(const zu::CDevice& device, DeviceAttribute attribute) {
  return *device.attribute(static_cast<unsigned>(attribute));
}

// The one device n, read on `client`; nullptr (after the message) when the
// store does not answer with exactly one.
std::shared_ptr<zu::cds::CGetDevice> read_device_for_guid(zu::cds::CClient& client, unsigned short n) {
  zu::cds::CGetDevice request;
  request.ids = {n};
  auto response = successful<zu::cds::CGetDevice>(client.submit_wait(request));
  if (!response || response->devices.size() != 1) {
    console_line("Get device request failed!");
    return nullptr;
  }
  return response;
}

// A device n under the manager device, with the id it was given.
zu::CDevice new_device(unsigned short n) {
  zu::CDevice device;
  device.parent_id = kManagerDevice;
  device.communicating = false;
  device.set_id(n);
  return device;
}

// Creates the device; the line is printed only when the store accepted it.
bool send_create(zu::cds::CClient& client, const zu::CDevice& device, unsigned short n) {
  zu::cds::CCreateDevice request;
  request.devices.push_back(device);
  request.use_given_ids = true;
  if (!successful<zu::cds::CCreateDevice>(client.submit_wait(request))) return false;
  console_line("Device " + std::to_string(n) + " created !");
  return true;
}

}  // namespace

dataDevice::dataDevice(const std::string& client_name) : dataClient(client_name) {}

bool dataDevice::create(unsigned short n) {
  deviceNumber = n;
  return send_create(*client, new_device(n), n);
}

bool dataDevice::create(unsigned short n, std::string name_text, std::string model_text, std::string part_number,
                        std::string serial_number, std::string sw_version) {
  deviceNumber = n;
  zu::CDevice device = new_device(n);
  *device.attribute(Name) = name_text;
  *device.attribute(Model) = model_text;
  *device.attribute(CanonicalModelName) = part_number;
  *device.attribute(Serial) = serial_number;
  *device.attribute(SoftwareVersion) = sw_version;
  // The texts are the object's whatever the store answers.
  name = std::move(name_text);
  model = std::move(model_text);
  partNumber = std::move(part_number);
  serialNumber = std::move(serial_number);
  swVersion = std::move(sw_version);
  return send_create(*client, device, n);
}

bool dataDevice::remove(unsigned short n) {
  zu::cds::CDeleteDevice request;
  request.ids = {n};
  client->submit_wait(request);
  return true;
}

bool dataDevice::get(unsigned short n) {
  zu::cds::CGetDevice request;
  request.ids = {n};
  request.depth = 0;
  auto response = successful<zu::cds::CGetDevice>(client->submit_wait(request));
  if (!response || response->devices.empty()) {
    console_line("Device " + std::to_string(n) + " not found !");
    return false;
  }
  const zu::CDevice& device = response->devices.front();
  deviceNumber = static_cast<std::uint16_t>(device.id & 0xFFFFU);
  model = text_of(device, Model);
  name = text_of(device, Name);
  contact = text_of(device, Contact);
  location = text_of(device, Location);
  partNumber = text_of(device, CanonicalModelName);
  serialNumber = text_of(device, Serial);
  swVersion = text_of(device, SoftwareVersion);
  return true;
}

bool dataDevice::getChannelIds(unsigned short n, std::vector<unsigned short>& out) {
  zu::cds::CGetDevice request;
  request.ids = {n};
  request.depth = 0;
  auto response = successful<zu::cds::CGetDevice>(zu::cds::CClient::get()->submit_wait(request));
  if (!response) return false;
  if (response->devices.empty()) return true;
  // The device's channel set is ordered by id.
  for (unsigned long long id : response->devices.front().channels)
    out.push_back(static_cast<unsigned short>(id & 0xFFFFU));
  return true;
}

bool dataDevice::set_attribute(unsigned short n, std::string key, const std::string& value) {
  zu::cds::CSingleField field = attribute_field(n, key);
  field.value = zu::CValue(value);
  if (refused_device_zero(n)) return false;
  if (!send_field<zu::cds::CSetFieldValue>(*client, field)) {
    console_line("Required device attributes Set Field " + key + " request failed!");
    return false;
  }
  console_line("set field : " + key + " Succeed");
  return true;
}

bool dataDevice::get_attribute(unsigned short n, std::string key, std::string& out) {
  zu::cds::CSingleField field = attribute_field(n, key);
  if (refused_device_zero(n)) return false;
  auto response = send_field<zu::cds::CGetFieldValue>(*client, field);
  if (!response) {
    console_line("Required device attributes Get Field request failed!");
    return false;
  }
  out = detail::c_text(response->fields.begin()->value.as_string());
  return true;
}

bool dataDevice::get_guid(unsigned short n, std::string& out) {
  auto response = read_device_for_guid(*client, n);
  if (!response) return false;
  zu::proto::Device message;
  response->devices.front().to(message, true, true);
  if (!message.has_guid()) {
    console_line("Device " + std::to_string(n) + " does not have a Guid value!");
    return false;
  }
  out = message.guid().value();
  return true;
}

bool dataDevice::set_guid(unsigned short n, const std::string& guid) {
  auto response = read_device_for_guid(*client, n);
  if (!response) return false;
  zu::proto::Device message;
  response->devices.front().to(message, true, true);
  message.mutable_guid()->set_value(guid);
  zu::cds::CUpdateDevice update;
  update.devices.emplace_back(message);
  if (!successful<zu::cds::CUpdateDevice>(zu::cds::CClient::get()->submit_wait(update))) {
    console_line("Update device request failed!");
    return false;
  }
  console_line("set guid Succeed");
  return true;
}

bool dataDevice::subscribe(unsigned long long id, std::function<void(const AlarmInfos&)> callback,
                           std::shared_ptr<dataHandler> handler) {
  if (!handler) return false;
  return handler->registerSubscription(std::vector<unsigned long long>{id},
                                       dataHandler::SubscriptionCallback::AlarmCallback(std::move(callback)), nullptr);
}

bool dataDevice::subscribe(unsigned long long id, std::function<void(const AlarmInfos&)> callback) {
  return subscribe(id, std::move(callback), SubscriberSingleton::instance().handler);
}

}  // namespace cdsapi
