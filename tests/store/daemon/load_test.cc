// cdsd under load: many threads on one multiplexed connection, and
// subscribers that stop reading.
#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

#include "daemon_fixture.h"

namespace cdsd_test {
namespace {

std::size_t ResidentKiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
  return 0;
}

// The next notification `client` reads within `timeout`, skipping other frames; null after it.
std::shared_ptr<zu::cds::CSubscriberNotify> NextNotification(RawClient& client, std::chrono::milliseconds timeout) {
  zu::wire::Envelope envelope;
  while (client.read(&envelope, timeout)) {
    auto n = std::dynamic_pointer_cast<zu::cds::CSubscriberNotify>(zu::wire::decode_record(envelope, nullptr));
    if (n) return n;
  }
  return nullptr;
}

// Eight channels; sessions queue at most 50 notifications before merging
// them, and the daemon logs each session's queue counters when it ends.
class LoadTest : public DaemonTest {
 protected:
  LoadTest() { SeedChannels(8); }
  std::vector<std::string> args() const override { return {"--queue-limit", "50", "--verbose"}; }
  const std::vector<std::uint64_t> channels_ = {5000, 5001, 5002, 5003, 5004, 5005, 5006, 5007};
};

TEST_F(LoadTest, EightThreadsOnOneConnectionEachGetTheirOwnAnswers) {
  ConnectClient();
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (std::uint64_t channel : channels_) {
    threads.emplace_back([&failed, channel] {
      for (int i = 0; i < 300; ++i) {
        const int value = static_cast<int>(channel) * 1000 + i;
        zu::cds::CGetChannelValue read;
        read.ids = {channel};
        auto answer = Write(channel, value) ? Ask(read) : nullptr;
        if (!answer || answer->values.size() != 1 || answer->values[0].channel_id != channel ||
            answer->values[0].value != zu::CValue(value))
          ++failed;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failed.load(), 0);
}

// Resident memory is only a measure of the daemon's own memory without a
// sanitizer keeping freed memory and without an emulator around it.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CDS_ADDRESS_SANITIZER 1  // clang's spelling of GCC's __SANITIZE_ADDRESS__
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(CDS_ADDRESS_SANITIZER) || defined(CDS_THREAD_SANITIZER)
const bool kMeasureMemory = false;
#else
const bool kMeasureMemory = !zu::testing::DaemonProcess::emulated();
#endif

// Two sessions that never read while the store is written: one subscribed to
// large values, one to alarm updates. Neither grows the daemon nor stalls a
// third session; values merge, and alarm updates past what the queue holds
// are counted in a notice.
TEST_F(LoadTest, SubscribersThatNeverReadNeitherGrowTheDaemonNorStallOthersAndLearnWhatTheyMissed) {
  ConnectClient();
  zu::cds::CSetAlarmConfig config;
  zu::CAlarmTrigger high;
  high.threshold = zu::CValue(10);
  config.configs.push_back({channels_[0], {high}});
  ASSERT_NE(Ask(config), nullptr);

  const std::vector<std::uint64_t> valued(channels_.begin() + 1, channels_.begin() + 5);
  auto sleeper = std::make_unique<RawClient>(socket_);
  ASSERT_TRUE(sleeper->hello("sleeper").accepted);
  ASSERT_NE(sleeper->subscribe(zu::sub::channel_value_written, valued, false), 0U);
  RawClient alarms(socket_);  // every alarm of the whole tree
  ASSERT_TRUE(alarms.hello("alarms").accepted);
  ASSERT_NE(alarms.subscribe(zu::sub::device_alarms, {1}, true), 0U);
  RawClient bystander(socket_);
  ASSERT_TRUE(bystander.hello("bystander").accepted);

  const std::size_t before = ResidentKiB(daemon_->pid());
  ASSERT_GT(before, 0U);
  // 16 MiB of values, 16 KiB each: queued unbounded they would take that
  // much. Each alarm write raises the alarm or ends it: one update each, far
  // more than the socket's buffers and twice the queue limit hold.
  const std::string payload(16 * 1024, 'x');
  constexpr std::size_t kUpdates = 6000;
  std::size_t peak = before;
  for (std::size_t i = 0; i < kUpdates; ++i) {
    ASSERT_TRUE(Write(channels_[0], zu::CValue(i % 2 == 0 ? 20 : 0))) << i;
    if (i >= 1024) continue;
    ASSERT_TRUE(Write(valued[i % valued.size()], payload + std::to_string(i))) << "write " << i;
    if (i % 64 == 0) {
      zu::cds::CGetChannelValue read;
      read.ids = {valued[0]};
      ASSERT_NE(Ok<zu::cds::CGetChannelValue>(bystander.ask(read, 100 + i)), nullptr) << "at write " << i;
      peak = std::max(peak, ResidentKiB(daemon_->pid()));
    }
  }
  peak = std::max(peak, ResidentKiB(daemon_->pid()));
  // What may stay: the socket buffers, one batch being written, and at most
  // 50 queued notifications (a little over 800 KiB of values).
  if (kMeasureMemory) {
    EXPECT_LT(peak - before, 8U * 1024) << "resident KiB before " << before << ", peak " << peak;
  }

  // Reading now drains what waited: the newest value of each channel is still
  // among it (the last of channel 5004 holds write 1023), and every alarm
  // update either arrives or is counted by a notice.
  bool newest_seen = false;
  for (auto n = NextNotification(*sleeper, 2s); n && !newest_seen; n = NextNotification(*sleeper, 2s)) {
    auto it = n->values.find(valued[3]);
    newest_seen = it != n->values.end() && it->second == zu::CValue(payload + "1023");
  }
  EXPECT_TRUE(newest_seen);
  std::size_t received = 0, noticed = 0;
  for (auto n = NextNotification(alarms, 5s); n; n = NextNotification(alarms, 5s)) {
    if (n->status == zu::cds::status_no_queue) {
      EXPECT_TRUE(n->alarm_updates.empty());
      noticed += std::stoul(n->message);
    }
    received += n->alarm_updates.size();
    if (received + noticed >= kUpdates) break;
  }
  EXPECT_EQ(received + noticed, kUpdates) << Log();
  EXPECT_GT(noticed, 0U) << "the queue never overflowed: the test proves nothing";

  // The sleeper's queue held at most its bound (one more while merging) and
  // merged the rest; the daemon reports both when the session ends.
  sleeper.reset();
  const std::string marker = "(\"sleeper\"): notifications waiting at most: ";
  std::string log;
  for (int i = 0; i < 1000 && log.find(marker) == std::string::npos; ++i) {
    std::this_thread::sleep_for(10ms);
    log = Log();
  }
  const std::size_t at = log.find(marker);
  ASSERT_NE(at, std::string::npos) << log;
  unsigned long waiting = 0, merged = 0;
  ASSERT_EQ(std::sscanf(log.c_str() + at + marker.size(), "%lu, merged into waiting ones: %lu", &waiting, &merged), 2)
      << log.substr(at);
  EXPECT_LE(waiting, 51U);
  EXPECT_GT(merged, 0U);
  EXPECT_NE(log.find("alarm updates past twice the queue limit of 50 are dropped"), std::string::npos) << log;
}

}  // namespace
}  // namespace cdsd_test
