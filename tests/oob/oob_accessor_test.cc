// OobAccessor against a fresh store: field paths, documents and fields.
#include "cdsapi/OobAccessor.h"

#include "../inband/inband_fixture.h"

namespace inband_test {
namespace {

class OobTest : public InBandTest {
 protected:
  OobTest() {
    inband.createDevice(12, 1, true);
    inband.createDevice(26, 1, true);
    faults().clear_requests();
  }
  zu::cds::CSingleField Parse(std::vector<std::string> parts, unsigned count) { return oob.parse_path(parts, count); }

  cdsapi::OobAccessor oob{data};
};

TEST_F(OobTest, ParsePathTellsDeviceFieldsScopedFieldsAndDocumentFieldsApartAndTakesAValueFromASecondPart) {
  struct Case { std::string path; std::uint32_t kind; unsigned long long id; std::string name, scope; };
  const Case cases[] = {
      {"12/temperature", 1, 12, "temperature", ""},
      {"12/a/limits.max", 3, 12, "max", "limits"},  // middle segments are ignored
      {"12/limits.max.high", 3, 12, "max.high", "limits"},
      {"0x1A/x", 1, 26, "x", ""},  // strtoull base 0: hexadecimal (octal too)
      {"99/limits.max", 2, 99, "limits.max", ""},  // an unknown device keeps the whole last segment
      {"/x", 2, 0, "x", ""},                      // an empty first segment is device 0
      {"system/network/hostname", 4, 0, "hostname", "system/network"},
      {"12abc/limits.max", 4, 0, "limits.max", "12abc"},
      {std::string("12\0x/y", 6), 4, 0, "y", std::string("12\0x", 4)},
      {"temperature", 0, kNone, "", ""},  // no slash, the empty path too
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("path \"" + c.path + "\"");
    zu::cds::CSingleField f = Parse({c.path}, 1);
    EXPECT_EQ(f.field_kind, c.kind);
    EXPECT_EQ(f.id, c.id);
    EXPECT_EQ(f.name, c.name);
    EXPECT_EQ(f.scope, c.scope);
    EXPECT_FALSE(f.value.is_valid());
    EXPECT_EQ(f.value_kind, 0U);
  }
  // The value comes from a second part only; the device is judged by the answer.
  zu::cds::CSingleField f = Parse({"12/x", "21.5"}, 2);
  EXPECT_EQ(f.field_kind, 1U);
  EXPECT_EQ(f.value, zu::CValue(std::string("21.5")));
  EXPECT_EQ(Parse({"12/x", "a", "b"}, 3).field_kind, 0U);
  EXPECT_EQ(Parse({"12/x"}, 2).id, kNone);  // more wanted than given: nothing parsed
  faults().drop_response("CGetDevice");  // the device is taken for unknown
  EXPECT_EQ(Parse({"12/x"}, 1).field_kind, 2U);
}

TEST_F(OobTest, DocumentsNeedAJsonObjectFieldsAreTextsAndFailedReadsAreEmpty) {
  ASSERT_TRUE(oob.set("site/config", std::string(R"({"name":"Plant 7","limits":{"max":40}})")));
  EXPECT_EQ(oob.get("site/config").fields().at("limits").struct_value().fields().at("max").number_value(), 40);

  // The message form reads the path as a C string; the JSON form sends it whole.
  zu::proto::toolkitStruct replacement;
  (*replacement.mutable_fields())["name"].set_string_value("Plant 8");
  const std::string with_nul("site/a\0b", 8);
  ASSERT_TRUE(oob.set(with_nul, replacement));
  EXPECT_EQ(oob.get("site/a").fields().at("name").string_value(), "Plant 8");
  oob.set(with_nul, std::string("{}"));
  EXPECT_EQ(faults().last<zu::cds::CSetOOBData>()->units.at(0).path, with_nul);

  for (const char* json : {"", "{", "42", "[1,2]", "null"}) EXPECT_FALSE(oob.set("site/other", std::string(json))) << json;
  EXPECT_EQ(faults().count("CSetOOBData"), 3U);

  // A read that finds nothing or fails gives an empty document.
  EXPECT_EQ(oob.get("site/none").fields_size(), 0);
  UnderEachFailure("CGetOOBData", [&] { EXPECT_EQ(oob.get("site/config").fields_size(), 0); });

  // Fields of devices and documents are written and read as text.
  EXPECT_TRUE(oob.setField("12/serial", "SN-12"));
  EXPECT_EQ(oob.getField("0xC/serial"), "SN-12");
  EXPECT_TRUE(oob.setField("12/limits.max", "40"));
  EXPECT_EQ(oob.getField("12/other/limits.max"), "40");

  EXPECT_TRUE(oob.setField("site/network/hostname", "plant-7"));
  EXPECT_EQ(oob.getField<std::string>("site/network/hostname"), "plant-7");

  // Failures are empty texts, except in the template.
  EXPECT_EQ(oob.getField("site/none/x"), "");
  ExpectError<std::invalid_argument>([&] { oob.getField<std::string>("nodash"); }, "Error: Invalid request type!");
  ExpectError<std::invalid_argument>([&] { oob.getField<std::string>("12/nothing"); },
                                     "CDS request failed for OOB path 12/nothing");
  // Paths that designate nothing are not sent.
  faults().clear_requests();
  EXPECT_FALSE(oob.setField("nodash", "1"));
  EXPECT_FALSE(oob.setField("/x", "1"));  // device 0 names no device
  EXPECT_FALSE(oob.setField("99/x", "1"));
  EXPECT_EQ(faults().count("CSetFieldValue"), 1U);
  UnderEachFailure("CSetFieldValue", [&] { EXPECT_FALSE(oob.setField("12/limits.max", "41")); });
}

}  // namespace
}  // namespace inband_test
