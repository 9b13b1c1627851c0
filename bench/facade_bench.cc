// The facade's start-up: constructing a CdsAccessor lists the whole tree below
// the manager device and maps every device UUID to its id. Measured over trees
// of 1 000, 3 000 and 10 000 devices with UUIDs, on the embedded store and over
// cdsd, next to the bare listing the constructor makes, so that the figures
// show how both grow with the tree and what the map adds.
#include <benchmark/benchmark.h>

#include <climits>
#include <cstdint>

#include "cdsapi/CdsAccessor.h"
#include "cdsapi/InBandAccessor.h"
#include "support.h"

namespace {

// Branches of 100 devices: one under the manager device, 99 below it.
constexpr int kBranchSize = 100;

// Exposes the size of the map, to check that a run built it whole.
class Facade : public cdsapi::CdsAccessor {
 public:
  using CdsAccessor::CdsAccessor;
  std::size_t mapped() const { return deviceIds.size(); }
};

// The tree of range(0) devices, all with UUIDs, on a fresh embedded store or
// in the run's cdsd, which may hold devices of other benchmarks: the counts
// from before the tree are kept to check the runs.
struct Installation {
  cds_bench::BenchStore store;
  std::size_t mapped_before = Facade("bench-facade", false).mapped();
  std::size_t listed_before = Facade("bench-facade", false).getDevices(1, INT_MAX).size();
  cds_bench::DeviceTree tree;

  Installation(std::int64_t where, std::int64_t devices)
      : store(where), tree(static_cast<int>(devices / kBranchSize), kBranchSize - 1, true) {}
};

// One family per store, so that the fit of the growth is per store.
void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(1000)->Arg(3000)->Arg(10000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
}

// The connection stays open between iterations (the facade's client name is
// the same each time): an iteration is the map rebuild and the facade's
// accessors, not a connect.
void BM_FacadeConstruct(benchmark::State& state, std::int64_t where) {
  Installation inst(where, state.range(0));
  if (!inst.tree.complete()) {
    state.SkipWithError("could not build the device tree");
    return;
  }
  for (auto _ : state) {
    Facade facade("bench-facade", false);
    benchmark::DoNotOptimize(&facade);
  }
  if (Facade("bench-facade", false).mapped() != inst.mapped_before + inst.tree.size())
    state.SkipWithError("the map missed devices");
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK_CAPTURE(BM_FacadeConstruct, embedded, cds_bench::kEmbedded)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_FacadeConstruct, daemon, cds_bench::kDaemon)->Apply(Sizes)->UseRealTime();

// The peer: the listing alone, through InBandAccessor on the same tree.
void BM_FacadeTreeListing(benchmark::State& state, std::int64_t where) {
  Installation inst(where, state.range(0));
  if (!inst.tree.complete()) {
    state.SkipWithError("could not build the device tree");
    return;
  }
  cdsapi::dataClient client("bench-facade");
  cdsapi::InBandAccessor inband(client, false);
  std::size_t listed = 0;
  for (auto _ : state) {
    auto devices = inband.getDevices(1, INT_MAX);
    listed = devices.size();
    benchmark::DoNotOptimize(devices);
  }
  if (listed != inst.listed_before + inst.tree.size()) state.SkipWithError("the listing missed devices");
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK_CAPTURE(BM_FacadeTreeListing, embedded, cds_bench::kEmbedded)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_FacadeTreeListing, daemon, cds_bench::kDaemon)->Apply(Sizes)->UseRealTime();

}  // namespace
