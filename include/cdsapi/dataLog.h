#pragma once
// Audit and debug records in the system log, through a logger held per thread.
#include <cstdint>
#include <string>

#include <boost/thread/tss.hpp>

#include "tova/toolkit/CCeeLogMsg.h"
#include "tova/toolkit/CSysLog.h"

// The calling thread's system-log writer: empty until the thread constructs a
// cdsapi::dataLog, deleted when the thread ends.
extern boost::thread_specific_ptr<toolkit::CSysLog> _thr_local_syslog;

namespace cdsapi {

// Numbered as the system-log severities.
enum syslog_severity : int {
  SeverityEmergency = 0,
  SeverityAlert = 1,
  SeverityCritical = 2,
  SeverityError = 3,
  SeverityWarning = 4,
  SeverityNotice = 5,
  SeverityInformational = 6,
  SeverityDebug = 7,
};

// Numbered as the system-log facility codes (facility number times 8).
enum syslog_facility : int {
  FacilityUser = 8,
  FacilityLocal0 = 128,
  FacilityLocal1 = 136,  // updates
  FacilityLocal2 = 144,  // user management
  FacilityLocal3 = 152,
  FacilityLocal4 = 160,  // device events
  FacilityLocal5 = 168,  // configuration
  FacilityLocal6 = 176,  // sessions
  FacilityLocal7 = 184,  // commands
};

// What an event of logMessage is about; it chooses the record's facility.
// Categories without a name of their own are device events.
enum enLogCategory : int {
  CategoryGeneral = 0,
  CategoryDevice = 1,
  CategoryAlarm = 2,
  CategoryUserManagement = 8,  // local2
  CategorySession = 9,         // local6
  CategoryUpdate = 10,         // local1
};

// Writes audit records (Common Event Expression, with the acting user and
// process) and debug records (filtered by the thread's verbosity threshold)
// to the system log.
//
// Loggers are per thread: a thread writes nothing until it constructs a
// dataLog, and then writes through its own logger until it ends, even after
// that dataLog is destroyed. Records from a thread without a logger are
// dropped without notice. The record identifier is process-wide: the one
// given to the most recent constructor, on any thread.
//
// Every text that reaches an audit record passes csvInjectionFiltering
// first. Messages are taken literally ('%' is not a format); a message ends
// at its first NUL byte, as every system-log text does.
class dataLog {
 public:
  // Installs a new logger for the calling thread (replacing and deleting the
  // one it had) and makes `identifier` the process's record identifier.
  explicit dataLog(std::string identifier);
  ~dataLog();

  // A copy of `text` with an apostrophe in front when it starts with one of
  // = + - * @, so that a spreadsheet opening an exported log shows the text
  // instead of evaluating it.
  static std::string csvInjectionFiltering(const std::string text);

  // One debug record at severity critical (2), warning (4) or informational
  // (6), when `verbosity` is at most the thread's threshold; any other
  // severity writes nothing.
  static void logDebug(const std::string& message, const syslog_severity severity, const std::uint32_t& verbosity);
  // Sets the calling thread's threshold for logDebug.
  static void logDebugVerbosity(const std::uint32_t& verbosity);

  // "system" for effective users up to 9999 and for users without a
  // password entry; otherwise the login name with " - local" (below 30000)
  // or " - ldap".
  static std::string getUserName();
  // The first argument of the process's command line (its executable as it
  // was started); pid 0 is this process. Empty when the process does not
  // exist or its command line cannot be read.
  static std::string getProcessName(int pid);

  // Audit records, one per call, under the facility of their kind.
  static void logUpdate(const cee_actions action, const cee_statuses status, const std::string& message,
                        const syslog_severity severity, const std::string& detail, const int pid);  // local1
  static void logUserMgt(const cee_actions action, const cee_statuses status, const std::string& message,
                         const syslog_severity severity, const std::string& detail, const int pid);  // local2
  static void logDeviceEvent(const cee_actions action, const cee_statuses status, const std::string& message,
                             const syslog_severity severity, const std::string& detail,
                             const int pid);  // local4
  static void logConfiguration(const cee_actions action, const cee_statuses status, const std::string& message,
                               const syslog_severity severity, const std::string& detail,
                               const int pid);  // local5
  static void logSession(const cee_actions action, const cee_statuses status, const std::string& message,
                         const syslog_severity severity, const std::string& detail, const int pid);  // local6
  static void logCommand(const cee_actions action, const cee_statuses status, const std::string& message,
                         const syslog_severity severity, const std::string& detail, const int pid);  // local7
  // One audit record under any facility; `pid` names the acting process (0:
  // this one).
  static void logCommon(syslog_facility facility, cee_actions action, cee_statuses status, std::string message,
                        syslog_severity severity, std::string detail, int pid);

  // An event record with action 0, status 5 and the code
  // category * 2^20 + first * 2^8 + second (unsigned 32-bit arithmetic),
  // under the facility of its category.
  static void logMessage(enLogCategory category, int first, int second, const syslog_severity severity,
                         const std::string& detail, int pid, const std::string& message);

  std::string name;  // the identifier given to the constructor

 private:
  static void logMessagePriv(enLogCategory category, int first, int second, syslog_severity severity,
                             const std::string& detail, int pid, const std::string& message);
};

}  // namespace cdsapi
