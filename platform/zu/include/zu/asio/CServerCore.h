#pragma once
#include <functional>
#include <mutex>

namespace zu {
namespace asio {

// The server side of an I/O loop: told when the loop is ready, and the one
// that stops it (`shutdown`). Thread-safe.
class CServerCore {
 public:
  CServerCore() = default;
  virtual ~CServerCore() = default;
  CServerCore(const CServerCore&) = delete;
  CServerCore& operator=(const CServerCore&) = delete;

  // Runs on the loop's thread once the loop runs.
  virtual void execute() {}
  // Whether the core is ready to serve.
  virtual bool ready() const;
  // Stops the loop this core runs in; later calls and calls before the loop
  // runs are remembered, so a loop started after shutdown ends at once.
  virtual void shutdown();

  // Called by CIoManager.
  void bind_stop(std::function<void()> stop);
  bool is_shut_down() const;

 private:
  mutable std::mutex mutex_;
  std::function<void()> stop_;
  bool shut_down_ = false;
};

}  // namespace asio
}  // namespace zu
