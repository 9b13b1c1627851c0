#include "Args.h"

#include <cerrno>
#include <cstdlib>

namespace cdsctl {

Args::Args(std::vector<std::string> words) : words_(std::move(words)), used_(words_.size(), false) {
  end_of_options_ = words_.size();
  for (std::size_t i = 0; i < words_.size(); ++i) {
    if (words_[i] == "--") {
      end_of_options_ = i;
      used_[i] = true;
      break;
    }
  }
}

bool Args::is_option(std::size_t i) const {
  return i < end_of_options_ && (words_[i].rfind("--", 0) == 0 || words_[i] == "-h");
}

bool Args::help() const {
  for (std::size_t i = 0; i < end_of_options_; ++i)
    if (words_[i] == "--help" || words_[i] == "-h") return true;
  return false;
}

std::optional<std::string> Args::option(const std::string& name) {
  std::optional<std::string> value;
  for (std::size_t i = 0; i < end_of_options_; ++i) {
    if (used_[i]) continue;
    const std::string& word = words_[i];
    std::optional<std::string> found;
    if (word == name) {
      if (i + 1 >= end_of_options_) throw UsageError(name + " needs a value");
      used_[i] = used_[i + 1] = true;
      found = words_[i + 1];
      ++i;
    } else if (word.size() > name.size() && word.compare(0, name.size(), name) == 0 && word[name.size()] == '=') {
      used_[i] = true;
      found = word.substr(name.size() + 1);
    }
    if (found) {
      if (value) throw UsageError(name + " is given more than once");
      value = found;
    }
  }
  return value;
}

bool Args::flag(const std::string& name) {
  bool found = false;
  for (std::size_t i = 0; i < end_of_options_; ++i) {
    if (!used_[i] && words_[i] == name) {
      used_[i] = true;
      found = true;
    }
  }
  return found;
}

std::optional<std::string> Args::next_positional() {
  for (std::size_t i = 0; i < words_.size(); ++i) {
    if (used_[i] || is_option(i)) continue;
    used_[i] = true;
    return words_[i];
  }
  return std::nullopt;
}

std::string Args::positional(const std::string& what) {
  std::optional<std::string> word = next_positional();
  if (!word) throw UsageError("missing " + what);
  return *word;
}

std::vector<std::string> Args::rest() {
  std::vector<std::string> out;
  while (std::optional<std::string> word = next_positional()) out.push_back(*word);
  return out;
}

void Args::finish() const {
  for (std::size_t i = 0; i < words_.size(); ++i) {
    if (used_[i]) continue;
    if (is_option(i)) throw UsageError("unknown option " + words_[i]);
    throw UsageError("unexpected argument '" + words_[i] + "'");
  }
}

unsigned long long parse_id(const std::string& text, const std::string& what) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    throw UsageError(what + " must be a whole number, not '" + text + "'");
  errno = 0;
  unsigned long long n = std::strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE) throw UsageError(what + " '" + text + "' is too large");
  return n;
}

std::uint32_t parse_u32(const std::string& text, const std::string& what) {
  unsigned long long n = parse_id(text, what);
  if (n > 0xFFFFFFFFULL) throw UsageError(what + " '" + text + "' is too large (at most 4294967295)");
  return static_cast<std::uint32_t>(n);
}

}  // namespace cdsctl
