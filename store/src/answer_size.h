#pragma once
// How large an answer grows on the wire. The store keeps every answer within
// one frame: listings are cut and flagged with status 4, and a write whose
// answer could not be sent is refused before it changes anything. The bounds
// are upper bounds (every field at its widest encoding plus its tag), so an
// answer they admit always fits.
#include <cstddef>
#include <string>

#include "zu/CAlarm.h"
#include "zu/CChannel.h"
#include "zu/CDevice.h"
#include "zu/CValue.h"
#include "zu/cds/Records.h"
#include "zu/wire/Codec.h"

namespace cds {
namespace store {
namespace detail {

// The frame limit of an answer, and what is kept back for the record's other fields.
constexpr std::size_t kMaxAnswerBytes = zu::wire::kMaxFrame;
constexpr std::size_t kAnswerReserve = 4096;

inline std::size_t value_bytes(const zu::CValue& v) {
  if (const auto* s = v.get_if<std::string>()) return 16 + s->size();
  if (const auto* b = v.get_if<zu::CBytes>()) return 16 + b->size();
  return 16;
}

inline std::size_t encoded_bytes_bound(const zu::CAlarmTrigger& t) {
  return 96 + t.code.size() + value_bytes(t.threshold) + value_bytes(t.trigger_value) + value_bytes(t.hysteresis);
}

inline std::size_t encoded_bytes_bound(const zu::CAlarmUpdate& u) {
  std::size_t n = 192 + u.description.size() + u.aux_text1.size() + u.aux_text2.size() + u.aux_text3.size() +
                  value_bytes(u.value);
  if (u.trigger) n += encoded_bytes_bound(*u.trigger);
  return n;
}

inline std::size_t encoded_bytes_bound(const zu::CChannelSettings& s) {
  std::size_t n = 64 + s.text1.size() + s.text2.size() + s.description.size() + s.units.size();
  for (const auto& [value, text] : s.multistate) n += 16 + value_bytes(value) + text.size();
  return n;
}

inline std::size_t encoded_bytes_bound(const zu::CChannel& c) {
  std::size_t n = 64 + c.name.size() + encoded_bytes_bound(*c.settings());
  for (const zu::CAlarmTrigger& t : c.triggers) n += encoded_bytes_bound(t);
  return n;
}

inline std::size_t encoded_bytes_bound(const zu::cds::CChannelResult& r) {
  return 48 + encoded_bytes_bound(r.channel) + value_bytes(r.value);
}

inline std::size_t encoded_bytes_bound(const zu::cds::CChannelValueResult& r) {
  return 64 + value_bytes(r.value) + r.text.size();
}

inline std::size_t encoded_bytes_bound(const zu::CDevice& d) {
  std::size_t n = 96 + d.guid.size() + 11 * (d.sub_devices.size() + d.channels.size());
  for (const std::string& a : d.attributes) n += 4 + a.size();
  return n;
}

// What is left of one answer's bytes while it is filled.
class AnswerBudget {
 public:
  // Takes room for an entry of `bytes`; false, taking nothing, when it does not fit.
  bool take(std::size_t bytes) {
    if (bytes > left_) return false;
    left_ -= bytes;
    return true;
  }
  template <typename Entry>
  bool take_for(const Entry& entry) {
    return take(encoded_bytes_bound(entry));
  }

 private:
  std::size_t left_ = kMaxAnswerBytes - kAnswerReserve;
};

// Flags a listing that was cut at `kept` entries.
inline void flag_cut(zu::cds::CRequestResponse& response, std::size_t kept, const char* what) {
  response.status = zu::cds::status_too_big;
  response.message = "the answer would pass " + std::to_string(kMaxAnswerBytes) + " bytes: it holds the first " +
                     std::to_string(kept) + " " + what;
}

}  // namespace detail
}  // namespace store
}  // namespace cds
