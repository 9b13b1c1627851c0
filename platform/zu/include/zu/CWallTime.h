#pragma once
// Time values of the framework: a wall-clock stamp and a timestamp value.
#include <cstdint>
#include <string>

namespace zu {

// Wall-clock time of requests and alarm updates. Three words: seconds since the
// epoch (signed 32-bit, -1 = unset), nanoseconds, and the text format used when
// it is printed. A default-constructed value is "unset".
// Note: seconds are 32-bit by the framework's record layout; they run out in 2038.
struct CWallTime {
  std::int32_t seconds = -1;
  std::uint32_t nanoseconds = 0;
  const char* format = "%F %T";

  static CWallTime now();
  static CWallTime from_seconds(std::int64_t s, std::uint32_t ns = 0);

  bool is_set() const { return seconds != -1 || nanoseconds != 0; }
  // Seconds since the epoch as a double, for arithmetic; 0 when unset.
  double to_double() const;
  // Printed with `format` in UTC; "unset" when unset.
  std::string to_string() const;

  friend bool operator==(const CWallTime& a, const CWallTime& b) {
    return a.seconds == b.seconds && a.nanoseconds == b.nanoseconds;
  }
  friend bool operator!=(const CWallTime& a, const CWallTime& b) { return !(a == b); }
  friend bool operator<(const CWallTime& a, const CWallTime& b) {
    return a.seconds != b.seconds ? a.seconds < b.seconds : a.nanoseconds < b.nanoseconds;
  }
  friend bool operator<=(const CWallTime& a, const CWallTime& b) { return !(b < a); }
};

// A point in time carried as a channel value (64-bit seconds, so no 2038 limit).
struct CTimestamp {
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;

  friend bool operator==(const CTimestamp& a, const CTimestamp& b) {
    return a.seconds == b.seconds && a.nanoseconds == b.nanoseconds;
  }
  friend bool operator!=(const CTimestamp& a, const CTimestamp& b) { return !(a == b); }
  friend bool operator<(const CTimestamp& a, const CTimestamp& b) {
    return a.seconds != b.seconds ? a.seconds < b.seconds : a.nanoseconds < b.nanoseconds;
  }
};

}  // namespace zu
