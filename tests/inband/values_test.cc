#include <algorithm>

#include "inband_fixture.h"

namespace inband_test {
namespace {

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

  // A refused write (text into a number channel) is not reported and changes nothing.
  EXPECT_NO_THROW(inband.setChannelValue<std::string>(channel, "warm"));
  EXPECT_EQ(inband.getChannelCValue(channel), zu::CValue(21.5));
  faults().drop_response("CUpdateChannelValue");
  EXPECT_NO_THROW(inband.setChannelCValue(kUnknown, zu::CValue(1)));
}

TEST_F(ValuesTest, ReadsOfUnknownChannelsThrowWithTheId) {
  ExpectError<std::invalid_argument>([&] { inband.getChannelCValue(kUnknown); }, "Invalid channelId 4242");
  ExpectError<std::invalid_argument>([&] { inband.getChannelDataType(kUnknown); }, "Invalid channelId 4242");
  ExpectError<std::invalid_argument>([&] { inband.getMultipleChannelValue({}); }, "Invalid channelId");
  inband.setChannelCValue(channel, zu::CValue(7));
  std::string with_id = "Invalid channelId " + std::to_string(channel);
  UnderEachFailure("CGetChannelValue", [&] {
    ExpectError<std::invalid_argument>([&] { inband.isChannelValueInitialized(channel); }, with_id);
    ExpectError<std::invalid_argument>([&] { inband.getMultipleChannelValue({channel}); }, "Invalid channelId");
  });
}

TEST_F(ValuesTest, MultipleValuesAreWhateverTheStoreSendsBack) {
  unsigned long long other = inband.createChannel(1, "volts", false);
  inband.setChannelCValue(channel, zu::CValue(1));
  inband.setChannelCValue(other, zu::CValue(2));
  auto values = inband.getMultipleChannelValue({other, kUnknown, channel});
  EXPECT_EQ(values, (std::vector<zu::CValue>{zu::CValue(2), zu::CValue(1)}));
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
