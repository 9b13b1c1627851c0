// The framework's types in its messages: devices, and JSON documents.
#include <gtest/gtest.h>

#include <google/protobuf/util/message_differencer.h>

#include <memory>
#include <string>
#include <vector>

#include "zu/CDevice.h"
#include "zu/JSON2Protobuf.h"
#include "zu/proto/zu.pb.h"

namespace gp = google::protobuf;
using Messages = std::vector<std::shared_ptr<gp::Message>>;
using zu::CDevice;
using zu::proto::toolkitStruct;

namespace {

// A device in full travels whole through the codec's tests; here the root's
// parent, told apart from an unknown one.
TEST(CDeviceTest, TheMessageTellsTheRootsParentFromAnUnknownOne) {
  CDevice d;
  d.parent_id = zu::kNoId;
  zu::proto::Device m;
  d.to(m, true, true);
  ASSERT_TRUE(CDevice(m).parent_id);
  EXPECT_EQ(*CDevice(m).parent_id, zu::kNoId);
  CDevice().to(m, true, true);  // reusing the message must not leave the previous parent behind
  EXPECT_FALSE(CDevice(m).parent_id);
}

TEST(CDeviceTest, EachAttributeNumberHasItsKeyAndTheMessageFieldOfThatName) {
  for (unsigned n = 1; n <= zu::kDeviceAttributeCount; ++n) {
    const char* key = zu::device_attribute_key(n);
    ASSERT_NE(key, nullptr) << n;
    EXPECT_EQ(zu::device_attribute_number(key), n) << key;
    CDevice one;
    *one.attribute(n) = "x";
    zu::proto::Device m;
    one.to(m, false, true);
    const auto* field = m.GetDescriptor()->FindFieldByName(key);
    ASSERT_NE(field, nullptr) << key;
    EXPECT_EQ(m.GetReflection()->GetString(m, field), "x") << key;
  }
  EXPECT_STREQ(zu::device_attribute_key(1), "family");
  EXPECT_STREQ(zu::device_attribute_key(15), "software_version");
  EXPECT_EQ(zu::device_attribute_key(0), nullptr);
  EXPECT_EQ(zu::device_attribute_key(16), nullptr);
  EXPECT_EQ(zu::device_attribute_number("Family"), 0U);
  CDevice d;
  EXPECT_EQ(d.attribute(0), nullptr);
  EXPECT_EQ(static_cast<const CDevice&>(d).attribute(16), nullptr);
}

const toolkitStruct& doc(const Messages& m, std::size_t i) {
  auto* d = dynamic_cast<const toolkitStruct*>(m.at(i).get());
  EXPECT_NE(d, nullptr);
  return *d;
}

// A document prints as text that reads back as the same document (what the
// store's tests do not print: big numbers, escapes, lists in lists, empty
// objects); an array appends one document per element.
TEST(JsonTest, DocumentsRoundTripThroughJsonTextAndAnArrayAppendsOneDocumentPerElement) {
  toolkitStruct d;
  auto& f = *d.mutable_fields();
  f["number"].set_number_value(12345678901234567890.0);
  f["text"].set_string_value("quote \" and \xc3\xa9");
  f["flag"].set_bool_value(false);
  f["nothing"].set_null_value(zu::proto::NULL_VALUE);
  f["empty_object"].mutable_struct_value();
  auto& list = *f["list"].mutable_list_value();
  list.add_values()->set_number_value(-0.125);
  list.add_values()->mutable_list_value()->add_values()->set_string_value("inner");
  (*list.add_values()->mutable_struct_value()->mutable_fields())["k"].set_bool_value(true);

  Messages out;
  const std::string json = zu::Protobuf2JSON(d);
  ASSERT_EQ(zu::JSON2Protobuf(json, out), "") << json;
  ASSERT_EQ(out.size(), 1U);
  EXPECT_TRUE(gp::util::MessageDifferencer::Equals(doc(out, 0), d)) << json << "\n" << out[0]->DebugString();

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
  const std::vector<std::string> bad = {"", "{", "{\"a\": }", "42", "\"text\"", "null", "[1, 2]", R"([{"a": 1}, 3])",
                                        R"({"a": 1} trailing)", "\xff\xfe", deep, "{\"a\":" + deep};
  for (const std::string& text : bad) {
    SCOPED_TRACE(text.substr(0, 40));
    Messages out{sentinel};
    std::string error;
    EXPECT_NO_THROW(error = zu::JSON2Protobuf(text, out));
    EXPECT_FALSE(error.empty());
    ASSERT_EQ(out.size(), 1U);
    EXPECT_EQ(out[0], sentinel);
  }
}

}  // namespace
