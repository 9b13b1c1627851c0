#include "zu/CValue.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <type_traits>

namespace zu {
namespace {

template <typename T>
constexpr bool is_number_v = std::is_arithmetic_v<T>;

// Converts a floating value to an integer type, saturating at the bounds; NaN is 0.
template <typename To, typename From>
To saturate(From v) {
  if constexpr (std::is_floating_point_v<From> && std::is_integral_v<To>) {
    if (std::isnan(v)) return 0;
    if (v <= static_cast<From>(std::numeric_limits<To>::lowest())) return std::numeric_limits<To>::lowest();
    if (v >= static_cast<From>(std::numeric_limits<To>::max())) return std::numeric_limits<To>::max();
    return static_cast<To>(v);
  } else if constexpr (std::is_integral_v<From> && std::is_integral_v<To> && !std::is_same_v<To, bool>) {
    if constexpr (std::is_signed_v<From>) {
      if constexpr (std::is_signed_v<To>) {
        if (v < static_cast<From>(std::numeric_limits<To>::lowest()) &&
            sizeof(From) > sizeof(To)) return std::numeric_limits<To>::lowest();
      } else {
        if (v < 0) return 0;
      }
    }
    using U = unsigned long long;
    if (v > 0 && static_cast<U>(v) > static_cast<U>(std::numeric_limits<To>::max()))
      return std::numeric_limits<To>::max();
    return static_cast<To>(v);
  } else if constexpr (std::is_floating_point_v<From> && std::is_floating_point_v<To>) {
    // A finite value past the target's range would be undefined to convert.
    if (std::isfinite(v) && v > static_cast<From>(std::numeric_limits<To>::max())) return std::numeric_limits<To>::max();
    if (std::isfinite(v) && v < static_cast<From>(std::numeric_limits<To>::lowest())) return std::numeric_limits<To>::lowest();
    return static_cast<To>(v);
  } else {
    return static_cast<To>(v);
  }
}

// Whether the floating value f is exactly the integer i. Bounds are powers of
// two, exact in any floating type, so this holds where long double is no wider
// than double (32-bit ARM).
template <typename I, typename F>
bool holds_integer(F f, I i) {
  if (!std::isfinite(f) || std::trunc(f) != f) return false;
  const F upper = std::ldexp(F(1), std::numeric_limits<I>::digits);  // max + 1
  const F lower = std::is_signed_v<I> ? -upper : F(0);
  if (f < lower || f >= upper) return false;
  return static_cast<I>(f) == i;
}

// Parses a whole text as a number of T; nullopt when the text is not one.
template <typename T>
std::optional<T> parse_number(const std::string& s) {
  // The strto* functions skip leading blanks; the whole text must be the number.
  if (s.empty() || std::isspace(static_cast<unsigned char>(s[0]))) return std::nullopt;
  const char* b = s.c_str();
  char* end = nullptr;
  if constexpr (std::is_same_v<T, bool>) {
    if (s == "true") return true;
    if (s == "false") return false;
    auto n = parse_number<long long>(s);
    if (n) return *n != 0;
    return std::nullopt;
  } else if constexpr (std::is_floating_point_v<T>) {
    double d = std::strtod(b, &end);
    if (*end != '\0' || end == b) return std::nullopt;
    return static_cast<T>(d);
  } else if constexpr (std::is_signed_v<T>) {
    // Out of range, strtoll gives the bound: saturated like any other number.
    long long n = std::strtoll(b, &end, 10);
    if (*end != '\0' || end == b) return std::nullopt;
    return saturate<T>(n);
  } else {
    if (s[0] == '-') return std::nullopt;
    unsigned long long n = std::strtoull(b, &end, 10);
    if (*end != '\0' || end == b) return std::nullopt;
    return saturate<T>(n);
  }
}

template <typename T>
T read_as(const CValue::variant_type& v) {
  return std::visit(
      [](const auto& x) -> T {
        using X = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, bool> && is_number_v<X>) {
          return x != X{};
        } else if constexpr (is_number_v<X>) {
          return saturate<T>(x);
        } else if constexpr (std::is_same_v<X, std::string>) {
          return parse_number<T>(x).value_or(T{});
        } else if constexpr (std::is_same_v<X, CTimestamp>) {
          if constexpr (std::is_same_v<T, bool>) return x.seconds != 0 || x.nanoseconds != 0;
          else if constexpr (std::is_floating_point_v<T>) return static_cast<T>(x.seconds + x.nanoseconds / 1e9);
          else return saturate<T>(x.seconds);
        } else {
          return T{};
        }
      },
      v);
}

// The text below for a value that is a short decimal (21.5, 0.001, -3), the
// common case, without formatting and parsing it back: a value is the
// decimal m / 10^k with m of at most digits10 digits when that division
// gives it back, and then "%.<digits10>g" prints exactly that decimal (the
// value is nearer to it than half the last digit). Empty for other values;
// tiny ones, which %g writes with an exponent, among them.
template <typename F>
std::string decimal_text(F f) {
  constexpr int kDigits = std::numeric_limits<F>::digits10;
  static constexpr double kPow10[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  const double x = static_cast<double>(f);
  if (x == 0) return std::signbit(x) ? "-0" : "0";
  const double magnitude = std::fabs(x);
  if (!(magnitude >= 1e-4 && magnitude < kPow10[kDigits])) return std::string();
  for (int k = 0; k <= 8; ++k) {
    const double scaled = std::nearbyint(magnitude * kPow10[k]);
    if (scaled >= kPow10[kDigits]) return std::string();
    if (static_cast<F>(scaled / kPow10[k]) != static_cast<F>(magnitude)) continue;
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof digits, static_cast<std::uint64_t>(scaled)).ptr;
    const int n = static_cast<int>(end - digits);
    std::string out;
    if (x < 0) out += '-';
    if (n <= k) {
      out.append("0.").append(static_cast<std::size_t>(k - n), '0').append(digits, static_cast<std::size_t>(n));
    } else {
      out.append(digits, static_cast<std::size_t>(n - k));
      if (k > 0) out.append(1, '.').append(digits + n - k, static_cast<std::size_t>(k));
    }
    return out;
  }
  return std::string();
}

template <typename F>
std::string float_text(F f) {
  if (std::isnan(f)) return "nan";
  if (std::isinf(f)) return f > 0 ? "inf" : "-inf";
  std::string decimal = decimal_text(f);
  if (!decimal.empty()) return decimal;
  // The shortest "%.*g" text that reads back to the same value. to_chars
  // writes what printf would, without its locale and at a third of its cost
  // (every value read carries this text).
  char buf[64];
  char* end = buf;
  for (int prec = std::numeric_limits<F>::digits10; prec <= std::numeric_limits<F>::max_digits10; ++prec) {
    end = std::to_chars(buf, buf + sizeof buf, static_cast<double>(f), std::chars_format::general, prec).ptr;
    double back = 0;
    std::from_chars(buf, end, back);
    if (static_cast<F>(back) == f) break;
  }
  return std::string(buf, end);
}

template <typename F>
int float_compare(F a, F b) {
  bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return na == nb ? 0 : (na ? 1 : -1);
  return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

bool CValue::as_bool() const { return read_as<bool>(v_); }
int CValue::as_int32() const { return read_as<int>(v_); }
long long CValue::as_int64() const { return read_as<long long>(v_); }
unsigned int CValue::as_uint32() const { return read_as<unsigned int>(v_); }
unsigned long long CValue::as_uint64() const { return read_as<unsigned long long>(v_); }
float CValue::as_float() const { return read_as<float>(v_); }
double CValue::as_double() const { return read_as<double>(v_); }

CTimestamp CValue::as_timestamp() const {
  if (auto t = std::get_if<CTimestamp>(&v_)) return *t;
  if (auto d = std::get_if<double>(&v_)) {
    if (!std::isfinite(*d)) return CTimestamp{saturate<long long>(*d), 0};
    double s = std::floor(*d);
    return CTimestamp{saturate<long long>(s), static_cast<std::uint32_t>((*d - s) * 1e9)};
  }
  if (type() <= type_uint64 && type() != type_bool) return CTimestamp{as_int64(), 0};
  return CTimestamp{};
}

std::string CValue::as_string() const {
  return std::visit(
      [](const auto& x) -> std::string {
        using X = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<X, invalid_t>) return std::string();
        else if constexpr (std::is_same_v<X, bool>) return x ? "true" : "false";
        else if constexpr (std::is_floating_point_v<X>) return float_text(x);
        else if constexpr (std::is_integral_v<X>) return std::to_string(x);
        else if constexpr (std::is_same_v<X, CTimestamp>) {
          char buf[48];
          std::snprintf(buf, sizeof buf, "%lld.%09u", static_cast<long long>(x.seconds), x.nanoseconds);
          return buf;
        } else if constexpr (std::is_same_v<X, std::string>) return x;
        else return std::string(x.begin(), x.end());
      },
      v_);
}

CBytes CValue::as_bytes() const {
  if (auto b = std::get_if<CBytes>(&v_)) return *b;
  if (auto s = std::get_if<std::string>(&v_)) return CBytes(s->begin(), s->end());
  return CBytes();
}

CValue CValue::zero_of(std::uint8_t type) {
  switch (type) {
    case type_bool: return CValue(false);
    case type_int32: return CValue(0);
    case type_int64: return CValue(0LL);
    case type_uint32: return CValue(0U);
    case type_uint64: return CValue(0ULL);
    case type_float: return CValue(0.0F);
    case type_double: return CValue(0.0);
    case type_timestamp: return CValue(CTimestamp{});
    case type_string: return CValue(std::string());
    case type_bytes: return CValue(CBytes());
    default: return CValue();
  }
}

std::optional<CValue> CValue::convert_lossless(std::uint8_t target) const {
  if (!is_valid() || target == type_none) return std::nullopt;
  if (target == type()) return *this;
  CValue out = zero_of(target);
  if (!out.is_valid()) return std::nullopt;
  // Numbers convert to numbers when the round trip gives the same number.
  bool src_number = type() <= type_double;
  bool dst_number = target <= type_double;
  if (src_number && dst_number) {
    if (target == type_bool || type() == type_bool) return std::nullopt;
    switch (target) {
      case type_int32: out = CValue(as_int32()); break;
      case type_int64: out = CValue(as_int64()); break;
      case type_uint32: out = CValue(as_uint32()); break;
      case type_uint64: out = CValue(as_uint64()); break;
      case type_float: out = CValue(as_float()); break;
      case type_double: out = CValue(as_double()); break;
      default: return std::nullopt;
    }
    // Compare in the wider of the two representations, exactly.
    bool same = std::visit(
        [](const auto& a, const auto& b) -> bool {
          using A = std::decay_t<decltype(a)>;
          using B = std::decay_t<decltype(b)>;
          if constexpr (std::is_arithmetic_v<A> && std::is_arithmetic_v<B>) {
            if constexpr (std::is_floating_point_v<A> || std::is_floating_point_v<B>) {
              if constexpr (std::is_floating_point_v<A> && std::is_floating_point_v<B>) {
                return (std::isnan(a) && std::isnan(b)) || static_cast<long double>(a) == static_cast<long double>(b);
              } else {
                // Integer against floating: the float must hold exactly that integer.
                if constexpr (std::is_integral_v<A>) return holds_integer(b, a);
                else return holds_integer(a, b);
              }
            } else if constexpr (std::is_signed_v<A> == std::is_signed_v<B>) {
              return a == b;
            } else if constexpr (std::is_signed_v<A>) {
              return a >= 0 && static_cast<unsigned long long>(a) == static_cast<unsigned long long>(b);
            } else {
              return b >= 0 && static_cast<unsigned long long>(a) == static_cast<unsigned long long>(b);
            }
          } else {
            return false;
          }
        },
        v_, out.v_);
    if (!same) return std::nullopt;
    return out;
  }
  if (type() == type_string && target == type_bytes) return CValue(as_bytes());
  return std::nullopt;
}

bool operator==(const CValue& a, const CValue& b) {
  if (a.v_.index() != b.v_.index()) return false;
  return !(a < b) && !(b < a);
}

bool operator<(const CValue& a, const CValue& b) {
  if (a.v_.index() != b.v_.index()) return a.v_.index() < b.v_.index();
  return std::visit(
      [&](const auto& x) -> bool {
        using X = std::decay_t<decltype(x)>;
        const X& y = std::get<X>(b.v_);
        if constexpr (std::is_floating_point_v<X>) return float_compare(x, y) < 0;
        else return x < y;
      },
      a.v_);
}

std::size_t CValue::hash() const {
  std::size_t seed = v_.index() * 0x9e3779b9U;
  std::size_t h = std::visit(
      [](const auto& x) -> std::size_t {
        using X = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<X, invalid_t>) return 0;
        else if constexpr (std::is_floating_point_v<X>) return std::isnan(x) ? 1 : std::hash<X>()(x);
        else if constexpr (std::is_same_v<X, CTimestamp>) return std::hash<long long>()(x.seconds) ^ x.nanoseconds;
        else if constexpr (std::is_same_v<X, CBytes>) return std::hash<std::string>()(std::string(x.begin(), x.end()));
        else return std::hash<X>()(x);
      },
      v_);
  return seed ^ (h + 0x9e3779b9U + (seed << 6) + (seed >> 2));
}

const char* type_name(std::uint8_t type) {
  switch (type) {
    case type_bool: return "bool";
    case type_int32: return "int32";
    case type_int64: return "int64";
    case type_uint32: return "uint32";
    case type_uint64: return "uint64";
    case type_float: return "float";
    case type_double: return "double";
    case type_timestamp: return "timestamp";
    case type_string: return "string";
    case type_bytes: return "bytes";
    default: return "none";
  }
}

}  // namespace zu
