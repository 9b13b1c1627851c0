#pragma once

#include <cstdint>
#include <string>

// The Common Event Expression vocabulary of audit records: what was done and
// how it ended. Records carry them as numbers.
enum cee_actions : std::uint32_t {
    CEE_ACTION_NONE = 0,
    CEE_ACTION_CREATE = 1,
    CEE_ACTION_READ = 2,
    CEE_ACTION_UPDATE = 3,
    CEE_ACTION_DELETE = 4,
    CEE_ACTION_LOGIN = 5,
    CEE_ACTION_LOGOUT = 6,
    CEE_ACTION_START = 7,
    CEE_ACTION_STOP = 8,
    CEE_ACTION_EXECUTE = 9,
};

enum cee_statuses : std::uint32_t {
    CEE_STATUS_NONE = 0,
    CEE_STATUS_SUCCESS = 1,
    CEE_STATUS_FAILURE = 2,
    CEE_STATUS_ONGOING = 3,
    CEE_STATUS_DENIED = 4,
    CEE_STATUS_REPORT = 5,  // an event reported, not the outcome of an action
};

namespace toolkit {

// The structured part of one audit record in the Common Event Expression
// form: what was done (action), how it ended (status), an event code, who
// did it (user), a free detail text and the acting process.
class CCeeLogMsg {
public:
    CCeeLogMsg(std::uint32_t action, std::uint32_t status, std::uint32_t code, std::string user, std::string detail,
               std::string process);

    std::uint32_t action() const { return action_; }
    std::uint32_t status() const { return status_; }
    std::uint32_t code() const { return code_; }
    const std::string& user() const { return user_; }
    const std::string& detail() const { return detail_; }
    const std::string& process() const { return process_; }

    // The record text for `message`, one line:
    //   @cee: {"action":A,"status":S,"code":C,"user":"...","detail":"...","process":"...","msg":"..."}
    // Numbers in decimal. Texts are JSON strings: '"' and '\' are escaped
    // with a backslash, control characters as \n, \r, \t or \u00XX, and a
    // byte that is not part of well-formed UTF-8 as \u00XX of its value (so
    // the line is always valid JSON); well-formed UTF-8 passes unchanged.
    // Nothing is shortened, and the line never holds a raw line break.
    std::string render(const std::string& message) const;

private:
    std::uint32_t action_;
    std::uint32_t status_;
    std::uint32_t code_;
    std::string user_;
    std::string detail_;
    std::string process_;
};

}  // namespace toolkit
