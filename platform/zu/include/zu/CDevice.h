#pragma once
// The framework's device record.
#include <array>
#include <cstdint>
#include <set>
#include <string>

#include <boost/optional.hpp>

#include "zu/CBitset.h"

namespace zu {
namespace proto { class Device; }

constexpr std::uint64_t kNoId = ~0ULL;  // "none": no device, no parent, no channel

// Number of identity attributes; attribute n (1..15) has key device_attribute_key(n).
constexpr unsigned kDeviceAttributeCount = 15;
// Key of identity attribute n (1..15); nullptr for any other n.
const char* device_attribute_key(unsigned n);
// Attribute number of a key, 0 when the key is not an identity attribute.
unsigned device_attribute_number(const std::string& key);

// A device of the data store's tree: its id, its parent (empty when unknown to
// the record, all ones at the root), the ids of its sub-devices and channels,
// its UUID characters, its state and its fifteen identity attributes.
class CDevice {
 public:
  CDevice() = default;
  explicit CDevice(const proto::Device& message);

  std::uint64_t id = kNoId;
  boost::optional<std::uint64_t> parent_id;
  std::set<std::uint64_t> sub_devices;
  std::set<std::uint64_t> channels;
  std::string guid;  // the UUID's characters, as given
  bool communicating = false;
  CBitset<realtime_state> state;
  std::array<std::string, kDeviceAttributeCount> attributes;  // [n-1] is attribute n

  void set_id(std::uint64_t new_id) { id = new_id; }
  // Attribute n (1..15); nullptr for any other n.
  const std::string* attribute(unsigned n) const { return n >= 1 && n <= 15 ? &attributes[n - 1] : nullptr; }
  std::string* attribute(unsigned n) { return n >= 1 && n <= 15 ? &attributes[n - 1] : nullptr; }

  // Writes the record to a message; with_tree includes parent, sub-devices and
  // channels, with_identity the UUID and the attributes.
  void to(proto::Device& message, bool with_tree, bool with_identity) const;

  friend bool operator==(const CDevice& a, const CDevice& b);
};

}  // namespace zu
