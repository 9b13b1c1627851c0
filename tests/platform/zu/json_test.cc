#include "zu/JSON2Protobuf.h"

#include <gtest/gtest.h>

#include <google/protobuf/util/message_differencer.h>

#include <memory>
#include <string>
#include <vector>

#include "zu/proto/zu.pb.h"

namespace gp = google::protobuf;
using Messages = std::vector<std::shared_ptr<gp::Message>>;
using zu::proto::toolkitStruct;
using zu::proto::toolkitValue;

namespace {

const toolkitStruct& doc(const Messages& m, std::size_t i) {
  auto* d = dynamic_cast<const toolkitStruct*>(m.at(i).get());
  EXPECT_NE(d, nullptr);
  return *d;
}

TEST(JsonTest, AnArrayOfObjectsAppendsOneDocumentPerElement) {
  Messages out{std::make_shared<toolkitStruct>()};
  ASSERT_EQ(zu::JSON2Protobuf(R"([{"a": 1}, {"a": 2}, {}])", out), "");
  ASSERT_EQ(out.size(), 4U);
  EXPECT_EQ(doc(out, 1).fields().at("a").number_value(), 1.0);
  EXPECT_EQ(doc(out, 2).fields().at("a").number_value(), 2.0);
  EXPECT_EQ(doc(out, 3).fields_size(), 0);

  ASSERT_EQ(zu::JSON2Protobuf("[]", out), "");
  EXPECT_EQ(out.size(), 4U);
}

TEST(JsonTest, BadInputGivesAnErrorAndAppendsNothing) {
  const auto sentinel = std::make_shared<toolkitStruct>();
  const std::string deep(100000, '[');
  for (const std::string& bad :
       {std::string(""), std::string("{"), std::string("{\"a\": }"),
        std::string("42"), std::string("\"text\""), std::string("null"), std::string("[1, 2]"),
        std::string(R"([{"a": 1}, 3])"), std::string(R"({"a": 1} trailing)"), std::string("\xff\xfe"),
        deep, "{\"a\":" + deep}) {
    SCOPED_TRACE(bad.substr(0, 40));
    Messages out{sentinel};
    std::string error;
    EXPECT_NO_THROW(error = zu::JSON2Protobuf(bad, out));
    EXPECT_FALSE(error.empty());
    ASSERT_EQ(out.size(), 1U);
    EXPECT_EQ(out[0], sentinel);
  }
}

// Text as a user writes it reads as the document, which prints back to text
// that reads as the same document.
TEST(JsonTest, AnObjectReadsAsOneDocumentThatRoundTripsThroughJsonText) {
  toolkitStruct d;
  auto& f = *d.mutable_fields();
  f["number"].set_number_value(12345678901234567890.0);
  f["text"].set_string_value("quote \" and \xc3\xa9");
  f["flag"].set_bool_value(false);
  f["nothing"].set_null_value(zu::proto::NULL_VALUE);
  f["empty_list"].mutable_list_value();
  f["empty_object"].mutable_struct_value();
  auto& list = *f["list"].mutable_list_value();
  list.add_values()->set_number_value(-0.125);
  list.add_values()->mutable_list_value()->add_values()->set_string_value("inner");
  (*list.add_values()->mutable_struct_value()->mutable_fields())["k"].set_bool_value(true);

  Messages out;
  ASSERT_EQ(zu::JSON2Protobuf(R"({"number": 12345678901234567890, "text": "quote \" and é", "flag": false,
      "nothing": null, "empty_list": [], "empty_object": {}, "list": [-0.125, ["inner"], {"k": true}]})", out), "");
  const std::string json = zu::Protobuf2JSON(d);
  ASSERT_EQ(zu::JSON2Protobuf(json, out), "") << json;
  ASSERT_EQ(out.size(), 2U);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(gp::util::MessageDifferencer::Equals(doc(out, i), d)) << json << "\n" << out[i]->DebugString();
  }
  EXPECT_EQ(zu::Protobuf2JSON(toolkitStruct()), "{}");
}

}  // namespace
