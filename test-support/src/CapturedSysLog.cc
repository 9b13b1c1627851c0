#include "zu/testing/CapturedSysLog.h"

#include <syslog.h>

namespace zu {
namespace testing {

CapturedSysLog::CapturedSysLog() { toolkit::CSysLog::set_sink(this); }

CapturedSysLog::~CapturedSysLog() { toolkit::CSysLog::set_sink(nullptr); }

std::vector<CapturedSysLog::Record> CapturedSysLog::records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

void CapturedSysLog::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

void CapturedSysLog::write(int priority, const std::string& ident, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.push_back({LOG_FAC(priority) << 3, LOG_PRI(priority), ident, text});
}

}  // namespace testing
}  // namespace zu
