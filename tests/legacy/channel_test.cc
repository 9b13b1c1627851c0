// dataChannel: the data type table, both get forms, the scalar updates,
// create and its line, on both transports.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cdsapi/dataChannel.h"
#include "legacy_fixture.h"

namespace legacy_test {
namespace {

class LegacyChannel : public LegacyTest {
 protected:
  // A channel on a new device, holding `value` when it is valid (the first
  // value written fixes the channel's data type).
  unsigned long long NewChannel(const zu::CValue& value, const std::string& name = "point") {
    unsigned long long id = inband.createChannel(NewDevice(), name, false);
    if (value.is_valid()) inband.setChannelCValue(id, value);
    return id;
  }
  zu::CValue LastWritten() {
    auto sent = faults().last<zu::cds::CUpdateChannelValue>();
    return sent && sent->values.size() == 1 ? sent->values[0].value : zu::CValue("<nothing written>");
  }
  // Settings texts written straight into the store.
  void SetTexts(unsigned long long id, const std::string& text1, const std::string& text2) {
    zu::cds::CGetChannelSettings read;
    read.ids = {id};
    auto current = std::dynamic_pointer_cast<zu::cds::CGetChannelSettings>(data.client->submit_wait(read));
    ASSERT_TRUE(current && current->settings.size() == 1);
    zu::cds::CUpdateChannelSettings update;
    update.settings = {current->settings[0]};
    update.settings[0].text1 = text1;
    update.settings[0].text2 = text2;
    data.client->submit_wait(update);
  }
  std::vector<std::string> SentClasses() {
    std::vector<std::string> names;
    for (const auto& r : faults().requests()) names.push_back(r->class_name());
    return names;
  }
};

cdsapi::value_cds Word(std::uint32_t u) {
  cdsapi::value_cds v;
  v.u = u;
  return v;
}

// What get stores and what update sends, by the channel's data type.
TEST_F(LegacyChannel, EachDataTypeHasItsTypeCodePlaceAndWrittenValue) {
  constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;
  cdsapi::value_cds false_in_first_byte = Word(0);
  reinterpret_cast<unsigned char*>(&false_in_first_byte)[1] = 1;  // word non-zero, first byte 0
  cdsapi::value_cds minus_forty;
  minus_forty.i = -40;
  cdsapi::value_cds big = Word(4000000000u);
  cdsapi::value_cds quarter;
  quarter.f = -1.25f;
  struct Row {
    const char* what;
    zu::CValue stored;
    std::int32_t type_code;  // 99: left as it was
    std::function<bool(const cdsapi::dataChannel&)> landed;
    cdsapi::value_cds scalar;
    std::string text;
    zu::CValue sent;
  };
  const std::vector<Row> rows = {
      {"bool", zu::CValue(true), 1, [](const cdsapi::dataChannel& c) { return c.scalar.u == 1u && c.scalar.b; },
       false_in_first_byte, "", zu::CValue(false)},
      {"int32 gives 3", zu::CValue(-7), 3, [](const cdsapi::dataChannel& c) { return c.scalar.i == -7; },
       minus_forty, "", zu::CValue(-40)},
      {"uint32 gives 2", zu::CValue(7u), 2, [](const cdsapi::dataChannel& c) { return c.scalar.u == 7u; }, big, "",
       zu::CValue(4000000000u)},
      {"float", zu::CValue(2.5f), 4, [](const cdsapi::dataChannel& c) { return c.scalar.f == 2.5f; }, quarter, "",
       zu::CValue(-1.25f)},
      {"string, sent up to its NUL", zu::CValue("north"), 5,
       [&](const cdsapi::dataChannel& c) { return c.stringValue == "north" && c.scalar.u == kUntouched; }, Word(1),
       std::string("ab\0cd", 5), zu::CValue("ab")},
      {"int64", zu::CValue(5LL), 99,
       [&](const cdsapi::dataChannel& c) { return c.scalar.u == kUntouched && c.stringValue == "old"; }, Word(1), "x",
       zu::CValue()},
      {"uint64", zu::CValue(5ULL), 99, [&](const cdsapi::dataChannel& c) { return c.scalar.u == kUntouched; },
       Word(1), "x", zu::CValue()},
      {"double", zu::CValue(0.5), 99, [&](const cdsapi::dataChannel& c) { return c.scalar.u == kUntouched; }, Word(1),
       "x", zu::CValue()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    unsigned long long id = NewChannel(row.stored);
    cdsapi::dataChannel channel("legacy-test", 0);
    channel.typeCode = 99;
    channel.scalar.u = kUntouched;
    channel.stringValue = "old";
    EXPECT_TRUE(channel.get(id));
    EXPECT_EQ(channel.typeCode, row.type_code);
    EXPECT_TRUE(row.landed(channel));

    faults().clear_requests();
    EXPECT_TRUE(channel.update(1, id, row.scalar, row.text));
    EXPECT_EQ(LastWritten(), row.sent);
    EXPECT_EQ(faults().last<zu::cds::CUpdateChannelValue>()->values[0].channel_id, id);
    // The through-handler form writes the same, and the members stay.
    faults().clear_requests();
    EXPECT_TRUE(channel.update(1, id, row.scalar, row.text, Handler()));
    EXPECT_EQ(LastWritten(), row.sent);
    EXPECT_EQ(channel.typeCode, row.type_code);
  }
}

TEST_F(LegacyChannel, GetSendsBothRequestsAndKeepsTextsAsCStringsOnlyWithoutHandler) {
  unsigned long long id = NewChannel(zu::CValue(std::string("ab\0cd", 5)));
  SetTexts(id, std::string("t1\0x", 4), "t2");
  cdsapi::dataChannel channel("legacy-test", 3);

  faults().clear_requests();
  EXPECT_TRUE(channel.get(id));
  EXPECT_EQ(SentClasses(), (std::vector<std::string>{"CGetChannelSettings", "CGetChannelValue"}));
  EXPECT_EQ(channel.stringValue, "ab");
  EXPECT_EQ(channel.settingsText1, "t1");
  EXPECT_EQ(channel.settingsText2, "t2");
  EXPECT_EQ(channel.channelId, 3u);

  EXPECT_TRUE(channel.get(id, Handler()));
  EXPECT_EQ(channel.stringValue, std::string("ab\0cd", 5));
  EXPECT_EQ(channel.settingsText1, std::string("t1\0x", 4));
  EXPECT_EQ(channel.channelId, id);
}

TEST_F(LegacyChannel, GetWithSettingsButNoValueSetsOnlyTheTypeCodeAndTexts) {
  unsigned long long id = NewChannel(zu::CValue(5));
  SetTexts(id, "first", "second");
  for (int fault = 0; fault < 3; ++fault) {
    SCOPED_TRACE(fault);
    if (fault == 0) faults().drop_response("CGetChannelValue");
    if (fault == 1) faults().respond_with_other_class("CGetChannelValue");
    if (fault == 2)
      faults().edit_response("CGetChannelValue", [](zu::cds::CRequestResponse& r) {
        dynamic_cast<zu::cds::CGetChannelValue&>(r).values.clear();
      });
    cdsapi::dataChannel channel("legacy-test", 0);
    channel.scalar.i = 77;
    EXPECT_TRUE(channel.get(id));
    EXPECT_EQ(channel.typeCode, 3);
    EXPECT_EQ(channel.scalar.i, 77);
    EXPECT_EQ(channel.settingsText1, "first");
    EXPECT_EQ(channel.settingsText2, "second");
    faults().clear_faults();
  }
}

// Unknown channels: only the handler form of get says so; the value response
// does not count when the settings are missing, and status is never consulted.
TEST_F(LegacyChannel, UnknownChannelsChangeNothingAndOnlyGetThroughAHandlerSaysSo) {
  cdsapi::dataChannel channel("legacy-test", 5);
  channel.typeCode = 4;
  channel.settingsText1 = "kept";
  faults().clear_requests();
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(channel.get(kUnknown)); }), "");
  EXPECT_EQ(faults().count("CGetChannelValue"), 1u) << "both requests are always sent";
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(channel.get(kUnknown, Handler())); }), "no Channel: \n");
  EXPECT_EQ(channel.channelId, 5u);
  EXPECT_EQ(channel.typeCode, 4);
  EXPECT_EQ(channel.settingsText1, "kept");

  faults().clear_requests();
  EXPECT_FALSE(channel.update(1, kUnknown, Word(3), ""));
  EXPECT_EQ(faults().count("CUpdateChannelValue"), 0u) << "nothing is written without settings";
  EXPECT_TRUE(channel.remove(kUnknown));
  EXPECT_TRUE(channel.update(kUnknown, zu::CValue(1)));

  // A refused settings read with the entry still in it counts as found.
  unsigned long long id = NewChannel(zu::CValue(true));
  faults().edit_response("CGetChannelSettings", [](zu::cds::CRequestResponse& r) { r.status = 2; });
  EXPECT_TRUE(channel.get(id));
  EXPECT_EQ(channel.typeCode, 1);
}

TEST_F(LegacyChannel, CreateAsksForTheGivenIdAndPrintsIt) {
  unsigned long long device = NewDevice();
  cdsapi::dataChannel channel("legacy-test", 0);
  channel.typeCode = 2;
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(channel.create(device, 900, "pressure", false)); }),
            "Channel 900 created !\n");
  auto sent = faults().last<zu::cds::CCreateChannel>();
  ASSERT_EQ(sent->requests.size(), 1u);
  EXPECT_TRUE(sent->legacy);
  EXPECT_EQ(sent->requests[0].device_id, device);
  EXPECT_EQ(sent->requests[0].name, "pressure");
  EXPECT_TRUE(sent->requests[0].flag);
  EXPECT_EQ(sent->requests[0].channel_id, 900u);
  EXPECT_EQ(faults().count("CUpdateChannelSettings"), 0u);
  EXPECT_EQ(channel.typeCode, 2) << "a channel without a value has no legacy type";
  EXPECT_EQ(inband.getChannelId(device, "pressure"), 900u);

  // With the settings flag the bit is set in a follow-up; a refusal prints nothing.
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(channel.create(device, 901, "flow", true)); }), "Channel 901 created !\n");
  auto update = faults().last<zu::cds::CUpdateChannelSettings>();
  ASSERT_TRUE(update);
  ASSERT_EQ(update->settings.size(), 1u);
  EXPECT_EQ(update->settings[0].id, 901u);
  EXPECT_NE(update->settings[0].flags & zu::CChannelSettings::kSettingsFlag, 0);
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(channel.create(device, 902, "flow", true)); }), "");
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(channel.create(kUnknown, 903, "x", false)); }), "");

  // The line names the id asked for, even when the store answers with another.
  faults().edit_response("CCreateChannel", [](zu::cds::CRequestResponse& r) {
    dynamic_cast<zu::cds::CCreateChannel&>(r).channels.at(0).set_ids(77, 1);
  });
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(channel.create(device, 904, "level", false)); }), "Channel 904 created !\n");
}

}  // namespace
}  // namespace legacy_test
