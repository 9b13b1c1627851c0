#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <iostream>

#include "cdsapi/dataHandler.h"
#include "zu/asio/CIoManager.h"

namespace cdsapi {
namespace {
constexpr std::uint32_t kIoIdleSeconds = 90;

// A callback should run when its notification arrives, not after whatever
// else the CPU was running. On kernels that honour a fair thread's own time
// slice (Linux 6.12 on), a woken thread with a shorter slice can preempt the
// running one; it gets no larger share of the CPU. Older kernels ignore the
// slice, and a refusal changes nothing: the thread runs as before.
constexpr std::uint64_t kEventSliceNs = 200 * 1000;

// The kernel's struct sched_attr (its first extended size): the C library
// declares none, and the kernel's header clashes with <sched.h>.
struct SchedAttr {
  std::uint32_t size;
  std::uint32_t sched_policy;
  std::uint64_t sched_flags;
  std::int32_t sched_nice;
  std::uint32_t sched_priority;
  std::uint64_t sched_runtime;
  std::uint64_t sched_deadline;
  std::uint64_t sched_period;
  std::uint32_t sched_util_min;
  std::uint32_t sched_util_max;
};
static_assert(sizeof(SchedAttr) == 56, "the kernel's layout, on 32 and 64 bits alike");

// Only the slice changes: the application chose the policy and nice value.
void ask_for_short_slice() {
  SchedAttr attr{};
  if (::syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0 || attr.sched_policy != SCHED_OTHER) return;
  if (attr.sched_runtime != 0 && attr.sched_runtime <= kEventSliceNs) return;
  attr.size = sizeof attr;
  attr.sched_runtime = kEventSliceNs;
  ::syscall(SYS_sched_setattr, 0, &attr, 0);
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
