#include "Context.h"

#include <stdexcept>

#include "Args.h"
#include "tova/common/Uuid.h"
#include "zu/cds/CClient.h"

namespace cdsctl {

cdsapi::InBandAccessor& Context::cds() {
  if (!cds_) {
    client_ = std::make_unique<cdsapi::dataClient>("cdsctl");
    // Connected without reconnection: a command is one short session.
    cds_ = std::make_unique<cdsapi::InBandAccessor>(*client_, false);
    if (!client_->connected)
      throw Failure("cannot reach the data store at " + zu::cds::CClient::get()->endpoint() +
                    " (is cdsd running? --endpoint or ZU_CDS_ENDPOINT chooses another)");
  }
  return *cds_;
}

cdsapi::DataAlarms& Context::alarms() {
  if (!alarms_) {
    cds();
    alarms_ = std::make_unique<cdsapi::DataAlarms>(*client_);
  }
  return *alarms_;
}

cdsapi::OobAccessor& Context::oob() {
  if (!oob_) {
    cds();
    oob_ = std::make_unique<cdsapi::OobAccessor>(*client_);
  }
  return *oob_;
}

void check_connection() {
  auto* client = zu::cds::CClient::get();
  if (!client->is_connected()) throw Failure("lost the connection to the data store at " + client->endpoint());
}

ChannelRef parse_channel_ref(const std::string& text) {
  ChannelRef ref;
  ref.text = text;
  std::size_t slash = text.find('/');
  if (slash == std::string::npos) {
    ref.id = parse_id(text, "a channel (ID or DEVICE/NAME)");
    return ref;
  }
  ref.device = parse_id(text.substr(0, slash), "the device of channel '" + text + "'");
  ref.name = text.substr(slash + 1);
  if (ref.name.empty()) throw UsageError("channel '" + text + "' has no name after the slash");
  return ref;
}

zu::CChannel find_channel(cdsapi::InBandAccessor& cds, unsigned long long channel_id) {
  try {
    return cds.getChannel(channel_id);
  } catch (const std::exception&) {
    check_connection();
    throw Failure("no channel " + std::to_string(channel_id));
  }
}

zu::CChannel find_channel(cdsapi::InBandAccessor& cds, const ChannelRef& ref) {
  if (ref.name.empty()) return find_channel(cds, ref.id);
  try {
    return cds.getChannel(ref.device, ref.name);
  } catch (const std::invalid_argument&) {
    check_connection();
    throw Failure("no channel '" + ref.name + "' on device " + std::to_string(ref.device));
  }
}

zu::CDevice find_device(cdsapi::InBandAccessor& cds, unsigned long long device_id) {
  try {
    return cds.getDevice(device_id);
  } catch (const std::invalid_argument&) {
    check_connection();
    throw Failure("no device " + std::to_string(device_id));
  }
}

DeviceRef parse_device_ref(const std::string& text) {
  DeviceRef ref;
  ref.text = text;
  // No device id has 32 digits (ids stop at 20), so the two forms cannot meet.
  if (text.size() == 32 || text.size() == 36) {
    try {
      tova::common::Uuid check(text);
      (void)check;
      ref.by_uuid = true;
      return ref;
    } catch (const std::invalid_argument&) {
      if (text.size() == 36) throw UsageError("'" + text + "' is not a UUID");
    }
  }
  ref.id = parse_id(text, "DEVICE (an id or a UUID)");
  return ref;
}

zu::CDevice find_device(cdsapi::InBandAccessor& cds, const DeviceRef& ref) {
  if (!ref.by_uuid) return find_device(cds, ref.id);
  const tova::common::Uuid wanted(ref.text);
  std::vector<zu::CDevice> devices;
  try {
    devices = cds.getDevices(kManagerDevice, 2147483647U);
  } catch (const std::exception&) {
    check_connection();
    throw Failure("cannot read the device tree to look for UUID " + wanted.to_string());
  }
  for (const zu::CDevice& d : devices)
    if (cdsapi::InBandAccessor::getDeviceUuid(d) == wanted) return d;
  throw Failure("no device with UUID " + wanted.to_string());
}

std::string channel_label(const zu::CChannel& channel) {
  return std::to_string(channel.device_id) + "/" + channel.name;
}

}  // namespace cdsctl
