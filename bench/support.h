#pragma once
// Set-up shared by the benchmarks: the stores they run on (a fresh embedded
// store, or the one cdsd of the run), device trees, and the measurement of a
// write until the callback it causes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zu/testing/Harness.h"

namespace cds_bench {

using Clock = std::chrono::steady_clock;

// The steady clock in nanoseconds: comparable between processes of one machine.
long long now_ns();

// The resident memory of process `pid` in bytes; -1 when it cannot be read.
long long resident_bytes(int pid);

// Reads one latency a process sent through pipe `fd`; false when none came
// within 10 s.
bool read_latency(int fd, long long* value);

// Sets the counters median_us and p99_us of `micros` (latencies in µs).
void report_latencies(benchmark::State& state, std::vector<double> micros);

// Latencies of the calls it times, for report_latencies.
class Latencies {
 public:
  // Runs op() and keeps how long it took; returns that in seconds.
  template <typename Op>
  double time(Op&& op) {
    auto start = Clock::now();
    op();
    std::chrono::duration<double> took = Clock::now() - start;
    micros_.push_back(took.count() * 1e6);
    return took.count();
  }
  void report(benchmark::State& state) { report_latencies(state, std::move(micros_)); }

 private:
  std::vector<double> micros_;
};

// A fresh embedded store installed as the endpoint of CClient::get() for its
// lifetime, reached without the test harness's request recorder, which would
// copy every request and grow without bound over millions of iterations.
class PlainEmbeddedStore {
 public:
  PlainEmbeddedStore();

 private:
  zu::testing::EmbeddedStore store_;
};

// One cdsd for every benchmark of the run (started on first use, stopped at
// exit), with one channel holding a value. daemon() points CClient::get() at
// it again each time, since embedded benchmarks between move the client away.
struct Daemon {
  std::string directory;
  std::string socket;
  std::unique_ptr<zu::testing::DaemonProcess> process;
  std::uint64_t channel = 0;

  Daemon();
  ~Daemon();
  void attach();
};
Daemon& daemon();

// Where a benchmark runs, as its argument.
enum Where : std::int64_t { kEmbedded = 0, kDaemon = 1 };

// CClient::get() pointed at a fresh embedded store or at the run's cdsd for
// the object's lifetime, the process's subscription handler logged in to the
// same store (it logs in once, to the store it first meets).
class BenchStore {
 public:
  explicit BenchStore(std::int64_t where);

 private:
  std::unique_ptr<PlainEmbeddedStore> embedded_;
};

// `branches` devices under the manager device with `leaves` sub-devices each,
// made in one request per branch, every one with a fresh UUID when `uuids`.
// The destructor removes them (they would stay in the run's cdsd otherwise).
class DeviceTree {
 public:
  DeviceTree(int branches, int leaves, bool uuids);
  ~DeviceTree();
  DeviceTree(const DeviceTree&) = delete;
  DeviceTree& operator=(const DeviceTree&) = delete;

  // False when a create was refused: the tree is not whole.
  bool complete() const { return complete_; }
  std::size_t size() const { return size_; }

 private:
  std::vector<unsigned long long> branches_;
  std::size_t size_ = 0;
  bool complete_ = true;
};

// Counts callbacks; the writer waits on it.
struct Arrivals {
  std::mutex mutex;
  std::condition_variable cv;
  long long count = 0;
  Clock::time_point last;

  void arrived();
  // False when `n` callbacks have not come within a generous timeout.
  bool wait_for(long long n, Clock::time_point* when = nullptr);
};

// Each iteration calls write(n) (n counts from 0) and waits for its callback
// on `arrivals`; the iteration time (manual) runs from the write to the
// callback. Sets median_us and p99_us.
void measure_write_to_callback(benchmark::State& state, Arrivals& arrivals,
                               const std::function<void(long long)>& write);

}  // namespace cds_bench
