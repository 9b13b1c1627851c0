#include "zu/CWallTime.h"

#include <chrono>
#include <ctime>

namespace zu {

CWallTime CWallTime::now() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  auto s = std::chrono::duration_cast<std::chrono::seconds>(since);
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since - s);
  return from_seconds(s.count(), static_cast<std::uint32_t>(ns.count()));
}

CWallTime CWallTime::from_seconds(std::int64_t s, std::uint32_t ns) {
  CWallTime t;
  t.seconds = static_cast<std::int32_t>(s);
  t.nanoseconds = ns;
  return t;
}

double CWallTime::to_double() const { return is_set() ? seconds + nanoseconds / 1e9 : 0.0; }

std::string CWallTime::to_string() const {
  if (!is_set()) return "unset";
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[128];
  std::size_t n = std::strftime(buf, sizeof buf, format ? format : "%F %T", &tm);
  return std::string(buf, n);
}

}  // namespace zu
