// dataDevice: 16-bit device numbers, identity texts, attributes by key, GUID
// bytes and every console line, on both transports.
#include <functional>

#include "cdsapi/dataChannel.h"
#include "cdsapi/dataDevice.h"
#include "legacy_fixture.h"

namespace legacy_test {
namespace {

class LegacyDevice : public LegacyTest {
 protected:
  cdsapi::dataDevice device{"legacy-test"};
};

TEST_F(LegacyDevice, CreateUnderTheManagerWithTheGivenNumberAndGetReadsItBack) {
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(device.create(7)); }), "Device 7 created !\n");
  EXPECT_EQ(device.deviceNumber, 7);
  EXPECT_EQ(inband.getDevice(7).parent_id.value_or(0), 1u);
  EXPECT_FALSE(inband.getDevice(7).communicating);
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(device.create(8, "boiler", "B-200", "B200-EU", "SN-1", "2.1")); }),
            "Device 8 created !\n");
  inband.setDeviceContact(8, "ops");
  inband.setDeviceLocation(8, "cellar");
  cdsapi::dataDevice reader("reader");
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(reader.get(8)); }), "");
  EXPECT_EQ(reader.deviceNumber, 8);
  EXPECT_EQ(reader.name + "|" + reader.model + "|" + reader.partNumber + "|" + reader.serialNumber + "|" +
                reader.swVersion + "|" + reader.contact + "|" + reader.location,
            "boiler|B-200|B200-EU|SN-1|2.1|ops|cellar");

  // The store's id is cut to 16 bits.
  faults().edit_response("CGetDevice", [](zu::cds::CRequestResponse& r) {
    dynamic_cast<zu::cds::CGetDevice&>(r).devices.at(0).set_id(0x30008);
  });
  EXPECT_TRUE(reader.get(8));
  EXPECT_EQ(reader.deviceNumber, 8);
}

TEST_F(LegacyDevice, RefusedCreateIsSilentButKeepsTheTexts) {
  ASSERT_TRUE(device.create(9));
  cdsapi::dataDevice second("second");
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(second.create(9, "n", "m", "p", "s", "v")); }), "");
  EXPECT_EQ(second.deviceNumber, 9);
  EXPECT_EQ(second.name + second.model + second.partNumber + second.serialNumber + second.swVersion, "nmpsv");
  EXPECT_TRUE(device.remove(9));
  EXPECT_TRUE(device.remove(9)) << "remove reports nothing";
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(device.get(9)); }), "Device 9 not found !\n");
}

TEST_F(LegacyDevice, ChannelIdsAreAppendedAscendingAndCutTo16Bits) {
  ASSERT_TRUE(device.create(12));
  cdsapi::dataChannel channel("legacy-test", 0);
  ASSERT_TRUE(channel.create(12, 65539, "far", false));
  ASSERT_TRUE(channel.create(12, 9, "near", false));
  std::vector<unsigned short> ids = {500};
  EXPECT_TRUE(device.getChannelIds(12, ids));
  EXPECT_EQ(ids, (std::vector<unsigned short>{500, 9, 3}));
  EXPECT_TRUE(device.getChannelIds(kUnknown & 0xFFFF, ids));  // no device, no channels
  UnderEachFailure("CGetDevice", [&] { EXPECT_FALSE(device.getChannelIds(12, ids)); });
  EXPECT_EQ(ids.size(), 3u);
}

TEST_F(LegacyDevice, AttributesAndGuidBytesComeBackAsGiven) {
  ASSERT_TRUE(device.create(21));
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(device.set_attribute(21, "contact", "ops")); }),
            "set field : contact Succeed\n");
  EXPECT_EQ(inband.getDeviceContact(21), "ops");
  std::string out = "old";
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(device.get_attribute(21, "contact", out)); }), "");
  EXPECT_EQ(out, "ops");
  ASSERT_TRUE(device.set_attribute(21, "location", std::string("hall\0B", 6)));
  EXPECT_TRUE(device.get_attribute(21, "location", out));
  EXPECT_EQ(out, "hall") << "read up to the first NUL";

  out = "old";
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(device.get_guid(21, out)); }), "Device 21 does not have a Guid value!\n");
  EXPECT_EQ(out, "old");
  for (const std::string& bytes : {std::string("abc"), std::string("\x01\0\xff", 3)}) {
    EXPECT_EQ(Printed([&] { EXPECT_TRUE(device.set_guid(21, bytes)); }), "set guid Succeed\n");
    EXPECT_TRUE(device.get_guid(21, out));
    EXPECT_EQ(out, bytes);
  }
  EXPECT_EQ(inband.getDevice(21).guid, std::string("\x01\0\xff", 3));
}

// Every failure has its one line, and leaves the out arguments and members.
TEST_F(LegacyDevice, EachFailureHasItsLine) {
  ASSERT_TRUE(device.create(40, "n", "m", "p", "s", "v"));
  std::string out = "kept";
  struct Row {
    const char* record;  // the request that fails
    std::function<bool()> call;
    std::string line;
  };
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
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(device.get_attribute(0, "serial", out)); }), "Error: Invalid request type!\n");
  EXPECT_TRUE(faults().requests().empty());
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(device.get_guid(kUnknown & 0xFFFF, out)); }), "Get device request failed!\n");
}

}  // namespace
}  // namespace legacy_test
