// The peer's side of bench/peer/compare.sh: the figures daemon_bench.cc takes
// of cdsd, taken of a Redis on the Unix socket named by $CDS_PEER_SOCKET:
//   - GET of one small value (median and p99 counters, microseconds),
//   - PUBLISH reaching a subscriber in another process,
//   - the resident memory per key holding a value.
// The subscriber is this executable started again with CDS_PEER_SUBSCRIBER
// set; it never reaches main().
#include <benchmark/benchmark.h>
#include <hiredis/hiredis.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "connection/ThreadSlice.h"
#include "support.h"

namespace {

using cds_bench::Clock;
using cds_bench::now_ns;
using cds_bench::read_latency;
using cds_bench::resident_bytes;

struct ContextFree {
  void operator()(redisContext* c) const { redisFree(c); }
};
struct ReplyFree {
  void operator()(redisReply* r) const { freeReplyObject(r); }
};
using Context = std::unique_ptr<redisContext, ContextFree>;
using Reply = std::unique_ptr<redisReply, ReplyFree>;

Context connect_peer() {
  const char* path = std::getenv("CDS_PEER_SOCKET");
  if (!path) return nullptr;
  Context c(redisConnectUnix(path));
  if (!c || c->err) return nullptr;
  return c;
}

Reply command(redisContext* c, const char* format, ...) {
  va_list args;
  va_start(args, format);
  void* reply = redisvCommand(c, format, args);
  va_end(args);
  return Reply(static_cast<redisReply*>(reply));
}

// ---- GET of one value: the text of a double, as cdsd's channel holds one

void BM_PeerGet(benchmark::State& state) {
  Context c = connect_peer();
  if (!c || !command(c.get(), "SET bench 21.5")) {
    state.SkipWithError("no peer on $CDS_PEER_SOCKET");
    return;
  }
  std::vector<double> micros;
  for (auto _ : state) {
    auto start = Clock::now();
    Reply r = command(c.get(), "GET bench");
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (!r || r->type != REDIS_REPLY_STRING) {
      state.SkipWithError("GET failed");
      break;
    }
  }
  cds_bench::report_latencies(state, micros);
}
BENCHMARK(BM_PeerGet)->UseRealTime();

// ---- PUBLISH here, the message there

// The subscriber process: each message is the publisher's clock at the
// PUBLISH; it answers on the pipe with how long the message took.
[[noreturn]] void run_subscriber(const char* request) {
  int pipe = -1;
  if (std::sscanf(request, "%d", &pipe) != 1) std::_Exit(2);
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // With CDS_PEER_SUBSCRIBER_SLICE_US set, the subscriber asks for that time
  // slice as our library's event thread does: the peer with the same hint.
  if (const char* micros = std::getenv("CDS_PEER_SUBSCRIBER_SLICE_US"))
    if (!cdsapi::detail::setOwnSlice(std::strtoull(micros, nullptr, 10) * 1000)) std::_Exit(6);
  Context c = connect_peer();
  if (!c) std::_Exit(3);
  Reply subscribed = command(c.get(), "SUBSCRIBE bench");
  if (!subscribed) std::_Exit(4);
  long long ready = -1;
  if (::write(pipe, &ready, sizeof ready) != sizeof ready) std::_Exit(5);
  for (;;) {
    void* raw = nullptr;
    if (redisGetReply(c.get(), &raw) != REDIS_OK) std::_Exit(0);
    Reply message(static_cast<redisReply*>(raw));
    const long long now = now_ns();
    if (message->type != REDIS_REPLY_ARRAY || message->elements != 3) continue;
    long long took = now - std::atoll(message->element[2]->str);
    if (::write(pipe, &took, sizeof took) != sizeof took) std::_Exit(1);
  }
}

struct SubscriberRole {
  SubscriberRole() {
    if (const char* request = std::getenv("CDS_PEER_SUBSCRIBER")) run_subscriber(request);
  }
} subscriber_role;

void BM_PeerPublishToSubscriberInAnotherProcess(benchmark::State& state) {
  Context c = connect_peer();
  int fds[2];
  if (!c || ::pipe2(fds, O_CLOEXEC) != 0) {
    state.SkipWithError("no peer, or no pipe");
    return;
  }
  const std::string role = "CDS_PEER_SUBSCRIBER=" + std::to_string(fds[1]);
  pid_t child = ::fork();
  if (child == 0) {
    ::fcntl(fds[1], F_SETFD, 0);  // the write end stays open across exec
    ::putenv(const_cast<char*>(role.c_str()));
    ::execl("/proc/self/exe", "/proc/self/exe", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  long long latency = 0;
  if (!read_latency(fds[0], &latency) || latency != -1) {
    state.SkipWithError("the subscriber process did not start");
  } else {
    std::vector<double> micros;
    for (auto _ : state) {
      command(c.get(), "PUBLISH bench %lld", now_ns());
      if (!read_latency(fds[0], &latency)) {
        state.SkipWithError("no message within 10 s");
        break;
      }
      micros.push_back(static_cast<double>(latency) / 1000.0);
    }
    cds_bench::report_latencies(state, micros);
  }
  ::kill(child, SIGTERM);
  ::waitpid(child, nullptr, 0);
  ::close(fds[0]);
}
BENCHMARK(BM_PeerPublishToSubscriberInAnotherProcess)->UseRealTime();

// ---- the peer's resident memory per key holding a value

// The keys are the channels of BM_DaemonMemoryPerChannel: names of 8
// characters, each holding a double, set 500 to a request.
void BM_PeerMemoryPerKey(benchmark::State& state) {
  Context c = connect_peer();
  Reply info = c ? command(c.get(), "INFO server") : nullptr;
  const char* field = info && info->type == REDIS_REPLY_STRING ? std::strstr(info->str, "process_id:") : nullptr;
  if (!field) {
    state.SkipWithError("no peer, or it does not say its process");
    return;
  }
  const int pid = std::atoi(field + std::strlen("process_id:"));
  constexpr int kKeys = 10000, kBatch = 500;
  for (auto _ : state) {
    const long long before = resident_bytes(pid);
    for (int first = 0; first < kKeys; first += kBatch) {
      std::vector<std::string> words{"MSET"};
      for (int i = first; i < first + kBatch; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "ch%06d", i);
        words.push_back(name);
        words.push_back("20.5");
      }
      std::vector<const char*> argv;
      std::vector<std::size_t> lengths;
      for (const auto& w : words) {
        argv.push_back(w.c_str());
        lengths.push_back(w.size());
      }
      Reply r(static_cast<redisReply*>(
          redisCommandArgv(c.get(), static_cast<int>(argv.size()), argv.data(), lengths.data())));
      if (!r || r->type == REDIS_REPLY_ERROR) {
        state.SkipWithError("MSET failed");
        return;
      }
    }
    const long long after = resident_bytes(pid);
    command(c.get(), "FLUSHALL");
    state.counters["bytes_per_key"] = static_cast<double>(after - before) / kKeys;
  }
}
BENCHMARK(BM_PeerMemoryPerKey)->Iterations(1)->UseRealTime();

}  // namespace
