// Notifications: from a value write on an application thread to the callback
// on the "Event CDS" thread, through the library, the framework and the
// embedded store (for the latency also over cdsd: daemon:1); and the store's
// own cost of building and delivering them.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "cdsapi/InBandAccessor.h"
#include "cdsapi/dataHandler.h"
#include "store/Engine.h"
#include "support.h"

namespace {

using cds_bench::Arrivals;
using cds_bench::Clock;

// A store (a fresh embedded one, or the run's cdsd) with one new channel, and
// the process-wide subscription handler logged in to it.
struct Installation {
  cds_bench::BenchStore store;
  cdsapi::dataClient client{"notify-bench"};
  cdsapi::InBandAccessor inband{client, false};
  unsigned long long channel = 0;

  explicit Installation(std::int64_t where = cds_bench::kEmbedded) : store(where) {
    unsigned long long device = inband.createDevice(0, 1, false);
    channel = inband.createChannel(device, "value", false);
  }
};

// One write, then wait for its callback: the whole path's latency.
void BM_WriteToCallbackLatency(benchmark::State& state) {
  Installation inst(state.range(0));
  Arrivals arrivals;
  unsigned long long id = 0;
  if (!inst.inband.subscribeChannel(
          inst.channel, [&](unsigned long long, zu::CValue) { arrivals.arrived(); }, zu::sub::channel_value_written,
          &id)) {
    state.SkipWithError("subscribe refused");
    return;
  }
  cds_bench::measure_write_to_callback(state, arrivals, [&](long long n) {
    inst.inband.setChannelCValue(inst.channel, zu::CValue(static_cast<int>(n)));
  });
  inst.inband.unsubscribe(id);
}
BENCHMARK(BM_WriteToCallbackLatency)
    ->ArgName("daemon")
    ->Arg(cds_bench::kEmbedded)
    ->Arg(cds_bench::kDaemon)
    ->UseManualTime()
    ->Iterations(5000);

// Writes one channel watched by 16 subscriptions as fast as the writer can;
// the time runs from the first write to the last callback.
void BM_NotificationsTo16Subscriptions(benchmark::State& state) {
  constexpr int kSubscriptions = 16;
  Installation inst;
  Arrivals arrivals;
  std::vector<unsigned long long> ids(kSubscriptions);
  for (auto& id : ids) {
    if (!inst.inband.subscribeChannel(
            inst.channel, [&](unsigned long long, zu::CValue) { arrivals.arrived(); },
            zu::sub::channel_value_written, &id)) {
      state.SkipWithError("subscribe refused");
      return;
    }
  }
  long long writes = 0;
  double seconds = 0;
  for (auto _ : state) {
    Clock::time_point start = Clock::now(), end;
    for (int i = 0; i < 100; ++i) inst.inband.setChannelCValue(inst.channel, zu::CValue(static_cast<int>(writes++)));
    if (!arrivals.wait_for(writes * kSubscriptions, &end)) {
      state.SkipWithError("notifications did not arrive");
      break;
    }
    std::chrono::duration<double> took = end - start;
    state.SetIterationTime(took.count());
    seconds += took.count();
  }
  state.counters["notifications_per_s"] = seconds > 0 ? static_cast<double>(arrivals.count) / seconds : 0;
  for (auto id : ids) inst.inband.unsubscribe(id);
}
BENCHMARK(BM_NotificationsTo16Subscriptions)->UseManualTime();

// The store alone: a write request that builds, queues and hands over one
// notification to each of `range(0)` subscriptions of one channel.
void BM_EngineWriteWithSubscriptions(benchmark::State& state) {
  cds::store::Engine engine;
  std::atomic<long long> delivered{0};
  auto writer = engine.open_session("writer", nullptr);
  auto watcher = engine.open_session("watcher", [&](std::shared_ptr<zu::cds::CRequestResponse>) { ++delivered; });
  zu::cds::CCreateChannel create;
  create.requests.push_back({1, "value", false, zu::kNoId});
  auto made = std::dynamic_pointer_cast<zu::cds::CCreateChannel>(engine.handle(writer, create));
  const std::uint64_t channel = made->channels.at(0).id();
  for (long long i = 0; i < state.range(0); ++i) {
    zu::cds::CManageSubscriberIDs reserve;
    reserve.op = 1;
    auto r = std::dynamic_pointer_cast<zu::cds::CManageSubscriberIDs>(engine.handle(watcher, reserve));
    zu::cds::CSubscribe subscribe;
    subscribe.subscriptions.push_back(
        {r->reserved_ids.at(0), zu::sub::channel_value_written, channel, std::string(), false, false});
    engine.handle(watcher, subscribe);
  }
  zu::cds::CUpdateChannelValue write;
  write.values.push_back({channel, zu::CValue(0)});
  int v = 0;
  for (auto _ : state) {
    write.values[0].value = zu::CValue(++v);
    benchmark::DoNotOptimize(engine.handle(writer, write));
  }
  state.SetItemsProcessed(delivered.load());
}
BENCHMARK(BM_EngineWriteWithSubscriptions)->Arg(0)->Arg(1)->Arg(16);

}  // namespace
