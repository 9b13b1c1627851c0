// The "unix:PATH" endpoint: sessions with the cdsd daemon over a Unix stream
// socket, speaking the framed protocol of zu/wire/Codec.h.
//
// One connection per session. Requests are multiplexed on it by correlation
// id: each caller sends its frame and waits for its own answer, so concurrent
// round trips never queue behind each other. A reader thread per session reads
// every frame, hands each answer to the caller waiting for its correlation id
// and each notification to the session's sink, in the order they arrive.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "zu/cds/CClient.h"
#include "zu/cds/Transport.h"
#include "zu/proto/wire.pb.h"
#include "zu/wire/Codec.h"

namespace zu {
namespace cds {
namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, for poll(); never negative.
int millis_until(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

// The record a failed request gets instead of the store's answer.
std::shared_ptr<CRequestResponse> refusal(const CRequestResponse& request, std::uint32_t status,
                                          const std::string& message) {
  auto r = request.clone();
  r->clean();
  r->status = status;
  r->message = message;
  return r;
}

// One connection to the daemon. Shared by its Session and its reader thread,
// which keeps it alive until it ends.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(int fd, std::string endpoint, NotificationSink sink)
      : fd_(fd), endpoint_(std::move(endpoint)), sink_(std::move(sink)) {}

  ~Connection() {
    if (fd_ >= 0) ::close(fd_);
  }

  // Sends the hello and waits for its answer. False when the daemon refused
  // the session or did not answer in time.
  bool hello(const std::string& client_name, Clock::time_point deadline) {
    wire::HelloInfo info;
    info.client_name = client_name;
    info.handler = static_cast<bool>(sink_);
    std::string payload;
    std::string error;
    if (!wire::encode_hello(info, 0, &payload, &error)) return complain("cannot open a session: " + error);
    if (send_frame(wire::frame(payload), deadline) != Sent::whole) return false;
    char buffer[4096];
    while (frames_.ready() == 0) {
      pollfd p{fd_, POLLIN, 0};
      int ready = ::poll(&p, 1, millis_until(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return complain("the data store did not answer the session's hello in time");
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;  // closed by the daemon: nothing to say beyond "no session"
      if (!frames_.feed(buffer, static_cast<std::size_t>(n))) return complain(frames_.error());
    }
    frames_.pop(&payload);
    wire::Envelope envelope;
    wire::HelloAckInfo ack;
    if (!wire::parse_envelope(payload, &envelope, &error) || !wire::decode_hello_ack(envelope, &ack, &error))
      return complain(error);
    return true;
  }

  void start_reader() {
    auto self = shared_from_this();
    reader_ = std::thread([self] { self->read_loop(); });
  }

  std::shared_ptr<CRequestResponse> round_trip(const CRequestResponse& request, std::chrono::milliseconds timeout) {
    if (!open_.load()) return nullptr;
    const Clock::time_point deadline = Clock::now() + timeout;
    const std::uint64_t correlation = next_correlation_.fetch_add(1);
    std::string payload;
    std::string error;
    if (!wire::encode_record(request, correlation, &payload, &error)) {
      // Refused before it leaves: the daemon never sees a frame it could not read.
      const bool too_big = error.find("frame limit") != std::string::npos;
      return refusal(request, too_big ? status_too_big : status_invalid, error);
    }
    auto waiter = std::make_shared<Waiter>();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!open_.load()) return nullptr;
      waiters_.emplace(correlation, waiter);
    }
    if (send_frame(wire::frame(payload), deadline) != Sent::whole) {
      forget(correlation);
      return nullptr;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_until(lock, deadline, [&] { return waiter->done; })) {
      waiters_.erase(correlation);  // an answer arriving later is dropped
      return nullptr;
    }
    if (waiter->response) return std::move(waiter->response);
    if (waiter->error_status != 0) return refusal(request, waiter->error_status, waiter->error_message);
    return nullptr;
  }

  bool send(const CRequestResponse& request) {
    if (!open_.load()) return false;
    std::string payload;
    // Correlation ids of requests nobody waits for are still unique, so that
    // their answers are recognised and dropped.
    if (!wire::encode_record(request, next_correlation_.fetch_add(1), &payload, nullptr)) return false;
    return send_frame(wire::frame(payload), Clock::now() + CClient::get()->timeout()) == Sent::whole;
  }

  bool is_open() const { return open_.load(); }

  void close() {
    broken();
    std::lock_guard<std::mutex> lock(close_mutex_);
    if (!reader_.joinable()) return;
    // A sink that closes its own session runs on the reader thread: it cannot
    // join itself, and the thread ends by itself once the sink returns.
    if (reader_.get_id() == std::this_thread::get_id()) reader_.detach();
    else reader_.join();
  }

 private:
  struct Waiter {
    bool done = false;
    std::shared_ptr<CRequestResponse> response;
    std::uint32_t error_status = 0;
    std::string error_message;
  };

  // One sender at a time, waited for until a deadline. A plain mutex and a
  // condition variable rather than std::timed_mutex, whose timed lock
  // ThreadSanitizer cannot follow.
  struct SendGate {
    std::mutex mutex;
    std::condition_variable free;
    bool busy = false;
  };
  class SendTurn {
   public:
    explicit SendTurn(SendGate& gate) : gate_(gate) {}
    ~SendTurn() { unlock(); }
    SendTurn(const SendTurn&) = delete;
    SendTurn& operator=(const SendTurn&) = delete;
    bool wait_until(Clock::time_point deadline) {
      std::unique_lock<std::mutex> lock(gate_.mutex);
      if (!gate_.free.wait_until(lock, deadline, [this] { return !gate_.busy; })) return false;
      gate_.busy = true;
      held_ = true;
      return true;
    }
    void unlock() {
      if (!held_) return;
      {
        std::lock_guard<std::mutex> lock(gate_.mutex);
        gate_.busy = false;
      }
      held_ = false;
      gate_.free.notify_one();
    }

   private:
    SendGate& gate_;
    bool held_ = false;
  };

  enum class Sent { whole, nothing, broken };

  bool complain(const std::string& what) {
    std::cerr << "zu: " << endpoint_ << ": " << what << std::endl;
    return false;
  }

  // Writes one whole frame by `deadline`. A frame cut in the middle leaves the
  // stream unreadable for the daemon, so the session is ended then.
  Sent send_frame(const std::string& bytes, Clock::time_point deadline) {
    if (bytes.empty()) return Sent::nothing;
    SendTurn lock(send_gate_);
    if (!lock.wait_until(deadline)) return Sent::nothing;
    if (!open_.load()) return Sent::broken;
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd p{fd_, POLLOUT, 0};
        int ready = ::poll(&p, 1, millis_until(deadline));
        if (ready > 0 || (ready < 0 && errno == EINTR)) continue;
        if (done == 0) return Sent::nothing;
      }
      lock.unlock();
      broken();
      return Sent::broken;
    }
    return Sent::whole;
  }

  void forget(std::uint64_t correlation) {
    std::lock_guard<std::mutex> lock(mutex_);
    waiters_.erase(correlation);
  }

  // The session can carry nothing more: every waiting caller gets its answer
  // (none) at once, and the reader wakes up.
  void broken() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_.store(false);
      for (auto& entry : waiters_) entry.second->done = true;
      waiters_.clear();
    }
    cv_.notify_all();
    ::shutdown(fd_, SHUT_RDWR);
  }

  void read_loop() {
    char buffer[65536];
    std::string payload;
    // Frames that came with the hello's answer come first.
    while (frames_.pop(&payload)) dispatch(payload);
    while (open_.load()) {
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (!frames_.feed(buffer, static_cast<std::size_t>(n))) {
        complain(frames_.error());
        break;
      }
      while (frames_.pop(&payload)) dispatch(payload);
    }
    broken();
  }

  void dispatch(const std::string& payload) {
    wire::Envelope envelope;
    std::string error;
    if (!wire::parse_envelope(payload, &envelope, &error)) {
      complain("unreadable frame from the data store: " + error);
      return;
    }
    const std::uint64_t correlation = envelope.correlation_id();
    if (correlation == 0) {
      if (envelope.body_case() == wire::Envelope::kError) {
        complain("the data store reported: " + envelope.error().message());
        return;
      }
      auto record = wire::decode_record(envelope, &error);
      if (!record) {
        complain("undecodable notification from the data store: " + error);
        return;
      }
      if (sink_) sink_(std::move(record));
      return;
    }
    std::shared_ptr<Waiter> waiter;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = waiters_.find(correlation);
      if (it == waiters_.end()) return;  // nobody waits any more (timed out, or sent without waiting)
      waiter = std::move(it->second);
      waiters_.erase(it);
    }
    if (envelope.body_case() == wire::Envelope::kError) {
      waiter->error_status = envelope.error().status() ? envelope.error().status() : status_invalid;
      waiter->error_message = envelope.error().message();
    } else {
      waiter->response = wire::decode_record(envelope, &error);
      if (!waiter->response) {
        waiter->error_status = status_invalid;
        waiter->error_message = "the data store's answer could not be decoded: " + error;
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      waiter->done = true;
    }
    cv_.notify_all();
  }

  const int fd_;
  const std::string endpoint_;
  const NotificationSink sink_;
  std::atomic<bool> open_{true};
  std::atomic<std::uint64_t> next_correlation_{1};  // 0 marks notifications
  SendGate send_gate_;                              // one frame on the socket at a time
  std::mutex mutex_;                                // guards waiters_ and the waiters' fields
  std::condition_variable cv_;
  std::unordered_map<std::uint64_t, std::shared_ptr<Waiter>> waiters_;
  wire::FrameReader frames_;  // the hello's, then the reader thread's
  std::mutex close_mutex_;
  std::thread reader_;
};

class UnixSession : public Session {
 public:
  explicit UnixSession(std::shared_ptr<Connection> c) : connection_(std::move(c)) {}
  ~UnixSession() override { connection_->close(); }

  std::shared_ptr<CRequestResponse> round_trip(const CRequestResponse& request,
                                               std::chrono::milliseconds timeout) override {
    return connection_->round_trip(request, timeout);
  }
  bool send(const CRequestResponse& request) override { return connection_->send(request); }
  bool is_open() const override { return connection_->is_open(); }
  void close() override { connection_->close(); }

 private:
  std::shared_ptr<Connection> connection_;
};

// Connects to `path`. -1 at once when nothing listens there.
int connect_to(const std::string& path, Clock::time_point deadline) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.data(), path.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  for (;;) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) break;
    if (errno == EINTR) continue;
    // A full listen backlog: the daemon lives but is busy; retry until the deadline.
    if (errno == EAGAIN && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    ::close(fd);
    return -1;
  }
  // Blocking from here: the reader blocks in recv, senders pass MSG_DONTWAIT.
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

class UnixTransport : public Transport {
 public:
  UnixTransport(std::string endpoint, std::string path) : endpoint_(std::move(endpoint)), path_(std::move(path)) {}

  std::shared_ptr<Session> open(const std::string& client_name, NotificationSink sink) override {
    const Clock::time_point deadline = Clock::now() + CClient::get()->timeout();
    int fd = connect_to(path_, deadline);
    if (fd < 0) return nullptr;
    auto connection = std::make_shared<Connection>(fd, endpoint_, std::move(sink));
    if (!connection->hello(client_name, deadline)) return nullptr;
    connection->start_reader();
    return std::make_shared<UnixSession>(std::move(connection));
  }

  std::string endpoint() const override { return endpoint_; }

 private:
  std::string endpoint_;
  std::string path_;
};

struct RegisterUnix {
  RegisterUnix() {
    register_transport("unix", [](const std::string& endpoint) -> std::shared_ptr<Transport> {
      std::string path = endpoint.substr(endpoint.find(':') + 1);
      if (endpoint.find(':') == std::string::npos || path.empty()) return nullptr;
      return std::make_shared<UnixTransport>(endpoint, path);
    });
  }
};
const RegisterUnix register_unix;

}  // namespace
}  // namespace cds
}  // namespace zu
