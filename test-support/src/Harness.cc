#include "zu/testing/Harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <ostream>
#include <stdexcept>
#include <thread>

#include "zu/cds/CClient.h"

#ifndef ZU_TESTING_CDSD
#define ZU_TESTING_CDSD "cdsd"
#endif
#ifndef ZU_TESTING_EMULATOR
#define ZU_TESTING_EMULATOR ""
#endif

namespace zu {
namespace testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kDaemonPatience{20};

bool accepts_connections(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

std::vector<std::string> child_command(const std::string& executable) {
  std::vector<std::string> words;
  const std::string emulator = ZU_TESTING_EMULATOR;
  for (std::size_t at = 0; at < emulator.size();) {
    std::size_t bar = emulator.find('|', at);
    if (bar == std::string::npos) bar = emulator.size();
    if (bar > at) words.push_back(emulator.substr(at, bar - at));
    at = bar + 1;
  }
  words.push_back(executable);
  return words;
}

// ---- DaemonProcess

DaemonProcess::DaemonProcess(std::string socket_path, std::string log_path, std::vector<std::string> extra_args)
    : socket_path_(std::move(socket_path)), log_path_(std::move(log_path)), extra_args_(std::move(extra_args)) {}

DaemonProcess::~DaemonProcess() {
  if (running()) stop(SIGKILL);
}

std::string DaemonProcess::executable() {
  const char* env = std::getenv("CDS_TEST_CDSD");
  return env && *env ? env : ZU_TESTING_CDSD;
}

std::vector<std::string> DaemonProcess::command() { return child_command(executable()); }

bool DaemonProcess::emulated() { return std::string(ZU_TESTING_EMULATOR).size() > 0; }

bool DaemonProcess::start() {
  if (running()) return true;
  // Everything the child needs is made before fork: after it, in a process
  // with threads, the child may only make system calls.
  std::vector<std::string> args = command();
  const std::string program = args.front();
  args.insert(args.end(), {"--socket", socket_path_});
  args.insert(args.end(), extra_args_.begin(), extra_args_.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();

  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // The daemon must not outlive a test process that crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    int log = ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log >= 0) ::dup2(log, 2);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  pid_ = pid;
  const auto deadline = Clock::now() + kDaemonPatience;
  while (Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (accepts_connections(socket_path_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop(SIGKILL);
  return false;
}

int DaemonProcess::stop(int signal) {
  if (!running()) return -1;
  ::kill(pid_, signal);
  const auto deadline = Clock::now() + kDaemonPatience;
  int status = 0;
  while (Clock::now() < deadline) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return -1;
}

// ---- EmbeddedStore

bool EmbeddedStore::daemon_mode() {
  const char* mode = std::getenv("CDS_TEST_TRANSPORT");
  return mode && std::string(mode) == "daemon";
}

EmbeddedStore::EmbeddedStore(::cds::store::EngineOptions options) {
  std::shared_ptr<cds::Transport> inner;
  if (daemon_mode()) {
    start_daemon(options);
    std::string error;
    inner = cds::make_transport("unix:" + socket_path_, &error);
    if (!inner) throw std::runtime_error("test store: " + error);
  } else {
    engine_ = std::make_shared<::cds::store::Engine>(options);
    inner = ::cds::store::make_embedded_transport(engine_);
  }
  faulty_ = std::make_shared<FaultInjectingTransport>(std::move(inner));
  auto* client = cds::CClient::get();
  client->disconnect();
  client->set_transport(faulty_);
}

EmbeddedStore::~EmbeddedStore() {
  auto* client = cds::CClient::get();
  client->disconnect();
  client->set_transport(nullptr);
  stop_daemon();
}

std::string make_temporary_directory(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary directory " + pattern);
  return pattern;
}

void remove_temporary_directory(const std::string& path) {
  std::error_code ignored;  // a directory already gone is not a failure of the test
  std::filesystem::remove_all(path, ignored);
}

::cds::store::Engine& EmbeddedStore::engine() {
  if (!engine_) throw std::logic_error("the test store runs in cdsd: its engine is out of reach");
  return *engine_;
}

void EmbeddedStore::start_daemon(const ::cds::store::EngineOptions& options) {
  if (options.clock) throw std::logic_error("a test store with its own clock runs embedded only");
  directory_ = make_temporary_directory("cds-test");
  socket_path_ = directory_ + "/cds.sock";
  std::vector<std::string> args;
  if (options.alarm_log_size != ::cds::store::EngineOptions().alarm_log_size)
    args = {"--log-size", std::to_string(options.alarm_log_size)};
  auto daemon = std::make_unique<DaemonProcess>(socket_path_, directory_ + "/cdsd.log", args);
  if (!daemon->start()) {
    std::string log = daemon_log();
    throw std::runtime_error("test store: cdsd (" + DaemonProcess::executable() + ") did not start: " + log);
  }
  pid_ = daemon->pid();
  daemon_ = std::move(daemon);
}

void EmbeddedStore::stop_daemon() {
  if (!daemon_) return;
  const int status = daemon_->stop(SIGTERM);
  if (!(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0))
    std::cerr << "test store: cdsd did not stop cleanly (status " << status << "); its log:\n"
              << daemon_log() << std::endl;
  daemon_.reset();
  ::unlink((directory_ + "/cdsd.log").c_str());
  ::unlink(socket_path_.c_str());
  ::rmdir(directory_.c_str());
}

std::string EmbeddedStore::daemon_log() const {
  std::ifstream in(directory_ + "/cdsd.log");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// ---- CapturedStream

CapturedStream::CapturedStream(std::ostream& stream) : stream_(stream), buffer_(), saved_(stream.rdbuf(buffer_.rdbuf())) {}

CapturedStream::~CapturedStream() { stream_.rdbuf(saved_); }

// ---- ChildProcess

ChildProcess::ChildProcess(const std::vector<std::string>& command, const std::vector<std::string>& env) {
  std::vector<std::string> words = command;
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("ZU_CDS_ENDPOINT=", 0) != 0) environment.push_back(*e);
  environment.insert(environment.end(), env.begin(), env.end());
  // Made before fork: the child of a process with threads may only make system calls.
  std::vector<char*> argv, envp;
  for (auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);
  for (auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return;
  }
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

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int fd : fds_)
    if (fd >= 0) ::close(fd);
}

bool ChildProcess::wait_for(int stream, const std::string& text, std::chrono::seconds timeout) {
  const std::string& seen = texts_[stream == 2 ? 1 : 0];
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (seen.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline || !pump(deadline)) return seen.find(text) != std::string::npos;
  }
  return true;
}

int ChildProcess::finish(std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline && pump(deadline)) {
  }
  int status = 0;
  while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ::usleep(2000);
  }
  return -1;
}

void ChildProcess::signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

// One read from whichever stream has data; false when both have ended.
bool ChildProcess::pump(std::chrono::steady_clock::time_point deadline) {
  if (fds_[0] < 0 && fds_[1] < 0) return false;
  pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  if (::poll(p, 2, static_cast<int>(left > 0 ? left : 0)) <= 0) return false;
  for (int i = 0; i < 2; ++i) {
    if (fds_[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buffer[4096];
    const ssize_t n = ::read(fds_[i], buffer, sizeof buffer);
    if (n > 0) {
      texts_[i].append(buffer, static_cast<std::size_t>(n));
    } else {
      ::close(fds_[i]);
      fds_[i] = -1;
    }
  }
  return true;
}

// ---- CapturedDescriptor

namespace {
// What was written before the capture belongs to the real descriptor.
void flush_standard_streams() {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
}
}  // namespace

CapturedDescriptor::CapturedDescriptor(int fd) : fd_(fd) {
  flush_standard_streams();
  char path[] = "/tmp/cds-captured-XXXXXX";
  file_ = mkstemp(path);
  if (file_ < 0) throw std::runtime_error("CapturedDescriptor: no temporary file");
  unlink(path);
  saved_ = dup(fd_);
  if (saved_ < 0 || dup2(file_, fd_) < 0) {
    close(file_);
    throw std::runtime_error("CapturedDescriptor: cannot redirect descriptor " + std::to_string(fd));
  }
}

CapturedDescriptor::~CapturedDescriptor() {
  // Whatever is still buffered was written during the capture: keep it out of
  // the real output.
  flush_standard_streams();
  dup2(saved_, fd_);
  close(saved_);
  close(file_);
}

std::string CapturedDescriptor::text() const {
  std::string out;
  char buffer[4096];
  off_t offset = 0;
  for (;;) {
    ssize_t n = pread(file_, buffer, sizeof buffer, offset);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
    offset += n;
  }
  return out;
}

// ---- BufferedStream

class BufferedStream::Buffer : public std::streambuf {
 public:
  explicit Buffer(int fd) : fd_(fd) {}

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) pending_ += traits_type::to_char_type(c);
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    pending_.append(s, static_cast<std::size_t>(n));
    return n;
  }
  int sync() override {
    for (std::size_t done = 0; done < pending_.size();) {
      const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
      if (n <= 0) return -1;
      done += static_cast<std::size_t>(n);
    }
    pending_.clear();
    return 0;
  }

 private:
  int fd_;
  std::string pending_;
};

BufferedStream::BufferedStream(std::ostream& stream, int fd)
    : stream_(stream), buffer_(std::make_unique<Buffer>(fd)), flags_(stream.flags()) {
  stream_.flush();
  saved_ = stream_.rdbuf(buffer_.get());
  stream_.unsetf(std::ios_base::unitbuf);
}

BufferedStream::~BufferedStream() {
  stream_.flush();
  stream_.rdbuf(saved_);
  stream_.flags(flags_);
}

}  // namespace testing
}  // namespace zu
