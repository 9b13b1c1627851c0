// Devices: the tree under the manager device, and their records.
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

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

std::string device_text(std::uint64_t id) { return "device " + std::to_string(id); }

// The ids of the subtrees under `roots`, each device once, roots included.
// Iterative: a chain of devices may be far deeper than the stack.
std::vector<std::uint64_t> subtree_ids(const StoreData& data, const std::vector<std::uint64_t>& roots) {
  std::vector<std::uint64_t> out;
  std::unordered_set<std::uint64_t> seen;
  std::vector<std::uint64_t> pending(roots.rbegin(), roots.rend());
  while (!pending.empty()) {
    std::uint64_t id = pending.back();
    pending.pop_back();
    if (!seen.insert(id).second) continue;
    const DeviceNode* node = data.device(id);
    if (!node) continue;
    out.push_back(id);
    pending.insert(pending.end(), node->record.sub_devices.rbegin(), node->record.sub_devices.rend());
  }
  return out;
}

}  // namespace

void set_communicating(zu::CDevice& device, bool communicating) {
  device.communicating = communicating;
  if (communicating)
    device.state.set(zu::realtime_state::communicating);
  else
    device.state.reset(zu::realtime_state::communicating);
}

void init_store(StoreData& data, const std::string& manager_guid) {
  DeviceNode manager;
  manager.record.id = kManagerDevice;
  manager.record.parent_id = zu::kNoId;
  manager.record.guid = manager_guid;
  data.devices.emplace(kManagerDevice, std::move(manager));
}

void refuse(zu::cds::CRequestResponse& response, std::uint32_t status, std::string message) {
  response.status = status;
  response.message = std::move(message);
}

void get_device(const StoreData& data, const zu::cds::CGetDevice& request, zu::cds::CGetDevice& response) {
  response.devices.clear();
  AnswerBudget budget;
  // Depth-first, children ascending: each device is followed by its subtree.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> pending;  // (device, its level below the requested one)
  for (std::uint64_t id : request.ids) {
    if (!data.device(id)) continue;
    pending.emplace_back(id, 0);
    while (!pending.empty()) {
      auto [current, level] = pending.back();
      pending.pop_back();
      const DeviceNode* node = data.device(current);
      if (!node) continue;
      if (!budget.take_for(node->record)) return flag_cut(response, response.devices.size(), "devices");
      response.devices.push_back(node->record);
      if (level >= request.depth) continue;
      const auto& subs = node->record.sub_devices;
      for (auto it = subs.rbegin(); it != subs.rend(); ++it) pending.emplace_back(*it, level + 1);
    }
  }
  response.status = status_ok;
}

void create_device(StoreData& data, const zu::cds::CCreateDevice& request, zu::cds::CCreateDevice& response,
                   ChangeSet& changes) {
  response.devices.clear();
  // Decide every id and check every parent before anything is created. With
  // given ids a device may name one created earlier in the same request as
  // its parent.
  std::vector<std::uint64_t> ids;
  ids.reserve(request.devices.size());
  std::unordered_set<std::uint64_t> planned;
  auto taken = [&](std::uint64_t id) { return data.devices.count(id) != 0 || planned.count(id) != 0; };
  std::uint64_t next = data.device_ids.next();
  for (const zu::CDevice& device : request.devices) {
    std::uint64_t id;
    if (request.use_given_ids) {
      id = device.id;
      if (id == 0 || id == zu::kNoId)
        return refuse(response, status_invalid, "device id " + std::to_string(id) + " cannot be given");
      if (taken(id)) return refuse(response, status_exists, device_text(id) + " already exists");
    } else {
      id = IdAllocator::next_free(next, taken);
      if (id == zu::kNoId) return refuse(response, status_refused, "no device id left");
      next = id + 1;
    }
    if (!device.parent_id) return refuse(response, status_invalid, device_text(id) + " has no parent");
    std::uint64_t parent = *device.parent_id;
    if (!data.device(parent) && planned.count(parent) == 0)
      return refuse(response, status_refused, "unknown parent " + device_text(parent));
    planned.insert(id);
    ids.push_back(id);
  }
  // The answer lists every created device: refuse what could not be
  // answered, before anything is created.
  AnswerBudget budget;
  for (const zu::CDevice& device : request.devices)
    if (!budget.take_for(device))
      return refuse(response, zu::cds::status_too_big,
                    "the answer to " + std::to_string(request.devices.size()) + " devices would pass " +
                        std::to_string(kMaxAnswerBytes) + " bytes: create them in smaller requests");

  for (std::size_t i = 0; i < ids.size(); ++i) {
    const zu::CDevice& given = request.devices[i];
    std::uint64_t id = ids[i];
    std::uint64_t parent = *given.parent_id;
    DeviceNode node;
    zu::CDevice& record = node.record;
    record.id = id;
    record.parent_id = parent;
    record.guid = given.guid;
    record.attributes = given.attributes;
    record.state = zu::CStateBits(given.state.bits() & kDeviceSettableBits);
    set_communicating(record, given.communicating);
    response.devices.push_back(record);
    data.devices.emplace(id, std::move(node));
    data.device(parent)->record.sub_devices.insert(id);
    if (!request.use_given_ids) data.device_ids.advance_past(id);
    changes.devices_created.insert(id);
    changes.device_trees_changed.insert(parent);
  }
  response.status = status_ok;
}

void update_device(StoreData& data, const zu::cds::CUpdateDevice& request, zu::cds::CUpdateDevice& response,
                   ChangeSet& changes) {
  response.devices.clear();
  for (const zu::CDevice& device : request.devices)
    if (!data.device(device.id)) return refuse(response, status_refused, "unknown " + device_text(device.id));

  // Only the identity and the communicating flag: the tree links are the store's.
  for (const zu::CDevice& given : request.devices) {
    zu::CDevice& record = data.device(given.id)->record;
    zu::CDevice before = record;
    record.guid = given.guid;
    record.attributes = given.attributes;
    set_communicating(record, given.communicating);
    if (!(record == before)) changes.device_records_changed.insert(given.id);
  }
  for (const zu::CDevice& given : request.devices) response.devices.push_back(data.device(given.id)->record);
  response.status = status_ok;
}

void delete_device(StoreData& data, const zu::cds::CDeleteDevice& request, zu::cds::CDeleteDevice& response,
                   ChangeSet& changes) {
  for (std::uint64_t id : request.ids) {
    if (id == kManagerDevice) return refuse(response, status_refused, "the manager device 1 cannot be removed");
    if (!data.device(id)) return refuse(response, status_refused, "unknown " + device_text(id));
  }

  std::vector<std::uint64_t> removed = subtree_ids(data, request.ids);
  std::unordered_set<std::uint64_t> removed_set(removed.begin(), removed.end());
  for (std::uint64_t id : removed) {
    DeviceNode& node = *data.device(id);
    std::uint64_t parent = node.record.parent_id.value_or(zu::kNoId);
    if (removed_set.count(parent) == 0) {
      data.device(parent)->record.sub_devices.erase(id);
      changes.device_trees_changed.insert(parent);
    }
    for (std::uint64_t channel : node.record.channels) {
      data.channels.erase(channel);
      changes.channels_removed[channel] = id;
    }
    // Its channels went with it: type 13 subscribers of the device, and of an
    // ancestor with sub-devices included, hear of it.
    if (!node.record.channels.empty()) changes.device_channels_changed.insert(id);
    changes.devices_removed[id] = parent;
  }
  for (std::uint64_t id : removed) data.devices.erase(id);
  response.status = status_ok;
}

}  // namespace detail
}  // namespace store
}  // namespace cds
