#pragma once
#include <cstdint>
#include <memory>

#include "zu/asio/CCdsHandler.h"
#include "zu/asio/CServerCore.h"

namespace zu {
namespace asio {

// Runs the I/O loop that delivers a handler's notifications. `run()` blocks on
// the calling thread until the server core's `shutdown()`. An exception thrown
// by handle_response is reported on standard error and the loop goes on.
class CIoManager {
 public:
  CIoManager(std::shared_ptr<CServerCore> core, std::shared_ptr<CCdsHandler> handler, std::uint32_t idle_seconds);
  ~CIoManager();
  CIoManager(const CIoManager&) = delete;
  CIoManager& operator=(const CIoManager&) = delete;

  void run();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace asio
}  // namespace zu
