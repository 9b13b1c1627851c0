// Subscription operations of InBandAccessor: thin forwards to the registry of
// the process-wide event thread.
#include "cdsapi/InBandAccessor.h"
#include "cdsapi/dataHandler.h"

namespace cdsapi {

bool InBandAccessor::subscribeMultipleChannels(const std::vector<unsigned long long>& channel_ids,
                                               ValueCallback callback, zu::sub::subscription_type type,
                                               unsigned long long* id) {
  return SubscriberSingleton::instance().handler->registerSubscription(
      channel_ids, dataHandler::SubscriptionCallback::ChannelCallback(std::move(callback)), type, id);
}

bool InBandAccessor::subscribeChannel(unsigned long long channel_id, ValueCallback callback,
                                      zu::sub::subscription_type type, unsigned long long* id) {
  return subscribeMultipleChannels(std::vector<unsigned long long>{channel_id}, std::move(callback), type, id);
}

bool InBandAccessor::subscribeDevice(unsigned long long device_id, DeviceCallback callback,
                                     zu::sub::subscription_type type, bool flag, unsigned long long* id) {
  return SubscriberSingleton::instance().handler->registerSubscription(
      std::vector<unsigned long long>{device_id}, dataHandler::SubscriptionCallback::DeviceCallback(std::move(callback)),
      type, flag, id);
}

bool InBandAccessor::subscribeDeviceAlarms(unsigned long long device_id, AlarmUpdateCallback callback,
                                           unsigned long long* id) {
  return subscribeMultipleDeviceAlarms(std::vector<unsigned long long>{device_id}, std::move(callback), id);
}

bool InBandAccessor::subscribeMultipleDeviceAlarms(std::vector<unsigned long long> device_ids,
                                                   AlarmUpdateCallback callback, unsigned long long* id) {
  std::shared_ptr<dataHandler> registry = SubscriberSingleton::instance().handler;
  return registry->registerSubscription(
      device_ids, dataHandler::SubscriptionCallback::AlarmUpdateCallback(std::move(callback)), id);
}

bool InBandAccessor::unsubscribe(unsigned long long subscription_id) {
  std::shared_ptr<dataHandler> registry = SubscriberSingleton::instance().handler;
  return registry->unregisterSubscription(subscription_id);
}

}  // namespace cdsapi
