// DataAlarms queries over a device with 1000 active alarms, through the
// library on the embedded store: the active list, the log with its active
// marks, and the most critical alarm.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "cdsapi/DataAlarms.h"
#include "cdsapi/InBandAccessor.h"
#include "store/Engine.h"
#include "zu/cds/CClient.h"
#include "zu/testing/Harness.h"

namespace {

constexpr int kAlarms = 1000;

// A fresh store reached without the test harness's request recorder, holding
// one device with 1000 channels, each with one high trigger that is raised:
// 1000 active alarms and a log of the same 1000 raises. Levels and
// priorities vary so that the most critical one has to be searched for.
struct RaisedAlarms {
  zu::testing::EmbeddedStore store;
  std::unique_ptr<cdsapi::dataClient> client;
  std::unique_ptr<cdsapi::InBandAccessor> inband;
  std::unique_ptr<cdsapi::DataAlarms> alarms;
  unsigned long long device = 0;
  bool ready = false;

  RaisedAlarms() {
    zu::cds::CClient::get()->set_transport(::cds::store::make_embedded_transport(store.shared_engine()));
    client = std::make_unique<cdsapi::dataClient>("alarm-query-bench");
    inband = std::make_unique<cdsapi::InBandAccessor>(*client, false);
    alarms = std::make_unique<cdsapi::DataAlarms>(*client);
    device = inband->createDevice(0, 1, false);

    // One request per step for the 1000 channels: the set-up is not measured,
    // but it should not take longer than the benchmark.
    zu::cds::CCreateChannel create;
    for (int i = 0; i < kAlarms; ++i) create.requests.push_back({device, "t" + std::to_string(i), false, zu::kNoId});
    auto made = ok<zu::cds::CCreateChannel>(create);
    if (!made || made->channels.size() != kAlarms) return;

    zu::cds::CSetAlarmConfig configure;
    zu::cds::CUpdateChannelValue raise;
    for (int i = 0; i < kAlarms; ++i) {
      zu::CAlarmTrigger trigger;
      trigger.level = static_cast<std::uint32_t>(i % 4);
      trigger.priority = static_cast<std::uint32_t>(i % 7);
      trigger.threshold = zu::CValue(100.0);
      trigger.hysteresis = zu::CValue(1.0F);
      trigger.code = "1204";
      std::uint64_t channel = made->channels[static_cast<std::size_t>(i)].id();
      configure.configs.push_back({channel, {trigger}});
      zu::cds::CUpdateSingleChannelValue value;
      value.channel_id = channel;
      value.value = zu::CValue(150.0);
      raise.values.push_back(value);
    }
    ready = ok<zu::cds::CSetAlarmConfig>(configure) && ok<zu::cds::CUpdateChannelValue>(raise) &&
            alarms->getActive(device, false).size() == kAlarms;
  }

  template <typename Record>
  static std::shared_ptr<Record> ok(Record& request) {
    auto response = std::dynamic_pointer_cast<Record>(zu::cds::CClient::get()->submit_wait(request));
    return response && response->status == zu::cds::status_ok ? response : nullptr;
  }
};

bool prepared(benchmark::State& state, const RaisedAlarms& raised) {
  if (!raised.ready) state.SkipWithError("could not raise 1000 alarms");
  return raised.ready;
}

// getActive(d, r): one request for up to 1000 active alarms, levels translated.
void BM_AlarmGetActive(benchmark::State& state) {
  RaisedAlarms raised;
  if (!prepared(state, raised)) return;
  std::size_t returned = 0;
  for (auto _ : state) {
    auto active = raised.alarms->getActive(raised.device, false);
    returned = active.size();
    benchmark::DoNotOptimize(active);
  }
  if (returned != kAlarms) state.SkipWithError("getActive did not return 1000 alarms");
  state.SetItemsProcessed(state.iterations() * kAlarms);
}
BENCHMARK(BM_AlarmGetActive)->Unit(benchmark::kMicrosecond);

// getLog(d, r, 0, 1000): the log request, the active request, and the
// marking of every log update that belongs to an active alarm, which compares
// each of the 1000 log updates with each of the 1000 active ones.
void BM_AlarmGetLog(benchmark::State& state) {
  RaisedAlarms raised;
  if (!prepared(state, raised)) return;
  std::size_t marked = 0;
  for (auto _ : state) {
    auto log = raised.alarms->getLog(raised.device, false, 0, kAlarms);
    marked = 0;
    for (const zu::CAlarmUpdate& update : log) marked += update.active ? 1 : 0;
    benchmark::DoNotOptimize(log);
  }
  if (marked != kAlarms) state.SkipWithError("getLog did not mark 1000 updates active");
  state.SetItemsProcessed(state.iterations() * kAlarms);
}
BENCHMARK(BM_AlarmGetLog)->Unit(benchmark::kMicrosecond);

// The log request getLog sends, alone: the difference to BM_AlarmGetLog minus
// BM_AlarmGetActive is the library's marking of active updates.
void BM_AlarmLogRequestOnly(benchmark::State& state) {
  RaisedAlarms raised;
  if (!prepared(state, raised)) return;
  zu::cds::CGetAlarms request;
  request.ids = {raised.device};
  request.ids_given = true;
  request.max_count = kAlarms;
  request.order_flag = true;
  std::size_t returned = 0;
  for (auto _ : state) {
    auto response = RaisedAlarms::ok(request);
    returned = response ? response->alarms.size() : 0;
    benchmark::DoNotOptimize(response);
  }
  if (returned != kAlarms) state.SkipWithError("the log request did not return 1000 updates");
}
BENCHMARK(BM_AlarmLogRequestOnly)->Unit(benchmark::kMicrosecond);

// getMostCritical(d): the active request and the most critical of its 1000 updates.
void BM_AlarmGetMostCritical(benchmark::State& state) {
  RaisedAlarms raised;
  if (!prepared(state, raised)) return;
  bool found = false;
  for (auto _ : state) {
    auto worst = raised.alarms->getMostCritical(raised.device);
    found = worst && worst->trigger && worst->trigger->level == 3 && worst->trigger->priority == 0;
    benchmark::DoNotOptimize(worst);
  }
  if (!found) state.SkipWithError("getMostCritical missed the critical alarm of priority 0");
}
BENCHMARK(BM_AlarmGetMostCritical)->Unit(benchmark::kMicrosecond);

}  // namespace
