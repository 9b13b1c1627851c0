// Out-of-band documents through OobAccessor, on the embedded store and over
// cdsd (argument daemon:1): reading and writing a 1 KiB document, and a
// document write until the callback of a subscription to its path.
//
// OobAccessor::set hands the write over without waiting for it, so it is
// measured twice: as the application sees it (the call alone), and complete
// (the set and a get of the same path, which the store answers only after
// the write: a connection's requests are served in order).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "cdsapi/OobAccessor.h"
#include "cdsapi/dataHandler.h"
#include "support.h"

namespace {

constexpr std::size_t kDocumentBytes = 1024;

// A document of 16 text fields whose encoding is kDocumentBytes long.
zu::proto::toolkitStruct Document() {
  zu::proto::toolkitStruct document;
  auto& fields = *document.mutable_fields();
  for (int i = 0; i < 16; ++i) fields["field" + std::to_string(10 + i)].set_string_value(std::string(50, 'a' + i));
  // Each text is short enough for its length prefixes to stay one byte.
  auto& last = *fields["field25"].mutable_string_value();
  last.resize(last.size() + kDocumentBytes - document.ByteSizeLong(), 'z');
  return document;
}

// A store, a connection to it and a path of this run.
struct Installation {
  cds_bench::BenchStore store;
  cdsapi::dataClient client{"oob-bench"};
  cdsapi::OobAccessor oob{client};
  zu::proto::toolkitStruct document = Document();
  std::string path;

  Installation(std::int64_t where, const char* name) : store(where) {
    static int runs = 0;
    path = std::string("bench/") + name + "/" + std::to_string(++runs);
    client.connect(false);
  }

  // False (and the run marked) when the store does not hold the document.
  bool Holds(benchmark::State& state) {
    zu::proto::toolkitStruct stored = oob.get(path);
    if (stored.ByteSizeLong() == kDocumentBytes) return true;
    state.SkipWithError("the store does not hold the document");
    return false;
  }
};

void Args(benchmark::internal::Benchmark* b) {
  b->ArgName("daemon")->Arg(cds_bench::kEmbedded)->Arg(cds_bench::kDaemon);
}

void BM_OobGet(benchmark::State& state) {
  Installation inst(state.range(0), "get");
  if (!inst.oob.set(inst.path, inst.document) || !inst.Holds(state)) return;
  cds_bench::Latencies latencies;
  for (auto _ : state) latencies.time([&] { benchmark::DoNotOptimize(inst.oob.get(inst.path)); });
  latencies.report(state);
  state.counters["document_bytes"] = static_cast<double>(kDocumentBytes);
}
BENCHMARK(BM_OobGet)->Apply(Args)->UseRealTime();

// The set call alone, timed by hand; a get after it, not timed, lets the write
// finish before the next one, as for an application writing now and then.
void BM_OobSetHandOver(benchmark::State& state) {
  Installation inst(state.range(0), "set");
  cds_bench::Latencies latencies;
  for (auto _ : state) {
    bool sent = false;
    state.SetIterationTime(latencies.time([&] { sent = inst.oob.set(inst.path, inst.document); }));
    if (!sent) {
      state.SkipWithError("set refused");
      break;
    }
    benchmark::DoNotOptimize(inst.oob.get(inst.path));
  }
  latencies.report(state);
  inst.Holds(state);
}
BENCHMARK(BM_OobSetHandOver)->Apply(Args)->UseManualTime();

// A complete write: the set and the get that can only be answered after it.
void BM_OobSetThenGet(benchmark::State& state) {
  Installation inst(state.range(0), "set-get");
  cds_bench::Latencies latencies;
  for (auto _ : state) {
    bool sent = false;
    latencies.time([&] {
      sent = inst.oob.set(inst.path, inst.document);
      benchmark::DoNotOptimize(inst.oob.get(inst.path));
    });
    if (!sent) {
      state.SkipWithError("set refused");
      break;
    }
  }
  latencies.report(state);
  inst.Holds(state);
}
BENCHMARK(BM_OobSetThenGet)->Apply(Args)->UseRealTime();

// A document written below a subscribed path, until the subscription's
// callback starts on the event thread. The subscription is made through the
// registry OobAccessor::subscribe uses, with the same callback kind, but
// keeping its id: a subscription left behind would keep its id in the
// registry, and the next run's subscription, given the same id by its store,
// would reach the old callback instead of its own.
void BM_OobWriteToPathCallback(benchmark::State& state) {
  Installation inst(state.range(0), "notify");
  cds_bench::Arrivals arrivals;
  auto registry = cdsapi::SubscriberSingleton::instance().handler;
  unsigned long long id = 0;
  if (!registry->registerSubscription(std::vector<std::string>{inst.path},
                                      [&](std::string) { arrivals.arrived(); }, &id)) {
    state.SkipWithError("subscribe refused");
    return;
  }
  const std::string written = inst.path + "/meter";
  cds_bench::measure_write_to_callback(state, arrivals, [&](long long) { inst.oob.set(written, inst.document); });
  registry->unregisterSubscription(id);
}
BENCHMARK(BM_OobWriteToPathCallback)->Apply(Args)->UseManualTime()->Iterations(5000);

}  // namespace
