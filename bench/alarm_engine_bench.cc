// The alarm engine's cost on the write path: a value write on a channel with
// four triggers, with and without alarm updates, against the same write on a
// channel without triggers; and queries of a full alarm log.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "store/Engine.h"

namespace {

using cds::store::Engine;

zu::CAlarmTrigger trigger(std::uint8_t direction, double threshold) {
  zu::CAlarmTrigger t;
  t.trigger_flag = direction;
  t.level = 2;
  t.threshold = zu::CValue(threshold);
  t.hysteresis = zu::CValue(1.0f);
  return t;
}

struct Store {
  std::shared_ptr<Engine> engine = std::make_shared<Engine>();
  cds::store::SessionId session = engine->open_session("bench", nullptr);
  std::uint64_t channel = 0;

  explicit Store(bool with_triggers) {
    zu::cds::CCreateChannel create;
    create.requests.push_back({1, "temperature", false, zu::kNoId});
    auto made = std::dynamic_pointer_cast<zu::cds::CCreateChannel>(engine->handle(session, create));
    channel = made->channels.at(0).id();
    if (!with_triggers) return;
    // Warning and critical, high and low.
    zu::cds::CSetAlarmConfig set;
    set.configs.push_back({channel, {trigger(0, 100), trigger(0, 200), trigger(1, -100), trigger(1, -200)}});
    engine->handle(session, set);
  }

  void write(double value) {
    zu::cds::CUpdateChannelValue update;
    update.values.push_back({channel, zu::CValue(value)});
    auto response = engine->handle(session, update);
    benchmark::DoNotOptimize(response);
  }
};

// Alternates between two values. range(0): 0 no triggers, 1 four triggers
// and no alarm changes, 2 four triggers and one raise or end per write, 3 four
// triggers and two raises or ends per write.
void BM_ValueWrite(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  Store store(mode != 0);
  const double high = mode == 2 ? 150 : mode == 3 ? 250 : 11;
  bool flip = false;
  for (auto _ : state) {
    store.write(flip ? high : 10);
    flip = !flip;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ValueWrite)->ArgName("mode")->Arg(0)->Arg(1)->Arg(2)->Arg(3);

// A page of the newest 1000 updates of a full log (100 000 updates), and the
// same query answering only the count, filtered by a text that matches one
// update in two.
void BM_AlarmLogQuery(benchmark::State& state) {
  Store store(true);
  for (int i = 0; i < 50000; ++i) {
    store.write(150);
    store.write(10);
  }
  zu::cds::CGetAlarms get;
  get.count_only = state.range(0) != 0;
  if (get.count_only) get.filter_text = "back to normal";
  for (auto _ : state) {
    auto response = store.engine->handle(store.session, get);
    benchmark::DoNotOptimize(response);
  }
}
BENCHMARK(BM_AlarmLogQuery)->ArgName("count_only")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
