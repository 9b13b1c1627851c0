#include "tova/toolkit/CCeeLogMsg.h"

#include <utility>

namespace toolkit {

namespace {

void appendJsonString(std::string& out, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 0x0f]);
                } else {
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
}

}  // namespace

CCeeLogMsg::CCeeLogMsg(std::uint32_t action, std::uint32_t status, std::uint32_t code, std::string user,
                       std::string detail, std::string process)
    : action_(action),
      status_(status),
      code_(code),
      user_(std::move(user)),
      detail_(std::move(detail)),
      process_(std::move(process)) {}

std::string CCeeLogMsg::render(const std::string& message) const {
    std::string out = "@cee: {\"action\":" + std::to_string(action_) + ",\"status\":" + std::to_string(status_) +
                      ",\"code\":" + std::to_string(code_) + ",\"user\":";
    appendJsonString(out, user_);
    out += ",\"detail\":";
    appendJsonString(out, detail_);
    out += ",\"process\":";
    appendJsonString(out, process_);
    out += ",\"msg\":";
    appendJsonString(out, message);
    out.push_back('}');
    return out;
}

}  // namespace toolkit
