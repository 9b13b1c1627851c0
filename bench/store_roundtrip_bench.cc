// Round trips of channel value reads through the framework client on the
// embedded store: the floor every library operation stands on.
#include <benchmark/benchmark.h>

#include <vector>

#include "zu/cds/CClient.h"
#include "zu/testing/Harness.h"

namespace {

struct Installation {
  zu::testing::EmbeddedStore store;
  std::vector<unsigned long long> channels;

  explicit Installation(int channel_count) {
    auto* client = zu::cds::CClient::get();
    client->connect(false, "bench", 4194304, 4194304);
    zu::cds::CCreateChannel create;
    for (int i = 0; i < channel_count; ++i)
      create.requests.push_back({1, "ch" + std::to_string(i), false, zu::kNoId});
    auto made = std::dynamic_pointer_cast<zu::cds::CCreateChannel>(client->submit_wait(create));
    zu::cds::CUpdateChannelValue write;
    for (const auto& c : made->channels) {
      channels.push_back(c.id());
      zu::cds::CUpdateSingleChannelValue entry;
      entry.channel_id = c.id();
      entry.value = zu::CValue(21.5);
      write.values.push_back(entry);
    }
    client->submit_wait(write);
  }
};

void BM_GetChannelValue(benchmark::State& state) {
  Installation inst(static_cast<int>(state.range(0)));
  auto* client = zu::cds::CClient::get();
  zu::cds::CGetChannelValue request;
  request.ids.assign(inst.channels.begin(), inst.channels.end());
  for (auto _ : state) {
    auto response = client->submit_wait(request);
    benchmark::DoNotOptimize(response);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_GetChannelValue)->Arg(1)->Arg(100);

}  // namespace
