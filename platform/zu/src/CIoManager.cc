#include "zu/asio/CIoManager.h"

#include <iostream>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

namespace zu {
namespace asio {

struct CIoManager::Impl {
  std::shared_ptr<CServerCore> core;
  std::shared_ptr<CCdsHandler> handler;
  boost::asio::io_context io;
};

CIoManager::CIoManager(std::shared_ptr<CServerCore> core, std::shared_ptr<CCdsHandler> handler, std::uint32_t)
    : impl_(std::make_unique<Impl>()) {
  impl_->core = std::move(core);
  impl_->handler = std::move(handler);
}

CIoManager::~CIoManager() {
  if (impl_->core) impl_->core->bind_stop(nullptr);
  if (impl_->handler) impl_->handler->attach(nullptr);
}

void CIoManager::run() {
  auto& io = impl_->io;
  auto guard = boost::asio::make_work_guard(io);
  if (impl_->core) {
    impl_->core->bind_stop([&io] { io.stop(); });
    if (impl_->core->is_shut_down()) return;
    boost::asio::post(io, [core = impl_->core] { core->execute(); });
  }
  if (impl_->handler) impl_->handler->attach(&io);
  for (;;) {
    try {
      io.run();
      break;
    } catch (const std::exception& e) {
      // One failing notification must not end the loop: the next ones still come.
      std::cerr << "zu: exception in a notification handler: " << e.what() << std::endl;
    } catch (...) {
      std::cerr << "zu: unknown exception in a notification handler" << std::endl;
    }
  }
  if (impl_->handler) impl_->handler->attach(nullptr);
  if (impl_->core) impl_->core->bind_stop(nullptr);
}

}  // namespace asio
}  // namespace zu
