// cdsctl's alarm configuration, alarm queries and watch, against a daemon.
#include <time.h>

#include "cdsctl_fixture.h"

namespace cdsctl_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class CdsctlAlarmsTest : public CdsctlTest {
 protected:
  CdsctlAlarmsTest() {
    seed_ = R"({"devices": [{"id": 20, "attributes": {"name": "inlet sensor"}, "channels":
               [{"name": "temperature", "units": "degC", "value": 20, "type": "double"}]}]})";
  }

  const std::string device_ = "20";
  const std::string channel_ = "20/temperature";
};

TEST_F(CdsctlAlarmsTest, ValueCrossingAConfiguredTriggerRaisesANamedAlarm) {
  Ok({"config", "alarm", "add", channel_, "--threshold", "30", "--level", "critical", "--code", "1204", "--hysteresis",
      "1"});
  const std::string config = Ok({"config", "alarm", "show", channel_});
  EXPECT_THAT(config, HasSubstr("alarms enabled"));
  EXPECT_THAT(config, HasSubstr("critical  high       30 degC    1 degC"));
  EXPECT_THAT(Ok({"alarms", "active"}), HasSubstr("no active alarms"));

  Ok({"set", channel_, "35"});
  const std::string active = Ok({"alarms", "active", device_});
  EXPECT_THAT(active, HasSubstr("critical"));
  EXPECT_THAT(active, HasSubstr(channel_ + "  35 degC"));
  EXPECT_THAT(active, HasSubstr("Temperature is critically high"));

  const std::string json = Ok({"alarms", "active", "--json"});
  EXPECT_EQ(JsonAt(json, "alarms.0.level"), R"("critical")");
  EXPECT_EQ(JsonAt(json, "alarms.0.channel_name"), '"' + channel_ + '"');
  EXPECT_EQ(JsonAt(json, "alarms.0.value"), "35");
  // The level filter leaves a critical alarm out of a warning query.
  EXPECT_THAT(Ok({"alarms", "active", "--level", "warning"}), HasSubstr("no active alarms"));

  // Disabling the channel's alarms ends the active one; the log keeps both updates.
  Ok({"config", "alarm", "disable", channel_});
  EXPECT_THAT(Ok({"alarms", "active"}), HasSubstr("no active alarms"));
  EXPECT_THAT(Ok({"config", "alarm", "show", channel_}), HasSubstr("alarms disabled"));
  const std::string log = Ok({"alarms", "log", device_});
  EXPECT_THAT(log, HasSubstr("raised"));
  EXPECT_THAT(log, HasSubstr("cleared"));

  Ok({"alarms", "clear", device_, "--end-active"});
  EXPECT_THAT(Ok({"alarms", "log", device_}), HasSubstr("no alarm updates"));
}

TEST_F(CdsctlAlarmsTest, LogSinceAndUntilKeepTheUpdatesFromOneTimeToAnotherBothIncluded) {
  Ok({"config", "alarm", "add", channel_, "--threshold", "30"});
  Ok({"set", channel_, "35"});
  const std::string log = Ok({"alarms", "log", device_, "--json"});
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
    EXPECT_EQ(JsonAt(Ok(args), "alarms"), "[" + std::to_string(c.kept) + "]") << testing::PrintToString(c.options);
  }
}

TEST_F(CdsctlAlarmsTest, TriggersAreChangedInThresholdOrderAndBadChangesRefused) {
  Ok({"config", "alarm", "add", channel_, "--threshold", "40", "--level", "critical"});
  Ok({"config", "alarm", "add", channel_, "--threshold", "30"});
  // Trigger 0 is the lowest threshold: 30, the warning.
  Ok({"config", "alarm", "set", channel_, "--trigger", "0", "--threshold", "25"});
  Ok({"config", "alarm", "set", channel_, "--hysteresis", "0.5", "--delay", "3"});
  const std::string show = Ok({"config", "alarm", "show", channel_, "--json"});
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

  Ok({"config", "alarm", "remove", channel_, "--trigger", "1"});
  const std::string left = Ok({"config", "alarm", "show", channel_});
  EXPECT_THAT(left, HasSubstr("25 degC"));
  EXPECT_THAT(left, Not(HasSubstr("40 degC")));
}

TEST_F(CdsctlAlarmsTest, WatchPrintsAnotherClientsChangesAndExitsZeroOnSigint) {
  auto watch = Start({"--endpoint", Endpoint(), "watch"});
  ASSERT_TRUE(watch->wait_for(2, "watching device 1")) << watch->err();

  Ok({"set", channel_, "21.5"});
  EXPECT_TRUE(watch->wait_for(1, "value   " + channel_ + " = 21.5 degC")) << watch->out() << watch->err();

  Ok({"config", "alarm", "add", channel_, "--threshold", "30", "--code", "1203"});
  Ok({"set", channel_, "31"});
  EXPECT_TRUE(watch->wait_for(1, "alarm   warning raised " + channel_ + " = 31 degC: Temperature is high"))
      << watch->out() << watch->err();

  // A channel created after the watch started is followed too.
  Ok({"channel", "create", device_, "humidity"});
  EXPECT_TRUE(watch->wait_for(1, "channels added or removed")) << watch->out();
  Ok({"set", device_ + "/humidity", "40", "--type", "int32"});
  EXPECT_TRUE(watch->wait_for(1, device_ + "/humidity = 40")) << watch->out() << watch->err();

  watch->signal(SIGINT);
  EXPECT_EQ(watch->finish(), 0) << watch->err();
}

}  // namespace
}  // namespace cdsctl_test
