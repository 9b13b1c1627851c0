#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "tova/toolkit/CCeeLogMsg.h"

namespace toolkit {

// Receives, instead of syslog(3), every record a CSysLog would write.
// A test and diagnostic hook: see CSysLog::set_sink.
class SysLogSink {
public:
    virtual ~SysLogSink();
    // `priority` is facility | severity as syslog(3) takes it; `ident` the
    // identifier the record would carry (without a pid); `text` the record.
    virtual void write(int priority, const std::string& ident, const std::string& text) = 0;
};

// Writer of debug and audit records to the system log (syslog(3)).
//
// Debug records (info, warn, crit) go to facility LOG_USER at severity
// LOG_INFO, LOG_WARNING and LOG_CRIT. Each carries a verbosity level and is
// written only when that level is less than or equal to the object's
// threshold `verbosity`; the threshold starts at the constructor's value and
// may be read and written directly. The record text is the message itself,
// preceded by "[tid N] " when thread ids are on and by "TAG: " when a tag is
// given. Messages are literal text: a '%' is written as it stands.
//
// Audit records (audit_log_cee_msg) are always written, whatever the
// threshold, with the text laid out by CCeeLogMsg::render. A facility that is
// not a syslog facility code (a multiple of 8 up to LOG_LOCAL7), or 0, is
// replaced by LOG_USER; a severity outside 0..7 by LOG_NOTICE.
//
// Records are never shortened here. Every record carries an identifier: the
// object's own when it was given one, else the process-wide one of
// set_ident, else the program's name.
//
// Thread safety: the process-wide parts (identifier, sink, the syslog(3)
// connection) are guarded by one lock, so objects may write from any number
// of threads at once. One object is meant for one thread at a time (the
// threshold is a plain member).
class CSysLog {
public:
    // Threshold for debug records; must stay the first member.
    std::uint32_t verbosity;

    // `ident`: this object's identifier, null for the process-wide one.
    // `initialVerbosity`: the starting threshold.
    // `echoStderr`: also copy each record, as "IDENT: TEXT", to stderr.
    // `withThreadId`: prefix debug records with the writing thread's id.
    // `withPid`: have syslog(3) add the process id to the identifier.
    // `userData`: kept for the owner (see userData()); never dereferenced.
    explicit CSysLog(const char* ident = nullptr, std::uint32_t initialVerbosity = 0, bool echoStderr = false,
                     bool withThreadId = false, bool withPid = true, void* userData = nullptr);
    CSysLog(const std::string& ident, std::uint32_t initialVerbosity = 0, bool echoStderr = false,
            bool withThreadId = false, bool withPid = true, void* userData = nullptr);

    // Sets the process-wide identifier; null or "" restores the program's
    // name. `openNow` connects to the log daemon at once rather than at the
    // first record (useful before dropping privileges or changing root).
    static void set_ident(const char* ident, bool openNow);
    static void set_ident(const std::string& ident, bool openNow);

    // Diverts every record of the process to `sink`; null restores
    // syslog(3). The sink is not owned. Records are handed to it under the
    // writers' lock, so once set_sink returns the previous sink receives
    // nothing more; a sink must not write through CSysLog itself.
    static void set_sink(SysLogSink* sink);

    // `level`: the record's verbosity (see the class comment). `tag`: an
    // optional prefix, null or "" for none. `text`: the message; null is
    // written as an empty message.
    void info(std::uint32_t level, const char* tag, const char* text);
    void warn(std::uint32_t level, const char* tag, const char* text);
    void crit(std::uint32_t level, const char* tag, const char* text);

    // One audit record; `text` is taken literally.
    void audit_log_cee_msg(int facility, int severity, CCeeLogMsg& msg, const char* text);

    // One audit record whose message is `format` expanded printf-style with
    // `args` (numbers, enums and C strings only). A format that cannot be
    // expanded is written as its literal text.
    template <typename... Args>
    void audit_log_cee_msg(int facility, int severity, CCeeLogMsg& msg, const char* format, Args... args) {
        static_assert(((std::is_arithmetic<Args>::value || std::is_enum<Args>::value ||
                        std::is_pointer<Args>::value) && ...),
                      "audit_log_cee_msg: printf-style arguments must be numbers or C strings");
        auditFormatted(facility, severity, msg, format, args...);
    }

    void* userData() const { return userData_; }

private:
    void debugRecord(int severity, std::uint32_t level, const char* tag, const char* text);
    void auditFormatted(int facility, int severity, CCeeLogMsg& msg, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    void emit(int priority, const std::string& text);

    const char* ident_;  // interned, never freed; null for the process-wide one
    bool echoStderr_;
    bool withThreadId_;
    bool withPid_;
    void* userData_;
};

}  // namespace toolkit
