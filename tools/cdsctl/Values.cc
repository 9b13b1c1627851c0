#include "Values.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "Args.h"

namespace cdsctl {
namespace {

constexpr std::uint8_t kLastType = zu::type_bytes;

[[noreturn]] void refuse(const std::string& text, std::uint8_t type, const std::string& why) {
  throw Failure("'" + text + "' is not a valid " + zu::type_name(type) + " value: " + why);
}

bool is_digits(const std::string& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos; }

// A signed decimal number in [min, max].
long long parse_signed(const std::string& text, std::uint8_t type, long long min, long long max) {
  std::string digits = text[0] == '-' || text[0] == '+' ? text.substr(1) : text;
  if (!is_digits(digits)) refuse(text, type, "expected a whole number");
  errno = 0;
  long long n = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || n < min || n > max)
    refuse(text, type, "out of range (" + std::to_string(min) + " to " + std::to_string(max) + ")");
  return n;
}

unsigned long long parse_unsigned(const std::string& text, std::uint8_t type, unsigned long long max) {
  std::string digits = text[0] == '+' ? text.substr(1) : text;
  if (text[0] == '-' && is_digits(text.substr(1)))
    refuse(text, type, "out of range (0 to " + std::to_string(max) + ")");
  if (!is_digits(digits)) refuse(text, type, "expected a whole number");
  errno = 0;
  unsigned long long n = std::strtoull(digits.c_str(), nullptr, 10);
  if (errno == ERANGE || n > max) refuse(text, type, "out of range (0 to " + std::to_string(max) + ")");
  return n;
}

// strtod/strtof accept hexadecimal and leading spaces; a value typed for a
// channel is plain decimal.
bool plain_decimal(const std::string& text) {
  if (text.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
  return text.find_first_of("0123456789") != std::string::npos;
}

template <typename F>
F parse_floating(const std::string& text, std::uint8_t type) {
  if (!plain_decimal(text)) refuse(text, type, "expected a decimal number");
  errno = 0;
  char* end = nullptr;
  F f;
  if constexpr (std::is_same_v<F, float>) f = std::strtof(text.c_str(), &end);
  else f = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0') refuse(text, type, "expected a decimal number");
  if (errno == ERANGE) refuse(text, type, std::isinf(f) ? "out of range" : "too close to zero to be represented");
  return f;
}

zu::CTimestamp parse_timestamp(const std::string& text) {
  const std::uint8_t type = zu::type_timestamp;
  std::string whole = text, fraction;
  std::size_t dot = text.find('.');
  long long seconds = 0;
  if (text.find('T') != std::string::npos) {
    std::string body = text;
    if (!body.empty() && body.back() == 'Z') body.pop_back();
    dot = body.find('.');
    whole = body.substr(0, dot);
    if (dot != std::string::npos) fraction = body.substr(dot + 1);
    std::tm tm{};
    char tail = 0;
    int n = std::sscanf(whole.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                        &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &tail);
    if (n != 6 || tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
        tm.tm_min > 59 || tm.tm_sec > 60)
      refuse(text, type, "expected YYYY-MM-DDTHH:MM:SS[.fraction][Z] or seconds since 1970");
    // Days from the civil date, so that 32-bit time_t does not limit the range.
    long long y = tm.tm_year, m = tm.tm_mon, d = tm.tm_mday;
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long long days = era * 146097 + doe - 719468;
    seconds = days * 86400 + tm.tm_hour * 3600LL + tm.tm_min * 60LL + tm.tm_sec;
  } else {
    if (dot != std::string::npos) {
      whole = text.substr(0, dot);
      fraction = text.substr(dot + 1);
    }
    seconds = parse_signed(whole, type, std::numeric_limits<long long>::min(), std::numeric_limits<long long>::max());
  }
  if (dot != std::string::npos && !is_digits(fraction)) refuse(text, type, "expected digits after the point");
  if (fraction.size() > 9) refuse(text, type, "more than 9 decimals (nanoseconds)");
  zu::CTimestamp t;
  t.seconds = seconds;
  fraction.resize(9, '0');
  t.nanoseconds = dot == std::string::npos ? 0 : static_cast<std::uint32_t>(std::strtoul(fraction.c_str(), nullptr, 10));
  return t;
}

zu::CBytes parse_bytes(const std::string& text) {
  std::string hex = text.rfind("0x", 0) == 0 ? text.substr(2) : text;
  if (hex.size() % 2 != 0) refuse(text, zu::type_bytes, "expected two hexadecimal digits per byte");
  zu::CBytes out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    auto digit = [&](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      refuse(text, zu::type_bytes, "'" + std::string(1, c) + "' is not a hexadecimal digit");
    };
    out.push_back(static_cast<unsigned char>(digit(hex[i]) * 16 + digit(hex[i + 1])));
  }
  return out;
}

}  // namespace

std::optional<std::uint8_t> type_from_name(const std::string& name) {
  for (std::uint8_t t = 0; t <= kLastType; ++t)
    if (name == zu::type_name(t)) return t;
  return std::nullopt;
}

std::string type_names() {
  std::string out;
  for (std::uint8_t t = 0; t <= kLastType; ++t) out += std::string(t ? ", " : "") + zu::type_name(t);
  return out;
}

zu::CValue parse_value(const std::string& text, std::uint8_t type) {
  if (type != zu::type_string && type != zu::type_bytes && text.empty()) refuse(text, type, "empty text");
  switch (type) {
    case zu::type_bool:
      if (text == "true" || text == "1") return zu::CValue(true);
      if (text == "false" || text == "0") return zu::CValue(false);
      refuse(text, type, "expected true, false, 1 or 0");
    case zu::type_int32:
      return zu::CValue(static_cast<int>(parse_signed(text, type, std::numeric_limits<int>::min(),
                                                      std::numeric_limits<int>::max())));
    case zu::type_int64:
      return zu::CValue(parse_signed(text, type, std::numeric_limits<long long>::min(),
                                     std::numeric_limits<long long>::max()));
    case zu::type_uint32:
      return zu::CValue(static_cast<unsigned int>(parse_unsigned(text, type, std::numeric_limits<unsigned int>::max())));
    case zu::type_uint64:
      return zu::CValue(parse_unsigned(text, type, std::numeric_limits<unsigned long long>::max()));
    case zu::type_float:
      return zu::CValue(parse_floating<float>(text, type));
    case zu::type_double:
      return zu::CValue(parse_floating<double>(text, type));
    case zu::type_timestamp:
      return zu::CValue(parse_timestamp(text));
    case zu::type_string:
      return zu::CValue(text);
    case zu::type_bytes:
      return zu::CValue(parse_bytes(text));
    default:
      throw Failure("cannot write a value of data type " + std::to_string(type));
  }
}

std::string timestamp_text(const zu::CTimestamp& t) {
  // Civil date from days, valid for any 64-bit second count a person types.
  long long days = t.seconds / 86400, rem = t.seconds % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long doe = days - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long d = doy - (153 * mp + 2) / 5 + 1;
  const long long m = mp < 10 ? mp + 3 : mp - 9;
  const long long y = yoe + era * 400 + (m <= 2);
  char buf[80];
  std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld", y, m, d, rem / 3600, rem / 60 % 60,
                rem % 60);
  std::string out = buf;
  if (t.nanoseconds) {
    std::snprintf(buf, sizeof buf, ".%09u", t.nanoseconds);
    std::string fraction = buf;
    while (fraction.back() == '0') fraction.pop_back();
    out += fraction;
  }
  return out + "Z";
}

std::string value_text(const zu::CValue& value) {
  if (!value.is_valid()) return "(unset)";
  if (const auto* t = value.get_if<zu::CTimestamp>()) return timestamp_text(*t);
  if (const auto* b = value.get_if<zu::CBytes>()) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "0x";
    for (unsigned char c : *b) {
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
    return out;
  }
  return value.as_string();
}

std::string value_with_units(const zu::CValue& value, const std::string& units) {
  std::string text = value_text(value);
  return units.empty() || !value.is_valid() ? text : text + " " + units;
}

std::optional<unsigned> level_from_name(const std::string& name) {
  if (name == "good") return 4;
  if (name == "info") return 5;
  if (name == "warning") return 6;
  if (name == "critical") return 7;
  return std::nullopt;
}

std::optional<std::uint8_t> direction_from_name(const std::string& name) {
  if (name == "high") return 0;
  if (name == "low") return 1;
  if (name == "equal") return 2;
  return std::nullopt;
}

const char* direction_name(std::uint8_t direction) {
  switch (direction) {
    case 0: return "high";
    case 1: return "low";
    case 2: return "equal";
    default: return "unknown";
  }
}

}  // namespace cdsctl
