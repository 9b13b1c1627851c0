#pragma once
// Shared fixture of the cdsctl tests: a cdsd of its own on a socket in a fresh
// temporary directory, cdsctl run as a child process against it, and what
// --json prints read with the framework's JSON parser.
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zu/proto/zu.pb.h"
#include "zu/testing/Harness.h"

namespace cdsctl_test {

struct Result {
  int status;
  std::string out;
  std::string err;
};

// A JSON document cdsctl printed; a missing member or item reads as empty.
class Json {
 public:
  // Throws std::runtime_error unless `text` is exactly one JSON object.
  static Json Parse(const std::string& text);
  Json operator[](const std::string& key) const;
  Json operator[](std::size_t i) const;
  std::string text() const;  // a string, a number in its shortest form, true or false
  std::size_t size() const;  // the items of an array
  bool is_number() const { return value_ && value_->has_number_value(); }
  bool is_bool() const { return value_ && value_->has_bool_value(); }

 private:
  std::shared_ptr<const zu::proto::toolkitValue> root_;
  const zu::proto::toolkitValue* value_ = nullptr;
};

// A cdsd on a socket of its own for each test.
class CdsctlTest : public ::testing::Test {
 protected:
  CdsctlTest();
  ~CdsctlTest() override;
  void SetUp() override;

  std::string Endpoint() const { return "unix:" + socket_; }
  // cdsctl with `args`, started (a ChildProcess) or run to its end.
  static std::unique_ptr<zu::testing::ChildProcess> Start(const std::vector<std::string>& args,
                                                          const std::vector<std::string>& env = {});
  static Result Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
  // cdsctl with --endpoint of the test's daemon and `args`.
  Result Cds(const std::vector<std::string>& args);
  // cdsctl with --endpoint and `args` exits `status` with `message` on
  // standard error and nothing on standard output.
  void ExpectFailure(const std::vector<std::string>& args, int status, const std::string& message);
  // The id a creating command printed as {"id": N} with --json.
  unsigned long long CreatedId(const std::vector<std::string>& args);
  std::string Log() const;

  std::string directory_;
  std::string socket_;
  std::unique_ptr<zu::testing::DaemonProcess> daemon_;
};

}  // namespace cdsctl_test
