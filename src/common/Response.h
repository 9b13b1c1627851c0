#pragma once
// The one way the library judges a response (the class it sent, and status 1),
// and the requests several families fill alike.
#include <memory>
#include <string>

#include "zu/CWallTime.h"
#include "zu/cds/Records.h"

namespace cdsapi {
namespace detail {

// The response as a T, or nullptr when there is none or it is of another class.
template <typename T>
std::shared_ptr<T> response_as(const std::shared_ptr<zu::cds::CRequestResponse>& response) {
  return std::dynamic_pointer_cast<T>(response);
}

// The response as a T when it is one and its status is exactly 1; else nullptr.
template <typename T>
std::shared_ptr<T> successful(const std::shared_ptr<zu::cds::CRequestResponse>& response) {
  auto typed = std::dynamic_pointer_cast<T>(response);
  return typed && typed->status == zu::cds::status_ok ? typed : nullptr;
}

// A write of one channel value, stamped now.
inline zu::cds::CUpdateChannelValue value_write(unsigned long long channel_id, const zu::CValue& value) {
  zu::cds::CUpdateChannelValue request;
  zu::cds::CUpdateSingleChannelValue entry;
  entry.channel_id = channel_id;
  entry.value = value;
  request.values.push_back(entry);
  request.time = zu::CWallTime::now();
  return request;
}

// Message text followed by an id in decimal.
inline std::string with_id(const char* text, unsigned long long id) { return text + std::to_string(id); }

}  // namespace detail
}  // namespace cdsapi
