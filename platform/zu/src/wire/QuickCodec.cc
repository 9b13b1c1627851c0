#include "QuickCodec.h"

#include <cstdlib>
#include <cstring>
#include <typeinfo>
#include <type_traits>
#include <variant>

namespace zu {
namespace wire {
namespace quick {
namespace {

// Protobuf's wire types, and the field numbers of zu.wire's messages that
// the read of a value uses (proto/wire.proto).
enum Wire : std::uint32_t { kVarint = 0, kFixed64 = 1, kLength = 2, kFixed32 = 5 };
constexpr std::uint32_t kEnvelopeCorrelation = 1;
constexpr std::uint32_t kEnvelopeGetChannelValue = 17;
constexpr std::uint32_t kEnvelopeUpdateChannelValue = 18;
constexpr std::uint32_t kEnvelopeSubscriberNotify = 34;

std::size_t varint_size(std::uint64_t v) {
  std::size_t n = 1;
  for (; v >= 0x80; v >>= 7) ++n;
  return n;
}

std::uint64_t zigzag(std::int32_t v) {
  return (static_cast<std::uint32_t>(v) << 1) ^ static_cast<std::uint32_t>(v >> 31);
}
std::uint64_t zigzag(std::int64_t v) { return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63); }
std::int32_t unzigzag32(std::uint64_t v) {
  const auto z = static_cast<std::uint32_t>(v);
  return static_cast<std::int32_t>((z >> 1) ^ (~(z & 1) + 1));
}
std::int64_t unzigzag64(std::uint64_t z) { return static_cast<std::int64_t>((z >> 1) ^ (~(z & 1) + 1)); }

// ---- sizes: what protobuf writes, field by field (nothing for a scalar or a
// text at its default; a message field that is set, always)

std::size_t tag_size(std::uint32_t field) { return varint_size(field << 3); }
std::size_t scalar_size(std::uint32_t field, std::uint64_t v) { return v ? tag_size(field) + varint_size(v) : 0; }
std::size_t nested_size(std::uint32_t field, std::size_t n) { return tag_size(field) + varint_size(n) + n; }
std::size_t text_size(std::uint32_t field, std::size_t n) { return n ? nested_size(field, n) : 0; }

std::size_t header_size(const cds::CRequestResponse& r) {
  return scalar_size(1, r.status) + scalar_size(2, r.kind) + scalar_size(3, r.sequence) + scalar_size(4, r.flags) +
         text_size(5, r.origin.size()) + text_size(6, r.message.size()) + scalar_size(7, zigzag(r.timeout)) +
         scalar_size(8, r.reserved);
}

// A time as it travels, a value's Timestamp (64-bit seconds) or a WallTime
// (32-bit): zigzag seconds in field 1, nanoseconds in field 2.
struct WireTime {
  std::uint64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
};
WireTime wire_time(const CTimestamp& t) { return {zigzag(static_cast<std::int64_t>(t.seconds)), t.nanoseconds}; }
WireTime wire_time(const CWallTime& t) { return {zigzag(static_cast<std::int32_t>(t.seconds)), t.nanoseconds}; }
std::size_t time_size(WireTime t) { return scalar_size(1, t.seconds) + scalar_size(2, t.nanoseconds); }

// A oneof alternative is written even at its default.
std::size_t value_size(const CValue& v) {
  return std::visit(
      [](const auto& x) -> std::size_t {
        using X = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<X, invalid_t>) return nested_size(1, 0);
        else if constexpr (std::is_same_v<X, bool>) return tag_size(2) + 1;
        else if constexpr (std::is_same_v<X, int>) return tag_size(3) + varint_size(zigzag(static_cast<std::int32_t>(x)));
        else if constexpr (std::is_same_v<X, long long>) return tag_size(4) + varint_size(zigzag(static_cast<std::int64_t>(x)));
        else if constexpr (std::is_same_v<X, unsigned int>) return tag_size(5) + varint_size(x);
        else if constexpr (std::is_same_v<X, unsigned long long>) return tag_size(6) + varint_size(x);
        else if constexpr (std::is_same_v<X, float>) return tag_size(7) + 4;
        else if constexpr (std::is_same_v<X, double>) return tag_size(8) + 8;
        else if constexpr (std::is_same_v<X, CTimestamp>) return nested_size(9, time_size(wire_time(x)));
        else if constexpr (std::is_same_v<X, std::string>) return nested_size(10, x.size());
        else if constexpr (std::is_same_v<X, CBytes>) return nested_size(11, x.size());
        else static_assert(!sizeof(X), "every alternative of CValue has a wire form");
      },
      v.variant());
}

std::size_t result_size(const cds::CChannelValueResult& r) {
  return scalar_size(1, r.channel_id) + nested_size(2, value_size(r.value)) + text_size(3, r.text.size()) +
         scalar_size(4, r.state.bits()) + nested_size(5, time_size(wire_time(r.time)));
}

std::size_t ids_size(const cds::IdList& ids) {
  std::size_t n = 0;
  for (auto id : ids) n += varint_size(id);
  return n;
}

// The size of a body, given its header's: header_size() is worked out once
// per record, for both the sizes and the writing.
std::size_t body_size(const cds::CGetChannelValue& r, std::size_t header) {
  std::size_t n = nested_size(1, header);
  if (!r.ids.empty()) n += nested_size(2, ids_size(r.ids));
  for (const auto& v : r.values) n += nested_size(3, result_size(v));
  return n;
}

// A value with the channel it is of: a write's entry, a notification's.
std::size_t channel_value_size(std::uint64_t channel_id, const CValue& v) {
  return scalar_size(1, channel_id) + nested_size(2, value_size(v));
}

std::size_t body_size(const cds::CUpdateChannelValue& r, std::size_t header) {
  std::size_t n = nested_size(1, header);
  for (const auto& v : r.values) n += nested_size(2, channel_value_size(v.channel_id, v.value));
  return n + nested_size(3, time_size(wire_time(r.time))) + scalar_size(4, r.flag ? 1 : 0);
}

std::size_t body_size(const cds::CSubscriberNotify& r, std::size_t header) {
  std::size_t n = nested_size(1, header) + scalar_size(2, r.subscription_id) + scalar_size(3, r.type);
  for (const auto& v : r.values) n += nested_size(4, channel_value_size(v.first, v.second));
  return n;
}

// What the quick way writes of a notification: its values, not its sets.
bool quick_form(const cds::CSubscriberNotify& r) {
  return r.numbers_5.empty() && r.numbers_2.empty() && r.device_ids.empty() && r.paths.empty() &&
         r.alarm_updates.empty() && r.device_ids_14.empty();
}

// ---- writing, in field order, as the sizes above say

class Writer {
 public:
  explicit Writer(char* at) : p_(reinterpret_cast<unsigned char*>(at)) {}
  std::size_t written(const char* from) const {
    return static_cast<std::size_t>(p_ - reinterpret_cast<const unsigned char*>(from));
  }

  // Through a local pointer: a byte stored through p_ could be p_ itself, for
  // all the compiler knows, which would have it reload p_ after each byte.
  void varint(std::uint64_t v) {
    unsigned char* p = p_;
    for (; v >= 0x80; v >>= 7) *p++ = static_cast<unsigned char>(v | 0x80);
    *p++ = static_cast<unsigned char>(v);
    p_ = p;
  }
  void tag(std::uint32_t field, Wire wire) { varint((field << 3) | wire); }
  void scalar(std::uint32_t field, std::uint64_t v) {
    if (v == 0) return;
    tag(field, kVarint);
    varint(v);
  }
  // The tag and length of a message field; its fields follow.
  void nested(std::uint32_t field, std::size_t n) {
    tag(field, kLength);
    varint(n);
  }
  void bytes(std::uint32_t field, const void* data, std::size_t n) {
    nested(field, n);
    if (n) std::memcpy(p_, data, n);
    p_ += n;
  }
  void text(std::uint32_t field, const std::string& s) {
    if (!s.empty()) bytes(field, s.data(), s.size());
  }
  // Little-endian, as protobuf's fixed32 and fixed64 are on any machine.
  void fixed(std::uint32_t field, Wire wire, std::uint64_t v, int n) {
    tag(field, wire);
    unsigned char* p = p_;
    for (int i = 0; i < n; ++i) *p++ = static_cast<unsigned char>(v >> (8 * i));
    p_ = p;
  }

 private:
  unsigned char* p_;
};

void write_header(Writer& w, const cds::CRequestResponse& r) {
  w.scalar(1, r.status);
  w.scalar(2, r.kind);
  w.scalar(3, r.sequence);
  w.scalar(4, r.flags);
  w.text(5, r.origin);
  w.text(6, r.message);
  w.scalar(7, zigzag(r.timeout));
  w.scalar(8, r.reserved);
}

void write_time(Writer& w, std::uint32_t field, WireTime t) {
  w.nested(field, time_size(t));
  w.scalar(1, t.seconds);
  w.scalar(2, t.nanoseconds);
}

void write_value(Writer& w, const CValue& v) {
  std::visit(
      [&w](const auto& x) {
        using X = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<X, invalid_t>) w.nested(1, 0);
        else if constexpr (std::is_same_v<X, bool>) {
          w.tag(2, kVarint);
          w.varint(x ? 1 : 0);
        } else if constexpr (std::is_same_v<X, int>) {
          w.tag(3, kVarint);
          w.varint(zigzag(static_cast<std::int32_t>(x)));
        } else if constexpr (std::is_same_v<X, long long>) {
          w.tag(4, kVarint);
          w.varint(zigzag(static_cast<std::int64_t>(x)));
        } else if constexpr (std::is_same_v<X, unsigned int>) {
          w.tag(5, kVarint);
          w.varint(x);
        } else if constexpr (std::is_same_v<X, unsigned long long>) {
          w.tag(6, kVarint);
          w.varint(x);
        } else if constexpr (std::is_same_v<X, float>) {
          std::uint32_t bits;
          std::memcpy(&bits, &x, sizeof bits);
          w.fixed(7, kFixed32, bits, 4);
        } else if constexpr (std::is_same_v<X, double>) {
          std::uint64_t bits;
          std::memcpy(&bits, &x, sizeof bits);
          w.fixed(8, kFixed64, bits, 8);
        } else if constexpr (std::is_same_v<X, CTimestamp>) {
          write_time(w, 9, wire_time(x));
        } else if constexpr (std::is_same_v<X, std::string>) w.bytes(10, x.data(), x.size());
        else if constexpr (std::is_same_v<X, CBytes>) w.bytes(11, x.data(), x.size());
        else static_assert(!sizeof(X), "every alternative of CValue has a wire form");
      },
      v.variant());
}


void write_result(Writer& w, const cds::CChannelValueResult& r) {
  w.scalar(1, r.channel_id);
  w.nested(2, value_size(r.value));
  write_value(w, r.value);
  w.text(3, r.text);
  w.scalar(4, r.state.bits());
  write_time(w, 5, wire_time(r.time));
}

void write_channel_value(Writer& w, std::uint32_t field, std::uint64_t channel_id, const CValue& v) {
  w.nested(field, channel_value_size(channel_id, v));
  w.scalar(1, channel_id);
  w.nested(2, value_size(v));
  write_value(w, v);
}

void write_body(Writer& w, const cds::CGetChannelValue& r, std::size_t header) {
  w.nested(1, header);
  write_header(w, r);
  if (!r.ids.empty()) {
    w.nested(2, ids_size(r.ids));
    for (auto id : r.ids) w.varint(id);
  }
  for (const auto& v : r.values) {
    w.nested(3, result_size(v));
    write_result(w, v);
  }
}

void write_body(Writer& w, const cds::CUpdateChannelValue& r, std::size_t header) {
  w.nested(1, header);
  write_header(w, r);
  for (const auto& v : r.values) write_channel_value(w, 2, v.channel_id, v.value);
  write_time(w, 3, wire_time(r.time));
  w.scalar(4, r.flag ? 1 : 0);
}

void write_body(Writer& w, const cds::CSubscriberNotify& r, std::size_t header) {
  w.nested(1, header);
  write_header(w, r);
  w.scalar(2, r.subscription_id);
  w.scalar(3, r.type);
  for (const auto& v : r.values) write_channel_value(w, 4, v.first, v.second);
}

// ---- reading: only the form written above, which protobuf reads as the
// same record. Fields come in order, each once but a repeated one; none is
// sent at its default (a oneof's alternative and a message field that is set
// always are); every varint is at its shortest and every number fits its
// record field. The rest is left to the general codec.

class Reader {
 public:
  Reader() = default;
  Reader(const unsigned char* p, const unsigned char* end) : p_(p), end_(end) {}

  bool done() const { return p_ == end_; }
  // At its shortest, within 64 bits. In locals until the end: the compiler
  // cannot keep p_ or *v in a register across reads through a byte pointer.
  bool varint(std::uint64_t* v) {
    const unsigned char* p = p_;
    if (p == end_) return false;
    if (*p < 0x80) {  // most are one byte: tags, lengths, small numbers
      *v = *p;
      p_ = p + 1;
      return true;
    }
    std::uint64_t value = 0;
    for (int shift = 0; shift < 64 && p != end_; shift += 7) {
      const unsigned char b = *p++;
      value |= static_cast<std::uint64_t>(b & 0x7F) << shift;
      if (b < 0x80) {
        // A last byte of 0 only lengthens it; the tenth holds one bit.
        if (b == 0 || (shift == 63 && b > 1)) return false;
        *v = value;
        p_ = p;
        return true;
      }
    }
    return false;
  }
  // A field sent only when it is not 0, at most `max`.
  bool scalar(std::uint32_t wire, std::uint64_t max, std::uint64_t* v) {
    return wire == kVarint && varint(v) && *v != 0 && *v <= max;
  }
  bool tag(std::uint32_t* field, std::uint32_t* wire) {
    std::uint64_t t;
    if (!varint(&t) || t > 0xFFFFFFFFU) return false;
    *field = static_cast<std::uint32_t>(t >> 3);
    *wire = static_cast<std::uint32_t>(t & 7);
    return true;
  }
  bool nested(std::uint32_t wire, Reader* inner) {
    std::uint64_t n;
    if (wire != kLength || !varint(&n) || n > static_cast<std::uint64_t>(end_ - p_)) return false;
    *inner = Reader(p_, p_ + n);
    p_ += n;
    return true;
  }
  // A text field, sent only when not empty unless it is a oneof's alternative.
  template <typename Text>
  bool text(std::uint32_t wire, bool may_be_empty, Text* out) {
    Reader inner;
    if (!nested(wire, &inner) || (inner.done() && !may_be_empty)) return false;
    out->assign(inner.p_, inner.end_);
    return true;
  }
  bool fixed(int n, std::uint64_t* v) {
    if (end_ - p_ < n) return false;
    std::uint64_t value = 0;
    for (int i = 0; i < n; ++i) value |= static_cast<std::uint64_t>(p_[i]) << (8 * i);
    p_ += n;
    *v = value;
    return true;
  }

 private:
  const unsigned char* p_ = nullptr;
  const unsigned char* end_ = nullptr;
};

constexpr std::uint64_t k16 = 0xFFFF;
constexpr std::uint64_t k32 = 0xFFFFFFFF;
constexpr std::uint64_t k64 = ~std::uint64_t{0};

// Reads the fields of a message in increasing order, each once but the
// `repeated` one: `read(field, wire)` takes one field and says whether it was
// one the message has, in the form expected.
template <typename Read>
bool read_fields(Reader& in, Read read, std::uint32_t repeated = 0) {
  std::uint32_t last = 0;
  while (!in.done()) {
    std::uint32_t field, wire;
    if (!in.tag(&field, &wire) || field == 0 || field < last || (field == last && field != repeated)) return false;
    last = field;
    if (!read(field, wire)) return false;
  }
  return true;
}

bool read_header(Reader in, cds::CRequestResponse* r) {
  // A field not sent is at its default, which for a record is not always its
  // own (the timeout's -1).
  r->status = 0;
  r->kind = 0;
  r->sequence = 0;
  r->flags = 0;
  r->timeout = 0;
  r->reserved = 0;
  return read_fields(in, [&](std::uint32_t field, std::uint32_t wire) {
    if (field == 5 || field == 6) return in.text(wire, false, field == 5 ? &r->origin : &r->message);
    // The widest each number's record field holds, by field.
    static constexpr std::uint64_t widest[] = {0, k32, k16, k32, k16, 0, 0, k32, k32};
    std::uint64_t v = 0;
    if (field > 8 || !in.scalar(wire, widest[field], &v)) return false;
    switch (field) {
      case 1: r->status = static_cast<std::uint32_t>(v); break;
      case 2: r->kind = static_cast<std::uint16_t>(v); break;
      case 3: r->sequence = static_cast<std::uint32_t>(v); break;
      case 4: r->flags = static_cast<std::uint16_t>(v); break;
      case 7: r->timeout = unzigzag32(v); break;
      default: r->reserved = static_cast<std::uint32_t>(v); break;
    }
    return true;
  });
}

// The fields of a time not sent are 0; `seconds_max` bounds the zigzag
// seconds (a WallTime's are 32 bits).
bool read_time(Reader in, std::uint64_t seconds_max, WireTime* t) {
  *t = WireTime{};
  return read_fields(in, [&](std::uint32_t field, std::uint32_t wire) {
    std::uint64_t v = 0;
    if (field == 1) return in.scalar(wire, seconds_max, &t->seconds);
    if (field != 2 || !in.scalar(wire, k32, &v)) return false;
    t->nanoseconds = static_cast<std::uint32_t>(v);
    return true;
  });
}

bool read_value(Reader in, CValue* out) {
  bool one = false;
  const bool read = read_fields(in, [&](std::uint32_t field, std::uint32_t wire) {
    if (one) return false;  // a oneof holds one alternative
    one = true;
    std::uint64_t v = 0;
    Reader inner;
    switch (field) {
      case 1:
        if (!in.nested(wire, &inner) || !inner.done()) return false;
        *out = CValue();
        return true;
      case 2:
      case 3:
      case 4:
      case 5:
      case 6: {
        // An alternative is sent at 0 too. The widest of each: bool, sint32, sint64, uint32, uint64.
        static constexpr std::uint64_t widest[] = {0, 0, 1, k32, k64, k32, k64};
        if (wire != kVarint || !in.varint(&v) || v > widest[field]) return false;
        if (field == 2) *out = CValue(v != 0);
        else if (field == 3) *out = CValue(static_cast<int>(unzigzag32(v)));
        else if (field == 4) *out = CValue(static_cast<long long>(unzigzag64(v)));
        else if (field == 5) *out = CValue(static_cast<unsigned int>(v));
        else *out = CValue(static_cast<unsigned long long>(v));
        return true;
      }
      case 7: {
        if (wire != kFixed32 || !in.fixed(4, &v)) return false;
        const auto bits = static_cast<std::uint32_t>(v);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        *out = CValue(f);
        return true;
      }
      case 8: {
        if (wire != kFixed64 || !in.fixed(8, &v)) return false;
        double d;
        std::memcpy(&d, &v, sizeof d);
        *out = CValue(d);
        return true;
      }
      case 9: {
        WireTime t;
        if (!in.nested(wire, &inner) || !read_time(inner, k64, &t)) return false;
        *out = CValue(CTimestamp{unzigzag64(t.seconds), t.nanoseconds});
        return true;
      }
      case 10: {
        std::string s;
        if (!in.text(wire, true, &s)) return false;
        *out = CValue(std::move(s));
        return true;
      }
      case 11: {
        CBytes b;
        if (!in.text(wire, true, &b)) return false;
        *out = CValue(std::move(b));
        return true;
      }
      default: return false;
    }
  });
  return read && one;
}

// Sent, a wall time is set: seconds not sent are 0, not the unset -1.
bool read_wall_time(Reader in, CWallTime* t) {
  WireTime read;
  if (!read_time(in, k32, &read)) return false;
  t->seconds = unzigzag32(read.seconds);
  t->nanoseconds = read.nanoseconds;
  return true;
}

bool read_result(Reader in, cds::CChannelValueResult* r) {
  r->channel_id = 0;
  bool has_value = false, has_time = false;
  const bool read = read_fields(in, [&](std::uint32_t field, std::uint32_t wire) {
    std::uint64_t v = 0;
    Reader inner;
    switch (field) {
      case 1: return in.scalar(wire, k64, &r->channel_id);
      case 2: return has_value = in.nested(wire, &inner) && read_value(inner, &r->value);
      case 3: return in.text(wire, false, &r->text);
      case 4:
        if (!in.scalar(wire, k32, &v)) return false;
        r->state = CStateBits(static_cast<std::uint32_t>(v));
        return true;
      case 5: return has_time = in.nested(wire, &inner) && read_wall_time(inner, &r->time);
      default: return false;
    }
  });
  return read && has_value && has_time;
}

bool read_body(Reader in, cds::CGetChannelValue* r) {
  bool has_header = false;
  const bool read = read_fields(
      in,
      [&](std::uint32_t field, std::uint32_t wire) {
        Reader inner;
        if (!in.nested(wire, &inner)) return false;
        switch (field) {
          case 1: return has_header = read_header(inner, r);
          case 2:
            if (inner.done()) return false;  // no ids, no field
            while (!inner.done()) {
              std::uint64_t id;
              if (!inner.varint(&id)) return false;
              r->ids.push_back(id);
            }
            return true;
          case 3: r->values.emplace_back(); return read_result(inner, &r->values.back());
          default: return false;
        }
      },
      3);
  return read && has_header;
}

bool read_channel_value(Reader in, std::uint64_t* channel_id, CValue* value) {
  *channel_id = 0;
  bool has_value = false;
  const bool read = read_fields(in, [&](std::uint32_t field, std::uint32_t wire) {
    Reader inner;
    if (field == 1) return in.scalar(wire, k64, channel_id);
    return has_value = field == 2 && in.nested(wire, &inner) && read_value(inner, value);
  });
  return read && has_value;
}

bool read_body(Reader in, cds::CUpdateChannelValue* r) {
  r->flag = false;
  bool has_header = false, has_time = false;
  const bool read = read_fields(
      in,
      [&](std::uint32_t field, std::uint32_t wire) {
        Reader inner;
        std::uint64_t v = 0;
        switch (field) {
          case 1: return has_header = in.nested(wire, &inner) && read_header(inner, r);
          case 2:
            r->values.emplace_back();
            return in.nested(wire, &inner) &&
                   read_channel_value(inner, &r->values.back().channel_id, &r->values.back().value);
          case 3: return has_time = in.nested(wire, &inner) && read_wall_time(inner, &r->time);
          case 4:
            if (!in.scalar(wire, 1, &v)) return false;
            r->flag = true;
            return true;
          default: return false;
        }
      },
      2);
  return read && has_header && has_time;
}

bool read_body(Reader in, cds::CSubscriberNotify* r) {
  r->subscription_id = 0;
  bool has_header = false;
  const bool read = read_fields(
      in,
      [&](std::uint32_t field, std::uint32_t wire) {
        Reader inner;
        std::uint64_t v = 0;
        CValue value;
        switch (field) {
          case 1: return has_header = in.nested(wire, &inner) && read_header(inner, r);
          case 2: return in.scalar(wire, k64, &r->subscription_id);
          case 3:
            if (!in.scalar(wire, 0xFF, &v)) return false;
            r->type = static_cast<std::uint8_t>(v);
            return true;
          case 4:
            // A channel twice is no map's: the general way explains it.
            return in.nested(wire, &inner) && read_channel_value(inner, &v, &value) &&
                   r->values.emplace(v, std::move(value)).second;
          default: return false;
        }
      },
      4);
  return read && has_header;
}

// ---- the whole envelope

std::size_t envelope_size(std::uint32_t field, std::uint64_t correlation, std::size_t body) {
  return scalar_size(kEnvelopeCorrelation, correlation) + nested_size(field, body);
}

// Writes exactly `size` bytes at `at`, as envelope_size() says.
template <typename R>
void write_envelope(char* at, std::size_t size, std::uint32_t field, const R& r, std::uint64_t correlation,
                    std::size_t header, std::size_t body) {
  Writer w(at);
  w.scalar(kEnvelopeCorrelation, correlation);
  w.nested(field, body);
  write_body(w, r, header);
  // Sizes and writing that disagree are a fault of this file, whatever the record: stop
  // rather than send or compare what was not meant.
  if (w.written(at) != size) std::abort();
}

template <typename R>
bool encode_as(const cds::CRequestResponse& record, std::uint32_t field, std::uint64_t correlation, std::string* out,
               std::size_t room, std::size_t limit) {
  const auto& r = static_cast<const R&>(record);
  const std::size_t header = header_size(r);
  const std::size_t body = body_size(r, header);
  const std::size_t size = envelope_size(field, correlation, body);
  if (size > limit) return false;
  out->resize(room + size);
  write_envelope(&(*out)[room], size, field, r, correlation, header, body);
  return true;
}

// Whether writing `r` again gives the very payload.
template <typename R>
bool writes_back(const R& r, std::uint32_t field, std::uint64_t correlation, const std::string& payload) {
  const std::size_t header = header_size(r);
  const std::size_t body_bytes = body_size(r, header);
  if (envelope_size(field, correlation, body_bytes) != payload.size()) return false;
  char small[512];
  std::string large;
  char* again = small;
  if (payload.size() > sizeof small) {
    large.resize(payload.size());
    again = &large[0];
  }
  write_envelope(again, payload.size(), field, r, correlation, header, body_bytes);
  return std::memcmp(again, payload.data(), payload.size()) == 0;
}

template <typename R>
std::shared_ptr<cds::CRequestResponse> decode_as(Reader body, std::uint32_t field, std::uint64_t correlation,
                                                 const std::string& payload) {
  auto r = std::make_shared<R>();
  if (!read_body(body, r.get())) return nullptr;
  // The values of a notification leave in the order of the writer's map, which
  // this side's map need not keep: several are read here only when written
  // back in the same order.
  if constexpr (std::is_same_v<R, cds::CSubscriberNotify>)
    if (r->values.size() > 1 && !writes_back(*r, field, correlation, payload)) return nullptr;
  return r;
}

}  // namespace

bool encode(const cds::CRequestResponse& r, std::uint64_t correlation, std::string* out, std::size_t room,
            std::size_t limit) {
  const std::type_info& type = typeid(r);
  if (type == typeid(cds::CGetChannelValue))
    return encode_as<cds::CGetChannelValue>(r, kEnvelopeGetChannelValue, correlation, out, room, limit);
  if (type == typeid(cds::CUpdateChannelValue))
    return encode_as<cds::CUpdateChannelValue>(r, kEnvelopeUpdateChannelValue, correlation, out, room, limit);
  if (type == typeid(cds::CSubscriberNotify) && quick_form(static_cast<const cds::CSubscriberNotify&>(r)))
    return encode_as<cds::CSubscriberNotify>(r, kEnvelopeSubscriberNotify, correlation, out, room, limit);
  return false;
}

std::shared_ptr<cds::CRequestResponse> decode(const std::string& payload, std::uint64_t* correlation) {
  const auto* p = reinterpret_cast<const unsigned char*>(payload.data());
  Reader in(p, p + payload.size());
  std::uint64_t id = 0;
  std::uint32_t field = 0;
  Reader body;
  const bool read = read_fields(in, [&](std::uint32_t f, std::uint32_t wire) {
    if (f == kEnvelopeCorrelation) return in.scalar(wire, k64, &id);
    if (field != 0) return false;  // one body
    field = f;
    return in.nested(wire, &body);
  });
  if (!read) return nullptr;
  std::shared_ptr<cds::CRequestResponse> r;
  if (field == kEnvelopeGetChannelValue) r = decode_as<cds::CGetChannelValue>(body, field, id, payload);
  else if (field == kEnvelopeUpdateChannelValue) r = decode_as<cds::CUpdateChannelValue>(body, field, id, payload);
  else if (field == kEnvelopeSubscriberNotify) r = decode_as<cds::CSubscriberNotify>(body, field, id, payload);
  if (r && correlation) *correlation = id;
  return r;
}

}  // namespace quick
}  // namespace wire
}  // namespace zu
