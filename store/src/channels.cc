// Channels: their records, values and settings.
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "answer_size.h"
#include "store_data.h"

namespace cds {
namespace store {
namespace detail {

using zu::cds::status_exists;
using zu::cds::status_invalid;
using zu::cds::status_ok;
using zu::cds::status_refused;

namespace {

std::string channel_text(std::uint64_t id) { return "channel " + std::to_string(id); }

// The display text of a value: its multistate text when the channel has one.
std::string value_text(const ChannelNode& node) {
  const auto& states = node.channel.multistate();
  auto it = states.find(node.value);
  return it != states.end() ? it->second : node.value.as_string();
}

}  // namespace

void create_channel(StoreData& data, const zu::cds::CCreateChannel& request, zu::cds::CCreateChannel& response,
                    ChangeSet& changes) {
  response.channels.clear();
  std::vector<std::uint64_t> ids;
  ids.reserve(request.requests.size());
  std::unordered_set<std::uint64_t> planned;
  std::set<std::pair<std::uint64_t, std::string>> planned_names;
  auto taken = [&](std::uint64_t id) { return data.channels.count(id) != 0 || planned.count(id) != 0; };
  std::uint64_t next = data.channel_ids.next();
  for (const zu::cds::CCreateSingleChannel& wanted : request.requests) {
    const DeviceNode* device = data.device(wanted.device_id);
    if (!device) return refuse(response, status_refused, "unknown device " + std::to_string(wanted.device_id));
    if (wanted.name.empty()) return refuse(response, status_invalid, "a channel needs a name");
    if (device->channel_names.count(wanted.name) != 0 || !planned_names.emplace(wanted.device_id, wanted.name).second)
      return refuse(response, status_exists,
                    "channel \"" + wanted.name + "\" already exists on device " + std::to_string(wanted.device_id));
    std::uint64_t id = wanted.channel_id;
    if (id == zu::kNoId) {
      id = IdAllocator::next_free(next, taken);
      if (id == zu::kNoId) return refuse(response, status_refused, "no channel id left");
      next = id + 1;
    } else if (id == 0) {
      return refuse(response, status_invalid, "channel id 0 cannot be given");
    } else if (taken(id)) {
      return refuse(response, status_exists, channel_text(id) + " already exists");
    }
    planned.insert(id);
    ids.push_back(id);
  }
  // The answer lists every created channel: refuse what could not be
  // answered, before anything is created.
  AnswerBudget budget;
  for (const zu::cds::CCreateSingleChannel& wanted : request.requests) {
    zu::CChannel created;
    created.name = wanted.name;
    if (!budget.take_for(created))
      return refuse(response, zu::cds::status_too_big,
                    "the answer to " + std::to_string(request.requests.size()) + " channels would pass " +
                        std::to_string(kMaxAnswerBytes) + " bytes: create them in smaller requests");
  }

  for (std::size_t i = 0; i < ids.size(); ++i) {
    const zu::cds::CCreateSingleChannel& wanted = request.requests[i];
    std::uint64_t id = ids[i];
    ChannelNode node;
    node.channel.set_ids(id, wanted.device_id);
    node.channel.name = wanted.name;
    node.channel.create_flag = wanted.flag;
    response.channels.push_back(detached(node.channel));
    data.channels.emplace(id, std::move(node));
    DeviceNode& device = *data.device(wanted.device_id);
    device.channel_names.emplace(wanted.name, id);
    device.record.channels.insert(id);
    if (wanted.channel_id == zu::kNoId) data.channel_ids.advance_past(id);
    changes.channels_created[id] = wanted.device_id;
    changes.device_channels_changed.insert(wanted.device_id);
  }
  response.status = status_ok;
}

void get_channel(const StoreData& data, const zu::cds::CGetChannel& request, zu::cds::CGetChannel& response) {
  response.results.clear();
  AnswerBudget budget;
  bool cut = false;
  auto add = [&](std::uint64_t id) {
    const ChannelNode* node = data.channel(id);
    if (!node || cut) return;
    zu::cds::CChannelResult result;
    result.channel_id = id;
    result.channel = detached(node->channel);
    result.value = node->value;
    result.time = node->time;
    if (!budget.take_for(result)) {
      cut = true;
      return;
    }
    response.results.push_back(std::move(result));
  };

  if (!request.ids.empty()) {
    for (std::uint64_t id : request.ids) add(id);
  } else if (request.device_id != zu::kNoId) {
    const DeviceNode* device = data.device(request.device_id);
    if (!device) return refuse(response, status_refused, "unknown device " + std::to_string(request.device_id));
    if (request.names.empty()) {
      for (std::uint64_t id : device->record.channels) add(id);
    } else {
      for (const std::string& name : request.names) {
        auto it = device->channel_names.find(name);
        if (it != device->channel_names.end()) add(it->second);
      }
    }
  }
  if (cut) return flag_cut(response, response.results.size(), "channels");
  response.status = status_ok;
}

void delete_channel(StoreData& data, const zu::cds::CDeleteChannel& request, zu::cds::CDeleteChannel& response,
                    ChangeSet& changes) {
  for (std::uint64_t id : request.ids)
    if (!data.channel(id)) return refuse(response, status_refused, "unknown " + channel_text(id));

  for (std::uint64_t id : request.ids) {
    const ChannelNode* node = data.channel(id);
    if (!node) continue;  // named twice
    std::uint64_t device_id = node->channel.device_id;
    DeviceNode& device = *data.device(device_id);
    device.channel_names.erase(node->channel.name);
    device.record.channels.erase(id);
    data.channels.erase(id);
    changes.channels_removed[id] = device_id;
    changes.device_channels_changed.insert(device_id);
  }
  response.status = status_ok;
}

void get_channel_value(const StoreData& data, const zu::cds::CGetChannelValue& request,
                       zu::cds::CGetChannelValue& response) {
  response.values.clear();
  AnswerBudget budget;
  for (std::uint64_t id : request.ids) {
    const ChannelNode* node = data.channel(id);
    if (!node) continue;
    zu::cds::CChannelValueResult result;
    result.channel_id = id;
    result.value = node->value;
    result.text = value_text(*node);
    result.state = node->channel.state;
    result.time = node->time;
    if (!budget.take_for(result)) return flag_cut(response, response.values.size(), "values");
    response.values.push_back(std::move(result));
  }
  response.status = status_ok;
}

void update_channel_value(StoreData& data, const zu::cds::CUpdateChannelValue& request,
                          zu::cds::CUpdateChannelValue& response, ChangeSet& changes) {
  // Check every entry first. A first write fixes the channel's type for the
  // entries after it in the same request too.
  std::unordered_map<std::uint64_t, std::uint8_t> fixed_here;
  boost::container::small_vector<zu::CValue, 4> stored;  // most writes are of one value: no allocation
  stored.reserve(request.values.size());
  for (const zu::cds::CUpdateSingleChannelValue& entry : request.values) {
    const ChannelNode* node = data.channel(entry.channel_id);
    if (!node) return refuse(response, status_refused, "unknown " + channel_text(entry.channel_id));
    if (!entry.value.is_valid())
      return refuse(response, status_invalid, "no value given for " + channel_text(entry.channel_id));
    std::uint8_t type = node->channel.data_type;
    auto fixed = fixed_here.find(entry.channel_id);
    if (fixed != fixed_here.end()) type = fixed->second;
    if (type == zu::type_none) {
      fixed_here[entry.channel_id] = entry.value.type();
      stored.push_back(entry.value);
    } else if (auto converted = entry.value.convert_lossless(type)) {
      stored.push_back(std::move(*converted));
    } else {
      return refuse(response, status_refused,
                    std::string("a value of type ") + zu::type_name(entry.value.type()) + " does not fit " +
                        channel_text(entry.channel_id) + " of type " + zu::type_name(type));
    }
  }

  zu::CWallTime time = request.time.is_set() ? request.time : zu::CWallTime::now();
  for (std::size_t i = 0; i < stored.size(); ++i) {
    std::uint64_t id = request.values[i].channel_id;
    ChannelNode& node = *data.channel(id);
    if (node.channel.data_type == zu::type_none) {
      node.channel.data_type = stored[i].type();
      changes.channel_settings_changed.insert(id);
    }
    if (node.value != stored[i]) changes.values_changed.insert(id);
    node.value = stored[i];
    node.time = time;
    changes.values_written[id] = node.value;
  }
  response.status = status_ok;
}

void get_channel_settings(const StoreData& data, const zu::cds::CGetChannelSettings& request,
                          zu::cds::CGetChannelSettings& response) {
  response.settings.clear();
  AnswerBudget budget;
  for (std::uint64_t id : request.ids) {
    const ChannelNode* node = data.channel(id);
    if (!node) continue;
    zu::CChannelSettings settings = node->channel.settings();
    if (!budget.take_for(settings)) return flag_cut(response, response.settings.size(), "settings");
    response.settings.push_back(std::move(settings));
  }
  response.status = status_ok;
}

void update_channel_settings(StoreData& data, const zu::cds::CUpdateChannelSettings& request,
                             zu::cds::CUpdateChannelSettings& response, ChangeSet& changes) {
  response.settings.clear();
  for (const zu::CChannelSettings& given : request.settings)
    if (!data.channel(given.id)) return refuse(response, status_refused, "unknown " + channel_text(given.id));

  for (const zu::CChannelSettings& given : request.settings) {
    StoredChannel& channel = data.channel(given.id)->channel;
    const zu::CChannelSettings settings = channel.settings();
    // The id and the data type stay the store's.
    zu::CChannelSettings updated = given;
    updated.id = settings.id;
    updated.data_type = settings.data_type;
    if (!(updated == settings)) {
      channel.set_texts(updated);
      changes.channel_settings_changed.insert(given.id);
    }
  }
  for (const zu::CChannelSettings& given : request.settings)
    response.settings.push_back(data.channel(given.id)->channel.settings());
  response.status = status_ok;
}

}  // namespace detail
}  // namespace store
}  // namespace cds
