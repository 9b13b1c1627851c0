// The legacy interface (dataChannel, dataDevice) on both transports: the data
// type table, both get forms, create and every console line, 16-bit device
// numbers, identity texts, attributes by key and GUID bytes.
#include <sstream>

#include "../inband/inband_fixture.h"
#include "cdsapi/dataChannel.h"
#include "cdsapi/dataDevice.h"
#include "cdsapi/dataHandler.h"

namespace legacy_test {
namespace {

using inband_test::kUnknown;

class LegacyTest : public inband_test::InBandTest {
 protected:
  // A handler logged in to this test's store (the process-wide one may belong
  // to an earlier test's store).
  std::shared_ptr<cdsapi::dataHandler> Handler() {
    if (!handler_) handler_ = std::make_shared<cdsapi::dataHandler>();
    return handler_;
  }

  // What `call` wrote to standard output and flushed.
  static std::string Printed(const std::function<void()>& call) {
    zu::testing::CapturedDescriptor out(1);
    call();
    return out.text();
  }

  // A channel on a new device, holding `value` (the first value written fixes
  // the channel's data type).
  unsigned long long NewChannel(const zu::CValue& value) {
    unsigned long long id = inband.createChannel(NewDevice(), "point", false);
    inband.setChannelCValue(id, value);
    return id;
  }
  zu::CValue LastWritten() {
    auto sent = faults().last<zu::cds::CUpdateChannelValue>();
    return sent && sent->values.size() == 1 ? sent->values[0].value : zu::CValue("<nothing written>");
  }

  cdsapi::dataDevice device{"legacy-test"};

 private:
  std::shared_ptr<cdsapi::dataHandler> handler_;  // destroyed before the store
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
TEST_F(LegacyTest, GetAndUpdateFollowTheDataTypeKeepTextsAsCStringsWithoutAHandlerAndChangeNothingWhenUnknown) {
  cdsapi::value_cds false_in_first_byte = Word(0), minus_forty, quarter;
  reinterpret_cast<unsigned char*>(&false_in_first_byte)[1] = 1;  // word non-zero, first byte 0
  minus_forty.i = -40;
  quarter.f = -1.25f;
  // Stored in the channel, the state get leaves (99 and a5a5a5a5: left as they were), written and sent.
  struct Row { zu::CValue stored; std::string state; cdsapi::value_cds scalar; std::string text; zu::CValue sent; };
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

  // Unknown channels: only the handler form of get says so; the value response
  // does not count when the settings are missing.
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

  unsigned long long id = NewChannel(zu::CValue(std::string("ab\0cd", 5)));
  faults().edit_response("CGetChannelSettings", [](zu::cds::CRequestResponse& r) {  // from here on
    for (auto& entry : dynamic_cast<zu::cds::CGetChannelSettings&>(r).settings) {
      entry.text1 = std::string("t1\0x", 4);
      entry.text2 = "t2";
    }
  });
  EXPECT_TRUE(channel.get(id));
  EXPECT_EQ(channel.stringValue, "ab");
  EXPECT_EQ(channel.settingsText1, "t1");
  EXPECT_EQ(channel.settingsText2, "t2");
  EXPECT_EQ(channel.channelId, 5u);
  EXPECT_TRUE(channel.get(id, Handler()));
  EXPECT_EQ(channel.stringValue, std::string("ab\0cd", 5));
  EXPECT_EQ(channel.settingsText1, std::string("t1\0x", 4));
  EXPECT_EQ(channel.channelId, id);

  // Without a value only the type and the texts are set (cut again: no handler).
  id = NewChannel(zu::CValue(5));
  faults().drop_response("CGetChannelValue", 1);
  channel.scalar.i = 77;
  channel.stringValue = "kept";
  EXPECT_TRUE(channel.get(id));
  EXPECT_EQ(channel.typeCode, 3);
  EXPECT_EQ(channel.scalar.i, 77);
  EXPECT_EQ(channel.stringValue + channel.settingsText1 + channel.settingsText2, "keptt1t2");
}

TEST_F(LegacyTest, DevicesChannelsAttributesAndGuidsKeepTheirNumbersAndBytesAndEachFailureHasItsLine) {
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(device.create(7)); }), "Device 7 created !\n");
  EXPECT_EQ(inband.getDevice(7).parent_id.value_or(0), 1u);
  EXPECT_FALSE(inband.getDevice(7).communicating);
  ASSERT_TRUE(device.create(8, "boiler", "B-200", "B200-EU", "SN-1", "2.1"));
  inband.setDeviceContact(8, "ops");
  inband.setDeviceLocation(8, "cellar");
  cdsapi::dataDevice reader("reader");
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(reader.get(8)); }), "");
  EXPECT_EQ(reader.deviceNumber, 8);
  EXPECT_EQ(reader.name + "|" + reader.model + "|" + reader.partNumber + "|" + reader.serialNumber + "|" +
                reader.swVersion + "|" + reader.contact + "|" + reader.location,
            "boiler|B-200|B200-EU|SN-1|2.1|ops|cellar");
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(device.create(7, "n", "m", "p", "s", "v")); }), "");  // 7 is taken
  EXPECT_EQ(device.deviceNumber, 7);
  EXPECT_EQ(device.name + device.model + device.partNumber + device.serialNumber + device.swVersion, "nmpsv");
  EXPECT_TRUE(device.remove(7));
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(device.get(7)); }), "Device 7 not found !\n");

  // Channels: the given id, the legacy flag, the settings bit in a follow-up.
  cdsapi::dataChannel channel("legacy-test", 0);
  channel.typeCode = 2;
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(channel.create(8, 900, "pressure", false)); }), "Channel 900 created !\n");
  EXPECT_TRUE(faults().last<zu::cds::CCreateChannel>()->legacy);
  EXPECT_EQ(channel.typeCode, 2) << "a channel without a value has no legacy type";
  EXPECT_EQ(inband.getChannelId(8, "pressure"), 900u);
  EXPECT_FALSE(inband.getChannel(900).settings()->flags & zu::CChannelSettings::kSettingsFlag);
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(channel.create(8, 65539, "flow", true)); }), "Channel 65539 created !\n");
  EXPECT_TRUE(inband.getChannel(65539).settings()->flags & zu::CChannelSettings::kSettingsFlag);
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(channel.create(8, 902, "flow", true)); }), "");

  // Ids are appended ascending and cut to 16 bits.
  std::vector<unsigned short> ids = {500};
  EXPECT_TRUE(device.getChannelIds(8, ids));
  EXPECT_EQ(ids, (std::vector<unsigned short>{500, 900, 3}));
  EXPECT_TRUE(device.getChannelIds(kUnknown & 0xFFFF, ids));  // no device, no channels
  UnderEachFailure("CGetDevice", [&] { EXPECT_FALSE(device.getChannelIds(8, ids)); });
  EXPECT_EQ(ids.size(), 3u);

  // Attributes by key and GUID bytes come back as given.
  ASSERT_TRUE(device.create(40, "n", "m", "p", "s", "v"));
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(device.set_attribute(40, "contact", "ops")); }), "set field : contact Succeed\n");
  EXPECT_EQ(inband.getDeviceContact(40), "ops");
  std::string out = "old";
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(device.get_attribute(40, "contact", out)); }), "");
  EXPECT_EQ(out, "ops");
  ASSERT_TRUE(device.set_attribute(40, "location", std::string("hall\0B", 6)));
  EXPECT_TRUE(device.get_attribute(40, "location", out));
  EXPECT_EQ(out, "hall") << "read up to the first NUL";
  out = "kept";
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(device.get_guid(40, out)); }), "Device 40 does not have a Guid value!\n");
  EXPECT_EQ(out, "kept");

  // Every failure has its one line, and leaves the out arguments and members.
  struct Row { const char* record; std::function<bool()> call; std::string line; };  // the record that fails
  const Row rows[] = {
      {"CCreateDevice", [&] { return device.create(41); }, ""},
      {"CGetDevice", [&] { return device.get(40); }, "Device 40 not found !\n"},
      {"CSetFieldValue", [&] { return device.set_attribute(40, "serial", "x"); },
       "Required device attributes Set Field serial request failed!\n"},
      {"CGetFieldValue", [&] { return device.get_attribute(40, "serial", out); },
       "Required device attributes Get Field request failed!\n"},
      {"CGetDevice", [&] { return device.get_guid(40, out); }, "Get device request failed!\n"},
      {"CGetDevice", [&] { return device.set_guid(40, "g"); }, "Get device request failed!\n"},
      {"CUpdateDevice", [&] { return device.set_guid(40, "g"); }, "Update device request failed!\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    UnderEachFailure(row.record, [&] {
      EXPECT_EQ(Printed([&] { EXPECT_FALSE(row.call()); }), row.line);
      EXPECT_EQ(out, "kept");
      EXPECT_EQ(device.name + device.model, "nm");
    });
  }
  // Device 0 names no object: refused before anything is sent.
  faults().clear_requests();
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(device.set_attribute(0, "serial", "x")); }), "Error: Invalid request type!\n");
  EXPECT_TRUE(faults().requests().empty());
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(device.get_guid(kUnknown & 0xFFFF, out)); }), "Get device request failed!\n");

  const std::string bytes("\x01\0\xff", 3);
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(device.set_guid(40, bytes)); }), "set guid Succeed\n");
  EXPECT_TRUE(device.get_guid(40, out));
  EXPECT_EQ(out, bytes);
  EXPECT_EQ(inband.getDevice(40).guid, bytes);
}

}  // namespace
}  // namespace legacy_test
