// Where the library meets the data store's alarm engine: triggers and values
// written with InBandAccessor, alarms read and cleared with DataAlarms, against
// a real store (in this process or in cdsd). The engine's own rules are tested
// with the store; what each query sends and how it treats an answer, with the
// fault-injecting transport.
#include "alarms_fixture.h"
#include "cdsapi/InBandAccessor.h"

namespace alarms_test {
namespace {

class EngineEndToEndTest : public DataAlarmsTest {
 protected:
  // A "high" trigger of `level` at `threshold` on a new channel of the device.
  unsigned long long Watched(const std::string& name, cdsapi::LevelAlarm level, double threshold) {
    const unsigned long long channel = inband.createChannel(device, name, false);
    zu::cds::CSingleAlarmConfig config;
    config.triggers.emplace_back();
    config.triggers[0].level = level;
    config.triggers[0].threshold = zu::CValue(threshold);
    config.triggers[0].hysteresis = zu::CValue(1.0f);
    inband.setChannelAlarmConfig(channel, config);
    return channel;
  }
  void Write(unsigned long long channel, double value) { inband.setChannelCValue(channel, zu::CValue(value)); }
  std::vector<zu::CAlarmUpdate> Active() { return alarms.getActive(device, false); }
  std::vector<zu::CAlarmUpdate> Log() { return alarms.getLog(device, false, 0, 0); }

  cdsapi::InBandAccessor inband{client, false};
  unsigned long long device = inband.createDevice(0, 1, false);
};

TEST_F(EngineEndToEndTest, AlarmsRaisedByTheEngineReadInLibraryLevelsAndClearAtTheStore) {
  const auto temperature = Watched("temperature", cdsapi::LevelCritical, 30.0);
  const auto humidity = Watched("humidity", cdsapi::LevelInfo, 80.0);
  cdsapi::DataAlarms::AlarmChangedContext seen;
  EXPECT_FALSE(alarms.hasChanged(device, false, false, seen));
  Write(temperature, 30.0);
  EXPECT_TRUE(alarms.hasChanged(device, false, false, seen));
  EXPECT_EQ(Shown(alarms.getActive(device, false, 0, 0, cdsapi::LevelWarning)), "");
  const auto active = Active();
  ASSERT_EQ(Shown(active), "1:7:active ");
  EXPECT_EQ(active[0].alarm_id, temperature);
  EXPECT_EQ(active[0].value, zu::CValue(30.0));
  auto critical = alarms.getMostCritical(device);
  ASSERT_TRUE(critical);
  EXPECT_EQ(critical->trigger->level, 3u) << "the most critical alarm keeps the store's level";
  EXPECT_EQ(alarms.getLevel(temperature), 7u);

  Write(temperature, 28.9);
  EXPECT_EQ(Shown(Log()), "2:7:end 1:7 ");
  EXPECT_EQ(Shown(alarms.getClosedAlarmsFromDate(device, zu::CWallTime())), "2:7:end ");
  Write(humidity, 90.0);
  Write(temperature, 35.0);
  EXPECT_EQ(Shown(Active()), "4:7:active 3:5:active ");
  EXPECT_EQ(alarms.getNbInstance(device, zu::CWallTime(), cdsapi::LevelStoreInfo, false), 1u)
      << "level 0 is a filter here: store level info";
  EXPECT_EQ(alarms.getEndInstanceGlobal(), 4u);
  EXPECT_EQ(alarms.getEndInstance(device, false, false), 4u);

  zu::testing::CapturedStream err(std::cerr);
  alarms.clear(device, zu::CWallTime::now(), cdsapi::LevelInfo, 1);
  EXPECT_EQ(Shown(Active()), "4:7:active ") << "the info alarm ended";
  alarms.clear(device, zu::CWallTime::now(), 8, 1);
  EXPECT_EQ(err.text(), "Error: The delete alarm request did not succeed.\n");
  alarms.clearByIds({temperature});
  EXPECT_EQ(Shown(Log()), "5:5:end ") << "the info raise deleted, its end kept";
  EXPECT_EQ(Shown(Active()), "4:7:active ") << "deleting by id leaves raised alarms raised";
}

}  // namespace
}  // namespace alarms_test
