// tova::common: UUIDs, and the binder's client lists kept as text.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "tova/common/BinderDb.h"
#include "tova/common/Uuid.h"

namespace {

using tova::common::BinderClientsList;
using tova::common::BinderDb;
using tova::common::Uuid;

const char* const kCanonical = "0123abcd-4567-89ef-0a1b-2c3d4e5f6071";
const Uuid kA("11111111-2222-4333-8444-555555555555");
const Uuid kB("aaaaaaaa-bbbb-4ccc-9ddd-eeeeeeeeeeee");

// Both text forms in any case parse to the same value; nil, order and hash follow the bytes.
TEST(UuidTest, TextFormsBytesNilOrderAndHashAgreeOnTheValue) {
  const Uuid canonical(kCanonical);
  for (const char* text : {"0123ABCD-4567-89EF-0A1B-2C3D4E5F6071", "0123ABcd456789Ef0A1b2c3d4e5f6071"}) {
    EXPECT_EQ(Uuid(text), canonical) << text;
  }
  EXPECT_EQ(canonical.to_string(), kCanonical);
  EXPECT_EQ(canonical.to_hex(), "0123abcd456789ef0a1b2c3d4e5f6071");
  EXPECT_EQ(canonical.bytes()[0], 0x01);
  EXPECT_EQ(canonical.bytes()[15], 0x71);
  EXPECT_EQ(Uuid::fromBytes(canonical.bytes().data(), 16), canonical);

  EXPECT_TRUE(Uuid().isNil());
  EXPECT_EQ(Uuid::NIL.to_string(), "00000000-0000-0000-0000-000000000000");
  EXPECT_FALSE(Uuid("80000000-0000-0000-0000-000000000000").isNil());
  const Uuid low("00000000-0000-0000-0000-0000000000ff");
  const Uuid mid("00000000-0000-0000-0000-000000000100");
  const Uuid high("ff000000-0000-0000-0000-000000000000");
  EXPECT_TRUE(low < mid && mid < high && !(high < low));
  std::unordered_set<Uuid> set{low, mid, high, Uuid(low.to_hex())};
  EXPECT_EQ(set.size(), 3u);
}

TEST(UuidTest, RejectsEverythingElse) {
  const std::vector<std::string> bad = {"", "{0123abcd-4567-89ef-0a1b-2c3d4e5f6071}",
                                        "0123abcd-4567-89ef-0a1b-2c3d4e5f607",   // 35 characters
                                        "0123abcd-4567-89ef-0a1b-2c3d4e5f607g",  // not hex
                                        "0123abcd4-567-89ef-0a1b-2c3d4e5f6071"}; // dash moved
  for (const std::string& text : bad) {
    EXPECT_THROW(Uuid{text}, std::invalid_argument) << text.substr(0, 40);
  }
  EXPECT_THROW(Uuid(static_cast<const char*>(nullptr)), std::invalid_argument);
  const Uuid some(kCanonical);
  for (std::size_t size : {15, 17}) EXPECT_THROW(Uuid::fromBytes(some.bytes().data(), size), std::invalid_argument);
  EXPECT_THROW(Uuid::fromBytes(nullptr, 16), std::invalid_argument);
}

TEST(UuidTest, GeneratedUuidsAreVersion4AndDistinctAcrossThreads) {
  std::set<Uuid> all;
  std::mutex mutex;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        const Uuid u = Uuid::generate();
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(u.version() == 4 && (u.bytes()[8] & 0xc0) == 0x80) << u;
        all.insert(u);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(all.size(), 2000u);
}

// Names are escaped so the two texts stay printable, comma separated lists;
// either case of an escape and of a compact UUID reads back.
TEST(BinderDbTest, ListsRoundTripExactlyInPrintableText) {
  std::string uuids = "stale", intfs = "stale";
  BinderDb::serializeClientsList({{kA, "eth0"}, {kB, "a,b%c\n"}}, uuids, intfs);
  EXPECT_EQ(uuids, kA.to_string() + "," + kB.to_string());
  EXPECT_EQ(intfs, "eth0,a%2Cb%25c%0A");
  BinderClientsList out;
  BinderDb::deserializeClientList("1111111122224333844455555555555A", "x%2cy", out);
  EXPECT_EQ(out, (BinderClientsList{{Uuid("11111111-2222-4333-8444-55555555555a"), "x,y"}}));

  const BinderClientsList lists[] = {
      {},
      {{kA, ""}},  // one empty name: "" like the empty list, told apart by the UUIDs
      {{kA, "eth0"}, {kB, ""}, {kA, "eth0"}, {kB, ",,,"}, {kA, "%2C literally"}, {kB, "%"},
       {kA, std::string("nul\0byte\x7f\xff\t\r", 12)}},
  };
  for (const BinderClientsList& list : lists) {
    BinderDb::serializeClientsList(list, uuids, intfs);
    for (char c : intfs) EXPECT_TRUE(c >= 0x20 && c <= 0x7e) << "unprintable byte " << static_cast<int>(c);
    BinderClientsList back{{Uuid::generate(), "stale"}};
    BinderDb::deserializeClientList(uuids, intfs, back);
    EXPECT_EQ(back, list) << intfs;
  }
}

TEST(BinderDbTest, MalformedTextThrowsAndLeavesTheListAlone) {
  const std::string a = kA.to_string();
  const std::pair<std::string, std::string> cases[] = {  // UUIDs, names
      {a, "a,b"}, {a + "," + kB.to_string(), "a"}, {"", "a"},  // more names than UUIDs, fewer
      {a + ",", "a,b"}, {"not-a-uuid", "a"},                   // an empty UUID, no UUID
      {a, "%G1"}, {a, "%4"}, {a, "abc%"}};
  const BinderClientsList before = {{kB, "keep me"}};
  for (const auto& c : cases) {
    BinderClientsList out = before;
    EXPECT_THROW(BinderDb::deserializeClientList(c.first, c.second, out), std::invalid_argument)
        << c.first << " / " << c.second;
    EXPECT_EQ(out, before);
  }
}

}  // namespace
