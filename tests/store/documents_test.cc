// Out-of-band documents: reads by exact path, whole replacement, the checks
// that refuse a write, and answers cut at the frame limit.
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "store_fixture.h"

namespace cds::store::testing {
namespace {

using DocumentTest = StoreTest;

// A document whose encoded size is exactly `bytes` (at least 32): one text field "t".
zu::proto::toolkitStruct sized_doc(std::size_t bytes) {
  zu::proto::toolkitStruct d;
  std::string& text = *(*d.mutable_fields())["t"].mutable_string_value();
  text.assign(bytes, 'x');
  text.resize(text.size() - (d.ByteSizeLong() - bytes));  // less the encoding around the text
  return d;
}

TEST_F(DocumentTest, ReadsAnswerEachPathInOrderWithItsFoundFlagAndWritesReplaceWholeDocuments) {
  ASSERT_EQ(set_documents({{"system/network", doc(R"({"hostname":"a","mtu":1500})")},
                           {"system", doc(R"({"zone":"eu"})")}})->status, 1u);
  ASSERT_EQ(set_documents({{"system/network", doc(R"({"hostname":"b"})")}})->status, 1u);
  EXPECT_EQ(changes_.back().oob_paths_written, (std::set<std::string>{"system/network"}));

  auto r = get_documents({"system/network", "system/net", "system/network/", "system", "system/network"});
  EXPECT_EQ(r->status, 1u);
  ASSERT_EQ(r->results.size(), 5u);
  const std::vector<std::string> expected = {R"({"hostname":"b"})", "", "", R"({"zone":"eu"})", R"({"hostname":"b"})"};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(r->results[i].path, r->paths[i]) << i;
    EXPECT_EQ(r->results[i].found, expected[i].empty() ? 0 : 1) << i;
    EXPECT_EQ(zu::Protobuf2JSON(r->results[i].data), expected[i].empty() ? "{}" : expected[i]) << i;
  }
}

TEST_F(DocumentTest, ARefusedWriteStoresNoneOfItsDocumentsAndTheLargestReadsBackButNotTwiceInOneAnswer) {
  zu::proto::toolkitStruct deep;
  zu::proto::toolkitStruct* level = &deep;
  for (int i = 0; i < 150; ++i) level = (*level->mutable_fields())["in"].mutable_struct_value();
  std::vector<std::tuple<const char*, std::string, zu::proto::toolkitStruct, std::uint32_t>> cases = {
      {"empty path", "", doc("{}"), 5},
      {"NUL in the path", std::string("a\0b", 3), doc("{}"), 5},
      {"path past the longest", std::string(1025, 'p'), doc("{}"), 5},
      {"text that is not UTF-8", "bad", doc("{}"), 5},
      {"nested too deeply", "deep", deep, 5},
      {"document past the largest", "big", sized_doc(4128769), 4},
  };
  (*std::get<2>(cases[3]).mutable_fields())["t"].set_string_value("\xff");
  for (const auto& [what, path, data, status] : cases) {
    auto r = set_documents({{"kept", doc(R"({"v":1})")}, {path, data}});
    EXPECT_EQ(r->status, status) << what;
    EXPECT_FALSE(r->message.empty()) << what;
    EXPECT_EQ(document_json("kept"), "") << what;
    EXPECT_EQ(document_json(path), "") << what;
  }
  EXPECT_TRUE(changes_.empty());

  const std::string longest(1024, 'p');
  ASSERT_EQ(set_documents({{longest, sized_doc(4128768)}})->status, 1u);
  auto r = get_documents({longest});
  EXPECT_EQ(r->status, 1u) << r->message;
  ASSERT_EQ(r->results.size(), 1u);
  EXPECT_EQ(r->results[0].data.ByteSizeLong(), 4128768u);

  // Twice does not fit one frame: the answer holds what fits, in order, and is flagged.
  r = get_documents({"missing", longest, longest});
  EXPECT_EQ(r->status, 4u);
  EXPECT_FALSE(r->message.empty());
  ASSERT_EQ(r->results.size(), 2u);
  EXPECT_EQ(r->results[0].found, 0);
  EXPECT_EQ(r->results[1].path, longest);
  EXPECT_EQ(r->results[1].found, 1);
}

}  // namespace
}  // namespace cds::store::testing
