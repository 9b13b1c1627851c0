// dataChannel: the data type table, both get forms, the scalar updates,
// create and its line, on both transports.
#include <sstream>

#include "cdsapi/dataChannel.h"
#include "legacy_fixture.h"

namespace legacy_test {
namespace {

class LegacyChannel : public LegacyTest {
 protected:
  // A channel on a new device, holding `value` (the first value written fixes
  // the channel's data type), with its settings texts set when given.
  unsigned long long NewChannel(const zu::CValue& value, const std::string& text1 = "", const std::string& text2 = "") {
    unsigned long long id = inband.createChannel(NewDevice(), "point", false);
    inband.setChannelCValue(id, value);
    if (text1.empty()) return id;
    zu::cds::CGetChannelSettings read;
    read.ids = {id};
    auto current = std::dynamic_pointer_cast<zu::cds::CGetChannelSettings>(data.client->submit_wait(read));
    zu::cds::CUpdateChannelSettings update;
    update.settings = {current->settings.at(0)};
    update.settings[0].text1 = text1;
    update.settings[0].text2 = text2;
    data.client->submit_wait(update);
    return id;
  }
  zu::CValue LastWritten() {
    auto sent = faults().last<zu::cds::CUpdateChannelValue>();
    return sent && sent->values.size() == 1 ? sent->values[0].value : zu::CValue("<nothing written>");
  }
};

cdsapi::value_cds Word(std::uint32_t u) {
  cdsapi::value_cds v;
  v.u = u;
  return v;
}

// The type code, the scalar's word and the text a get left in the channel.
std::string State(const cdsapi::dataChannel& c) {
  std::ostringstream o;
  o << "type " << c.typeCode << " word " << std::hex << c.scalar.u << " text " << c.stringValue;
  return o.str();
}

// What get stores and what update sends, by the channel's data type.
TEST_F(LegacyChannel, EachDataTypeHasItsTypeCodePlaceAndWrittenValue) {
  cdsapi::value_cds false_in_first_byte = Word(0), minus_forty, quarter;
  reinterpret_cast<unsigned char*>(&false_in_first_byte)[1] = 1;  // word non-zero, first byte 0
  minus_forty.i = -40;
  quarter.f = -1.25f;
  struct Row {
    zu::CValue stored;
    std::string state;  // 99 and a5a5a5a5: left as they were
    cdsapi::value_cds scalar;
    std::string text;
    zu::CValue sent;
  };
  const Row rows[] = {
      {zu::CValue(true), "type 1 word 1 text old", false_in_first_byte, "", zu::CValue(false)},
      {zu::CValue(-7), "type 3 word fffffff9 text old", minus_forty, "", zu::CValue(-40)},  // int32 gives 3
      {zu::CValue(7u), "type 2 word 7 text old", Word(4000000000u), "", zu::CValue(4000000000u)},
      {zu::CValue(2.5f), "type 4 word 40200000 text old", quarter, "", zu::CValue(-1.25f)},
      {zu::CValue("north"), "type 5 word a5a5a5a5 text north", Word(1), std::string("ab\0cd", 5), zu::CValue("ab")},
      {zu::CValue(0.5), "type 99 word a5a5a5a5 text old", Word(1), "x", zu::CValue()},  // not a legacy type
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.state);
    unsigned long long id = NewChannel(row.stored);
    cdsapi::dataChannel channel("legacy-test", 0);
    channel.typeCode = 99;
    channel.scalar.u = 0xA5A5A5A5u;
    channel.stringValue = "old";
    EXPECT_TRUE(channel.get(id));
    EXPECT_EQ(State(channel), row.state);
    for (auto handler : {std::shared_ptr<cdsapi::dataHandler>(), Handler()}) {  // both forms write the same
      faults().clear_requests();
      EXPECT_TRUE(handler ? channel.update(1, id, row.scalar, row.text, handler)
                          : channel.update(1, id, row.scalar, row.text));
      EXPECT_EQ(LastWritten(), row.sent);
    }
  }
}

TEST_F(LegacyChannel, GetKeepsTextsAsCStringsOnlyWithoutHandler) {
  unsigned long long id = NewChannel(zu::CValue(std::string("ab\0cd", 5)), std::string("t1\0x", 4), "t2");
  cdsapi::dataChannel channel("legacy-test", 3);
  EXPECT_TRUE(channel.get(id));
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
  unsigned long long id = NewChannel(zu::CValue(5), "first", "second");
  faults().drop_response("CGetChannelValue", 1);
  faults().edit_response("CGetChannelValue", [](zu::cds::CRequestResponse& r) {
    dynamic_cast<zu::cds::CGetChannelValue&>(r).values.clear();
  }, 1);
  for (int fault = 0; fault < 2; ++fault) {
    cdsapi::dataChannel channel("legacy-test", 0);
    channel.scalar.i = 77;
    EXPECT_TRUE(channel.get(id));
    EXPECT_EQ(channel.typeCode, 3);
    EXPECT_EQ(channel.scalar.i, 77);
    EXPECT_EQ(channel.settingsText1 + channel.settingsText2, "firstsecond");
  }
}

// Unknown channels: only the handler form of get says so; the value response
// does not count when the settings are missing, and status is never consulted.
TEST_F(LegacyChannel, UnknownChannelsChangeNothingAndOnlyGetThroughAHandlerSaysSo) {
  cdsapi::dataChannel channel("legacy-test", 5);
  channel.typeCode = 4;
  channel.settingsText1 = "kept";
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(channel.get(kUnknown)); }), "");
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(channel.get(kUnknown, Handler())); }), "no Channel: \n");
  EXPECT_EQ(channel.channelId, 5u);
  EXPECT_EQ(channel.typeCode, 4);
  EXPECT_EQ(channel.settingsText1, "kept");
  faults().clear_requests();
  EXPECT_FALSE(channel.update(1, kUnknown, Word(3), ""));
  EXPECT_EQ(faults().count("CUpdateChannelValue"), 0u) << "nothing is written without settings";
  EXPECT_TRUE(channel.remove(kUnknown));
  EXPECT_TRUE(channel.update(kUnknown, zu::CValue(1)));

  unsigned long long id = NewChannel(zu::CValue(true));
  faults().fail_with_status("CGetChannelSettings", 2);
  EXPECT_TRUE(channel.get(id));
  EXPECT_EQ(channel.typeCode, 1);
}

TEST_F(LegacyChannel, CreateAsksForTheGivenIdAndPrintsIt) {
  unsigned long long device = NewDevice();
  cdsapi::dataChannel channel("legacy-test", 0);
  channel.typeCode = 2;
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(channel.create(device, 900, "pressure", false)); }),
            "Channel 900 created !\n");
  EXPECT_TRUE(faults().last<zu::cds::CCreateChannel>()->legacy);
  EXPECT_TRUE(faults().last<zu::cds::CCreateChannel>()->requests.at(0).flag);
  EXPECT_EQ(channel.typeCode, 2) << "a channel without a value has no legacy type";
  EXPECT_EQ(inband.getChannelId(device, "pressure"), 900u);
  EXPECT_FALSE(inband.getChannel(900).settings()->flags & zu::CChannelSettings::kSettingsFlag);

  // With the settings flag the bit is set in a follow-up; a refusal prints nothing.
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(channel.create(device, 901, "flow", true)); }), "Channel 901 created !\n");
  EXPECT_TRUE(inband.getChannel(901).settings()->flags & zu::CChannelSettings::kSettingsFlag);
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
