#include "tova/toolkit/CSysLog.h"

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <thread>
#include <vector>

#include "zu/testing/CapturedSysLog.h"

namespace {

using toolkit::CCeeLogMsg;
using toolkit::CSysLog;

class SysLogTest : public ::testing::Test {
 protected:
  void SetUp() override { CSysLog::set_ident("tova-test", false); }
  void TearDown() override { CSysLog::set_ident(nullptr, false); }
  zu::testing::CapturedSysLog log;
};

// Whatever the texts hold, the record is one line of JSON that reads back
// as the texts; bytes that are not UTF-8 read back as the code points of
// their values.
TEST_F(SysLogTest, AuditTextsCannotBreakTheJson) {
  struct Case {
    std::string text;
    std::string reads_back;
  } const cases[] = {
      {"\",\"user\":\"root line\nforged: @cee: {}\r\t", "\",\"user\":\"root line\nforged: @cee: {}\r\t"},
      {std::string("nul\0bell\x07\x1f\x7f", 11), std::string("nul\0bell\x07\x1f\x7f", 11)},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x8c", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x8c"},
      {"stray \x80 cut \xc3 overlong \xc0\xaf", "stray \xc2\x80 cut \xc3\x83 overlong \xc3\x80\xc2\xaf"},
      {"surrogate \xed\xa0\x80 past \xf4\x90\x80\x80 end \xe2\x82",
       "surrogate \xc3\xad\xc2\xa0\xc2\x80 past \xc3\xb4\xc2\x90\xc2\x80\xc2\x80 end \xc3\xa2\xc2\x82"},
  };
  CSysLog writer;
  for (const Case& c : cases) {
    log.clear();
    CCeeLogMsg msg(1, 2, 3, c.text, c.text, c.text);
    writer.audit_log_cee_msg(LOG_LOCAL5, LOG_INFO, msg, c.text.c_str());
    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    const std::string& line = records[0].text;
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    google::protobuf::Struct parsed;
    ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(line.substr(6), &parsed).ok()) << line;
    const auto& fields = parsed.fields();
    for (const char* name : {"user", "detail", "process"}) EXPECT_EQ(fields.at(name).string_value(), c.reads_back);
    // The message is a C text: it ends at a NUL.
    EXPECT_EQ(fields.at("msg").string_value(), std::string(c.reads_back.c_str()));
  }
}

TEST(SysLogDirectTest, RealSyslogPathTakesTheMessageLiterally) {
  // No sink: the record goes to syslog(3), where a '%s' or '%n' taken as a
  // format would read or write through garbage (caught by the sanitizers).
  CSysLog log("tova-direct", 0, true);
  ::testing::internal::CaptureStderr();
  log.warn(0, nullptr, "50% %s %n");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "tova-direct: 50% %s %n\n");
}

TEST_F(SysLogTest, ConcurrentWritersLoseNoRecord) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      CSysLog writer("thread-" + std::to_string(t));
      CCeeLogMsg msg(0, 0, 0, "", "", "");
      for (int i = 0; i < 200; ++i) {
        writer.info(0, nullptr, "debug");
        writer.audit_log_cee_msg(LOG_LOCAL5, LOG_INFO, msg, "audit");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(log.records().size(), 1600u);
}

}  // namespace
