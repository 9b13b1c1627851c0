#pragma once
// Shared fixture of the cdsctl tests: cdsctl run as a child process against a
// cdsd of each test's own (the daemon tests' fixture), and what --json prints
// read with the framework's JSON parser.
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "../store/daemon/daemon_fixture.h"

namespace cdsctl_test {

struct Result {
  int status;
  std::string out;
  std::string err;
};

// The member at `path` (names and item numbers: "alarms.0.level") of the one
// JSON object `json` holds: a string in quotes (not escaped), a number in its
// shortest form, true or false, an array as its item count ("[2]"); "" when
// there is none. A test failure when `json` is not exactly one JSON object.
std::string JsonAt(const std::string& json, const std::string& path);

class CdsctlTest : public cdsd_test::DaemonTest {
 protected:
  std::string Endpoint() const { return "unix:" + socket_; }
  // cdsctl with `args`, started (a ChildProcess) or run to its end.
  static std::unique_ptr<zu::testing::ChildProcess> Start(const std::vector<std::string>& args,
                                                          const std::vector<std::string>& env = {});
  static Result Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
  // cdsctl with --endpoint of the test's daemon and `args`.
  Result Cds(const std::vector<std::string>& args);
  // cdsctl with --endpoint and `args` succeeds; what it printed.
  std::string Ok(const std::vector<std::string>& args);
  // cdsctl with --endpoint and `args` exits `status` with `message` on
  // standard error and nothing on standard output.
  void ExpectFailure(const std::vector<std::string>& args, int status, const std::string& message);
  // The id a creating command printed as {"id": N} with --json.
  unsigned long long CreatedId(const std::vector<std::string>& args);
};

}  // namespace cdsctl_test
