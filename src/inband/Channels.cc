// Channel operations of InBandAccessor.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "cdsapi/InBandAccessor.h"
#include "common/Response.h"
#include "common/Text.h"
#include "zu/cds/CClient.h"

namespace cdsapi {

using detail::response_as;
using detail::successful;
using detail::c_text;
using detail::with_id;

namespace {

// Sends the settings as they are; the store's answer is not examined.
void update_settings(dataClient& client, const zu::CChannelSettings& settings) {
  zu::cds::CUpdateChannelSettings request;
  request.settings.push_back(settings);
  client.client->submit_wait(request);
}

bool has_settings_flag(const zu::CChannelSettings& s) { return (s.flags & zu::CChannelSettings::kSettingsFlag) != 0; }

}  // namespace

unsigned long long InBandAccessor::createChannel(unsigned long long device_id, std::string name, bool settings_flag,
                                                 bool create_flag) {
  zu::cds::CCreateChannel request;
  request.requests.push_back({device_id, name, create_flag, zu::kNoId});
  request.legacy = false;
  auto response = response_as<zu::cds::CCreateChannel>(client.client->submit_wait(request));
  if (!response || response->status != zu::cds::status_ok || response->channels.size() != 1) {
    std::string status = response ? response->get_status_text() : "no response";
    unsigned count = response ? static_cast<unsigned>(response->channels.size()) : 0U;
    throw std::invalid_argument("Can't create channel " + name + " : " + status + " [" + std::to_string(count) + "]");
  }
  const zu::CChannel& created = response->channels.front();
  if (settings_flag) {
    zu::CChannelSettings settings = *created.settings();
    settings.flags |= zu::CChannelSettings::kSettingsFlag;
    update_settings(client, settings);
  }
  return created.settings()->id;
}

unsigned long long InBandAccessor::createChannel(unsigned long long device_id, std::string name, bool settings_flag) {
  return createChannel(device_id, std::move(name), settings_flag, true);
}

unsigned long long InBandAccessor::emplaceChannel(unsigned long long device_id, const std::string& name,
                                                  bool settings_flag, bool create_flag) {
  try {
    zu::CChannel channel = getChannel(device_id, name);
    zu::CChannelSettings settings = *channel.settings();
    if (has_settings_flag(settings) == settings_flag) return settings.id;
    if (settings_flag) settings.flags |= zu::CChannelSettings::kSettingsFlag;
    else settings.flags &= static_cast<std::uint8_t>(~zu::CChannelSettings::kSettingsFlag);
    update_settings(client, settings);
    return settings.id;
  } catch (const std::invalid_argument&) {
    return createChannel(device_id, name, settings_flag, create_flag);
  }
}

unsigned long long InBandAccessor::emplaceChannel(unsigned long long device_id, const std::string& name,
                                                  bool settings_flag) {
  return emplaceChannel(device_id, name, settings_flag, true);
}

zu::CChannel InBandAccessor::getChannel(unsigned long long channel_id) {
  zu::cds::CGetChannel request;
  request.ids = {channel_id};
  request.device_id = zu::kNoId;
  auto response = successful<zu::cds::CGetChannel>(client.client->submit_wait(request));
  if (!response || response->results.size() != 1) throw std::runtime_error("Failed to get channel");
  return response->results.front().channel;
}

zu::CChannel InBandAccessor::getChannel(unsigned long long device_id, const std::string& name) {
  zu::cds::CGetChannel request;
  request.device_id = device_id;
  request.names = {name};
  auto response = successful<zu::cds::CGetChannel>(client.client->submit_wait(request));
  if (!response || response->results.size() != 1)
    throw std::invalid_argument("Unknown channel " + name + " for device " + std::to_string(device_id));
  return response->results.front().channel;
}

unsigned long long InBandAccessor::getChannelId(unsigned long long device_id, const std::string& name) {
  return getChannel(device_id, name).settings()->id;
}

unsigned long long InBandAccessor::getCatchedChannelId(unsigned long long device_id, const std::string& name) {
  try {
    return getChannelId(device_id, name);
  } catch (const std::invalid_argument&) {
    return zu::kNoId;
  }
}

std::uint8_t InBandAccessor::getChannelTypeByName(unsigned long long device_id, const std::string& name) {
  unsigned long long id = getCatchedChannelId(device_id, name);
  return id == zu::kNoId ? static_cast<std::uint8_t>(zu::type_none) : getChannelDataType(id);
}

std::vector<unsigned long long> InBandAccessor::getDeviceChannelIds(unsigned long long device_id) {
  std::vector<unsigned long long> ids;
  zu::CDevice device;
  try {
    device = getDevice(device_id);
  } catch (const std::exception&) {
    return ids;
  }
  try {
    for (unsigned long long id : device.channels) ids.push_back(id);
  } catch (const std::exception&) {
    // What was gathered before the failure is still an answer.
  }
  return ids;
}

void InBandAccessor::removeChannels(const std::vector<unsigned long long>& ids) {
  zu::cds::CDeleteChannel request;
  request.ids.assign(ids.begin(), ids.end());
  if (!successful<zu::cds::CDeleteChannel>(client.client->submit_wait(request)))
    throw std::invalid_argument("Can't remove channels");
}

void InBandAccessor::removeChannel(unsigned long long channel_id) {
  try {
    removeChannels(std::vector<unsigned long long>{channel_id});
  } catch (const std::exception&) {
    throw std::invalid_argument(with_id("Can't remove channel ", channel_id));
  }
}

void InBandAccessor::removeChannel(unsigned long long device_id, const std::string& name) {
  removeChannel(getChannelId(device_id, name));
}

void InBandAccessor::removeAllChannelsExcept(unsigned long long device_id, const std::vector<unsigned long long>& keep) {
  std::vector<unsigned long long> doomed;
  for (unsigned long long id : getDeviceChannelIds(device_id)) {
    if (std::find(keep.begin(), keep.end(), id) == keep.end()) doomed.push_back(id);
  }
  removeChannels(doomed);
}

bool InBandAccessor::setChannelDescription(unsigned long long channel_id, const std::string& description) {
  try {
    zu::CChannelSettings settings = *getChannel(channel_id).settings();
    settings.description = c_text(description);
    update_settings(client, settings);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool InBandAccessor::setChannelUnits(unsigned long long channel_id, const std::string& units) {
  try {
    zu::CChannelSettings settings = *getChannel(channel_id).settings();
    settings.units = c_text(units);
    update_settings(client, settings);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool InBandAccessor::setChannelMultistateMap(unsigned long long channel_id, const zu::CMultistateMap& map) {
  try {
    zu::CChannelSettings settings = *getChannel(channel_id).settings();
    settings.multistate = map;
    update_settings(client, settings);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace cdsapi
