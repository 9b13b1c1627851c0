// cdsctl's alarm configuration, alarm queries and watch, against a daemon.
#include <time.h>

#include "cdsctl_fixture.h"

namespace cdsctl_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class CdsctlAlarmsTest : public CdsctlTest {
 protected:
  void SetUp() override {
    CdsctlTest::SetUp();
    device_ = std::to_string(CreatedId({"device", "create", "name=inlet sensor"}));
    channel_ = device_ + "/temperature";
    ASSERT_EQ(Cds({"channel", "create", device_, "temperature", "--units", "degC"}).status, 0);
    ASSERT_EQ(Cds({"set", channel_, "20", "--type", "double"}).status, 0);
  }

  std::string device_;
  std::string channel_;
};

TEST_F(CdsctlAlarmsTest, ValueCrossingAConfiguredTriggerRaisesANamedAlarm) {
  ASSERT_EQ(Cds({"config", "alarm", "add", channel_, "--threshold", "30", "--level", "critical", "--code", "1204",
                 "--hysteresis", "1"})
                .status,
            0);
  Result config = Cds({"config", "alarm", "show", channel_});
  ASSERT_EQ(config.status, 0) << config.err;
  EXPECT_THAT(config.out, HasSubstr("alarms enabled"));
  EXPECT_THAT(config.out, HasSubstr("critical  high       30 degC    1 degC"));
  EXPECT_THAT(Cds({"alarms", "active"}).out, HasSubstr("no active alarms"));

  ASSERT_EQ(Cds({"set", channel_, "35"}).status, 0);
  Result active = Cds({"alarms", "active", device_});
  ASSERT_EQ(active.status, 0) << active.err;
  EXPECT_THAT(active.out, HasSubstr("critical"));
  EXPECT_THAT(active.out, HasSubstr(channel_ + "  35 degC"));
  EXPECT_THAT(active.out, HasSubstr("Temperature is critically high"));

  const std::string json = Cds({"alarms", "active", "--json"}).out;
  EXPECT_EQ(JsonAt(json, "alarms.0.level"), R"("critical")");
  EXPECT_EQ(JsonAt(json, "alarms.0.channel_name"), '"' + channel_ + '"');
  EXPECT_EQ(JsonAt(json, "alarms.0.value"), "35");
  // The level filter leaves a critical alarm out of a warning query.
  EXPECT_THAT(Cds({"alarms", "active", "--level", "warning"}).out, HasSubstr("no active alarms"));

  // Disabling the channel's alarms ends the active one; the log keeps both updates.
  ASSERT_EQ(Cds({"config", "alarm", "disable", channel_}).status, 0);
  EXPECT_THAT(Cds({"alarms", "active"}).out, HasSubstr("no active alarms"));
  EXPECT_THAT(Cds({"config", "alarm", "show", channel_}).out, HasSubstr("alarms disabled"));
  Result log = Cds({"alarms", "log", device_});
  EXPECT_THAT(log.out, HasSubstr("raised"));
  EXPECT_THAT(log.out, HasSubstr("cleared"));

  ASSERT_EQ(Cds({"alarms", "clear", device_, "--end-active"}).status, 0);
  EXPECT_THAT(Cds({"alarms", "log", device_}).out, HasSubstr("no alarm updates"));
}

TEST_F(CdsctlAlarmsTest, LogSinceAndUntilKeepTheUpdatesFromOneTimeToAnotherBothIncluded) {
  ASSERT_EQ(Cds({"config", "alarm", "add", channel_, "--threshold", "30"}).status, 0);
  ASSERT_EQ(Cds({"set", channel_, "35"}).status, 0);
  const std::string log = Cds({"alarms", "log", device_, "--json"}).out;
  ASSERT_EQ(JsonAt(log, "alarms"), "[1]");
  std::string at = JsonAt(log, "alarms.0.time");  // as the log prints it, to the second
  at = at.substr(1, at.size() - 2);
  std::tm tm{};
  ASSERT_TRUE(strptime(at.c_str(), "%Y-%m-%d %H:%M:%S", &tm)) << at;
  const long long seconds = timegm(&tm);

  struct Case {
    std::vector<std::string> options;
    std::size_t kept;
  };
  const std::vector<Case> cases = {
      {{"--since", at}, 1},
      {{"--until", at}, 1},
      {{"--since", at, "--until", std::to_string(seconds)}, 1},
      {{"--since", std::to_string(seconds + 1)}, 0},
      {{"--until", std::to_string(seconds - 1)}, 0},
      {{"--since", std::to_string(seconds - 1), "--until", std::to_string(seconds - 1)}, 0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"alarms", "log", device_, "--json"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    Result r = Cds(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonAt(r.out, "alarms"), "[" + std::to_string(c.kept) + "]") << testing::PrintToString(c.options);
  }
}

TEST_F(CdsctlAlarmsTest, TriggersAreChangedInThresholdOrderAndBadChangesRefused) {
  ASSERT_EQ(Cds({"config", "alarm", "add", channel_, "--threshold", "40", "--level", "critical"}).status, 0);
  ASSERT_EQ(Cds({"config", "alarm", "add", channel_, "--threshold", "30"}).status, 0);
  // Trigger 0 is the lowest threshold: 30, the warning.
  ASSERT_EQ(Cds({"config", "alarm", "set", channel_, "--trigger", "0", "--threshold", "25"}).status, 0);
  ASSERT_EQ(Cds({"config", "alarm", "set", channel_, "--hysteresis", "0.5", "--delay", "3"}).status, 0);
  const std::string show = Cds({"config", "alarm", "show", channel_, "--json"}).out;
  ASSERT_EQ(JsonAt(show, "triggers"), "[2]");
  EXPECT_EQ(JsonAt(show, "triggers.0.threshold"), "25");
  EXPECT_EQ(JsonAt(show, "triggers.0.level"), R"("warning")");
  EXPECT_EQ(JsonAt(show, "triggers.1.threshold"), "40");
  for (const std::string i : {"0", "1"}) {
    EXPECT_EQ(JsonAt(show, "triggers." + i + ".hysteresis"), "0.5");
    EXPECT_EQ(JsonAt(show, "triggers." + i + ".delay"), "3");
  }

  ExpectFailure({"config", "alarm", "set", channel_, "--trigger", "2", "--threshold", "1"}, 1,
                "has 2 trigger(s): --trigger is 0 to 1");
  ExpectFailure({"config", "alarm", "set", channel_, "--hysteresis", "-1"}, 1, "cannot be negative");

  ASSERT_EQ(Cds({"config", "alarm", "remove", channel_, "--trigger", "1"}).status, 0);
  Result left = Cds({"config", "alarm", "show", channel_});
  EXPECT_THAT(left.out, HasSubstr("25 degC"));
  EXPECT_THAT(left.out, Not(HasSubstr("40 degC")));
}

TEST_F(CdsctlAlarmsTest, WatchPrintsAnotherClientsChangesAndExitsZeroOnSigint) {
  auto watch = Start({"--endpoint", Endpoint(), "watch"});
  ASSERT_TRUE(watch->wait_for(2, "watching device 1")) << watch->err();

  ASSERT_EQ(Cds({"set", channel_, "21.5"}).status, 0);
  EXPECT_TRUE(watch->wait_for(1, "value   " + channel_ + " = 21.5 degC")) << watch->out() << watch->err();

  ASSERT_EQ(Cds({"config", "alarm", "add", channel_, "--threshold", "30", "--code", "1203"}).status, 0);
  ASSERT_EQ(Cds({"set", channel_, "31"}).status, 0);
  EXPECT_TRUE(watch->wait_for(1, "alarm   warning raised " + channel_ + " = 31 degC: Temperature is high"))
      << watch->out() << watch->err();

  // A channel created after the watch started is followed too.
  ASSERT_EQ(Cds({"channel", "create", device_, "humidity"}).status, 0);
  EXPECT_TRUE(watch->wait_for(1, "channels added or removed")) << watch->out();
  ASSERT_EQ(Cds({"set", device_ + "/humidity", "40", "--type", "int32"}).status, 0);
  EXPECT_TRUE(watch->wait_for(1, device_ + "/humidity = 40")) << watch->out() << watch->err();

  watch->signal(SIGINT);
  EXPECT_EQ(watch->finish(), 0) << watch->err();
}

}  // namespace
}  // namespace cdsctl_test
