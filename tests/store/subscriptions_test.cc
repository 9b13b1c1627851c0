// Subscription ids, subscribe checks, the notifications each change produces,
// and their delivery; the bounded notification queue.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "store/NotificationQueue.h"
#include "store_fixture.h"

namespace cds::store::testing {
namespace {

using zu::cds::CSubscriberNotify;
using Notes = std::vector<std::shared_ptr<CSubscriberNotify>>;
using IdSet = std::unordered_set<std::uint64_t>;
namespace sub = zu::sub;

zu::cds::CSubscribeSingle entry(std::uint64_t id, sub::subscription_type type, std::uint64_t object,
                                std::string path = "", bool flag = false) {
  return {id, type, object, std::move(path), flag, false};
}

// session_ (the fixture's) makes the changes; subscriber_ watches them.
class SubscriptionsTest : public StoreTest {
 protected:
  SubscriptionsTest()
      : subscriber_(engine_->open_session("subscriber", [this](std::shared_ptr<zu::cds::CRequestResponse> m) {
          auto n = std::dynamic_pointer_cast<CSubscriberNotify>(m);
          ASSERT_TRUE(n) << "a notification of class " << m->class_name();
          std::lock_guard<std::mutex> lock(mutex_);
          got_.push_back(n);
        })) {}

  Notes take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(got_, {});
  }
  // Reserves one id or takes the given ones (op 1), or releases them (op 0).
  std::shared_ptr<zu::cds::CManageSubscriberIDs> manage(SessionId session, std::uint32_t op, Ids ids = {}) {
    zu::cds::CManageSubscriberIDs r;
    r.op = op;
    (op == 0 ? r.release_ids : r.other_ids) = std::move(ids);
    return ask_as(session, r);
  }
  std::uint64_t reserve(SessionId session) {
    auto r = manage(session, 1);
    EXPECT_EQ(r->status, 1u);
    return r->reserved_ids.size() == 1 ? r->reserved_ids[0] : zu::kNoId;
  }
  std::uint32_t release(SessionId session, Ids ids) { return manage(session, 0, std::move(ids))->status; }
  std::uint32_t subscribe(SessionId session, std::vector<zu::cds::CSubscribeSingle> entries) {
    zu::cds::CSubscribe r;
    r.subscriptions = std::move(entries);
    return ask_as(session, r)->status;
  }
  // A subscription of subscriber_ to one object or path.
  std::uint64_t watch(sub::subscription_type type, std::uint64_t object, bool flag = false, std::string path = "") {
    std::uint64_t id = reserve(subscriber_);
    EXPECT_EQ(subscribe(subscriber_, {entry(id, type, object, std::move(path), flag)}), 1u);
    return id;
  }
  // The subscription of each notification, in order.
  static Ids subscriptions_of(const Notes& notes) {
    Ids out;
    for (const auto& n : notes) out.push_back(n->subscription_id);
    return out;
  }
  void update_device(std::uint64_t id, const std::string& serial) {
    zu::cds::CUpdateDevice u;
    u.devices = {device(id)};
    u.devices[0].attributes[1] = serial;
    EXPECT_EQ(ask(u)->status, 1u);
  }

  std::mutex mutex_;
  Notes got_;
  SessionId subscriber_;
};

TEST_F(SubscriptionsTest, IdsAreFreshReleasedOnlyByTheirSessionAndStepOverGivenOnes) {
  std::uint64_t a = reserve(subscriber_), other = reserve(session_);
  EXPECT_EQ(release(subscriber_, {a, other}), 2u);  // another session's id: nothing released
  EXPECT_EQ(release(subscriber_, {a}), 1u);
  EXPECT_GT(reserve(subscriber_), other);  // a released id is not handed out again

  // Assigned ids step over given ones still held.
  const std::uint64_t c = reserve(subscriber_);
  ASSERT_EQ(manage(session_, 1, {c + 1, c + 2})->status, 1u);
  EXPECT_EQ(reserve(subscriber_), c + 3);
}

TEST_F(SubscriptionsTest, SubscribeChecksEveryEntryFirst) {
  std::uint64_t dev = add_device(1), ch = add_channel(dev, "t");
  std::uint64_t id = reserve(subscriber_), foreign = reserve(session_);
  auto type = [](int t) { return static_cast<sub::subscription_type>(t); };
  const std::vector<std::pair<std::vector<zu::cds::CSubscribeSingle>, std::uint32_t>> refused = {
      {{entry(id, type(0), ch), entry(id, type(0), 999999)}, 2},    // unknown channel
      {{entry(id, type(3), ch + 5000)}, 2},                         // unknown device
      {{entry(id, type(0), ch), entry(id, type(7), ch)}, 5},        // no type 7
      {{entry(id, type(0), ch), entry(id, type(2), ch)}, 5},        // one type per id
      {{entry(id, type(4), zu::kNoId)}, 5},                         // no path
      {{entry(foreign, type(0), ch)}, 2},
  };
  for (std::size_t i = 0; i < refused.size(); ++i) EXPECT_EQ(subscribe(subscriber_, refused[i].first), refused[i].second) << i;
  write({{ch, zu::CValue(1.5)}});
  EXPECT_TRUE(take().empty()) << "a refused subscribe subscribed something";

  EXPECT_EQ(subscribe(subscriber_, {entry(id, type(0), ch), entry(id, type(0), ch)}), 1u);
}

TEST_F(SubscriptionsTest, ValuesReachTheirSubscriptionAsOneNotificationPerRequest) {
  std::uint64_t dev = add_device(1);
  std::uint64_t a = add_channel(dev, "a"), b = add_channel(dev, "b"), c = add_channel(dev, "c");
  std::uint64_t changed = reserve(subscriber_);
  ASSERT_EQ(subscribe(subscriber_, {entry(changed, sub::channel_value_changed, a),
                                    entry(changed, sub::channel_value_changed, b),
                                    entry(changed, sub::channel_value_changed, c)}), 1u);
  std::uint64_t written = watch(sub::channel_value_written, a);

  write({{a, zu::CValue(1.0)}, {b, zu::CValue(2.0)}, {c, zu::CValue(3.0)}});
  Notes got = take();
  ASSERT_EQ(subscriptions_of(got), (Ids{changed, written}));
  EXPECT_EQ(got[0]->values.size(), 3u);
  EXPECT_EQ(got[0]->values.at(c), zu::CValue(3.0));

  write({{a, zu::CValue(1.0)}});  // same value: written, not changed
  got = take();
  ASSERT_EQ(subscriptions_of(got), Ids{written});
  EXPECT_EQ(got[0]->values.at(a), zu::CValue(1.0));
}

TEST_F(SubscriptionsTest, SettingsAndDeviceChangesFillTheirContainers) {
  std::uint64_t dev = add_device(1), ch = add_channel(dev, "t");
  std::uint64_t settings = watch(sub::channel_settings, ch), record = watch(sub::device_record, dev);
  std::uint64_t channels = watch(sub::device_channels, dev), tree = watch(sub::device_tree, dev);

  zu::cds::CUpdateChannelSettings s;
  s.settings = {StoreTest::settings(ch)};
  s.settings[0].units = "degC";
  ASSERT_EQ(ask(s)->status, 1u);
  update_device(dev, "SN-1");
  add_channel(dev, "u");
  add_device(dev);

  Notes got = take();
  ASSERT_EQ(subscriptions_of(got), (Ids{settings, record, channels, tree}));
  EXPECT_EQ(got[0]->numbers_2, IdSet{ch});
  EXPECT_EQ(got[1]->device_ids, IdSet{dev});
  EXPECT_EQ(got[2]->device_ids, IdSet{dev});
  EXPECT_EQ(got[3]->device_ids_14, IdSet{dev});

  ASSERT_EQ(remove_devices({dev}), 1u);  // the removal reaches the channel and tree subscriptions, then nothing more
  got = take();
  ASSERT_EQ(subscriptions_of(got), (Ids{channels, tree}));
  EXPECT_EQ(got[0]->device_ids, IdSet{dev});
  EXPECT_EQ(got[1]->device_ids_14, IdSet{dev});
  EXPECT_EQ(add_device(1, dev), dev);  // the same id again: a new device, not the watched one
  update_device(dev, "SN-2");
  add_device(dev);
  EXPECT_TRUE(take().empty());
}

TEST_F(SubscriptionsTest, DocumentWritesReachPathWatchersAtAndBelowByWholeSegments) {
  std::map<std::uint64_t, std::string> watched;  // subscription -> path
  for (const char* path : {"system", "system/", "systemd", "system/network/dns"})
    watched[watch(sub::oob_path, zu::kNoId, false, path)] = path;
  using Seen = std::map<std::string, std::unordered_set<std::string>>;
  auto seen = [&]() {
    Seen out;
    for (const auto& n : take()) out[watched.at(n->subscription_id)] = n->paths;
    return out;
  };

  ASSERT_EQ(set_documents({{"system", doc("{}")}, {"system/network", doc("{}")}, {"systemd", doc("{}")}})->status, 1u);
  EXPECT_EQ(seen(), (Seen{{"system", {"system", "system/network"}},
                          {"system/", {"system", "system/network"}},
                          {"systemd", {"systemd"}}}));

  // A field write is a document write: it reaches the same watchers.
  zu::cds::CSetFieldValue field;
  field.fields.insert({4, "hostname", zu::CValue("h"), 0, 0, "system/network/dns"});
  ASSERT_EQ(ask(field)->status, 1u);
  EXPECT_EQ(seen(), (Seen{{"system", {"system/network/dns"}},
                          {"system/", {"system/network/dns"}},
                          {"system/network/dns", {"system/network/dns"}}}));
}

TEST_F(SubscriptionsTest, TheFlagCoversSubDevicesAddedLater) {
  std::uint64_t top = add_device(1), mid = add_device(top);
  std::uint64_t deep = watch(sub::device_record, top, true);
  EXPECT_EQ(subscribe(subscriber_, {entry(deep, sub::device_record, top, "", false)}), 1u);  // again: still wide
  watch(sub::device_record, top, false);  // sub-devices not included: never notified here
  std::uint64_t tree = watch(sub::device_tree, top, true);

  std::uint64_t leaf = add_device(mid);  // after subscribing
  update_device(leaf, "SN");
  Notes got = take();
  ASSERT_EQ(subscriptions_of(got), (Ids{tree, deep}));
  EXPECT_EQ(got[0]->device_ids_14, IdSet{mid});
  EXPECT_EQ(got[1]->device_ids, IdSet{leaf});

  add_channel(leaf, "t");
  std::uint64_t channels = watch(sub::device_channels, top, true);
  watch(sub::device_channels, top, false);  // top's own channels do not change
  ASSERT_EQ(remove_devices({mid}), 1u);  // a removed subtree is still under the watched device
  got = take();
  ASSERT_EQ(subscriptions_of(got), (Ids{tree, channels}));
  EXPECT_EQ(got[0]->device_ids_14, (IdSet{top, mid, leaf}));
  EXPECT_EQ(got[1]->device_ids, IdSet{leaf}) << "the device that had channels";
}

TEST_F(SubscriptionsTest, AlarmConfigurationAndAlarmUpdatesReachTheirSubscriptions) {
  std::uint64_t top = add_device(1), dev = add_device(top), ch = add_channel(dev, "t");
  std::uint64_t config = watch(sub::channel_alarm_config, ch);
  std::uint64_t alarms = watch(sub::device_alarms, top, true);
  watch(sub::device_alarms, top, false);  // not its own channel: nothing
  configure_ok(ch, {high(30)});
  write({{ch, zu::CValue(35.0)}});
  write({{ch, zu::CValue(20.0)}});

  Notes got = take();
  ASSERT_EQ(subscriptions_of(got), (Ids{config, alarms, alarms}));
  EXPECT_EQ(got[0]->numbers_5, IdSet{ch});
  for (int i : {1, 2}) {
    ASSERT_EQ(got[i]->alarm_updates.size(), 1u);
    EXPECT_EQ(got[i]->alarm_updates.begin()->alarm_id, ch);
    EXPECT_EQ(got[i]->alarm_updates.begin()->back_to_normal, i == 2);
  }
}

TEST_F(SubscriptionsTest, NotificationsComeOnceTheChangeIsDoneAndTheLockReleased) {
  // The subscriber makes the change itself; its sink asks the store again,
  // which would dead-lock under the engine lock, and sees the new value.
  std::uint64_t ch = add_channel(1, "t");
  std::vector<zu::CValue> seen;
  SessionId self = engine_->open_session("self", [&](std::shared_ptr<zu::cds::CRequestResponse>) {
    auto now = read({ch});
    seen.push_back(now.empty() ? zu::CValue() : now[0].value);
  });
  ASSERT_EQ(subscribe(self, {entry(reserve(self), sub::channel_value_written, ch)}), 1u);
  zu::cds::CUpdateChannelValue u;
  u.values = {{ch, zu::CValue(4.0)}};
  EXPECT_EQ(ask_as(self, u)->status, 1u);
  EXPECT_EQ(seen, std::vector<zu::CValue>{zu::CValue(4.0)});
}

TEST_F(SubscriptionsTest, ReleasedAndClosedGetNothingMoreNotEvenWhatWasQueued) {
  std::uint64_t a = add_channel(1, "a"), b = add_channel(1, "b");
  std::vector<std::uint64_t> delivered;
  std::uint64_t second = zu::kNoId;
  SessionId s = 0;
  // On the first notification, the sink releases the second subscription,
  // whose notification of the same request waits behind it in the queue.
  s = engine_->open_session("releasing", [&](std::shared_ptr<zu::cds::CRequestResponse> m) {
    delivered.push_back(std::static_pointer_cast<CSubscriberNotify>(m)->subscription_id);
    if (delivered.size() == 1) {
      EXPECT_EQ(release(s, {second}), 1u);
    }
  });
  std::uint64_t first = reserve(s);
  second = reserve(s);
  ASSERT_EQ(subscribe(s, {entry(first, sub::channel_value_written, a), entry(second, sub::channel_value_written, b)}), 1u);
  write({{a, zu::CValue(1)}, {b, zu::CValue(2)}});
  EXPECT_EQ(delivered, std::vector<std::uint64_t>{first});

  watch(sub::channel_value_written, a);
  engine_->close_session(subscriber_);
  write({{a, zu::CValue(3)}});
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(delivered.size(), 2u);
}

TEST_F(SubscriptionsTest, ConcurrentWritersKeepEachSessionsOrder) {
  std::uint64_t a = add_channel(1, "a"), b = add_channel(1, "b");
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::map<std::uint64_t, std::vector<int>> received;
  SessionId s = engine_->open_session("ordered", [&](std::shared_ptr<zu::cds::CRequestResponse> m) {
    if (inside.fetch_add(1) != 0) overlapped = true;
    for (int k = 0; k < 20; ++k) std::this_thread::yield();  // widens the window for a second deliverer
    for (const auto& [channel, value] : std::static_pointer_cast<CSubscriberNotify>(m)->values)
      received[channel].push_back(static_cast<int>(value.as_double()));
    inside.fetch_sub(1);
  });
  std::uint64_t id = reserve(s);
  ASSERT_EQ(subscribe(s, {entry(id, sub::channel_value_written, a), entry(id, sub::channel_value_written, b)}), 1u);
  constexpr int kWrites = 300;
  auto writer = [&](std::uint64_t channel) {
    SessionId own = engine_->open_session("writer", nullptr);
    for (int i = 1; i <= kWrites; ++i) {
      zu::cds::CUpdateChannelValue u;
      u.values = {{channel, zu::CValue(i)}};
      engine_->handle(own, u);
    }
  };
  std::thread ta(writer, a), tb(writer, b);
  ta.join();
  tb.join();
  EXPECT_FALSE(overlapped) << "two threads delivered to one session at once";
  std::vector<int> expected(kWrites);
  for (int i = 0; i < kWrites; ++i) expected[i] = i + 1;
  for (std::uint64_t channel : {a, b}) EXPECT_EQ(received[channel], expected) << "channel " << channel;
}

// ---- the queue on its own

std::shared_ptr<CSubscriberNotify> values(std::uint64_t sub_id, std::uint64_t channel, double v) {
  auto n = std::make_shared<CSubscriberNotify>();
  n->subscription_id = sub_id;
  n->type = sub::channel_value_written;
  n->values[channel] = zu::CValue(v);
  return n;
}

std::shared_ptr<CSubscriberNotify> alarm(std::uint64_t instance) {
  auto n = std::make_shared<CSubscriberNotify>();
  n->subscription_id = 3;
  n->type = sub::device_alarms;
  zu::CAlarmUpdate u;
  u.instance = instance;
  n->alarm_updates.insert(u);
  return n;
}

TEST(NotificationQueueTest, PastTheBoundValuesCoalesceAndAlarmsStay) {
  NotificationQueue queue(2);
  for (auto n : {values(1, 10, 1.0), values(2, 20, 1.0), values(1, 10, 2.0), values(1, 11, 5.0), alarm(1), alarm(2)})
    ASSERT_TRUE(queue.push(n));  // past the bound, values merge into subscription 1's entry; alarms stay
  EXPECT_EQ(queue.size(), 4u);
  EXPECT_EQ(queue.merged(), 2u);

  auto first = queue.pop();
  EXPECT_EQ(first->subscription_id, 1u);
  EXPECT_EQ(first->values, (std::unordered_map<std::uint64_t, zu::CValue>{{10, zu::CValue(2.0)}, {11, zu::CValue(5.0)}}));
  EXPECT_EQ(queue.pop()->subscription_id, 2u);
  for (std::uint64_t i = 1; i <= 2; ++i) EXPECT_EQ(queue.pop()->alarm_updates.begin()->instance, i);
  EXPECT_EQ(queue.pop(), nullptr);

  // Once subscription 1's entry has left, a new one takes its own place.
  for (auto n : {values(2, 20, 1.0), values(2, 20, 2.0), values(1, 10, 3.0)}) ASSERT_TRUE(queue.push(n));
  EXPECT_EQ(queue.size(), 3u);
}

TEST(NotificationQueueTest, PastTwiceTheBoundAlarmUpdatesGiveWayToANoticeCountingThem) {
  NotificationQueue queue(2);
  for (std::uint64_t i = 1; i <= 7; ++i) ASSERT_TRUE(queue.push(alarm(i)));
  EXPECT_EQ(queue.size(), 5u);  // four updates and one notice
  EXPECT_EQ(queue.dropped(), 3u);
  for (std::uint64_t i = 1; i <= 4; ++i) EXPECT_EQ(queue.pop()->alarm_updates.begin()->instance, i);
  auto notice = queue.pop();
  EXPECT_EQ(notice->subscription_id, 3u);
  EXPECT_EQ(notice->type, sub::device_alarms);
  EXPECT_EQ(notice->status, zu::cds::status_no_queue);
  EXPECT_TRUE(notice->alarm_updates.empty());
  EXPECT_NE(notice->message.find("3 alarm updates were dropped"), std::string::npos) << notice->message;

  // Once there is room, updates queue again, and a later overflow gets a notice of its own.
  for (std::uint64_t i = 8; i <= 12; ++i) ASSERT_TRUE(queue.push(alarm(i)));
  for (std::uint64_t i = 8; i <= 11; ++i) EXPECT_EQ(queue.pop()->alarm_updates.begin()->instance, i);
  EXPECT_NE(queue.pop()->message.find("1 alarm update was dropped"), std::string::npos);
  EXPECT_EQ(queue.pop(), nullptr);
  queue.close();
  EXPECT_FALSE(queue.push(alarm(13)));
}

}  // namespace
}  // namespace cds::store::testing
