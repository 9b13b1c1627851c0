#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alarms_fixture.h"
#include "cdsapi/AlarmInfos.h"

namespace alarms_test {
namespace {

cdsapi::AlarmInfos WithCode(const std::string& code, bool back_to_normal) {
  zu::CAlarmUpdate update = Update(1, 0, 1, 0, 0, back_to_normal);
  update.trigger->code = code;
  update.description = "temp of rack 3 over 40";
  return update;
}

TEST(AlarmInfosTest, EveryKnownCodeGivesItsRaiseOrBackToNormalText) {
  const struct {
    const char* code;
    const char* raised;
    const char* back;
  } table[] = {
      {"1200", "Communication lost", "Communication recovered"},
      {"1201", "Temperature is critically low", "Temperature is back to low"},
      {"1202", "Temperature is low", "Temperature is back to normal"},
      {"1203", "Temperature is high", "Temperature is back to normal"},
      {"1204", "Temperature is critically high", "Temperature is back to high"},
      {"1211", "Humidity is critically low", "Humidity is back to low"},
      {"1212", "Humidity is low", "Humidity is back to normal"},
      {"1213", "Humidity is high", "Humidity is back to normal"},
      {"1214", "Humidity is critically high", "Humidity is back to high"},
      {"1221", "Contact is active", "Contact is back to normal"},
      {"1302", "Alarms: the number of alarms is high and above 5 000", "Alarms: the number of alarms is back to normal"},
      {"1303", "Alarms: the number of alarms is too high and above 6 000",
       "Alarms: the number of alarms is back to normal"},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.code);
    EXPECT_EQ(WithCode(row.code, false).getDescriptionString(), row.raised);
    EXPECT_EQ(WithCode(row.code, true).getDescriptionString(), row.back);
  }
}

TEST(AlarmInfosTest, OtherCodesGiveTheUpdatesDescription) {
  for (bool back : {false, true})
    for (const std::string& code : std::vector<std::string>{"9999", "", "1204 ", " 1204", "120", std::string("1204\0", 5)})
      EXPECT_EQ(WithCode(code, back).getDescriptionString(), "temp of rack 3 over 40") << '"' << code << '"';
  zu::CAlarmUpdate untriggered = Untriggered(1);
  untriggered.description = "Device lost";
  EXPECT_EQ(cdsapi::AlarmInfos(untriggered).getDescriptionString(), "Device lost");
  EXPECT_STREQ(cdsapi::AlarmInfos(untriggered).getLevelString(), "unknown");
}

TEST(AlarmInfosTest, LevelNamesAgreeForStoreAndLibraryLevels) {
  const char* names[] = {"info", "good", "warning", "critical", "good", "info", "warning", "critical",
                         "unknown", "unknown", "unknown"};
  const unsigned levels[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 4294967295U};
  for (int i = 0; i < 11; ++i)
    EXPECT_STREQ(cdsapi::AlarmInfos(Update(1, 0, 1, levels[i])).getLevelString(), names[i]) << levels[i];
}

std::string Sorted(std::vector<zu::CAlarmUpdate> updates) {
  std::sort(updates.begin(), updates.end(), cdsapi::less_than_priority());
  return Shown(updates);
}

TEST(AlarmOrderingTest, UpdatesOrderByLevelThenPriorityAndUntriggeredLast) {
  EXPECT_EQ(Sorted({Update(1, 0, 1, 6, 0), Update(1, 0, 2, 7, 3), Update(1, 0, 3, 7, 1)}), "3:7 2:7 1:6 ");
  // Levels compare unsigned; updates without a trigger tie with each other.
  std::string sorted = Sorted({Untriggered(9), Update(1, 0, 1, 0, 7), Update(1, 0, 2, 4294967295U, 9), Untriggered(8)});
  EXPECT_TRUE(sorted == "2:4294967295 1:0 9:- 8:- " || sorted == "2:4294967295 1:0 8:- 9:- ") << sorted;
  cdsapi::less_than_priority before;
  EXPECT_FALSE(before(Untriggered(1), Untriggered(2)));
  EXPECT_FALSE(before(Update(1, 0, 1, 7, 1), Update(1, 0, 2, 7, 1)));

  zu::CAlarmTrigger low, high;
  low.threshold = zu::CValue(10.0f);
  high.threshold = zu::CValue(30.0f);
  EXPECT_TRUE(cdsapi::less_than_threshold()(low, high));
  EXPECT_FALSE(cdsapi::less_than_threshold()(high, low));
}

}  // namespace
}  // namespace alarms_test
