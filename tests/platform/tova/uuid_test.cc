#include "tova/common/Uuid.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <unordered_set>
#include <vector>

using tova::common::Uuid;

namespace {

const char* const kCanonical = "0123abcd-4567-89ef-0a1b-2c3d4e5f6071";

TEST(UuidTest, BothTextFormsInAnyCaseParseToTheSameValue) {
  const Uuid canonical(kCanonical);
  for (const char* text : {"0123ABCD-4567-89EF-0A1B-2C3D4E5F6071", "0123abcd456789ef0a1b2c3d4e5f6071",
                           "0123ABcd456789Ef0A1b2c3d4e5f6071"}) {
    EXPECT_EQ(Uuid(text), canonical) << text;
    EXPECT_EQ(Uuid(std::string(text)), canonical) << text;
  }
  EXPECT_EQ(canonical.to_string(), kCanonical);
  EXPECT_EQ(canonical.to_hex(), "0123abcd456789ef0a1b2c3d4e5f6071");
  EXPECT_EQ(canonical.bytes()[0], 0x01);
  EXPECT_EQ(canonical.bytes()[15], 0x71);
  EXPECT_EQ(Uuid::fromBytes(canonical.bytes().data(), 16), canonical);
}

TEST(UuidTest, RejectsEverythingElse) {
  const std::vector<std::string> bad = {
      "",
      "0123abcd-4567-89ef-0a1b-2c3d4e5f607",    // 35 characters
      "0123abcd-4567-89ef-0a1b-2c3d4e5f607g",   // non-hex digit
      "0123abcd4-567-89ef-0a1b-2c3d4e5f6071",   // dash moved
      "0123abcd-4567-89ef-0a1b_2c3d4e5f6071",   // wrong separator
      "{0123abcd-4567-89ef-0a1b-2c3d4e5f6071}",
      std::string("0123abcd456789ef\0" "a1b2c3d4e5f6071", 32),
      std::string(100000, 'a'),
  };
  for (const std::string& text : bad) {
    EXPECT_THROW(Uuid{text}, std::invalid_argument) << text.substr(0, 40);
  }
  EXPECT_THROW(Uuid(static_cast<const char*>(nullptr)), std::invalid_argument);
  const Uuid some(kCanonical);
  for (std::size_t size : {15, 17}) EXPECT_THROW(Uuid::fromBytes(some.bytes().data(), size), std::invalid_argument);
  EXPECT_THROW(Uuid::fromBytes(nullptr, 16), std::invalid_argument);
}

TEST(UuidTest, NilOrderAndHashFollowTheValue) {
  EXPECT_TRUE(Uuid().isNil());
  EXPECT_EQ(Uuid::NIL.to_string(), "00000000-0000-0000-0000-000000000000");
  EXPECT_FALSE(Uuid("00000000-0000-0000-0000-000000000001").isNil());
  EXPECT_FALSE(Uuid("80000000-0000-0000-0000-000000000000").isNil());
  const Uuid low("00000000-0000-0000-0000-0000000000ff");
  const Uuid mid("00000000-0000-0000-0000-000000000100");
  const Uuid high("ff000000-0000-0000-0000-000000000000");
  EXPECT_TRUE(low < mid && mid < high && !(high < low));
  std::unordered_set<Uuid> set{low, mid, high, Uuid(low.to_hex())};
  EXPECT_EQ(set.size(), 3u);
  EXPECT_EQ(set.count(Uuid("00000000-0000-0000-0000-0000000000FF")), 1u);
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

}  // namespace
