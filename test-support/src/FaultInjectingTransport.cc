#include "zu/testing/FaultInjectingTransport.h"

#include <algorithm>

namespace zu {
namespace testing {
namespace {

class FaultySession : public cds::Session {
 public:
  FaultySession(std::shared_ptr<FaultInjectingTransport> owner, std::shared_ptr<cds::Session> inner)
      : owner_(std::move(owner)), inner_(std::move(inner)) {}
  ~FaultySession() override { inner_->close(); }

  std::shared_ptr<cds::CRequestResponse> round_trip(const cds::CRequestResponse& request,
                                                    std::chrono::milliseconds timeout) override {
    bool forwarded = false;
    return owner_->exchange(*inner_, request, timeout, &forwarded);
  }
  bool send(const cds::CRequestResponse& request) override {
    bool forwarded = false;
    auto answer = owner_->exchange(*inner_, request, std::chrono::milliseconds(0), &forwarded);
    return forwarded || answer != nullptr;
  }
  bool is_open() const override { return inner_->is_open(); }
  void close() override { inner_->close(); }
  void read_on(boost::asio::io_context* loop, cds::NotificationSink in_loop) override {
    inner_->read_on(loop, std::move(in_loop));
  }

 private:
  std::shared_ptr<FaultInjectingTransport> owner_;
  std::shared_ptr<cds::Session> inner_;
};

}  // namespace

FaultInjectingTransport::FaultInjectingTransport(std::shared_ptr<cds::Transport> inner) : inner_(std::move(inner)) {}

std::shared_ptr<cds::Session> FaultInjectingTransport::open(const std::string& client_name, cds::NotificationSink sink) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++attempts_;
    names_.push_back(client_name);
    if (refuse_ > 0) {
      --refuse_;
      return nullptr;
    }
  }
  auto inner = inner_->open(client_name, std::move(sink));
  if (!inner) return nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.push_back(inner);
  }
  return std::make_shared<FaultySession>(shared_from_this(), std::move(inner));
}

std::string FaultInjectingTransport::endpoint() const { return "faulty:" + inner_->endpoint(); }

void FaultInjectingTransport::add(Fault f) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.push_back(std::move(f));
}

void FaultInjectingTransport::fail_with_status(const std::string& c, std::uint32_t status, std::size_t times) {
  Fault f{Fault::Status, c, status, nullptr, nullptr, times};
  add(std::move(f));
}
void FaultInjectingTransport::drop_response(const std::string& c, std::size_t times) {
  add(Fault{Fault::Drop, c, 0, nullptr, nullptr, times});
}
void FaultInjectingTransport::respond_with_other_class(const std::string& c, std::size_t times) {
  add(Fault{Fault::OtherClass, c, 0, nullptr, nullptr, times});
}
void FaultInjectingTransport::respond_with(const std::string& c, Builder builder, std::size_t times) {
  add(Fault{Fault::Build, c, 0, std::move(builder), nullptr, times});
}
void FaultInjectingTransport::edit_response(const std::string& c, std::function<void(cds::CRequestResponse&)> edit,
                                            std::size_t times) {
  add(Fault{Fault::Edit, c, 0, nullptr, std::move(edit), times});
}
void FaultInjectingTransport::clear_faults() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.clear();
}

void FaultInjectingTransport::refuse_connects(std::size_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  refuse_ = n;
}
std::size_t FaultInjectingTransport::connect_attempts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return attempts_;
}
std::vector<std::string> FaultInjectingTransport::client_names() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return names_;
}
void FaultInjectingTransport::close_sessions() {
  std::vector<std::weak_ptr<cds::Session>> sessions;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions.swap(sessions_);
  }
  for (auto& weak : sessions)
    if (auto session = weak.lock()) session->close();
}

std::vector<std::shared_ptr<cds::CRequestResponse>> FaultInjectingTransport::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}
std::size_t FaultInjectingTransport::count(const std::string& c) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>(std::count_if(log_.begin(), log_.end(),
                                                [&](const auto& r) { return c == r->class_name(); }));
}
void FaultInjectingTransport::clear_requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  log_.clear();
}

bool FaultInjectingTransport::take_fault(const std::string& c, Fault* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = faults_.rbegin(); it != faults_.rend(); ++it) {
    if (it->class_name != c) continue;
    *out = *it;
    if (it->remaining > 0 && --it->remaining == 0) faults_.erase(std::next(it).base());
    return true;
  }
  return false;
}

std::shared_ptr<cds::CRequestResponse> FaultInjectingTransport::exchange(cds::Session& inner,
                                                                         const cds::CRequestResponse& request,
                                                                         std::chrono::milliseconds timeout,
                                                                         bool* forwarded) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(request.clone());
  }
  Fault f;
  if (!take_fault(request.class_name(), &f)) {
    *forwarded = true;
    return inner.round_trip(request, timeout);
  }
  switch (f.kind) {
    case Fault::Drop:
      return nullptr;
    case Fault::OtherClass: {
      std::shared_ptr<cds::CRequestResponse> other;
      if (dynamic_cast<const cds::CGetAlarmUpdateGlobalCount*>(&request))
        other = std::make_shared<cds::CDeleteDevice>();
      else
        other = std::make_shared<cds::CGetAlarmUpdateGlobalCount>();
      other->status = cds::status_ok;
      return other;
    }
    case Fault::Build:
      return f.builder(request);
    case Fault::Status:
    case Fault::Edit: {
      *forwarded = true;
      auto answer = inner.round_trip(request, timeout);
      if (!answer) return answer;
      if (f.kind == Fault::Status) answer->status = f.status;
      else f.edit(*answer);
      return answer;
    }
  }
  return nullptr;
}

}  // namespace testing
}  // namespace zu
