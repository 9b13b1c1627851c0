#pragma once

#include <cstdint>
#include <string>

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
    // with a backslash, control characters as \n, \r, \t or \u00XX; other
    // bytes (UTF-8 included) pass unchanged. Nothing is shortened.
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
