#include "tova/common/BinderDb.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using tova::common::BinderClientsList;
using tova::common::BinderDb;
using tova::common::Uuid;

const Uuid kA("11111111-2222-4333-8444-555555555555");
const Uuid kB("aaaaaaaa-bbbb-4ccc-9ddd-eeeeeeeeeeee");

TEST(BinderDbTest, EncodesAsDocumentedAndDecodesEitherForm) {
  std::string uuids = "stale", intfs = "stale";
  BinderDb::serializeClientsList({{kA, "eth0"}, {kB, "a,b%c\n"}}, uuids, intfs);
  EXPECT_EQ(uuids, kA.to_string() + "," + kB.to_string());
  EXPECT_EQ(intfs, "eth0,a%2Cb%25c%0A");

  BinderClientsList out;
  BinderDb::deserializeClientList("1111111122224333844455555555555A", "x%2cy", out);
  EXPECT_EQ(out, (BinderClientsList{{Uuid("11111111-2222-4333-8444-55555555555a"), "x,y"}}));
}

TEST(BinderDbTest, ListsRoundTripExactlyInPrintableText) {
  const BinderClientsList lists[] = {
      {},
      {{kA, ""}},  // one empty name: "" like the empty list, told apart by the UUIDs
      {{kA, "eth0"}, {kB, ""}, {kA, "eth0"}, {kB, ",,,"}, {kA, "%2C literally"},
       {kB, "back\\slash and \"quotes\""}, {kA, std::string("nul\0byte\x7f\xff", 10)},
       {kB, "Schnittstelle \xc3\xbc\tline\r\nbreak"}, {kA, "%"}, {kB, ""}},
  };
  for (const BinderClientsList& list : lists) {
    std::string uuids;
    std::string intfs;
    BinderDb::serializeClientsList(list, uuids, intfs);
    for (char c : intfs) EXPECT_TRUE(c >= 0x20 && c <= 0x7e) << "unprintable byte " << static_cast<int>(c);
    BinderClientsList back{{Uuid::generate(), "stale"}};
    BinderDb::deserializeClientList(uuids, intfs, back);
    EXPECT_EQ(back, list) << intfs;
  }
}

TEST(BinderDbTest, MalformedTextThrowsAndLeavesTheListAlone) {
  const std::string two = kA.to_string() + "," + kB.to_string();
  struct Case {
    std::string uuids;
    std::string intfs;
  } const cases[] = {
      {kA.to_string(), "a,b"},  // more names than UUIDs
      {two, "a"},               // fewer names than UUIDs
      {"", "a"},
      {kA.to_string() + ",", "a,b"},  // empty UUID field
      {"not-a-uuid", "a"},
      {kA.to_string(), "%G1"},
      {kA.to_string(), "%4"},
      {kA.to_string(), "abc%"},
  };
  const BinderClientsList before = {{kB, "keep me"}};
  for (const Case& c : cases) {
    BinderClientsList out = before;
    EXPECT_THROW(BinderDb::deserializeClientList(c.uuids, c.intfs, out), std::invalid_argument)
        << c.uuids << " / " << c.intfs;
    EXPECT_EQ(out, before);
  }
}

}  // namespace
