// Audit records of the demo: every change it makes to the installation is
// also written to the system log, and echoed on the console so that a reader
// sees the records as the system log receives them.
#pragma once
#include <set>
#include <string>

#include "cdsapi/dataLog.h"
#include "console.h"
#include "tova/toolkit/CSysLog.h"

namespace demo {

// For its lifetime, every system-log record of the process goes to the
// system log as usual and is also written to `out` as
//   [syslog local5.info cds-demo] @cee: {...}
class AuditEcho : public toolkit::SysLogSink {
 public:
  explicit AuditEcho(Console& out);
  ~AuditEcho() override;
  AuditEcho(const AuditEcho&) = delete;
  AuditEcho& operator=(const AuditEcho&) = delete;

  void write(int priority, const std::string& ident, const std::string& text) override;

 private:
  Console& out_;
  std::set<std::string> idents_;  // openlog(3) keeps the pointer it is given
};

// One configuration-change record of this process (facility local5).
void audit_configuration(cee_actions action, const std::string& message, const std::string& detail);
// One device-event record of this process (facility local4).
void audit_device(cee_actions action, const std::string& message, const std::string& detail);

}  // namespace demo
