// InBandAccessor against a fresh store: devices and their attributes, channels
// and their values, alarm configurations.
#include <sstream>
#include <vector>

#include <boost/optional/optional_io.hpp>

#include "inband_fixture.h"

namespace inband_test {
namespace {

using cdsapi::InBandAccessor;
using tova::common::Uuid;

// ---- Devices
using DevicesTest = InBandTest;

TEST_F(DevicesTest, CreateFindPlaceAndRemoveDevicesAndReportMissingOnes) {
  unsigned long long a = inband.createDevice(77, 1, false);  // the store chooses the id
  EXPECT_NE(a, 77U);
  EXPECT_EQ(inband.createDevice(20, a, true), 20U);
  EXPECT_EQ(inband.getDevice(20).parent_id, boost::optional<std::uint64_t>(a));
  ExpectError<std::runtime_error>([&] { inband.createDevice(20, 1, true); }, "Can't create device 20");

  unsigned long long b = NewDevice();
  std::vector<unsigned long long> ids;
  for (auto& d : inband.getDevices(std::vector<unsigned long long>{b, kUnknown, a}, 1)) ids.push_back(d.id);
  EXPECT_EQ(ids, (std::vector<unsigned long long>{b, a, 20}));
  EXPECT_EQ(inband.getSubDevicesIds(1, 0), (std::vector<unsigned long long>{a, b}));
  ExpectError<std::invalid_argument>([&] { inband.getDevice(kUnknown); }, "Unable to get device 4242");
  EXPECT_TRUE(inband.getSubDevicesIds(kUnknown, 0).empty());
  UnderEachFailure("CGetDevice", [&] {
    ExpectError<std::invalid_argument>([&] { inband.getDevice(1); }, "Unable to get devices");
    EXPECT_TRUE(inband.getSubDevicesIds(1, 0).empty());
    EXPECT_EQ(inband.getDeviceUuid(1), Uuid::NIL);
  });

  // Found by the whole canonical model name only, never by the friendly name.
  inband.setDeviceFriendlyName(a, "PDU-42");
  inband.setDevicePartNumber(b, "PDU-42");
  inband.setDevicePartNumber(NewDevice(), "PDU-42X");
  EXPECT_EQ(inband.getDeviceId(1, "PDU-42"), b);
  EXPECT_EQ(inband.getDeviceId(1, "PDU-4"), kNone);

  // The index counts among siblings and ends at the root.
  unsigned long long leaf = NewDevice(b);
  EXPECT_EQ(inband.getDeviceIndex(leaf, 0), 0);
  EXPECT_EQ(inband.getDeviceIndex(leaf, 1), 1);  // the index of its parent
  EXPECT_EQ(inband.getDeviceIndex(leaf, 2), -1);
  EXPECT_EQ(inband.getDeviceIndex(1, 0), -1);
  ExpectError<std::invalid_argument>([&] { inband.getDeviceIndex(kUnknown, 0); }, "Unable to get device 4242");

  // Removals are sent but never reported.
  faults().clear_requests();
  inband.removeDevices({});
  EXPECT_EQ(faults().count("CDeleteDevice"), 1U);
  EXPECT_NO_THROW(inband.removeDevice(1));  // refused by the store
  inband.removeDevice(a);
  EXPECT_TRUE(inband.getDevices(std::vector<unsigned long long>{a}, 0).empty());
}

// Each wrapper must reach its own key; a swapped pair would pass a round trip.
TEST_F(DevicesTest, EachAttributeWrapperWritesItsOwnKeyBadKeysAreRefusedFirstAndTheUuidUpdatesTheWholeRecord) {
  using Set = void (InBandAccessor::*)(unsigned long long, const std::string&);
  using Get = std::string (InBandAccessor::*)(unsigned long long);
  using A = InBandAccessor;
  struct Wrapper { Set set; Get get; const char* key; };
  const Wrapper wrappers[] = {
      {&A::setDeviceVendor, &A::getDeviceVendor, "vendor"}, {&A::setDeviceModel, &A::getDeviceModel, "model"},
      {&A::setDeviceProduct, &A::getDeviceProduct, "model_series"},
      {&A::setDevicePartNumber, &A::getDevicePartNumber, "canonical_model_name"},
      {&A::setDevicePhysicalName, &A::getDevicePhysicalName, "asset_id"},
      {&A::setDeviceSerialNumber, &A::getDeviceSerialNumber, "serial"},
      {&A::setDeviceSwVersion, &A::getDeviceSwVersion, "software_version"},
      {&A::setDeviceHwVersion, &A::getDeviceHwVersion, "hardware_version"},
      {&A::setDeviceFriendlyName, &A::getDeviceFriendlyName, "name"},
      {&A::setDeviceInterface, &A::getDeviceInterface, "network_address"},
      {&A::setDeviceLocation, &A::getDeviceLocation, "location"},
      {&A::setDeviceContact, &A::getDeviceContact, "contact"}, {&A::setDeviceType, &A::getDeviceType, "family"},
  };
  unsigned long long device = NewDevice();
  for (const Wrapper& w : wrappers) {
    SCOPED_TRACE(w.key);
    (inband.*w.set)(device, std::string("value of ") + w.key);
    auto sent = faults().last<zu::cds::CSetFieldValue>();
    ASSERT_TRUE(sent && sent->fields.size() == 1);
    EXPECT_EQ(sent->fields.begin()->name, w.key);
    EXPECT_EQ(sent->fields.begin()->value_kind, 2U);
    EXPECT_EQ((inband.*w.get)(device), std::string("value of ") + w.key);
  }
  faults().clear_requests();
  auto sixteen = static_cast<cdsapi::DeviceAttribute>(16);
  ExpectError<std::invalid_argument>([] { A::attributeToString(cdsapi::Uuid); }, "Invalid attribute 0");
  ExpectError<std::invalid_argument>([&] { A::attributeToString(sixteen); }, "Invalid attribute 16");
  zu::CDevice record;
  record.guid = "not a uuid";
  EXPECT_EQ(A::getDeviceAttribute(record, sixteen), "");
  EXPECT_EQ(A::getDeviceUuid(record), Uuid::NIL);
  // The attribute is judged before the device.
  ExpectError<std::invalid_argument>([&] { inband.setDeviceAttribute(0, sixteen, "x"); }, "Invalid attribute 16");
  ExpectError<std::invalid_argument>([&] { inband.setDeviceVendor(0, "acme"); }, "Couldn't set attribute 10");
  EXPECT_EQ(faults().count("CSetFieldValue"), 0U);
  faults().fail_with_status("CSetFieldValue", 2);
  EXPECT_NO_THROW(inband.setDeviceContact(kUnknown, "nobody"));

  // Communicating raises or lowers one state bit, unreported.
  inband.setDeviceCommunicating(device, true);
  EXPECT_TRUE(inband.getDevice(device).communicating);
  EXPECT_EQ(faults().last<zu::cds::CSetDeviceState>()->states.at(0).op, zu::cds::state_op::raise);
  inband.setDeviceCommunicating(device, false);
  EXPECT_FALSE(inband.getDevice(device).communicating);
  faults().drop_response("CSetDeviceState");
  EXPECT_NO_THROW(inband.setDeviceCommunicating(kUnknown, true));

  // The UUID is written by updating the whole record; a failed read or update throws.
  Uuid uuid = Uuid::generate();
  inband.setDeviceUuid(device, uuid);
  EXPECT_EQ(InBandAccessor::getDeviceUuid(inband.getDevice(device)), uuid);
  EXPECT_EQ(inband.getDeviceUuid(device), uuid);
  EXPECT_EQ(inband.getDevice(device).parent_id, boost::optional<std::uint64_t>(1));
  EXPECT_EQ(inband.getDeviceVendor(device), "value of vendor");
  inband.setDeviceAttribute(device, cdsapi::Uuid, "garbage");
  EXPECT_EQ(inband.getDeviceAttribute(device, cdsapi::Uuid), "garbage");
  EXPECT_EQ(inband.getDeviceUuid(device), Uuid::NIL);

  const std::string unread = "Couldn't update attribute 0 for deviceId " + std::to_string(device);
  ExpectError<std::invalid_argument>([&] { inband.setDeviceUuid(kUnknown, uuid); },
                                     "Couldn't update attribute 0 for deviceId 4242");
  UnderEachFailure("CGetDevice", [&] {
    ExpectError<std::invalid_argument>([&] { inband.setDeviceUuid(device, uuid); }, unread);
  });
  EXPECT_EQ(faults().count("CUpdateDevice"), 2U) << "a failed read sends no update";
  UnderEachFailure("CUpdateDevice", [&] {
    ExpectError<std::invalid_argument>([&] { inband.setDeviceUuid(device, uuid); }, "Invalid attribute 0");
  });
}

// ---- Channels
using ChannelsTest = InBandTest;

bool FlagOf(const zu::CChannel& channel) {
  return (channel.settings()->flags & zu::CChannelSettings::kSettingsFlag) != 0;
}

TEST_F(ChannelsTest, CreateAndEmplaceSetTheSettingsFlagByAnUpdateAndSettersReplaceOneMember) {
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
  EXPECT_TRUE(FlagOf(inband.getChannel(made)));
  faults().clear_requests();
  EXPECT_NE(inband.emplaceChannel(1, "bare", false), kNone);
  EXPECT_TRUE(faults().last<zu::cds::CCreateChannel>()->requests[0].flag);
  EXPECT_THROW(inband.emplaceChannel(kUnknown, "x", false), std::invalid_argument);
  faults().fail_with_status("CUpdateChannelSettings", 2, 1);  // not examined
  EXPECT_NE(inband.createChannel(1, "amps", true), kNone);

  // The settings setters replace one member and never throw.
  EXPECT_TRUE(inband.setChannelUnits(made, "degC"));
  EXPECT_TRUE(inband.setChannelDescription(made, std::string("inlet\0 hidden", 13)));
  zu::CMultistateMap states{{zu::CValue(0), "off"}, {zu::CValue(1), "on"}}, fewer{{zu::CValue(2), "fault"}};
  EXPECT_TRUE(inband.setChannelMultistateMap(made, states));
  EXPECT_TRUE(inband.setChannelMultistateMap(made, fewer));
  auto settings = inband.getChannel(made).settings();
  EXPECT_EQ(settings->description, "inlet");
  EXPECT_EQ(settings->units, "degC");
  EXPECT_EQ(settings->multistate, fewer);
  EXPECT_TRUE(FlagOf(inband.getChannel(made)));  // the other members are sent back unchanged

  faults().clear_requests();
  EXPECT_FALSE(inband.setChannelDescription(kUnknown, "x"));
  EXPECT_FALSE(inband.setChannelUnits(kUnknown, "x"));
  EXPECT_FALSE(inband.setChannelMultistateMap(kUnknown, states));
  EXPECT_EQ(faults().count("CUpdateChannelSettings"), 0U);

  // A refused create names the channel, the status and the count.
  faults().clear_requests();
  faults().fail_with_status("CCreateChannel", zu::cds::status_exists, 1);
  ExpectError<std::invalid_argument>([&] { inband.createChannel(1, "x", true); },
                                     "Can't create channel x : already exists [1]");
  UnderEachFailure("CCreateChannel", [&] { EXPECT_THROW(inband.createChannel(1, "x", true), std::invalid_argument); });
  EXPECT_EQ(faults().count("CUpdateChannelSettings"), 0U);
}

TEST_F(ChannelsTest, ValuesLookupsAndRemovalsReportUnknownChannelsEachInTheirWay) {
  unsigned long long channel = inband.createChannel(1, "temp", false), other = inband.createChannel(1, "volts", false);
  EXPECT_FALSE(inband.isChannelValueInitialized(channel));
  EXPECT_EQ(inband.getChannelDataType(channel), 255);
  zu::CWallTime before = zu::CWallTime::now();
  inband.setChannelCValue(channel, zu::CValue(21.5));
  auto sent = faults().last<zu::cds::CUpdateChannelValue>();
  EXPECT_TRUE(before <= sent->time && sent->time <= zu::CWallTime::now());
  EXPECT_EQ(inband.getChannelCValue(channel), zu::CValue(21.5));
  EXPECT_TRUE(inband.isChannelValueInitialized(channel));
  EXPECT_EQ(inband.getChannelDataType(channel), zu::type_double);
  inband.setChannelValue<std::string>(other, "");  // an empty text is a value
  EXPECT_EQ(inband.getChannelCValue(other), zu::CValue(std::string()));
  // A refused write (text into a number channel) is not reported.
  EXPECT_NO_THROW(inband.setChannelValue<std::string>(channel, "warm"));

  // Multiple values are whatever the store sends back.
  inband.setChannelValue<std::string>(other, "2");
  auto values = inband.getMultipleChannelValue({other, kUnknown, channel});
  EXPECT_EQ(values, (std::vector<zu::CValue>{zu::CValue("2"), zu::CValue(21.5)}));
  ExpectError<std::invalid_argument>([&] { inband.getChannelCValue(kUnknown); }, "Invalid channelId 4242");
  ExpectError<std::invalid_argument>([&] { inband.getMultipleChannelValue({}); }, "Invalid channelId");
  std::string with_id = "Invalid channelId " + std::to_string(channel);
  UnderEachFailure("CGetChannelValue", [&] {
    ExpectError<std::invalid_argument>([&] { inband.isChannelValueInitialized(channel); }, with_id);
    ExpectError<std::invalid_argument>([&] { inband.getMultipleChannelValue({channel}); }, "Invalid channelId");
  });

  // The data type is judged by the count of settings, not the status.
  faults().fail_with_status("CGetChannelSettings", zu::cds::status_refused, 1);
  EXPECT_EQ(inband.getChannelCDataType(channel), zu::type_double);
  faults().drop_response("CGetChannelSettings", 1);
  ExpectError<std::invalid_argument>([&] { inband.getChannelCDataType(channel); }, with_id);
  EXPECT_EQ(inband.getChannelTypeByName(1, "temp"), zu::type_double);

  // Look-ups report missing channels each in their way; removals are all or nothing.
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

  ExpectError<std::invalid_argument>([&] { inband.removeChannels({a, kUnknown}); }, "Can't remove channels");
  ExpectError<std::invalid_argument>([&] { inband.removeChannel(kUnknown); }, "Can't remove channel 4242");
  faults().clear_requests();
  inband.removeAllChannelsExcept(device, {a, b, c, kUnknown});
  EXPECT_EQ(faults().count("CDeleteChannel"), 1U);
  inband.removeAllChannelsExcept(device, {b});
  EXPECT_EQ(inband.getDeviceChannelIds(device), (std::vector<unsigned long long>{b}));
  inband.removeChannel(device, "b");
  EXPECT_TRUE(inband.getDeviceChannelIds(device).empty());
}

// ---- Alarm configurations
// Hysteresis 1 and delay 10 throughout, so that a setter's change shows.
zu::CAlarmTrigger Trigger(zu::CValue threshold, std::uint32_t level, std::uint32_t priority) {
  return {level, 0, threshold, zu::CValue(), priority, "", 0, zu::CValue(1.0f), 10};
}

// "threshold/level/priority/hysteresis/delay" of each trigger; values by their text.
std::string Shown(const std::vector<zu::CAlarmTrigger>& triggers) {
  std::ostringstream o;
  for (const auto& t : triggers)
    o << t.threshold.as_string() << '/' << t.level << '/' << t.priority << '/' << t.hysteresis.as_string() << "(type "
      << int(t.hysteresis.type()) << ")/" << t.delay << ' ';
  return o.str();
}

class AlarmConfigTest : public InBandTest {
 protected:
  AlarmConfigTest() { Store({Trigger(30.0f, 3, 1), Trigger(10.0f, 1, 2), Trigger(20.0f, 2, 3)}); }
  void Store(const std::vector<zu::CAlarmTrigger>& triggers) {
    inband.setChannelAlarmConfig(channel, {channel, triggers});
    faults().clear_requests();
  }
  std::string Written() {
    auto sent = faults().last<zu::cds::CSetAlarmConfig>();
    return sent && sent->configs.size() == 1 && sent->configs[0].channel_id == channel
               ? Shown(sent->configs[0].triggers) : "no write";
  }
  // Every operation that reads a configuration with at least one trigger.
  void ExpectTriggerUsersThrow() {
    using T = const std::function<void()>;
    for (T& call : {T([&] { inband.getChannelAlarmLevel(channel); }),
                    T([&] { inband.setChannelAlarmLevel(channel, cdsapi::LevelInfo); }),
                    T([&] { inband.getChannelAlarmHysteresis(channel); }),
                    T([&] { inband.getChannelAlarmDelay(channel); }),
                    T([&] { inband.getChannelAlarmTriggerThreshold(channel); }),
                    T([&] { inband.setChannelAlarmTriggerThreshold(channel, true); }),
                    T([&] { inband.getChannelAlarmTriggerThreshold(channel, cdsapi::FirstTrigger); })})
      ExpectError<std::invalid_argument>(call, unknown);
  }
  unsigned long long channel = inband.createChannel(1, "temp", false);
  const std::string unknown = "Unknown channel Number " + std::to_string(channel);
};

// The store's four levels are translated in what the alarm queries answer;
// here, that everything past them passes as it is.
TEST(TranslateTriggerLevelTest, PassesEveryLevelPastTheStoresFour) {
  for (unsigned level : {4U, 9U, 4294967295U}) EXPECT_EQ(cdsapi::translateTriggerLevel(level), level);
}

TEST_F(AlarmConfigTest, ConfigurationIsWrittenWholeFieldSettersChangeTheFirstOrEveryTriggerAndEmptyOnesThrow) {
  const std::string initially = "30/3/1/1(type 5)/10 10/1/2/1(type 5)/10 20/2/3/1(type 5)/10 ";
  EXPECT_EQ(Shown(inband.getChannelAlarmConfig(channel).triggers), initially);
  EXPECT_EQ(inband.setChannelAlarmConfig(channel, {999, {Trigger(5.0f, 0, 0)}}), channel);
  EXPECT_EQ(Shown(inband.getChannelAlarmConfig(channel).triggers), "5/0/0/1(type 5)/10 ");
  ExpectError<std::invalid_argument>([&] { inband.setChannelAlarmConfig(kUnknown, {}); },
                                     "Unknown channel Number 4242");
  ExpectError<std::invalid_argument>([&] { inband.getChannelAlarmConfig(kUnknown); }, "Unknown channel Number 4242");

  Store({Trigger(30.0f, 3, 1), Trigger(10.0f, 1, 2), Trigger(20.0f, 2, 3)});
  EXPECT_EQ(inband.getChannelAlarmLevel(channel), cdsapi::LevelCritical);
  EXPECT_EQ(inband.setChannelAlarmLevel(channel, cdsapi::LevelWarning), channel);
  EXPECT_EQ(Written(), "30/6/1/1(type 5)/10 10/1/2/1(type 5)/10 20/2/3/1(type 5)/10 ");  // sent as given
  EXPECT_EQ(inband.getChannelAlarmLevel(channel), cdsapi::LevelWarning);

  Store({Trigger(30.0f, 3, 1), Trigger(10.0f, 1, 2)});
  inband.setChannelAlarmHysteresis(channel, 0.5f);
  EXPECT_EQ(inband.setChannelAlarmDelay(channel, 4000000000U), channel);
  EXPECT_EQ(Written(), "30/3/1/0.5(type 5)/4000000000 10/1/2/0.5(type 5)/4000000000 ");
  EXPECT_FLOAT_EQ(inband.getChannelAlarmHysteresis(channel), 0.5f);
  EXPECT_EQ(inband.getChannelAlarmDelay(channel), 4000000000U);

  Store({Trigger(false, 0, 0), Trigger(2.5f, 0, 0)});
  EXPECT_FALSE(inband.getChannelAlarmTriggerThreshold(channel));
  EXPECT_EQ(inband.setChannelAlarmTriggerThreshold(channel, true), channel);
  EXPECT_EQ(Written(), "true/0/0/1(type 5)/10 2.5/0/0/1(type 5)/10 ");
  EXPECT_TRUE(inband.getChannelAlarmTriggerThreshold(channel));

  // Trigger ids count in ascending threshold order.
  Store({Trigger(30.0f, 3, 1), Trigger(10.0f, 1, 2), Trigger(20.0f, 2, 3)});
  EXPECT_FLOAT_EQ(inband.getChannelAlarmTriggerThreshold(channel, cdsapi::FirstTrigger), 10.0f);
  EXPECT_FLOAT_EQ(inband.getChannelAlarmTriggerThreshold(channel, cdsapi::ThirdTrigger), 30.0f);
  // Sorted, then changed: written out of order, each trigger moved whole.
  EXPECT_EQ(inband.setChannelAlarmTriggerThreshold(channel, cdsapi::FirstTrigger, 40.0f), channel);
  EXPECT_EQ(Written(), "40/1/2/1(type 5)/10 20/2/3/1(type 5)/10 30/3/1/1(type 5)/10 ");
  for (auto id : {cdsapi::FourthTrigger, static_cast<cdsapi::TriggerId>(4294967295U)}) {
    ExpectError<std::invalid_argument>([&] { inband.getChannelAlarmTriggerThreshold(channel, id); }, unknown);
    ExpectError<std::invalid_argument>([&] { inband.setChannelAlarmTriggerThreshold(channel, id, 1.0f); }, unknown);
  }
  EXPECT_EQ(faults().count("CSetAlarmConfig"), 1U);

  // A refused write-back is not reported.
  faults().fail_with_status("CSetAlarmConfig", zu::cds::status_invalid, 1);
  EXPECT_EQ(inband.setChannelAlarmDelay(channel, 1), channel);

  // Unreadable or empty configurations throw and write nothing.
  Store({});
  ExpectTriggerUsersThrow();
  EXPECT_EQ(faults().count("CSetAlarmConfig"), 0U);
  EXPECT_EQ(inband.setChannelAlarmDelay(channel, 3), channel);  // nothing to change: the empty list goes back
  EXPECT_EQ(Written(), "");
  faults().clear_requests();
  UnderEachFailure("CGetAlarmConfig", [&] {
    ExpectTriggerUsersThrow();
    ExpectError<std::invalid_argument>([&] { inband.setChannelAlarmDelay(channel, 1); }, unknown);
  });
  EXPECT_EQ(faults().count("CSetAlarmConfig"), 0U);

  // Enabled is the channel's alarm-disabled state bit clear.
  EXPECT_TRUE(inband.getChannelAlarmEnabled(channel));
  EXPECT_EQ(inband.setChannelAlarmEnabled(channel, false), channel);
  EXPECT_EQ(faults().last<zu::cds::CSetChannelState>()->states.at(0).op, zu::cds::state_op::assign);
  EXPECT_FALSE(inband.getChannelAlarmEnabled(channel));
  EXPECT_EQ(faults().last<zu::cds::CGetChannel>()->device_id, kNone);
  inband.setChannelAlarmEnabled(channel, true);
  EXPECT_TRUE(inband.getChannelAlarmEnabled(channel));

  EXPECT_FALSE(inband.getChannelAlarmEnabled(kUnknown));
  ExpectError<std::runtime_error>([&] { inband.setChannelAlarmEnabled(kUnknown, true); }, "Can't set channel");
  UnderEachFailure("CGetChannel", [&] { EXPECT_FALSE(inband.getChannelAlarmEnabled(channel)); });
}

}  // namespace
}  // namespace inband_test
