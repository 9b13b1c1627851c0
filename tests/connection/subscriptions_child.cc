// A process of its own for the subscription tests that need a fresh one: the
// event thread and its registry are process-wide and made once.
//
//   subscriptions_child login-retry       the first subscription meets a store that
//                                         refuses the handler's login; the next one
//                                         builds the event thread
//   subscriptions_child return            subscribes, gets a callback, returns from main
//   subscriptions_child exit-in-callback  the callback itself calls std::exit
//
// Runs 3 nicer than it was started. Prints "callbacks: N", "event threads:
// N" and "event thread: nice kept|changed, slice short|not short|unreported"
// (the event thread's nice value against the main thread's; its time slice
// is expected at 0.2 ms or less where the main thread runs SCHED_OTHER with
// a longer one, and is "unreported" elsewhere, as under kernels before 6.12,
// where this check cannot fail); exits 0 when every step worked.
#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "cdsapi/InBandAccessor.h"
#include "connection/ThreadSlice.h"
#include "zu/testing/Harness.h"

namespace {

// Static, so that an exit() from anywhere still stops the store after the
// library's own teardown (it was made before the library's singleton).
std::unique_ptr<zu::testing::EmbeddedStore> store;
std::unique_ptr<cdsapi::dataClient> client;
std::unique_ptr<cdsapi::InBandAccessor> inband;

std::mutex mutex;
std::condition_variable arrived;
int callbacks = 0;
bool written = false;  // the write that calls back has returned

void count_callback() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++callbacks;
  }
  arrived.notify_all();
}

bool wait_callbacks(int n) {
  std::unique_lock<std::mutex> lock(mutex);
  return arrived.wait_for(lock, std::chrono::seconds(20), [&] { return callbacks >= n; });
}

// The number of "Event CDS" threads; the last one's id in *tid.
int event_threads(long* tid) {
  int n = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return -1;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == "Event CDS") {
      ++n;
      *tid = std::atol(entry->d_name);
    }
  }
  closedir(tasks);
  return n;
}

long main_tid = 0;  // report() may run on the event thread itself

std::string event_thread(long tid) {
  using cdsapi::detail::kEventSliceNs;
  using cdsapi::detail::readScheduling;
  const auto nice = [](long t) { return getpriority(PRIO_PROCESS, static_cast<id_t>(t)); };
  cdsapi::detail::ThreadScheduling event, main;
  const char* slice = "unreported";
  if (readScheduling(main_tid, &main) && main.policy == SCHED_OTHER && main.slice_ns > kEventSliceNs)
    slice = readScheduling(tid, &event) && event.slice_ns != 0 && event.slice_ns <= kEventSliceNs ? "short"
                                                                                                  : "not short";
  return std::string(nice(tid) == nice(main_tid) ? "nice kept" : "nice changed") + ", slice " + slice;
}

void report() {
  std::lock_guard<std::mutex> lock(mutex);
  long tid = 0;
  const int threads = event_threads(&tid);
  std::printf("callbacks: %d\nevent threads: %d\nevent thread: %s\n", callbacks, threads,
              threads == 1 ? event_thread(tid).c_str() : "none");
  std::fflush(stdout);
}

int login_retry() {
  unsigned long long channel = inband->createChannel(inband->createDevice(0, 1, false), "retry", false);
  auto count = [](unsigned long long, zu::CValue) { count_callback(); };
  unsigned long long id = ~0ULL;
  store->faults().refuse_connects(1);
  try {
    inband->subscribeChannel(channel, count, zu::sub::channel_value_written, &id);
    std::printf("first: no exception\n");
  } catch (const std::exception& e) {
    std::printf("first: %s\n", e.what());
  }
  std::fflush(stdout);
  if (!inband->subscribeChannel(channel, count, zu::sub::channel_value_written, &id)) return 1;
  inband->setChannelCValue(channel, zu::CValue(1));
  const bool delivered = wait_callbacks(1);
  report();
  return delivered ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string scenario = argc > 1 ? argv[1] : "";
  // The event thread, made later by this thread, starts at its nice value,
  // which is not the default one.
  if (setpriority(PRIO_PROCESS, 0, std::min(getpriority(PRIO_PROCESS, 0) + 3, 19)) != 0) return 3;
  main_tid = ::syscall(SYS_gettid);
  store = std::make_unique<zu::testing::EmbeddedStore>();
  client = std::make_unique<cdsapi::dataClient>("subscriptions-child");
  inband = std::make_unique<cdsapi::InBandAccessor>(*client, false);
  if (scenario == "login-retry") return login_retry();

  const bool exit_in_callback = scenario == "exit-in-callback";
  if (!exit_in_callback && scenario != "return") {
    std::fprintf(stderr, "unknown scenario '%s'\n", scenario.c_str());
    return 2;
  }
  unsigned long long channel = inband->createChannel(inband->createDevice(0, 1, false), "live", false);
  unsigned long long id = ~0ULL;
  bool ok = inband->subscribeChannel(
      channel,
      [exit_in_callback](unsigned long long, zu::CValue) {
        count_callback();
        if (exit_in_callback) {
          // Not before the write has returned: the callback may run first,
          // and exit() destroys what that call still uses.
          std::unique_lock<std::mutex> lock(mutex);
          arrived.wait(lock, [] { return written; });
          lock.unlock();
          report();
          std::exit(0);
        }
      },
      zu::sub::channel_value_written, &id);
  if (!ok) return 1;
  inband->setChannelCValue(channel, zu::CValue(1));
  {
    // Told under the lock: the exit that follows destroys the condition.
    std::lock_guard<std::mutex> lock(mutex);
    written = true;
    arrived.notify_all();
  }
  if (exit_in_callback) {
    // The callback ends the process; this thread only waits for it.
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  if (!wait_callbacks(1)) return 1;
  // One more write, so that notifications may still be on their way at exit.
  inband->setChannelCValue(channel, zu::CValue(2));
  report();
  return 0;
}
