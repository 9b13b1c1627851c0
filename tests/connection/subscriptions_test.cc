// Subscriptions end to end: InBandAccessor -> registry -> embedded store ->
// notification -> callback on the "Event CDS" thread.
//
// The registry's handler is process-wide and logs in once, to the store of
// its first use; so every test here shares one store that lives as long as
// the executable (a gtest environment), instead of a fresh store per test.
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cdsapi/InBandAccessor.h"
#include "zu/testing/Harness.h"

namespace {

struct Installation : ::testing::Environment {
  void SetUp() override {
    store = std::make_unique<zu::testing::EmbeddedStore>();
    client = std::make_unique<cdsapi::dataClient>("subscriptions-test");
    inband = std::make_unique<cdsapi::InBandAccessor>(*client, false);
  }
  void TearDown() override {
    inband.reset();
    client.reset();
    store.reset();
  }
  std::unique_ptr<zu::testing::EmbeddedStore> store;
  std::unique_ptr<cdsapi::dataClient> client;
  std::unique_ptr<cdsapi::InBandAccessor> inband;
};
Installation* const installation =
    static_cast<Installation*>(::testing::AddGlobalTestEnvironment(new Installation));

// What callbacks received, and on which thread; waited for, never slept on.
template <typename T>
class Inbox {
 public:
  void add(T item) {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      items_.push_back(std::move(item));
      threads_.emplace_back(name);
    }
    arrived_.notify_all();
  }
  // The first `n` items, once they are there (fewer after a generous timeout).
  std::vector<T> wait_for(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(20), [&] { return items_.size() >= n; });
    return items_;
  }
  std::vector<std::string> threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<T> items_;
  std::vector<std::string> threads_;
};

using Value = std::pair<unsigned long long, zu::CValue>;

TEST(SubscriptionsEndToEnd, ChannelValuesReachTheCallbackOnTheEventThreadUntilUnsubscribed) {
  cdsapi::InBandAccessor& inband = *installation->inband;
  unsigned long long device = inband.createDevice(0, 1, false);
  unsigned long long watched = inband.createChannel(device, "temperature", false);
  unsigned long long marker = inband.createChannel(device, "marker", false);

  auto inbox = std::make_shared<Inbox<Value>>();
  auto record = [inbox](unsigned long long id, zu::CValue v) { inbox->add({id, v}); };
  unsigned long long id = ~0ULL, marker_id = ~0ULL;
  ASSERT_TRUE(inband.subscribeChannel(watched, record, zu::sub::channel_value_changed, &id));
  ASSERT_TRUE(inband.subscribeChannel(marker, record, zu::sub::channel_value_written, &marker_id));
  EXPECT_NE(id, ~0ULL);

  inband.setChannelCValue(watched, zu::CValue(21.5));
  auto got = inbox->wait_for(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].first, watched);
  EXPECT_EQ(got[0].second, zu::CValue(21.5));
  EXPECT_EQ(inbox->threads()[0], "Event CDS");

  // Once unsubscribed, a write of the watched channel calls nothing; the
  // marker's notification, sent after it, shows that nothing was on its way.
  ASSERT_TRUE(inband.unsubscribe(id));
  inband.setChannelCValue(watched, zu::CValue(22.5));
  inband.setChannelCValue(marker, zu::CValue(1));
  got = inbox->wait_for(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].first, marker);
  EXPECT_FALSE(inband.unsubscribe(id));
  EXPECT_TRUE(inband.unsubscribe(marker_id));
}

TEST(SubscriptionsEndToEnd, DeviceSubscriptionsWithTheFlagCoverSubDevices) {
  cdsapi::InBandAccessor& inband = *installation->inband;
  unsigned long long top = inband.createDevice(0, 1, false);
  unsigned long long child = inband.createDevice(0, top, false);

  auto trees = std::make_shared<Inbox<unsigned long long>>();
  auto records = std::make_shared<Inbox<unsigned long long>>();
  unsigned long long tree_id = ~0ULL, record_id = ~0ULL;
  ASSERT_TRUE(inband.subscribeDevice(top, [trees](unsigned long long d) { trees->add(d); }, zu::sub::device_tree,
                                     true, &tree_id));
  ASSERT_TRUE(inband.subscribeDevice(top, [records](unsigned long long d) { records->add(d); },
                                     zu::sub::device_record, true, &record_id));

  unsigned long long grandchild = inband.createDevice(0, child, false);
  inband.setDeviceSerialNumber(grandchild, "SN-7");
  EXPECT_EQ(trees->wait_for(1), std::vector<unsigned long long>{child});
  EXPECT_EQ(records->wait_for(1), std::vector<unsigned long long>{grandchild});
  EXPECT_TRUE(inband.unsubscribe(tree_id));
  EXPECT_TRUE(inband.unsubscribe(record_id));
}

TEST(SubscriptionsEndToEnd, RefusedSubscriptionsReportFalse) {
  cdsapi::InBandAccessor& inband = *installation->inband;
  unsigned long long id = ~0ULL;
  EXPECT_FALSE(inband.subscribeChannel(987654321, [](unsigned long long, zu::CValue) {},
                                       zu::sub::channel_value_changed, &id));
  EXPECT_NE(id, ~0ULL);  // reserved, then refused: the caller can still release it
  EXPECT_TRUE(inband.unsubscribe(id));
  EXPECT_FALSE(inband.subscribeDevice(1, [](unsigned long long) {}, static_cast<zu::sub::subscription_type>(7),
                                      false, &id));
  EXPECT_TRUE(inband.unsubscribe(id));
}

}  // namespace
