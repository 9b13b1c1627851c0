#pragma once
// The framework's typed value.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "zu/CWallTime.h"

namespace zu {

struct invalid_t {
  friend bool operator==(invalid_t, invalid_t) { return true; }
  friend bool operator<(invalid_t, invalid_t) { return false; }
};

using CBytes = std::vector<unsigned char>;

// Type codes of values and of channels (the alternative's index minus one).
enum data_type : std::uint8_t {
  type_bool = 0,
  type_int32 = 1,
  type_int64 = 2,
  type_uint32 = 3,
  type_uint64 = 4,
  type_float = 5,
  type_double = 6,
  type_timestamp = 7,
  type_string = 8,
  type_bytes = 9,
  type_none = 255,
};

// A value of one of eleven alternatives, in this order: invalid, bool, int32,
// int64, uint32, uint64, float, double, timestamp, string, byte vector.
//
// The as_* readers convert between alternatives where that makes sense (numbers
// to numbers with C++ conversion rules saturated to the target's range, numbers
// to text in decimal, text to numbers when the whole text is a number); anything
// else reads as zero, false or the empty text. They never throw.
//
// operator< is a total order: values of different alternatives order by
// alternative index, values of one alternative by their natural order (for
// floating point, NaN sorts after every number and equals itself).
class CValue {
 public:
  using variant_type = std::variant<invalid_t, bool, int, long long, unsigned int, unsigned long long,
                                    float, double, CTimestamp, std::string, CBytes>;

  CValue() = default;
  CValue(bool v) : v_(v) {}
  CValue(int v) : v_(v) {}
  CValue(long long v) : v_(v) {}
  CValue(unsigned int v) : v_(v) {}
  CValue(unsigned long long v) : v_(v) {}
  CValue(float v) : v_(v) {}
  CValue(double v) : v_(v) {}
  CValue(CTimestamp v) : v_(v) {}
  CValue(std::string v) : v_(std::move(v)) {}
  CValue(const char* v) : v_(std::string(v)) {}
  CValue(CBytes v) : v_(std::move(v)) {}

  bool is_valid() const { return v_.index() != 0; }
  // The alternative's index minus one; 255 when invalid.
  std::uint8_t type() const {
    return v_.index() == 0 ? static_cast<std::uint8_t>(type_none) : static_cast<std::uint8_t>(v_.index() - 1);
  }
  std::size_t index() const { return v_.index(); }
  const variant_type& variant() const { return v_; }

  template <typename T>
  const T* get_if() const { return std::get_if<T>(&v_); }

  bool as_bool() const;
  int as_int32() const;
  long long as_int64() const;
  unsigned int as_uint32() const;
  unsigned long long as_uint64() const;
  float as_float() const;
  double as_double() const;
  CTimestamp as_timestamp() const;
  std::string as_string() const;
  CBytes as_bytes() const;

  // This value as `type` when the conversion loses nothing (an int32 5 as a
  // float, a float 2.5 as a double); empty otherwise. `type_none` never converts.
  std::optional<CValue> convert_lossless(std::uint8_t type) const;

  // The invalid value of no alternative, and a value of a type code with zero content.
  static CValue zero_of(std::uint8_t type);

  friend bool operator==(const CValue& a, const CValue& b);
  friend bool operator!=(const CValue& a, const CValue& b) { return !(a == b); }
  friend bool operator<(const CValue& a, const CValue& b);

  std::size_t hash() const;

 private:
  variant_type v_;
};

// A name for a type code ("int32", "string", ..., "none").
const char* type_name(std::uint8_t type);

}  // namespace zu

template <>
struct std::hash<zu::CValue> {
  std::size_t operator()(const zu::CValue& v) const { return v.hash(); }
};
