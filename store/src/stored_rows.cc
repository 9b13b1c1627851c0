// The store's objects as columns of its file.
#include "stored_rows.h"

#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <utility>

#include "sqlite_db.h"
#include "zu/cds/Records.h"
#include "zu/wire/Codec.h"

namespace cds {
namespace store {
namespace detail {

namespace {

enum field_kind : std::uint32_t { kind_device = 1, kind_scoped = 3 };

std::string encode(const zu::cds::CRequestResponse& record) {
  std::string bytes, error;
  // What the store keeps always encodes (it checks texts and documents when
  // they arrive), except what only the embedded transport can hand it.
  if (!zu::wire::encode_record(record, 0, &bytes, &error)) throw BadRow{"cannot be stored: " + error};
  return bytes;
}

template <typename R>
std::shared_ptr<R> decode(const std::string& blob, const char* what) {
  std::string error;
  auto record = std::dynamic_pointer_cast<R>(zu::wire::decode_record(blob, nullptr, &error));
  if (!record) throw BadRow{std::string("a stored ") + what + " does not decode" + (error.empty() ? "" : ": " + error)};
  return record;
}

}  // namespace

std::string encode_device(const zu::CDevice& record) {
  zu::cds::CGetDevice holder;
  holder.devices.push_back(record);
  holder.devices.back().sub_devices.clear();
  holder.devices.back().channels.clear();
  return encode(holder);
}

zu::CDevice decode_device(const std::string& blob) {
  auto holder = decode<zu::cds::CGetDevice>(blob, "device");
  if (holder->devices.size() != 1) throw BadRow{"a stored device holds no device"};
  return holder->devices.front();
}

std::string encode_fields(const DeviceNode& node) {
  if (node.extra_fields.empty() && node.scoped_fields.empty()) return std::string();
  zu::cds::CSetFieldValue holder;
  for (const auto& [name, value] : node.extra_fields) {
    zu::cds::CSingleField field;
    field.field_kind = kind_device;
    field.name = name;
    field.value = value;
    holder.fields.insert(field);
  }
  for (const auto& [scope, fields] : node.scoped_fields)
    for (const auto& [name, value] : fields) {
      zu::cds::CSingleField field;
      field.field_kind = kind_scoped;
      field.scope = scope;
      field.name = name;
      field.value = value;
      holder.fields.insert(field);
    }
  return encode(holder);
}

void decode_fields(const std::string& blob, DeviceNode& node) {
  if (blob.empty()) return;
  auto holder = decode<zu::cds::CSetFieldValue>(blob, "device's fields");
  for (const zu::cds::CSingleField& field : holder->fields) {
    if (field.field_kind == kind_scoped)
      node.scoped_fields[field.scope][field.name] = field.value;
    else
      node.extra_fields[field.name] = field.value;
  }
}

std::string encode_channel(const zu::CChannel& channel) {
  zu::cds::CGetChannel holder;
  zu::cds::CChannelResult result;
  result.channel_id = channel.id();
  result.channel = channel;
  holder.results.push_back(std::move(result));
  return encode(holder);
}

zu::CChannel decode_channel(const std::string& blob) {
  auto holder = decode<zu::cds::CGetChannel>(blob, "channel");
  if (holder->results.size() != 1 || !holder->results.front().channel.settings())
    throw BadRow{"a stored channel holds no channel"};
  return holder->results.front().channel;
}

// "D;N R H;N R H..." : disabled, then per trigger its number, raised, held down.
std::string encode_alarm_state(const ChannelAlarms& alarms) {
  std::string text = alarms.disabled ? "1" : "0";
  for (const TriggerAlarmState& t : alarms.triggers)
    text += ";" + std::to_string(t.number) + " " + (t.raised ? "1" : "0") + " " + (t.held_down ? "1" : "0");
  return text;
}

ChannelAlarms decode_alarm_state(const std::string& text) {
  ChannelAlarms alarms;
  std::istringstream in(text);
  std::string part;
  if (!std::getline(in, part, ';') || (part != "0" && part != "1")) throw BadRow{"a stored alarm state is damaged"};
  alarms.disabled = part == "1";
  while (std::getline(in, part, ';')) {
    std::istringstream fields(part);
    TriggerAlarmState state;
    int raised = 0, held = 0;
    if (!(fields >> state.number >> raised >> held)) throw BadRow{"a stored alarm state is damaged"};
    state.raised = raised != 0;
    state.held_down = held != 0;
    alarms.triggers.push_back(state);
  }
  return alarms;
}

std::string encode_update(const zu::CAlarmUpdate& update) {
  zu::cds::CGetAlarms holder;
  holder.alarms.push_back(update);
  return encode(holder);
}

zu::CAlarmUpdate decode_update(const std::string& blob) {
  auto holder = decode<zu::cds::CGetAlarms>(blob, "alarm update");
  if (holder->alarms.size() != 1) throw BadRow{"a stored alarm update holds none"};
  return holder->alarms.front();
}

void bind_value(Statement& statement, int column, const zu::CValue& value) {
  switch (value.type()) {
    case zu::type_bool:
    case zu::type_int32:
    case zu::type_int64:
    case zu::type_uint32: statement.bind(column, static_cast<std::int64_t>(value.as_int64())); break;
    case zu::type_uint64: statement.bind(column, static_cast<std::int64_t>(value.as_uint64())); break;
    case zu::type_float:
    case zu::type_double: statement.bind(column, value.as_double()); break;
    case zu::type_timestamp: {
      const zu::CTimestamp t = *value.get_if<zu::CTimestamp>();
      statement.bind_text(column, std::to_string(t.seconds) + "." + std::to_string(t.nanoseconds));
      break;
    }
    case zu::type_string: statement.bind_blob(column, *value.get_if<std::string>()); break;
    case zu::type_bytes: {
      const zu::CBytes& bytes = *value.get_if<zu::CBytes>();
      statement.bind_blob(column, std::string(bytes.begin(), bytes.end()));
      break;
    }
    default: statement.bind_null(column); break;
  }
}

zu::CValue column_value(const Statement& statement, int column, std::uint8_t type) {
  if (statement.type(column) == SQLITE_NULL) return zu::CValue();
  const std::int64_t n = statement.integer(column);
  switch (type) {
    case zu::type_bool: return zu::CValue(n != 0);
    case zu::type_int32: return zu::CValue(static_cast<int>(n));
    case zu::type_int64: return zu::CValue(static_cast<long long>(n));
    case zu::type_uint32: return zu::CValue(static_cast<unsigned int>(n));
    case zu::type_uint64: return zu::CValue(static_cast<unsigned long long>(n));
    case zu::type_float: return zu::CValue(static_cast<float>(statement.real(column)));
    case zu::type_double: return zu::CValue(statement.real(column));
    case zu::type_timestamp: {
      zu::CTimestamp t;
      const std::string text = statement.blob(column);
      const auto dot = text.find('.');
      if (dot == std::string::npos) throw BadRow{"a stored timestamp value is damaged"};
      t.seconds = std::stoll(text.substr(0, dot));
      t.nanoseconds = static_cast<std::uint32_t>(std::stoul(text.substr(dot + 1)));
      return zu::CValue(t);
    }
    case zu::type_string: return zu::CValue(statement.blob(column));
    case zu::type_bytes: {
      const std::string bytes = statement.blob(column);
      return zu::CValue(zu::CBytes(bytes.begin(), bytes.end()));
    }
    default: throw BadRow{"a stored value has the unknown type " + std::to_string(type)};
  }
}

std::int64_t time_seconds(const zu::CWallTime& time) { return time.seconds; }

zu::CWallTime time_from(std::int64_t seconds, std::int64_t nanoseconds) {
  if (seconds < std::numeric_limits<std::int32_t>::min() || seconds > std::numeric_limits<std::int32_t>::max() ||
      nanoseconds < 0 || nanoseconds >= 1000000000)
    throw BadRow{"a stored time is out of the range this version reads"};
  return zu::CWallTime::from_seconds(seconds, static_cast<std::uint32_t>(nanoseconds));
}

}  // namespace detail
}  // namespace store
}  // namespace cds
