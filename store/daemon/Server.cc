#include "Server.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>

#include "Log.h"
#include "store/NotificationQueue.h"
#include "zu/proto/wire.pb.h"
#include "zu/wire/Codec.h"

namespace cdsd {
namespace {

namespace asio = boost::asio;
using stream = asio::local::stream_protocol;
using boost::system::error_code;

// A client gets this long to send its hello after connecting. The framework
// sends it right after connecting; a silent connection only holds a place.
constexpr std::chrono::seconds kHelloTimeout{3};
// A connection closed after an error gets this long to read the answer explaining it.
constexpr std::chrono::seconds kFlushTimeout{5};
// Bytes handed to the socket in one write, past which queued frames wait for
// the next one. One frame may exceed it.
constexpr std::size_t kWriteBatch = 256 * 1024;
// Answers waiting for the socket past which the connection's next requests
// are not read: a client that sends without reading stalls only itself.
constexpr std::size_t kMaxQueuedAnswers = 8 * 1024 * 1024;
// The largest memory of a written answer kept for the next one.
constexpr std::size_t kSpareAnswer = 4096;
// The stack of a connection's own reader: serving a request recurses little
// (trees are walked with lists of their own), and a 32-bit daemon with
// hundreds of connections cannot reserve the default 8 MiB for each.
constexpr std::size_t kReaderStack = 1024 * 1024;

std::string errno_text(int e) { return std::strerror(e); }

// Whether a process accepts connections on the socket at `path`.
bool someone_listens(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool live = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 || errno == EAGAIN;
  ::close(fd);
  return live;
}

}  // namespace

class Connection;

struct Server::Impl {
  Impl(std::shared_ptr<cds::store::Engine> e, ServerOptions o)
      : engine(std::move(e)),
        options(std::move(o)),
        ios(make_ios(options.threads)),
        control(asio::make_strand(*ios.front())),
        acceptor(control),
        signals(control) {
    for (auto& io : ios) busy.push_back(asio::make_work_guard(*io));
  }

  // One event loop per thread, each with a hint that one thread runs it.
  // Each loop's epoll descriptors are made here, by a timer: made on the
  // first connection instead, they would fail (and throw out of the loop)
  // when that connection came with the descriptors used up.
  static std::vector<std::unique_ptr<asio::io_context>> make_ios(unsigned threads) {
    std::vector<std::unique_ptr<asio::io_context>> made;
    for (unsigned i = 0; i < (threads == 0 ? 1 : threads); ++i) {
      made.push_back(std::make_unique<asio::io_context>(1));
      asio::steady_timer warm(*made.back());
    }
    return made;
  }

  void accept();
  // Serves or refuses an accepted connection.
  void take(asio::io_context& io, stream::socket socket);
  void stop();
  // Removes from `connections` the oldest connection that has not sent its
  // hello, and returns it (null when every connection has). Call with `mutex` held.
  std::shared_ptr<Connection> take_silent();
  // Tells a connection over the limit why, and closes it.
  void refuse(stream::socket socket);
  void forget(std::uint64_t number) {
    std::lock_guard<std::mutex> lock(mutex);
    connections.erase(number);
  }
  // Runs `c`'s reader on a thread of its own; false when no thread can be made.
  bool start_reader(std::shared_ptr<Connection> c);

  std::shared_ptr<cds::store::Engine> engine;
  ServerOptions options;
  // Each connection lives on one of these loops, each run by one thread: its
  // requests are read, served and answered on the thread that was woken by
  // them, with no hand-off to another thread. Loops run until stop().
  std::vector<std::unique_ptr<asio::io_context>> ios;
  std::vector<asio::executor_work_guard<asio::io_context::executor_type>> busy;
  std::size_t next_io = 0;  // the loop of the next connection, round robin; control's
  // The acceptor and the signals share one strand, on the first loop.
  asio::strand<asio::io_context::executor_type> control;
  stream::acceptor acceptor;
  asio::signal_set signals;
  ino_t socket_inode = 0;  // the socket file this daemon made, to remove only that one

  std::mutex mutex;  // guards connections, next_number and stopping
  std::map<std::uint64_t, std::weak_ptr<Connection>> connections;
  std::uint64_t next_number = 1;
  bool stopping = false;

  // Connections' own readers still running, which run() waits for: each
  // ends once its connection is closed.
  std::mutex readers_mutex;
  std::condition_variable readers_gone;
  std::size_t readers = 0;
};

// One client connection: its socket, its engine session, its outbound frames.
// Everything but on_notification runs on the connection's loop (one thread
// runs each loop, so its handlers never overlap) or on its own reader's
// thread, holding out_mutex_ either way: another connection's thread may
// then write a notification itself while the connection is idle
// (write_now), and the lock keeps it off the socket while the connection's
// own handlers are at work.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server::Impl& server, asio::io_context& io, stream::socket socket, std::uint64_t number)
      : server_(server),
        io_(io),
        socket_(std::move(socket)),
        out_socket_(io),
        timer_(io),
        frame_timer_(io),
        number_(number),
        notes_(server.options.notify_queue_limit) {}
  ~Connection() {
    if (passed_ >= 0) ::close(passed_);
    if (request_fd_ >= 0) ::close(request_fd_);  // only now: its reader has ended
  }

  void start() {
    auto self = shared_from_this();
    asio::post(loop(), [self] {
      self->handle([&] {
        self->timer_.expires_after(kHelloTimeout);
        self->timer_.async_wait([self](error_code ec) {
          self->handle([&] {
            if (!ec && self->state_ == State::awaiting_hello)
              self->close_now("sent no hello in time", Level::warning, "no hello");
          });
        });
        self->read_more();
      });
    });
  }

  // Closes the connection from any thread.
  void close(const std::string& why) {
    auto self = shared_from_this();
    asio::post(loop(), [self, why] { self->handle([&] { self->close_now(why, Level::debug); }); });
  }

  // Closes a connection that has not sent its hello to make room for a new
  // one; from any thread.
  void push_out() {
    auto self = shared_from_this();
    asio::post(loop(), [self] {
      self->handle([&] {
        self->close_now("had sent no hello when the connections reached their maximum; closed to make room",
                        Level::warning, "pushed out");
      });
    });
  }

  // Whether the hello was accepted. Any thread.
  bool greeted() const { return greeted_.load(); }

  // The engine's sink: may run on any thread, must not block.
  void on_notification(std::shared_ptr<zu::cds::CRequestResponse> message) {
    auto n = std::dynamic_pointer_cast<zu::cds::CSubscriberNotify>(message);
    if (!n) return;
    // Sent from here when the writer is another connection's thread and this
    // one is idle with nothing queued: no queue, no wake-up of this
    // connection's thread. The notifications of this connection's own
    // request wait for its answer, which leaves first.
    const bool own = holder_.load() == std::this_thread::get_id();
    if (!own && write_now(n.get())) return;
    if (!notes_.push(std::move(n))) return;
    auto self = shared_from_this();
    const std::size_t waiting = notes_.size();
    std::size_t peak = peak_notes_.load();
    while (waiting > peak && !peak_notes_.compare_exchange_weak(peak, waiting)) {
    }
    // The queue bounds itself; the session stays open and its subscriber is
    // told of any alarm updates dropped (see NotificationQueue).
    if (notes_.dropped() > 0 && !dropping_.exchange(true))
      log_limited("alarm updates dropped", Level::warning,
                  who_any_thread() + ": does not read its notifications: alarm updates past twice the queue limit of " +
                      std::to_string(notes_.limit()) + " are dropped, and the subscriber is told so");
    if (!own && write_now()) return;
    if (!kicked_.exchange(true)) {
      asio::post(loop(), [self] {
        self->handle([&] {
          self->kicked_.store(false);
          self->pump();
        });
      });
    }
  }

 private:
  enum class State { awaiting_hello, serving, flushing, closed };
  // Runs `work` as one of the connection's handlers: holding out_mutex_, the
  // thread marked as the connection's own meanwhile (a notification its own
  // request causes then waits for the answer), and closing the connection
  // should `work` throw (out of memory, say), rather than letting it end the
  // loop and with it the daemon.
  template <typename Work>
  void handle(Work&& work) {
    std::lock_guard<std::mutex> lock(out_mutex_);
    holder_.store(std::this_thread::get_id());
    guarded(std::forward<Work>(work));
    holder_.store(std::thread::id());
  }

  // Runs `work`; when it throws, the connection ends. With out_mutex_ held.
  template <typename Work>
  void guarded(Work&& work) noexcept {
    try {
      work();
    } catch (const std::exception& e) {
      fail(e.what());
    } catch (...) {
      fail("an unknown error");
    }
  }

  void fail(const char* what) noexcept {
    std::string why;
    try {
      why = std::string("serving it failed: ") + what;
    } catch (...) {
      // Without memory even for the reason, the connection still closes.
    }
    try {
      close_now(why, Level::warning);
    } catch (...) {
    }
  }

  asio::any_io_executor loop() { return socket_.get_executor(); }

  std::string who() const {
    return "connection " + std::to_string(number_) + (name_.empty() ? "" : " (\"" + name_ + "\")");
  }
  // who() without the name, which only the connection's own handlers may read.
  std::string who_any_thread() const { return "connection " + std::to_string(number_); }

  void read_more() {
    if (reading_ || (state_ != State::awaiting_hello && state_ != State::serving)) return;
    if (queued_bytes_ > kMaxQueuedAnswers || frames_.ready() > 0) {
      paused_ = true;  // until answers are written
      return;
    }
    reading_ = true;
    if (paused_) {
      paused_ = false;
      // The time the daemon did not read is not the client's: a begun frame
      // gets its whole deadline from now.
      if (frames_.partial() && frame_watched_) arm_frame_timer(server_.options.frame_timeout);
    }
    if (request_fd_ >= 0) {
      reader_wanted_.notify_one();  // the own reader, if it waits for this
      return;
    }
    if (state_ == State::serving && out_socket_.is_open() && !own_reader_tried_ && start_own_reader()) return;
    auto self = shared_from_this();
    if (state_ == State::awaiting_hello) {
      // The hello may bring the socket to send on, which only recvmsg takes.
      socket_.async_wait(stream::socket::wait_read, [self](error_code ec) {
        self->handle([&] {
          std::size_t n = 0;
          if (!ec) n = self->read_with_sockets(&ec);
          self->on_read(ec, n);
        });
      });
      return;
    }
    socket_.async_read_some(asio::buffer(input_),
                            [self](error_code ec, std::size_t n) { self->handle([&] { self->on_read(ec, n); }); });
  }

  // One read into input_ that also takes the descriptors sent with the bytes:
  // the first is kept in passed_ for the hello, the others closed. 0 bytes
  // and no error when nothing waited.
  std::size_t read_with_sockets(error_code* ec) {
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    iovec into{input_.data(), input_.size()};
    msghdr message{};
    message.msg_iov = &into;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do n = ::recvmsg(socket_.native_handle(), &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    while (n < 0 && errno == EINTR);
    if (n >= 0) {
      for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        for (std::size_t at = 0; CMSG_LEN((at + 1) * sizeof(int)) <= c->cmsg_len; ++at) {
          int fd;
          std::memcpy(&fd, CMSG_DATA(c) + at * sizeof fd, sizeof fd);
          if (passed_ < 0) passed_ = fd;
          else ::close(fd);
        }
      }
    }
    if (n > 0) return static_cast<std::size_t>(n);
    if (n == 0) *ec = asio::error::eof;
    else if (errno != EAGAIN && errno != EWOULDBLOCK) *ec = error_code(errno, boost::system::system_category());
    return 0;
  }

  // Once everything leaves by the socket the hello passed, the connection
  // only brings requests: its reads move to a thread of its own, asleep in
  // recv() on it, which the client's request wakes directly (the loop's
  // thread would be woken by epoll first, then read, then read again to find
  // the socket empty). The socket leaves the loop for good; the loop keeps
  // the timers and the writes that must wait. False leaves the reads to the loop.
  bool start_own_reader() {
    own_reader_tried_ = true;  // once: a thread refused now leaves the loop reading for good
    error_code ec;
    const int fd = socket_.release(ec);
    if (ec) return false;
    const int flags = ::fcntl(fd, F_GETFL);
    request_fd_ = fd;
    if (flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 && server_.start_reader(shared_from_this()))
      return true;
    request_fd_ = -1;
    socket_.assign(stream(), fd, ec);
    if (ec) {
      ::close(fd);
      close_now("cannot read its socket: " + ec.message(), Level::warning);
      return true;  // nothing more to read
    }
    return false;
  }

 public:
  // The own reader's loop (see start_own_reader): it reads while reading_
  // says the connection wants requests, serves them as the loop's handlers
  // do, holding out_mutex_, and ends once the connection no longer accepts.
  void read_on_own_thread() {
    std::unique_lock<std::mutex> lock(out_mutex_);
    while (accepting()) {
      if (!reading_) {  // paused until answers are written
        reader_wanted_.wait(lock);
        continue;
      }
      lock.unlock();
      ssize_t n;
      do n = ::recv(request_fd_, input_.data(), input_.size(), 0);
      while (n < 0 && errno == EINTR);
      const int failure = n < 0 ? errno : 0;
      lock.lock();
      holder_.store(std::this_thread::get_id());
      guarded([&] {
        if (n > 0)
          on_read(error_code(), static_cast<std::size_t>(n));
        else
          on_read(n == 0 ? error_code(asio::error::eof) : error_code(failure, boost::system::system_category()), 0);
      });
      holder_.store(std::thread::id());
    }
  }

 private:
  // Sends from now on over the socket the client passed with its hello, if
  // it asked so and the descriptor is a Unix stream socket: the client then
  // waits for its answers there, not on the socket its requests leave by.
  bool take_out_socket(const zu::wire::HelloInfo& info) {
    const int fd = passed_;
    passed_ = -1;
    if (fd < 0) return false;
    int type = 0, domain = 0;
    socklen_t size = sizeof type;
    bool usable = info.answer_socket && ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 &&
                  type == SOCK_STREAM;
    size = sizeof domain;
    usable = usable && ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 && domain == AF_UNIX;
    error_code ec;
    if (usable) out_socket_.assign(stream(), fd, ec);
    if (!usable || ec) ::close(fd);
    return usable && !ec;
  }

  // Where answers and notifications go.
  stream::socket& out() { return out_socket_.is_open() ? out_socket_ : socket_; }

  void on_read(error_code ec, std::size_t n) {
    reading_ = false;
    if (state_ != State::awaiting_hello && state_ != State::serving) return;
    if (ec) {
      if (frames_.partial())
        close_now("closed its connection in the middle of a frame", Level::warning);
      else
        close_now(ec == asio::error::eof ? "closed its connection" : "read failed: " + ec.message(), Level::debug);
      return;
    }
    try {
      frames_.feed(input_.data(), n);
    } catch (const std::bad_alloc&) {
      // A frame the daemon cannot hold ends its connection, not the daemon.
      close_now("sent a frame there is no memory for; closed", Level::warning);
      return;
    }
    watch_frame();
    serve_frames();
  }

  // Frames completed so far, served or not.
  std::uint64_t frames_completed() const { return frames_served_ + frames_.ready(); }

  // Starts the deadline of a frame that has begun and not yet completed.
  void watch_frame() {
    if (!frames_.partial() || (frame_watched_ && frame_mark_ == frames_completed())) return;
    frame_watched_ = true;
    frame_mark_ = frames_completed();
    arm_frame_timer(server_.options.frame_timeout);
  }

  void arm_frame_timer(std::chrono::seconds after) {
    frame_timer_.expires_after(after);
    auto self = shared_from_this();
    const std::uint64_t mark = frame_mark_;
    frame_timer_.async_wait([self, mark](error_code ec) {
      self->handle([&] {
        if (!ec) self->frame_deadline(mark);
      });
    });
  }

  void frame_deadline(std::uint64_t mark) {
    if (state_ != State::awaiting_hello && state_ != State::serving) return;
    // Completed in time (a later frame has a deadline of its own).
    if (!frames_.partial() || frames_completed() != mark) return;
    // Not reading: the daemon holds the frame up, not the client (its earlier
    // frames or their answers still wait); reading again restarts the deadline.
    if (!reading_) return;
    close_now("did not complete a frame within " + std::to_string(server_.options.frame_timeout.count()) +
                  " s of beginning it; closed",
              Level::warning, "frame timeout");
  }

  // Serves the frames read, as long as their answers do not pile up.
  void serve_frames() {
    for (;;) {
      while (accepting() && queued_bytes_ <= kMaxQueuedAnswers && frames_.pop(&request_)) {
        ++frames_served_;
        if (state_ == State::awaiting_hello) hello(request_);
        else serve(request_);
      }
      if (frames_.failed() && frames_.ready() == 0 && state_ != State::flushing && state_ != State::closed) {
        // The stream cannot be resynchronised after a bad length: explain, then close.
        warn(frames_.error());
        answer_error(zu::cds::status_too_big, frames_.error(), 0);
        flush_and_close();
      }
      pump();
      // Answers the socket took at once made room for the frames that waited.
      if (writing_ || frames_.ready() == 0 || !accepting()) break;
    }
    read_more();
  }

  bool accepting() const { return state_ == State::awaiting_hello || state_ == State::serving; }

  void hello(const std::string& payload) {
    zu::wire::Envelope envelope;
    zu::wire::HelloInfo info;
    std::string error;
    zu::wire::HelloAckInfo ack;
    if (!zu::wire::parse_envelope(payload, &envelope, &error) || !zu::wire::decode_hello(envelope, &info, &error)) {
      ack.accepted = false;
      ack.message = "session refused: " + error;
      name_ = info.client_name;
      warn(ack.message);
      queue_hello_ack(ack);
      flush_and_close();
      return;
    }
    name_ = info.client_name;
    std::weak_ptr<Connection> weak = shared_from_this();
    session_ = server_.engine->open_session(info.client_name, [weak](std::shared_ptr<zu::cds::CRequestResponse> m) {
      if (auto self = weak.lock()) self->on_notification(std::move(m));
    });
    has_session_ = true;
    state_ = State::serving;
    greeted_.store(true);
    timer_.cancel();
    ack.accepted = true;
    ack.answer_socket = take_out_socket(info);
    queue_hello_ack(ack);
    debug(who() + ": session opened");
  }

  void serve(const std::string& payload) {
    std::uint64_t correlation = 0;
    auto request = zu::wire::decode_quick(payload, &correlation);
    if (!request || correlation == 0) request = decode(payload, &correlation);
    if (!request) return;  // answered
    std::string error;
    auto response = server_.engine->handle(session_, *request);
    std::string frame;
    frame.swap(spare_answer_);  // the memory of an answer already written, if any
    if (!zu::wire::encode_record_frame(*response, correlation, &frame, &error)) {
      // The answer cannot travel (too big, or a text it cannot carry): its
      // class and status still can.
      auto refused = response->clone();
      refused->clean();
      const bool too_big = error.find("frame limit") != std::string::npos;
      refused->status = too_big ? zu::cds::status_too_big : zu::cds::status_invalid;
      refused->message = error;
      if (!zu::wire::encode_record_frame(*refused, correlation, &frame, &error)) {
        answer_error(refused->status, refused->message, correlation);
        return;
      }
    }
    queue(std::move(frame));
  }

  // The request in `payload` the general way; null once what is wrong with
  // it has been answered.
  std::shared_ptr<zu::cds::CRequestResponse> decode(const std::string& payload, std::uint64_t* correlation) {
    zu::wire::ArenaEnvelope parsed;
    const zu::wire::Envelope& envelope = *parsed;
    std::string error;
    if (!zu::wire::parse_envelope(payload, parsed.get(), &error)) {
      warn(error);
      answer_error(zu::cds::status_invalid, error, 0);
      return nullptr;
    }
    *correlation = envelope.correlation_id();
    if (envelope.body_case() == zu::wire::Envelope::kHello) {
      answer_error(zu::cds::status_invalid, "the session is already open: a hello comes only first", *correlation);
      return nullptr;
    }
    if (*correlation == 0) {
      // Correlation id 0 marks notifications: an answer carrying it would be taken for one.
      answer_error(zu::cds::status_invalid, "a request needs a correlation id other than 0", 0);
      return nullptr;
    }
    auto request = zu::wire::decode_record(envelope, &error);
    if (!request) {
      warn(error);
      answer_error(zu::cds::status_invalid, error, *correlation);
    }
    return request;
  }

  void queue_hello_ack(const zu::wire::HelloAckInfo& ack) {
    std::string payload;
    if (zu::wire::encode_hello_ack(ack, 0, &payload, nullptr)) queue(zu::wire::frame(payload));
  }

  void answer_error(std::uint32_t status, const std::string& message, std::uint64_t correlation) {
    std::string payload;
    if (zu::wire::encode_error(status, message, correlation, &payload, nullptr)) queue(zu::wire::frame(payload));
  }

  void queue(std::string frame) {
    if (frame.empty()) return;
    queued_bytes_ += frame.size();
    answers_.push_back(std::move(frame));
  }

  // Hands the next batch to the socket: answers first, then, once none waits,
  // notifications. An answer is queued by the connection's own handler right
  // after its request was handled, and the notifications it caused cannot
  // exist before that, so they always leave after it.
  void pump() {
    while (!writing_ && state_ != State::closed) {
      if (!fill_output()) {
        if (state_ == State::flushing) close_now("closed after an error", Level::debug);
        return;
      }
      // Written at once when the socket takes it, which it mostly does: no
      // completion to wait for. Only what it does not take waits for it.
      const Sent sent = send_at_once();
      if (sent == Sent::failed) {
        close_now("write failed: " + errno_text(errno), Level::debug);
        return;
      }
      if (sent == Sent::rest) write_rest();
    }
  }

  enum class Sent { all, rest, failed };

  // One non-blocking send of output_. What the socket does not take stays in
  // output_, writing_ set, for write_rest().
  Sent send_at_once() {
    ssize_t sent;
    do sent = ::send(out().native_handle(), output_.data(), output_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent == static_cast<ssize_t>(output_.size())) return Sent::all;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Sent::failed;
    if (sent > 0) output_.erase(0, static_cast<std::size_t>(sent));
    writing_ = true;
    return Sent::rest;
  }

  // What the socket did not take at once, written when it can, by the loop
  // (from the own reader's thread, handed to it).
  void write_rest() {
    auto self = shared_from_this();
    if (!io_.get_executor().running_in_this_thread()) {
      asio::post(io_, [self] {
        self->handle([&] {
          if (self->state_ != State::closed) self->write_rest();
        });
      });
      return;
    }
    asio::async_write(out(), asio::buffer(output_),
                      [self](error_code ec, std::size_t) { self->handle([&] { self->on_written(ec); }); });
  }

  // Another thread's pump of the notifications, while the connection is idle
  // and nothing else waits to be written; `alone`, when given, goes first
  // and only when none is queued (it would overtake them). True when they
  // are sent, or their rest handed to the connection's loop; false leaves
  // them to it.
  bool write_now(const zu::cds::CSubscriberNotify* alone = nullptr) {
    std::unique_lock<std::mutex> held(out_mutex_, std::try_to_lock);
    if (!held.owns_lock() || writing_ || !answers_.empty() || state_ != State::serving) return false;
    if (alone && (notes_.size() != 0 || !zu::wire::encode_record_frame(*alone, 0, &output_, nullptr))) return false;
    for (bool more = alone != nullptr || fill_output(); more; more = fill_output()) {
      const Sent sent = send_at_once();
      if (sent == Sent::all) continue;
      if (sent == Sent::failed) {
        close("write failed: " + errno_text(errno));  // on the connection's loop, which owns the socket's end
        return true;
      }
      write_rest();  // handed to the connection's loop, which owns the socket's end
      return true;
    }
    return true;
  }

  // The next batch into output_: answers first, then, once none waits,
  // notifications. False when there is nothing to send.
  bool fill_output() {
    output_.clear();
    while (!answers_.empty() && output_.size() < kWriteBatch) {
      std::string& answer = answers_.front();
      output_ += answer;
      queued_bytes_ -= answer.size();
      // Its memory serves the next answer, which then allocates none.
      if (answer.capacity() <= kSpareAnswer && answer.capacity() > spare_answer_.capacity()) spare_answer_.swap(answer);
      answers_.pop_front();
    }
    if (answers_.empty() && state_ == State::serving) {
      while (output_.size() < kWriteBatch) {
        auto n = notes_.pop();
        if (!n) break;
        std::string error;
        if (!zu::wire::encode_record_frame(*n, 0, &payload_, &error)) {
          warn("a notification of subscription " + std::to_string(n->subscription_id) + " cannot be sent: " + error);
          continue;
        }
        output_ += payload_;
      }
    }
    return !output_.empty();
  }

  void on_written(error_code ec) {
    writing_ = false;
    if (state_ == State::closed) return;
    if (ec) {
      close_now("write failed: " + ec.message(), Level::debug);
      return;
    }
    if (!unwatch_writes()) return;
    serve_frames();  // resumes serving when answers had piled up; pumps again
  }

  // The loop keeps watching a socket for room to write once a write had to
  // wait for it, and the client's every read of an answer then wakes the loop
  // for nothing. The answer socket, which the loop never reads, is handed to
  // the loop anew, which forgets that. False when the connection closed.
  bool unwatch_writes() {
    if (!out_socket_.is_open()) return true;  // the connection itself: its pending read stays
    error_code ec;
    const int fd = out_socket_.release(ec);
    if (!ec) out_socket_.assign(stream(), fd, ec);
    if (!ec) return true;
    if (fd >= 0 && !out_socket_.is_open()) ::close(fd);
    close_now("cannot keep its answer socket: " + ec.message(), Level::warning);
    return false;
  }

  // Stops reading, sends what is queued (the explanation of the error), then
  // closes; a client that does not read it is cut off after kFlushTimeout.
  void flush_and_close() {
    if (state_ == State::flushing || state_ == State::closed) return;
    state_ = State::flushing;
    error_code ignored;
    socket_.shutdown(stream::socket::shutdown_receive, ignored);
    stop_own_reader(SHUT_RD);
    timer_.cancel();
    timer_.expires_after(kFlushTimeout);
    auto self = shared_from_this();
    timer_.async_wait([self](error_code ec) {
      self->handle([&] {
        if (!ec) self->close_now("did not read the error answer in time", Level::debug);
      });
    });
  }

  // Closes at once. With a `topic`, the line is rate-limited under it: a
  // flood of misbehaving connections leaves few lines.
  void close_now(const std::string& why, Level level, const char* topic = nullptr) {
    if (state_ == State::closed) return;
    state_ = State::closed;
    try {
      if (topic) log_limited(topic, level, who() + ": " + why);
      else log(level, who() + ": " + why);
      if (peak_notes_.load() > 0)
        debug(who() + ": notifications waiting at most: " + std::to_string(peak_notes_.load()) +
              ", merged into waiting ones: " + std::to_string(notes_.merged()) +
              ", alarm updates dropped: " + std::to_string(notes_.dropped()));
    } catch (...) {
      // Without memory for its line, the connection still closes.
    }
    error_code ignored;
    timer_.cancel();
    frame_timer_.cancel();
    socket_.shutdown(stream::socket::shutdown_both, ignored);
    socket_.close(ignored);
    stop_own_reader(SHUT_RDWR);
    out_socket_.shutdown(stream::socket::shutdown_both, ignored);
    out_socket_.close(ignored);
    if (passed_ >= 0) ::close(passed_);
    passed_ = -1;
    notes_.close();
    if (has_session_) server_.engine->close_session(session_);
    has_session_ = false;
    answers_.clear();
    queued_bytes_ = 0;
    server_.forget(number_);
  }

  void warn(const std::string& what) { warning(who() + ": " + what); }

  // Wakes the own reader, asleep in recv() or waiting to read, to find that
  // the connection no longer accepts; its descriptor stays open until the
  // connection goes, so that no other socket can take its number meanwhile.
  void stop_own_reader(int how) {
    if (request_fd_ < 0) return;
    ::shutdown(request_fd_, how);
    reader_wanted_.notify_one();
  }

  Server::Impl& server_;
  asio::io_context& io_;       // the connection's loop
  stream::socket socket_;      // the connection: requests come, and without out_socket_ everything goes
  stream::socket out_socket_;  // the socket the hello passed: answers and notifications go
  int passed_ = -1;            // a descriptor that came with the hello's bytes, until the hello is read
  asio::steady_timer timer_;        // the hello's deadline, then the error answer's
  asio::steady_timer frame_timer_;  // the deadline of the frame being received
  const std::uint64_t number_;
  std::string name_;
  State state_ = State::awaiting_hello;
  cds::store::SessionId session_ = 0;
  bool has_session_ = false;

  zu::wire::FrameReader frames_;
  std::string request_;  // the frame being served
  bool reading_ = false;  // requests are wanted: a read is pending, or the own reader reads
  int request_fd_ = -1;   // the connection's socket once its own reader reads it (start_own_reader)
  bool own_reader_tried_ = false;
  std::condition_variable reader_wanted_;  // the own reader waits on it, with out_mutex_, while not reading_
  bool paused_ = false;  // reading stopped until answers are written
  std::uint64_t frames_served_ = 0;  // frames popped from frames_
  bool frame_watched_ = false;       // a frame deadline was started ...
  std::uint64_t frame_mark_ = 0;     // ... for the frame after this many completed ones
  std::atomic<bool> greeted_{false};

  std::deque<std::string> answers_;  // framed answers, hello answer and errors, in order
  std::string spare_answer_;         // memory for the next answer, from one written
  std::size_t queued_bytes_ = 0;
  std::string output_;   // the batch being written
  std::string payload_;  // scratch for encoding notifications
  bool writing_ = false;
  std::mutex out_mutex_;  // held by the connection's handlers (handle()), and by write_now
  std::atomic<std::thread::id> holder_{};  // the thread inside a handler of this connection, if any

  cds::store::NotificationQueue notes_;
  std::atomic<bool> kicked_{false};
  std::atomic<bool> dropping_{false};  // alarm updates were dropped (logged once)
  std::atomic<std::size_t> peak_notes_{0};  // the most notifications that waited at once
  // Last: the fields above, which every request uses, then share cache lines
  // and a page rather than lie on both sides of it.
  std::array<char, 65536> input_{};
};

namespace {

// Runs `io` until it stops. What a handler throws past the connections' own
// guard (out of memory while accepting, say) is logged and the loop goes on:
// the daemon holds the store, and ending it would lose what it holds.
void run_loop(asio::io_context& io) {
  for (;;) {
    try {
      io.run();
      return;
    } catch (const std::exception& e) {
      try {
        log_limited("loop", Level::error, std::string("a handler of an event loop failed: ") + e.what());
      } catch (...) {
      }
    } catch (...) {
      log_limited("loop", Level::error, "a handler of an event loop failed");
    }
  }
}

}  // namespace

void Server::Impl::accept() {
  asio::io_context& io = *ios[next_io++ % ios.size()];
  acceptor.async_accept(io, [this, &io](error_code ec, stream::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors, typically: wait a little instead of spinning.
      log_limited("accept", Level::warning, "accepting a connection failed: " + ec.message());
      auto timer = std::make_shared<asio::steady_timer>(control, std::chrono::milliseconds(100));
      timer->async_wait([this, timer](error_code) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!stopping) accept();
      });
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopping) return;
    }
    accept();  // the next connection's, whatever becomes of this one
    try {
      take(io, std::move(socket));
    } catch (const std::exception& e) {
      // Out of memory, say: this connection is lost (its socket closes), not the next ones.
      log_limited("accept", Level::warning, std::string("taking a connection failed: ") + e.what());
    }
  });
}

void Server::Impl::take(asio::io_context& io, stream::socket socket) {
  std::shared_ptr<Connection> connection;
  std::shared_ptr<Connection> pushed_out;
  std::uint64_t number = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) return;  // stop() closes only the connections it finds
    if (connections.size() >= options.max_connections) pushed_out = take_silent();
    if (connections.size() < options.max_connections) {
      number = next_number++;
      connection = std::make_shared<Connection>(*this, io, std::move(socket), number);
      connections.emplace(number, connection);
    }
  }
  if (pushed_out) pushed_out->push_out();
  if (!connection) {
    refuse(std::move(socket));
    return;
  }
  debug("connection " + std::to_string(number) + " accepted");
  connection->start();
}

bool Server::Impl::start_reader(std::shared_ptr<Connection> c) {
  struct Start {
    Impl* impl;
    std::shared_ptr<Connection> connection;
  };
  auto* start = new Start{this, std::move(c)};
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) != 0) {
    delete start;
    return false;
  }
  ::pthread_attr_setstacksize(&attributes, kReaderStack);
  ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  {
    std::lock_guard<std::mutex> lock(readers_mutex);
    ++readers;
  }
  pthread_t thread;
  const int failed = ::pthread_create(
      &thread, &attributes,
      [](void* p) -> void* {
        std::unique_ptr<Start> started(static_cast<Start*>(p));
        Impl* impl = started->impl;
        started->connection->read_on_own_thread();
        started.reset();  // the connection may end here, before run() may return
        std::lock_guard<std::mutex> lock(impl->readers_mutex);
        --impl->readers;
        impl->readers_gone.notify_all();  // under the lock: once run() sees none, nothing here is touched
        return nullptr;
      },
      start);
  ::pthread_attr_destroy(&attributes);
  if (failed == 0) return true;
  delete start;
  log_limited("reader", Level::warning,
              "cannot start a thread to read a connection (" + errno_text(failed) + "); its event loop reads it");
  std::lock_guard<std::mutex> lock(readers_mutex);
  --readers;
  return false;
}

std::shared_ptr<Connection> Server::Impl::take_silent() {
  // The oldest first: it has had the longest to send its hello. Entries of
  // connections already gone are dropped on the way.
  for (auto it = connections.begin(); it != connections.end();) {
    std::shared_ptr<Connection> c = it->second.lock();
    if (c && c->greeted()) {
      ++it;
      continue;
    }
    it = connections.erase(it);
    if (c) return c;
  }
  return nullptr;
}

void Server::Impl::refuse(stream::socket socket) {
  // The client's hello is answered before it is read: the explanation fits
  // the socket's buffer, and the daemon does not wait for the client.
  zu::wire::HelloAckInfo ack;
  ack.message = "session refused: the data store serves its maximum of " + std::to_string(options.max_connections) +
                " connections";
  std::string payload;
  if (zu::wire::encode_hello_ack(ack, 0, &payload, nullptr)) {
    const std::string frame = zu::wire::frame(payload);
    const ssize_t sent = ::send(socket.native_handle(), frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    static_cast<void>(sent);  // best effort: the connection is closed either way
  }
  // Logged before the close, so that whoever sees the connection end finds the line.
  log_limited("refused", Level::warning,
              "refused a connection: " + std::to_string(options.max_connections) +
                  " connections are open, all of them past their hello (--max-connections)");
  error_code ignored;
  socket.close(ignored);
}

void Server::Impl::stop() {
  std::vector<std::shared_ptr<Connection>> open;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) return;
    stopping = true;
    for (auto& entry : connections)
      if (auto c = entry.second.lock()) open.push_back(std::move(c));
  }
  asio::post(control, [this] {
    error_code ignored;
    acceptor.close(ignored);
    signals.cancel(ignored);
  });
  for (auto& c : open) c->close("the daemon stops");
  // Each loop ends once the closes above and what they cancel have run.
  for (auto& guard : busy) guard.reset();
}

Server::Server(std::shared_ptr<cds::store::Engine> engine, ServerOptions options)
    : impl_(std::make_shared<Impl>(std::move(engine), std::move(options))) {}

Server::~Server() = default;

bool Server::listen(std::string* error) {
  const std::string& path = impl_->options.socket_path;
  sockaddr_un probe{};
  if (path.empty() || path.size() >= sizeof probe.sun_path) {
    *error = "the socket path \"" + path + "\" is empty or longer than " + std::to_string(sizeof probe.sun_path - 1) +
             " bytes";
    return false;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = path + " exists and is not a socket; not touching it";
      return false;
    }
    if (someone_listens(path)) {
      *error = "another daemon already listens on " + path;
      return false;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      *error = "cannot remove the stale socket " + path + ": " + errno_text(errno);
      return false;
    }
    info("removed the stale socket " + path);
  }
  error_code ec;
  impl_->acceptor.open(stream(), ec);
  if (!ec) {
    // The file is born with mode 0660: no moment where others may connect.
    const mode_t old = ::umask(0117);
    impl_->acceptor.bind(stream::endpoint(path), ec);
    ::umask(old);
  }
  if (!ec && ::chmod(path.c_str(), 0660) != 0) ec = error_code(errno, boost::system::system_category());
  if (!ec) impl_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + path + ": " + ec.message();
    return false;
  }
  if (::lstat(path.c_str(), &st) == 0) impl_->socket_inode = st.st_ino;
  return true;
}

void Server::run() {
  Impl& impl = *impl_;
  impl.signals.add(SIGTERM);
  impl.signals.add(SIGINT);
  impl.signals.async_wait([&impl](error_code ec, int signal) {
    if (ec) return;
    info(std::string("received ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") + ": stopping");
    impl.stop();
  });
  impl.accept();
  info("listening on " + impl.options.socket_path);

  std::vector<std::thread> threads;
  for (std::size_t i = 1; i < impl.ios.size(); ++i) threads.emplace_back([&impl, i] { run_loop(*impl.ios[i]); });
  run_loop(*impl.ios.front());
  for (auto& t : threads) t.join();
  {
    // The loops closed every connection, which ends their own readers.
    std::unique_lock<std::mutex> lock(impl.readers_mutex);
    impl.readers_gone.wait(lock, [&impl] { return impl.readers == 0; });
  }

  struct stat st {};
  const std::string& path = impl.options.socket_path;
  if (::lstat(path.c_str(), &st) == 0 && st.st_ino == impl.socket_inode) ::unlink(path.c_str());
  info("stopped");
}

void Server::stop() { impl_->stop(); }

}  // namespace cdsd
