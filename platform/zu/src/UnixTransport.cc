// The "unix:PATH" endpoint: sessions with the cdsd daemon over a Unix stream
// socket, speaking the framed protocol of zu/wire/Codec.h.
//
// One connection per session. Requests are multiplexed on it by correlation
// id: each caller sends its frame and waits for its own answer, so concurrent
// round trips never queue behind each other.
//
// The daemon sends on a socket of its own: the hello carries one end of a
// socket pair, and the answers and notifications come on it while requests
// go on the connection. A thread asleep in recv() on a socket is woken (only
// to sleep again) each time the other end takes in what that socket sent (the
// kernel's "room to write" wake-up reaches every sleeper on it): with one
// socket, a caller waiting for its answer would be woken when the daemon reads
// its request, a wake-up more per round trip. A daemon that does not take the
// socket answers on the connection, and the session reads it there.
//
// Who reads the socket: no thread of the session's own. A waiting caller
// reads for itself when no one else is reading (one reader at a time holds
// the read turn, and hands the answers it meets to their callers and the
// notifications to the sink; on leaving it passes the turn to one other
// waiting caller). A single-threaded caller thus reads its own answer with no
// thread hand-off. Each caller waits on a semaphore of its own, so an answer
// wakes only the caller it is for. A handler's session is also read by its
// event loop (read_on): when the socket has something and the turn is free,
// the loop's thread reads and runs the notifications' callbacks itself, so a
// notification wakes one thread of the subscriber, as an answer does.
#include <poll.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

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

// One connection to the daemon. Shared by its Session and the event loop
// that reads it, which keeps it alive while a read is pending.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(int fd, std::string endpoint, NotificationSink sink)
      : fd_(fd), in_fd_(fd), endpoint_(std::move(endpoint)), sink_(std::move(sink)) {}

  ~Connection() {
    if (in_fd_ != fd_ && in_fd_ >= 0) ::close(in_fd_);
    if (fd_ >= 0) ::close(fd_);
  }

  // Sends the hello, with the socket the daemon is to send on, and waits for
  // its answer. False when the daemon refused the session or did not answer
  // in time. Before any other use of the connection.
  bool hello(const std::string& client_name, Clock::time_point deadline) {
    int pair[2];
    wire::HelloInfo info;
    info.client_name = client_name;
    info.handler = static_cast<bool>(sink_);
    info.answer_socket = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0;
    if (info.answer_socket) in_fd_ = pair[0];  // closed with the connection
    std::string payload;
    std::string error;
    if (!wire::encode_hello(info, 0, &payload, &error)) {
      if (info.answer_socket) ::close(pair[1]);
      return complain("cannot open a session: " + error);
    }
    std::string frame = wire::frame(payload);
    if (info.answer_socket) {
      const ssize_t sent = send_with_socket(frame, pair[1]);
      ::close(pair[1]);  // the daemon's now, or nobody's
      if (sent < 0) return false;
      frame.erase(0, static_cast<std::size_t>(sent));
    }
    if (!frame.empty() && send_frame(std::move(frame), deadline) != Sent::whole) return false;
    while (frames_.ready() == 0) {
      // The answer comes on the pair, or on the connection when the daemon
      // did not take it or refused the connection before reading the hello.
      pollfd p[2] = {{fd_, POLLIN, 0}, {in_fd_, POLLIN, 0}};
      const int ready = ::poll(p, in_fd_ == fd_ ? 1 : 2, millis_until(deadline));
      if (ready == 0) return complain("the data store did not answer the session's hello in time");
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return false;
      const int from = (p[0].revents & POLLIN) != 0 || p[1].revents == 0 ? fd_ : in_fd_;
      const ssize_t n = ::recv(from, buffer_, sizeof buffer_, MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n <= 0) return false;  // closed by the daemon: nothing to say beyond "no session"
      if (!feed(static_cast<std::size_t>(n))) return false;
    }
    frames_.pop(&payload);
    wire::Envelope envelope;
    wire::HelloAckInfo ack;
    if (!wire::parse_envelope(payload, &envelope, &error) || !wire::decode_hello_ack(envelope, &ack, &error))
      return complain(error);
    if (!ack.answer_socket && in_fd_ != fd_) {
      ::close(in_fd_);
      in_fd_ = fd_;
    }
    return true;
  }

  // Starts or stops the event loop's reading. The descriptor it waits on is
  // made and destroyed under loop_mutex_, which every use of it holds, so
  // that it is gone before the loop is.
  void read_on(boost::asio::io_context* loop, NotificationSink in_loop) {
    std::lock_guard<std::mutex> lock(loop_mutex_);
    stop_loop_reading();
    if (!loop || !sink_ || !open_.load()) return;
    loop_ = loop;
    in_loop_ = std::make_shared<const NotificationSink>(std::move(in_loop));
    loop_fd_ = std::make_unique<boost::asio::posix::stream_descriptor>(*loop, in_fd_);
    ++loop_generation_;
    read_later();  // on the loop's thread: what waits already is read there
  }

  std::shared_ptr<CRequestResponse> round_trip(const CRequestResponse& request, std::chrono::milliseconds timeout) {
    if (!open_.load()) return nullptr;
    const Clock::time_point deadline = Clock::now() + timeout;
    const std::uint64_t correlation = next_correlation_.fetch_add(1);
    std::string frame;
    std::string error;
    if (!wire::encode_record_frame(request, correlation, &frame, &error)) {
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
    if (send_frame(std::move(frame), deadline) != Sent::whole) {
      forget(correlation);
      return nullptr;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    while (!waiter->done.load(std::memory_order_relaxed)) {
      if (!reading_) {
        reading_ = true;
        lock.unlock();
        // Unanswered by now, it is forgotten: an answer arriving later is dropped.
        with_read_turn(correlation, [&] { read_until_answered(correlation, deadline); });
        // Forgotten, the waiter is nobody else's now: no lock to read it.
        return answer(request, *waiter);
      }
      waiter->parked = true;
      lock.unlock();
      const bool rung = waiter->sleep_until(deadline);
      // An answer is taken without the lock, which its reader may already
      // hold again to hand out the next one.
      if (waiter->done.load(std::memory_order_acquire)) return answer(request, *waiter);
      lock.lock();
      waiter->parked = false;
      if (!rung && !waiter->done.load(std::memory_order_relaxed)) {
        waiters_.erase(correlation);
        if (!reading_) pass_read_turn();
        return nullptr;
      }
    }
    lock.unlock();
    return answer(request, *waiter);
  }

  bool send(const CRequestResponse& request) {
    if (!open_.load()) return false;
    std::string frame;
    // Correlation ids of requests nobody waits for are still unique, so that
    // their answers are recognised and dropped.
    if (!wire::encode_record_frame(request, next_correlation_.fetch_add(1), &frame, nullptr)) return false;
    if (send_frame(std::move(frame), Clock::now() + CClient::get()->timeout()) != Sent::whole) return false;
    // The answers nobody waits for are read by the next reader; a client that
    // only sends reads them here now and then, so that they never fill the
    // socket and stall the daemon.
    if (unanswered_.fetch_add(1) + 1 >= kReadUnansweredEvery) {
      // The frame went: a failure to read others' answers is not this send's
      // (saying it failed would have the caller send it twice).
      try {
        drain();
      } catch (...) {
      }
    }
    return true;
  }

  // A session learns that the daemon went away only when it reads: after a
  // quiet spell, look (without taking anything).
  bool is_open() {
    if (!open_.load()) return false;
    if (Clock::now().time_since_epoch().count() - last_heard_.load() < kQuietSpell.count()) return true;
    // POLLRDHUP shows the daemon's end even behind answers nobody has read
    // yet (a client that only sends leaves some): a peek would see the answers.
    pollfd p{in_fd_, POLLRDHUP, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0) {
      drain();  // hands out what came before the end, then sees the end
      if (open_.load()) broken();
      return false;
    }
    last_heard_.store(Clock::now().time_since_epoch().count());
    return true;
  }

  void close() {
    broken();
    std::lock_guard<std::mutex> lock(loop_mutex_);
    stop_loop_reading();
  }

 private:
  // A caller waiting for its answer. It sleeps on a semaphore of its own
  // rather than on a condition of mutex_: a caller woken by a condition
  // takes mutex_ again, and leaves it marked as wanted, so that each answer
  // would cost a futex call more, and a wait for the reader holding it.
  struct Waiter {
    Waiter() { ::sem_init(&bell, 0, 0); }
    ~Waiter() { ::sem_destroy(&bell); }
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    void ring() { ::sem_post(&bell); }
    // Sleeps until rung; false when `deadline` came first.
    bool sleep_until(Clock::time_point deadline) {
      const auto since = deadline.time_since_epoch();
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
      timespec at{};
      // A deadline past what time_t holds (a 32-bit one) is never reached.
      at.tv_sec = static_cast<std::time_t>(std::min<long long>(seconds.count(), 0x7FFFFFFF));
      at.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
      while (::sem_clockwait(&bell, CLOCK_MONOTONIC, &at) != 0)
        if (errno != EINTR) return false;
      return true;
    }

    // Set under mutex_ after the three fields below; read without it once set.
    std::atomic<bool> done{false};
    std::shared_ptr<CRequestResponse> response;
    std::uint32_t error_status = 0;
    std::string error_message;
    bool parked = false;  // asleep on `bell`, not still sending its request (under mutex_)
    sem_t bell;           // rung when its answer came, or the read turn is free
  };

  // What a caller whose wait is over gets.
  static std::shared_ptr<CRequestResponse> answer(const CRequestResponse& request, Waiter& waiter) {
    if (waiter.response) return std::move(waiter.response);
    if (waiter.error_status != 0) return refusal(request, waiter.error_status, waiter.error_message);
    return nullptr;
  }

  // Unanswered sends after which a sender reads what waits on the socket.
  static constexpr unsigned kReadUnansweredEvery = 32;
  // Reads of the socket a reader does in one turn without waiting, at most.
  static constexpr int kReadsPerTurn = 16;
  // Time without reading after which is_open() looks at the socket.
  static constexpr std::chrono::duration<Clock::rep, Clock::period> kQuietSpell = std::chrono::milliseconds(20);
  // How far past its deadline a caller's blocking read may end, to save
  // setting the socket's receive timeout on each request.
  static constexpr std::chrono::milliseconds kDeadlineSlack{1};

  enum class Sent { whole, nothing, broken };

  bool complain(const std::string& what) {
    std::cerr << "zu: " << endpoint_ << ": " << what << std::endl;
    return false;
  }

  // Writes one whole frame by `deadline`. A caller that comes while another
  // one writes leaves its frame to it, which writes it after its own: no
  // caller sleeps for the socket, and the frames of many threads leave in
  // one call. A frame cut in the middle leaves the stream unreadable for the
  // daemon, and frames left to a writer must not be stranded, so the session
  // is ended when a batch does not go whole by the writer's deadline; only a
  // caller whose frame went alone and not at all keeps the session.
  Sent send_frame(std::string bytes, Clock::time_point deadline) {
    if (bytes.empty()) return Sent::nothing;
    std::string batch;
    {
      std::lock_guard<std::mutex> lock(out_mutex_);
      if (!open_.load()) return Sent::broken;
      if (sending_) {
        outbox_ += bytes;
        outbox_deadline_ = std::max(outbox_deadline_, deadline);
        return Sent::whole;
      }
      sending_ = true;
    }
    batch.swap(bytes);
    for (bool own = true;; own = false) {
      bool timed_out = false;
      const std::size_t done = write_batch(batch, deadline, &timed_out);
      std::lock_guard<std::mutex> lock(out_mutex_);
      if (done == batch.size() && outbox_.empty()) {
        sending_ = false;
        return Sent::whole;
      }
      if (done == batch.size()) {
        // Others' frames, with the latest of their callers' deadlines.
        batch.clear();
        batch.swap(outbox_);
        deadline = outbox_deadline_;
        outbox_deadline_ = Clock::time_point::min();
        continue;
      }
      sending_ = false;
      if (own && timed_out && done == 0 && outbox_.empty()) return Sent::nothing;
      open_.store(false);  // under the lock: no new writer follows a frame cut in the middle
      outbox_.clear();
      break;
    }
    broken();
    return Sent::broken;
  }

  // Sends what it can of `bytes` at once with `fd` attached; the bytes sent,
  // -1 when none went (nor the descriptor).
  ssize_t send_with_socket(const std::string& bytes, int fd) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fd)] = {};
    iovec part{const_cast<char*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof fd);
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    ssize_t n;
    do n = ::sendmsg(fd_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    return n;
  }

  // Writes `batch` until the deadline; returns how much of it went, and
  // whether it stopped at the deadline rather than at an error.
  std::size_t write_batch(const std::string& batch, Clock::time_point deadline, bool* timed_out) {
    std::size_t done = 0;
    while (done < batch.size() && open_.load()) {
      ssize_t n = ::send(fd_, batch.data() + done, batch.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd p{fd_, POLLOUT, 0};
        int ready = ::poll(&p, 1, millis_until(deadline));
        if (ready > 0 || (ready < 0 && errno == EINTR)) continue;
        *timed_out = ready == 0;
      }
      break;
    }
    return done;
  }

  void forget(std::uint64_t correlation) {
    std::lock_guard<std::mutex> lock(mutex_);
    waiters_.erase(correlation);
    if (!reading_) pass_read_turn();
  }

  // Gives up the read turn; true when the event loop found it taken and
  // waits to be armed again (rearm_later(), without mutex_). Call with
  // mutex_ held.
  bool release_read_turn() {
    reading_ = false;
    pass_read_turn();
    const bool loop_waits = loop_waiting_;
    loop_waiting_ = false;
    return loop_waits;
  }

  // The read turn is free: one sleeping caller takes it. A caller still
  // sending sees the free turn by itself when it comes to wait; waking it
  // instead would leave the sleeping ones asleep. Call with mutex_ held.
  void pass_read_turn() {
    for (auto& entry : waiters_) {
      if (entry.second->parked) {
        entry.second->ring();
        return;
      }
    }
  }

  // The read turn holder's: reads and hands out frames until the answer to
  // `correlation` is among them, the deadline passes or the session breaks.
  // Every frame read is handed out at once, so that the other callers whose
  // answers came in the same read wake together.
  void read_until_answered(std::uint64_t correlation, Clock::time_point deadline) {
    for (;;) {
      bool answered = false;
      while (frames_.pop(&payload_))
        if (dispatch(payload_) == correlation) answered = true;
      if (answered || !open_.load()) return;
      const ssize_t n = receive(deadline);
      if (n == 0) return;  // the deadline passed
      if (n < 0 || !feed(static_cast<std::size_t>(n))) {
        broken();
        return;
      }
    }
  }

  // Reads what already waits on the socket, if no one else is reading.
  void drain() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (reading_ || !open_.load()) return;
      reading_ = true;
    }
    unanswered_.store(0);
    with_read_turn(0, [&] {
      if (!read_waiting(nullptr)) broken();
    });
  }

  // Runs `read` as the read turn's holder (a caller's or a sender's), then
  // gives the turn back however `read` leaves: an exception (no memory to
  // decode a frame, say) must not leave the others without a reader.
  template <typename Read>
  void with_read_turn(std::uint64_t correlation, Read&& read) {
    try {
      read();
    } catch (...) {
      give_back_read_turn(correlation, true);
      throw;
    }
    give_back_read_turn(correlation, false);
  }

  // Gives the read turn back and hands it on, forgetting the waiter of
  // `correlation` (when not 0), and has the loop read if it found the turn
  // taken meanwhile, or at once after a reader `failed` (frames it read may
  // wait unhanded, with nothing new on the socket to wake the loop). Without
  // mutex_.
  void give_back_read_turn(std::uint64_t correlation, bool failed) {
    bool loop_waits;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (correlation != 0) waiters_.erase(correlation);
      loop_waits = release_read_turn();
    }
    if (loop_waits || failed) rearm_later();
  }

  // The read turn holder's: reads what waits on the socket without waiting,
  // and hands out the frames (notifications into `notes` when given). A
  // bounded batch, so that a flood of notifications does not keep a reader
  // from its other work; a read that did not fill the buffer most likely
  // drained the socket (an event loop's armed wait says so if more came).
  // False when the session ended.
  bool read_waiting(std::vector<std::shared_ptr<CRequestResponse>>* notes) {
    bool ok = true;
    for (int reads = 0; ok && reads < kReadsPerTurn; ++reads) {
      while (frames_.pop(&payload_)) dispatch(payload_, notes);
      ssize_t n = ::recv(in_fd_, buffer_, sizeof buffer_, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      ok = n > 0 && feed(static_cast<std::size_t>(n));
      if (static_cast<std::size_t>(n) < sizeof buffer_) break;
    }
    while (ok && frames_.pop(&payload_)) dispatch(payload_, notes);
    return ok;
  }

  // False ends the session: bytes taken off the socket and not framed (no
  // memory for a frame, say) leave a stream nobody can follow any more.
  bool feed(std::size_t n) {
    last_heard_.store(Clock::now().time_since_epoch().count());
    try {
      if (frames_.feed(buffer_, n)) return true;
    } catch (const std::exception& e) {
      complain(std::string("cannot take in what the data store sent: ") + e.what());
      return false;
    }
    complain(frames_.error());
    return false;
  }

  // One read into buffer_ by `deadline`: the bytes read, 0 when the deadline
  // passed, -1 when the session ended. A blocking recv() on the daemon's own
  // socket; else a wait in poll() (a handler's socket, or the connection
  // itself, where a recv() would also be woken each time the daemon reads a
  // request: a poll for input sleeps through that).
  ssize_t receive(Clock::time_point deadline) {
    for (;;) {
      const auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) return 0;
      ssize_t n;
      if (blocking()) {
        if (!bound_wait(left)) return -1;
        n = ::recv(in_fd_, buffer_, sizeof buffer_, 0);
      } else {
        pollfd p{in_fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, millis_until(deadline + std::chrono::milliseconds(1)));
        if (ready < 0 && errno != EINTR) return -1;
        if (ready <= 0) continue;
        n = ::recv(in_fd_, buffer_, sizeof buffer_, MSG_DONTWAIT);
      }
      if (n > 0) return n;
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      return -1;  // closed by the daemon, or shut down by close()
    }
  }

  // Whether readers block in recv() on in_fd_: on the daemon's own socket,
  // unless an event loop also waits on it (a handler's), which makes it
  // non-blocking: those wait in poll().
  bool blocking() const { return in_fd_ != fd_ && !sink_; }

  // Has a blocking recv() on in_fd_ end within `left`, give or take
  // kDeadlineSlack: sets the socket's receive timeout when the one set ends
  // too late or far too early. False when it cannot be set.
  bool bound_wait(Clock::duration left) {
    if (recv_timeout_ != Clock::duration::zero() && left + kDeadlineSlack >= recv_timeout_ &&
        left <= 2 * recv_timeout_)
      return true;
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(left).count() + 1;
    timeval tv{};
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(micros / 1000000);
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>(micros % 1000000);
    if (::setsockopt(in_fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return false;
    recv_timeout_ = left;
    return true;
  }

  // The session can carry nothing more: every waiting caller gets its answer
  // (none) at once, and the reader wakes up.
  void broken() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_.store(false);
      for (auto& entry : waiters_) {
        entry.second->done.store(true, std::memory_order_release);
        entry.second->ring();
      }
      waiters_.clear();
    }
    ::shutdown(fd_, SHUT_RDWR);
    if (in_fd_ != fd_) ::shutdown(in_fd_, SHUT_RDWR);  // wakes a reader asleep in recv()
  }

  // Waits, in the event loop, for the socket to have something. Call with
  // loop_mutex_ held.
  void arm() {
    if (!loop_fd_ || !open_.load()) return;
    auto self = shared_from_this();
    const std::uint64_t generation = loop_generation_;
    loop_fd_->async_wait(boost::asio::posix::stream_descriptor::wait_read,
                         [self, generation](const boost::system::error_code& ec) {
                           if (!ec) self->read_in_loop(generation);
                         });
  }

  // Has the loop read (and then wait) from a thread that held the read
  // turn while the loop wanted it; it reads first rather than only waiting,
  // so that what came before it waits again is not missed. Without mutex_.
  void rearm_later() {
    std::lock_guard<std::mutex> lock(loop_mutex_);
    read_later();
  }

  // Call with loop_mutex_ held.
  void read_later() {
    if (!loop_fd_) return;
    auto self = shared_from_this();
    const std::uint64_t generation = loop_generation_;
    boost::asio::post(*loop_, [self, generation] { self->read_in_loop(generation); });
  }

  // Call with loop_mutex_ held.
  void stop_loop_reading() {
    if (!loop_fd_) return;
    loop_fd_->release();  // the descriptor is the connection's, not the loop's
    loop_fd_.reset();     // cancels the pending wait
    in_loop_ = nullptr;
    loop_ = nullptr;
    ++loop_generation_;
  }

  // On the loop's thread, once the socket has something: reads what is there
  // if the turn is free (else its holder reads it and arms the loop again),
  // then runs the notifications outside the turn, so that their callbacks may
  // make requests on this session.
  void read_in_loop(std::uint64_t generation) {
    std::shared_ptr<const NotificationSink> in_loop;
    std::vector<std::shared_ptr<CRequestResponse>> notes;
    {
      std::lock_guard<std::mutex> lock(loop_mutex_);
      if (generation != loop_generation_) return;
      in_loop = in_loop_;
      notes.swap(loop_notes_);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!open_.load()) return;
      if (reading_) {
        loop_waiting_ = true;
        return;
      }
      reading_ = true;
    }
    // A read that throws (no memory, say) still gives the turn back and runs
    // what it read before; the loop then hears of the failure, and reads the
    // rest at once rather than when more comes.
    std::exception_ptr failed;
    try {
      if (!read_waiting(&notes)) broken();
    } catch (...) {
      failed = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      release_read_turn();  // the loop itself is armed again below
      delivering_ = true;
    }
    std::size_t next = 0;
    std::shared_ptr<CRequestResponse> note;
    try {
      for (;;) {
        if (next < notes.size())
          note = std::move(notes[next++]);
        else if (!take_deferred(&note))
          break;
        (*in_loop)(std::move(note));
      }
    } catch (...) {
      // The callback's exception goes to whoever runs the loop, as any
      // handler's; the notifications after it still come, in order:
      // delivering_ stays set until they are all handed on, so that none
      // read meanwhile overtakes them.
      while (next < notes.size()) sink_(std::move(notes[next++]));
      while (take_deferred(&note)) sink_(std::move(note));
      rearm(generation, failed != nullptr, &notes);
      throw;
    }
    rearm(generation, failed != nullptr, &notes);
    if (failed) std::rethrow_exception(failed);
  }

  // The next notification others read while the loop delivered, taken
  // under the lock (the sink is called without it); false, and the loop no
  // longer delivering, once none is left.
  bool take_deferred(std::shared_ptr<CRequestResponse>* note) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (deferred_.empty()) {
      delivering_ = false;
      return false;
    }
    *note = std::move(deferred_.front());
    deferred_.pop_front();
    return true;
  }

  // Has the loop wait for the socket again, or read at once when `now` (a
  // failed read may have left frames read and not handed out). The loop's
  // list of notifications, handed out, keeps its memory for the next read.
  void rearm(std::uint64_t generation, bool now, std::vector<std::shared_ptr<CRequestResponse>>* notes) {
    std::lock_guard<std::mutex> lock(loop_mutex_);
    notes->clear();
    loop_notes_.swap(*notes);
    if (generation != loop_generation_) return;
    if (now) read_later();
    else arm();
  }

  // Hands one frame to whoever it is for; returns the correlation id of the
  // answer it delivered, else 0. Notifications go to the sink, or into
  // `notes` for the event loop to run.
  std::uint64_t dispatch(const std::string& payload, std::vector<std::shared_ptr<CRequestResponse>>* notes = nullptr) {
    std::uint64_t quick_correlation = 0;
    if (auto record = wire::decode_quick(payload, &quick_correlation)) {
      if (quick_correlation == 0) return notify(std::move(record), notes);
      return deliver(quick_correlation, std::move(record), 0, std::string());
    }
    wire::ArenaEnvelope parsed;
    const wire::Envelope& envelope = *parsed;
    std::string error;
    if (!wire::parse_envelope(payload, parsed.get(), &error)) {
      complain("unreadable frame from the data store: " + error);
      return 0;
    }
    const std::uint64_t correlation = envelope.correlation_id();
    if (correlation == 0) {
      if (envelope.body_case() == wire::Envelope::kError) {
        complain("the data store reported: " + envelope.error().message());
        return 0;
      }
      auto record = wire::decode_record(envelope, &error);
      if (!record) {
        complain("undecodable notification from the data store: " + error);
        return 0;
      }
      return notify(std::move(record), notes);
    }
    // Decoded before the lock, and the caller woken after it: with many
    // callers on one session, a caller woken under the lock would at once
    // sleep again waiting for it (a quarter more answers per second with 8).
    std::shared_ptr<CRequestResponse> response;
    std::uint32_t error_status = 0;
    std::string error_message;
    if (envelope.body_case() == wire::Envelope::kError) {
      error_status = envelope.error().status() ? envelope.error().status() : status_invalid;
      error_message = envelope.error().message();
    } else {
      response = wire::decode_record(envelope, &error);
      if (!response) {
        error_status = status_invalid;
        error_message = "the data store's answer could not be decoded: " + error;
      }
    }
    return deliver(correlation, std::move(response), error_status, std::move(error_message));
  }

  // Hands a notification to the event loop's batch (`notes`) or the sink; 0.
  std::uint64_t notify(std::shared_ptr<CRequestResponse> record,
                       std::vector<std::shared_ptr<CRequestResponse>>* notes) {
    if (notes) {
      notes->push_back(std::move(record));
      return 0;
    }
    {
      // While the loop runs the callbacks of what it read, what others
      // read (a callback's own request, say) comes after those.
      std::lock_guard<std::mutex> lock(mutex_);
      if (delivering_) {
        deferred_.push_back(std::move(record));
        return 0;
      }
    }
    if (sink_) sink_(std::move(record));
    return 0;
  }

  // Hands the answer to `correlation` (a record, or an error) to its caller;
  // returns `correlation`, or 0 when nobody waits for it any more.
  std::uint64_t deliver(std::uint64_t correlation, std::shared_ptr<CRequestResponse> response,
                        std::uint32_t error_status, std::string error_message) {
    std::shared_ptr<Waiter> waiter;  // keeps its semaphore alive past the lock
    bool asleep;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = waiters_.find(correlation);
      if (it == waiters_.end()) return 0;  // nobody waits any more (timed out, or sent without waiting)
      waiter = std::move(it->second);
      waiters_.erase(it);
      waiter->response = std::move(response);
      waiter->error_status = error_status;
      waiter->error_message = std::move(error_message);
      waiter->done.store(true, std::memory_order_release);
      asleep = waiter->parked;
    }
    // One not asleep sees `done` before it would sleep.
    if (asleep) waiter->ring();
    return correlation;
  }

  const int fd_;     // the connection: requests go here
  int in_fd_;        // where the daemon sends: the pair's end, or fd_ (set by hello())
  const std::string endpoint_;
  const NotificationSink sink_;
  std::atomic<bool> open_{true};
  std::atomic<std::uint64_t> next_correlation_{1};  // 0 marks notifications
  std::mutex out_mutex_;                            // guards the two below
  bool sending_ = false;                            // a caller writes: others leave their frames ...
  std::string outbox_;                              // ... here, for it to write next,
  Clock::time_point outbox_deadline_ = Clock::time_point::min();  // by the latest of their deadlines
  std::mutex mutex_;                                // guards waiters_, the waiters' fields and reading_
  std::unordered_map<std::uint64_t, std::shared_ptr<Waiter>> waiters_;
  bool loop_waiting_ = false;  // the event loop found the turn taken and is not armed
  bool delivering_ = false;    // the event loop runs the callbacks of what it read ...
  std::deque<std::shared_ptr<CRequestResponse>> deferred_;  // ... and these, read meanwhile, next
  bool reading_ = false;       // someone holds the read turn: the fields below are its
  wire::FrameReader frames_;
  std::string payload_;  // the frame being handed out
  Clock::duration recv_timeout_{};  // in_fd_'s receive timeout; zero: none set
  std::atomic<Clock::rep> last_heard_{0};         // when bytes last came, on the steady clock
  std::atomic<unsigned> unanswered_{0};           // sends since the socket was last drained
  std::mutex loop_mutex_;                         // guards the event loop's fields below
  boost::asio::io_context* loop_ = nullptr;
  std::unique_ptr<boost::asio::posix::stream_descriptor> loop_fd_;
  std::shared_ptr<const NotificationSink> in_loop_;  // shared, not copied, by each read of the loop
  std::vector<std::shared_ptr<CRequestResponse>> loop_notes_;  // the loop's list, between its reads
  std::uint64_t loop_generation_ = 0;  // changes when the loop stops or changes: older waits do nothing
  // The read turn holder's, last: the fields above, which every read uses,
  // then share cache lines and a page rather than lie on both sides of it.
  char buffer_[65536];
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
  void read_on(boost::asio::io_context* loop, NotificationSink in_loop) override {
    connection_->read_on(loop, std::move(in_loop));
  }

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
  // Non-blocking: senders pass MSG_DONTWAIT, and readers of it wait in poll().
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
