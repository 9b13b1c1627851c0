#include "zu/asio/CServerCore.h"

namespace zu {
namespace asio {

bool CServerCore::ready() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !shut_down_;
}

void CServerCore::shutdown() {
  std::function<void()> stop;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shut_down_ = true;
    stop = stop_;
  }
  if (stop) stop();
}

void CServerCore::bind_stop(std::function<void()> stop) {
  std::lock_guard<std::mutex> lock(mutex_);
  stop_ = std::move(stop);
}

bool CServerCore::is_shut_down() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return shut_down_;
}

}  // namespace asio
}  // namespace zu
