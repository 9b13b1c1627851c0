#pragma once
// The subscription registry and the event thread that delivers notifications.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "zu/CAlarm.h"
#include "zu/CValue.h"
#include "zu/asio/CCdsHandler.h"
#include "zu/asio/CServerCore.h"
#include "zu/cds/Records.h"

namespace cdsapi {

class AlarmInfos;

// The library's handler towards the data store ("example_data_sub") and its
// table of subscription callbacks, keyed by subscription id.
//
// Thread safety: the registry operations run on callers' threads and block on
// the data store; handle_response and the callbacks run on the event thread.
// The table is guarded by a mutex that is never held while a callback runs,
// so a callback may subscribe, unsubscribe or call the library. Once
// unregisterSubscription has returned true, the callback of that id does not
// run again (a call already running on the event thread is waited for, except
// when the event thread itself unregisters). Destroying the handler likewise
// waits for a callback running on the event thread, and none runs after; it
// must not be destroyed from inside one of its own callbacks.
class dataHandler : public zu::asio::CCdsHandler {
 public:
  // One of five callback shapes, chosen by what is watched.
  class SubscriptionCallback {
   public:
    using OobCallback = std::function<void(std::string)>;
    using ChannelCallback = std::function<void(unsigned long long, zu::CValue)>;
    using AlarmCallback = std::function<void(const AlarmInfos&)>;
    using AlarmUpdateCallback = std::function<void(const zu::CAlarmUpdate&)>;
    using DeviceCallback = std::function<void(unsigned long long)>;

    explicit SubscriptionCallback(OobCallback callback);
    explicit SubscriptionCallback(ChannelCallback callback);
    explicit SubscriptionCallback(AlarmCallback callback);
    explicit SubscriptionCallback(AlarmUpdateCallback callback);
    explicit SubscriptionCallback(DeviceCallback callback);

    // Calls the callback once per entry of the notification's container for
    // this kind; an empty callback raises std::bad_function_call.
    void call(std::shared_ptr<zu::cds::CSubscriberNotify> notification);
    void callOobCallback(std::shared_ptr<zu::cds::CSubscriberNotify> notification);
    void callChannelCallback(std::shared_ptr<zu::cds::CSubscriberNotify> notification);
    void callAlarmCallback(std::shared_ptr<zu::cds::CSubscriberNotify> notification);
    void callAlarmUpdateCallback(std::shared_ptr<zu::cds::CSubscriberNotify> notification);
    void callDeviceCallback(std::shared_ptr<zu::cds::CSubscriberNotify> notification);

    std::uint8_t kind;  // 0 oob, 1 channel, 2 alarm (AlarmInfos), 3 alarm update, 4 device
    OobCallback oobCallback;
    ChannelCallback channelCallback;
    AlarmCallback alarmCallback;
    AlarmUpdateCallback alarmUpdateCallback;
    DeviceCallback deviceCallback;
  };

  // Registers the handler "example_data_sub" and logs in; throws when the
  // data store cannot be reached.
  dataHandler();
  ~dataHandler() override;

  bool subscribe(zu::cds::CSubscribe request);
  void handle_response(std::shared_ptr<zu::cds::CRequestResponse> message) override;
  bool handleSubscriptions(std::shared_ptr<zu::cds::CSubscriberNotify> notification);
  // Reserves an id and stores the callback under it; all ones on failure.
  unsigned long long addSubscription(SubscriptionCallback& callback);
  bool unregisterSubscription(unsigned long long id);

  // Reserves an id, stores the callback, writes the id to `id_out` (when not
  // null) and subscribes every key with `type` and `flag`. False when no id
  // was reserved or the store refused; in the latter case the id stays
  // registered and the caller may release it with unregisterSubscription.
  template <typename Key, typename Callback>
  bool registerSubscription(const std::vector<Key>& keys, Callback callback, zu::sub::subscription_type type,
                            bool flag, unsigned long long* id_out);

  bool registerSubscription(const std::vector<unsigned long long>& channel_ids,
                            SubscriptionCallback::ChannelCallback callback, zu::sub::subscription_type type,
                            unsigned long long* id_out);
  bool registerSubscription(const std::vector<std::string>& paths, SubscriptionCallback::OobCallback callback,
                            unsigned long long* id_out);
  bool registerSubscription(const std::vector<unsigned long long>& device_ids,
                            SubscriptionCallback::AlarmCallback callback, unsigned long long* id_out);
  bool registerSubscription(const std::vector<unsigned long long>& device_ids,
                            SubscriptionCallback::AlarmUpdateCallback callback, unsigned long long* id_out);
  bool registerSubscription(const std::vector<unsigned long long>& device_ids,
                            SubscriptionCallback::DeviceCallback callback, zu::sub::subscription_type type,
                            bool flag, unsigned long long* id_out);
  bool registerSubscription(const std::vector<unsigned long long>& device_ids,
                            SubscriptionCallback::DeviceCallback callback, unsigned long long* id_out);

  // Number of callbacks in the table.
  std::size_t subscriptionCount() const;

 protected:
  std::unordered_map<unsigned long long, SubscriptionCallback> subscriptions;

 private:
  bool registerKeys(const std::vector<unsigned long long>* ids, const std::vector<std::string>* paths,
                    SubscriptionCallback callback, zu::sub::subscription_type type, bool flag,
                    unsigned long long* id_out);

  mutable std::mutex table_mutex_;
  std::condition_variable dispatch_done_;
  unsigned long long dispatching_ = ~0ULL;  // id whose callback runs now
  std::thread::id dispatch_thread_;
};

template <typename Key, typename Callback>
bool dataHandler::registerSubscription(const std::vector<Key>& keys, Callback callback,
                                       zu::sub::subscription_type type, bool flag, unsigned long long* id_out) {
  if constexpr (std::is_same_v<Key, std::string>) {
    return registerKeys(nullptr, &keys, SubscriptionCallback(std::move(callback)), type, flag, id_out);
  } else {
    std::vector<unsigned long long> ids(keys.begin(), keys.end());
    return registerKeys(&ids, nullptr, SubscriptionCallback(std::move(callback)), type, flag, id_out);
  }
}

// The framework's server core for the event thread; it adds nothing.
class dataServerCore : public zu::asio::CServerCore {
 public:
  void execute() override;
};

// The process-wide notification machinery: the handler, the server core and
// the thread "Event CDS" running the I/O loop over them. Created on first use
// (thread-safe); at process exit the loop is shut down and the thread joined.
class SubscriberSingleton {
 public:
  static SubscriberSingleton& instance();
  // The body of the event thread.
  void eventCDS();

  std::shared_ptr<dataHandler> handler;
  std::shared_ptr<dataServerCore> server;
  std::thread thread;

  ~SubscriberSingleton();
  SubscriberSingleton(const SubscriberSingleton&) = delete;
  SubscriberSingleton& operator=(const SubscriberSingleton&) = delete;

 private:
  SubscriberSingleton();
};

// The handler and server core an application's own event thread uses.
struct arg_struct {
  std::shared_ptr<zu::asio::CServerCore> server;
  std::shared_ptr<zu::asio::CCdsHandler> handler;
};
extern arg_struct args;

// POSIX-thread start routine running the I/O loop over `args`; ignores `arg`.
void* eventCDS(void* arg);

}  // namespace cdsapi
