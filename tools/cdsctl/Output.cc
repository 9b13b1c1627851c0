#include "Output.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "Values.h"

#include <unistd.h>

namespace cdsctl {

std::size_t display_width(const std::string& text) {
  std::size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string Table::render(const std::string& indent) const {
  std::vector<std::size_t> widths;
  auto measure = [&](const std::vector<std::string>& row) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], display_width(row[i]));
  };
  if (!header_.empty()) measure(header_);
  for (const auto& row : rows_) measure(row);
  std::string out;
  auto line = [&](const std::vector<std::string>& row) {
    std::string text = indent;
    for (std::size_t i = 0; i < row.size(); ++i) {
      text += row[i];
      if (i + 1 < row.size()) text += std::string(widths[i] - display_width(row[i]) + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + "\n";
  };
  if (!header_.empty()) line(header_);
  for (const auto& row : rows_) line(row);
  return out;
}

std::string json_quote(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // Length of a well-formed UTF-8 sequence starting here, or 0.
    std::size_t len = 0;
    if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c >= 0xE0 && c <= 0xEF) len = 3;
    else if (c >= 0xF0 && c <= 0xF4) len = 4;
    if (len) {
      bool ok = i + len <= text.size();
      for (std::size_t k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
      if (ok) {
        out.append(text, i, len);
        i += len - 1;
        continue;
      }
    }
    char buf[8];
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

void Json::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) out_ += ',';
    first_.back() = false;
  }
}

Json& Json::begin_object() {
  before_value();
  out_ += '{';
  first_.push_back(true);
  return *this;
}

Json& Json::end_object() {
  out_ += '}';
  first_.pop_back();
  return *this;
}

Json& Json::begin_array() {
  before_value();
  out_ += '[';
  first_.push_back(true);
  return *this;
}

Json& Json::end_array() {
  out_ += ']';
  first_.pop_back();
  return *this;
}

Json& Json::key(const std::string& name) {
  before_value();
  out_ += json_quote(name) + ':';
  after_key_ = true;
  return *this;
}

Json& Json::string(const std::string& text) {
  before_value();
  out_ += json_quote(text);
  return *this;
}

Json& Json::number(unsigned long long n) {
  before_value();
  out_ += std::to_string(n);
  return *this;
}

Json& Json::number(long long n) {
  before_value();
  out_ += std::to_string(n);
  return *this;
}

Json& Json::number(double d) {
  if (!std::isfinite(d)) return null();
  before_value();
  out_ += zu::CValue(d).as_string();  // shortest text that reads back the same
  return *this;
}

Json& Json::boolean(bool b) {
  before_value();
  out_ += b ? "true" : "false";
  return *this;
}

Json& Json::null() {
  before_value();
  out_ += "null";
  return *this;
}

Json& Json::value(const zu::CValue& v) {
  if (!v.is_valid()) return null();
  if (const auto* b = v.get_if<bool>()) return boolean(*b);
  if (const auto* f = v.get_if<float>()) {
    if (!std::isfinite(*f)) return null();
    before_value();
    out_ += v.as_string();  // a float's own shortest text, not that of its double
    return *this;
  }
  if (v.get_if<double>()) return number(v.as_double());
  if (v.get_if<int>() || v.get_if<long long>()) return number(v.as_int64());
  if (v.get_if<unsigned int>() || v.get_if<unsigned long long>()) return number(v.as_uint64());
  if (v.get_if<std::string>()) return string(v.as_string());
  return string(value_text(v));
}

namespace {
FILE* output = stdout;
}  // namespace

std::string indent_json(const std::string& compact) {
  std::string out;
  std::size_t depth = 0;
  bool in_string = false;
  auto newline = [&] { out += "\n" + std::string(depth * 2, ' '); };
  for (std::size_t i = 0; i < compact.size(); ++i) {
    const char c = compact[i];
    if (in_string) {
      out += c;
      if (c == '\\' && i + 1 < compact.size()) out += compact[++i];
      else if (c == '"') in_string = false;
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        out += c;
        break;
      case '{':
      case '[':
        out += c;
        if (i + 1 < compact.size() && (compact[i + 1] == '}' || compact[i + 1] == ']')) {
          out += compact[++i];
        } else {
          ++depth;
          newline();
        }
        break;
      case '}':
      case ']':
        if (depth) --depth;
        newline();
        out += c;
        break;
      case ',':
        out += c;
        newline();
        break;
      case ':':
        out += ": ";
        break;
      case ' ':
      case '\n':
      case '\t':
      case '\r':
        break;
      default:
        out += c;
    }
  }
  return out;
}

void claim_stdout() {
  std::fflush(stdout);
  const int own = ::dup(1);
  if (own < 0) return;
  FILE* stream = ::fdopen(own, "w");
  if (!stream || ::dup2(2, 1) < 0) {
    if (stream) std::fclose(stream);
    else ::close(own);
    return;
  }
  output = stream;
}

void print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), output);
  std::fflush(output);
}

void say(const std::string& line) {
  const std::string text = "cdsctl: " + line + "\n";
  std::fflush(stderr);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(2, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere left to say it
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace cdsctl
