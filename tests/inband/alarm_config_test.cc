#include <sstream>
#include <vector>

#include "inband_fixture.h"

namespace inband_test {
namespace {

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

TEST(TranslateTriggerLevelTest, MapsStoreLevelsAndPassesTheRest) {
  const unsigned in[] = {0, 1, 2, 3, 4, 7, 9, 4294967295U}, out[] = {5, 4, 6, 7, 4, 7, 9, 4294967295U};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(cdsapi::translateTriggerLevel(in[i]), out[i]) << in[i];
}

TEST_F(AlarmConfigTest, ConfigurationIsWrittenWholeAndFieldSettersChangeTheFirstOrEveryTrigger) {
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
  Store({Trigger(30.0f, 3, 1), Trigger(10.0f, 1, 2)});
  faults().drop_response("CSetAlarmConfig", 2);
  faults().respond_with_other_class("CSetAlarmConfig", 2);
  faults().fail_with_status("CSetAlarmConfig", zu::cds::status_invalid, 2);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(inband.setChannelAlarmDelay(channel, 1), channel);
    EXPECT_EQ(inband.setChannelAlarmTriggerThreshold(channel, cdsapi::FirstTrigger, 1.0f), channel);
  }
}

TEST_F(AlarmConfigTest, UnreadableOrEmptyConfigurationsThrowAndEnabledIsTheAlarmDisabledBitClear) {
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
  faults().respond_with("CGetAlarmConfig", Answer(&zu::cds::CGetAlarmConfig::configs, 2));
  ExpectError<std::invalid_argument>([&] { inband.getChannelAlarmConfig(channel); }, unknown);
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
  UnderEachFailure("CSetChannelState", [&] {
    ExpectError<std::runtime_error>([&] { inband.setChannelAlarmEnabled(channel, false); }, "Can't set channel");
  });
}

}  // namespace
}  // namespace inband_test
