#include <sstream>
#include <vector>

#include "inband_fixture.h"

namespace inband_test {
namespace {

constexpr unsigned long long kChannel = 1500;

zu::CAlarmTrigger Trigger(zu::CValue threshold, std::uint32_t level, std::uint32_t priority) {
  zu::CAlarmTrigger t;
  t.level = level;
  t.threshold = threshold;
  t.priority = priority;
  t.hysteresis = zu::CValue(1.0f);
  t.delay = 10;
  return t;
}

// "threshold/level/priority/hysteresis/delay" of each trigger; values by their text.
std::string Shown(const std::vector<zu::CAlarmTrigger>& triggers) {
  std::ostringstream o;
  for (const auto& t : triggers)
    o << t.threshold.as_string() << '/' << t.level << '/' << t.priority << '/' << t.hysteresis.as_string() << "(type "
      << int(t.hysteresis.type()) << ")/" << t.delay << ' ';
  return o.str();
}

// The test keeps the configuration of kChannel, untranslated, and answers the
// configuration records from it.
class AlarmConfigTest : public InBandTest {
 protected:
  AlarmConfigTest() {
    faults().respond_with("CGetAlarmConfig", [this](const zu::cds::CRequestResponse& request) {
      auto answer = std::make_shared<zu::cds::CGetAlarmConfig>();
      answer->status = 1;
      if (dynamic_cast<const zu::cds::CGetAlarmConfig&>(request).channel_ids.count(kChannel))
        answer->configs.push_back({kChannel, stored});
      return answer;
    });
    faults().respond_with("CSetAlarmConfig", [this](const zu::cds::CRequestResponse& request) {
      auto answer = std::make_shared<zu::cds::CSetAlarmConfig>();
      const auto& set = dynamic_cast<const zu::cds::CSetAlarmConfig&>(request);
      answer->status = set.configs.size() == 1 && set.configs[0].channel_id == kChannel ? 1 : 2;
      if (answer->status == 1) stored = set.configs[0].triggers;
      return answer;
    });
  }
  // Every operation that reads a configuration with at least one trigger.
  void ExpectTriggerUsersThrow() {
    using T = const std::function<void()>;
    for (T& call : {T([&] { inband.getChannelAlarmLevel(kChannel); }),
                    T([&] { inband.setChannelAlarmLevel(kChannel, cdsapi::LevelInfo); }),
                    T([&] { inband.getChannelAlarmHysteresis(kChannel); }),
                    T([&] { inband.getChannelAlarmDelay(kChannel); }),
                    T([&] { inband.getChannelAlarmTriggerThreshold(kChannel); }),
                    T([&] { inband.setChannelAlarmTriggerThreshold(kChannel, true); }),
                    T([&] { inband.getChannelAlarmTriggerThreshold(kChannel, cdsapi::FirstTrigger); })})
      ExpectError<std::invalid_argument>(call, kUnknownText);
  }
  const std::string kUnknownText = "Unknown channel Number " + std::to_string(kChannel);
  std::vector<zu::CAlarmTrigger> stored{Trigger(30.0f, 3, 1), Trigger(10.0f, 1, 2), Trigger(20.0f, 2, 3)};
  const std::string kInitially = Shown(stored);
};

TEST(TranslateTriggerLevelTest, MapsStoreLevelsAndPassesTheRest) {
  const unsigned in[] = {0, 1, 2, 3, 4, 7, 9, 4294967295U}, out[] = {5, 4, 6, 7, 4, 7, 9, 4294967295U};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(cdsapi::translateTriggerLevel(in[i]), out[i]) << in[i];
}

TEST_F(AlarmConfigTest, ConfigurationIsReadAndWrittenWholeUnderTheChannelGiven) {
  EXPECT_EQ(Shown(inband.getChannelAlarmConfig(kChannel).triggers), kInitially);
  EXPECT_EQ(inband.setChannelAlarmConfig(kChannel, {999, {Trigger(5.0f, 0, 0)}}), kChannel);
  EXPECT_EQ(Shown(stored), "5/0/0/1(type 5)/10 ");
  ExpectError<std::invalid_argument>([&] { inband.setChannelAlarmConfig(kUnknown, {}); },
                                     "Unknown channel Number 4242");
}

TEST_F(AlarmConfigTest, FieldSettersChangeTheFirstOrEveryTrigger) {
  EXPECT_EQ(inband.getChannelAlarmLevel(kChannel), cdsapi::LevelCritical);
  EXPECT_EQ(inband.setChannelAlarmLevel(kChannel, cdsapi::LevelWarning), kChannel);
  EXPECT_EQ(Shown(stored), "30/6/1/1(type 5)/10 10/1/2/1(type 5)/10 20/2/3/1(type 5)/10 ");
  EXPECT_EQ(inband.getChannelAlarmLevel(kChannel), cdsapi::LevelWarning);
  inband.setChannelAlarmLevel(kChannel, cdsapi::LevelStoreWarning);  // stored as given, read translated
  EXPECT_EQ(inband.getChannelAlarmLevel(kChannel), cdsapi::LevelWarning);

  stored[1].hysteresis = zu::CValue(3);  // not a float yet
  EXPECT_EQ(inband.setChannelAlarmHysteresis(kChannel, 0.5f), kChannel);
  EXPECT_EQ(inband.setChannelAlarmDelay(kChannel, 4000000000U), kChannel);
  EXPECT_EQ(Shown(stored), "30/2/1/0.5(type 5)/4000000000 10/1/2/0.5(type 5)/4000000000 20/2/3/0.5(type 5)/4000000000 ");
  EXPECT_FLOAT_EQ(inband.getChannelAlarmHysteresis(kChannel), 0.5f);
  EXPECT_EQ(inband.getChannelAlarmDelay(kChannel), 4000000000U);

  stored = {Trigger(false, 0, 0), Trigger(2.5f, 0, 0)};
  EXPECT_FALSE(inband.getChannelAlarmTriggerThreshold(kChannel));
  EXPECT_EQ(inband.setChannelAlarmTriggerThreshold(kChannel, true), kChannel);
  EXPECT_EQ(Shown(stored), "true/0/0/1(type 5)/10 2.5/0/0/1(type 5)/10 ");
}

TEST_F(AlarmConfigTest, TriggerIdsCountInAscendingThresholdOrder) {
  EXPECT_FLOAT_EQ(inband.getChannelAlarmTriggerThreshold(kChannel, cdsapi::FirstTrigger), 10.0f);
  EXPECT_FLOAT_EQ(inband.getChannelAlarmTriggerThreshold(kChannel, cdsapi::ThirdTrigger), 30.0f);
  // Sorted, then changed: written out of order, each trigger moved whole.
  EXPECT_EQ(inband.setChannelAlarmTriggerThreshold(kChannel, cdsapi::FirstTrigger, 40.0f), kChannel);
  EXPECT_EQ(Shown(stored), "40/1/2/1(type 5)/10 20/2/3/1(type 5)/10 30/3/1/1(type 5)/10 ");
  for (auto id : {cdsapi::FourthTrigger, static_cast<cdsapi::TriggerId>(4294967295U)}) {
    ExpectError<std::invalid_argument>([&] { inband.getChannelAlarmTriggerThreshold(kChannel, id); }, kUnknownText);
    ExpectError<std::invalid_argument>([&] { inband.setChannelAlarmTriggerThreshold(kChannel, id, 1.0f); },
                                       kUnknownText);
  }
  EXPECT_EQ(faults().count("CSetAlarmConfig"), 1U);
}

TEST_F(AlarmConfigTest, UnreadableOrEmptyConfigurationsThrowAndWriteNothing) {
  stored.clear();
  ExpectTriggerUsersThrow();
  EXPECT_EQ(faults().count("CSetAlarmConfig"), 0U);
  EXPECT_EQ(inband.setChannelAlarmDelay(kChannel, 3), kChannel);  // nothing to change: the empty list goes back
  EXPECT_EQ(faults().count("CSetAlarmConfig"), 1U);

  UnderEachFailure("CGetAlarmConfig", [&] {
    ExpectTriggerUsersThrow();
    ExpectError<std::invalid_argument>([&] { inband.setChannelAlarmDelay(kChannel, 1); }, kUnknownText);
  });
  faults().respond_with("CGetAlarmConfig", Answer(&zu::cds::CGetAlarmConfig::configs, 2));
  ExpectError<std::invalid_argument>([&] { inband.getChannelAlarmConfig(kChannel); }, kUnknownText);
  EXPECT_EQ(faults().count("CSetAlarmConfig"), 1U);
}

TEST_F(AlarmConfigTest, RefusedWriteBacksAreNotReported) {
  faults().drop_response("CSetAlarmConfig", 2);
  faults().respond_with_other_class("CSetAlarmConfig", 2);
  faults().fail_with_status("CSetAlarmConfig", zu::cds::status_invalid, 2);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(inband.setChannelAlarmDelay(kChannel, 1), kChannel);
    EXPECT_EQ(inband.setChannelAlarmTriggerThreshold(kChannel, cdsapi::FirstTrigger, 1.0f), kChannel);
  }
  EXPECT_EQ(Shown(stored), kInitially);
}

// The alarm-disabled bit lives in the channel's state, which the store keeps.
TEST_F(AlarmConfigTest, EnabledIsTheChannelsAlarmDisabledBitClear) {
  unsigned long long channel = inband.createChannel(1, "door", false);
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
