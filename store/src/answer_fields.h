#pragma once
// What an answer carries: an answer starts as a copy of its request, and
// these drop the request's inputs from it, so that an answer holds what the
// response needs and nothing of the request's size (a thousand channel
// requests are not sent back with the thousand channels created).
// Containers the store answers in place (named fields, devices and settings
// that are written back as stored) are kept: their handlers refill them. A
// value write's answer is not copied with its values at all (below).
#include "zu/cds/Records.h"

namespace cds {
namespace store {
namespace detail {

inline void drop_request_inputs(zu::cds::CRequestResponse&) {}
inline void drop_request_inputs(zu::cds::CGetDevice& r) { r.ids.clear(); }
inline void drop_request_inputs(zu::cds::CUpdateDevice& r) { r.values.clear(); }
inline void drop_request_inputs(zu::cds::CDeleteDevice& r) { r.ids.clear(); }
inline void drop_request_inputs(zu::cds::CCreateChannel& r) { r.requests.clear(); }
inline void drop_request_inputs(zu::cds::CGetChannel& r) {
  r.ids.clear();
  r.names.clear();
}
inline void drop_request_inputs(zu::cds::CDeleteChannel& r) { r.ids.clear(); }
inline void drop_request_inputs(zu::cds::CGetChannelValue& r) { r.ids.clear(); }
inline void drop_request_inputs(zu::cds::CGetChannelSettings& r) { r.ids.clear(); }
inline void drop_request_inputs(zu::cds::CUpdateChannelSettings& r) { r.values.clear(); }
inline void drop_request_inputs(zu::cds::CGetAlarmConfig& r) {
  r.channel_ids.clear();
  r.device_ids.clear();
}
inline void drop_request_inputs(zu::cds::CSetAlarmConfig& r) { r.values.clear(); }
inline void drop_request_inputs(zu::cds::CSetChannelState& r) { r.states.clear(); }
inline void drop_request_inputs(zu::cds::CSetDeviceState& r) { r.states.clear(); }
inline void drop_request_inputs(zu::cds::CGetOOBData& r) { r.paths.clear(); }
inline void drop_request_inputs(zu::cds::CSetOOBData& r) { r.units.clear(); }
inline void drop_request_inputs(zu::cds::CGetAlarms& r) {
  r.ids.clear();
  r.alarm_ids.clear();
  r.filter_text.clear();
}
inline void drop_request_inputs(zu::cds::CDeleteAlarms& r) {
  r.alarm_ids.clear();
  r.device_ids.clear();
}
inline void drop_request_inputs(zu::cds::CSubscribe& r) { r.subscriptions.clear(); }
inline void drop_request_inputs(zu::cds::CManageSubscriberIDs& r) {
  r.release_ids.clear();
  r.other_ids.clear();
}

// The start of an answer: a copy of the request without its inputs.
template <typename R>
std::shared_ptr<R> copy_without_inputs(const R& request) {
  auto response = std::static_pointer_cast<R>(request.clone());
  drop_request_inputs(*response);
  return response;
}
// A value write, the request made most often, is not copied with its values
// only to drop them.
inline std::shared_ptr<zu::cds::CUpdateChannelValue> copy_without_inputs(const zu::cds::CUpdateChannelValue& request) {
  auto response = std::make_shared<zu::cds::CUpdateChannelValue>();
  static_cast<zu::cds::CRequestResponse&>(*response) = request;
  response->time = request.time;
  response->flag = request.flag;
  return response;
}

}  // namespace detail
}  // namespace store
}  // namespace cds
