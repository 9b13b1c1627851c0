#include <pthread.h>
#include <sched.h>

#include <cstdio>
#include <iostream>

#include "cdsapi/dataHandler.h"
#include "connection/ThreadSlice.h"
#include "zu/asio/CIoManager.h"

namespace cdsapi {
namespace {
constexpr std::uint32_t kIoIdleSeconds = 90;

// A callback should run when its notification arrives, not after whatever
// else the CPU was running. On kernels that honour a fair thread's own time
// slice (Linux 6.12 on), a woken thread with a shorter slice can preempt the
// running one; it gets no larger share of the CPU. Older kernels ignore the
// slice, and a refusal changes nothing: the thread runs as before. Only the
// slice changes: the application chose the policy and the nice value.
void ask_for_short_slice() {
  detail::ThreadScheduling own;
  if (!detail::readScheduling(0, &own) || own.policy != SCHED_OTHER) return;
  if (own.slice_ns != 0 && own.slice_ns <= detail::kEventSliceNs) return;
  detail::setOwnSlice(detail::kEventSliceNs);
}
}  // namespace

arg_struct args;

void dataServerCore::execute() {}

SubscriberSingleton& SubscriberSingleton::instance() {
  static SubscriberSingleton singleton;
  return singleton;
}

SubscriberSingleton::SubscriberSingleton() {
  handler = std::make_shared<dataHandler>();
  server = std::make_shared<dataServerCore>();
  thread = std::thread(&SubscriberSingleton::eventCDS, this);
}

SubscriberSingleton::~SubscriberSingleton() {
  // Orderly exit: stop the loop, then wait for the thread, so no callback runs
  // on objects being destroyed. When exit is called from a callback on the
  // event thread itself, joining would wait forever: let it go instead.
  if (server) server->shutdown();
  if (thread.joinable()) {
    if (thread.get_id() == std::this_thread::get_id()) thread.detach();
    else thread.join();
  }
  if (handler) handler->cds_logout();
}

void SubscriberSingleton::eventCDS() {
  // Named by the thread itself, so that it carries its name before any
  // notification can reach a callback.
  pthread_setname_np(pthread_self(), "Event CDS");
  ask_for_short_slice();
  std::fputs("Thread \"Event CDS\" launched ...\n", stdout);
  std::fflush(stdout);
  zu::asio::CIoManager manager(server, handler, kIoIdleSeconds);
  manager.run();
}

void* eventCDS(void*) {
  std::cout << "Thread \"Event CDS\" launched" << std::endl;
  {
    zu::asio::CIoManager manager(args.server, args.handler, kIoIdleSeconds);
    manager.run();
  }
  std::cout << "Thread \"Event CDS\" stopped" << std::endl;
  pthread_exit(nullptr);
}

}  // namespace cdsapi
