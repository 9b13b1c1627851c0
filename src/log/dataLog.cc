#include "cdsapi/dataLog.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <utility>

#include "common/Text.h"
#include "log/UserName.h"

boost::thread_specific_ptr<toolkit::CSysLog> _thr_local_syslog;

namespace cdsapi {

namespace {

// The characters that make a spreadsheet read a cell as a formula.
const std::array<char, 5> kFormulaCharacters = {'=', '+', '-', '*', '@'};

syslog_facility categoryFacility(enLogCategory category) {
  switch (category) {
    case CategoryUserManagement: return FacilityLocal2;
    case CategorySession: return FacilityLocal6;
    case CategoryUpdate: return FacilityLocal1;
    default: return FacilityLocal4;
  }
}

// The audit record through the calling thread's logger, if it has one. The
// filtered message is handed over as a plain text, never as a format.
void writeAudit(syslog_facility facility, syslog_severity severity, toolkit::CCeeLogMsg& record,
                const std::string& message) {
  toolkit::CSysLog* log = _thr_local_syslog.get();
  if (log == nullptr) return;
  const std::string filtered = dataLog::csvInjectionFiltering(message);
  log->audit_log_cee_msg(facility, severity, record, filtered.c_str());
}

}  // namespace

dataLog::dataLog(std::string identifier) : name(std::move(identifier)) {
  _thr_local_syslog.reset(new toolkit::CSysLog(static_cast<const char*>(nullptr), 0, false, false, true, nullptr));
  toolkit::CSysLog::set_ident(name.c_str(), false);
}

dataLog::~dataLog() = default;

std::string dataLog::csvInjectionFiltering(const std::string text) {
  std::string filtered = text;
  // c_str(): an empty text is looked at through its terminating NUL.
  if (std::find(kFormulaCharacters.begin(), kFormulaCharacters.end(), *filtered.c_str()) !=
      kFormulaCharacters.end()) {
    filtered.insert(filtered.begin(), '\'');
  }
  return filtered;
}

void dataLog::logDebug(const std::string& message, const syslog_severity severity, const std::uint32_t& verbosity) {
  void (toolkit::CSysLog::*writer)(std::uint32_t, const char*, const char*);
  switch (severity) {
    case SeverityWarning: writer = &toolkit::CSysLog::warn; break;
    case SeverityInformational: writer = &toolkit::CSysLog::info; break;
    case SeverityCritical: writer = &toolkit::CSysLog::crit; break;
    default: return;
  }
  toolkit::CSysLog* log = _thr_local_syslog.get();
  if (log == nullptr || verbosity > log->verbosity) return;
  (log->*writer)(verbosity, nullptr, message.c_str());
}

void dataLog::logDebugVerbosity(const std::uint32_t& verbosity) {
  if (toolkit::CSysLog* log = _thr_local_syslog.get()) log->verbosity = verbosity;
}

std::string dataLog::getUserName() { return detail::userNameFor(geteuid(), detail::passwordDatabaseLogin); }

std::string dataLog::getProcessName(int pid) {
  if (pid == 0) pid = getpid();
  std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
  if (!cmdline) return std::string();
  std::string word;
  cmdline >> word;
  // The arguments are separated by NULs, which the extraction does not stop
  // at: the first one ends the executable's name.
  return detail::c_text(word);
}

void dataLog::logUpdate(const cee_actions action, const cee_statuses status, const std::string& message,
                        const syslog_severity severity, const std::string& detail, const int pid) {
  logCommon(FacilityLocal1, action, status, message, severity, detail, pid);
}

void dataLog::logUserMgt(const cee_actions action, const cee_statuses status, const std::string& message,
                         const syslog_severity severity, const std::string& detail, const int pid) {
  logCommon(FacilityLocal2, action, status, message, severity, detail, pid);
}

void dataLog::logDeviceEvent(const cee_actions action, const cee_statuses status, const std::string& message,
                             const syslog_severity severity, const std::string& detail, const int pid) {
  logCommon(FacilityLocal4, action, status, message, severity, detail, pid);
}

void dataLog::logConfiguration(const cee_actions action, const cee_statuses status, const std::string& message,
                               const syslog_severity severity, const std::string& detail, const int pid) {
  logCommon(FacilityLocal5, action, status, message, severity, detail, pid);
}

void dataLog::logSession(const cee_actions action, const cee_statuses status, const std::string& message,
                         const syslog_severity severity, const std::string& detail, const int pid) {
  logCommon(FacilityLocal6, action, status, message, severity, detail, pid);
}

void dataLog::logCommand(const cee_actions action, const cee_statuses status, const std::string& message,
                         const syslog_severity severity, const std::string& detail, const int pid) {
  logCommon(FacilityLocal7, action, status, message, severity, detail, pid);
}

void dataLog::logCommon(syslog_facility facility, cee_actions action, cee_statuses status, std::string message,
                        syslog_severity severity, std::string detail, int pid) {
  toolkit::CCeeLogMsg record(action, status, 0, getUserName(), std::move(detail), getProcessName(pid));
  writeAudit(facility, severity, record, message);
}

void dataLog::logMessage(enLogCategory category, int first, int second, const syslog_severity severity,
                         const std::string& detail, int pid, const std::string& message) {
  logMessagePriv(category, first, second, severity, detail, pid, message);
}

void dataLog::logMessagePriv(enLogCategory category, int first, int second, syslog_severity severity,
                             const std::string& detail, int pid, const std::string& message) {
  // Added, not or-ed: codes out of their fields carry into the next one.
  const std::uint32_t code = (static_cast<std::uint32_t>(category) << 20) + (static_cast<std::uint32_t>(first) << 8) +
                             static_cast<std::uint32_t>(second);
  toolkit::CCeeLogMsg record(CEE_ACTION_NONE, CEE_STATUS_REPORT, code, getUserName(), detail, getProcessName(pid));
  writeAudit(categoryFacility(category), severity, record, message);
}

}  // namespace cdsapi
