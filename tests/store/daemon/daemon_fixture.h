#pragma once
// Shared fixture of the cdsd tests: a daemon of its own on a socket in a fresh
// temporary directory, raw socket clients that speak the frames by hand, and
// the framework's client pointed at the daemon.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "zu/cds/CClient.h"
#include "zu/proto/wire.pb.h"
#include "zu/testing/Harness.h"
#include "zu/wire/Codec.h"

namespace cdsd_test {

using namespace std::chrono_literals;

// A successful answer of class R, or null.
template <typename R>
std::shared_ptr<R> Ok(std::shared_ptr<zu::cds::CRequestResponse> r) {
  auto typed = std::dynamic_pointer_cast<R>(r);
  return typed && typed->status == zu::cds::status_ok ? typed : nullptr;
}

// Reserves a subscription id through `ask` (a request to its answer) and
// subscribes it to `type` of each of `objects`; the id, or 0 when refused.
template <typename Ask>
std::uint64_t Subscribe(Ask ask, zu::sub::subscription_type type, const std::vector<std::uint64_t>& objects, bool flag) {
  zu::cds::CManageSubscriberIDs reserve;
  reserve.op = 1;
  auto reserved = Ok<zu::cds::CManageSubscriberIDs>(ask(reserve));
  if (!reserved || reserved->reserved_ids.empty()) return 0;
  zu::cds::CSubscribe subscribe;
  for (std::uint64_t object : objects)
    subscribe.subscriptions.push_back({reserved->reserved_ids[0], type, object, "", flag, false});
  return Ok<zu::cds::CSubscribe>(ask(subscribe)) ? reserved->reserved_ids[0] : 0;
}

// A client that writes and reads the socket's bytes itself.
class RawClient {
 public:
  // With `answer_socket`, the hello passes a socket for the daemon to send
  // on, as the framework's transport does, and everything is read there; the
  // connection then only brings requests.
  explicit RawClient(const std::string& path, bool answer_socket = false)
      : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)), answer_socket_(answer_socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    EXPECT_EQ(::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
  }
  ~RawClient() {
    ::close(fd_);
    if (in_ != fd_) ::close(in_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool send_bytes(const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  bool send_payload(const std::string& payload) { return send_bytes(zu::wire::frame(payload)); }

  // The next frame's envelope; false at the end of the stream or after `timeout`.
  bool read(zu::wire::Envelope* envelope, std::chrono::milliseconds timeout = 10s) {
    std::string payload;
    while (!frames_.pop(&payload)) {
      char buffer[65536];
      pollfd p{in_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
      ssize_t n = ::recv(in_, buffer, sizeof buffer, 0);
      if (n <= 0 || !frames_.feed(buffer, static_cast<std::size_t>(n))) return false;
    }
    return zu::wire::parse_envelope(payload, envelope, nullptr);
  }

  // Reads until the daemon closes the connection; false when it stays open past `timeout`.
  bool closed_by_daemon(std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{in_, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0 && ::recv(in_, buffer, sizeof buffer, 0) <= 0) return true;
    }
    return false;
  }

  // Sends a hello and returns the answer.
  zu::wire::HelloAckInfo hello(const std::string& name) {
    std::string payload;
    zu::wire::encode_hello({name, zu::wire::kProtocolVersion, true, answer_socket_}, 0, &payload, nullptr);
    if (answer_socket_) send_with_answer_socket(zu::wire::frame(payload));
    else send_payload(payload);
    zu::wire::HelloAckInfo ack;
    zu::wire::Envelope envelope;
    if (!read(&envelope) || envelope.body_case() != zu::wire::Envelope::kHelloAck) ack.message = "no hello answer";
    else zu::wire::decode_hello_ack(envelope, &ack, nullptr);  // false on a refusal, which `ack` then says
    return ack;
  }

  // Sends `record` and reads the answer, skipping notifications.
  std::shared_ptr<zu::cds::CRequestResponse> ask(const zu::cds::CRequestResponse& record, std::uint64_t correlation) {
    std::string payload;
    if (!zu::wire::encode_record(record, correlation, &payload, nullptr) || !send_payload(payload)) return nullptr;
    zu::wire::Envelope envelope;
    while (read(&envelope)) {
      if (envelope.correlation_id() == correlation) return zu::wire::decode_record(envelope, nullptr);
    }
    return nullptr;
  }

  std::uint64_t subscribe(zu::sub::subscription_type type, const std::vector<std::uint64_t>& objects, bool flag) {
    return Subscribe([this](zu::cds::CRequestResponse& r) { return ask(r, 1); }, type, objects, flag);
  }

 private:
  // Sends the hello's frame with one end of a new socket pair attached,
  // and reads from the other end from now on.
  void send_with_answer_socket(const std::string& frame) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec part{const_cast<char*>(frame.data()), frame.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &pair[1], sizeof(int));
    EXPECT_EQ(::sendmsg(fd_, &message, MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
    ::close(pair[1]);  // the daemon's now: its close ends what this side reads
    in_ = pair[0];
  }

  int fd_;
  bool answer_socket_;
  int in_ = fd_;  // where answers and notifications are read
  zu::wire::FrameReader frames_;
};

// A daemon on a fresh socket; SetUp starts it with `args()`.
class DaemonTest : public ::testing::Test {
 protected:
  DaemonTest() {
    directory_ = zu::testing::make_temporary_directory("cdsd-test");
    socket_ = directory_ + "/cds.sock";
  }

  ~DaemonTest() override {
    auto* client = zu::cds::CClient::get();
    client->disconnect();
    client->set_transport(nullptr);
    client->set_timeout(zu::cds::CClient::kDefaultTimeout);
    daemon_.reset();
    zu::testing::remove_temporary_directory(directory_);
  }

  void SetUp() override { ASSERT_TRUE(StartDaemon()) << Log(); }

  virtual std::vector<std::string> args() const { return {}; }

  // Starts the daemon with `args()`, on the seed file `seed_` when there is one.
  bool StartDaemon() {
    std::vector<std::string> arguments = args();
    if (!seed_.empty()) {
      std::ofstream(directory_ + "/seed.json") << seed_;
      arguments.insert(arguments.end(), {"--seed", directory_ + "/seed.json"});
    }
    daemon_ = std::make_unique<zu::testing::DaemonProcess>(socket_, directory_ + "/cdsd.log", arguments);
    return daemon_->start();
  }

  // Points the process-wide client at the daemon and connects it.
  void ConnectClient(bool reconnect = false) {
    auto* client = zu::cds::CClient::get();
    std::string error;
    client->set_transport(zu::cds::make_transport("unix:" + socket_, &error));
    ASSERT_EQ(error, "");
    ASSERT_NE(client->connect(reconnect, "cdsd-test", 4194304, 4194304), 0) << Log();
  }

  // Runs a daemon with `arguments` to its end; its exit status, its log in Log().
  int RunDaemon(const std::string& arguments) const {
    std::string command = "timeout 20 ";
    for (const std::string& word : zu::testing::DaemonProcess::command()) command += word + " ";
    command += arguments + " 2>>" + directory_ + "/cdsd.log";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Log() const { return Read(directory_ + "/cdsd.log"); }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string directory_;
  std::string socket_;
  std::string seed_;  // the text of the daemon's seed file, or none
  std::unique_ptr<zu::testing::DaemonProcess> daemon_;
};

// Asks the store through the process-wide client; its successful answer, or null.
template <typename R>
std::shared_ptr<R> Ask(R& request) {
  return Ok<R>(zu::cds::CClient::get()->submit_wait(request));
}

// Writes one channel's value through the process-wide client; whether the store took it.
inline bool Write(std::uint64_t channel, zu::CValue value) {
  zu::cds::CUpdateChannelValue write;
  write.values = {{channel, std::move(value)}};
  write.time = zu::CWallTime::now();
  return Ask(write) != nullptr;
}

}  // namespace cdsd_test
