#include "audit.h"

#include <syslog.h>

namespace demo {

namespace {

std::string facility_name(int priority) {
  const int facility = LOG_FAC(priority);
  if (facility >= LOG_FAC(LOG_LOCAL0) && facility <= LOG_FAC(LOG_LOCAL7)) {
    return "local" + std::to_string(facility - LOG_FAC(LOG_LOCAL0));
  }
  return facility == LOG_FAC(LOG_USER) ? "user" : std::to_string(facility);
}

const char* const kSeverityNames[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};

}  // namespace

AuditEcho::AuditEcho(Console& out) : out_(out) { toolkit::CSysLog::set_sink(this); }

AuditEcho::~AuditEcho() {
  toolkit::CSysLog::set_sink(nullptr);
  closelog();  // drops the identifier pointer into idents_
}

void AuditEcho::write(int priority, const std::string& ident, const std::string& text) {
  // The sink takes the place of syslog(3), so the record is sent on from
  // here. Records arrive one at a time, under the writers' lock.
  openlog(idents_.insert(ident).first->c_str(), LOG_PID, LOG_USER);
  syslog(priority, "%s", text.c_str());
  out_.say("  [syslog %s.%s %s] %s\n", facility_name(priority).c_str(), kSeverityNames[LOG_PRI(priority)],
           ident.c_str(), text.c_str());
}

void audit_configuration(cee_actions action, const std::string& message, const std::string& detail) {
  cdsapi::dataLog::logConfiguration(action, CEE_STATUS_SUCCESS, message, cdsapi::SeverityInformational, detail, 0);
}

void audit_device(cee_actions action, const std::string& message, const std::string& detail) {
  cdsapi::dataLog::logDeviceEvent(action, CEE_STATUS_SUCCESS, message, cdsapi::SeverityInformational, detail, 0);
}

}  // namespace demo
