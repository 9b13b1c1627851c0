#include "cdsctl_fixture.h"

#include <stdexcept>

namespace cdsctl_test {
namespace {

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : s_(text) {}

  JsonValue document() {
    JsonValue v = value();
    space();
    if (at_ != s_.size()) fail("text after the value");
    return v;
  }

 private:
  [[noreturn]] void fail(const std::string& why) {
    throw std::runtime_error("JSON: " + why + " at offset " + std::to_string(at_));
  }
  void space() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\n' || s_[at_] == '\t' || s_[at_] == '\r')) ++at_;
  }
  bool take(const std::string& word) {
    if (s_.compare(at_, word.size(), word) != 0) return false;
    at_ += word.size();
    return true;
  }

  JsonValue value() {
    space();
    JsonValue v;
    if (at_ >= s_.size()) fail("missing value");
    const char c = s_[at_];
    if (c == '{') {
      v.kind = JsonValue::Object;
      ++at_;
      space();
      if (take("}")) return v;
      do {
        space();
        if (at_ >= s_.size() || s_[at_] != '"') fail("expected a key");
        std::string key = string();
        space();
        if (!take(":")) fail("expected ':'");
        v.members[key] = value();
        space();
      } while (take(","));
      if (!take("}")) fail("expected '}'");
    } else if (c == '[') {
      v.kind = JsonValue::Array;
      ++at_;
      space();
      if (take("]")) return v;
      do v.items.push_back(value());
      while ((space(), take(",")));
      if (!take("]")) fail("expected ']'");
    } else if (c == '"') {
      v.kind = JsonValue::String;
      v.text = string();
    } else if (take("true") || take("false")) {
      v.kind = JsonValue::Bool;
      v.boolean = s_[at_ - 1] == 'e' && s_[at_ - 2] == 'u';
    } else if (take("null")) {
      v.kind = JsonValue::Null;
    } else {
      const std::size_t start = at_;
      if (s_[at_] == '-') ++at_;
      while (at_ < s_.size() && std::string("0123456789.eE+-").find(s_[at_]) != std::string::npos) ++at_;
      if (at_ == start) fail("unexpected character");
      v.kind = JsonValue::Number;
      v.text = s_.substr(start, at_ - start);
      std::size_t used = 0;
      std::stod(v.text, &used);
      if (used != v.text.size()) fail("bad number");
    }
    return v;
  }

  std::string string() {
    ++at_;  // the opening quote
    std::string out;
    while (true) {
      if (at_ >= s_.size()) fail("unterminated string");
      const unsigned char c = static_cast<unsigned char>(s_[at_++]);
      if (c == '"') return out;
      if (c < 0x20) fail("control character in a string");
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (at_ >= s_.size()) fail("unterminated escape");
      const char e = s_[at_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          if (at_ + 4 > s_.size()) fail("short \\u escape");
          const unsigned long code = std::stoul(s_.substr(at_, 4), nullptr, 16);
          at_ += 4;
          if (code < 0x80) {
            out += static_cast<char>(code);
          } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
          } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
          }
          break;
        }
        default:
          fail("unknown escape");
      }
    }
  }

  const std::string& s_;
  std::size_t at_ = 0;
};

}  // namespace

JsonValue ParseJson(const std::string& text) { return JsonReader(text).document(); }

CdsctlTest::CdsctlTest() {
  char pattern[] = "/tmp/cdsctl-test-XXXXXX";
  directory_ = ::mkdtemp(pattern) ? pattern : "/tmp";
  socket_ = directory_ + "/cds.sock";
}

CdsctlTest::~CdsctlTest() {
  daemon_.reset();
  for (const char* name : {"/cds.sock", "/cdsd.log"}) ::unlink((directory_ + name).c_str());
  ::rmdir(directory_.c_str());
}

void CdsctlTest::SetUp() {
  daemon_ = std::make_unique<zu::testing::DaemonProcess>(socket_, directory_ + "/cdsd.log");
  ASSERT_TRUE(daemon_->start()) << Log();
}

Result CdsctlTest::Run(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  Child child(args, env);
  Result r;
  r.status = child.finish();
  r.out = child.out();
  r.err = child.err();
  return r;
}

Result CdsctlTest::Cds(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"--endpoint", Endpoint()};
  all.insert(all.end(), args.begin(), args.end());
  return Run(all);
}

unsigned long long CdsctlTest::CreatedId(const std::vector<std::string>& args) {
  std::vector<std::string> all = args;
  all.push_back("--json");
  Result r = Cds(all);
  EXPECT_EQ(r.status, 0) << r.err;
  try {
    return std::stoull(ParseJson(r.out)["id"].text);
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what() << " in: " << r.out;
    return 0;
  }
}

std::string CdsctlTest::Log() const {
  std::ifstream in(directory_ + "/cdsd.log");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace cdsctl_test
