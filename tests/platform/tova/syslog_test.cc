#include "tova/toolkit/CSysLog.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

namespace {

using toolkit::CCeeLogMsg;
using toolkit::CSysLog;

struct Record {
    int priority;
    std::string ident;
    std::string text;
};

// Writes arrive under the writers' lock, so no lock of its own is needed.
class CaptureSink : public toolkit::SysLogSink {
public:
    void write(int priority, const std::string& ident, const std::string& text) override {
        records.push_back({priority, ident, text});
    }
    std::vector<Record> records;
};

class SysLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        CSysLog::set_sink(&sink_);
        CSysLog::set_ident("tova-test", false);
    }
    void TearDown() override {
        CSysLog::set_sink(nullptr);
        CSysLog::set_ident(nullptr, false);
    }
    const std::vector<Record>& records() const { return sink_.records; }

private:
    CaptureSink sink_;
};

TEST_F(SysLogTest, DebugRecordsCarryTheirSeverityAndLiteralText) {
    CSysLog log;
    log.info(0, nullptr, "100% done %s %n %d");
    log.warn(0, "", "disk %80 full");
    log.crit(0, nullptr, nullptr);

    ASSERT_EQ(records().size(), 3u);
    EXPECT_EQ(records()[0].priority, LOG_USER | LOG_INFO);
    EXPECT_EQ(records()[0].text, "100% done %s %n %d");
    EXPECT_EQ(records()[0].ident, "tova-test");
    EXPECT_EQ(records()[1].priority, LOG_USER | LOG_WARNING);
    EXPECT_EQ(records()[1].text, "disk %80 full");
    EXPECT_EQ(records()[2].priority, LOG_USER | LOG_CRIT);
    EXPECT_EQ(records()[2].text, "");
}

TEST_F(SysLogTest, RecordsUpToTheThresholdAreWritten) {
    CSysLog log(nullptr, 2);
    EXPECT_EQ(log.verbosity, 2u);
    log.info(2, nullptr, "at threshold");
    log.warn(3, nullptr, "above threshold");
    log.crit(0, nullptr, "below threshold");
    log.verbosity = 3;
    log.warn(3, nullptr, "threshold raised");

    ASSERT_EQ(records().size(), 3u);
    EXPECT_EQ(records()[0].text, "at threshold");
    EXPECT_EQ(records()[1].text, "below threshold");
    EXPECT_EQ(records()[2].text, "threshold raised");
}

TEST_F(SysLogTest, IdentifierComesFromObjectThenProcessThenProgram) {
    CSysLog own("own-ident");
    CSysLog shared;
    own.info(0, nullptr, "a");
    shared.info(0, nullptr, "b");
    CSysLog::set_ident(std::string("renamed"), false);
    shared.info(0, nullptr, "c");
    CSysLog::set_ident(nullptr, false);
    shared.info(0, nullptr, "d");

    ASSERT_EQ(records().size(), 4u);
    EXPECT_EQ(records()[0].ident, "own-ident");
    EXPECT_EQ(records()[1].ident, "tova-test");
    EXPECT_EQ(records()[2].ident, "renamed");
    EXPECT_EQ(records()[3].ident, program_invocation_short_name);
}

TEST_F(SysLogTest, TagAndThreadIdPrefixTheText) {
    CSysLog log(nullptr, 0, false, true);
    log.info(0, "net", "up");
    ASSERT_EQ(records().size(), 1u);
    const std::string& text = records()[0].text;
    EXPECT_EQ(text.rfind("[tid ", 0), 0u) << text;
    EXPECT_NE(text.find("] net: up"), std::string::npos) << text;
}

TEST_F(SysLogTest, AuditRecordLayoutAndEscaping) {
    CSysLog log(nullptr, 0);  // audit records ignore the threshold
    CCeeLogMsg msg(3, 5, 2097924, "operator - local", "said \"hi\"\n", "/usr/bin/app");
    log.audit_log_cee_msg(LOG_LOCAL4, LOG_WARNING, msg, "=1+1 at 50%s\\");

    ASSERT_EQ(records().size(), 1u);
    EXPECT_EQ(records()[0].priority, LOG_LOCAL4 | LOG_WARNING);
    EXPECT_EQ(records()[0].text,
              "@cee: {\"action\":3,\"status\":5,\"code\":2097924,\"user\":\"operator - local\","
              "\"detail\":\"said \\\"hi\\\"\\n\",\"process\":\"/usr/bin/app\",\"msg\":\"=1+1 at 50%s\\\\\"}");
}

TEST_F(SysLogTest, AuditFormatIsExpandedOnlyWithArguments) {
    CSysLog log;
    CCeeLogMsg msg(0, 0, 0, "", std::string("a\0b", 3), "");
    log.audit_log_cee_msg(LOG_LOCAL1, LOG_INFO, msg, "%d files in %s", 12, "/tmp");
    log.audit_log_cee_msg(LOG_LOCAL1, LOG_INFO, msg, "%d files in %s");

    ASSERT_EQ(records().size(), 2u);
    EXPECT_NE(records()[0].text.find("\"msg\":\"12 files in /tmp\""), std::string::npos) << records()[0].text;
    EXPECT_NE(records()[1].text.find("\"msg\":\"%d files in %s\""), std::string::npos) << records()[1].text;
    EXPECT_NE(records()[0].text.find("\"detail\":\"a\\u0000b\""), std::string::npos) << records()[0].text;
}

TEST_F(SysLogTest, InvalidFacilityOrSeverityStillWritesTheRecord) {
    CSysLog log;
    CCeeLogMsg msg(1, 1, 1, "u", "d", "p");
    log.audit_log_cee_msg(LOG_LOCAL7 + 8, LOG_ERR, msg, "a");
    log.audit_log_cee_msg(LOG_LOCAL2 + 1, 9, msg, "b");

    ASSERT_EQ(records().size(), 2u);
    EXPECT_EQ(records()[0].priority, LOG_USER | LOG_ERR);
    EXPECT_EQ(records()[1].priority, LOG_USER | LOG_NOTICE);
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
    constexpr int kThreads = 4;
    constexpr int kPerThread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            CSysLog log("thread-" + std::to_string(t));
            CCeeLogMsg msg(0, 0, 0, "", "", "");
            for (int i = 0; i < kPerThread; ++i) {
                log.info(0, nullptr, "debug");
                log.audit_log_cee_msg(LOG_LOCAL5, LOG_INFO, msg, "audit");
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(records().size(), static_cast<std::size_t>(2 * kThreads * kPerThread));
}

}  // namespace
