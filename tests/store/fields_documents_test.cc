// Named fields of devices and documents, and the out-of-band documents
// themselves: reads by exact path, whole replacement, the checks that refuse
// a write, and answers cut at the frame limit.
#include <cmath>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "store_fixture.h"

namespace cds::store::testing {
namespace {

zu::cds::CSingleField field(std::uint32_t kind, std::uint64_t id, const std::string& name,
                            const std::string& scope = "", zu::CValue value = zu::CValue()) {
  return {kind, name, std::move(value), 0, id, scope};
}

class FieldTest : public StoreTest {
 protected:
  FieldTest() { add_device(1, 20); }

  std::shared_ptr<zu::cds::CSetFieldValue> set(std::vector<zu::cds::CSingleField> fields) {
    return ask_with<zu::cds::CSetFieldValue>([&](auto& r) { r.fields.insert(fields.begin(), fields.end()); });
  }
  zu::CValue get(const zu::cds::CSingleField& f) {
    auto r = ask_with<zu::cds::CGetFieldValue>([&](auto& request) { request.fields = {f}; });
    EXPECT_EQ(r->status, 1u);
    return r->fields.size() == 1 ? r->fields.begin()->value : zu::CValue("no single answer");
  }
};

TEST_F(FieldTest, AttributeKeysWriteIdentityAttributesOtherKeysExtraFieldsAndScopesAreKeptApart) {
  auto r = set({field(1, 20, "vendor", "", zu::CValue("Acme")), field(1, 20, "temperature", "", zu::CValue(21.5)),
                field(3, 20, "max", "limits", zu::CValue(30)), field(3, 20, "max", "alarms", zu::CValue("high"))});
  ASSERT_EQ(r->status, 1u) << r->message;
  EXPECT_EQ(*device(20).attribute(zu::device_attribute_number("vendor")), "Acme");
  EXPECT_EQ(changes_.back().device_records_changed, (std::set<std::uint64_t>{20}));

  const std::vector<std::pair<zu::cds::CSingleField, zu::CValue>> reads = {
      {field(1, 20, "vendor"), zu::CValue("Acme")},
      {field(1, 20, "serial"), zu::CValue("")},  // an attribute always has a text
      {field(1, 20, "temperature"), zu::CValue(21.5)},
      {field(3, 20, "max", "limits"), zu::CValue(30)},
      {field(3, 20, "max", "alarms"), zu::CValue("high")},
      {field(1, 20, "max"), zu::CValue()},
  };
  for (const auto& [f, value] : reads) EXPECT_EQ(get(f), value) << f.name << " in '" << f.scope << "'";

  ASSERT_EQ(set({field(1, 20, "asset_id", "", zu::CValue(42))})->status, 1u);
  EXPECT_EQ(*device(20).attribute(11), "42");
  EXPECT_EQ(set({field(1, 20, "asset_id", "", zu::CValue(zu::CBytes{1, 0, 2}))})->status, 2u);
  EXPECT_EQ(*device(20).attribute(11), "42");
}

TEST_F(FieldTest, RefusedFieldsComeBackWithoutValueAndNothingIsWritten) {
  const std::vector<std::tuple<const char*, zu::cds::CSingleField, std::uint32_t>> cases = {
      {"unknown device", field(1, 404, "x", "", zu::CValue(1)), 2},
      {"kind 2", field(2, 404, "x", "", zu::CValue(1)), 2},
      {"document: no scope", field(4, 0, "hostname", "", zu::CValue("h")), 5},
      {"document: NUL in the path", field(4, 0, "hostname", std::string("sys\0tem", 7), zu::CValue("h")), 5},
      {"document: no name", field(4, 0, "", "system/network", zu::CValue("h")), 5},
      {"document: bytes", field(4, 0, "hostname", "system/network", zu::CValue(zu::CBytes{104})), 2},
      {"document: inexact integer", field(4, 0, "id", "system/network", zu::CValue((1ULL << 53) + 1)), 2},
      {"document: NaN", field(4, 0, "mtu", "system/network", zu::CValue(std::nan(""))), 2},
      {"document: text not UTF-8", field(4, 0, "hostname", "system/network", zu::CValue("\xff")), 2},
      {"document past the largest", field(4, 0, "big", "system/network", zu::CValue(std::string(4128768, 'x'))), 4},
      {"kind 0", field(0, 20, "x", "", zu::CValue(1)), 5},
      {"no name", field(1, 20, "", "", zu::CValue(1)), 5},
      {"scope missing", field(3, 20, "x", "", zu::CValue(1)), 5},
      {"no value", field(1, 20, "x"), 5},
  };
  for (const auto& [what, bad, status] : cases) {
    auto r = set({field(1, 20, "vendor", "", zu::CValue("Acme")),
                  field(4, 0, "domain", "system/network", zu::CValue("lan")), bad});
    EXPECT_EQ(r->status, status) << what;
    EXPECT_FALSE(r->message.empty()) << what;
    for (const auto& f : r->fields) EXPECT_FALSE(f.value.is_valid()) << what;
    EXPECT_EQ(*device(20).attribute(10), "") << what;
    EXPECT_EQ(document_json("system/network"), "") << what;
  }
}

// Reads answer each path exactly, in order, with its found flag; a write
// replaces whole documents, a field write keeps the other fields or creates
// the document, and document fields read back as values.
TEST_F(FieldTest, DocumentsAreReplacedWholeReadByExactPathAndTheirFieldsMapToValues) {
  ASSERT_EQ(set_documents({{"system/network", doc(R"({"hostname":"a","mtu":1500})")},
                           {"system", doc(R"({"zone":"eu"})")}})->status, 1u);
  const std::string network = R"({"hostname":"b"})";
  ASSERT_EQ(set_documents({{"system/network", doc(network)}})->status, 1u);
  auto r = get_documents({"system/network", "system/net", "system/network/", "system", "system/network"});
  EXPECT_EQ(r->status, 1u);
  ASSERT_EQ(r->results.size(), 5u);
  const std::vector<std::string> expected = {network, "", "", R"({"zone":"eu"})", network};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(r->results[i].path, r->paths[i]) << i;
    EXPECT_EQ(r->results[i].found, expected[i].empty() ? 0 : 1) << i;
    EXPECT_EQ(zu::Protobuf2JSON(r->results[i].data), expected[i].empty() ? "{}" : expected[i]) << i;
  }

  ASSERT_EQ(set_documents({{"system/network", doc(R"({"dns":{"servers":["a","b"]},"tags":[],"none":null})")}})->status,
            1u);
  ASSERT_EQ(set({field(4, 0, "hostname", "system/network", zu::CValue("h1")),
                 field(4, 0, "mtu", "system/network", zu::CValue(1500)),
                 field(4, 0, "dhcp", "system/network", zu::CValue(true)),
                 field(4, 0, "since", "system/clock", zu::CValue(-(1LL << 53)))})->status, 1u);
  EXPECT_TRUE(changes_.back().device_fields_written.empty());
  const std::vector<std::pair<const char*, zu::CValue>> cases = {
      {"hostname", zu::CValue("h1")}, {"mtu", zu::CValue(1500.0)},          {"dhcp", zu::CValue(true)},
      {"tags", zu::CValue("[]")},     {"dns", zu::CValue(R"({"servers":["a","b"]})")},
      {"none", zu::CValue()},         {"missing", zu::CValue()},
  };
  for (const auto& [name, value] : cases) EXPECT_EQ(get(field(4, 0, name, "system/network")), value) << name;
  EXPECT_EQ(get(field(4, 0, "since", "system/clock")), zu::CValue(-9007199254740992.0));
}

// A document whose encoded size is exactly `bytes` (at least 32): one text field "t".
zu::proto::toolkitStruct sized_doc(std::size_t bytes) {
  zu::proto::toolkitStruct d;
  std::string& text = *(*d.mutable_fields())["t"].mutable_string_value();
  text.assign(bytes, 'x');
  text.resize(text.size() - (d.ByteSizeLong() - bytes));  // less the encoding around the text
  return d;
}

using DocumentTest = StoreTest;

TEST_F(DocumentTest, ARefusedWriteStoresNoneOfItsDocumentsAndTheLargestReadsBack) {
  std::vector<std::tuple<const char*, std::string, zu::proto::toolkitStruct, std::uint32_t>> cases = {
      {"empty path", "", doc("{}"), 5},
      {"NUL in the path", std::string("a\0b", 3), doc("{}"), 5},
      {"path past the longest", std::string(1025, 'p'), doc("{}"), 5},
      {"text that is not UTF-8", "bad", doc("{}"), 5},
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
}

}  // namespace
}  // namespace cds::store::testing
