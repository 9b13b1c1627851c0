#include "cdsapi/dataHandler.h"

#include <iostream>
#include <optional>

#include "cdsapi/DataAlarms.h"
#include "common/Response.h"

namespace cdsapi {

using detail::response_as;
using detail::successful;

namespace {
constexpr std::uint32_t kFrameLimit = 4194304;
constexpr std::uint32_t kKeepAliveSeconds = 60;
}  // namespace

// ---- SubscriptionCallback ----

dataHandler::SubscriptionCallback::SubscriptionCallback(OobCallback callback)
    : kind(0), oobCallback(std::move(callback)) {}
dataHandler::SubscriptionCallback::SubscriptionCallback(ChannelCallback callback)
    : kind(1), channelCallback(std::move(callback)) {}
dataHandler::SubscriptionCallback::SubscriptionCallback(AlarmCallback callback)
    : kind(2), alarmCallback(std::move(callback)) {}
dataHandler::SubscriptionCallback::SubscriptionCallback(AlarmUpdateCallback callback)
    : kind(3), alarmUpdateCallback(std::move(callback)) {}
dataHandler::SubscriptionCallback::SubscriptionCallback(DeviceCallback callback)
    : kind(4), deviceCallback(std::move(callback)) {}

void dataHandler::SubscriptionCallback::call(std::shared_ptr<zu::cds::CSubscriberNotify> n) {
  switch (kind) {
    case 0: callOobCallback(n); break;
    case 1: callChannelCallback(n); break;
    case 2: callAlarmCallback(n); break;
    case 3: callAlarmUpdateCallback(n); break;
    case 4: callDeviceCallback(n); break;
    default: break;
  }
}

void dataHandler::SubscriptionCallback::callOobCallback(std::shared_ptr<zu::cds::CSubscriberNotify> n) {
  for (const std::string& path : n->paths) oobCallback(path);
}

void dataHandler::SubscriptionCallback::callChannelCallback(std::shared_ptr<zu::cds::CSubscriberNotify> n) {
  switch (n->type) {
    case zu::sub::channel_value_changed:
    case zu::sub::channel_value_written:
      for (const auto& [id, value] : n->values) channelCallback(id, value);
      break;
    case zu::sub::channel_settings:
      for (std::uint64_t id : n->numbers_2) channelCallback(id, zu::CValue());
      break;
    case zu::sub::channel_alarm_config:
      for (std::uint64_t id : n->numbers_5) channelCallback(id, zu::CValue());
      break;
    default:
      break;
  }
}

void dataHandler::SubscriptionCallback::callAlarmCallback(std::shared_ptr<zu::cds::CSubscriberNotify> n) {
  for (const zu::CAlarmUpdate* update : zu::in_instance_order(n->alarm_updates)) {
    const AlarmInfos infos(*update);  // built afresh for each call
    alarmCallback(infos);
  }
}

void dataHandler::SubscriptionCallback::callAlarmUpdateCallback(std::shared_ptr<zu::cds::CSubscriberNotify> n) {
  for (const zu::CAlarmUpdate* update : zu::in_instance_order(n->alarm_updates)) alarmUpdateCallback(*update);
}

void dataHandler::SubscriptionCallback::callDeviceCallback(std::shared_ptr<zu::cds::CSubscriberNotify> n) {
  switch (n->type) {
    case zu::sub::device_record:
    case zu::sub::device_channels:
      for (std::uint64_t id : n->device_ids) deviceCallback(id);
      break;
    case zu::sub::device_tree:
      for (std::uint64_t id : n->device_ids_14) deviceCallback(id);
      break;
    default:
      break;
  }
}

// ---- dataHandler ----

dataHandler::dataHandler() : zu::asio::CCdsHandler("example_data_sub", kKeepAliveSeconds, kFrameLimit, kFrameLimit) {
  cds_login();
}

// No callback may run while the table goes.
dataHandler::~dataHandler() { end_callbacks(); }

bool dataHandler::subscribe(zu::cds::CSubscribe request) {
  return successful<zu::cds::CSubscribe>(submit_wait(request)) != nullptr;
}

void dataHandler::handle_response(std::shared_ptr<zu::cds::CRequestResponse> message) {
  if (!message || message->kind != 2) return;
  auto notification = std::dynamic_pointer_cast<zu::cds::CSubscriberNotify>(message);
  if (!notification || notification->subscription_id == zu::kNoId) return;
  if (notification->status == zu::cds::status_no_queue) {
    // The store dropped updates this subscription should have had; no
    // callback shape can carry that, so the application hears it here.
    std::cerr << "cdsapi: subscription " << notification->subscription_id << ": " << notification->message
              << std::endl;
    return;
  }
  handleSubscriptions(notification);
}

bool dataHandler::handleSubscriptions(std::shared_ptr<zu::cds::CSubscriberNotify> notification) {
  const unsigned long long id = notification->subscription_id;
  std::optional<SubscriptionCallback> callback;  // a copy: the callback may release its own entry
  {
    std::lock_guard<std::mutex> lock(table_mutex_);
    auto it = subscriptions.find(id);
    if (it == subscriptions.end()) return false;
    callback.emplace(it->second);
    dispatching_ = id;
    dispatch_thread_ = std::this_thread::get_id();
  }
  struct DispatchEnd {
    dataHandler* self;
    ~DispatchEnd() {
      {
        std::lock_guard<std::mutex> lock(self->table_mutex_);
        self->dispatching_ = zu::kNoId;
      }
      self->dispatch_done_.notify_all();
    }
  } end{this};
  callback->call(notification);  // a callback's exception propagates to the loop
  return true;
}

unsigned long long dataHandler::addSubscription(SubscriptionCallback& callback) {
  zu::cds::CManageSubscriberIDs request;
  request.op = 1;
  auto response = successful<zu::cds::CManageSubscriberIDs>(submit_wait(request));
  if (!response || response->reserved_ids.empty()) return zu::kNoId;
  unsigned long long id = response->reserved_ids.back();
  std::lock_guard<std::mutex> lock(table_mutex_);
  subscriptions.emplace(id, callback);  // an id already present keeps its callback
  return id;
}

bool dataHandler::unregisterSubscription(unsigned long long id) {
  if (id == zu::kNoId) return false;
  zu::cds::CManageSubscriberIDs request;
  request.op = 0;
  request.release_ids = {id};
  if (!successful<zu::cds::CManageSubscriberIDs>(submit_wait(request))) return false;
  std::unique_lock<std::mutex> lock(table_mutex_);
  bool removed = subscriptions.erase(id) > 0;
  // A notification of this id being delivered right now finishes before we
  // return, unless we are that delivery (a callback unsubscribing itself).
  if (dispatch_thread_ != std::this_thread::get_id())
    dispatch_done_.wait(lock, [&] { return dispatching_ != id; });
  return removed;
}

std::size_t dataHandler::subscriptionCount() const {
  std::lock_guard<std::mutex> lock(table_mutex_);
  return subscriptions.size();
}

bool dataHandler::registerKeys(const std::vector<unsigned long long>* ids, const std::vector<std::string>* paths,
                               SubscriptionCallback callback, zu::sub::subscription_type type, bool flag,
                               unsigned long long* id_out) {
  unsigned long long id = addSubscription(callback);
  if (id == zu::kNoId) return false;
  if (id_out) *id_out = id;
  zu::cds::CSubscribe request;
  if (ids) {
    for (unsigned long long key : *ids) request.subscriptions.push_back({id, type, key, std::string(), flag, false});
  } else {
    for (const std::string& path : *paths) request.subscriptions.push_back({id, type, zu::kNoId, path, flag, false});
  }
  return subscribe(std::move(request));
}

bool dataHandler::registerSubscription(const std::vector<unsigned long long>& channel_ids,
                                       SubscriptionCallback::ChannelCallback callback,
                                       zu::sub::subscription_type type, unsigned long long* id_out) {
  return registerSubscription(channel_ids, std::move(callback), type, false, id_out);
}

bool dataHandler::registerSubscription(const std::vector<std::string>& paths,
                                       SubscriptionCallback::OobCallback callback, unsigned long long* id_out) {
  return registerSubscription(paths, std::move(callback), zu::sub::oob_path, false, id_out);
}

bool dataHandler::registerSubscription(const std::vector<unsigned long long>& device_ids,
                                       SubscriptionCallback::AlarmCallback callback, unsigned long long* id_out) {
  return registerSubscription(device_ids, std::move(callback), zu::sub::device_alarms, true, id_out);
}

bool dataHandler::registerSubscription(const std::vector<unsigned long long>& device_ids,
                                       SubscriptionCallback::AlarmUpdateCallback callback,
                                       unsigned long long* id_out) {
  return registerSubscription(device_ids, std::move(callback), zu::sub::device_alarms, true, id_out);
}

bool dataHandler::registerSubscription(const std::vector<unsigned long long>& device_ids,
                                       SubscriptionCallback::DeviceCallback callback,
                                       zu::sub::subscription_type type, bool flag, unsigned long long* id_out) {
  return registerSubscription<unsigned long long>(device_ids, std::move(callback), type, flag, id_out);
}

bool dataHandler::registerSubscription(const std::vector<unsigned long long>& device_ids,
                                       SubscriptionCallback::DeviceCallback callback, unsigned long long* id_out) {
  return registerSubscription(device_ids, std::move(callback), zu::sub::device_tree, true, id_out);
}

}  // namespace cdsapi
