#include "zu/CValue.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

using zu::CBytes;
using zu::CTimestamp;
using zu::CValue;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Values of different alternatives order by alternative, whatever their content;
// within one, NaN sorts after every number and equals itself.
TEST(CValueTest, AlternativesStandInTheFrameworkOrderWithTheirTypeCodesAndLessIsAStrictWeakOrder) {
  // One of each alternative, in alternative order.
  std::vector<CValue> sample = {CValue(),     CValue(true), CValue(-7),  CValue(-7LL),             CValue(7U),
                                CValue(7ULL), CValue(1.5F), CValue(1.5), CValue(CTimestamp{10, 5}), CValue("text"),
                                CValue(CBytes{1, 2})};
  const std::uint8_t codes[] = {255, zu::type_bool, zu::type_int32, zu::type_int64, zu::type_uint32, zu::type_uint64,
                                zu::type_float, zu::type_double, zu::type_timestamp, zu::type_string, zu::type_bytes};
  for (std::size_t i = 0; i < sample.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(sample[i].type(), codes[i]);
    EXPECT_EQ(CValue::zero_of(codes[i]).type(), codes[i]);  // zero_of gives the alternative of each code
  }
  EXPECT_FALSE(CValue::zero_of(10).is_valid());  // and nothing for any other code
  EXPECT_STREQ(zu::type_name(200), "none");

  sample.insert(sample.end(), {CValue(kNaN), CValue(-kInf), CValue(kInf), CValue(-0.0), CValue(0.0), CValue(-1.0),
                               CValue(std::numeric_limits<float>::quiet_NaN()), CValue(0.0F), CValue(INT_MIN),
                               CValue(INT_MAX), CValue(false), CValue(ULLONG_MAX), CValue(CTimestamp{10, 4}),
                               CValue(CTimestamp{-1, 999999999}), CValue(""), CValue(CBytes{}), CValue(CBytes{1, 2, 0})});
  const auto equiv = [](const CValue& a, const CValue& b) { return !(a < b) && !(b < a); };
  for (const auto& a : sample) {
    EXPECT_FALSE(a < a) << a.as_string();
    for (const auto& b : sample) {
      EXPECT_EQ(equiv(a, b), a == b) << a.as_string() << " / " << b.as_string();
      for (const auto& c : sample) {
        EXPECT_TRUE(!(a < b && b < c) || a < c) << a.as_string() << " < " << b.as_string() << " < " << c.as_string();
        EXPECT_TRUE(!(equiv(a, b) && equiv(b, c)) || equiv(a, c));
      }
    }
  }

  EXPECT_TRUE(CValue(INT_MAX) < CValue(LLONG_MIN));
  EXPECT_TRUE(CValue(kInf) < CValue(kNaN));

  // So values key hashed containers too, NaN included.
  const std::unordered_set<CValue> hashed(sample.begin(), sample.end());
  for (const auto& v : sample) EXPECT_EQ(hashed.count(v), 1U) << v.as_string();
  EXPECT_EQ(std::hash<CValue>()(CValue(0.0)), std::hash<CValue>()(CValue(-0.0)));
}

// The value `v` reads as through the accessor of type code `t`.
CValue as(const CValue& v, std::uint8_t t) {
  switch (t) {
    case zu::type_bool: return v.as_bool();
    case zu::type_int32: return v.as_int32();
    case zu::type_int64: return v.as_int64();
    case zu::type_uint32: return v.as_uint32();
    case zu::type_uint64: return v.as_uint64();
    case zu::type_float: return v.as_float();
    case zu::type_double: return v.as_double();
    case zu::type_timestamp: return v.as_timestamp();
    case zu::type_string: return v.as_string();
    default: return v.as_bytes();
  }
}

// Numbers saturate at the target's bounds (a double beyond float's range too;
// infinities stay); text reads as a number only when the whole text is one;
// the invalid value and bytes read as zero, false and empty.
TEST(CValueTest, EachAccessorConvertsWithSaturationAndNoPartialReading) {
  using namespace zu;
  const std::string big = "99999999999999999999";
  const struct {
    CValue from;
    std::uint8_t to;
    CValue expected;
  } cases[] = {
      {3.9, type_int32, 3}, {-3.9, type_int32, -3}, {1e20, type_int32, INT_MAX}, {-1e20, type_int32, INT_MIN},
      {1e30F, type_uint64, ULLONG_MAX}, {-0.5, type_uint32, 0U}, {kNaN, type_int64, 0LL},
      {5000000000LL, type_int32, INT_MAX}, {-5000000000LL, type_int32, INT_MIN}, {-5000000000LL, type_uint64, 0ULL},
      {ULLONG_MAX, type_int64, LLONG_MAX}, {1e300, type_float, FLT_MAX}, {-1e300, type_float, -FLT_MAX},
      {kInf, type_float, std::numeric_limits<float>::infinity()}, {kNaN, type_float, std::nanf("")},
      {0.5, type_bool, true}, {0.0, type_bool, false}, {true, type_int32, 1}, {"42", type_int32, 42},
      {"2.5", type_double, 2.5}, {"4294967295", type_uint32, UINT_MAX}, {"-5", type_int32, -5},
      // Not a number: zero, never a partial or wrapped reading; no sign for the unsigned.
      {"12abc", type_int32, 0}, {" 5", type_int64, 0LL}, {"0x10", type_uint32, 0U}, {"-5", type_uint64, 0ULL},
      {"18446744073709551615", type_uint64, ULLONG_MAX}, {big, type_int64, LLONG_MAX}, {big, type_uint64, ULLONG_MAX},
      {"2.5x", type_double, 0.0}, {" 2.5", type_double, 0.0}, {"true", type_bool, true}, {"false", type_bool, false},
      {"3", type_bool, true}, {"0", type_bool, false}, {"yes", type_bool, false},
      {CTimestamp{5, 500000000}, type_double, 5.5}, {CTimestamp{5, 500000000}, type_int32, 5},
      {CTimestamp{0, 1}, type_bool, true}, {-1.5, type_timestamp, CTimestamp{-2, 500000000}},
      {7, type_timestamp, CTimestamp{7, 0}}, {kNaN, type_timestamp, CTimestamp{}}, {"ab", type_bytes, CBytes{'a', 'b'}},
      {5, type_bytes, CBytes{}}, {CBytes{1}, type_int32, 0}, {CValue(), type_bool, false},
      {CValue(), type_timestamp, CTimestamp{}}, {CValue(), type_bytes, CBytes{}},
      // Printed as text that reads back.
      {ULLONG_MAX, type_string, "18446744073709551615"}, {true, type_string, "true"}, {0.1, type_string, "0.1"},
      {0.1F, type_string, "0.1"}, {kNaN, type_string, "nan"}, {-kInf, type_string, "-inf"},
      // %g's own forms: short decimals as they are, an exponent past its bounds.
      {-0.25, type_string, "-0.25"}, {0.00012, type_string, "0.00012"}, {-0.0, type_string, "-0"},
      {1e-5, type_string, "1e-05"}, {1e15, type_string, "1e+15"}, {120.0F, type_string, "120"},
      {CTimestamp{12, 5}, type_string, "12.000000005"}, {CBytes{'h', 'i'}, type_string, "hi"},
      {CValue(), type_string, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(as(c.from, c.to), c.expected) << c.from.as_string() << " as " << type_name(c.to);
  }
  for (double d : {1.0 / 3.0, 1e-300, 123456789.123456789, -2.5e17}) EXPECT_EQ(CValue(CValue(d).as_string()).as_double(), d);
  EXPECT_EQ(CValue(CValue(1.0F / 3.0F).as_string()).as_float(), 1.0F / 3.0F);
  // Nanoseconds stay below one second, and non-finite seconds read without UB.
  for (double d : {std::nextafter(1.0, 0.0), std::nextafter(-1.0, -2.0), 1e300, kNaN, kInf, -kInf}) {
    EXPECT_LT(CValue(d).as_timestamp().nanoseconds, 1000000000U) << d;
  }
  EXPECT_EQ(CValue(kInf).as_timestamp().seconds, LLONG_MAX);
}

TEST(CValueTest, LosslessConversionAcceptsExactValuesAndRefusesTheRest) {
  using namespace zu;
  const CValue refused;
  const struct {
    CValue from;
    std::uint8_t to;
    CValue expected;
  } cases[] = {
      {5, type_float, 5.0F}, {2.0, type_int32, 2}, {2.5F, type_double, 2.5}, {3000000000U, type_int64, 3000000000LL},
      {1LL << 53, type_double, 9007199254740992.0}, {-9007199254740992.0, type_int64, -(1LL << 53)},
      {kNaN, type_float, std::nanf("")}, {"ab", type_bytes, CBytes{'a', 'b'}}, {2.5, type_int32, refused},
      {0.1, type_float, refused}, {(1LL << 53) + 1, type_double, refused},
      // The largest integer rounds up to a power of two that is out of its own range.
      {LLONG_MAX, type_double, refused}, {9223372036854775808.0, type_int64, refused}, {-1, type_uint32, refused},
      {-1.0, type_uint64, refused}, {3000000000U, type_int32, refused}, {kInf, type_int64, refused},
      {kNaN, type_int32, refused}, {1e300, type_float, refused}, {true, type_int32, refused},
      {"5", type_int32, refused}, {5, type_none, refused}, {5, 42, refused}, {CValue(), type_int32, refused},
  };
  for (const auto& c : cases) {
    const auto out = c.from.convert_lossless(c.to);
    EXPECT_EQ(out ? *out : refused, c.expected) << c.from.as_string() << " to " << type_name(c.to);
  }
}

}  // namespace
