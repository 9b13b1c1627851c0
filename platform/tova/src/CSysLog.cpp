#include "tova/toolkit/CSysLog.h"

#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <set>
#include <vector>

namespace toolkit {

namespace {

// Process-wide state of the writers. Allocated once and never freed, so that
// threads still logging while the process exits find it intact.
struct LogState {
    std::mutex mutex;
    // openlog(3) keeps the identifier pointer, so every identifier ever used
    // is interned here for the life of the process.
    std::set<std::string> idents;
    const char* processIdent = nullptr;
    SysLogSink* sink = nullptr;
};

LogState& state() {
    static LogState* s = new LogState;
    return *s;
}

// Caller holds the lock.
const char* intern(LogState& s, const char* ident) {
    if (ident == nullptr || *ident == '\0') return nullptr;
    return s.idents.emplace(ident).first->c_str();
}

const char* internLocked(const char* ident) {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return intern(s, ident);
}

constexpr int kFacilityMask = 0x03f8;

int auditPriority(int facility, int severity) {
    const bool validFacility = facility > 0 && facility <= LOG_LOCAL7 && (facility & ~kFacilityMask) == 0;
    const bool validSeverity = severity >= 0 && severity <= LOG_DEBUG;
    return (validFacility ? facility : LOG_USER) | (validSeverity ? severity : LOG_NOTICE);
}

}  // namespace

SysLogSink::~SysLogSink() = default;

CSysLog::CSysLog(const char* ident, std::uint32_t initialVerbosity, bool echoStderr, bool withThreadId, bool withPid,
                 void* userData)
    : verbosity(initialVerbosity),
      ident_(internLocked(ident)),
      echoStderr_(echoStderr),
      withThreadId_(withThreadId),
      withPid_(withPid),
      userData_(userData) {}

CSysLog::CSysLog(const std::string& ident, std::uint32_t initialVerbosity, bool echoStderr, bool withThreadId,
                 bool withPid, void* userData)
    : CSysLog(ident.c_str(), initialVerbosity, echoStderr, withThreadId, withPid, userData) {}

void CSysLog::set_ident(const char* ident, bool openNow) {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.processIdent = intern(s, ident);
    if (openNow && s.sink == nullptr) {
        openlog(s.processIdent != nullptr ? s.processIdent : program_invocation_short_name, LOG_PID | LOG_NDELAY,
                LOG_USER);
    }
}

void CSysLog::set_ident(const std::string& ident, bool openNow) { set_ident(ident.c_str(), openNow); }

void CSysLog::set_sink(SysLogSink* sink) {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sink = sink;
}

void CSysLog::info(std::uint32_t level, const char* tag, const char* text) { debugRecord(LOG_INFO, level, tag, text); }

void CSysLog::warn(std::uint32_t level, const char* tag, const char* text) {
    debugRecord(LOG_WARNING, level, tag, text);
}

void CSysLog::crit(std::uint32_t level, const char* tag, const char* text) { debugRecord(LOG_CRIT, level, tag, text); }

void CSysLog::debugRecord(int severity, std::uint32_t level, const char* tag, const char* text) {
    if (level > verbosity) return;
    std::string record;
    if (withThreadId_) {
        record += "[tid " + std::to_string(static_cast<long>(syscall(SYS_gettid))) + "] ";
    }
    if (tag != nullptr && *tag != '\0') {
        record += tag;
        record += ": ";
    }
    if (text != nullptr) record += text;
    emit(LOG_USER | severity, record);
}

void CSysLog::audit_log_cee_msg(int facility, int severity, CCeeLogMsg& msg, const char* text) {
    emit(auditPriority(facility, severity), msg.render(text != nullptr ? text : ""));
}

void CSysLog::auditFormatted(int facility, int severity, CCeeLogMsg& msg, const char* format, ...) {
    if (format == nullptr) {
        audit_log_cee_msg(facility, severity, msg, "");
        return;
    }
    va_list args;
    va_start(args, format);
    va_list sizing;
    va_copy(sizing, args);
    const int length = std::vsnprintf(nullptr, 0, format, sizing);
    va_end(sizing);
    std::string message;
    if (length < 0) {
        message = format;
    } else {
        std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        message.assign(buffer.data(), static_cast<std::size_t>(length));
    }
    va_end(args);
    emit(auditPriority(facility, severity), msg.render(message));
}

void CSysLog::emit(int priority, const std::string& text) {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const char* ident = ident_ != nullptr         ? ident_
                        : s.processIdent != nullptr ? s.processIdent
                                                    : program_invocation_short_name;
    if (s.sink != nullptr) {
        s.sink->write(priority, ident, text);
    } else {
        // The identifier and options are the process's, so they are set
        // again for each record; openlog(3) without LOG_NDELAY only records
        // them.
        openlog(ident, withPid_ ? LOG_PID : 0, LOG_USER);
        syslog(priority, "%s", text.c_str());
    }
    if (echoStderr_) std::fprintf(stderr, "%s: %s\n", ident, text.c_str());
}

}  // namespace toolkit
