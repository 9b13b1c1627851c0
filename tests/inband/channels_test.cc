// Channels of InBandAccessor: creating, finding, removing, their settings and values.
#include <algorithm>

#include "inband_fixture.h"

namespace inband_test {
namespace {

using ChannelsTest = InBandTest;

bool FlagOf(const zu::CChannel& channel) {
  return (channel.settings()->flags & zu::CChannelSettings::kSettingsFlag) != 0;
}

TEST_F(ChannelsTest, CreateAndEmplaceSendTheCreateFlagAndSetTheSettingsFlagByAnUpdate) {
  unsigned long long plain = inband.createChannel(1, "temp", false, false);
  EXPECT_FALSE(faults().last<zu::cds::CCreateChannel>()->requests.at(0).flag);
  EXPECT_FALSE(faults().last<zu::cds::CCreateChannel>()->legacy);
  unsigned long long flagged = inband.createChannel(1, "volts", true);
  EXPECT_TRUE(faults().last<zu::cds::CCreateChannel>()->requests.at(0).flag);
  EXPECT_TRUE(FlagOf(inband.getChannel(flagged)));
  EXPECT_FALSE(FlagOf(inband.getChannel(plain)));

  // Emplace reads, then updates or creates only what is needed.
  faults().clear_requests();
  EXPECT_EQ(inband.emplaceChannel(1, "volts", true), flagged);
  EXPECT_EQ(faults().requests().size(), 1U);
  EXPECT_EQ(inband.emplaceChannel(1, "volts", false), flagged);
  EXPECT_EQ(faults().requests().size(), 3U);
  EXPECT_FALSE(FlagOf(inband.getChannel(flagged)));
  unsigned long long made = inband.emplaceChannel(1, "fresh", true, false);
  EXPECT_FALSE(faults().last<zu::cds::CCreateChannel>()->requests[0].flag);
  EXPECT_EQ(inband.getChannelId(1, "fresh"), made);
  EXPECT_TRUE(FlagOf(inband.getChannel(made)));
  faults().clear_requests();
  EXPECT_NE(inband.emplaceChannel(1, "bare", false), kNone);
  EXPECT_TRUE(faults().last<zu::cds::CCreateChannel>()->requests[0].flag);
  EXPECT_THROW(inband.emplaceChannel(kUnknown, "x", false), std::invalid_argument);
  faults().fail_with_status("CUpdateChannelSettings", 2, 1);  // not examined
  EXPECT_NE(inband.createChannel(1, "amps", true), kNone);

  // A refused create names the channel, the status and the count; the newest fault comes first.
  faults().clear_requests();
  faults().fail_with_status("CCreateChannel", zu::cds::status_exists, 1);
  faults().respond_with("CCreateChannel", Answer(&zu::cds::CCreateChannel::channels, 2), 1);
  faults().respond_with("CCreateChannel", Answer(&zu::cds::CCreateChannel::channels, 0), 1);
  for (std::string end : {"success [0]", "success [2]", "already exists [1]"})
    ExpectError<std::invalid_argument>([&] { inband.createChannel(1, "x", true); }, "Can't create channel x : " + end);
  UnderEachFailure("CCreateChannel", [&] { EXPECT_THROW(inband.createChannel(1, "x", true), std::invalid_argument); });
  EXPECT_EQ(faults().count("CUpdateChannelSettings"), 0U);
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

TEST_F(ChannelsTest, LookupsReportMissingChannelsEachInTheirWayAndRemovalsAreAllOrNothing) {
  unsigned long long device = NewDevice();
  unsigned long long a = inband.createChannel(device, "a", false), b = inband.createChannel(device, "b", false),
                     c = inband.createChannel(device, "c", false);
  EXPECT_EQ(inband.getChannel(device, "a").id(), a);
  EXPECT_EQ(inband.getChannel(a).name, "a");
  EXPECT_EQ(inband.getCatchedChannelId(device, "a"), a);
  EXPECT_EQ(inband.getDeviceChannelIds(device), (std::vector<unsigned long long>{a, b, c}));
  ExpectError<std::runtime_error>([&] { inband.getChannel(kUnknown); }, "Failed to get channel");
  ExpectError<std::invalid_argument>([&] { inband.getChannelId(kUnknown, "a"); }, "Unknown channel a for device 4242");
  ExpectError<std::invalid_argument>([&] { inband.removeChannel(1, "nope"); }, "Unknown channel nope for device 1");
  EXPECT_EQ(inband.getCatchedChannelId(1, "nope"), kNone);
  EXPECT_EQ(inband.getChannelTypeByName(1, "nope"), 255);
  const std::string unknown_a = "Unknown channel a for device " + std::to_string(device);
  UnderEachFailure("CGetChannel", [&] {
    ExpectError<std::runtime_error>([&] { inband.getChannel(a); }, "Failed to get channel");
    ExpectError<std::invalid_argument>([&] { inband.getChannelId(device, "a"); }, unknown_a);
  });
  UnderEachFailure("CGetDevice", [&] { EXPECT_TRUE(inband.getDeviceChannelIds(device).empty()); });
  faults().respond_with("CGetChannel", Answer(&zu::cds::CGetChannel::results, 2), 2);
  ExpectError<std::runtime_error>([&] { inband.getChannel(a); }, "Failed to get channel");
  ExpectError<std::invalid_argument>([&] { inband.getChannel(device, "a"); }, unknown_a);

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

TEST_F(ChannelsTest, ValuesAreReadBackCarryTheirTimeAndUnknownChannelsThrowWithTheId) {
  unsigned long long channel = inband.createChannel(1, "temp", false), other = inband.createChannel(1, "volts", false);
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
  inband.setChannelValue<std::string>(other, "");  // an empty text is a value
  EXPECT_EQ(inband.getChannelCValue(other), zu::CValue(std::string()));
  EXPECT_TRUE(inband.isChannelValueInitialized(other));
  // A refused write (text into a number channel) or a lost answer is not reported.
  EXPECT_NO_THROW(inband.setChannelValue<std::string>(channel, "warm"));
  faults().drop_response("CUpdateChannelValue", 1);
  EXPECT_NO_THROW(inband.setChannelCValue(kUnknown, zu::CValue(1)));

  // Multiple values are whatever the store sends back.
  inband.setChannelValue<std::string>(other, "2");
  auto values = inband.getMultipleChannelValue({other, kUnknown, channel});
  EXPECT_EQ(values, (std::vector<zu::CValue>{zu::CValue("2"), zu::CValue(21.5)}));
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
  }, 1);
  EXPECT_EQ(inband.getMultipleChannelValue({channel, other}),
            (std::vector<zu::CValue>{zu::CValue("2"), zu::CValue(21.5), zu::CValue("2")}));

  // The data type is judged by the count of settings, not the status.
  faults().fail_with_status("CGetChannelSettings", zu::cds::status_refused, 1);
  EXPECT_EQ(inband.getChannelCDataType(channel), zu::type_double);
  faults().respond_with("CGetChannelSettings", Answer(&zu::cds::CGetChannelSettings::settings, 2), 1);
  faults().drop_response("CGetChannelSettings", 1);
  faults().respond_with_other_class("CGetChannelSettings", 1);
  for (int i = 0; i < 3; ++i)
    ExpectError<std::invalid_argument>([&] { inband.getChannelCDataType(channel); }, with_id);
  EXPECT_EQ(inband.getChannelTypeByName(1, "temp"), zu::type_double);
}

}  // namespace
}  // namespace inband_test
