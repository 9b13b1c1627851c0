#pragma once
// Request, response and notification records exchanged with the data store.
//
// A caller builds a record, fills its request fields and submits it; the
// response is a record of the same class with `status` set (1 success) and its
// response fields filled. Notifications arrive as CSubscriberNotify (kind 2).
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "zu/CAlarm.h"
#include "zu/CBitset.h"
#include "zu/CChannel.h"
#include "zu/CDevice.h"
#include "zu/CValue.h"
#include "zu/CWallTime.h"
#include "zu/proto/zu.pb.h"

namespace zu {
namespace sub {
// Kind of a subscription and of its notifications.
enum subscription_type : std::uint8_t {
  channel_value_changed = 0,
  channel_settings = 2,
  device_record = 3,
  oob_path = 4,
  channel_alarm_config = 5,
  device_alarms = 9,
  device_channels = 13,
  device_tree = 14,
  channel_value_written = 15,
};
}  // namespace sub

namespace cds {

// Status codes of a response.
enum status_code : std::uint32_t {
  status_none = 0,
  status_ok = 1,
  status_refused = 2,        // not found or refused
  status_no_queue = 3,       // no queue space for the response
  status_too_big = 4,        // response too big
  status_invalid = 5,        // invalid request
  status_exists = 6,         // already exists
};
const char* status_text(std::uint32_t status);

// How a state change applies its bits.
enum class state_op : std::uint8_t {
  none = 0,
  lower = 1,   // clear the given bits
  raise = 2,   // set the given bits
  assign = 3,  // the application-settable bits become exactly the given bits
};

// Base of every record. Copyable; `clone()` copies the most derived record.
class CRequestResponse {
 public:
  CRequestResponse() = default;
  CRequestResponse(const CRequestResponse&) = default;
  CRequestResponse& operator=(const CRequestResponse&) = default;
  virtual ~CRequestResponse() = default;
  // Empties the texts and containers of the record; scalar fields keep their values.
  virtual void clean();
  virtual std::shared_ptr<CRequestResponse> clone() const = 0;
  // Short name of the record class, e.g. "CGetDevice".
  virtual const char* class_name() const = 0;

  // The record's status text: the framework's message when one was set, else
  // the text of `status`.
  const char* get_status_text() const;

  std::uint32_t status = 0;
  std::uint16_t kind = 0;
  std::uint32_t sequence = 0;     // framework bookkeeping
  std::uint16_t flags = 0;        // framework bookkeeping
  std::string origin;             // name of the session that sent the record
  std::string message;            // framework's explanation of a failure, if any
  std::int32_t timeout = -1;      // framework bookkeeping
  std::uint32_t reserved = 0;     // framework bookkeeping
  const char* time_format = "%F %T";
};

#define ZU_CDS_RECORD(Name)                                                   \
  std::shared_ptr<CRequestResponse> clone() const override {                  \
    return std::make_shared<Name>(*this);                                     \
  }                                                                           \
  const char* class_name() const override { return #Name; }

// ---- element records -------------------------------------------------------

struct CCreateSingleChannel {
  std::uint64_t device_id = kNoId;
  std::string name;
  bool flag = false;
  std::uint64_t channel_id = kNoId;  // all ones: the data store assigns it
};

struct CUpdateSingleChannelValue {
  std::uint64_t channel_id = kNoId;
  CValue value;
};

// One named field. field_kind: 0 invalid, 1 field of an existing device, 2 field
// of a device the data store does not know, 3 field of a device inside `scope`,
// 4 field of the object named by the path in `scope`.
struct CSingleField {
  std::uint32_t field_kind = 0;
  std::string name;
  mutable CValue value;  // not part of the field's identity
  std::uint32_t value_kind = 0;
  std::uint64_t id = 0;
  std::string scope;

  friend bool operator==(const CSingleField& a, const CSingleField& b) {
    return a.field_kind == b.field_kind && a.name == b.name && a.id == b.id && a.scope == b.scope;
  }
};

struct CSingleAlarmConfig {
  std::uint64_t channel_id = kNoId;
  std::vector<CAlarmTrigger> triggers;
};

struct CSetSingleState {
  std::uint64_t id = kNoId;
  CBitset<realtime_state> state;
  CBitset<realtime_state> state2;
  state_op op = state_op::none;
  bool flag = false;
};
struct CSetSingleChannelState : CSetSingleState {};
struct CSetSingleDeviceState : CSetSingleState {};

struct CSetOOBDataUnit {
  std::string path;
  proto::toolkitStruct data;
  std::uint32_t aux1 = 0;
  std::uint32_t aux2 = 0;
};

struct CSubscribeSingle {
  std::uint64_t subscription_id = kNoId;
  sub::subscription_type type = sub::channel_value_changed;
  std::uint64_t object_id = kNoId;
  std::string path;
  bool flag = false;
  bool flag2 = false;
};

struct CChannelResult {
  std::uint64_t channel_id = kNoId;
  CChannel channel;
  CValue value;
  CWallTime time;  // when the value was last written
};

struct CChannelValueResult {
  std::uint64_t channel_id = kNoId;
  CValue value;
  std::string text;
  CBitset<realtime_state> state;
  CWallTime time;
};

struct COOBDataResult {
  std::string path;
  proto::toolkitStruct data;
  std::uint8_t found = 0;
};

struct CStateResult {
  std::uint64_t id = kNoId;
  std::uint32_t status = 0;
};

}  // namespace cds
}  // namespace zu

template <>
struct std::hash<zu::cds::CSingleField> {
  std::size_t operator()(const zu::cds::CSingleField& f) const {
    return std::hash<std::string>()(f.name) ^ (std::hash<std::string>()(f.scope) << 1) ^
           std::hash<unsigned long long>()(f.id) ^ f.field_kind;
  }
};

namespace zu {
namespace cds {

using IdList = std::vector<std::uint64_t>;
using IdSet = std::unordered_set<std::uint64_t>;

// ---- request records -------------------------------------------------------

struct CGetDevice : CRequestResponse {
  ZU_CDS_RECORD(CGetDevice)
  void clean() override;
  IdList ids;
  std::uint32_t depth = 0;
  std::vector<CDevice> devices;
};

struct CCreateDevice : CRequestResponse {
  ZU_CDS_RECORD(CCreateDevice)
  void clean() override;
  std::vector<CDevice> devices;
  bool use_given_ids = false;
};

struct CUpdateDevice : CRequestResponse {
  ZU_CDS_RECORD(CUpdateDevice)
  void clean() override;
  std::vector<CDevice> devices;
  std::vector<CValue> values;  // unused
};

struct CDeleteDevice : CRequestResponse {
  ZU_CDS_RECORD(CDeleteDevice)
  void clean() override;
  IdList ids;
};

struct CCreateChannel : CRequestResponse {
  ZU_CDS_RECORD(CCreateChannel)
  void clean() override;
  std::vector<CCreateSingleChannel> requests;
  std::vector<CChannel> channels;
  bool legacy = false;
};

struct CGetChannel : CRequestResponse {
  ZU_CDS_RECORD(CGetChannel)
  void clean() override;
  IdList ids;
  std::uint64_t device_id = kNoId;
  std::vector<std::string> names;
  std::vector<CChannelResult> results;
  bool flag = false;
};

struct CDeleteChannel : CRequestResponse {
  ZU_CDS_RECORD(CDeleteChannel)
  void clean() override;
  IdList ids;
};

struct CGetChannelValue : CRequestResponse {
  ZU_CDS_RECORD(CGetChannelValue)
  void clean() override;
  IdList ids;
  std::vector<CChannelValueResult> values;
};

struct CUpdateChannelValue : CRequestResponse {
  ZU_CDS_RECORD(CUpdateChannelValue)
  void clean() override;
  std::vector<CUpdateSingleChannelValue> values;
  CWallTime time;
  bool flag = false;
};

struct CGetChannelSettings : CRequestResponse {
  ZU_CDS_RECORD(CGetChannelSettings)
  void clean() override;
  IdList ids;
  std::vector<CChannelSettings> settings;
  bool flag = false;
};

struct CUpdateChannelSettings : CRequestResponse {
  ZU_CDS_RECORD(CUpdateChannelSettings)
  void clean() override;
  std::vector<CChannelSettings> settings;
  std::vector<CValue> values;  // unused
};

struct CSetFieldValue : CRequestResponse {
  ZU_CDS_RECORD(CSetFieldValue)
  void clean() override;
  std::unordered_set<CSingleField> fields;
};

struct CGetFieldValue : CRequestResponse {
  ZU_CDS_RECORD(CGetFieldValue)
  void clean() override;
  std::unordered_set<CSingleField> fields;
};

struct CGetAlarmConfig : CRequestResponse {
  ZU_CDS_RECORD(CGetAlarmConfig)
  void clean() override;
  IdSet channel_ids;
  IdSet device_ids;
  std::vector<CSingleAlarmConfig> configs;
};

struct CSetAlarmConfig : CRequestResponse {
  ZU_CDS_RECORD(CSetAlarmConfig)
  void clean() override;
  std::vector<CSingleAlarmConfig> configs;
  std::vector<CValue> values;  // unused
};

struct CSetChannelState : CRequestResponse {
  ZU_CDS_RECORD(CSetChannelState)
  void clean() override;
  std::vector<CSetSingleChannelState> states;
  std::vector<CStateResult> results;
};

struct CSetDeviceState : CRequestResponse {
  ZU_CDS_RECORD(CSetDeviceState)
  void clean() override;
  std::vector<CSetSingleDeviceState> states;
  std::vector<CStateResult> results;
};

struct CGetOOBData : CRequestResponse {
  ZU_CDS_RECORD(CGetOOBData)
  void clean() override;
  std::vector<std::string> paths;
  std::vector<COOBDataResult> results;
};

struct CSetOOBData : CRequestResponse {
  ZU_CDS_RECORD(CSetOOBData)
  void clean() override;
  std::vector<CSetOOBDataUnit> units;
};

struct CGetAlarms : CRequestResponse {
  ZU_CDS_RECORD(CGetAlarms)
  void clean() override;
  std::uint64_t start = 0;
  CWallTime date1;
  CWallTime date2;
  std::uint32_t max_count = 0;
  bool active_only = false;
  bool closed_only = false;
  IdList ids;
  bool ids_given = false;
  std::set<std::uint64_t> alarm_ids;
  CWallTime date3;
  CWallTime date4;
  bool active_query = false;
  bool aux_query_flag = false;
  bool recursive = false;
  std::uint32_t aux_query_number = 0;
  std::vector<CAlarmUpdate> alarms;
  bool order_flag = false;
  std::uint32_t found_count = 0;
  bool count_only = false;
  std::uint32_t level = 0;
  std::uint8_t filter_byte = 255;
  bool level_given = false;
  std::string filter_text;
};

struct CDeleteAlarms : CRequestResponse {
  ZU_CDS_RECORD(CDeleteAlarms)
  IdSet alarm_ids;
  CWallTime time = CWallTime::now();
  std::uint32_t clear_param1 = 0;
  std::uint32_t clear_param2 = 0;
  IdSet device_ids;
  bool by_device = false;
};

struct CGetAlarmUpdateGlobalCount : CRequestResponse {
  ZU_CDS_RECORD(CGetAlarmUpdateGlobalCount)
  std::uint64_t count = 0;
};

// The store's own account of itself, as "key: value" lines: where it keeps
// its data (a file, or memory only), the file's size, the durability in
// force and the counts of devices, channels, documents and log entries.
struct CGetStoreInfo : CRequestResponse {
  ZU_CDS_RECORD(CGetStoreInfo)
  std::string text;
};

struct CSubscribe : CRequestResponse {
  ZU_CDS_RECORD(CSubscribe)
  void clean() override;
  std::vector<CSubscribeSingle> subscriptions;
};

struct CManageSubscriberIDs : CRequestResponse {
  ZU_CDS_RECORD(CManageSubscriberIDs)
  void clean() override;
  std::uint32_t op = 0;  // 1 reserve an id (or `other_ids`), 0 release `release_ids`
  IdList release_ids;
  IdList reserved_ids;
  IdList other_ids;  // op 1: the ids wanted, all or none (empty: one new id)
  std::uint16_t aux = 0;
};

// A notification of one subscription (kind 2). Which container is filled
// depends on `type`.
struct CSubscriberNotify : CRequestResponse {
  ZU_CDS_RECORD(CSubscriberNotify)
  void clean() override;
  CSubscriberNotify() { kind = 2; }
  std::uint64_t subscription_id = kNoId;
  std::uint8_t type = 0;
  std::unordered_map<std::uint64_t, CValue> values;
  std::unordered_set<std::uint64_t> numbers_5;
  std::unordered_set<std::uint64_t> numbers_2;
  std::unordered_set<std::uint64_t> device_ids;
  std::unordered_set<std::string> paths;
  std::unordered_set<CAlarmUpdate> alarm_updates;
  std::unordered_set<std::uint64_t> device_ids_14;
};

#undef ZU_CDS_RECORD

}  // namespace cds
}  // namespace zu
