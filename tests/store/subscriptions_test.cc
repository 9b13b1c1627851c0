// Subscription ids, subscribe checks, the notifications each change produces,
// and their delivery; the bounded notification queue.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "../../store/src/subscriptions.h"
#include "store/NotificationQueue.h"
#include "store_fixture.h"

namespace cds::store::testing {
namespace {

using zu::cds::CSubscriberNotify;
using Notes = std::vector<std::shared_ptr<CSubscriberNotify>>;
namespace sub = zu::sub;

// A sink that keeps what it is handed.
class Recorder {
 public:
  zu::cds::NotificationSink sink() {
    return [this](std::shared_ptr<zu::cds::CRequestResponse> m) {
      auto n = std::dynamic_pointer_cast<CSubscriberNotify>(m);
      ASSERT_TRUE(n) << "a notification of class " << m->class_name();
      std::lock_guard<std::mutex> lock(mutex_);
      got_.push_back(n);
    };
  }
  Notes take() {
    std::lock_guard<std::mutex> lock(mutex_);
    Notes out;
    out.swap(got_);
    return out;
  }

 private:
  std::mutex mutex_;
  Notes got_;
};

// session_ (the fixture's) makes the changes; subscriber_ watches them.
class SubscriptionsTest : public StoreTest {
 protected:
  SubscriptionsTest() : subscriber_(engine_->open_session("subscriber", recorder_.sink())) {}

  template <typename R>
  std::shared_ptr<R> ask_as(SessionId session, const R& request) {
    auto typed = std::dynamic_pointer_cast<R>(engine_->handle(session, request));
    EXPECT_TRUE(typed);
    return typed ? typed : std::make_shared<R>();
  }

  std::uint64_t reserve(SessionId session) {
    zu::cds::CManageSubscriberIDs r;
    r.op = 1;
    auto a = ask_as(session, r);
    EXPECT_EQ(a->status, 1u);
    return a->reserved_ids.size() == 1 ? a->reserved_ids[0] : zu::kNoId;
  }
  std::uint32_t release(SessionId session, std::vector<std::uint64_t> ids) {
    zu::cds::CManageSubscriberIDs r;
    r.op = 0;
    r.release_ids = std::move(ids);
    return ask_as(session, r)->status;
  }
  std::uint32_t subscribe(SessionId session, std::vector<zu::cds::CSubscribeSingle> entries) {
    zu::cds::CSubscribe r;
    r.subscriptions = std::move(entries);
    return ask_as(session, r)->status;
  }
  // A subscription of subscriber_ to one object.
  std::uint64_t watch(sub::subscription_type type, std::uint64_t object, bool flag = false) {
    std::uint64_t id = reserve(subscriber_);
    EXPECT_EQ(subscribe(subscriber_, {{id, type, object, "", flag, false}}), 1u);
    return id;
  }
  void update_device(std::uint64_t id, const std::string& serial) {
    zu::cds::CUpdateDevice u;
    zu::CDevice d = device(id);
    d.attributes[1] = serial;
    u.devices = {d};
    EXPECT_EQ(ask(u)->status, 1u);
  }
  void remove_device(std::uint64_t id) {
    zu::cds::CDeleteDevice r;
    r.ids = {id};
    EXPECT_EQ(ask(r)->status, 1u);
  }

  Recorder recorder_;
  SessionId subscriber_;
};

TEST_F(SubscriptionsTest, IdsAreFreshAndReleasedOnlyByTheirSession) {
  std::uint64_t a = reserve(subscriber_), b = reserve(subscriber_), other = reserve(session_);
  EXPECT_LT(a, b);
  EXPECT_LT(b, other);

  EXPECT_EQ(release(subscriber_, {a, other}), 2u);  // another session's id: nothing released
  EXPECT_EQ(release(subscriber_, {a}), 1u);
  EXPECT_EQ(release(subscriber_, {a}), 2u);
  EXPECT_GT(reserve(subscriber_), other);  // a released id is not handed out again

  zu::cds::CManageSubscriberIDs bad;
  bad.op = 7;
  EXPECT_EQ(ask_as(subscriber_, bad)->status, 5u);
}

TEST_F(SubscriptionsTest, SubscribeChecksEveryEntryFirst) {
  std::uint64_t dev = add_device(1), ch = add_channel(dev, "t");
  std::uint64_t id = reserve(subscriber_), foreign = reserve(session_);
  auto entry = [&](std::uint64_t sid, std::uint8_t type, std::uint64_t object, std::string path = "") {
    return zu::cds::CSubscribeSingle{sid, static_cast<sub::subscription_type>(type), object, path, false, false};
  };
  EXPECT_EQ(subscribe(subscriber_, {entry(id, 0, ch), entry(id, 0, 999999)}), 2u);  // unknown channel
  EXPECT_EQ(subscribe(subscriber_, {entry(id, 0, ch), entry(id, 0, dev + 1000)}), 2u);
  EXPECT_EQ(subscribe(subscriber_, {entry(id, 3, ch + 5000)}), 2u);                  // unknown device
  EXPECT_EQ(subscribe(subscriber_, {entry(id, 0, ch), entry(id, 7, ch)}), 5u);       // no type 7
  EXPECT_EQ(subscribe(subscriber_, {entry(id, 0, ch), entry(id, 2, ch)}), 5u);       // one type per id
  EXPECT_EQ(subscribe(subscriber_, {entry(id, 4, zu::kNoId, "")}), 5u);              // no path
  EXPECT_EQ(subscribe(subscriber_, {entry(foreign, 0, ch)}), 2u);
  EXPECT_EQ(subscribe(subscriber_, {entry(id + 100, 0, ch)}), 2u);

  write({{ch, zu::CValue(1.5)}});
  EXPECT_TRUE(recorder_.take().empty()) << "a refused subscribe subscribed something";

  EXPECT_EQ(subscribe(subscriber_, {entry(id, 0, ch), entry(id, 0, ch)}), 1u);
  EXPECT_EQ(subscribe(subscriber_, {entry(reserve(subscriber_), 4, zu::kNoId, "any/path")}), 1u);
}

TEST_F(SubscriptionsTest, ValuesReachTheirSubscriptionAsOneNotificationPerRequest) {
  std::uint64_t dev = add_device(1);
  std::uint64_t a = add_channel(dev, "a"), b = add_channel(dev, "b"), c = add_channel(dev, "c");
  std::uint64_t changed = reserve(subscriber_);
  ASSERT_EQ(subscribe(subscriber_, {{changed, sub::channel_value_changed, a, "", false, false},
                                    {changed, sub::channel_value_changed, b, "", false, false},
                                    {changed, sub::channel_value_changed, c, "", false, false}}),
            1u);
  std::uint64_t written = watch(sub::channel_value_written, a);

  write({{a, zu::CValue(1.0)}, {b, zu::CValue(2.0)}, {c, zu::CValue(3.0)}});
  Notes got = recorder_.take();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]->subscription_id, changed);
  EXPECT_EQ(got[0]->kind, 2u);
  EXPECT_EQ(got[0]->type, sub::channel_value_changed);
  EXPECT_EQ(got[0]->values.size(), 3u);
  EXPECT_EQ(got[0]->values.at(c), zu::CValue(3.0));
  EXPECT_EQ(got[1]->subscription_id, written);
  EXPECT_EQ(got[1]->values.size(), 1u);

  write({{a, zu::CValue(1.0)}});  // same value: written, not changed
  got = recorder_.take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]->subscription_id, written);
  EXPECT_EQ(got[0]->values.at(a), zu::CValue(1.0));
}

TEST_F(SubscriptionsTest, SettingsAndDeviceChangesFillTheirContainers) {
  std::uint64_t dev = add_device(1), ch = add_channel(dev, "t");
  std::uint64_t settings = watch(sub::channel_settings, ch);
  std::uint64_t record = watch(sub::device_record, dev);
  std::uint64_t channels = watch(sub::device_channels, dev);
  std::uint64_t tree = watch(sub::device_tree, dev);

  zu::cds::CUpdateChannelSettings s;
  s.settings = {StoreTest::settings(ch)};
  s.settings[0].units = "degC";
  ASSERT_EQ(ask(s)->status, 1u);
  update_device(dev, "SN-1");
  add_channel(dev, "u");
  add_device(dev);

  Notes got = recorder_.take();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0]->subscription_id, settings);
  EXPECT_EQ(got[0]->numbers_2, (std::unordered_set<std::uint64_t>{ch}));
  EXPECT_EQ(got[1]->subscription_id, record);
  EXPECT_EQ(got[1]->device_ids, (std::unordered_set<std::uint64_t>{dev}));
  EXPECT_EQ(got[2]->subscription_id, channels);
  EXPECT_EQ(got[2]->device_ids, (std::unordered_set<std::uint64_t>{dev}));
  EXPECT_EQ(got[3]->subscription_id, tree);
  EXPECT_EQ(got[3]->device_ids_14, (std::unordered_set<std::uint64_t>{dev}));
  EXPECT_TRUE(got[3]->device_ids.empty());

  remove_device(dev);  // the removal reaches the tree subscription, then nothing more
  got = recorder_.take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]->subscription_id, tree);
  EXPECT_EQ(got[0]->device_ids_14, (std::unordered_set<std::uint64_t>{dev}));
  EXPECT_EQ(add_device(1, dev), dev);  // the same id again: a new device, not the watched one
  update_device(dev, "SN-2");
  add_device(dev);
  EXPECT_TRUE(recorder_.take().empty());
}

TEST_F(SubscriptionsTest, DocumentWritesReachPathWatchersAtAndBelowByWholeSegments) {
  std::vector<std::pair<std::string, std::uint64_t>> watchers;  // watched path -> subscription
  for (const char* path : {"system", "system/", "systemd", "system/network/dns"}) {
    std::uint64_t id = reserve(subscriber_);
    EXPECT_EQ(subscribe(subscriber_, {{id, sub::oob_path, zu::kNoId, path, false, false}}), 1u);
    watchers.emplace_back(path, id);
  }
  using Paths = std::unordered_set<std::string>;
  // What each watcher sees of one request, by watched path.
  auto seen = [&]() {
    std::map<std::string, Paths> out;
    for (const auto& n : recorder_.take())
      for (const auto& [path, id] : watchers)
        if (n->subscription_id == id) out[path] = n->paths;
    return out;
  };

  ASSERT_EQ(set_documents({{"system", doc("{}")}, {"system/network", doc("{}")}, {"systemd", doc("{}")}})->status, 1u);
  EXPECT_EQ(seen(), (std::map<std::string, Paths>{{"system", {"system", "system/network"}},
                                                  {"system/", {"system", "system/network"}},
                                                  {"systemd", {"systemd"}}}));

  // A field write is a document write: it reaches the same watchers.
  zu::cds::CSetFieldValue field;
  zu::cds::CSingleField f;
  f.field_kind = 4;
  f.name = "hostname";
  f.scope = "system/network/dns";
  f.value = zu::CValue("h");
  field.fields.insert(f);
  ASSERT_EQ(ask(field)->status, 1u);
  EXPECT_EQ(seen(), (std::map<std::string, Paths>{{"system", {"system/network/dns"}},
                                                  {"system/", {"system/network/dns"}},
                                                  {"system/network/dns", {"system/network/dns"}}}));
}

TEST_F(SubscriptionsTest, TheFlagCoversSubDevicesAddedLater) {
  std::uint64_t top = add_device(1), mid = add_device(top);
  std::uint64_t deep = watch(sub::device_record, top, true);
  watch(sub::device_record, top, false);  // sub-devices not included: never notified here
  std::uint64_t tree = watch(sub::device_tree, top, true);
  recorder_.take();

  std::uint64_t leaf = add_device(mid);  // after subscribing
  update_device(leaf, "SN");
  Notes got = recorder_.take();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]->subscription_id, tree);
  EXPECT_EQ(got[0]->device_ids_14, (std::unordered_set<std::uint64_t>{mid}));
  EXPECT_EQ(got[1]->subscription_id, deep);
  EXPECT_EQ(got[1]->device_ids, (std::unordered_set<std::uint64_t>{leaf}));

  remove_device(mid);  // a removed subtree is still under the watched device
  got = recorder_.take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]->device_ids_14, (std::unordered_set<std::uint64_t>{top, mid, leaf}));
}

TEST_F(SubscriptionsTest, AlarmConfigurationAndAlarmUpdatesReachTheirSubscriptions) {
  std::uint64_t top = add_device(1), dev = add_device(top), ch = add_channel(dev, "t");
  std::uint64_t config = watch(sub::channel_alarm_config, ch);
  std::uint64_t alarms = watch(sub::device_alarms, top, true);
  zu::CAlarmTrigger high;
  high.trigger_flag = 0;
  high.level = 2;
  high.threshold = zu::CValue(30.0);
  high.hysteresis = zu::CValue(0.0);
  zu::cds::CSetAlarmConfig set;
  set.configs.push_back({ch, {high}});
  ASSERT_EQ(ask(set)->status, 1u);
  write({{ch, zu::CValue(35.0)}});
  write({{ch, zu::CValue(20.0)}});

  Notes got = recorder_.take();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0]->subscription_id, config);
  EXPECT_EQ(got[0]->numbers_5, (std::unordered_set<std::uint64_t>{ch}));
  for (int i : {1, 2}) {
    EXPECT_EQ(got[i]->subscription_id, alarms);
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
  SessionId self = 0;
  self = engine_->open_session("self", [&](std::shared_ptr<zu::cds::CRequestResponse>) {
    zu::cds::CGetChannelValue get;
    get.ids = {ch};
    auto r = std::dynamic_pointer_cast<zu::cds::CGetChannelValue>(engine_->handle(self, get));
    seen.push_back(r && r->values.size() == 1 ? r->values[0].value : zu::CValue());
  });
  std::uint64_t id = reserve(self);
  ASSERT_EQ(subscribe(self, {{id, sub::channel_value_written, ch, "", false, false}}), 1u);
  zu::cds::CUpdateChannelValue u;
  u.values = {{ch, zu::CValue(4.0)}};
  EXPECT_EQ(ask_as(self, u)->status, 1u);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], zu::CValue(4.0));
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
  ASSERT_EQ(subscribe(s, {{first, sub::channel_value_written, a, "", false, false}}), 1u);
  ASSERT_EQ(subscribe(s, {{second, sub::channel_value_written, b, "", false, false}}), 1u);
  write({{a, zu::CValue(1)}, {b, zu::CValue(2)}});
  EXPECT_EQ(delivered, std::vector<std::uint64_t>{first});

  watch(sub::channel_value_written, a);
  engine_->close_session(subscriber_);
  write({{a, zu::CValue(3)}});
  EXPECT_TRUE(recorder_.take().empty());
  EXPECT_EQ(delivered.size(), 2u);
  zu::cds::CManageSubscriberIDs r;
  r.op = 1;
  EXPECT_EQ(ask_as(subscriber_, r)->status, 2u);  // a closed session reserves nothing
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
  ASSERT_EQ(subscribe(s, {{id, sub::channel_value_written, a, "", false, false},
                          {id, sub::channel_value_written, b, "", false, false}}),
            1u);
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
  for (std::uint64_t channel : {a, b}) {
    const std::vector<int>& got = received[channel];
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kWrites));
    for (int i = 0; i < kWrites; ++i) ASSERT_EQ(got[i], i + 1) << "channel " << channel;
  }
}

// Change sets fed to the registry directly: documents, which no request
// writes yet, and alarm causes on a tree built without the engine.
TEST(SubscriptionMatchingTest, AlarmsConfigurationsAndPaths) {
  detail::StoreData data;
  detail::init_store(data, "0123456789abcdef0123456789abcdef");
  ChangeSet ignored;
  zu::cds::CCreateDevice devices;
  devices.use_given_ids = true;
  for (auto [id, parent] : {std::pair<std::uint64_t, std::uint64_t>{30, 1}, {31, 30}, {32, 31}}) {
    zu::CDevice d;
    d.id = id;
    d.parent_id = parent;
    devices.devices.push_back(d);
  }
  zu::cds::CCreateDevice made = devices;  // a handler's response starts as a copy of the request
  detail::create_device(data, devices, made, ignored);
  zu::cds::CCreateChannel channels;
  channels.requests = {{32, "temp", false, 500}};
  zu::cds::CCreateChannel channels_made = channels;
  detail::create_channel(data, channels, channels_made, ignored);
  ASSERT_EQ(made.status, 1u);
  ASSERT_EQ(channels_made.status, 1u);

  detail::Subscriptions subs;
  detail::Outboxes outboxes(100);
  Recorder recorder;
  outboxes.open(7, recorder.sink());
  std::vector<std::uint64_t> released;
  auto subscribe = [&](sub::subscription_type type, std::uint64_t object, std::string path, bool flag) {
    zu::cds::CManageSubscriberIDs reserve, reserved;
    reserve.op = 1;
    subs.manage_ids(true, 7, reserve, reserved, released);
    zu::cds::CSubscribe s, answer;
    s.subscriptions = {{reserved.reserved_ids.at(0), type, object, path, flag, false}};
    subs.subscribe(data, 7, s, answer);
    EXPECT_EQ(answer.status, 1u);
    return reserved.reserved_ids.at(0);
  };
  std::uint64_t alarms_deep = subscribe(sub::device_alarms, 30, "", true);
  subscribe(sub::device_alarms, 30, "", false);  // not its own channel: nothing
  std::uint64_t config = subscribe(sub::channel_alarm_config, 500, "", false);
  std::uint64_t docs = subscribe(sub::oob_path, zu::kNoId, "site/a", false);

  ChangeSet changes;
  zu::CAlarmUpdate raise, normal;
  raise.alarm_id = normal.alarm_id = 500;
  raise.aux_number1 = normal.aux_number1 = 32;
  raise.instance = 1;
  normal.instance = 2;
  normal.back_to_normal = true;
  changes.alarm_updates = {raise, normal};
  changes.channel_alarm_configs_changed = {500};
  changes.oob_paths_written = {"site/a", "site/a/b/c", "site/ab", "site"};
  subs.publish(data, changes, outboxes);
  outboxes.deliver();

  Notes got = recorder.take();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0]->subscription_id, alarms_deep);
  EXPECT_EQ(got[0]->alarm_updates.size(), 2u);
  EXPECT_EQ(got[0]->alarm_updates.count(normal), 1u);
  EXPECT_EQ(got[1]->subscription_id, config);
  EXPECT_EQ(got[1]->numbers_5, (std::unordered_set<std::uint64_t>{500}));
  EXPECT_EQ(got[2]->subscription_id, docs);
  EXPECT_EQ(got[2]->paths, (std::unordered_set<std::string>{"site/a", "site/a/b/c"}));
}

// ---- the queue on its own

std::shared_ptr<CSubscriberNotify> values(std::uint64_t sub_id, std::uint64_t channel, double v) {
  auto n = std::make_shared<CSubscriberNotify>();
  n->subscription_id = sub_id;
  n->type = sub::channel_value_written;
  n->values[channel] = zu::CValue(v);
  return n;
}

std::shared_ptr<CSubscriberNotify> alarm(std::uint64_t sub_id, std::uint64_t instance) {
  auto n = std::make_shared<CSubscriberNotify>();
  n->subscription_id = sub_id;
  n->type = sub::device_alarms;
  zu::CAlarmUpdate u;
  u.instance = instance;
  n->alarm_updates.insert(u);
  return n;
}

TEST(NotificationQueueTest, PastTheBoundValuesCoalesceAndAlarmsStay) {
  NotificationQueue queue(2);
  ASSERT_TRUE(queue.push(values(1, 10, 1.0)));
  ASSERT_TRUE(queue.push(values(2, 20, 1.0)));
  ASSERT_TRUE(queue.push(values(1, 10, 2.0)));  // full: merged into subscription 1's entry
  ASSERT_TRUE(queue.push(values(1, 11, 5.0)));
  for (std::uint64_t i = 1; i <= 3; ++i) ASSERT_TRUE(queue.push(alarm(3, i)));
  EXPECT_EQ(queue.size(), 5u);
  EXPECT_EQ(queue.merged(), 2u);

  auto first = queue.pop();
  EXPECT_EQ(first->subscription_id, 1u);
  EXPECT_EQ(first->values.at(10), zu::CValue(2.0));
  EXPECT_EQ(first->values.at(11), zu::CValue(5.0));
  EXPECT_EQ(queue.pop()->subscription_id, 2u);
  for (std::uint64_t i = 1; i <= 3; ++i) {
    auto n = queue.pop();
    ASSERT_EQ(n->alarm_updates.size(), 1u);
    EXPECT_EQ(n->alarm_updates.begin()->instance, i);
  }
  EXPECT_EQ(queue.pop(), nullptr);

  // Once subscription 1's entry has left, a new one takes its own place.
  ASSERT_TRUE(queue.push(values(2, 20, 1.0)));
  ASSERT_TRUE(queue.push(values(2, 20, 2.0)));
  ASSERT_TRUE(queue.push(values(1, 10, 3.0)));
  EXPECT_EQ(queue.size(), 3u);
}

TEST(NotificationQueueTest, DropAndCloseRemoveWhatIsQueued) {
  NotificationQueue queue(10);
  queue.push(values(1, 10, 1.0));
  queue.push(values(2, 20, 1.0));
  queue.push(values(1, 10, 2.0));
  queue.drop_subscription(1);
  std::vector<std::uint64_t> got;
  EXPECT_TRUE(queue.drain([&](const NotificationQueue::Notification& n) { got.push_back(n->subscription_id); }));
  EXPECT_EQ(got, std::vector<std::uint64_t>{2});

  queue.push(values(2, 20, 3.0));
  queue.close();
  EXPECT_EQ(queue.size(), 0u);
  EXPECT_FALSE(queue.push(values(2, 20, 4.0)));
  EXPECT_FALSE(queue.push(nullptr));
}

TEST(NotificationQueueTest, OneDrainerDeliversInOrderWhileOthersPush) {
  NotificationQueue queue(1000000);
  constexpr int kPerThread = 2000;
  std::vector<int> seen;  // written by the one drainer only
  std::atomic<int> drainers{0};
  std::atomic<bool> overlap{false};
  auto producer = [&](std::uint64_t sub_id) {
    for (int i = 0; i < kPerThread; ++i) {
      queue.push(values(sub_id, sub_id, i));
      queue.drain([&](const NotificationQueue::Notification& n) {
        if (drainers.fetch_add(1) != 0) overlap = true;
        for (int k = 0; k < 20; ++k) std::this_thread::yield();
        if (n->subscription_id == 1) seen.push_back(static_cast<int>(n->values.begin()->second.as_double()));
        drainers.fetch_sub(1);
      });
    }
  };
  std::thread t1(producer, 1), t2(producer, 2);
  t1.join();
  t2.join();
  EXPECT_FALSE(overlap);
  EXPECT_EQ(queue.size(), 0u);
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kPerThread));
  for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(seen[i], i);
}

}  // namespace
}  // namespace cds::store::testing
