#include "tova/toolkit/CCeeLogMsg.h"

#include <cstddef>
#include <utility>

namespace toolkit {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void appendUnicodeEscape(std::string& out, unsigned char c) {
    out += "\\u00";
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0x0f]);
}

// Length of the well-formed UTF-8 sequence starting at text[i], 0 when the
// byte there does not start one (a stray continuation byte, an overlong
// form, a surrogate, a code point past U+10FFFF or a cut-off sequence).
std::size_t utf8SequenceLength(const std::string& text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = at(i);
    std::size_t length;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;  // bounds of the byte after the lead
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;   // overlong
        if (lead == 0xed) high = 0x9f;  // surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;   // overlong
        if (lead == 0xf4) high = 0x8f;  // past U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (at(i + 1) < low || at(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (at(i + k) < 0x80 || at(i + k) > 0xbf) return 0;
    }
    return length;
}

void appendJsonString(std::string& out, const std::string& text) {
    out.push_back('"');
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    appendUnicodeEscape(out, c);
                } else if (c < 0x80) {
                    out.push_back(text[i]);
                } else if (const std::size_t length = utf8SequenceLength(text, i)) {
                    out.append(text, i, length);
                    i += length - 1;
                } else {
                    // JSON texts are UTF-8: a byte that is not part of a
                    // well-formed sequence is written as the code point of
                    // the same number, so the record stays valid and the
                    // byte is still there to read.
                    appendUnicodeEscape(out, c);
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
