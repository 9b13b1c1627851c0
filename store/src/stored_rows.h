#pragma once
// How the store's objects become the columns of its file, and back. Records
// go through the wire codec, so the file holds exactly what the protocol
// carries; times and values get columns of their own, times as 64-bit
// seconds. Internal to the store.
#include <cstdint>
#include <string>

#include "alarm_state.h"
#include "store_data.h"
#include "zu/CAlarm.h"
#include "zu/CValue.h"
#include "zu/CWallTime.h"

namespace cds {
namespace store {
namespace detail {

class Statement;

// Thrown by the decoders for a column that does not decode: a corrupt file.
struct BadRow {
  std::string what;
};

// A device without its tree links (they are rebuilt from the parents), and
// its extra and scoped fields.
std::string encode_device(const zu::CDevice& record);
zu::CDevice decode_device(const std::string& blob);
std::string encode_fields(const DeviceNode& node);
void decode_fields(const std::string& blob, DeviceNode& node);

// A channel's record (settings, name, triggers, state) without its value.
std::string encode_channel(const zu::CChannel& channel);
zu::CChannel decode_channel(const std::string& blob);
// The runtime state of the channel's triggers that a restart keeps: which
// alarm number each holds, raised, held down.
std::string encode_alarm_state(const ChannelAlarms& alarms);
ChannelAlarms decode_alarm_state(const std::string& text);

std::string encode_update(const zu::CAlarmUpdate& update);
zu::CAlarmUpdate decode_update(const std::string& blob);

// A value into column `column` of `statement` (its type goes elsewhere), and back.
void bind_value(Statement& statement, int column, const zu::CValue& value);
zu::CValue column_value(const Statement& statement, int column, std::uint8_t type);

std::int64_t time_seconds(const zu::CWallTime& time);
zu::CWallTime time_from(std::int64_t seconds, std::int64_t nanoseconds);

}  // namespace detail
}  // namespace store
}  // namespace cds
