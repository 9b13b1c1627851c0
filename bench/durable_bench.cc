// The price of durability, side by side in one run: round trips of value
// writes and of configuration writes (a channel's settings) over a cdsd in
// memory, with --data and --sync normal, and with --sync full, from 1 and
// from 8 client threads (each with its own connection); and the start-up
// time of a store file holding 10 000 devices, 100 000 channels and 100 000
// alarm log entries.
#include <benchmark/benchmark.h>

#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

#include "store/Engine.h"
#include "zu/cds/Records.h"
#include "zu/cds/Transport.h"

namespace {

using cds_bench::Clock;
namespace cds = zu::cds;

enum Medium : std::int64_t { kMemory = 0, kSyncNormal = 1, kSyncFull = 2 };
enum Kind : std::int64_t { kValue = 0, kConfig = 1 };

std::string fresh_directory() { return zu::testing::make_temporary_directory("cds-bench-durable"); }

// A cdsd on `medium`, and one channel per client thread.
struct DurableDaemon {
  std::string directory = fresh_directory();
  std::unique_ptr<zu::testing::DaemonProcess> process;
  std::shared_ptr<cds::Transport> transport;
  std::vector<std::uint64_t> channels;

  DurableDaemon(std::int64_t medium, int threads) {
    std::vector<std::string> args;
    if (medium != kMemory) args = {"--data", directory + "/store.db", "--sync", medium == kSyncFull ? "full" : "normal"};
    process = std::make_unique<zu::testing::DaemonProcess>(directory + "/cds.sock", directory + "/cdsd.log", args);
    if (!process->start()) std::abort();
    transport = cds::make_transport("unix:" + directory + "/cds.sock");
    auto session = transport->open("bench", nullptr);
    for (int i = 0; i < threads; ++i) {
      cds::CCreateChannel create;
      create.requests.push_back({1, "bench " + std::to_string(i), false, zu::kNoId});
      auto made = std::dynamic_pointer_cast<cds::CCreateChannel>(session->round_trip(create, std::chrono::seconds(10)));
      if (!made || made->channels.empty()) std::abort();
      channels.push_back(made->channels[0].id());
    }
  }
  ~DurableDaemon() {
    transport.reset();
    process->stop(SIGTERM);
    zu::testing::remove_temporary_directory(directory);
  }
};

std::shared_ptr<cds::CRequestResponse> write(cds::Session& session, std::int64_t kind, std::uint64_t channel, int n) {
  if (kind == kValue) {
    cds::CUpdateChannelValue value;
    value.values.push_back({channel, zu::CValue(static_cast<double>(n))});
    return session.round_trip(value, std::chrono::seconds(10));
  }
  cds::CUpdateChannelSettings settings;
  zu::CChannelSettings s;
  s.id = channel;
  s.description = "setting " + std::to_string(n);
  settings.settings.push_back(s);
  return session.round_trip(settings, std::chrono::seconds(10));
}

// Args: medium, kind, client threads. Each iteration is one round of a write
// from every thread; median_us/p99_us are per write, writes_per_s the total.
void BM_DurableWrite(benchmark::State& state) {
  const std::int64_t medium = state.range(0), kind = state.range(1);
  const int threads = static_cast<int>(state.range(2));
  DurableDaemon d(medium, threads);
  std::vector<std::shared_ptr<cds::Session>> sessions;
  for (int t = 0; t < threads; ++t) sessions.push_back(d.transport->open("bench", nullptr));
  std::vector<std::vector<double>> micros(threads);
  std::atomic<long> writes{0};
  auto start = Clock::now();
  for (auto _ : state) {
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
      workers.emplace_back([&, t] {
        for (int i = 0; i < 20; ++i) {
          auto begin = Clock::now();
          auto answer = write(*sessions[t], kind, d.channels[t], i);
          if (!answer || answer->status != cds::status_ok) std::abort();
          micros[t].push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
        }
        writes += 20;
      });
    for (std::thread& w : workers) w.join();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (int t = 1; t < threads; ++t) micros[0].insert(micros[0].end(), micros[t].begin(), micros[t].end());
  cds_bench::report_latencies(state, std::move(micros[0]));
  state.counters["writes_per_s"] = writes / seconds;
}
BENCHMARK(BM_DurableWrite)
    ->ArgsProduct({{kMemory, kSyncNormal, kSyncFull}, {kValue, kConfig}, {1, 8}})
    ->ArgNames({"medium", "config", "threads"})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// Start-up of a store file: the engine opening it and loading everything.
void BM_DurableStartup(benchmark::State& state) {
  const std::string directory = fresh_directory();
  ::cds::store::EngineOptions options;
  options.data_file = directory + "/store.db";
  {
    auto engine = std::make_shared<::cds::store::Engine>(options);
    auto session = ::cds::store::make_embedded_transport(engine)->open("fill", nullptr);
    std::uint64_t alarmed = 0;
    for (int batch = 0; batch < 100; ++batch) {
      cds::CCreateDevice devices;
      for (int i = 0; i < 100; ++i) {
        zu::CDevice device;
        device.parent_id = 1;
        device.attributes[5] = "device " + std::to_string(batch * 100 + i);
        devices.devices.push_back(device);
      }
      auto made = std::dynamic_pointer_cast<cds::CCreateDevice>(session->round_trip(devices, std::chrono::seconds(60)));
      cds::CCreateChannel channels;
      for (const zu::CDevice& device : made->devices)
        for (int c = 0; c < 10; ++c) channels.requests.push_back({device.id, "channel " + std::to_string(c), false, zu::kNoId});
      auto created = std::dynamic_pointer_cast<cds::CCreateChannel>(session->round_trip(channels, std::chrono::seconds(60)));
      if (!created || created->status != cds::status_ok) std::abort();
      if (!alarmed) alarmed = created->channels[0].id();
    }
    cds::CSetAlarmConfig alarm;
    zu::CAlarmTrigger high;
    high.level = 3;
    high.threshold = zu::CValue(10.0);
    alarm.configs.push_back({alarmed, {high}});
    session->round_trip(alarm, std::chrono::seconds(10));
    for (int i = 0; i < 50000; ++i)  // a raise and an end each
      for (double v : {20.0, 0.0}) {
        cds::CUpdateChannelValue value;
        value.values.push_back({alarmed, zu::CValue(v)});
        session->round_trip(value, std::chrono::seconds(10));
      }
  }
  for (auto _ : state) {
    ::cds::store::Engine engine(options);
    benchmark::DoNotOptimize(&engine);
  }
  zu::testing::remove_temporary_directory(directory);
}
BENCHMARK(BM_DurableStartup)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
