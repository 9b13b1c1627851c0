#include "zu/wire/Codec.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <type_traits>
#include <typeindex>
#include <unordered_map>
#include <utility>
#include <variant>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/unknown_field_set.h>

#include "zu/proto/wire.pb.h"
#include "QuickCodec.h"

namespace zu {
namespace wire {
namespace {

// Every record class with its Envelope field and oneof case.
#define ZU_WIRE_RECORDS(X)                                                           \
  X(CGetDevice, get_device, kGetDevice)                                              \
  X(CCreateDevice, create_device, kCreateDevice)                                     \
  X(CUpdateDevice, update_device, kUpdateDevice)                                     \
  X(CDeleteDevice, delete_device, kDeleteDevice)                                     \
  X(CCreateChannel, create_channel, kCreateChannel)                                  \
  X(CGetChannel, get_channel, kGetChannel)                                           \
  X(CDeleteChannel, delete_channel, kDeleteChannel)                                  \
  X(CGetChannelValue, get_channel_value, kGetChannelValue)                           \
  X(CUpdateChannelValue, update_channel_value, kUpdateChannelValue)                  \
  X(CGetChannelSettings, get_channel_settings, kGetChannelSettings)                  \
  X(CUpdateChannelSettings, update_channel_settings, kUpdateChannelSettings)         \
  X(CSetFieldValue, set_field_value, kSetFieldValue)                                 \
  X(CGetFieldValue, get_field_value, kGetFieldValue)                                 \
  X(CGetAlarmConfig, get_alarm_config, kGetAlarmConfig)                              \
  X(CSetAlarmConfig, set_alarm_config, kSetAlarmConfig)                              \
  X(CSetChannelState, set_channel_state, kSetChannelState)                           \
  X(CSetDeviceState, set_device_state, kSetDeviceState)                              \
  X(CGetOOBData, get_oob_data, kGetOobData)                                          \
  X(CSetOOBData, set_oob_data, kSetOobData)                                          \
  X(CGetAlarms, get_alarms, kGetAlarms)                                              \
  X(CDeleteAlarms, delete_alarms, kDeleteAlarms)                                     \
  X(CGetAlarmUpdateGlobalCount, get_alarm_update_global_count, kGetAlarmUpdateGlobalCount) \
  X(CGetStoreInfo, get_store_info, kGetStoreInfo)                                    \
  X(CSubscribe, subscribe, kSubscribe)                                               \
  X(CManageSubscriberIDs, manage_subscriber_ids, kManageSubscriberIds)               \
  X(CSubscriberNotify, subscriber_notify, kSubscriberNotify)

// Documents deeper than this are refused when encoding. Each level costs the
// parser up to three message levels (struct, map entry, value), hence the
// parse recursion limit.
constexpr int kMaxDocumentDepth = 100;
constexpr int kParseRecursionLimit = 3 * kMaxDocumentDepth + 32;

void set_error(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

// RFC 3629 UTF-8, as proto3 `string` fields require it.
bool valid_utf8(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned char c = *p;
    std::size_t n;
    std::uint32_t cp;
    if (c < 0x80) {
      ++p;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= n) return false;
    for (std::size_t i = 1; i <= n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    static const std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += n + 1;
  }
  return true;
}

// ---- encoding ------------------------------------------------------------------

// Collects the first reason a record cannot be encoded.
class Encoder {
 public:
  void fail(std::string text) {
    if (error_.empty()) error_ = std::move(text);
  }
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

 private:
  std::string error_;
};

bool check_document_value(const proto::toolkitValue& v, int depth, std::string* why);

// Whether a document can travel: UTF-8 texts and bounded nesting.
bool check_document(const proto::toolkitStruct& s, int depth, std::string* why) {
  if (depth > kMaxDocumentDepth) {
    *why = "is nested deeper than " + std::to_string(kMaxDocumentDepth) + " levels";
    return false;
  }
  for (const auto& field : s.fields()) {
    if (!valid_utf8(field.first)) {
      *why = "has a key that is not valid UTF-8";
      return false;
    }
    if (!check_document_value(field.second, depth, why)) return false;
  }
  return true;
}

bool check_document_value(const proto::toolkitValue& v, int depth, std::string* why) {
  switch (v.kind_case()) {
    case proto::toolkitValue::kStringValue:
      if (valid_utf8(v.string_value())) return true;
      *why = "has a text that is not valid UTF-8";
      return false;
    case proto::toolkitValue::kStructValue:
      return check_document(v.struct_value(), depth + 1, why);
    case proto::toolkitValue::kListValue:
      if (depth + 1 > kMaxDocumentDepth) {
        *why = "is nested deeper than " + std::to_string(kMaxDocumentDepth) + " levels";
        return false;
      }
      for (const auto& item : v.list_value().values())
        if (!check_document_value(item, depth + 1, why)) return false;
      return true;
    default:
      return true;
  }
}

void put_document(const proto::toolkitStruct& doc, const std::string& path, proto::toolkitStruct* m, Encoder& e) {
  std::string why;
  if (!check_document(doc, 1, &why)) e.fail("the document of path '" + path + "' " + why);
  m->CopyFrom(doc);
}

void put(const CValue& v, Value* m) {
  std::visit(
      [m](const auto& x) {
        using X = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<X, invalid_t>) m->mutable_invalid();
        else if constexpr (std::is_same_v<X, bool>) m->set_bool_value(x);
        else if constexpr (std::is_same_v<X, int>) m->set_int32_value(x);
        else if constexpr (std::is_same_v<X, long long>) m->set_int64_value(x);
        else if constexpr (std::is_same_v<X, unsigned int>) m->set_uint32_value(x);
        else if constexpr (std::is_same_v<X, unsigned long long>) m->set_uint64_value(x);
        else if constexpr (std::is_same_v<X, float>) m->set_float_value(x);
        else if constexpr (std::is_same_v<X, double>) m->set_double_value(x);
        else if constexpr (std::is_same_v<X, CTimestamp>) {
          m->mutable_timestamp_value()->set_seconds(x.seconds);
          m->mutable_timestamp_value()->set_nanoseconds(x.nanoseconds);
        } else if constexpr (std::is_same_v<X, std::string>) m->set_string_value(x);
        else if constexpr (std::is_same_v<X, CBytes>)
          m->set_bytes_value(std::string(reinterpret_cast<const char*>(x.data()), x.size()));
        else static_assert(!sizeof(X), "every alternative of CValue has a wire form");
      },
      v.variant());
}

void put(const CWallTime& t, WallTime* m) {
  m->set_seconds(t.seconds);
  m->set_nanoseconds(t.nanoseconds);
}

void put_header(const cds::CRequestResponse& r, Header* m) {
  m->set_status(r.status);
  m->set_kind(r.kind);
  m->set_sequence(r.sequence);
  m->set_flags(r.flags);
  m->set_origin(r.origin);
  m->set_message(r.message);
  m->set_timeout(r.timeout);
  m->set_reserved(r.reserved);
}

void put(const CDevice& dev, proto::Device* m, Encoder& e) {
  for (unsigned n = 1; n <= kDeviceAttributeCount; ++n) {
    if (!valid_utf8(*dev.attribute(n)))
      e.fail("attribute '" + std::string(device_attribute_key(n)) + "' of device " + std::to_string(dev.id) +
             " is not valid UTF-8");
  }
  dev.to(*m, true, true);
}

void put(const CChannelSettings& s, ChannelSettings* m) {
  m->set_id(s.id);
  m->set_data_type(s.data_type);
  m->set_flags(s.flags);
  m->set_text1(s.text1);
  m->set_text2(s.text2);
  m->set_description(s.description);
  m->set_units(s.units);
  for (const auto& state : s.multistate) {
    auto* entry = m->add_multistate();
    put(state.first, entry->mutable_key());
    entry->set_text(state.second);
  }
}

void put(const CAlarmTrigger& t, AlarmTrigger* m) {
  m->set_level(t.level);
  m->set_trigger_flag(t.trigger_flag);
  put(t.threshold, m->mutable_threshold());
  put(t.trigger_value, m->mutable_trigger_value());
  m->set_priority(t.priority);
  m->set_code(t.code);
  m->set_trigger_flag2(t.trigger_flag2);
  put(t.hysteresis, m->mutable_hysteresis());
  m->set_delay(t.delay);
}

void put(const CChannel& c, Channel* m) {
  if (c.settings()) put(*c.settings(), m->mutable_settings());
  m->set_device_id(c.device_id);
  m->set_name(c.name);
  m->set_create_flag(c.create_flag);
  m->set_state(c.state.bits());
  for (const auto& t : c.triggers) put(t, m->add_triggers());
}

void put(const CAlarmUpdate& u, AlarmUpdate* m) {
  m->set_alarm_id(u.alarm_id);
  m->set_alarm_index(u.alarm_index);
  m->set_instance(u.instance);
  put(u.time, m->mutable_time());
  m->set_aux_number1(u.aux_number1);
  m->set_aux_number2(u.aux_number2);
  put(u.value, m->mutable_value());
  if (u.aux_callback1) m->mutable_aux_callback1()->set_tag(u.aux_callback1->tag);
  if (u.aux_callback2) m->mutable_aux_callback2()->set_tag(u.aux_callback2->tag);
  m->set_aux_flag(u.aux_flag);
  m->set_back_to_normal(u.back_to_normal);
  if (u.trigger) put(*u.trigger, m->mutable_trigger());
  m->set_description(u.description);
  m->set_aux_number3(u.aux_number3);
  m->set_aux_text1(u.aux_text1);
  m->set_aux_text2(u.aux_text2);
  m->set_aux_flag2(u.aux_flag2);
  m->set_aux_text3(u.aux_text3);
  put(u.aux_time, m->mutable_aux_time());
  m->set_aux_number4(u.aux_number4);
  m->set_active(u.active);
}

void put(const cds::CCreateSingleChannel& c, CreateSingleChannel* m) {
  m->set_device_id(c.device_id);
  m->set_name(c.name);
  m->set_flag(c.flag);
  m->set_channel_id(c.channel_id);
}

void put(const cds::CUpdateSingleChannelValue& v, UpdateSingleChannelValue* m) {
  m->set_channel_id(v.channel_id);
  put(v.value, m->mutable_value());
}

void put(const cds::CSingleField& f, SingleField* m) {
  m->set_field_kind(f.field_kind);
  m->set_name(f.name);
  put(f.value, m->mutable_value());
  m->set_value_kind(f.value_kind);
  m->set_id(f.id);
  m->set_scope(f.scope);
}

void put(const cds::CSingleAlarmConfig& c, SingleAlarmConfig* m) {
  m->set_channel_id(c.channel_id);
  for (const auto& t : c.triggers) put(t, m->add_triggers());
}

void put(const cds::CSetSingleState& s, SetSingleState* m) {
  m->set_id(s.id);
  m->set_state(s.state.bits());
  m->set_state2(s.state2.bits());
  m->set_op(static_cast<std::uint32_t>(s.op));
  m->set_flag(s.flag);
}

void put(const cds::CStateResult& r, StateResult* m) {
  m->set_id(r.id);
  m->set_status(r.status);
}

void put(const cds::CSetOOBDataUnit& u, SetOOBDataUnit* m, Encoder& e) {
  m->set_path(u.path);
  put_document(u.data, u.path, m->mutable_data(), e);
  m->set_aux1(u.aux1);
  m->set_aux2(u.aux2);
}

void put(const cds::COOBDataResult& r, OOBDataResult* m, Encoder& e) {
  m->set_path(r.path);
  put_document(r.data, r.path, m->mutable_data(), e);
  m->set_found(r.found);
}

void put(const cds::CSubscribeSingle& s, SubscribeSingle* m) {
  m->set_subscription_id(s.subscription_id);
  m->set_type(s.type);
  m->set_object_id(s.object_id);
  m->set_path(s.path);
  m->set_flag(s.flag);
  m->set_flag2(s.flag2);
}

void put(const cds::CChannelResult& r, ChannelResult* m) {
  m->set_channel_id(r.channel_id);
  put(r.channel, m->mutable_channel());
  put(r.value, m->mutable_value());
  put(r.time, m->mutable_time());
}

void put(const cds::CChannelValueResult& r, ChannelValueResult* m) {
  m->set_channel_id(r.channel_id);
  put(r.value, m->mutable_value());
  m->set_text(r.text);
  m->set_state(r.state.bits());
  put(r.time, m->mutable_time());
}

template <typename Ids, typename Repeated>
void put_ids(const Ids& ids, Repeated* m) {
  m->Reserve(static_cast<int>(ids.size()));
  for (auto id : ids) m->Add(id);
}

template <typename Texts, typename Repeated>
void put_texts(const Texts& texts, Repeated* m) {
  for (const auto& t : texts) m->Add()->assign(t);
}

void put(const cds::CGetDevice& r, GetDevice* m, Encoder& e) {
  put_ids(r.ids, m->mutable_ids());
  m->set_depth(r.depth);
  for (const auto& d : r.devices) put(d, m->add_devices(), e);
}

void put(const cds::CCreateDevice& r, CreateDevice* m, Encoder& e) {
  for (const auto& d : r.devices) put(d, m->add_devices(), e);
  m->set_use_given_ids(r.use_given_ids);
}

void put(const cds::CUpdateDevice& r, UpdateDevice* m, Encoder& e) {
  for (const auto& d : r.devices) put(d, m->add_devices(), e);
  for (const auto& v : r.values) put(v, m->add_values());
}

void put(const cds::CDeleteDevice& r, DeleteDevice* m, Encoder&) { put_ids(r.ids, m->mutable_ids()); }

void put(const cds::CCreateChannel& r, CreateChannel* m, Encoder&) {
  for (const auto& c : r.requests) put(c, m->add_requests());
  for (const auto& c : r.channels) put(c, m->add_channels());
  m->set_legacy(r.legacy);
}

void put(const cds::CGetChannel& r, GetChannel* m, Encoder&) {
  put_ids(r.ids, m->mutable_ids());
  m->set_device_id(r.device_id);
  put_texts(r.names, m->mutable_names());
  for (const auto& c : r.results) put(c, m->add_results());
  m->set_flag(r.flag);
}

void put(const cds::CDeleteChannel& r, DeleteChannel* m, Encoder&) { put_ids(r.ids, m->mutable_ids()); }

void put(const cds::CGetChannelValue& r, GetChannelValue* m, Encoder&) {
  put_ids(r.ids, m->mutable_ids());
  for (const auto& v : r.values) put(v, m->add_values());
}

void put(const cds::CUpdateChannelValue& r, UpdateChannelValue* m, Encoder&) {
  for (const auto& v : r.values) put(v, m->add_values());
  put(r.time, m->mutable_time());
  m->set_flag(r.flag);
}

void put(const cds::CGetChannelSettings& r, GetChannelSettings* m, Encoder&) {
  put_ids(r.ids, m->mutable_ids());
  for (const auto& s : r.settings) put(s, m->add_settings());
  m->set_flag(r.flag);
}

void put(const cds::CUpdateChannelSettings& r, UpdateChannelSettings* m, Encoder&) {
  for (const auto& s : r.settings) put(s, m->add_settings());
  for (const auto& v : r.values) put(v, m->add_values());
}

void put(const cds::CSetFieldValue& r, SetFieldValue* m, Encoder&) {
  for (const auto& f : r.fields) put(f, m->add_fields());
}

void put(const cds::CGetFieldValue& r, GetFieldValue* m, Encoder&) {
  for (const auto& f : r.fields) put(f, m->add_fields());
}

void put(const cds::CGetAlarmConfig& r, GetAlarmConfig* m, Encoder&) {
  put_ids(r.channel_ids, m->mutable_channel_ids());
  put_ids(r.device_ids, m->mutable_device_ids());
  for (const auto& c : r.configs) put(c, m->add_configs());
}

void put(const cds::CSetAlarmConfig& r, SetAlarmConfig* m, Encoder&) {
  for (const auto& c : r.configs) put(c, m->add_configs());
  for (const auto& v : r.values) put(v, m->add_values());
}

void put(const cds::CSetChannelState& r, SetChannelState* m, Encoder&) {
  for (const auto& s : r.states) put(s, m->add_states());
  for (const auto& s : r.results) put(s, m->add_results());
}

void put(const cds::CSetDeviceState& r, SetDeviceState* m, Encoder&) {
  for (const auto& s : r.states) put(s, m->add_states());
  for (const auto& s : r.results) put(s, m->add_results());
}

void put(const cds::CGetOOBData& r, GetOOBData* m, Encoder& e) {
  put_texts(r.paths, m->mutable_paths());
  for (const auto& res : r.results) put(res, m->add_results(), e);
}

void put(const cds::CSetOOBData& r, SetOOBData* m, Encoder& e) {
  for (const auto& u : r.units) put(u, m->add_units(), e);
}

void put(const cds::CGetAlarms& r, GetAlarms* m, Encoder&) {
  m->set_start(r.start);
  put(r.date1, m->mutable_date1());
  put(r.date2, m->mutable_date2());
  m->set_max_count(r.max_count);
  m->set_active_only(r.active_only);
  m->set_closed_only(r.closed_only);
  put_ids(r.ids, m->mutable_ids());
  m->set_ids_given(r.ids_given);
  put_ids(r.alarm_ids, m->mutable_alarm_ids());
  put(r.date3, m->mutable_date3());
  put(r.date4, m->mutable_date4());
  m->set_active_query(r.active_query);
  m->set_aux_query_flag(r.aux_query_flag);
  m->set_recursive(r.recursive);
  m->set_aux_query_number(r.aux_query_number);
  for (const auto& u : r.alarms) put(u, m->add_alarms());
  m->set_order_flag(r.order_flag);
  m->set_found_count(r.found_count);
  m->set_count_only(r.count_only);
  m->set_level(r.level);
  m->set_filter_byte(r.filter_byte);
  m->set_level_given(r.level_given);
  m->set_filter_text(r.filter_text);
}

void put(const cds::CDeleteAlarms& r, DeleteAlarms* m, Encoder&) {
  put_ids(r.alarm_ids, m->mutable_alarm_ids());
  put(r.time, m->mutable_time());
  m->set_clear_param1(r.clear_param1);
  m->set_clear_param2(r.clear_param2);
  put_ids(r.device_ids, m->mutable_device_ids());
  m->set_by_device(r.by_device);
}

void put(const cds::CGetAlarmUpdateGlobalCount& r, GetAlarmUpdateGlobalCount* m, Encoder&) {
  m->set_count(r.count);
}

void put(const cds::CGetStoreInfo& r, GetStoreInfo* m, Encoder&) { m->set_text(r.text); }

void put(const cds::CSubscribe& r, Subscribe* m, Encoder&) {
  for (const auto& s : r.subscriptions) put(s, m->add_subscriptions());
}

void put(const cds::CManageSubscriberIDs& r, ManageSubscriberIDs* m, Encoder&) {
  m->set_op(r.op);
  put_ids(r.release_ids, m->mutable_release_ids());
  put_ids(r.reserved_ids, m->mutable_reserved_ids());
  put_ids(r.other_ids, m->mutable_other_ids());
  m->set_aux(r.aux);
}

void put(const cds::CSubscriberNotify& r, SubscriberNotify* m, Encoder&) {
  m->set_subscription_id(r.subscription_id);
  m->set_type(r.type);
  for (const auto& v : r.values) {
    auto* entry = m->add_values();
    entry->set_channel_id(v.first);
    put(v.second, entry->mutable_value());
  }
  put_ids(r.numbers_5, m->mutable_numbers_5());
  put_ids(r.numbers_2, m->mutable_numbers_2());
  put_ids(r.device_ids, m->mutable_device_ids());
  put_texts(r.paths, m->mutable_paths());
  for (const CAlarmUpdate* u : in_instance_order(r.alarm_updates)) put(*u, m->add_alarm_updates());
  put_ids(r.device_ids_14, m->mutable_device_ids_14());
}

// The Envelope body of a record; false for a class this codec does not know.
// Looked up by the record's exact class; a class derived from a record class
// is found by casting.
bool put_body(const cds::CRequestResponse& record, Envelope* env, Encoder& e) {
  using Put = void (*)(const cds::CRequestResponse&, Envelope*, Encoder&);
#define ZU_WIRE_ENCODE(Class, field, Case)                                      \
  {typeid(cds::Class), [](const cds::CRequestResponse& record, Envelope* env, Encoder& e) { \
     const auto& r = static_cast<const cds::Class&>(record);                    \
     auto* m = env->mutable_##field();                                          \
     put_header(r, m->mutable_header());                                        \
     put(r, m, e);                                                              \
   }},
  static const std::unordered_map<std::type_index, Put> by_class{ZU_WIRE_RECORDS(ZU_WIRE_ENCODE)};
#undef ZU_WIRE_ENCODE
  auto found = by_class.find(typeid(record));
#define ZU_WIRE_FIND_BASE(Class, field, Case) \
  if (found == by_class.end() && dynamic_cast<const cds::Class*>(&record)) found = by_class.find(typeid(cds::Class));
  ZU_WIRE_RECORDS(ZU_WIRE_FIND_BASE)
#undef ZU_WIRE_FIND_BASE
  if (found == by_class.end()) return false;
  found->second(record, env, e);
  return true;
}

// Serializes `env` into `*out`, after `room` bytes left for a frame's header.
bool serialize(const Envelope& env, const char* what, std::string* out, std::string* error,
               std::size_t room = 0) {
  if (!out) {
    set_error(error, "no output given for the encoded frame");
    return false;
  }
  const std::size_t size = env.ByteSizeLong();
  if (size > kMaxFrame) {
    set_error(error, std::string("the encoded ") + what + " takes " + std::to_string(size) +
                         " bytes, more than the frame limit of " + std::to_string(kMaxFrame) + " bytes");
    return false;
  }
  out->resize(room + size);
  // The sizes were just worked out: writing with them saves a second pass.
  env.SerializeWithCachedSizesToArray(reinterpret_cast<std::uint8_t*>(&(*out)[room]));
  return true;
}

void put_frame_header(std::uint32_t n, char* at) {
  at[0] = static_cast<char>((n >> 24) & 0xFF);
  at[1] = static_cast<char>((n >> 16) & 0xFF);
  at[2] = static_cast<char>((n >> 8) & 0xFF);
  at[3] = static_cast<char>(n & 0xFF);
}

// ---- decoding ------------------------------------------------------------------

// The integer type a field is stored as: an enumeration's underlying type.
template <typename T, bool = std::is_enum_v<T>>
struct storage_of {
  using type = T;
};
template <typename T>
struct storage_of<T, true> {
  using type = std::underlying_type_t<T>;
};

// Collects the first reason a message does not fit its record.
class Decoder {
 public:
  bool fail(std::string text) {
    if (error_.empty()) error_ = std::move(text);
    return false;
  }
  const std::string& error() const { return error_; }

  // `v` into a narrower unsigned field; fails when it does not fit.
  template <typename T>
  bool narrow(std::uint32_t v, T* out, const char* field) {
    using U = typename storage_of<T>::type;
    static_assert(std::is_unsigned_v<U>, "narrowed fields are unsigned");
    if (v > std::numeric_limits<U>::max())
      return fail(std::string(field) + " " + std::to_string(v) + " is out of range (at most " +
                  std::to_string(static_cast<unsigned>(std::numeric_limits<U>::max())) + ")");
    *out = static_cast<T>(v);
    return true;
  }

 private:
  std::string error_;
};

// The element decoders that get_list instantiates over.
bool get(const Value& m, CValue* out, Decoder& d);
bool get(const AlarmTrigger& m, CAlarmTrigger* t, Decoder& d);
bool get(const ChannelSettings& m, CChannelSettings* s, Decoder& d);
bool get(const Channel& m, CChannel* c, Decoder& d);
bool get(const AlarmUpdate& m, CAlarmUpdate* u, Decoder& d);
bool get(const proto::Device& m, CDevice* dev, Decoder& d);
bool get(const CreateSingleChannel& m, cds::CCreateSingleChannel* c, Decoder& d);
bool get(const UpdateSingleChannelValue& m, cds::CUpdateSingleChannelValue* v, Decoder& d);
bool get(const SingleAlarmConfig& m, cds::CSingleAlarmConfig* c, Decoder& d);
bool get(const SetSingleState& m, cds::CSetSingleState* s, Decoder& d);
bool get(const StateResult& m, cds::CStateResult* r, Decoder& d);
bool get(const SetOOBDataUnit& m, cds::CSetOOBDataUnit* u, Decoder& d);
bool get(const OOBDataResult& m, cds::COOBDataResult* r, Decoder& d);
bool get(const SubscribeSingle& m, cds::CSubscribeSingle* s, Decoder& d);
bool get(const ChannelResult& m, cds::CChannelResult* r, Decoder& d);
bool get(const ChannelValueResult& m, cds::CChannelValueResult* r, Decoder& d);

template <typename Out, typename In>
bool get_list(const In& in, std::vector<Out>* out, Decoder& d) {
  out->clear();
  out->reserve(static_cast<std::size_t>(in.size()));
  for (const auto& m : in) {
    out->emplace_back();
    if (!get(m, &out->back(), d)) return false;
  }
  return true;
}

bool get(const Value& m, CValue* out, Decoder& d, const char* field) {
  switch (m.kind_case()) {
    case Value::kInvalid: *out = CValue(); return true;
    case Value::kBoolValue: *out = CValue(m.bool_value()); return true;
    case Value::kInt32Value: *out = CValue(static_cast<int>(m.int32_value())); return true;
    case Value::kInt64Value: *out = CValue(static_cast<long long>(m.int64_value())); return true;
    case Value::kUint32Value: *out = CValue(static_cast<unsigned int>(m.uint32_value())); return true;
    case Value::kUint64Value: *out = CValue(static_cast<unsigned long long>(m.uint64_value())); return true;
    case Value::kFloatValue: *out = CValue(m.float_value()); return true;
    case Value::kDoubleValue: *out = CValue(m.double_value()); return true;
    case Value::kTimestampValue:
      *out = CValue(CTimestamp{m.timestamp_value().seconds(), m.timestamp_value().nanoseconds()});
      return true;
    case Value::kStringValue: *out = CValue(m.string_value()); return true;
    case Value::kBytesValue: *out = CValue(CBytes(m.bytes_value().begin(), m.bytes_value().end())); return true;
    case Value::KIND_NOT_SET: break;
  }
  return d.fail(std::string(field) + ": value of no known type");
}

// A missing time is an unset one.
CWallTime get_time(bool present, const WallTime& m) {
  CWallTime t;
  if (present) {
    t.seconds = m.seconds();
    t.nanoseconds = m.nanoseconds();
  }
  return t;
}

bool get_header(const Header& m, cds::CRequestResponse* r, Decoder& d) {
  r->status = m.status();
  r->sequence = m.sequence();
  r->origin = m.origin();
  r->message = m.message();
  r->timeout = m.timeout();
  r->reserved = m.reserved();
  return d.narrow(m.kind(), &r->kind, "kind") && d.narrow(m.flags(), &r->flags, "flags");
}

bool get(const ChannelSettings& m, CChannelSettings* s, Decoder& d) {
  s->id = m.id();
  s->text1 = m.text1();
  s->text2 = m.text2();
  s->description = m.description();
  s->units = m.units();
  if (!d.narrow(m.data_type(), &s->data_type, "data_type") || !d.narrow(m.flags(), &s->flags, "settings flags"))
    return false;
  s->multistate.clear();
  for (const auto& entry : m.multistate()) {
    CValue key;
    if (!get(entry.key(), &key, d, "multistate key")) return false;
    if (!s->multistate.emplace(std::move(key), entry.text()).second)
      return d.fail("multistate of channel " + std::to_string(m.id()) + ": duplicate key");
  }
  return true;
}

bool get(const AlarmTrigger& m, CAlarmTrigger* t, Decoder& d) {
  t->level = m.level();
  t->priority = m.priority();
  t->code = m.code();
  t->delay = m.delay();
  return d.narrow(m.trigger_flag(), &t->trigger_flag, "trigger_flag") &&
         d.narrow(m.trigger_flag2(), &t->trigger_flag2, "trigger_flag2") &&
         get(m.threshold(), &t->threshold, d, "threshold") &&
         get(m.trigger_value(), &t->trigger_value, d, "trigger_value") &&
         get(m.hysteresis(), &t->hysteresis, d, "hysteresis");
}

bool get(const Value& m, CValue* out, Decoder& d) { return get(m, out, d, "value"); }

bool get(const Channel& m, CChannel* c, Decoder& d) {
  auto settings = std::make_shared<CChannelSettings>();
  if (m.has_settings() && !get(m.settings(), settings.get(), d)) return false;
  c->set_settings(std::move(settings));
  c->device_id = m.device_id();
  c->name = m.name();
  c->create_flag = m.create_flag();
  c->state = CStateBits(m.state());
  return get_list(m.triggers(), &c->triggers, d);
}

bool get_callback(bool present, const AlarmCallback& m, boost::optional<CAlarmCallback>* out, Decoder& d) {
  out->reset();
  if (!present) return true;
  CAlarmCallback cb;  // the callable stays in the sender's process
  if (!d.narrow(m.tag(), &cb.tag, "aux callback tag")) return false;
  *out = std::move(cb);
  return true;
}

bool get(const AlarmUpdate& m, CAlarmUpdate* u, Decoder& d) {
  u->alarm_id = m.alarm_id();
  u->alarm_index = m.alarm_index();
  u->instance = m.instance();
  u->time = get_time(m.has_time(), m.time());
  u->aux_number1 = m.aux_number1();
  u->aux_number2 = m.aux_number2();
  u->back_to_normal = m.back_to_normal();
  u->description = m.description();
  u->aux_number3 = m.aux_number3();
  u->aux_text1 = m.aux_text1();
  u->aux_text2 = m.aux_text2();
  u->aux_text3 = m.aux_text3();
  u->aux_time = get_time(m.has_aux_time(), m.aux_time());
  u->aux_number4 = m.aux_number4();
  u->active = m.active();
  if (!get(m.value(), &u->value, d, "alarm value") ||
      !get_callback(m.has_aux_callback1(), m.aux_callback1(), &u->aux_callback1, d) ||
      !get_callback(m.has_aux_callback2(), m.aux_callback2(), &u->aux_callback2, d) ||
      !d.narrow(m.aux_flag(), &u->aux_flag, "aux_flag") || !d.narrow(m.aux_flag2(), &u->aux_flag2, "aux_flag2"))
    return false;
  u->trigger.reset();
  if (m.has_trigger()) {
    CAlarmTrigger t;
    if (!get(m.trigger(), &t, d)) return false;
    u->trigger = std::move(t);
  }
  return true;
}

bool get(const proto::Device& m, CDevice* dev, Decoder&) {
  *dev = CDevice(m);
  return true;
}

bool get(const CreateSingleChannel& m, cds::CCreateSingleChannel* c, Decoder&) {
  c->device_id = m.device_id();
  c->name = m.name();
  c->flag = m.flag();
  c->channel_id = m.channel_id();
  return true;
}

bool get(const UpdateSingleChannelValue& m, cds::CUpdateSingleChannelValue* v, Decoder& d) {
  v->channel_id = m.channel_id();
  return get(m.value(), &v->value, d, "channel value");
}

bool get(const SingleField& m, cds::CSingleField* f, Decoder& d) {
  f->field_kind = m.field_kind();
  f->name = m.name();
  f->value_kind = m.value_kind();
  f->id = m.id();
  f->scope = m.scope();
  return get(m.value(), &f->value, d, "field value");
}

bool get(const SingleAlarmConfig& m, cds::CSingleAlarmConfig* c, Decoder& d) {
  c->channel_id = m.channel_id();
  return get_list(m.triggers(), &c->triggers, d);
}

bool get(const SetSingleState& m, cds::CSetSingleState* s, Decoder& d) {
  s->id = m.id();
  s->state = CStateBits(m.state());
  s->state2 = CStateBits(m.state2());
  s->flag = m.flag();
  return d.narrow(m.op(), &s->op, "state op");
}

bool get(const StateResult& m, cds::CStateResult* r, Decoder&) {
  r->id = m.id();
  r->status = m.status();
  return true;
}

bool get(const SetOOBDataUnit& m, cds::CSetOOBDataUnit* u, Decoder&) {
  u->path = m.path();
  u->data.CopyFrom(m.data());
  u->aux1 = m.aux1();
  u->aux2 = m.aux2();
  return true;
}

bool get(const OOBDataResult& m, cds::COOBDataResult* r, Decoder& d) {
  r->path = m.path();
  r->data.CopyFrom(m.data());
  return d.narrow(m.found(), &r->found, "found");
}

bool get(const SubscribeSingle& m, cds::CSubscribeSingle* s, Decoder& d) {
  s->subscription_id = m.subscription_id();
  s->object_id = m.object_id();
  s->path = m.path();
  s->flag = m.flag();
  s->flag2 = m.flag2();
  return d.narrow(m.type(), &s->type, "subscription type");
}

bool get(const ChannelResult& m, cds::CChannelResult* r, Decoder& d) {
  r->channel_id = m.channel_id();
  r->time = get_time(m.has_time(), m.time());
  return get(m.channel(), &r->channel, d) && get(m.value(), &r->value, d, "channel value");
}

bool get(const ChannelValueResult& m, cds::CChannelValueResult* r, Decoder& d) {
  r->channel_id = m.channel_id();
  r->text = m.text();
  r->state = CStateBits(m.state());
  r->time = get_time(m.has_time(), m.time());
  return get(m.value(), &r->value, d, "channel value");
}

template <typename Repeated>
void get_ids(const Repeated& in, cds::IdList* out) {
  out->assign(in.begin(), in.end());
}

// Entries of a set; a repeated entry means the peer did not encode a set.
template <typename Repeated, typename Set>
bool get_unique(const Repeated& in, Set* out, Decoder& d, const char* field) {
  out->clear();
  for (const auto& x : in)
    if (!out->insert(x).second) return d.fail(std::string(field) + ": duplicate entry");
  return true;
}

template <typename Repeated>
void get_texts(const Repeated& in, std::vector<std::string>* out) {
  out->assign(in.begin(), in.end());
}

bool get(const GetDevice& m, cds::CGetDevice* r, Decoder& d) {
  get_ids(m.ids(), &r->ids);
  r->depth = m.depth();
  return get_list(m.devices(), &r->devices, d);
}

bool get(const CreateDevice& m, cds::CCreateDevice* r, Decoder& d) {
  r->use_given_ids = m.use_given_ids();
  return get_list(m.devices(), &r->devices, d);
}

bool get(const UpdateDevice& m, cds::CUpdateDevice* r, Decoder& d) {
  return get_list(m.devices(), &r->devices, d) && get_list(m.values(), &r->values, d);
}

bool get(const DeleteDevice& m, cds::CDeleteDevice* r, Decoder&) {
  get_ids(m.ids(), &r->ids);
  return true;
}

bool get(const CreateChannel& m, cds::CCreateChannel* r, Decoder& d) {
  r->legacy = m.legacy();
  return get_list(m.requests(), &r->requests, d) && get_list(m.channels(), &r->channels, d);
}

bool get(const GetChannel& m, cds::CGetChannel* r, Decoder& d) {
  get_ids(m.ids(), &r->ids);
  r->device_id = m.device_id();
  get_texts(m.names(), &r->names);
  r->flag = m.flag();
  return get_list(m.results(), &r->results, d);
}

bool get(const DeleteChannel& m, cds::CDeleteChannel* r, Decoder&) {
  get_ids(m.ids(), &r->ids);
  return true;
}

bool get(const GetChannelValue& m, cds::CGetChannelValue* r, Decoder& d) {
  get_ids(m.ids(), &r->ids);
  return get_list(m.values(), &r->values, d);
}

bool get(const UpdateChannelValue& m, cds::CUpdateChannelValue* r, Decoder& d) {
  r->time = get_time(m.has_time(), m.time());
  r->flag = m.flag();
  return get_list(m.values(), &r->values, d);
}

bool get(const GetChannelSettings& m, cds::CGetChannelSettings* r, Decoder& d) {
  get_ids(m.ids(), &r->ids);
  r->flag = m.flag();
  return get_list(m.settings(), &r->settings, d);
}

bool get(const UpdateChannelSettings& m, cds::CUpdateChannelSettings* r, Decoder& d) {
  return get_list(m.settings(), &r->settings, d) && get_list(m.values(), &r->values, d);
}

template <typename Repeated>
bool get_fields(const Repeated& in, std::unordered_set<cds::CSingleField>* out, Decoder& d) {
  out->clear();
  for (const auto& m : in) {
    cds::CSingleField f;
    if (!get(m, &f, d)) return false;
    if (!out->insert(std::move(f)).second) return d.fail("fields: duplicate field '" + m.name() + "'");
  }
  return true;
}

bool get(const SetFieldValue& m, cds::CSetFieldValue* r, Decoder& d) { return get_fields(m.fields(), &r->fields, d); }

bool get(const GetFieldValue& m, cds::CGetFieldValue* r, Decoder& d) { return get_fields(m.fields(), &r->fields, d); }

bool get(const GetAlarmConfig& m, cds::CGetAlarmConfig* r, Decoder& d) {
  return get_unique(m.channel_ids(), &r->channel_ids, d, "channel_ids") &&
         get_unique(m.device_ids(), &r->device_ids, d, "device_ids") && get_list(m.configs(), &r->configs, d);
}

bool get(const SetAlarmConfig& m, cds::CSetAlarmConfig* r, Decoder& d) {
  return get_list(m.configs(), &r->configs, d) && get_list(m.values(), &r->values, d);
}

bool get(const SetChannelState& m, cds::CSetChannelState* r, Decoder& d) {
  return get_list(m.states(), &r->states, d) && get_list(m.results(), &r->results, d);
}

bool get(const SetDeviceState& m, cds::CSetDeviceState* r, Decoder& d) {
  return get_list(m.states(), &r->states, d) && get_list(m.results(), &r->results, d);
}

bool get(const GetOOBData& m, cds::CGetOOBData* r, Decoder& d) {
  get_texts(m.paths(), &r->paths);
  return get_list(m.results(), &r->results, d);
}

bool get(const SetOOBData& m, cds::CSetOOBData* r, Decoder& d) { return get_list(m.units(), &r->units, d); }

bool get(const GetAlarms& m, cds::CGetAlarms* r, Decoder& d) {
  r->start = m.start();
  r->date1 = get_time(m.has_date1(), m.date1());
  r->date2 = get_time(m.has_date2(), m.date2());
  r->max_count = m.max_count();
  r->active_only = m.active_only();
  r->closed_only = m.closed_only();
  get_ids(m.ids(), &r->ids);
  r->ids_given = m.ids_given();
  r->date3 = get_time(m.has_date3(), m.date3());
  r->date4 = get_time(m.has_date4(), m.date4());
  r->active_query = m.active_query();
  r->aux_query_flag = m.aux_query_flag();
  r->recursive = m.recursive();
  r->aux_query_number = m.aux_query_number();
  r->order_flag = m.order_flag();
  r->found_count = m.found_count();
  r->count_only = m.count_only();
  r->level = m.level();
  r->level_given = m.level_given();
  r->filter_text = m.filter_text();
  return get_unique(m.alarm_ids(), &r->alarm_ids, d, "alarm_ids") &&
         d.narrow(m.filter_byte(), &r->filter_byte, "filter_byte") && get_list(m.alarms(), &r->alarms, d);
}

bool get(const DeleteAlarms& m, cds::CDeleteAlarms* r, Decoder& d) {
  r->time = get_time(m.has_time(), m.time());
  r->clear_param1 = m.clear_param1();
  r->clear_param2 = m.clear_param2();
  r->by_device = m.by_device();
  return get_unique(m.alarm_ids(), &r->alarm_ids, d, "alarm_ids") &&
         get_unique(m.device_ids(), &r->device_ids, d, "device_ids");
}

bool get(const GetAlarmUpdateGlobalCount& m, cds::CGetAlarmUpdateGlobalCount* r, Decoder&) {
  r->count = m.count();
  return true;
}

bool get(const GetStoreInfo& m, cds::CGetStoreInfo* r, Decoder&) {
  r->text = m.text();
  return true;
}

bool get(const Subscribe& m, cds::CSubscribe* r, Decoder& d) {
  return get_list(m.subscriptions(), &r->subscriptions, d);
}

bool get(const ManageSubscriberIDs& m, cds::CManageSubscriberIDs* r, Decoder& d) {
  r->op = m.op();
  get_ids(m.release_ids(), &r->release_ids);
  get_ids(m.reserved_ids(), &r->reserved_ids);
  get_ids(m.other_ids(), &r->other_ids);
  return d.narrow(m.aux(), &r->aux, "aux");
}

bool get(const SubscriberNotify& m, cds::CSubscriberNotify* r, Decoder& d) {
  r->subscription_id = m.subscription_id();
  if (!d.narrow(m.type(), &r->type, "notification type")) return false;
  r->values.clear();
  for (const auto& entry : m.values()) {
    CValue v;
    if (!get(entry.value(), &v, d, "channel value")) return false;
    if (!r->values.emplace(entry.channel_id(), std::move(v)).second)
      return d.fail("values: duplicate channel " + std::to_string(entry.channel_id()));
  }
  if (!get_unique(m.numbers_5(), &r->numbers_5, d, "numbers_5") ||
      !get_unique(m.numbers_2(), &r->numbers_2, d, "numbers_2") ||
      !get_unique(m.device_ids(), &r->device_ids, d, "device_ids") ||
      !get_unique(m.paths(), &r->paths, d, "paths") ||
      !get_unique(m.device_ids_14(), &r->device_ids_14, d, "device_ids_14"))
    return false;
  r->alarm_updates.clear();
  for (const auto& um : m.alarm_updates()) {
    CAlarmUpdate u;
    if (!get(um, &u, d)) return false;
    if (!r->alarm_updates.insert(std::move(u)).second)
      return d.fail("alarm_updates: duplicate instance " + std::to_string(um.instance()) + " of alarm " +
                    std::to_string(um.alarm_id()));
  }
  return true;
}

template <typename Record, typename Message>
std::shared_ptr<cds::CRequestResponse> decode_as(const Message& m, std::string* error) {
  auto record = std::make_shared<Record>();
  Decoder d;
  if (get_header(m.header(), record.get(), d) && get(m, record.get(), d)) return record;
  set_error(error, std::string(record->class_name()) + ": " + d.error());
  return nullptr;
}

// Why an Envelope carries no known body.
std::string unknown_body_text(const Envelope& env) {
  const auto& unknown = env.GetReflection()->GetUnknownFields(env);
  for (int i = 0; i < unknown.field_count(); ++i) {
    // Field 1 is the correlation id; any other unknown field is a body of a newer peer.
    if (unknown.field(i).number() != 1)
      return "the envelope carries a body of unknown type (field " + std::to_string(unknown.field(i).number()) + ")";
  }
  return "the envelope carries no body";
}

std::string body_name(const Envelope& env) {
  switch (env.body_case()) {
    case Envelope::kHello: return "a hello";
    case Envelope::kHelloAck: return "a hello answer";
    case Envelope::kError: return "an error";
    case Envelope::BODY_NOT_SET: return unknown_body_text(env);
    default: return "a record";
  }
}

}  // namespace

// ---- records ------------------------------------------------------------------

std::string document_problem(const proto::toolkitStruct& document) {
  std::string why;
  if (check_document(document, 1, &why)) return std::string();
  return "the document " + why;
}

namespace {

bool encode_record_after(const cds::CRequestResponse& record, std::uint64_t correlation, std::string* out,
                         std::string* error, std::size_t room) {
  try {
    if (out && quick::encode(record, correlation, out, room, kMaxFrame)) return true;
    ArenaEnvelope arena_envelope;
    Envelope& env = *arena_envelope;
    env.set_correlation_id(correlation);
    Encoder e;
    if (!put_body(record, &env, e)) {
      set_error(error, std::string("records of class ") + record.class_name() + " have no wire form");
      return false;
    }
    if (!e.ok()) {
      set_error(error, std::string(record.class_name()) + ": " + e.error());
      return false;
    }
    return serialize(env, record.class_name(), out, error, room);
  } catch (const std::exception& ex) {
    set_error(error, std::string("encoding a ") + record.class_name() + " failed: " + ex.what());
    return false;
  }
}

}  // namespace

bool encode_record(const cds::CRequestResponse& record, std::uint64_t correlation, std::string* frame_payload,
                   std::string* error) {
  return encode_record_after(record, correlation, frame_payload, error, 0);
}

bool encode_record_frame(const cds::CRequestResponse& record, std::uint64_t correlation, std::string* frame,
                         std::string* error) {
  if (!encode_record_after(record, correlation, frame, error, kFrameHeaderSize)) return false;
  put_frame_header(static_cast<std::uint32_t>(frame->size() - kFrameHeaderSize), &(*frame)[0]);
  return true;
}

std::shared_ptr<cds::CRequestResponse> decode_record(const Envelope& envelope, std::string* error) {
  try {
    switch (envelope.body_case()) {
#define ZU_WIRE_DECODE(Class, field, Case) \
  case Envelope::Case: return decode_as<cds::Class>(envelope.field(), error);
      ZU_WIRE_RECORDS(ZU_WIRE_DECODE)
#undef ZU_WIRE_DECODE
      case Envelope::kError:
        set_error(error, "the peer reported an error (status " + std::to_string(envelope.error().status()) +
                             "): " + envelope.error().message());
        return nullptr;
      default:
        set_error(error, body_name(envelope) + ", not a record");
        return nullptr;
    }
  } catch (const std::exception& ex) {
    set_error(error, std::string("decoding a record failed: ") + ex.what());
    return nullptr;
  }
}

bool parse_envelope(const std::string& payload, Envelope* envelope, std::string* error) {
  if (payload.size() > kMaxFrame) {
    set_error(error, "a payload of " + std::to_string(payload.size()) + " bytes exceeds the frame limit of " +
                         std::to_string(kMaxFrame) + " bytes");
    return false;
  }
  try {
    // Each level of nesting takes at least two bytes (a tag and a length), so
    // a payload this short cannot reach the parser's default depth limit: it
    // is parsed without the stream that raises the limit, which costs more
    // than the parse of a small frame itself.
    const auto default_limit = google::protobuf::io::CodedInputStream::GetDefaultRecursionLimit();
    if (payload.size() < 2 * static_cast<std::size_t>(default_limit)) {
      if (envelope->ParseFromArray(payload.data(), static_cast<int>(payload.size()))) return true;
      set_error(error, "the payload of " + std::to_string(payload.size()) + " bytes is not a valid envelope");
      return false;
    }
    google::protobuf::io::CodedInputStream in(reinterpret_cast<const std::uint8_t*>(payload.data()),
                                              static_cast<int>(payload.size()));
    in.SetRecursionLimit(kParseRecursionLimit);
    if (!envelope->ParseFromCodedStream(&in) || !in.ConsumedEntireMessage()) {
      set_error(error, "the payload of " + std::to_string(payload.size()) + " bytes is not a valid envelope");
      return false;
    }
    return true;
  } catch (const std::exception& ex) {
    set_error(error, std::string("parsing an envelope failed: ") + ex.what());
    return false;
  }
}

std::shared_ptr<cds::CRequestResponse> decode_record(const std::string& payload, std::uint64_t* correlation,
                                                     std::string* error) {
  try {
    if (auto record = quick::decode(payload, correlation)) return record;
    ArenaEnvelope env;
    if (!parse_envelope(payload, env.get(), error)) return nullptr;
    if (correlation) *correlation = env->correlation_id();
    return decode_record(*env, error);
  } catch (const std::exception& ex) {
    set_error(error, std::string("decoding a record failed: ") + ex.what());
    return nullptr;
  }
}

ArenaEnvelope::ArenaEnvelope()
    : arena_([this] {
        google::protobuf::ArenaOptions options;
        options.initial_block = block_;
        options.initial_block_size = sizeof block_;
        return options;
      }()),
      envelope_(google::protobuf::Arena::CreateMessage<Envelope>(&arena_)) {}

std::shared_ptr<cds::CRequestResponse> decode_quick(const std::string& payload, std::uint64_t* correlation) {
  try {
    return quick::decode(payload, correlation);
  } catch (const std::exception&) {
    return nullptr;  // the general way says what went wrong
  }
}

// ---- session opening and errors --------------------------------------------

std::string version_mismatch_text(std::uint32_t peer_version) {
  return "the peer speaks protocol version " + std::to_string(peer_version) + ", this side speaks version " +
         std::to_string(kProtocolVersion);
}

bool encode_hello(const HelloInfo& hello, std::uint64_t correlation, std::string* frame_payload,
                  std::string* error) {
  try {
    Envelope env;
    env.set_correlation_id(correlation);
    auto* m = env.mutable_hello();
    m->set_client_name(hello.client_name);
    m->set_protocol_version(hello.protocol_version);
    m->set_handler(hello.handler);
    m->set_answer_socket(hello.answer_socket);
    return serialize(env, "hello", frame_payload, error);
  } catch (const std::exception& ex) {
    set_error(error, std::string("encoding a hello failed: ") + ex.what());
    return false;
  }
}

bool decode_hello(const Envelope& envelope, HelloInfo* hello, std::string* error) {
  if (envelope.body_case() != Envelope::kHello) {
    set_error(error, "expected a hello, got " + body_name(envelope));
    return false;
  }
  try {
    const auto& m = envelope.hello();
    hello->client_name = m.client_name();
    hello->protocol_version = m.protocol_version();
    hello->handler = m.handler();
    hello->answer_socket = m.answer_socket();
  } catch (const std::exception& ex) {
    set_error(error, std::string("decoding a hello failed: ") + ex.what());
    return false;
  }
  if (hello->protocol_version != kProtocolVersion) {
    set_error(error, version_mismatch_text(hello->protocol_version));
    return false;
  }
  return true;
}

bool encode_hello_ack(const HelloAckInfo& ack, std::uint64_t correlation, std::string* frame_payload,
                      std::string* error) {
  try {
    Envelope env;
    env.set_correlation_id(correlation);
    auto* m = env.mutable_hello_ack();
    m->set_accepted(ack.accepted);
    m->set_message(ack.message);
    m->set_protocol_version(ack.protocol_version);
    m->set_answer_socket(ack.answer_socket);
    return serialize(env, "hello answer", frame_payload, error);
  } catch (const std::exception& ex) {
    set_error(error, std::string("encoding a hello answer failed: ") + ex.what());
    return false;
  }
}

bool decode_hello_ack(const Envelope& envelope, HelloAckInfo* ack, std::string* error) {
  if (envelope.body_case() != Envelope::kHelloAck) {
    set_error(error, "expected a hello answer, got " + body_name(envelope));
    return false;
  }
  try {
    const auto& m = envelope.hello_ack();
    ack->accepted = m.accepted();
    ack->message = m.message();
    ack->protocol_version = m.protocol_version();
    ack->answer_socket = m.answer_socket();
  } catch (const std::exception& ex) {
    set_error(error, std::string("decoding a hello answer failed: ") + ex.what());
    return false;
  }
  if (!ack->accepted) {
    set_error(error, "the data store refused the session: " + ack->message);
    return false;
  }
  if (ack->protocol_version != kProtocolVersion) {
    set_error(error, version_mismatch_text(ack->protocol_version));
    return false;
  }
  return true;
}

bool encode_error(std::uint32_t status, const std::string& message, std::uint64_t correlation,
                  std::string* frame_payload, std::string* error) {
  try {
    Envelope env;
    env.set_correlation_id(correlation);
    env.mutable_error()->set_status(status);
    env.mutable_error()->set_message(message);
    return serialize(env, "error", frame_payload, error);
  } catch (const std::exception& ex) {
    set_error(error, std::string("encoding an error failed: ") + ex.what());
    return false;
  }
}

// ---- framing -------------------------------------------------------------------

std::string frame(const std::string& payload) {
  if (payload.size() > kMaxFrame) return std::string();
  std::string out(kFrameHeaderSize, '\0');
  put_frame_header(static_cast<std::uint32_t>(payload.size()), &out[0]);
  out += payload;
  return out;
}

bool FrameReader::feed(const char* data, std::size_t size) {
  if (failed()) return false;
  while (size > 0) {
    if (!expecting_body_) {
      const std::size_t take = std::min(kFrameHeaderSize - header_fill_, size);
      std::memcpy(header_ + header_fill_, data, take);
      header_fill_ += take;
      data += take;
      size -= take;
      if (header_fill_ < kFrameHeaderSize) break;
      header_fill_ = 0;
      body_size_ = (static_cast<std::uint32_t>(header_[0]) << 24) | (static_cast<std::uint32_t>(header_[1]) << 16) |
                   (static_cast<std::uint32_t>(header_[2]) << 8) | static_cast<std::uint32_t>(header_[3]);
      if (body_size_ > kMaxFrame) {
        error_ = "a frame announces " + std::to_string(body_size_) + " bytes, more than the limit of " +
                 std::to_string(kMaxFrame) + " bytes";
        body_.clear();
        return false;
      }
      expecting_body_ = true;
      body_.clear();
    }
    // The body grows with what arrives; the announced size is never reserved up front.
    const std::size_t take = std::min(static_cast<std::size_t>(body_size_) - body_.size(), size);
    body_.append(data, take);
    data += take;
    size -= take;
    if (body_.size() == body_size_) {
      ready_.push_back(std::move(body_));
      body_ = std::string();
      if (!spare_.empty()) {
        body_.swap(spare_.back());
        spare_.pop_back();
      }
      expecting_body_ = false;
    }
  }
  return true;
}

bool FrameReader::pop(std::string* payload) {
  if (ready_.empty()) return false;
  // The caller's last payload, when it had memory of its own, becomes a later
  // frame's body: a reader that keeps its payload string allocates nothing
  // per frame. A large one is let go rather than held.
  const std::size_t capacity = payload->capacity();
  if (capacity > std::string().capacity() && capacity <= kSpareCapacity && spare_.size() < kSpares)
    spare_.push_back(std::move(*payload));  // emptied when a frame begins in it
  *payload = std::move(ready_.front());
  ready_.pop_front();
  return true;
}

}  // namespace wire
}  // namespace zu
