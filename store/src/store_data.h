#pragma once
// The engine's data and the per-area request handlers. Internal to the store.
//
// Every handler receives the request and a response that starts as a copy of
// it; it fills the response's fields and `status`. Write handlers validate the
// whole request before they change anything, so a refused request leaves the
// store as it was, and record what they changed in the change set. The caller
// (engine.cc) holds the engine lock: shared for the read handlers, exclusive
// for the write handlers.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>

#include "alarm_state.h"
#include "answer_size.h"
#include "stored_channel.h"
#include "store/ChangeSet.h"
#include "zu/CChannel.h"
#include "zu/CDevice.h"
#include "zu/CValue.h"
#include "zu/CWallTime.h"
#include "zu/cds/Records.h"
#include "zu/proto/zu.pb.h"

namespace cds {
namespace store {
namespace detail {

constexpr std::uint64_t kManagerDevice = 1;
// Ids the store assigns start here; lower ones are left to applications that
// use fixed ids.
constexpr std::uint64_t kFirstAssignedId = 1024;

// Out-of-band documents: the longest path, and the largest document (its
// encoded size), chosen so that a stored document always comes back in one
// answer with its path and the answer's envelope.
constexpr std::size_t kMaxDocumentPath = 1024;
constexpr std::size_t kMaxDocumentBytes = kMaxAnswerBytes - 65536;

// State bits applications set; the others (a channel's alarm_active) are the store's.
constexpr std::uint32_t kDeviceSettableBits = static_cast<std::uint32_t>(zu::realtime_state::stale) |
                                              static_cast<std::uint32_t>(zu::realtime_state::communicating);
constexpr std::uint32_t kChannelSettableBits = static_cast<std::uint32_t>(zu::realtime_state::stale) |
                                               static_cast<std::uint32_t>(zu::realtime_state::alarm_disabled);

// Hands out ids upwards from kFirstAssignedId, skipping ids in use. The counter
// only grows, so an id it handed out is never handed out again.
class IdAllocator {
 public:
  // The next id that `in_use` does not hold, starting at `from`; kNoId when
  // the id space is exhausted.
  template <typename InUse>
  static std::uint64_t next_free(std::uint64_t from, const InUse& in_use) {
    while (from != zu::kNoId && in_use(from)) ++from;
    return from;
  }
  std::uint64_t next() const { return next_; }
  void advance_past(std::uint64_t id) {
    if (id >= next_) next_ = id + 1;
  }

 private:
  std::uint64_t next_ = kFirstAssignedId;
};

struct DeviceNode {
  zu::CDevice record;  // tree links, channels, UUID characters, state, attributes
  std::map<std::string, std::uint64_t> channel_names;  // name -> channel id
  std::map<std::string, zu::CValue> extra_fields;      // kind 1 fields that are not attributes
  std::map<std::string, std::map<std::string, zu::CValue>> scoped_fields;  // scope -> name -> value
};

struct ChannelNode {
  StoredChannel channel;
  zu::CValue value;      // invalid until first written
  zu::CWallTime time;    // when the value was last written
  ChannelAlarms alarm;   // runtime state of its triggers (alarm_engine.cc)
};

struct StoreData {
  std::unordered_map<std::uint64_t, DeviceNode> devices;
  std::unordered_map<std::uint64_t, ChannelNode> channels;
  IdAllocator device_ids;
  IdAllocator channel_ids;
  AlarmData alarms;  // the alarm log, active alarms and pending delays (alarm_*.cc)
  std::map<std::string, zu::proto::toolkitStruct> documents;  // out-of-band documents by exact path

  DeviceNode* device(std::uint64_t id) {
    auto it = devices.find(id);
    return it == devices.end() ? nullptr : &it->second;
  }
  const DeviceNode* device(std::uint64_t id) const {
    auto it = devices.find(id);
    return it == devices.end() ? nullptr : &it->second;
  }
  ChannelNode* channel(std::uint64_t id) {
    auto it = channels.find(id);
    return it == channels.end() ? nullptr : &it->second;
  }
  const ChannelNode* channel(std::uint64_t id) const {
    auto it = channels.find(id);
    return it == channels.end() ? nullptr : &it->second;
  }
};

// A fresh store: the manager device 1 at the root, with `manager_guid`.
void init_store(StoreData& data, const std::string& manager_guid);

// Sets a device's communicating flag and the state bit that mirrors it.
void set_communicating(zu::CDevice& device, bool communicating);

// A channel record for a response: a copy with settings of its own, so that a
// caller changing it cannot reach into the store.
inline zu::CChannel detached(const StoredChannel& channel) { return channel.record(); }

// Sets a refusal on a response.
void refuse(zu::cds::CRequestResponse& response, std::uint32_t status, std::string message);

// ---- devices (device_tree.cc)
void get_device(const StoreData& data, const zu::cds::CGetDevice& request, zu::cds::CGetDevice& response);
void create_device(StoreData& data, const zu::cds::CCreateDevice& request, zu::cds::CCreateDevice& response,
                   ChangeSet& changes);
void update_device(StoreData& data, const zu::cds::CUpdateDevice& request, zu::cds::CUpdateDevice& response,
                   ChangeSet& changes);
void delete_device(StoreData& data, const zu::cds::CDeleteDevice& request, zu::cds::CDeleteDevice& response,
                   ChangeSet& changes);

// ---- channels, values and settings (channels.cc)
void create_channel(StoreData& data, const zu::cds::CCreateChannel& request, zu::cds::CCreateChannel& response,
                    ChangeSet& changes);
void get_channel(const StoreData& data, const zu::cds::CGetChannel& request, zu::cds::CGetChannel& response);
void delete_channel(StoreData& data, const zu::cds::CDeleteChannel& request, zu::cds::CDeleteChannel& response,
                    ChangeSet& changes);
void get_channel_value(const StoreData& data, const zu::cds::CGetChannelValue& request,
                       zu::cds::CGetChannelValue& response);
void update_channel_value(StoreData& data, const zu::cds::CUpdateChannelValue& request,
                          zu::cds::CUpdateChannelValue& response, ChangeSet& changes);
void get_channel_settings(const StoreData& data, const zu::cds::CGetChannelSettings& request,
                          zu::cds::CGetChannelSettings& response);
void update_channel_settings(StoreData& data, const zu::cds::CUpdateChannelSettings& request,
                             zu::cds::CUpdateChannelSettings& response, ChangeSet& changes);

// ---- named fields (fields.cc)
void get_field_value(const StoreData& data, const zu::cds::CGetFieldValue& request,
                     zu::cds::CGetFieldValue& response);
void set_field_value(StoreData& data, const zu::cds::CSetFieldValue& request, zu::cds::CSetFieldValue& response,
                     ChangeSet& changes);

// ---- out-of-band documents (documents.cc)
void get_oob_data(const StoreData& data, const zu::cds::CGetOOBData& request, zu::cds::CGetOOBData& response);
void set_oob_data(StoreData& data, const zu::cds::CSetOOBData& request, zu::cds::CSetOOBData& response,
                  ChangeSet& changes);

// Why `path` cannot name a document (empty, too long, a NUL inside); empty when it can.
std::string document_path_problem(const std::string& path);

// The field `name` of the document at `path` as a value: texts, numbers and
// flags as themselves, objects and lists as their JSON text; invalid when the
// document or the field is missing or the field is null.
zu::CValue document_field(const StoreData& data, const std::string& path, const std::string& name);

// Field writes into documents, staged so that a request is checked whole
// before anything is stored: stage() checks one field against the document as
// the earlier fields of the request leave it; apply() stores every staged
// document and records its path as written.
class DocumentFieldWrites {
 public:
  // A status and message when the field cannot be written (status 1 and an empty message when it can).
  std::pair<std::uint32_t, std::string> stage(const StoreData& data, const std::string& path,
                                              const std::string& name, const zu::CValue& value);
  void apply(StoreData& data, ChangeSet& changes);

 private:
  std::map<std::string, zu::proto::toolkitStruct> staged_;
};

// ---- realtime state (state.cc)
void set_device_state(StoreData& data, const zu::cds::CSetDeviceState& request, zu::cds::CSetDeviceState& response,
                      ChangeSet& changes);
void set_channel_state(StoreData& data, const zu::cds::CSetChannelState& request,
                       zu::cds::CSetChannelState& response, ChangeSet& changes);

}  // namespace detail
}  // namespace store
}  // namespace cds
