// Channels of InBandAccessor: creating, finding, removing, their settings and values.
#include <algorithm>

#include "inband_fixture.h"

namespace inband_test {
namespace {

using ChannelsTest = InBandTest;

bool FlagOf(const zu::CChannel& channel) {
  return (channel.settings()->flags & zu::CChannelSettings::kSettingsFlag) != 0;
}

TEST_F(ChannelsTest, CreateSendsTheCreateFlagAndSetsTheSettingsFlagByAnUpdate) {
  unsigned long long plain = inband.createChannel(1, "temp", false, false);
  EXPECT_FALSE(faults().last<zu::cds::CCreateChannel>()->requests.at(0).flag);
  EXPECT_FALSE(faults().last<zu::cds::CCreateChannel>()->legacy);

  unsigned long long flagged = inband.createChannel(1, "volts", true);
  EXPECT_TRUE(faults().last<zu::cds::CCreateChannel>()->requests.at(0).flag);
  EXPECT_TRUE(FlagOf(inband.getChannel(flagged)));
  EXPECT_FALSE(FlagOf(inband.getChannel(plain)));
  faults().fail_with_status("CUpdateChannelSettings", 2);  // not examined
  EXPECT_NE(inband.createChannel(1, "amps", true), kNone);
}

TEST_F(ChannelsTest, RefusedCreateNamesTheChannelStatusAndCount) {
  inband.createChannel(1, "temp", false);
  EXPECT_THROW(inband.createChannel(1, "temp", false), std::invalid_argument);

  // The newest fault comes first: nothing created, two created, a refusal.
  faults().fail_with_status("CCreateChannel", zu::cds::status_exists, 1);
  faults().respond_with("CCreateChannel", Answer(&zu::cds::CCreateChannel::channels, 2), 1);
  faults().respond_with("CCreateChannel", Answer(&zu::cds::CCreateChannel::channels, 0), 1);
  for (std::string end : {"success [0]", "success [2]", "already exists [1]"})
    ExpectError<std::invalid_argument>([&] { inband.createChannel(1, "x", true); }, "Can't create channel x : " + end);
  UnderEachFailure("CCreateChannel", [&] { EXPECT_THROW(inband.createChannel(1, "x", true), std::invalid_argument); });
  EXPECT_EQ(faults().count("CUpdateChannelSettings"), 0U);
}

TEST_F(ChannelsTest, EmplaceReadsThenUpdatesOrCreatesOnlyWhatIsNeeded) {
  unsigned long long id = inband.createChannel(1, "temp", true);
  faults().clear_requests();
  EXPECT_EQ(inband.emplaceChannel(1, "temp", true), id);
  EXPECT_EQ(faults().requests().size(), 1U);
  EXPECT_EQ(inband.emplaceChannel(1, "temp", false), id);
  EXPECT_EQ(faults().requests().size(), 3U);
  EXPECT_FALSE(FlagOf(inband.getChannel(id)));

  unsigned long long made = inband.emplaceChannel(1, "fresh", true, false);
  EXPECT_FALSE(faults().last<zu::cds::CCreateChannel>()->requests[0].flag);
  EXPECT_EQ(inband.getChannelId(1, "fresh"), made);
  EXPECT_TRUE(FlagOf(inband.getChannel(made)));
  faults().clear_requests();
  EXPECT_NE(inband.emplaceChannel(1, "bare", false), kNone);
  EXPECT_TRUE(faults().last<zu::cds::CCreateChannel>()->requests[0].flag);
  EXPECT_EQ(faults().count("CUpdateChannelSettings"), 0U);
  EXPECT_THROW(inband.emplaceChannel(kUnknown, "x", false), std::invalid_argument);
}

TEST_F(ChannelsTest, LookupsReportMissingChannelsEachInTheirWay) {
  unsigned long long id = inband.createChannel(1, "temp", false);
  EXPECT_EQ(inband.getChannel(1, "temp").id(), id);
  EXPECT_EQ(inband.getChannel(id).name, "temp");
  EXPECT_EQ(inband.getCatchedChannelId(1, "temp"), id);
  ExpectError<std::runtime_error>([&] { inband.getChannel(kUnknown); }, "Failed to get channel");
  ExpectError<std::invalid_argument>([&] { inband.getChannelId(kUnknown, "temp"); },
                                     "Unknown channel temp for device 4242");
  ExpectError<std::invalid_argument>([&] { inband.removeChannel(1, "nope"); }, "Unknown channel nope for device 1");
  EXPECT_EQ(inband.getCatchedChannelId(1, "nope"), kNone);
  EXPECT_EQ(inband.getChannelTypeByName(1, "nope"), 255);

  UnderEachFailure("CGetChannel", [&] {
    ExpectError<std::runtime_error>([&] { inband.getChannel(id); }, "Failed to get channel");
    ExpectError<std::invalid_argument>([&] { inband.getChannelId(1, "temp"); }, "Unknown channel temp for device 1");
  });
  faults().respond_with("CGetChannel", Answer(&zu::cds::CGetChannel::results, 2));
  ExpectError<std::runtime_error>([&] { inband.getChannel(id); }, "Failed to get channel");
  ExpectError<std::invalid_argument>([&] { inband.getChannel(1, "temp"); }, "Unknown channel temp for device 1");
}

TEST_F(ChannelsTest, DeviceChannelIdsAreAscendingAndRemovalsAllOrNothing) {
  unsigned long long device = NewDevice();
  unsigned long long a = inband.createChannel(device, "a", false), b = inband.createChannel(device, "b", false),
                     c = inband.createChannel(device, "c", false);
  EXPECT_EQ(inband.getDeviceChannelIds(device), (std::vector<unsigned long long>{a, b, c}));
  UnderEachFailure("CGetDevice", [&] { EXPECT_TRUE(inband.getDeviceChannelIds(device).empty()); });

  ExpectError<std::invalid_argument>([&] { inband.removeChannels({a, kUnknown}); }, "Can't remove channels");
  ExpectError<std::invalid_argument>([&] { inband.removeChannel(kUnknown); }, "Can't remove channel 4242");
  faults().clear_requests();
  inband.removeAllChannelsExcept(device, {a, b, c, kUnknown});
  EXPECT_EQ(faults().count("CDeleteChannel"), 1U);
  inband.removeAllChannelsExcept(device, {b});
  EXPECT_EQ(inband.getDeviceChannelIds(device), (std::vector<unsigned long long>{b}));
  inband.removeChannel(device, "b");
  EXPECT_TRUE(inband.getDeviceChannelIds(device).empty());

  UnderEachFailure("CDeleteChannel", [&] {
    ExpectError<std::invalid_argument>([&] { inband.removeChannel(a); }, "Can't remove channel " + std::to_string(a));
    ExpectError<std::invalid_argument>([&] { inband.removeAllChannelsExcept(device, {}); }, "Can't remove channels");
  });
}

TEST_F(ChannelsTest, SettingsSettersReplaceOneMemberAndNeverThrow) {
  unsigned long long id = inband.createChannel(1, "temp", true);
  EXPECT_TRUE(inband.setChannelUnits(id, "degC"));
  EXPECT_TRUE(inband.setChannelDescription(id, std::string("inlet\0 hidden", 13)));
  zu::CMultistateMap states{{zu::CValue(0), "off"}, {zu::CValue(1), "on"}}, fewer{{zu::CValue(2), "fault"}};
  EXPECT_TRUE(inband.setChannelMultistateMap(id, states));
  EXPECT_TRUE(inband.setChannelMultistateMap(id, fewer));
  auto settings = inband.getChannel(id).settings();
  EXPECT_EQ(settings->description, "inlet");
  EXPECT_EQ(settings->units, "degC");
  EXPECT_EQ(settings->multistate, fewer);
  EXPECT_TRUE(FlagOf(inband.getChannel(id)));  // the other members are sent back unchanged

  faults().clear_requests();
  EXPECT_FALSE(inband.setChannelDescription(kUnknown, "x"));
  EXPECT_FALSE(inband.setChannelUnits(kUnknown, "x"));
  EXPECT_FALSE(inband.setChannelMultistateMap(kUnknown, states));
  EXPECT_EQ(faults().count("CUpdateChannelSettings"), 0U);
  faults().drop_response("CUpdateChannelSettings");
  EXPECT_TRUE(inband.setChannelUnits(id, "K"));
}

class ValuesTest : public InBandTest {
 protected:
  unsigned long long channel = inband.createChannel(1, "temp", false);
};

TEST_F(ValuesTest, WritesAreReadBackAndCarryTheirTime) {
  EXPECT_FALSE(inband.isChannelValueInitialized(channel));
  EXPECT_EQ(inband.getChannelDataType(channel), 255);
  zu::CWallTime before = zu::CWallTime::now();
  inband.setChannelCValue(channel, zu::CValue(21.5));
  auto sent = faults().last<zu::cds::CUpdateChannelValue>();
  EXPECT_TRUE(before <= sent->time && sent->time <= zu::CWallTime::now());
  EXPECT_EQ(inband.getChannelCValue(channel), zu::CValue(21.5));
  EXPECT_TRUE(inband.isChannelValueInitialized(channel));
  EXPECT_EQ(inband.getChannelCDataType(channel), zu::type_double);
  EXPECT_EQ(inband.getChannelDataType(channel), zu::type_double);

  unsigned long long text = inband.createChannel(1, "label", false);  // an empty text is a value
  inband.setChannelValue<std::string>(text, "");
  EXPECT_EQ(inband.getChannelCValue(text), zu::CValue(std::string()));
  EXPECT_TRUE(inband.isChannelValueInitialized(text));

  // A refused write (text into a number channel) or a lost answer is not reported.
  EXPECT_NO_THROW(inband.setChannelValue<std::string>(channel, "warm"));
  faults().drop_response("CUpdateChannelValue");
  EXPECT_NO_THROW(inband.setChannelCValue(kUnknown, zu::CValue(1)));
}

TEST_F(ValuesTest, MultipleValuesAreWhateverTheStoreSendsBackAndUnknownChannelsThrowWithTheId) {
  unsigned long long other = inband.createChannel(1, "volts", false);
  inband.setChannelCValue(channel, zu::CValue(1));
  inband.setChannelCValue(other, zu::CValue(2));
  auto values = inband.getMultipleChannelValue({other, kUnknown, channel});
  EXPECT_EQ(values, (std::vector<zu::CValue>{zu::CValue(2), zu::CValue(1)}));
  ExpectError<std::invalid_argument>([&] { inband.getChannelCValue(kUnknown); }, "Invalid channelId 4242");
  ExpectError<std::invalid_argument>([&] { inband.getChannelDataType(kUnknown); }, "Invalid channelId 4242");
  ExpectError<std::invalid_argument>([&] { inband.getMultipleChannelValue({}); }, "Invalid channelId");
  std::string with_id = "Invalid channelId " + std::to_string(channel);
  UnderEachFailure("CGetChannelValue", [&] {
    ExpectError<std::invalid_argument>([&] { inband.isChannelValueInitialized(channel); }, with_id);
    ExpectError<std::invalid_argument>([&] { inband.getMultipleChannelValue({channel}); }, "Invalid channelId");
  });
  faults().edit_response("CGetChannelValue", [](zu::cds::CRequestResponse& r) {
    auto& entries = static_cast<zu::cds::CGetChannelValue&>(r).values;
    std::reverse(entries.begin(), entries.end());
    entries.push_back(entries.front());
  });
  EXPECT_EQ(inband.getMultipleChannelValue({channel, other}),
            (std::vector<zu::CValue>{zu::CValue(2), zu::CValue(1), zu::CValue(2)}));
}

TEST_F(ValuesTest, DataTypeIsJudgedByTheCountOfSettingsNotTheStatus) {
  inband.setChannelCValue(channel, zu::CValue(3));
  faults().fail_with_status("CGetChannelSettings", zu::cds::status_refused, 1);
  EXPECT_EQ(inband.getChannelCDataType(channel), zu::type_int32);
  std::string with_id = "Invalid channelId " + std::to_string(channel);
  faults().respond_with("CGetChannelSettings", Answer(&zu::cds::CGetChannelSettings::settings, 2), 1);
  faults().drop_response("CGetChannelSettings", 1);
  faults().respond_with_other_class("CGetChannelSettings", 1);
  for (int i = 0; i < 3; ++i)
    ExpectError<std::invalid_argument>([&] { inband.getChannelCDataType(channel); }, with_id);
  EXPECT_EQ(inband.getChannelTypeByName(1, "temp"), zu::type_int32);
}

}  // namespace
}  // namespace inband_test
