#pragma once
// Channel values as people type and read them, and the names of data types,
// alarm levels and trigger directions.
#include <cstdint>
#include <optional>
#include <string>

#include "zu/CValue.h"

namespace cdsctl {

// The data type code of a name ("int32", "double", ...); empty for an unknown name.
std::optional<std::uint8_t> type_from_name(const std::string& name);
// The names accepted by type_from_name, for messages: "bool, int32, ...".
std::string type_names();

// `text` as a value of data type `type`. Refuses (Failure, naming the text and
// the type) text that is not a value of that type or does not fit in it:
// nothing is rounded to a smaller type or cut short.
//   bool       true, false, 1, 0
//   integers   decimal, within the type's range
//   float      decimal or exponent notation, finite and within range
//   timestamp  seconds since the epoch with up to 9 decimals, or
//              YYYY-MM-DDTHH:MM:SS[.fraction][Z] in UTC
//   bytes      hexadecimal digits, two per byte, optionally after "0x"
zu::CValue parse_value(const std::string& text, std::uint8_t type);

// A value as a person reads it: numbers in their shortest exact form,
// timestamps as UTC date and time, bytes in hexadecimal, "(unset)" for none.
std::string value_text(const zu::CValue& value);
// The value followed by its units when there are any.
std::string value_with_units(const zu::CValue& value, const std::string& units);
// A timestamp as YYYY-MM-DDTHH:MM:SS[.fraction]Z.
std::string timestamp_text(const zu::CTimestamp& t);

// Alarm levels as the library presents them: "good" 4, "info" 5, "warning" 6,
// "critical" 7; empty for another word.
std::optional<unsigned> level_from_name(const std::string& name);
// Trigger directions: "high" 0, "low" 1, "equal" 2.
std::optional<std::uint8_t> direction_from_name(const std::string& name);
const char* direction_name(std::uint8_t direction);

}  // namespace cdsctl
