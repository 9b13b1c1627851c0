// Subscriptions end to end: InBandAccessor / DataAlarms -> registry -> store ->
// notification -> callback on the "Event CDS" thread.
//
// The registry's handler is process-wide and logs in once, to the store of
// its first use; so every test here shares one store that lives as long as
// the executable (a gtest environment), instead of a fresh store per test.
// What needs a fresh process runs in the helper subscriptions_child.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "cdsapi/DataAlarms.h"
#include "cdsapi/InBandAccessor.h"
#include "cdsapi/OobAccessor.h"
#include "cdsapi/dataChannel.h"
#include "cdsapi/dataDevice.h"
#include "cdsapi/dataHandler.h"
#include "zu/cds/CClient.h"
#include "zu/testing/Harness.h"

namespace {

constexpr unsigned long long kNone = ~0ULL;

// Made in this order, so destroyed in the reverse one.
struct Objects {
  zu::testing::EmbeddedStore store;
  cdsapi::dataClient client{"subscriptions-test"};
  cdsapi::InBandAccessor inband{client, false};
  cdsapi::DataAlarms alarms{client};
  cdsapi::OobAccessor oob{client};
};
struct Installation : ::testing::Environment {
  void SetUp() override { objects = std::make_unique<Objects>(); }
  void TearDown() override { objects.reset(); }
  std::unique_ptr<Objects> objects;
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
  std::vector<T> items() { return wait_for(0); }
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

class Subscriptions : public ::testing::Test {
 protected:
  void TearDown() override { faults().clear_faults(); }

  static zu::testing::FaultInjectingTransport& faults() { return installation->objects->store.faults(); }
  static cdsapi::dataHandler& registry() { return *cdsapi::SubscriberSingleton::instance().handler; }
  static std::shared_ptr<cdsapi::dataHandler> registry_handler() { return cdsapi::SubscriberSingleton::instance().handler; }
  unsigned long long NewDevice(unsigned long long parent = 1) { return inband.createDevice(0, parent, false); }

  // A value callback filling `inbox`.
  static cdsapi::InBandAccessor::ValueCallback Into(std::shared_ptr<Inbox<Value>> inbox) {
    return [inbox](unsigned long long id, zu::CValue v) { inbox->add({id, std::move(v)}); };
  }
  static cdsapi::InBandAccessor::DeviceCallback IntoIds(std::shared_ptr<Inbox<unsigned long long>> inbox) {
    return [inbox](unsigned long long id) { inbox->add(id); };
  }

  cdsapi::InBandAccessor& inband = installation->objects->inband;
  cdsapi::DataAlarms& alarms = installation->objects->alarms;
  cdsapi::OobAccessor& oob = installation->objects->oob;
};

// ---- notifications and their callbacks

// Each kind of notification calls its callback with what the record carries
// for that kind, on the event thread: alarm updates as they are and, on the
// older device interface, as AlarmInfos, in instance order (so an end comes
// before the new raise). After a callback that throws the next notification
// still arrives; once unsubscribed nothing comes. Which changes
// the store notifies (segments, sub-devices) is the store's.
TEST_F(Subscriptions, EachKindOfChangeReachesItsCallbackOnTheEventThreadUntilUnsubscribed) {
  unsigned long long top = NewDevice(), child = NewDevice(top), device = NewDevice();
  unsigned long long channel = inband.createChannel(device, "temperature", false);
  auto values = std::make_shared<Inbox<Value>>(), settings = std::make_shared<Inbox<Value>>(),
       config = std::make_shared<Inbox<Value>>();
  auto trees = std::make_shared<Inbox<unsigned long long>>(), records = std::make_shared<Inbox<unsigned long long>>(),
       channels = std::make_shared<Inbox<unsigned long long>>();
  auto paths = std::make_shared<Inbox<std::string>>();
  auto updates = std::make_shared<Inbox<zu::CAlarmUpdate>>();
  auto infos = std::make_shared<Inbox<cdsapi::AlarmInfos>>();
  auto throwing = [values](unsigned long long id, zu::CValue v) {
    values->add({id, v});
    if (v == zu::CValue(21.5)) throw std::runtime_error("callback failed on purpose");
  };
  std::vector<unsigned long long> ids(7, kNone);
  ASSERT_TRUE(inband.subscribeChannel(channel, throwing, zu::sub::channel_value_changed, &ids[0]));
  ASSERT_TRUE(inband.subscribeChannel(channel, Into(settings), zu::sub::channel_settings, &ids[1]));
  ASSERT_TRUE(inband.subscribeMultipleChannels({channel}, Into(config), zu::sub::channel_alarm_config, &ids[2]));
  ASSERT_TRUE(inband.subscribeDevice(top, IntoIds(trees), zu::sub::device_tree, true, &ids[3]));
  ASSERT_TRUE(inband.subscribeDevice(top, IntoIds(records), zu::sub::device_record, true, &ids[4]));
  ASSERT_TRUE(inband.subscribeDevice(child, IntoIds(channels), zu::sub::device_channels, false, &ids[5]));
  ASSERT_TRUE(alarms.subscribeDeviceAlarms(device, [updates](const zu::CAlarmUpdate& u) { updates->add(u); }, &ids[6]));
  ASSERT_TRUE(cdsapi::dataDevice("subscriptions-test").subscribe(device, [infos](const cdsapi::AlarmInfos& a) {
    infos->add(a);
  }));
  ASSERT_TRUE(oob.subscribe("plant/hall", [paths](std::string p) { paths->add(std::move(p)); }));

  inband.setChannelCValue(channel, zu::CValue(21.5));  // the first write fixes the data type: settings change too
  // Critical when above 22, without hysteresis.
  zu::cds::CSingleAlarmConfig triggers{channel, {{cdsapi::LevelCritical, 0, zu::CValue(22.0), zu::CValue(), 0, "", 0,
                                                  zu::CValue(0.0f), 0}}};
  inband.setChannelAlarmConfig(channel, triggers);
  inband.setChannelCValue(channel, zu::CValue(22.5));
  triggers.triggers[0].level = cdsapi::LevelWarning;  // a new level: the alarm ends and raises again
  inband.setChannelAlarmConfig(channel, triggers);
  unsigned long long grandchild = NewDevice(child);
  inband.setDeviceSerialNumber(grandchild, "SN-7");
  inband.createChannel(child, "voltage", false);
  ASSERT_TRUE(oob.set("plant/hall/door", std::string(R"({"open":true})")));

  EXPECT_EQ(values->wait_for(2), (std::vector<Value>{{channel, zu::CValue(21.5)}, {channel, zu::CValue(22.5)}}));
  for (auto* inbox : {settings.get(), config.get()}) EXPECT_EQ(inbox->wait_for(1).at(0), Value(channel, zu::CValue()));
  EXPECT_EQ(trees->wait_for(1), std::vector<unsigned long long>{child}) << "a tree change names the parent";
  EXPECT_EQ(records->wait_for(1), std::vector<unsigned long long>{grandchild});
  EXPECT_EQ(channels->wait_for(1), std::vector<unsigned long long>{child});
  EXPECT_EQ(paths->wait_for(1), std::vector<std::string>{"plant/hall/door"});
  auto raised = updates->wait_for(3);
  auto copied = infos->wait_for(3);
  ASSERT_EQ(raised.size(), 3u);
  ASSERT_EQ(copied.size(), 3u);
  EXPECT_EQ(raised[0].value, zu::CValue(22.5));
  EXPECT_EQ(copied[0].instance, raised[0].instance);
  for (bool back_to_normal : {raised[1].back_to_normal, copied[1].back_to_normal}) EXPECT_TRUE(back_to_normal);
  EXPECT_LT(raised[1].instance, raised[2].instance);
  EXPECT_LT(copied[1].instance, copied[2].instance);
  for (auto threads : {values->threads(), trees->threads(), paths->threads(), updates->threads()})
    EXPECT_EQ(threads[0], "Event CDS");

  // Once unsubscribed, a write calls nothing; the path notification, sent
  // after it, shows that nothing was on its way.
  ASSERT_TRUE(inband.unsubscribe(ids[0]));
  inband.setChannelCValue(channel, zu::CValue(23.5));
  ASSERT_TRUE(oob.set("plant/hall/window", std::string("{}")));
  EXPECT_EQ(paths->wait_for(2).size(), 2u);
  EXPECT_EQ(values->items().size(), 2u);
  for (std::size_t i = 1; i < ids.size(); ++i) EXPECT_TRUE(inband.unsubscribe(ids[i]));
}

// Each subscribing operation sends its keys with the type and flag it stands
// for, all under the id it reserved just before. (The operations the scenario
// above subscribes through show theirs by what reaches them.)
TEST_F(Subscriptions, EachOperationSubscribesItsKeysWithItsTypeAndFlag) {
  unsigned long long device = NewDevice();
  unsigned long long second = NewDevice();
  unsigned long long a = inband.createChannel(device, "a", false);
  unsigned long long b = inband.createChannel(device, "b", false);
  auto value = [](unsigned long long, zu::CValue) {};
  auto ignore_id = [](unsigned long long) {};
  auto update = [](const zu::CAlarmUpdate&) {};
  auto infos = [](const cdsapi::AlarmInfos&) {};
  using Cb = cdsapi::dataHandler::SubscriptionCallback;
  using Id = unsigned long long;
  // The operations that do not hand out their id: the one the request carried.
  auto sent_id = [&](bool done, Id* id) {
    *id = faults().last<zu::cds::CSubscribe>()->subscriptions.at(0).subscription_id;
    return done;
  };
  const struct {
    const char* what;
    std::function<bool(Id*)> subscribe;
    std::vector<Id> objects;
    zu::sub::subscription_type type;
    bool flag;
  } rows[] = {
      {"subscribeMultipleChannels",
       [&](Id* id) { return inband.subscribeMultipleChannels({b, a}, value, zu::sub::channel_value_written, id); },
       {b, a}, zu::sub::channel_value_written, false},
      {"subscribeMultipleDeviceAlarms",
       [&](Id* id) { return inband.subscribeMultipleDeviceAlarms({device, second}, update, id); },
       {device, second}, zu::sub::device_alarms, true},
      {"dataChannel::subscribe",
       [&](Id* id) { return sent_id(cdsapi::dataChannel("legacy", 0).subscribe(b, value, registry_handler()), id); },
       {b}, zu::sub::channel_value_written, false},
      {"dataDevice::subscribe", [&](Id* id) { return sent_id(cdsapi::dataDevice("legacy").subscribe(second, infos), id); },
       {second}, zu::sub::device_alarms, true},
      {"registry, device without a type",
       [&](Id* id) { return registry().registerSubscription(std::vector<Id>{device}, Cb::DeviceCallback(ignore_id), id); },
       {device}, zu::sub::device_tree, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    faults().clear_requests();
    Id id = kNone;
    ASSERT_TRUE(row.subscribe(&id));
    EXPECT_EQ(faults().count("CManageSubscriberIDs"), 1u);
    auto request = faults().last<zu::cds::CSubscribe>();
    ASSERT_TRUE(request);
    ASSERT_EQ(request->subscriptions.size(), row.objects.size());
    for (std::size_t i = 0; i < row.objects.size(); ++i) {
      const auto& entry = request->subscriptions[i];
      EXPECT_EQ(entry.subscription_id, id);
      EXPECT_EQ(entry.object_id, row.objects[i]);
      EXPECT_EQ(entry.type, row.type);
      EXPECT_EQ(entry.flag, row.flag);
    }
    EXPECT_TRUE(inband.unsubscribe(id));
  }
}

// ---- callbacks and the library

TEST_F(Subscriptions, ACallbackMayReadSubscribeAndUnsubscribeItself) {
  unsigned long long device = NewDevice();
  unsigned long long source = inband.createChannel(device, "source", false);
  unsigned long long other = inband.createChannel(device, "other", false);
  unsigned long long ticks = inband.createChannel(device, "ticks", false);

  auto calls = std::make_shared<Inbox<Value>>();
  auto others = std::make_shared<Inbox<Value>>();
  auto own_id = std::make_shared<std::atomic<unsigned long long>>(kNone);
  auto other_id = std::make_shared<unsigned long long>(kNone);
  auto& accessor = inband;
  auto tick_values = std::make_shared<Inbox<Value>>();
  // Checked where it runs: gtest takes expectations from any thread.
  auto callback = [&accessor, calls, others, own_id, other_id, source, other, ticks](unsigned long long id,
                                                                                       zu::CValue v) {
    // Tick 2 is notified while tick 1, which came with this notification,
    // still waits for its callback: it must not overtake it.
    accessor.setChannelCValue(ticks, zu::CValue(2));
    EXPECT_EQ(accessor.getChannelCValue(source), zu::CValue(5));
    EXPECT_TRUE(accessor.subscribeChannel(other, Into(others), zu::sub::channel_value_written, other_id.get()));
    EXPECT_TRUE(accessor.unsubscribe(own_id->load()));
    calls->add({id, std::move(v)});
  };
  unsigned long long id = kNone;
  ASSERT_TRUE(inband.subscribeChannel(source, callback, zu::sub::channel_value_written, &id));
  own_id->store(id);
  unsigned long long ticks_id = kNone;
  ASSERT_TRUE(inband.subscribeChannel(ticks, Into(tick_values), zu::sub::channel_value_written, &ticks_id));

  // One write of both: their two notifications arrive together.
  zu::cds::CUpdateChannelValue both;
  both.values = {{source, zu::CValue(5)}, {ticks, zu::CValue(1)}};
  ASSERT_EQ(installation->objects->client.client->submit_wait(both)->status, zu::cds::status_ok);
  EXPECT_EQ(tick_values->wait_for(2), (std::vector<Value>{Value(ticks, zu::CValue(1)), Value(ticks, zu::CValue(2))}));
  EXPECT_EQ(calls->wait_for(1), std::vector<Value>{Value(source, zu::CValue(5))});

  // The subscription made in the callback works; the one it ended is silent.
  inband.setChannelCValue(source, zu::CValue(6));
  inband.setChannelCValue(other, zu::CValue(7));
  EXPECT_EQ(others->wait_for(1), std::vector<Value>{Value(other, zu::CValue(7))});
  EXPECT_EQ(calls->items().size(), 1u);
  EXPECT_TRUE(inband.unsubscribe(*other_id));
  EXPECT_TRUE(inband.unsubscribe(ticks_id));
}

// Slow callbacks that count the calls running, and those starting once their
// subscription ended (`gone`).
struct SlowCalls {
  std::atomic<int> running{0}, calls{0}, late{0};
  std::atomic<bool> gone{false};
  int running_at_end = -1;
  static cdsapi::InBandAccessor::ValueCallback Callback(std::shared_ptr<SlowCalls> counters) {
    return [counters](unsigned long long, zu::CValue) {
      counters->running.fetch_add(1);
      if (counters->gone.load()) counters->late.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // widens the window for a racing end
      counters->calls.fetch_add(1);
      counters->running.fetch_sub(1);
    };
  }
  void WaitForSome() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (calls.load() < 5 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_GE(calls.load(), 5);
  }
  // Called once the end of the subscription has returned.
  void Ended() {
    running_at_end = running.load();
    gone.store(true);
  }
};

// While a writer keeps both busy with slow callbacks, unsubscribe (on the
// event thread's registry) and the destructor of a handler (on a loop of its
// own) return only once no callback of theirs runs, and none starts afterwards.
TEST_F(Subscriptions, NoCallbackRunsOnceUnsubscribeOrTheHandlersDestructionHasReturned) {
  unsigned long long device = NewDevice();
  unsigned long long busy = inband.createChannel(device, "busy", false);
  unsigned long long marker = inband.createChannel(device, "marker", false);
  boost::asio::io_context io;
  auto work = boost::asio::make_work_guard(io);
  std::thread loop([&io] { io.run(); });
  auto handler = std::make_unique<cdsapi::dataHandler>();
  handler->attach(&io);
  // Expectations only from here on: the threads must be joined whatever fails.

  auto unsubscribed = std::make_shared<SlowCalls>(), destroyed = std::make_shared<SlowCalls>();
  unsigned long long id = kNone, marker_id = kNone;
  EXPECT_TRUE(inband.subscribeChannel(busy, SlowCalls::Callback(unsubscribed), zu::sub::channel_value_written, &id));
  EXPECT_TRUE(handler->registerSubscription(std::vector<unsigned long long>{busy}, SlowCalls::Callback(destroyed),
                                            zu::sub::channel_value_written, nullptr));
  auto markers = std::make_shared<Inbox<Value>>();
  EXPECT_TRUE(inband.subscribeChannel(marker, Into(markers), zu::sub::channel_value_written, &marker_id));

  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop.load(); ++i) installation->objects->inband.setChannelCValue(busy, zu::CValue(i));
  });
  unsubscribed->WaitForSome();
  destroyed->WaitForSome();
  EXPECT_TRUE(inband.unsubscribe(id));
  unsubscribed->Ended();
  handler.reset();
  destroyed->Ended();
  // Let the writer go on a little, then flush the event thread with a marker
  // and the other loop with a task of its own (what it still had queued for
  // the handler runs, and does nothing, first).
  const int before = unsubscribed->calls.load();
  for (int i = 0; i < 20; ++i) inband.setChannelCValue(busy, zu::CValue(-i));
  stop.store(true);
  writer.join();
  inband.setChannelCValue(marker, zu::CValue(1));
  EXPECT_EQ(markers->wait_for(1).size(), 1u);
  std::promise<void> flushed;
  boost::asio::post(io, [&flushed] { flushed.set_value(); });
  EXPECT_EQ(flushed.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  io.stop();
  loop.join();

  for (auto* counters : {unsubscribed.get(), destroyed.get()}) {
    EXPECT_EQ(counters->running_at_end, 0);
    EXPECT_EQ(counters->late.load(), 0);
  }
  EXPECT_EQ(unsubscribed->calls.load(), before);
  EXPECT_TRUE(inband.unsubscribe(marker_id));
}

// An application may run the loop on a thread of its own, over a handler and
// server core it puts into cdsapi::args.
TEST_F(Subscriptions, AnApplicationThreadRunningEventCDSDeliversUntilShutDown) {
  unsigned long long channel = inband.createChannel(NewDevice(), "own-thread", false);
  auto handler = std::make_shared<cdsapi::dataHandler>();
  auto server = std::make_shared<cdsapi::dataServerCore>();
  cdsapi::args.handler = handler;
  cdsapi::args.server = server;
  auto inbox = std::make_shared<Inbox<Value>>();
  unsigned long long id = kNone;
  ASSERT_TRUE(handler->registerSubscription(std::vector<unsigned long long>{channel}, Into(inbox),
                                            zu::sub::channel_value_written, &id));

  zu::testing::CapturedStream out(std::cout);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, &cdsapi::eventCDS, nullptr), 0);
  pthread_setname_np(thread, "app-events");
  inband.setChannelCValue(channel, zu::CValue(9));
  auto got = inbox->wait_for(1);
  server->shutdown();
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], Value(channel, zu::CValue(9)));
  EXPECT_NE(inbox->threads()[0], "Event CDS");
  EXPECT_EQ(out.text(), "Thread \"Event CDS\" launched\nThread \"Event CDS\" stopped\n");
  EXPECT_TRUE(handler->unregisterSubscription(id));
  cdsapi::args = cdsapi::arg_struct();
}

// ---- failures

// A reservation refused or answered without an id stores nothing, sends no
// subscribe and leaves the caller's id alone.
TEST_F(Subscriptions, AnUnusableReservationStoresNothingAndSendsNoSubscribe) {
  unsigned long long channel = inband.createChannel(NewDevice(), "unreserved", false);
  using Ids = zu::cds::CManageSubscriberIDs;
  auto no_ids = [](zu::cds::CRequestResponse& r) { dynamic_cast<Ids&>(r).reserved_ids.clear(); };
  for (bool refused : {true, false}) {
    SCOPED_TRACE(refused ? "refused" : "no id in the answer");
    const std::size_t table = registry().subscriptionCount();
    faults().clear_requests();
    if (refused)
      faults().fail_with_status("CManageSubscriberIDs", zu::cds::status_refused, 1);
    else
      faults().edit_response("CManageSubscriberIDs", no_ids, 1);
    unsigned long long id = 12345;
    EXPECT_FALSE(inband.subscribeChannel(channel, [](unsigned long long, zu::CValue) {},
                                         zu::sub::channel_value_written, &id));
    EXPECT_EQ(id, 12345u);
    EXPECT_EQ(faults().count("CSubscribe"), 0u);
    EXPECT_EQ(registry().subscriptionCount(), table);
  }
}

// Of several reserved ids the last is taken. A refused subscribe answers
// false but hands out its id; where the store did subscribe and only its
// answer is a refusal, the callback stays until the id is released. An id the
// table holds already keeps its first callback, and so does one whose release
// failed.
TEST_F(Subscriptions, TheTableTakesTheLastReservedIdAndKeepsAnIdsFirstCallbackUntilReleased) {
  unsigned long long channel = inband.createChannel(NewDevice(), "reserved", false);
  unsigned long long reserved = kNone;
  faults().edit_response(
      "CManageSubscriberIDs",
      [&reserved](zu::cds::CRequestResponse& r) {
        auto& ids = dynamic_cast<zu::cds::CManageSubscriberIDs&>(r).reserved_ids;
        reserved = ids.back();
        ids.insert(ids.begin(), reserved + 1000000);
      },
      1);
  faults().fail_with_status("CSubscribe", zu::cds::status_refused, 1);
  auto first = std::make_shared<Inbox<Value>>();
  auto second = std::make_shared<Inbox<Value>>();
  unsigned long long id = kNone, again = kNone;
  const std::size_t table = registry().subscriptionCount();
  EXPECT_FALSE(inband.subscribeChannel(channel, Into(first), zu::sub::channel_value_written, &id));
  EXPECT_EQ(id, reserved);
  EXPECT_EQ(registry().subscriptionCount(), table + 1);

  faults().edit_response(
      "CManageSubscriberIDs",
      [id](zu::cds::CRequestResponse& r) { dynamic_cast<zu::cds::CManageSubscriberIDs&>(r).reserved_ids = {id}; }, 1);
  inband.subscribeChannel(channel, Into(second), zu::sub::channel_value_written, &again);
  EXPECT_EQ(again, id);
  EXPECT_EQ(registry().subscriptionCount(), table + 1);

  // A release the store never sees fails, and the store so keeps notifying the id.
  faults().respond_with_other_class("CManageSubscriberIDs", 1);
  EXPECT_FALSE(inband.unsubscribe(id));
  inband.setChannelCValue(channel, zu::CValue(3));
  EXPECT_EQ(first->wait_for(1), std::vector<Value>{Value(channel, zu::CValue(3))});
  EXPECT_TRUE(second->items().empty());

  EXPECT_TRUE(inband.unsubscribe(id));
  EXPECT_EQ(registry().subscriptionCount(), table);
}

// Only a notification for an id in the table calls back.
TEST_F(Subscriptions, NotificationsWithoutAKnownIdOrCarryingANoticeCallNothingBack) {
  unsigned long long channel = inband.createChannel(NewDevice(), "dropped", false);
  auto inbox = std::make_shared<Inbox<Value>>();
  unsigned long long id = kNone;
  ASSERT_TRUE(inband.subscribeChannel(channel, Into(inbox), zu::sub::channel_value_written, &id));

  auto notification = [&](unsigned long long subscription) {
    auto n = std::make_shared<zu::cds::CSubscriberNotify>();
    n->kind = 2;
    n->subscription_id = subscription;
    n->type = zu::sub::channel_value_written;
    n->values[channel] = zu::CValue(42);
    return n;
  };
  cdsapi::dataHandler& handler = registry();
  EXPECT_FALSE(handler.handleSubscriptions(notification(id + 1000000)));
  handler.handle_response(nullptr);
  {
    // The store's notice of dropped updates calls nothing back and is reported
    // on standard error. With cdsd, notifications reach the event thread
    // through a socket, which gives the sanitizer no ordering with this
    // thread's switch of std::cerr: the report is checked with the store in
    // this process only.
    std::unique_ptr<zu::testing::CapturedStream> err;
    if (!zu::testing::EmbeddedStore::daemon_mode()) err = std::make_unique<zu::testing::CapturedStream>(std::cerr);
    auto notice = notification(id);
    notice->status = zu::cds::status_no_queue;
    notice->message = "3 alarm updates were dropped";
    handler.handle_response(notice);
    if (err) {
      EXPECT_NE(err->text().find("cdsapi: subscription " + std::to_string(id) + ": 3 alarm updates were dropped"),
                std::string::npos)
          << err->text();
    }
  }
  EXPECT_TRUE(inbox->items().empty());
  handler.handle_response(notification(id));
  EXPECT_EQ(inbox->items(), std::vector<Value>{Value(channel, zu::CValue(42))});
  EXPECT_TRUE(inband.unsubscribe(id));
}

// ---- the process

// subscriptions_child run with `scenario`: its exit status (-1: a signal, or
// still running after 60 s) and its standard output.
std::pair<int, std::string> RunChild(const std::string& scenario) {
  std::vector<std::string> command = zu::testing::child_command(CDS_SUBSCRIPTIONS_CHILD);
  command.push_back(scenario);
  zu::testing::ChildProcess child(command);
  const int status = child.finish();
  return {status, child.out()};
}

// Each scenario ends with status 0, one event thread and one line announcing
// it; the first also shows that the retry's callback came. The event thread
// keeps the nice value it was made with, and has a short time slice where
// the kernel has them.
TEST(SubscriptionsProcess, FirstSubscriptionsAndExitWithLiveSubscriptions) {
  const struct {
    const char* scenario;
    const char* shows;
  } cases[] = {
      {"login-retry", "first: cds_login: "},  // throws, and the next one tries again
      {"return", "event threads: 1\n"},
      {"exit-in-callback", "event threads: 1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    const auto [status, out] = RunChild(c.scenario);
    EXPECT_EQ(status, 0) << "exit status, -1 for a signal or no exit within 60 s: " << out;
    EXPECT_NE(out.find(c.shows), std::string::npos) << out;
    if (c.scenario[0] == 'l') {
      EXPECT_NE(out.find("callbacks: 1\nevent threads: 1\n"), std::string::npos) << out;
    }
    EXPECT_NE(out.find("event thread: nice kept, slice "), std::string::npos) << out;
    EXPECT_EQ(out.find("slice not short"), std::string::npos) << out;
    const std::string launched = "Thread \"Event CDS\" launched ...\n";
    EXPECT_NE(out.find(launched), std::string::npos) << out;
    EXPECT_EQ(out.find(launched), out.rfind(launched)) << out;
  }
}

}  // namespace
