#include "zu/asio/CCdsHandler.h"

#include <algorithm>
#include <condition_variable>
#include <iostream>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "zu/cds/CClient.h"

namespace zu {
namespace asio {
namespace {
// Notifications kept while no loop is attached; past this the oldest are dropped.
constexpr std::size_t kMaxPending = 65536;
// How often a healthy session is checked, and the pauses between reconnection
// attempts (doubling up to the longest).
constexpr std::chrono::milliseconds kWatchInterval{200};
constexpr std::chrono::milliseconds kFirstRetry{50};
constexpr std::chrono::milliseconds kLongestRetry{2000};

// The handlers whose handle_response this thread is inside of, innermost
// first: ending a handler's callbacks from one of them must not wait for it.
struct Call {
  const void* shared;
  const Call* outer;
};
thread_local const Call* innermost_call = nullptr;

bool same_key(const cds::CSubscribeSingle& a, const cds::CSubscribeSingle& b) {
  return a.type == b.type && a.object_id == b.object_id && a.path == b.path && a.flag == b.flag && a.flag2 == b.flag2;
}
}  // namespace

struct CCdsHandler::Shared : std::enable_shared_from_this<CCdsHandler::Shared> {
  std::mutex mutex;  // guards everything below but the reconnection's own members
  std::shared_ptr<cds::Session> session;
  boost::asio::io_context* io = nullptr;
  std::deque<std::shared_ptr<cds::CRequestResponse>> pending;
  std::size_t dropped = 0;  // of `pending`'s oldest, since a loop was last attached
  std::size_t posted = 0;  // notifications posted to the loop and not yet run
  CCdsHandler* owner = nullptr;  // null once its callbacks ended
  std::size_t calls = 0;         // handle_response calls running
  std::condition_variable calls_done;  // one of them ended after `owner` went
  std::uint32_t max_request = 0;
  std::string name;
  bool logged_in = false;
  // What to restore after a reconnection: ids reserved through the handler and
  // the subscribe entries sent for each, in order.
  std::set<std::uint64_t> reserved;
  std::map<std::uint64_t, std::vector<cds::CSubscribeSingle>> subscribed;

  // The watcher thread that reconnects a lost session.
  std::thread watcher;
  std::condition_variable wake;
  bool stopping = false;
  std::mutex reconnect_mutex;  // one reconnection at a time

  // Call with mutex held.
  void post(std::shared_ptr<cds::CRequestResponse> m) {
    std::weak_ptr<Shared> weak = shared_from_this();
    ++posted;
    boost::asio::post(*io, [weak, m]() mutable {
      auto sh = weak.lock();
      if (!sh) return;
      std::unique_lock<std::mutex> lock(sh->mutex);
      --sh->posted;
      sh->deliver(lock, std::move(m));
    });
  }

  // Runs the owner's callback unless its callbacks ended, counted in `calls`
  // so that ending them waits for it. The lock is given back before the call:
  // a callback may make requests, whose notifications come through here.
  void deliver(std::unique_lock<std::mutex>& lock, std::shared_ptr<cds::CRequestResponse> m) {
    CCdsHandler* o = owner;
    if (!o) return;
    ++calls;
    lock.unlock();
    struct Running {
      Shared* shared;
      Call call;
      explicit Running(Shared* s) : shared(s), call{s, innermost_call} { innermost_call = &call; }
      ~Running() {  // also when the callback throws
        innermost_call = call.outer;
        std::lock_guard<std::mutex> l(shared->mutex);
        --shared->calls;
        if (!shared->owner) shared->calls_done.notify_all();  // someone may be ending them
      }
    } running(this);
    o->handle_response(std::move(m));
  }

  // Ends the owner's callbacks and waits for those running, but for those the
  // calling thread is inside of (they cannot end before it returns).
  void end_calls() {
    std::unique_lock<std::mutex> lock(mutex);
    owner = nullptr;
    std::size_t here = 0;
    for (const Call* c = innermost_call; c; c = c->outer)
      if (c->shared == this) ++here;
    calls_done.wait(lock, [&] { return calls <= here; });
  }

  // Call with mutex held.
  void post_or_keep(std::shared_ptr<cds::CRequestResponse> m) {
    if (io) {
      post(std::move(m));
    } else {
      if (pending.size() >= kMaxPending) {
        pending.pop_front();
        if (dropped++ == 0)
          std::cerr << "zu: handler \"" << name << "\" has no event loop attached and " << kMaxPending
                    << " notifications waiting for one: the oldest are dropped from now on" << std::endl;
      }
      pending.push_back(std::move(m));
    }
  }

  // For notifications read by any thread.
  cds::NotificationSink sink() {
    std::weak_ptr<Shared> weak = shared_from_this();
    return [weak](std::shared_ptr<cds::CRequestResponse> m) {
      auto shared = weak.lock();
      if (!shared) return;
      std::lock_guard<std::mutex> lock(shared->mutex);
      shared->post_or_keep(std::move(m));
    };
  }

  // For notifications the loop's thread read itself: handled in place, with
  // no post, unless others read before them still wait in the loop's queue.
  cds::NotificationSink in_loop_sink() {
    std::weak_ptr<Shared> weak = shared_from_this();
    return [weak](std::shared_ptr<cds::CRequestResponse> m) {
      auto shared = weak.lock();
      if (!shared) return;
      std::unique_lock<std::mutex> lock(shared->mutex);
      if (!shared->io || shared->posted > 0) {
        shared->post_or_keep(std::move(m));
        return;
      }
      shared->deliver(lock, std::move(m));
    };
  }

  // Lets the attached loop read `s`. Call with mutex held.
  void read_in_loop(cds::Session& s) { s.read_on(io, io ? in_loop_sink() : nullptr); }

  std::shared_ptr<cds::Session> current() {
    std::lock_guard<std::mutex> lock(mutex);
    return session;
  }

  // Keeps what a successful request changed in the handler's subscriptions.
  void remember(const cds::CRequestResponse& request, const cds::CRequestResponse* response) {
    if (!response || response->status != cds::status_ok) return;
    std::lock_guard<std::mutex> lock(mutex);
    if (auto ids = dynamic_cast<const cds::CManageSubscriberIDs*>(&request)) {
      auto answer = dynamic_cast<const cds::CManageSubscriberIDs*>(response);
      if (ids->op == 1 && answer) {
        reserved.insert(answer->reserved_ids.begin(), answer->reserved_ids.end());
      } else if (ids->op == 0) {
        for (std::uint64_t id : ids->release_ids) {
          reserved.erase(id);
          subscribed.erase(id);
        }
      }
    } else if (auto subscribe = dynamic_cast<const cds::CSubscribe*>(&request)) {
      if (!dynamic_cast<const cds::CSubscribe*>(response)) return;
      for (const cds::CSubscribeSingle& entry : subscribe->subscriptions) {
        if (reserved.count(entry.subscription_id) == 0) continue;
        auto& entries = subscribed[entry.subscription_id];
        if (std::none_of(entries.begin(), entries.end(), [&](const auto& e) { return same_key(e, entry); }))
          entries.push_back(entry);
      }
    }
  }

  // Opens a new session when the current one is lost, and restores the
  // subscriptions on it. True when the handler has an open session.
  bool reconnect() {
    std::lock_guard<std::mutex> one_at_a_time(reconnect_mutex);
    std::vector<std::uint64_t> ids;
    std::map<std::uint64_t, std::vector<cds::CSubscribeSingle>> entries;
    std::shared_ptr<cds::Session> current;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!logged_in || stopping) return false;
      current = session;
      ids.assign(reserved.begin(), reserved.end());
      entries = subscribed;
    }
    // Not under the lock: looking may read the socket, and what it reads
    // goes to the sink, which takes the lock.
    if (current && current->is_open()) return true;
    std::shared_ptr<cds::Transport> t = cds::CClient::get()->transport();
    std::shared_ptr<cds::Session> fresh = t ? t->open(name, sink()) : nullptr;
    if (!fresh) return false;
    const auto timeout = cds::CClient::get()->timeout();
    std::string lost;
    if (!ids.empty()) {
      cds::CManageSubscriberIDs reserve;
      reserve.op = 1;
      reserve.other_ids = ids;
      auto answer = fresh->round_trip(reserve, timeout);
      if (!answer || answer->status != cds::status_ok) {
        lost = "its subscription ids could not be reserved again (" +
               std::string(answer ? answer->get_status_text() : "no answer") + ")";
      } else {
        cds::CSubscribe subscribe;
        for (const auto& entry : entries)
          subscribe.subscriptions.insert(subscribe.subscriptions.end(), entry.second.begin(), entry.second.end());
        if (!subscribe.subscriptions.empty()) {
          answer = fresh->round_trip(subscribe, timeout);
          if (!answer || answer->status != cds::status_ok)
            lost = "its subscriptions could not be made again (" +
                   std::string(answer ? answer->get_status_text() : "no answer") + ")";
        }
      }
    }
    if (!lost.empty()) std::cerr << "zu: handler \"" << name << "\" reconnected, but " << lost << std::endl;
    else if (!ids.empty())
      // Its subscriptions go on, but what changed while no session was open
      // reached nobody: the application may want to read the state again.
      std::cerr << "zu: handler \"" << name << "\" reconnected and restored its subscriptions; notifications of "
                << "changes made while it was disconnected are lost" << std::endl;
    std::shared_ptr<cds::Session> old;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!logged_in || stopping) {
        old = std::move(fresh);
      } else {
        old = std::move(session);
        session = std::move(fresh);
        read_in_loop(*session);
      }
      // Its loop stops reading it now, while the loop surely lives.
      if (old) old->read_on(nullptr, nullptr);
    }
    if (old) old->close();
    return true;
  }

  void start_watcher() {
    std::lock_guard<std::mutex> lock(mutex);
    if (watcher.joinable()) return;
    // The handler's destructor stops and joins it before `this` goes.
    watcher = std::thread([this] { watch(); });
  }

  void watch() {
    std::chrono::milliseconds pause = kWatchInterval;
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
      wake.wait_for(lock, pause);
      if (stopping) break;
      std::shared_ptr<cds::Session> current = logged_in ? session : nullptr;
      lock.unlock();  // looking may read the socket, whose sink takes the lock
      bool lost = true;  // a session that cannot even be looked at is taken for lost
      try {
        lost = current && !current->is_open();
      } catch (...) {
      }
      lock.lock();
      if (stopping) break;
      if (!lost) {
        pause = kWatchInterval;
        continue;
      }
      lock.unlock();
      bool ok = false;  // the next attempt comes after the pause, as for any failure
      try {
        ok = reconnect();
      } catch (...) {
      }
      lock.lock();
      pause = ok ? kWatchInterval : (pause >= kWatchInterval ? kFirstRetry : std::min(pause * 2, kLongestRetry));
    }
  }

  void stop_watcher() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    if (watcher.joinable()) watcher.join();
  }
};

CCdsHandler::CCdsHandler(const std::string& name, std::uint32_t, std::uint32_t max_request, std::uint32_t)
    : name_(name), shared_(std::make_shared<Shared>()) {
  shared_->owner = this;
  shared_->max_request = max_request;
  shared_->name = name;
}

CCdsHandler::~CCdsHandler() {
  end_callbacks();
  shared_->stop_watcher();
  std::shared_ptr<cds::Session> s;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->logged_in = false;
    s = std::move(shared_->session);
    if (s) s->read_on(nullptr, nullptr);
  }
  if (s) s->close();
}

void CCdsHandler::end_callbacks() { shared_->end_calls(); }

void CCdsHandler::cds_login() {
  std::string error;
  std::shared_ptr<cds::Transport> t = cds::CClient::get()->transport(&error);
  if (!t) throw std::runtime_error("cds_login: " + error);
  std::shared_ptr<cds::Session> s = t->open(name_, shared_->sink());
  if (!s) throw std::runtime_error("cds_login: cannot reach the data store at " + t->endpoint());
  std::shared_ptr<cds::Session> old;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    old = std::move(shared_->session);
    shared_->session = std::move(s);
    shared_->read_in_loop(*shared_->session);
    if (old) old->read_on(nullptr, nullptr);
    shared_->logged_in = true;
    // A new login starts with no subscriptions: the store released the old session's.
    shared_->reserved.clear();
    shared_->subscribed.clear();
  }
  if (old) old->close();
  shared_->start_watcher();
}

void CCdsHandler::cds_logout() {
  std::shared_ptr<cds::Session> s;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    s = std::move(shared_->session);
    if (s) s->read_on(nullptr, nullptr);
    shared_->logged_in = false;
    shared_->reserved.clear();
    shared_->subscribed.clear();
  }
  if (s) s->close();
}

std::shared_ptr<cds::Session> CCdsHandler::session() const {
  std::shared_ptr<cds::Session> s = shared_->current();
  // A lost session is replaced at once rather than at the watcher's next round.
  if (s && !s->is_open() && shared_->reconnect()) s = shared_->current();
  return s;
}

std::shared_ptr<cds::CRequestResponse> CCdsHandler::submit_wait(cds::CRequestResponse& request) const {
  std::shared_ptr<cds::Session> s = session();
  if (!s) return nullptr;
  auto response = s->round_trip(request, cds::CClient::get()->timeout());
  shared_->remember(request, response.get());
  return response;
}

bool CCdsHandler::submit_forget(cds::CRequestResponse& request, bool) {
  std::shared_ptr<cds::Session> s = session();
  return s && s->send(request);
}

bool CCdsHandler::submit(cds::CRequestResponse& request, bool urgent) { return submit_forget(request, urgent); }

void CCdsHandler::attach(boost::asio::io_context* io) {
  // The waiting notifications are posted under the lock: one arriving meanwhile
  // from the transport's thread must queue behind them, not overtake them.
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->io = io;
  if (io) {
    std::deque<std::shared_ptr<cds::CRequestResponse>> waiting;
    waiting.swap(shared_->pending);
    for (auto& m : waiting) shared_->post(std::move(m));
    if (shared_->dropped > 0)
      std::cerr << "zu: handler \"" << shared_->name << "\": " << shared_->dropped
                << " notifications were dropped before an event loop was attached" << std::endl;
    shared_->dropped = 0;
  }
  if (shared_->session) shared_->read_in_loop(*shared_->session);
}

}  // namespace asio
}  // namespace zu
