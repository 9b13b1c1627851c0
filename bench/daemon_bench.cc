// The data store over cdsd's Unix socket, next to its floor: one run gives,
// side by side, the latency (median and p99 counters, microseconds) of
//   - getChannelCValue through the library over the daemon,
//   - a bare ping-pong of frames of the same sizes between two processes,
//   - a value written here reaching a subscription's callback in another process,
// the aggregate throughput of 1 and of 8 client threads sharing one
// connection, and the daemon's resident memory per channel with a value.
//
// The subscriber of the third measure is this executable started again with
// CDS_BENCH_SUBSCRIBER set; it never reaches main().
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

#include "cdsapi/InBandAccessor.h"
#include "cdsapi/dataClient.h"
#include "zu/cds/CClient.h"
#include "zu/wire/Codec.h"

namespace {

using cds_bench::Clock;
using cds_bench::Daemon;
using cds_bench::daemon;
using cds_bench::now_ns;
using cds_bench::read_latency;
using cds_bench::resident_bytes;

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool read_all(int fd, char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::recv(fd, data, size, 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// ---- getChannelCValue over the daemon

// With CDS_BENCH_BIG_ANSWER_FIRST set (as the counts of system calls per read
// set it), one answer of some megabytes, which the socket cannot take at once,
// comes before the reads: they are then those of a connection whose answers
// once waited for the socket, as a long-lived application's have (the daemon
// must not go on watching the socket for room to write, which would wake it
// at each read).
void BM_DaemonGetChannelCValue(benchmark::State& state) {
  Daemon& d = daemon();
  cdsapi::dataClient data("bench-inband");
  cdsapi::InBandAccessor inband(data, true);
  if (std::getenv("CDS_BENCH_BIG_ANSWER_FIRST")) {
    zu::cds::CGetChannelValue big;
    big.ids.assign(60000, d.channel);
    if (!zu::cds::CClient::get()->submit_wait(big)) {
      state.SkipWithError("the big read got no answer");
      return;
    }
  }
  std::vector<double> micros;
  for (auto _ : state) {
    auto start = Clock::now();
    zu::CValue v = inband.getChannelCValue(d.channel);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    benchmark::DoNotOptimize(v);
  }
  cds_bench::report_latencies(state, micros);
}
BENCHMARK(BM_DaemonGetChannelCValue)->UseRealTime();

// ---- the floor: frames of the same sizes between two processes

void BM_UnixSocketPingPongFloor(benchmark::State& state) {
  Daemon& d = daemon();
  // The frames getChannelCValue exchanges.
  zu::cds::CGetChannelValue request;
  request.ids = {d.channel};
  std::string ask;
  zu::wire::encode_record(request, 1, &ask, nullptr);
  auto answer_record = zu::cds::CClient::get()->submit_wait(request);
  std::string answer;
  if (answer_record) zu::wire::encode_record(*answer_record, 1, &answer, nullptr);
  const std::string ask_frame = zu::wire::frame(ask);
  const std::string answer_frame = zu::wire::frame(answer);

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  std::vector<char> in_child(ask_frame.size());
  // The echo stands where a run puts the servers, cdsd's place (bench/peer/compare.sh
  // sets CDS_BENCH_SERVER_CPU when it pins them); otherwise it stays with this process.
  cpu_set_t server_cpu;
  CPU_ZERO(&server_cpu);
  const char* pinned = std::getenv("CDS_BENCH_SERVER_CPU");
  if (pinned) CPU_SET(std::atoi(pinned), &server_cpu);
  pid_t child = ::fork();
  if (child == 0) {
    // Only system calls from here: the echo answers each request frame.
    if (pinned && ::sched_setaffinity(0, sizeof server_cpu, &server_cpu) != 0) ::_exit(1);
    ::close(fds[0]);
    while (read_all(fds[1], in_child.data(), in_child.size()) &&
           write_all(fds[1], answer_frame.data(), answer_frame.size())) {
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::vector<char> reply(answer_frame.size());
  std::vector<double> micros;
  for (auto _ : state) {
    auto start = Clock::now();
    if (!write_all(fds[0], ask_frame.data(), ask_frame.size()) || !read_all(fds[0], reply.data(), reply.size())) {
      state.SkipWithError("the echo process went away");
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  ::close(fds[0]);
  ::waitpid(child, nullptr, 0);
  cds_bench::report_latencies(state, micros);
  state.counters["request_bytes"] = static_cast<double>(ask_frame.size());
  state.counters["answer_bytes"] = static_cast<double>(answer_frame.size());
}
BENCHMARK(BM_UnixSocketPingPongFloor)->UseRealTime();

// ---- a write here, a callback there

// The subscriber process, an application of the library: each value of the
// channel is the writer's clock at the write; the callback, on the "Event
// CDS" thread, answers on the pipe with how long it took.
[[noreturn]] void run_subscriber(const char* request) {
  // request: "SOCKET CHANNEL FD"
  char socket[256] = {};
  unsigned long long channel = 0;
  int pipe = -1;
  if (std::sscanf(request, "%255s %llu %d", socket, &channel, &pipe) != 3) std::_Exit(2);
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The library announces its event thread on standard output, which is the
  // benchmark's report (JSON for compare.sh).
  const int null = ::open("/dev/null", O_WRONLY);
  if (null < 0 || ::dup2(null, STDOUT_FILENO) < 0) std::_Exit(6);
  ::close(null);
  zu::cds::CClient::get()->set_endpoint(std::string("unix:") + socket);
  static cdsapi::dataClient client("bench-subscriber");
  static cdsapi::InBandAccessor inband(client, false);
  unsigned long long id = 0;
  const bool subscribed = inband.subscribeChannel(
      channel,
      [pipe](unsigned long long, zu::CValue value) {
        long long took = now_ns() - value.as_int64();
        if (::write(pipe, &took, sizeof took) != sizeof took) std::_Exit(1);
      },
      zu::sub::channel_value_written, &id);
  if (!subscribed) std::_Exit(4);
  long long ready = -1;
  if (::write(pipe, &ready, sizeof ready) != sizeof ready) std::_Exit(5);
  for (;;) ::pause();
}

struct SubscriberRole {
  SubscriberRole() {
    if (const char* request = std::getenv("CDS_BENCH_SUBSCRIBER")) run_subscriber(request);
  }
} subscriber_role;

void BM_DaemonWriteToCallbackInAnotherProcess(benchmark::State& state) {
  Daemon& d = daemon();
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    state.SkipWithError("pipe failed");
    return;
  }
  // Everything exec needs is made before fork: after it, only system calls.
  std::vector<std::string> env{"CDS_BENCH_SUBSCRIBER=" + d.socket + " " + std::to_string(d.channel) + " " +
                               std::to_string(fds[1])};
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("CDS_BENCH_SUBSCRIBER=", 0) != 0) env.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const char* exe = "/proc/self/exe";
  pid_t child = ::fork();
  if (child == 0) {
    ::fcntl(fds[1], F_SETFD, 0);  // the write end stays open across exec
    ::execle(exe, exe, static_cast<char*>(nullptr), envp.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  long long latency = 0;
  if (!read_latency(fds[0], &latency) || latency != -1) {
    state.SkipWithError("the subscriber process did not start");
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(fds[0]);
    return;
  }
  auto* client = zu::cds::CClient::get();
  std::vector<double> micros;
  for (auto _ : state) {
    zu::cds::CUpdateChannelValue write;
    zu::cds::CUpdateSingleChannelValue entry;
    entry.channel_id = d.channel;
    entry.value = zu::CValue(now_ns());
    write.values.push_back(entry);
    write.time = zu::CWallTime::now();
    client->submit_wait(write);
    if (!read_latency(fds[0], &latency)) {
      state.SkipWithError("no callback within 10 s");
      break;
    }
    micros.push_back(static_cast<double>(latency) / 1000.0);
  }
  ::kill(child, SIGTERM);
  ::waitpid(child, nullptr, 0);
  ::close(fds[0]);
  cds_bench::report_latencies(state, micros);
}
BENCHMARK(BM_DaemonWriteToCallbackInAnotherProcess)->UseRealTime();

// ---- 1 and 8 threads on the one connection of the process

void BM_DaemonClientThreads(benchmark::State& state) {
  // One thread points the shared client at the daemon (attaching again from
  // several threads at once would reconnect it under the others); the rest
  // wait for it at the loop's start.
  static std::uint64_t channel = 0;
  if (state.thread_index() == 0) channel = daemon().channel;
  auto* client = zu::cds::CClient::get();
  zu::cds::CGetChannelValue request;
  std::vector<double> micros;
  for (auto _ : state) {
    if (request.ids.empty()) request.ids = {channel};
    auto start = Clock::now();
    auto answer = client->submit_wait(request);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    benchmark::DoNotOptimize(answer);
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) cds_bench::report_latencies(state, micros);
}
BENCHMARK(BM_DaemonClientThreads)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

// ---- cdsd's resident memory per channel holding a value

// RSS growth of the daemon over 10 000 channels (names of 8 characters, as
// an application's usually are) on a device of their own, each given a
// double; made and written 500 to a request, as a configuring application does.
void BM_DaemonMemoryPerChannel(benchmark::State& state) {
  Daemon& d = daemon();
  auto* client = zu::cds::CClient::get();
  constexpr int kChannels = 10000, kBatch = 500;
  for (auto _ : state) {
    const long long before = resident_bytes(d.process->pid());
    zu::cds::CCreateDevice device;
    device.devices.emplace_back();
    device.devices[0].parent_id = 1;
    auto made = std::dynamic_pointer_cast<zu::cds::CCreateDevice>(client->submit_wait(device));
    if (!made || made->devices.size() != 1) {
      state.SkipWithError("the device was refused");
      return;
    }
    const std::uint64_t owner = made->devices[0].id;
    bool whole = true;
    for (int first = 0; first < kChannels && whole; first += kBatch) {
      zu::cds::CCreateChannel create;
      for (int i = first; i < first + kBatch; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "ch%06d", i);
        create.requests.push_back({owner, name, false, zu::kNoId});
      }
      auto channels = std::dynamic_pointer_cast<zu::cds::CCreateChannel>(client->submit_wait(create));
      whole = channels && channels->channels.size() == static_cast<std::size_t>(kBatch);
      if (!whole) break;
      zu::cds::CUpdateChannelValue write;
      for (const auto& c : channels->channels) {
        zu::cds::CUpdateSingleChannelValue entry;
        entry.channel_id = c.id();
        entry.value = zu::CValue(20.5);
        write.values.push_back(entry);
      }
      auto written = client->submit_wait(write);
      whole = written && written->status == zu::cds::status_ok;
    }
    const long long after = resident_bytes(d.process->pid());
    zu::cds::CDeleteDevice remove;
    remove.ids = {owner};
    client->submit_wait(remove);
    if (!whole || before < 0 || after < 0) {
      state.SkipWithError("the channels were not all made and written");
      return;
    }
    state.counters["bytes_per_channel"] = static_cast<double>(after - before) / kChannels;
  }
}
BENCHMARK(BM_DaemonMemoryPerChannel)->Iterations(1)->UseRealTime();
