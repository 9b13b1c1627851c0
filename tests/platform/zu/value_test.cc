#include "zu/CValue.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

using zu::CBytes;
using zu::CTimestamp;
using zu::CValue;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// One value of every alternative, in alternative order.
std::vector<CValue> one_of_each() {
  return {CValue(),          CValue(true),        CValue(-7),
          CValue(-7LL),      CValue(7U),          CValue(7ULL),
          CValue(1.5F),      CValue(1.5),         CValue(CTimestamp{10, 5}),
          CValue("text"),    CValue(CBytes{1, 2})};
}

TEST(CValueTest, AlternativesStandInTheFrameworkOrderWithTheirTypeCodes) {
  const auto values = one_of_each();
  const std::uint8_t codes[] = {255, zu::type_bool, zu::type_int32, zu::type_int64, zu::type_uint32, zu::type_uint64,
                                zu::type_float, zu::type_double, zu::type_timestamp, zu::type_string, zu::type_bytes};
  for (std::size_t i = 0; i < values.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(values[i].index(), i);
    EXPECT_EQ(values[i].is_valid(), i != 0);
    EXPECT_EQ(values[i].type(), codes[i]);
  }

  // zero_of gives the alternative of each code, and nothing for any other code.
  for (std::uint8_t t = 0; t <= zu::type_bytes; ++t) {
    EXPECT_EQ(CValue::zero_of(t).type(), t) << zu::type_name(t);
  }
  EXPECT_FALSE(CValue::zero_of(10).is_valid());
  EXPECT_FALSE(CValue::zero_of(zu::type_none).is_valid());
  // The invalid value and bytes read as zero, false and empty.
  EXPECT_FALSE(CValue().as_bool() || CValue().as_int32() || CValue().as_uint64() || CValue().as_double());
  EXPECT_EQ(CValue().as_timestamp(), CTimestamp{});
  EXPECT_TRUE(CValue().as_bytes().empty());
  EXPECT_EQ(CValue(CBytes{1}).as_int32(), 0);
  EXPECT_STREQ(zu::type_name(zu::type_int32), "int32");
  EXPECT_STREQ(zu::type_name(200), "none");
}

TEST(CValueTest, NumbersConvertWithSaturationAtTheTargetBounds) {
  EXPECT_EQ(CValue(3.9).as_int32(), 3);
  EXPECT_EQ(CValue(-3.9).as_int32(), -3);
  EXPECT_EQ(CValue(1e20).as_int32(), INT_MAX);
  EXPECT_EQ(CValue(-1e20).as_int32(), INT_MIN);
  EXPECT_EQ(CValue(1e30).as_int64(), LLONG_MAX);
  EXPECT_EQ(CValue(1e30F).as_uint64(), ULLONG_MAX);
  EXPECT_EQ(CValue(-0.5).as_uint32(), 0U);
  EXPECT_EQ(CValue(kNaN).as_int64(), 0);
  EXPECT_EQ(CValue(-kInf).as_int32(), INT_MIN);

  EXPECT_EQ(CValue(5000000000LL).as_int32(), INT_MAX);
  EXPECT_EQ(CValue(-5000000000LL).as_int32(), INT_MIN);
  EXPECT_EQ(CValue(-5000000000LL).as_uint64(), 0U);
  EXPECT_EQ(CValue(-1).as_uint32(), 0U);
  EXPECT_EQ(CValue(3000000000U).as_int32(), INT_MAX);
  EXPECT_EQ(CValue(ULLONG_MAX).as_int64(), LLONG_MAX);
  EXPECT_EQ(CValue(ULLONG_MAX).as_uint32(), UINT_MAX);
  EXPECT_EQ(CValue(INT_MIN).as_int64(), INT_MIN);

  // A double beyond float's range saturates like the integers do; infinities stay.
  EXPECT_EQ(CValue(1e300).as_float(), FLT_MAX);
  EXPECT_EQ(CValue(-1e300).as_float(), -FLT_MAX);
  EXPECT_EQ(CValue(kInf).as_float(), std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(CValue(kNaN).as_float()));

  EXPECT_TRUE(CValue(0.5).as_bool());
  EXPECT_FALSE(CValue(0.0).as_bool());
  EXPECT_TRUE(CValue(-1).as_bool());
  EXPECT_EQ(CValue(true).as_int32(), 1);
  EXPECT_EQ(CValue(true).as_double(), 1.0);
}

TEST(CValueTest, TextReadsAsANumberOnlyWhenTheWholeTextIsOne) {
  EXPECT_EQ(CValue("42").as_int32(), 42);
  EXPECT_EQ(CValue("-42").as_int64(), -42);
  EXPECT_EQ(CValue("2.5").as_double(), 2.5);
  EXPECT_EQ(CValue("2.5").as_float(), 2.5F);
  EXPECT_EQ(CValue("4294967295").as_uint32(), 4294967295U);
  EXPECT_EQ(CValue("18446744073709551615").as_uint64(), ULLONG_MAX);

  // Out of range: saturated, as numbers are, whatever the target's width.
  EXPECT_EQ(CValue("99999999999").as_int32(), INT_MAX);
  EXPECT_EQ(CValue("99999999999999999999").as_int64(), LLONG_MAX);
  EXPECT_EQ(CValue("-99999999999999999999").as_int64(), LLONG_MIN);
  EXPECT_EQ(CValue("99999999999999999999").as_uint64(), ULLONG_MAX);

  // Not a number: zero, never a partial or wrapped reading.
  for (const char* bad : {"", "12abc", "abc", "1e3", "5 ", " 5", " -5", "-5", "\t7", "0x10"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(CValue(bad).as_uint64(), 0U);
    EXPECT_EQ(CValue(bad).as_uint32(), 0U);
  }
  for (const char* bad : {"", "12abc", "1.5", " 5", "5 "}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(CValue(bad).as_int32(), 0);
  }
  EXPECT_EQ(CValue("2.5x").as_double(), 0.0);
  EXPECT_EQ(CValue(" 2.5").as_double(), 0.0);

  EXPECT_TRUE(CValue("true").as_bool());
  EXPECT_FALSE(CValue("false").as_bool());
  EXPECT_TRUE(CValue("3").as_bool());
  EXPECT_FALSE(CValue("0").as_bool());
  EXPECT_FALSE(CValue("yes").as_bool());
}

TEST(CValueTest, ValuesPrintAsTextThatReadsBack) {
  EXPECT_EQ(CValue(42).as_string(), "42");
  EXPECT_EQ(CValue(-5000000000LL).as_string(), "-5000000000");
  EXPECT_EQ(CValue(ULLONG_MAX).as_string(), "18446744073709551615");
  EXPECT_EQ(CValue(true).as_string(), "true");
  EXPECT_EQ(CValue(0.1).as_string(), "0.1");
  EXPECT_EQ(CValue(0.1F).as_string(), "0.1");
  EXPECT_EQ(CValue(kNaN).as_string(), "nan");
  EXPECT_EQ(CValue(-kInf).as_string(), "-inf");
  EXPECT_EQ(CValue(CTimestamp{12, 5}).as_string(), "12.000000005");
  EXPECT_EQ(CValue(CBytes{'h', 'i'}).as_string(), "hi");
  EXPECT_EQ(CValue().as_string(), "");
  for (double d : {1.0 / 3.0, 1e-300, 123456789.123456789, -2.5e17}) {
    EXPECT_EQ(CValue(CValue(d).as_string()).as_double(), d);
  }
  const float f = 1.0F / 3.0F;
  EXPECT_EQ(CValue(CValue(f).as_string()).as_float(), f);

  EXPECT_EQ(CValue("ab").as_bytes(), (CBytes{'a', 'b'}));
  EXPECT_TRUE(CValue(5).as_bytes().empty());
}

TEST(CValueTest, TimestampsConvertToAndFromSecondsAndStayNormalised) {
  EXPECT_EQ(CValue(CTimestamp{5, 500000000}).as_double(), 5.5);
  EXPECT_EQ(CValue(CTimestamp{5, 500000000}).as_int32(), 5);
  EXPECT_TRUE(CValue(CTimestamp{0, 1}).as_bool());
  EXPECT_EQ(CValue(-1.5).as_timestamp(), (CTimestamp{-2, 500000000}));
  EXPECT_EQ(CValue(7).as_timestamp(), (CTimestamp{7, 0}));
  EXPECT_EQ(CValue("7").as_timestamp(), CTimestamp{});

  // Nanoseconds stay below one second, and non-finite seconds read without UB.
  for (double d : {std::nextafter(1.0, 0.0), std::nextafter(-1.0, -2.0), 1e300, kNaN, kInf, -kInf}) {
    SCOPED_TRACE(d);
    EXPECT_LT(CValue(d).as_timestamp().nanoseconds, 1000000000U);
  }
  EXPECT_EQ(CValue(kNaN).as_timestamp(), CTimestamp{});
  EXPECT_EQ(CValue(kInf).as_timestamp().seconds, LLONG_MAX);
}

TEST(CValueTest, LessIsAStrictWeakOrderAcrossAlternativesIncludingNaN) {
  std::vector<CValue> sample = one_of_each();
  for (double d : {kNaN, -kInf, kInf, -0.0, 0.0, -1.0, 1e300}) sample.emplace_back(d);
  for (float f : {std::numeric_limits<float>::quiet_NaN(), -1.0F, 0.0F}) sample.emplace_back(f);
  for (int i : {INT_MIN, 0, INT_MAX}) sample.emplace_back(i);
  sample.emplace_back(false);
  sample.emplace_back(ULLONG_MAX);
  sample.emplace_back(CTimestamp{10, 4});
  sample.emplace_back(CTimestamp{-1, 999999999});
  sample.emplace_back("");
  sample.emplace_back("textx");
  sample.emplace_back(CBytes{});
  sample.emplace_back(CBytes{1, 2, 0});

  const auto equiv = [](const CValue& a, const CValue& b) { return !(a < b) && !(b < a); };
  for (const auto& a : sample) {
    EXPECT_FALSE(a < a) << a.as_string();
    for (const auto& b : sample) {
      EXPECT_FALSE(a < b && b < a) << a.as_string() << " / " << b.as_string();
      EXPECT_EQ(equiv(a, b), a == b) << a.as_string() << " / " << b.as_string();
      for (const auto& c : sample) {
        if (a < b && b < c) {
          EXPECT_TRUE(a < c) << a.as_string() << " < " << b.as_string() << " < " << c.as_string();
        }
        if (equiv(a, b) && equiv(b, c)) {
          EXPECT_TRUE(equiv(a, c));
        }
      }
    }
  }

  // Different alternatives order by alternative, whatever their content.
  EXPECT_TRUE(CValue() < CValue(false));
  EXPECT_TRUE(CValue(true) < CValue(INT_MIN));
  EXPECT_TRUE(CValue(INT_MAX) < CValue(LLONG_MIN));
  EXPECT_TRUE(CValue(1e300) < CValue(CTimestamp{-5, 0}));
  EXPECT_TRUE(CValue("zzz") < CValue(CBytes{}));
  // NaN sorts after every number and equals itself.
  EXPECT_TRUE(CValue(kInf) < CValue(kNaN));
  EXPECT_EQ(CValue(kNaN), CValue(kNaN));
  EXPECT_NE(CValue(1), CValue(1LL));

  // So values key ordered and hashed containers, NaN included.
  std::map<CValue, int> by_value;
  by_value[CValue(kNaN)] = 1;
  by_value[CValue(kNaN)] = 2;
  by_value[CValue(1.0)] = 3;
  EXPECT_EQ(by_value.size(), 2U);
  EXPECT_EQ(by_value.rbegin()->second, 2);
  const std::unordered_set<CValue> hashed(sample.begin(), sample.end());
  for (const auto& v : sample) EXPECT_EQ(hashed.count(v), 1U) << v.as_string();
  EXPECT_EQ(std::hash<CValue>()(CValue(0.0)), std::hash<CValue>()(CValue(-0.0)));
}

TEST(CValueTest, LosslessConversionAcceptsExactValuesAndRefusesTheRest) {
  auto five = CValue(5).convert_lossless(zu::type_float);
  ASSERT_TRUE(five);
  EXPECT_EQ(*five, CValue(5.0F));
  EXPECT_EQ(*CValue(2.0).convert_lossless(zu::type_int32), CValue(2));
  EXPECT_EQ(*CValue(2.5F).convert_lossless(zu::type_double), CValue(2.5));
  EXPECT_EQ(*CValue(3000000000U).convert_lossless(zu::type_int64), CValue(3000000000LL));
  EXPECT_EQ(*CValue(-3).convert_lossless(zu::type_int64), CValue(-3LL));
  EXPECT_EQ(*CValue(1LL << 53).convert_lossless(zu::type_double), CValue(9007199254740992.0));
  EXPECT_EQ(*CValue(-9007199254740992.0).convert_lossless(zu::type_int64), CValue(-(1LL << 53)));
  EXPECT_EQ(*CValue(kNaN).convert_lossless(zu::type_float), CValue(std::numeric_limits<float>::quiet_NaN()));
  EXPECT_EQ(*CValue("ab").convert_lossless(zu::type_bytes), CValue(CBytes{'a', 'b'}));

  EXPECT_FALSE(CValue(2.5).convert_lossless(zu::type_int32));
  EXPECT_FALSE(CValue(0.1).convert_lossless(zu::type_float));
  EXPECT_FALSE(CValue((1LL << 53) + 1).convert_lossless(zu::type_double));
  EXPECT_FALSE(CValue(16777217).convert_lossless(zu::type_float));
  // The largest integers round up to a power of two that is out of their own range.
  EXPECT_FALSE(CValue(LLONG_MAX).convert_lossless(zu::type_double));
  EXPECT_FALSE(CValue(ULLONG_MAX).convert_lossless(zu::type_double));
  EXPECT_FALSE(CValue(9223372036854775808.0).convert_lossless(zu::type_int64));
  EXPECT_FALSE(CValue(-1).convert_lossless(zu::type_uint32));
  EXPECT_FALSE(CValue(-1LL).convert_lossless(zu::type_uint64));
  EXPECT_FALSE(CValue(-1.0).convert_lossless(zu::type_uint64));
  EXPECT_FALSE(CValue(3000000000U).convert_lossless(zu::type_int32));
  EXPECT_FALSE(CValue(5000000000LL).convert_lossless(zu::type_uint32));
  EXPECT_FALSE(CValue(kInf).convert_lossless(zu::type_int64));
  EXPECT_FALSE(CValue(kNaN).convert_lossless(zu::type_int32));
  EXPECT_FALSE(CValue(1e300).convert_lossless(zu::type_float));
  EXPECT_FALSE(CValue(true).convert_lossless(zu::type_int32));
  EXPECT_FALSE(CValue(1).convert_lossless(zu::type_bool));
  EXPECT_FALSE(CValue("5").convert_lossless(zu::type_int32));
  EXPECT_FALSE(CValue(5).convert_lossless(zu::type_string));
  EXPECT_FALSE(CValue(5).convert_lossless(zu::type_none));
  EXPECT_FALSE(CValue(5).convert_lossless(42));
  EXPECT_FALSE(CValue().convert_lossless(zu::type_int32));
}

}  // namespace
