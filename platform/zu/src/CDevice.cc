#include "zu/CDevice.h"

#include <cstring>

#include "zu/proto/zu.pb.h"

namespace zu {
namespace {
const char* const kKeys[kDeviceAttributeCount] = {
    "family", "model_series", "config_file", "profile_file", "model",
    "name", "canonical_model_name", "network_address", "serial", "vendor",
    "asset_id", "location", "contact", "hardware_version", "software_version"};

// The message's attribute strings, in attribute order.
std::array<const std::string*, kDeviceAttributeCount> message_attributes(const proto::Device& m) {
  return {&m.family(), &m.model_series(), &m.config_file(), &m.profile_file(), &m.model(),
          &m.name(), &m.canonical_model_name(), &m.network_address(), &m.serial(), &m.vendor(),
          &m.asset_id(), &m.location(), &m.contact(), &m.hardware_version(), &m.software_version()};
}

std::array<std::string*, kDeviceAttributeCount> mutable_attributes(proto::Device& m) {
  return {m.mutable_family(), m.mutable_model_series(), m.mutable_config_file(), m.mutable_profile_file(),
          m.mutable_model(), m.mutable_name(), m.mutable_canonical_model_name(), m.mutable_network_address(),
          m.mutable_serial(), m.mutable_vendor(), m.mutable_asset_id(), m.mutable_location(),
          m.mutable_contact(), m.mutable_hardware_version(), m.mutable_software_version()};
}
}  // namespace

const char* device_attribute_key(unsigned n) { return n >= 1 && n <= kDeviceAttributeCount ? kKeys[n - 1] : nullptr; }

unsigned device_attribute_number(const std::string& key) {
  for (unsigned i = 0; i < kDeviceAttributeCount; ++i)
    if (key == kKeys[i]) return i + 1;
  return 0;
}

CDevice::CDevice(const proto::Device& m) : id(m.id()), communicating(m.communicating()), state(m.state()) {
  if (m.has_parent_id()) parent_id = m.parent_id();
  sub_devices.insert(m.sub_devices().begin(), m.sub_devices().end());
  channels.insert(m.channels().begin(), m.channels().end());
  if (m.has_guid()) guid = m.guid().value();
  auto src = message_attributes(m);
  for (unsigned i = 0; i < kDeviceAttributeCount; ++i) attributes[i] = *src[i];
}

void CDevice::to(proto::Device& m, bool with_tree, bool with_identity) const {
  m.Clear();
  m.set_id(id);
  m.set_communicating(communicating);
  m.set_state(state.bits());
  if (with_tree) {
    if (parent_id) m.set_parent_id(*parent_id);
    for (auto s : sub_devices) m.add_sub_devices(s);
    for (auto c : channels) m.add_channels(c);
  }
  if (with_identity) {
    if (!guid.empty()) m.mutable_guid()->set_value(guid);
    auto dst = mutable_attributes(m);
    for (unsigned i = 0; i < kDeviceAttributeCount; ++i) *dst[i] = attributes[i];
  }
}

bool operator==(const CDevice& a, const CDevice& b) {
  return a.id == b.id && a.parent_id == b.parent_id && a.sub_devices == b.sub_devices &&
         a.channels == b.channels && a.guid == b.guid && a.communicating == b.communicating &&
         a.state == b.state && a.attributes == b.attributes;
}

}  // namespace zu
