#pragma once
// Shared fixture of the cdsctl tests: a cdsd of its own on a socket in a fresh
// temporary directory, cdsctl run as a child process against it, and a small
// JSON reader to check what --json prints.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zu/testing/Harness.h"

namespace cdsctl_test {

using Clock = std::chrono::steady_clock;

// A running cdsctl with its standard output and error on pipes.
class Child {
 public:
  // `env`: NAME=VALUE words added to the child's environment.
  Child(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<std::string> words = zu::testing::child_command(CDSCTL_PATH);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    // The test's environment (an emulator or a sanitizer may need it) without
    // an endpoint of its own, then `env`.
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("ZU_CDS_ENDPOINT=", 0) != 0) environment.push_back(*e);
    environment.insert(environment.end(), env.begin(), env.end());
    for (auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    fds_[0] = out[0];
    fds_[1] = err[0];
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : fds_)
      if (fd >= 0) ::close(fd);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Reads until `stream` (0 stdout, 1 stderr) holds `text`; false at the end
  // of both streams or after `timeout`.
  bool wait_for(int stream, const std::string& text, std::chrono::seconds timeout = std::chrono::seconds(30)) {
    const auto deadline = Clock::now() + timeout;
    while (texts_[stream].find(text) == std::string::npos) {
      if (Clock::now() >= deadline || !pump(deadline)) return texts_[stream].find(text) != std::string::npos;
    }
    return true;
  }

  // Reads both streams to their end and waits for the exit; the exit status,
  // or -1 when it was killed by a signal or outlived `timeout`.
  int finish(std::chrono::seconds timeout = std::chrono::seconds(60)) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline && pump(deadline)) {
    }
    int status = 0;
    while (Clock::now() < deadline) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      ::usleep(2000);
    }
    return -1;
  }

  void signal(int sig) { ::kill(pid_, sig); }
  const std::string& out() const { return texts_[0]; }
  const std::string& err() const { return texts_[1]; }

 private:
  // One read from whichever stream has data; false when both have ended.
  bool pump(Clock::time_point deadline) {
    pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
    if (fds_[0] < 0 && fds_[1] < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (::poll(p, 2, static_cast<int>(left > 0 ? left : 0)) <= 0) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds_[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      ssize_t n = ::read(fds_[i], buffer, sizeof buffer);
      if (n > 0) {
        texts_[i].append(buffer, static_cast<std::size_t>(n));
      } else {
        ::close(fds_[i]);
        fds_[i] = -1;
      }
    }
    return true;
  }

  int pid_ = -1;
  int fds_[2] = {-1, -1};
  std::string texts_[2];
};

struct Result {
  int status;
  std::string out;
  std::string err;
};

// Parsed JSON, enough to check what cdsctl prints: the text must parse whole.
struct JsonValue {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  bool boolean = false;
  std::string text;  // a number's or a string's text
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> members;

  const JsonValue& operator[](const std::string& key) const {
    static const JsonValue none;
    auto it = members.find(key);
    return it == members.end() ? none : it->second;
  }
  const JsonValue& operator[](std::size_t i) const {
    static const JsonValue none;
    return i < items.size() ? items[i] : none;
  }
};

// Throws std::runtime_error at the first fault.
JsonValue ParseJson(const std::string& text);

// A cdsd on a socket of its own for each test.
class CdsctlTest : public ::testing::Test {
 protected:
  CdsctlTest();
  ~CdsctlTest() override;
  void SetUp() override;

  std::string Endpoint() const { return "unix:" + socket_; }
  // cdsctl with --endpoint of the test's daemon and `args`.
  Result Cds(const std::vector<std::string>& args);
  // cdsctl with exactly `args` and the environment `env`.
  static Result Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
  // The id a creating command printed as {"id": N} with --json.
  unsigned long long CreatedId(const std::vector<std::string>& args);
  std::string Log() const;

  std::string directory_;
  std::string socket_;
  std::unique_ptr<zu::testing::DaemonProcess> daemon_;
};

}  // namespace cdsctl_test
