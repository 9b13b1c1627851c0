#pragma once
// A set of flag bits of an enumeration whose enumerators are bit values.
#include <cstdint>
#include <string>

namespace zu {

// Realtime state bits of devices and channels, by bit value.
enum class realtime_state : std::uint32_t {
  none = 0,
  stale = 1,            // value not refreshed by its producer
  alarm_disabled = 2,   // channel: its alarms are disabled
  communicating = 4,    // device: its producer talks to it
  alarm_active = 8,     // channel: at least one alarm is raised
};

// Bits of E. The optional text supplier names a bit for display; it is never
// needed for the bits themselves.
template <typename E>
class CBitset {
 public:
  using text_supplier = const char* (*)(E bit);

  CBitset() = default;
  explicit CBitset(std::uint32_t bits, text_supplier supplier = nullptr)
      : bits_(bits), supplier_(supplier) {}
  CBitset(E bit) : bits_(static_cast<std::uint32_t>(bit)) {}  // NOLINT: a single bit reads naturally

  std::uint32_t bits() const { return bits_; }
  bool empty() const { return bits_ == 0; }
  bool test(E bit) const { return (bits_ & static_cast<std::uint32_t>(bit)) != 0; }
  CBitset& set(E bit) { bits_ |= static_cast<std::uint32_t>(bit); return *this; }
  CBitset& reset(E bit) { bits_ &= ~static_cast<std::uint32_t>(bit); return *this; }
  text_supplier supplier() const { return supplier_; }

  friend bool operator==(const CBitset& a, const CBitset& b) { return a.bits_ == b.bits_; }
  friend bool operator!=(const CBitset& a, const CBitset& b) { return a.bits_ != b.bits_; }

 private:
  std::uint32_t bits_ = 0;
  text_supplier supplier_ = nullptr;
};

using CStateBits = CBitset<realtime_state>;

}  // namespace zu
