// Notifications: from a value write on an application thread to the callback
// on the "Event CDS" thread, through the library, the framework and the
// embedded store; and the store's own cost of building and delivering them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "cdsapi/InBandAccessor.h"
#include "cdsapi/dataHandler.h"
#include "store/Engine.h"
#include "zu/testing/Harness.h"

namespace {

using Clock = std::chrono::steady_clock;

// A fresh store with one channel, and the process-wide subscription handler
// logged in to it (the handler logs in once, to the store it first meets, so
// each run moves it over to its own store).
struct Installation {
  zu::testing::EmbeddedStore store;
  cdsapi::dataClient client{"notify-bench"};
  cdsapi::InBandAccessor inband{client, false};
  unsigned long long channel = 0;

  Installation() {
    cdsapi::SubscriberSingleton::instance().handler->cds_login();
    unsigned long long device = inband.createDevice(0, 1, false);
    channel = inband.createChannel(device, "value", false);
  }
};

// Counts callbacks; the writer waits on it.
struct Arrivals {
  std::mutex mutex;
  std::condition_variable cv;
  long long count = 0;
  Clock::time_point last;

  void arrived() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++count;
      last = Clock::now();
    }
    cv.notify_all();
  }
  // False when `n` callbacks have not come within a generous timeout.
  bool wait_for(long long n, Clock::time_point* when = nullptr) {
    std::unique_lock<std::mutex> lock(mutex);
    bool ok = cv.wait_for(lock, std::chrono::seconds(10), [&] { return count >= n; });
    if (when) *when = last;
    return ok;
  }
};

double percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  std::size_t at = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1));
  return samples[at];
}

// One write, then wait for its callback: the whole path's latency.
void BM_WriteToCallbackLatency(benchmark::State& state) {
  Installation inst;
  Arrivals arrivals;
  unsigned long long id = 0;
  if (!inst.inband.subscribeChannel(
          inst.channel, [&](unsigned long long, zu::CValue) { arrivals.arrived(); }, zu::sub::channel_value_written,
          &id)) {
    state.SkipWithError("subscribe refused");
    return;
  }
  std::vector<double> micros;
  long long n = 0;
  for (auto _ : state) {
    Clock::time_point start = Clock::now(), end;
    inst.inband.setChannelCValue(inst.channel, zu::CValue(static_cast<int>(n)));
    if (!arrivals.wait_for(++n, &end)) {
      state.SkipWithError("a notification did not arrive");
      break;
    }
    std::chrono::duration<double> took = end - start;
    state.SetIterationTime(took.count());
    micros.push_back(took.count() * 1e6);
  }
  state.counters["median_us"] = percentile(micros, 0.5);
  state.counters["p99_us"] = percentile(micros, 0.99);
  inst.inband.unsubscribe(id);
}
BENCHMARK(BM_WriteToCallbackLatency)->UseManualTime()->Iterations(5000);

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
