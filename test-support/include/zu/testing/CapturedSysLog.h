#pragma once
// Capture of the system-log writers (toolkit::CSysLog) for tests: every record
// of the process goes to the capture instead of syslog(3) for its lifetime.
#include <mutex>
#include <string>
#include <vector>

#include "tova/toolkit/CSysLog.h"

namespace zu {
namespace testing {

class CapturedSysLog : public toolkit::SysLogSink {
 public:
  struct Record {
    int facility;  // as syslog(3) codes it (LOG_LOCAL4 is 160)
    int severity;
    std::string ident;
    std::string text;
  };

  CapturedSysLog();
  ~CapturedSysLog() override;
  CapturedSysLog(const CapturedSysLog&) = delete;
  CapturedSysLog& operator=(const CapturedSysLog&) = delete;

  // A copy of the records so far, in the order they were written.
  std::vector<Record> records() const;
  void clear();

  void write(int priority, const std::string& ident, const std::string& text) override;

 private:
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

}  // namespace testing
}  // namespace zu
