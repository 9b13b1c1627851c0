// Channel value operations of InBandAccessor.
#include <stdexcept>

#include "cdsapi/InBandAccessor.h"
#include "common/Response.h"
#include "zu/cds/CClient.h"

namespace cdsapi {

using detail::response_as;
using detail::successful;
using detail::with_id;

zu::CValue InBandAccessor::getChannelCValue(unsigned long long channel_id) {
  zu::cds::CGetChannelValue request;
  request.ids = {channel_id};
  auto response = successful<zu::cds::CGetChannelValue>(client.client->submit_wait(request));
  if (!response || response->values.empty()) throw std::invalid_argument(with_id("Invalid channelId ", channel_id));
  return response->values.front().value;
}

std::vector<zu::CValue> InBandAccessor::getMultipleChannelValue(const std::vector<unsigned long long>& ids) {
  zu::cds::CGetChannelValue request;
  request.ids.assign(ids.begin(), ids.end());
  auto response = successful<zu::cds::CGetChannelValue>(client.client->submit_wait(request));
  if (!response || response->values.empty()) throw std::invalid_argument("Invalid channelId");
  std::vector<zu::CValue> values;
  values.reserve(response->values.size());
  for (const auto& entry : response->values) values.push_back(entry.value);
  return values;
}

bool InBandAccessor::isChannelValueInitialized(unsigned long long channel_id) {
  return getChannelCValue(channel_id).is_valid();
}

std::uint8_t InBandAccessor::getChannelCDataType(unsigned long long channel_id) {
  zu::cds::CGetChannelSettings request;
  request.ids = {channel_id};
  // The count decides here, not the status.
  auto response = response_as<zu::cds::CGetChannelSettings>(client.client->submit_wait(request));
  if (!response || response->settings.size() != 1)
    throw std::invalid_argument(with_id("Invalid channelId ", channel_id));
  return response->settings.front().data_type;
}

std::uint8_t InBandAccessor::getChannelDataType(unsigned long long channel_id) {
  return static_cast<std::uint8_t>(getChannelCDataType(channel_id) & 0xFF);
}

void InBandAccessor::setChannelCValue(unsigned long long channel_id, const zu::CValue& value) {
  zu::cds::CUpdateChannelValue request = detail::value_write(channel_id, value);
  client.client->submit_wait(request);
}

template <>
void InBandAccessor::setChannelValue<std::string>(unsigned long long channel_id, const std::string& text) {
  setChannelCValue(channel_id, zu::CValue(std::string(text)));
}

}  // namespace cdsapi
