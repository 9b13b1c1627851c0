#pragma once
// Test doubles for code that talks to the data store through the framework:
// a fresh embedded store per test behind a fault-injecting transport, and
// capture of the standard streams.
#include <chrono>
#include <iosfwd>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "store/Engine.h"
#include "zu/testing/FaultInjectingTransport.h"

namespace zu {
namespace testing {

// The words that run `executable`, a program of this build, as a child
// process: behind the emulator of a cross build when there is one.
std::vector<std::string> child_command(const std::string& executable);

// A program run as a child process, its standard output and error read
// through pipes; killed by the destructor if still running. It gets the
// test's environment (an emulator or a sanitizer may need it) without
// ZU_CDS_ENDPOINT, plus the NAME=VALUE words of `env`.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& command, const std::vector<std::string>& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Reads until `stream` (1 stdout, 2 stderr) holds `text`; false at the end
  // of both streams or after `timeout`.
  bool wait_for(int stream, const std::string& text, std::chrono::seconds timeout = std::chrono::seconds(30));
  // Reads both streams to their end and waits for the exit: the exit status,
  // or -1 when it was ended by a signal or outlived `timeout`.
  int finish(std::chrono::seconds timeout = std::chrono::seconds(60));
  void signal(int sig);
  const std::string& out() const { return texts_[0]; }
  const std::string& err() const { return texts_[1]; }

 private:
  bool pump(std::chrono::steady_clock::time_point deadline);

  int pid_ = -1;
  int fds_[2] = {-1, -1};
  std::string texts_[2];
};

// A cdsd process of its own on `socket_path`, for tests of the daemon: started
// by start(), killed by the destructor. Its standard error goes to `log_path`.
class DaemonProcess {
 public:
  DaemonProcess(std::string socket_path, std::string log_path, std::vector<std::string> extra_args = {});
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  // Starts the daemon and waits until it accepts connections; false when it
  // exited or did not listen within 20 s.
  bool start();
  // Sends `signal` and waits for the exit; the exit status as from waitpid,
  // or -1 when it did not end within 20 s (it is then killed).
  int stop(int signal);
  int pid() const { return pid_; }
  bool running() const { return pid_ > 0; }
  // The cdsd built with the tests (or $CDS_TEST_CDSD).
  static std::string executable();
  // The command that runs cdsd: the executable, behind the emulator of a
  // cross build (the process then is the emulator's).
  static std::vector<std::string> command();
  static bool emulated();

 private:
  std::string socket_path_;
  std::string log_path_;
  std::vector<std::string> extra_args_;
  int pid_ = -1;
};

// A fresh directory "/tmp/PREFIX-XXXXXX" for a test's sockets, logs and
// files; throws when none can be made (never falls back to a shared one).
std::string make_temporary_directory(const std::string& prefix);
// Removes a directory made by make_temporary_directory and all it holds.
void remove_temporary_directory(const std::string& path);

// Installs a fresh data store as the endpoint of CClient::get() for its
// lifetime, behind a FaultInjectingTransport; afterwards the client is
// disconnected and returned to its endpoint.
//
// The store is an engine in this process, or, when the environment variable
// CDS_TEST_TRANSPORT is "daemon", a cdsd process started on a socket in a
// fresh temporary directory and reached through the "unix" transport; it is
// stopped at the end. The engine itself is reachable in embedded mode only.
class EmbeddedStore {
 public:
  explicit EmbeddedStore(::cds::store::EngineOptions options = {});
  ~EmbeddedStore();
  EmbeddedStore(const EmbeddedStore&) = delete;
  EmbeddedStore& operator=(const EmbeddedStore&) = delete;

  // Whether stores made in this process run in cdsd.
  static bool daemon_mode();

  FaultInjectingTransport& faults() { return *faulty_; }
  // Throws std::logic_error in daemon mode.
  ::cds::store::Engine& engine();
  std::shared_ptr<::cds::store::Engine> shared_engine() const { return engine_; }

  // Daemon mode: the daemon's process and socket, and what it logged.
  int daemon_pid() const { return pid_; }
  const std::string& socket_path() const { return socket_path_; }
  std::string daemon_log() const;

 private:
  void start_daemon(const ::cds::store::EngineOptions& options);
  void stop_daemon();

  std::shared_ptr<::cds::store::Engine> engine_;
  std::shared_ptr<FaultInjectingTransport> faulty_;
  std::unique_ptr<DaemonProcess> daemon_;
  int pid_ = -1;
  std::string directory_;
  std::string socket_path_;
};

// Captures what is written to a standard stream (std::cout, std::cerr) for its
// lifetime.
class CapturedStream {
 public:
  explicit CapturedStream(std::ostream& stream);
  ~CapturedStream();
  CapturedStream(const CapturedStream&) = delete;
  CapturedStream& operator=(const CapturedStream&) = delete;

  std::string text() const { return buffer_.str(); }
  void clear() { buffer_.str(std::string()); }

 private:
  std::ostream& stream_;
  std::stringstream buffer_;  // before saved_: the constructor hands its buffer to the stream
  std::streambuf* saved_;
};

// Captures what reaches a file descriptor (1: standard output) for its
// lifetime, below the C and C++ stream buffers: text() holds only what was
// really written, so a line left in a stream buffer (not flushed) is missing
// from it.
class CapturedDescriptor {
 public:
  explicit CapturedDescriptor(int fd = 1);
  ~CapturedDescriptor();
  CapturedDescriptor(const CapturedDescriptor&) = delete;
  CapturedDescriptor& operator=(const CapturedDescriptor&) = delete;

  // What was written so far; nothing is flushed first.
  std::string text() const;

 private:
  int fd_;
  int saved_;
  int file_;
};

// Makes `stream` (std::cout, std::cerr) fully buffered in front of descriptor
// `fd` for its lifetime, as an application may make it: with a
// CapturedDescriptor on `fd`, a line shows only once its writer flushed it.
class BufferedStream {
 public:
  BufferedStream(std::ostream& stream, int fd);
  ~BufferedStream();  // writes what is left, then restores the stream
  BufferedStream(const BufferedStream&) = delete;
  BufferedStream& operator=(const BufferedStream&) = delete;

 private:
  class Buffer;
  std::ostream& stream_;
  std::unique_ptr<Buffer> buffer_;
  std::streambuf* saved_;
  std::ios_base::fmtflags flags_;
};

}  // namespace testing
}  // namespace zu
