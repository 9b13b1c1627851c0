// InBandAccessor on the embedded store: what one value read, one value write,
// a 100-channel read and a whole-tree listing cost an application, request
// record, framework and store included.
#include <benchmark/benchmark.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "cdsapi/InBandAccessor.h"
#include "support.h"

namespace {

struct Installation {
  cds_bench::PlainEmbeddedStore store;
  std::unique_ptr<cdsapi::dataClient> client;
  std::unique_ptr<cdsapi::InBandAccessor> inband;

  Installation() {
    client = std::make_unique<cdsapi::dataClient>("inband-bench");
    inband = std::make_unique<cdsapi::InBandAccessor>(*client, false);
  }

  std::vector<unsigned long long> Channels(int count) {
    unsigned long long device = inband->createDevice(0, 1, false);
    std::vector<unsigned long long> ids;
    for (int i = 0; i < count; ++i) {
      ids.push_back(inband->createChannel(device, "ch" + std::to_string(i), false));
      inband->setChannelCValue(ids.back(), zu::CValue(21.5));
    }
    return ids;
  }
};

void BM_InBandGetChannelCValue(benchmark::State& state) {
  Installation inst;
  unsigned long long channel = inst.Channels(1).front();
  for (auto _ : state) benchmark::DoNotOptimize(inst.inband->getChannelCValue(channel));
}
BENCHMARK(BM_InBandGetChannelCValue);

void BM_InBandSetChannelCValue(benchmark::State& state) {
  Installation inst;
  unsigned long long channel = inst.Channels(1).front();
  double value = 0;
  for (auto _ : state) inst.inband->setChannelCValue(channel, zu::CValue(value += 0.5));
}
BENCHMARK(BM_InBandSetChannelCValue);

void BM_InBandGetMultipleChannelValue(benchmark::State& state) {
  Installation inst;
  std::vector<unsigned long long> channels = inst.Channels(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(inst.inband->getMultipleChannelValue(channels));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_InBandGetMultipleChannelValue)->Arg(100);

// The facade's start-up listing: every device under the manager device.
// 100 devices under the root with 99 sub-devices each: 10 000 below the root.
void BM_InBandGetDevicesWholeTree(benchmark::State& state) {
  Installation inst;
  const int branches = 100, leaves = 99;
  cds_bench::DeviceTree tree(branches, leaves, false);
  if (!tree.complete()) {
    state.SkipWithError("could not build the device tree");
    return;
  }
  std::size_t listed = 0;
  for (auto _ : state) {
    auto devices = inst.inband->getDevices(1, INT_MAX);
    listed = devices.size();
    benchmark::DoNotOptimize(devices);
  }
  if (listed != 1 + branches * (1 + leaves)) state.SkipWithError("the listing missed devices");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(listed));
}
BENCHMARK(BM_InBandGetDevicesWholeTree)->Unit(benchmark::kMillisecond);

}  // namespace
