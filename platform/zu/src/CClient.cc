#include "zu/cds/CClient.h"

#include <cstdlib>

namespace zu {
namespace cds {

CClient* CClient::get() {
  // Never destroyed: it must outlive every static object that may still send
  // a request during process exit.
  static CClient* client = new CClient();
  return client;
}

std::shared_ptr<Transport> CClient::transport(std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (transport_) return transport_;
  std::string ep = endpoint_;
  if (ep.empty()) {
    const char* env = std::getenv("ZU_CDS_ENDPOINT");
    ep = env && *env ? env : kDefaultEndpoint;
  }
  if (!cached_transport_ || cached_endpoint_ != ep) {
    cached_transport_ = make_transport(ep, error);
    cached_endpoint_ = ep;
  }
  return cached_transport_;
}

int CClient::connect(bool reconnect, const std::string& name, std::uint32_t, std::uint32_t) {
  std::shared_ptr<Transport> t = transport();
  std::shared_ptr<Session> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (session_ && session_->is_open() && name_ == name) {
      reconnect_ = reconnect;
      wanted_ = true;
      return 1;
    }
    old = std::move(session_);
  }
  if (old) old->close();
  std::shared_ptr<Session> s = t ? t->open(name, nullptr) : nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  name_ = name;
  reconnect_ = reconnect;
  session_ = s;
  wanted_ = s != nullptr;
  return s ? 1 : 0;
}

void CClient::disconnect() {
  std::shared_ptr<Session> s;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    s = std::move(session_);
    wanted_ = false;
  }
  if (s) s->close();
}

bool CClient::is_connected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return session_ && session_->is_open();
}

std::shared_ptr<Session> CClient::session_for_request() {
  std::string name;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (session_ && session_->is_open()) return session_;
    if (!session_ || !reconnect_ || !wanted_) return nullptr;
    name = name_;
  }
  // The session broke and the application asked for reconnection: try once per request.
  std::shared_ptr<Transport> t = transport();
  std::shared_ptr<Session> fresh = t ? t->open(name, nullptr) : nullptr;
  if (!fresh) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  if (session_ && session_->is_open()) {
    fresh->close();
    return session_;
  }
  session_ = fresh;
  return session_;
}

std::shared_ptr<CRequestResponse> CClient::submit_wait(CRequestResponse& request) {
  std::shared_ptr<Session> s = session_for_request();
  if (!s) return nullptr;
  return s->round_trip(request, timeout());
}

int CClient::submit(CRequestResponse& request, int, bool) {
  std::shared_ptr<Session> s = session_for_request();
  return s && s->send(request) ? 1 : 0;
}

void CClient::set_endpoint(const std::string& endpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  endpoint_ = endpoint;
}

std::string CClient::endpoint() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transport_ ? transport_->endpoint() : endpoint_;
}

void CClient::set_timeout(std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> lock(mutex_);
  timeout_ = timeout;
}

std::chrono::milliseconds CClient::timeout() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timeout_;
}

void CClient::set_transport(std::shared_ptr<Transport> transport) {
  std::lock_guard<std::mutex> lock(mutex_);
  transport_ = std::move(transport);
}

}  // namespace cds
}  // namespace zu
