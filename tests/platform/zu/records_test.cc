#include "zu/cds/Records.h"

#include <gtest/gtest.h>

#include <google/protobuf/util/message_differencer.h>

#include <string>

#include "record_samples.h"
#include "zu/proto/wire.pb.h"
#include "zu/wire/Codec.h"

namespace zc = zu::cds;
namespace gp = google::protobuf;

namespace {

TEST(RecordsTest, FreshRecordsHaveTheDocumentedHeader) {
  zc::CGetDevice r;
  EXPECT_EQ(r.status, 0U);
  EXPECT_EQ(r.kind, 0U);
  EXPECT_EQ(r.timeout, -1);
  EXPECT_STREQ(r.time_format, "%F %T");
  EXPECT_EQ(zc::CSubscriberNotify().kind, 2U);
  EXPECT_EQ(zc::CSubscriberNotify().subscription_id, zu::kNoId);
}

zu::wire::Envelope encoded(const zc::CRequestResponse& r) {
  std::string payload, error;
  zu::wire::Envelope env;
  EXPECT_TRUE(zu::wire::encode_record(r, 1, &payload, &error)) << error;
  EXPECT_TRUE(zu::wire::parse_envelope(payload, &env, &error)) << error;
  return env;
}

// Seen through its wire message (which carries every field of every record):
// clean() through the base empties the two header texts and every container
// of the record, and keeps every other field. A query of alarm deletions keeps
// its id sets: they are its parameters.
TEST(RecordsTest, CleanEmptiesTheTextsAndContainersAndKeepsEveryScalar) {
  for (const auto& record : samples::every_record()) {
    SCOPED_TRACE(record->class_name());
    zu::wire::Envelope expected = encoded(*record);
    gp::Message* body = expected.GetReflection()->MutableMessage(
        &expected, expected.GetReflection()->GetOneofFieldDescriptor(expected, expected.GetDescriptor()->oneof_decl(0)));
    const auto* fields = body->GetDescriptor();
    for (int i = 0; i < fields->field_count(); ++i) {
      if (fields->field(i)->is_repeated() && !expected.has_delete_alarms())
        body->GetReflection()->ClearField(body, fields->field(i));
    }
    auto* header = dynamic_cast<zu::wire::Header*>(
        body->GetReflection()->MutableMessage(body, fields->FindFieldByName("header")));
    ASSERT_NE(header, nullptr);
    header->clear_origin();
    header->clear_message();

    record->clean();
    EXPECT_TRUE(gp::util::MessageDifferencer::Equals(encoded(*record), expected)) << encoded(*record).DebugString();
  }

  zc::CGetDevice gd;
  gd.ids = {1, 2, 3};
  const auto capacity = gd.ids.capacity();
  gd.clean();
  EXPECT_EQ(gd.ids.capacity(), capacity);  // storage kept for reuse
}

TEST(RecordsTest, StatusTextNamesEachStatusUnlessTheFrameworkExplained) {
  zc::CDeleteDevice r;
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
  r.clean();
  EXPECT_STREQ(r.get_status_text(), "unknown status");
}

}  // namespace
