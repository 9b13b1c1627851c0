#pragma once
// The words of one cdsctl command: options anywhere among the positionals,
// "--" ending the options, and the two kinds of error a command can end with.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace cdsctl {

// The command line is wrong: exit 2 with the command's usage.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The command could not be done: exit 1 with the message.
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Options are words starting with "--" ("--name value", "--name=value" or a
// bare flag); a single "-" followed by a digit is a negative number, not an
// option. Commands take their options first, then the positionals, then call
// finish() so that a word nobody took is reported rather than ignored.
class Args {
 public:
  explicit Args(std::vector<std::string> words);

  // "--help" or "-h" among the options.
  bool help() const;
  // The value of option `name` ("--threshold"); empty when absent. UsageError
  // when it is given without a value or more than once.
  std::optional<std::string> option(const std::string& name);
  // Whether the flag `name` is given (it takes no value).
  bool flag(const std::string& name);
  // The next positional word; UsageError "missing WHAT" when there is none.
  std::string positional(const std::string& what);
  std::optional<std::string> next_positional();
  // Every positional word left.
  std::vector<std::string> rest();
  // UsageError for the first option or positional that no one took.
  void finish() const;

 private:
  bool is_option(std::size_t i) const;

  std::vector<std::string> words_;
  std::vector<bool> used_;
  std::size_t end_of_options_;  // index of "--", or words_.size()
};

// Whole numbers of the command line: digits only, within range; UsageError
// naming `what` otherwise.
unsigned long long parse_id(const std::string& text, const std::string& what);
std::uint32_t parse_u32(const std::string& text, const std::string& what);

}  // namespace cdsctl
