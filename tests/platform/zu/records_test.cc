#include "zu/cds/Records.h"

#include <gtest/gtest.h>

namespace zc = zu::cds;

namespace {

// What clean() keeps and empties is proven field by field through the codec's tests.
TEST(RecordsTest, AFreshRecordsHeaderAndItsStatusText) {
  zc::CGetDevice r;
  EXPECT_EQ(r.status, 0U);
  EXPECT_EQ(r.kind, 0U);
  EXPECT_EQ(r.timeout, -1);
  EXPECT_STREQ(r.time_format, "%F %T");
  EXPECT_EQ(zc::CSubscriberNotify().kind, 2U);
  EXPECT_EQ(zc::CSubscriberNotify().subscription_id, zu::kNoId);

  const std::pair<std::uint32_t, const char*> texts[] = {
      {zc::status_none, "no status"},         {zc::status_ok, "success"},
      {zc::status_refused, "not found or refused"}, {zc::status_no_queue, "no queue space for the response"},
      {zc::status_too_big, "response too big"}, {zc::status_invalid, "invalid request"},
      {zc::status_exists, "already exists"},  {1000, "unknown status"}};
  for (const auto& t : texts) {
    r.status = t.first;
    EXPECT_STREQ(r.get_status_text(), t.second);
  }
  r.message = "device 12 is the root";
  EXPECT_STREQ(r.get_status_text(), "device 12 is the root");

  r.ids = {1, 2, 3};
  const auto capacity = r.ids.capacity();
  r.clean();
  EXPECT_STREQ(r.get_status_text(), "unknown status");
  EXPECT_EQ(r.ids.capacity(), capacity);  // storage kept for reuse
}

}  // namespace
