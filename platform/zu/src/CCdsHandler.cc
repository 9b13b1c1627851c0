#include "zu/asio/CCdsHandler.h"

#include <stdexcept>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "zu/cds/CClient.h"

namespace zu {
namespace asio {
namespace {
// Notifications kept while no loop is attached; past this the oldest are dropped.
constexpr std::size_t kMaxPending = 65536;
}  // namespace

struct CCdsHandler::Shared {
  std::mutex mutex;
  std::shared_ptr<cds::Session> session;
  boost::asio::io_context* io = nullptr;
  std::deque<std::shared_ptr<cds::CRequestResponse>> pending;
  CCdsHandler* owner = nullptr;
  std::uint32_t max_request = 0;
};

CCdsHandler::CCdsHandler(const std::string& name, std::uint32_t, std::uint32_t max_request, std::uint32_t)
    : name_(name), shared_(std::make_shared<Shared>()) {
  shared_->owner = this;
  shared_->max_request = max_request;
}

CCdsHandler::~CCdsHandler() {
  std::shared_ptr<cds::Session> s;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->owner = nullptr;
    s = std::move(shared_->session);
  }
  if (s) s->close();
}

void CCdsHandler::cds_login() {
  std::string error;
  std::shared_ptr<cds::Transport> t = cds::CClient::get()->transport(&error);
  if (!t) throw std::runtime_error("cds_login: " + error);
  std::weak_ptr<Shared> weak = shared_;
  std::shared_ptr<cds::Session> s = t->open(name_, [weak](std::shared_ptr<cds::CRequestResponse> m) {
    if (auto shared = weak.lock()) {
      std::lock_guard<std::mutex> lock(shared->mutex);
      if (shared->io) {
        boost::asio::post(*shared->io, [weak, m] {
          auto sh = weak.lock();
          if (!sh) return;
          CCdsHandler* owner;
          {
            std::lock_guard<std::mutex> l(sh->mutex);
            owner = sh->owner;
          }
          if (owner) owner->handle_response(m);
        });
      } else {
        if (shared->pending.size() >= kMaxPending) shared->pending.pop_front();
        shared->pending.push_back(std::move(m));
      }
    }
  });
  if (!s) throw std::runtime_error("cds_login: cannot reach the data store at " + t->endpoint());
  std::shared_ptr<cds::Session> old;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    old = std::move(shared_->session);
    shared_->session = std::move(s);
  }
  if (old) old->close();
}

void CCdsHandler::cds_logout() {
  std::shared_ptr<cds::Session> s;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    s = std::move(shared_->session);
  }
  if (s) s->close();
}

std::shared_ptr<cds::Session> CCdsHandler::session() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->session;
}

std::shared_ptr<cds::CRequestResponse> CCdsHandler::submit_wait(cds::CRequestResponse& request) const {
  std::shared_ptr<cds::Session> s = session();
  if (!s) return nullptr;
  return s->round_trip(request, cds::CClient::get()->timeout());
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
  if (!io) return;
  std::deque<std::shared_ptr<cds::CRequestResponse>> waiting;
  waiting.swap(shared_->pending);
  std::weak_ptr<Shared> weak = shared_;
  for (auto& m : waiting) {
    boost::asio::post(*io, [weak, m] {
      auto sh = weak.lock();
      if (!sh) return;
      CCdsHandler* owner;
      {
        std::lock_guard<std::mutex> l(sh->mutex);
        owner = sh->owner;
      }
      if (owner) owner->handle_response(m);
    });
  }
}

}  // namespace asio
}  // namespace zu
