#include "support.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cdsapi/dataHandler.h"
#include "store/Engine.h"
#include "tova/common/Uuid.h"
#include "zu/cds/CClient.h"

namespace cds_bench {

long long now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

long long resident_bytes(int pid) {
  std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/statm").c_str(), "r");
  if (!f) return -1;
  long size = 0, resident = -1;
  if (std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = -1;
  std::fclose(f);
  return resident < 0 ? -1 : static_cast<long long>(resident) * ::sysconf(_SC_PAGESIZE);
}

bool read_latency(int fd, long long* value) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 10000) <= 0) return false;
  return ::read(fd, value, sizeof *value) == sizeof *value;
}

void report_latencies(benchmark::State& state, std::vector<double> micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

PlainEmbeddedStore::PlainEmbeddedStore() {
  auto* client = zu::cds::CClient::get();
  client->set_transport(::cds::store::make_embedded_transport(store_.shared_engine()));
  client->connect(true, "bench", 4194304, 4194304);
}

Daemon::Daemon() {
  directory = zu::testing::make_temporary_directory("cds-bench");
  socket = directory + "/cds.sock";
  process = std::make_unique<zu::testing::DaemonProcess>(socket, directory + "/cdsd.log");
  if (!process->start()) std::abort();
  attach();
  auto* client = zu::cds::CClient::get();
  zu::cds::CCreateChannel create;
  create.requests.push_back({1, "bench", false, zu::kNoId});
  auto made = std::dynamic_pointer_cast<zu::cds::CCreateChannel>(client->submit_wait(create));
  if (!made || made->channels.empty()) std::abort();
  channel = made->channels[0].id();
  zu::cds::CUpdateChannelValue write;
  zu::cds::CUpdateSingleChannelValue entry;
  entry.channel_id = channel;
  entry.value = zu::CValue(21.5);
  write.values.push_back(entry);
  client->submit_wait(write);
}

Daemon::~Daemon() {
  zu::cds::CClient::get()->disconnect();
  process->stop(SIGTERM);
  zu::testing::remove_temporary_directory(directory);
}

void Daemon::attach() {
  auto* client = zu::cds::CClient::get();
  client->set_transport(nullptr);
  client->set_endpoint("unix:" + socket);
  client->connect(true, "bench", 4194304, 4194304);
}

Daemon& daemon() {
  static Daemon d;
  d.attach();
  return d;
}

BenchStore::BenchStore(std::int64_t where) {
  if (where == kDaemon)
    daemon();
  else
    embedded_ = std::make_unique<PlainEmbeddedStore>();
  cdsapi::SubscriberSingleton::instance().handler->cds_login();
}

DeviceTree::DeviceTree(int branches, int leaves, bool uuids) {
  auto* client = zu::cds::CClient::get();
  auto create = [&](unsigned long long parent, int count) -> std::shared_ptr<zu::cds::CCreateDevice> {
    zu::cds::CCreateDevice request;
    for (int i = 0; i < count; ++i) {
      zu::CDevice device;
      device.parent_id = parent;
      if (uuids) device.guid = tova::common::Uuid::generate().to_hex();
      request.devices.push_back(device);
    }
    auto made = std::dynamic_pointer_cast<zu::cds::CCreateDevice>(client->submit_wait(request));
    if (!made || made->status != zu::cds::status_ok || made->devices.size() != static_cast<std::size_t>(count)) {
      complete_ = false;
      return nullptr;
    }
    size_ += made->devices.size();
    return made;
  };
  for (int b = 0; b < branches && complete_; ++b) {
    auto branch = create(1, 1);
    if (!branch) break;
    branches_.push_back(branch->devices[0].id);
    create(branches_.back(), leaves);
  }
}

DeviceTree::~DeviceTree() {
  if (branches_.empty()) return;
  zu::cds::CDeleteDevice remove;
  remove.ids.assign(branches_.begin(), branches_.end());
  zu::cds::CClient::get()->submit_wait(remove);
}

void Arrivals::arrived() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++count;
    last = Clock::now();
  }
  cv.notify_all();
}

bool Arrivals::wait_for(long long n, Clock::time_point* when) {
  std::unique_lock<std::mutex> lock(mutex);
  bool ok = cv.wait_for(lock, std::chrono::seconds(10), [&] { return count >= n; });
  if (when) *when = last;
  return ok;
}

void measure_write_to_callback(benchmark::State& state, Arrivals& arrivals,
                               const std::function<void(long long)>& write) {
  std::vector<double> micros;
  long long n = 0;
  for (auto _ : state) {
    Clock::time_point start = Clock::now(), end;
    write(n);
    if (!arrivals.wait_for(++n, &end)) {
      state.SkipWithError("a notification did not arrive");
      break;
    }
    std::chrono::duration<double> took = end - start;
    state.SetIterationTime(took.count());
    micros.push_back(took.count() * 1e6);
  }
  report_latencies(state, std::move(micros));
}

}  // namespace cds_bench
