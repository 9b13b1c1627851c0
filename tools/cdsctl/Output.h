#pragma once
// What cdsctl prints: aligned tables for people, JSON for programs.
#include <cstdint>
#include <string>
#include <vector>

#include "zu/CValue.h"

namespace cdsctl {

// Rows printed in columns as wide as their widest cell (in characters, so
// units such as "°C" line up), two spaces apart; the last column is not padded.
class Table {
 public:
  explicit Table(std::vector<std::string> header = {}) : header_(std::move(header)) {}
  void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  bool empty() const { return rows_.empty(); }
  // Every line prefixed by `indent`.
  std::string render(const std::string& indent = "") const;

 private:
  std::vector<std::string> header_;
  std::vector<std::vector<std::string>> rows_;
};

// Characters (UTF-8 code points) of a text.
std::size_t display_width(const std::string& text);

// A JSON text built call by call; commas and escaping are its business.
// Objects take key() before each member's value.
class Json {
 public:
  Json& begin_object();
  Json& end_object();
  Json& begin_array();
  Json& end_array();
  Json& key(const std::string& name);
  Json& string(const std::string& text);
  Json& number(unsigned long long n);
  Json& number(long long n);
  Json& number(double d);  // non-finite numbers are written as null
  Json& boolean(bool b);
  Json& null();
  // A channel value: numbers and booleans as such, timestamps as their UTC
  // text, bytes as hexadecimal text, the unset value as null.
  Json& value(const zu::CValue& v);

  const std::string& text() const { return out_; }

 private:
  void before_value();

  std::string out_;
  std::vector<bool> first_;  // per open container: nothing written in it yet
  bool after_key_ = false;
};

// `text` as a JSON string literal, quotes included. Bytes that are not UTF-8
// are written as the code point of the same number, so output stays valid.
std::string json_quote(const std::string& text);

// A compact JSON text laid out for people: one member or element a line,
// indented two spaces a level; empty objects and arrays stay "{}" and "[]".
std::string indent_json(const std::string& compact);

// Keeps standard output for cdsctl's own output and sends whatever else the
// process writes there (the library's event thread announces itself on it)
// to standard error. Called once, first thing in main.
void claim_stdout();
// Writes `text` on cdsctl's output and flushes it (watch prints as events come).
void print(const std::string& text);
// Writes "cdsctl: " and `line` on standard error in one write, so that the
// library's event thread, whose announcement lands on the same descriptor,
// cannot cut it in two.
void say(const std::string& line);

}  // namespace cdsctl
