#include "zu/wire/Codec.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "zu/proto/wire.pb.h"

namespace zu {
// Readable values in failure messages.
void PrintTo(const CValue& v, std::ostream* os) { *os << type_name(v.type()) << ":" << v.as_string(); }
}  // namespace zu

namespace {

namespace gp = google::protobuf;
namespace zc = zu::cds;
namespace zw = zu::wire;
using ::testing::HasSubstr;
using zu::CValue;

zw::Envelope encoded(const zc::CRequestResponse& r) {
  std::string payload, error;
  zw::Envelope env;
  EXPECT_TRUE(zw::encode_record(r, 4242, &payload, &error)) << error;
  EXPECT_TRUE(zw::parse_envelope(payload, &env, &error)) << error;
  return env;
}

// The error of encoding `r`, "" when it travels.
std::string encode_error(const zc::CRequestResponse& r) {
  std::string payload, error;
  return zw::encode_record(r, 4242, &payload, &error) ? "" : error;
}

std::shared_ptr<zc::CRequestResponse> decoded(const std::string& payload, std::string* error) {
  std::uint64_t correlation = 0;
  auto out = zw::decode_record(payload, &correlation, error);
  EXPECT_EQ(correlation, out ? 4242U : 0U);
  return out;
}

template <typename T>
std::shared_ptr<T> round_trip(const T& in) {
  std::string payload, error;
  EXPECT_TRUE(zw::encode_record(in, 4242, &payload, &error)) << error;
  auto typed = std::dynamic_pointer_cast<T>(decoded(payload, &error));
  EXPECT_TRUE(typed) << error;
  return typed ? typed : std::make_shared<T>();
}

// `in` written the quick way: the bytes protobuf writes for it, read by the
// quick way (when `quick_reads`) and the general way; both records read.
template <typename T>
std::vector<std::shared_ptr<T>> both_ways(const T& in, bool quick_reads = true) {
  std::string payload, error;
  EXPECT_TRUE(zw::encode_record(in, 4242, &payload, &error)) << error;
  zw::Envelope read;
  EXPECT_TRUE(zw::parse_envelope(payload, &read, &error)) << error;
  EXPECT_EQ(read.SerializeAsString(), payload);
  std::uint64_t correlation = 0;
  EXPECT_TRUE(!quick_reads || zw::decode_quick(payload, &correlation));
  auto general = std::dynamic_pointer_cast<T>(zw::decode_record(read, &error));
  EXPECT_TRUE(general) << error;
  return {round_trip(in), general ? general : std::make_shared<T>()};
}

// Fills every field of `m` (of a oneof, one alternative by turns) with a value
// no other field holds: wide and negative numbers, texts with a NUL and a byte
// that is not UTF-8, two entries per list. So a field dropped, cut, or read
// into another one shows. Documents nest a few levels, then end in scalars.
void fill(gp::Message* m, unsigned& n, int depth = 0) {
  using F = gp::FieldDescriptor;
  const auto* r = m->GetReflection();
  for (int i = 0; i < m->GetDescriptor()->field_count(); ++i) {
    const F* f = m->GetDescriptor()->field(i);
    if (const auto* oneof = f->real_containing_oneof()) {
      if (oneof->field(0) != f) continue;
      f = oneof->field(static_cast<int>(++n % oneof->field_count()));
      for (int k = 0; f->message_type() && depth > 6; ++k) f = oneof->field(k);
    }
    for (int k = 0; k < (f->is_repeated() ? 2 : 1); ++k) {
      const bool rep = f->is_repeated();
      const unsigned v = ++n;
      const std::string text = (f->type() == F::TYPE_BYTES ? std::string("\0\xff", 2) : "\xc3\xa9") + std::to_string(v);
      switch (f->cpp_type()) {
        case F::CPPTYPE_INT32: rep ? r->AddInt32(m, f, -int(v)) : r->SetInt32(m, f, -int(v)); break;
        case F::CPPTYPE_INT64: rep ? r->AddInt64(m, f, -(1LL << 40) - v) : r->SetInt64(m, f, -(1LL << 40) - v); break;
        case F::CPPTYPE_UINT32: rep ? r->AddUInt32(m, f, 1 + v % 250) : r->SetUInt32(m, f, 1 + v % 250); break;
        case F::CPPTYPE_UINT64: rep ? r->AddUInt64(m, f, ~0ULL - 99999 + v) : r->SetUInt64(m, f, ~0ULL - 99999 + v); break;
        case F::CPPTYPE_DOUBLE: rep ? r->AddDouble(m, f, v + 0.25) : r->SetDouble(m, f, v + 0.25); break;
        case F::CPPTYPE_FLOAT: rep ? r->AddFloat(m, f, v + 0.25F) : r->SetFloat(m, f, v + 0.25F); break;
        case F::CPPTYPE_BOOL: rep ? r->AddBool(m, f, true) : r->SetBool(m, f, true); break;
        case F::CPPTYPE_ENUM: rep ? r->AddEnumValue(m, f, 0) : r->SetEnumValue(m, f, 0); break;
        case F::CPPTYPE_STRING: rep ? r->AddString(m, f, text) : r->SetString(m, f, text); break;
        case F::CPPTYPE_MESSAGE: fill(rep ? r->AddMessage(m, f) : r->MutableMessage(m, f), n, depth + 1); break;
      }
    }
  }
}

// Equal messages, but for the lists of the records' unordered containers,
// which travel in no particular order.
bool same_message(const zw::Envelope& a, const zw::Envelope& b) {
  gp::util::MessageDifferencer differ;
  const std::pair<const gp::Descriptor*, std::vector<const char*>> unordered[] = {
      {zw::ChannelSettings::descriptor(), {"multistate"}},
      {zw::SetFieldValue::descriptor(), {"fields"}},
      {zw::GetFieldValue::descriptor(), {"fields"}},
      {zw::GetAlarmConfig::descriptor(), {"channel_ids", "device_ids"}},
      {zw::DeleteAlarms::descriptor(), {"alarm_ids", "device_ids"}},
      {zw::SubscriberNotify::descriptor(), {"values", "numbers_5", "numbers_2", "device_ids", "paths", "device_ids_14"}}};
  for (const auto& message : unordered) {
    for (const char* name : message.second) differ.TreatAsSet(message.first->FindFieldByName(name));
  }
  return differ.Compare(a, b);
}

// Every field of every record class travels both ways: a message filled in
// full decodes to a record of its class that encodes (as does its clone) to
// the very same message. clean() through the base then empties the two header
// texts and every container and keeps every scalar; a query of alarm
// deletions keeps its id sets, they are its parameters.
TEST(CodecRecordTest, EveryRecordClassCarriesEveryFieldBothWaysAndCleansToItsScalars) {
  const auto* body = zw::Envelope::descriptor()->FindOneofByName("body");
  for (int i = 0; i < body->field_count(); ++i) {
    if (body->field(i)->number() < 10) continue;  // hello, hello answer and error are no records
    SCOPED_TRACE(body->field(i)->name());
    zw::Envelope sent;
    std::shared_ptr<zc::CRequestResponse> record;
    std::string error;
    // Each start puts other alternatives in the oneofs: a value's eleven types.
    for (unsigned start = 0; start < 11; ++start) {
      sent.Clear();
      sent.set_correlation_id(4242);
      unsigned n = start;
      fill(sent.GetReflection()->MutableMessage(&sent, body->field(i)), n);
      record = decoded(sent.SerializeAsString(), &error);
      ASSERT_TRUE(record) << error;
      EXPECT_TRUE(same_message(encoded(*record), sent)) << encoded(*record).DebugString();
      EXPECT_TRUE(same_message(encoded(*record->clone()), sent));
      if (sent.has_get_channel_value() || sent.has_update_channel_value()) {
        // Read and written the quick way: protobuf's very bytes, and what the
        // general way reads from them.
        std::string payload;
        ASSERT_TRUE(zw::encode_record(*record, 4242, &payload, &error)) << error;
        EXPECT_EQ(payload, sent.SerializeAsString());
        auto general = zw::decode_record(sent, &error);
        ASSERT_TRUE(general) << error;
        EXPECT_TRUE(same_message(encoded(*general), sent));
      }
    }

    gp::Message* expected = sent.GetReflection()->MutableMessage(&sent, body->field(i));
    for (int k = 0; k < expected->GetDescriptor()->field_count(); ++k) {
      if (expected->GetDescriptor()->field(k)->is_repeated() && !sent.has_delete_alarms())
        expected->GetReflection()->ClearField(expected, expected->GetDescriptor()->field(k));
    }
    auto* header = dynamic_cast<zw::Header*>(
        expected->GetReflection()->MutableMessage(expected, expected->GetDescriptor()->FindFieldByName("header")));
    ASSERT_NE(header, nullptr);
    header->clear_origin();
    header->clear_message();
    record->clean();
    EXPECT_TRUE(same_message(encoded(*record), sent)) << encoded(*record).DebugString();
  }
}

// A fresh record's header and its status texts; what clean() empties is proven
// field by field above.
TEST(CodecRecordTest, AFreshRecordsHeaderAndItsStatusText) {
  zc::CGetDevice r;
  EXPECT_EQ(r.status, 0U);
  EXPECT_EQ(r.kind, 0U);
  EXPECT_EQ(r.timeout, -1);
  EXPECT_EQ(zc::CSubscriberNotify().kind, 2U);
  EXPECT_EQ(zc::CSubscriberNotify().subscription_id, zu::kNoId);
  const std::pair<std::uint32_t, const char*> texts[] = {
      {zc::status_none, "no status"}, {zc::status_ok, "success"}, {zc::status_refused, "not found or refused"},
      {zc::status_no_queue, "no queue space for the response"}, {zc::status_too_big, "response too big"},
      {zc::status_invalid, "invalid request"}, {zc::status_exists, "already exists"}, {1000, "unknown status"}};
  for (const auto& t : texts) {
    r.status = t.first;
    EXPECT_STREQ(r.get_status_text(), t.second);
  }
  r.message = "device 12 is the root";
  EXPECT_STREQ(r.get_status_text(), "device 12 is the root");
}

// What the test above cannot see: values at the extremes, empty and not a
// number; the formats, which stay in their process; the order of a set; and
// an optional the decoder would engage when it was not sent.
TEST(CodecRecordTest, ExtremeValuesFormatsOrderAndWhatIsNotEngagedComeBackAsSent) {
  const std::vector<CValue> values = {
      CValue(), CValue(true), CValue(std::numeric_limits<long long>::min()),
      CValue(std::numeric_limits<unsigned long long>::max()), CValue(std::numeric_limits<double>::quiet_NaN()),
      CValue(zu::CTimestamp{-4102444800LL, 999999999}), CValue(std::string("s\0\xff", 3)), CValue(zu::CBytes{0, 255}),
      CValue(std::string()), CValue(zu::CBytes{})};
  // A value write, the read of a value and a notification of values travel
  // the quick way: protobuf's bytes, and the same record read both ways.
  zc::CUpdateChannelValue r;
  for (std::size_t i = 0; i < values.size(); ++i) r.values.push_back({i, values[i]});
  r.time = zu::CWallTime::from_seconds(1700000000, 123456789);
  r.time.format = "%s";
  r.time_format = "%H";
  for (bool flag : {false, true}) {
    r.flag = flag;
    for (const auto& out : both_ways(r)) {
      ASSERT_EQ(out->values.size(), values.size());
      for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(out->values[i].value, values[i]) << "value " << i;
      EXPECT_TRUE(out->time == r.time && out->flag == flag);
      EXPECT_STREQ(out->time.format, "%F %T");
      EXPECT_STREQ(out->time_format, "%F %T");
    }
  }

  // The header's extremes, and a result at its defaults.
  zc::CGetChannelValue g;
  g.status = std::numeric_limits<std::uint32_t>::max();
  g.kind = std::numeric_limits<std::uint16_t>::max();
  g.timeout = std::numeric_limits<std::int32_t>::min();
  g.origin = std::string("o\0", 2);
  g.ids = {0, std::numeric_limits<std::uint64_t>::max()};
  for (std::size_t i = 0; i < values.size(); ++i) {
    g.values.push_back({i, values[i], "t", zu::CStateBits(~0U), zu::CWallTime{}});
    g.values.back().time.seconds = std::numeric_limits<std::int32_t>::min();
  }
  g.values.emplace_back();
  for (const auto& back : both_ways(g)) {
    EXPECT_EQ(std::tie(back->status, back->kind, back->timeout, back->origin, back->ids),
              std::tie(g.status, g.kind, g.timeout, g.origin, g.ids));
    ASSERT_EQ(back->values.size(), g.values.size());
    for (std::size_t i = 0; i < g.values.size(); ++i) {
      const auto& a = back->values[i];
      const auto& b = g.values[i];
      EXPECT_EQ(std::tie(a.channel_id, a.value, a.text), std::tie(b.channel_id, b.value, b.text)) << "result " << i;
      EXPECT_EQ(a.state.bits(), b.state.bits());
      EXPECT_TRUE(a.time == b.time);
    }
  }

  // A notification of one value, and of many (in no particular order, which
  // the quick way may decline to read).
  zc::CSubscriberNotify note;
  note.subscription_id = std::numeric_limits<std::uint64_t>::max();
  note.type = std::numeric_limits<std::uint8_t>::max();
  note.values.emplace(9, values[4]);
  for (const auto& back : both_ways(note))
    EXPECT_EQ(std::tie(back->subscription_id, back->type, back->kind, back->values),
              std::tie(note.subscription_id, note.type, note.kind, note.values));
  for (std::size_t i = 0; i < values.size(); ++i) note.values.emplace(100 + i, values[i]);
  for (const auto& back : both_ways(note, false)) EXPECT_EQ(back->values, note.values);

  // A class derived from a record class travels as that record.
  struct Derived : zc::CGetDevice {};
  Derived derived;
  derived.ids = {7};
  EXPECT_EQ(round_trip(static_cast<const zc::CGetDevice&>(derived))->ids, derived.ids);

  zc::CSubscriberNotify n;
  zu::CAlarmUpdate u;
  for (unsigned seed = 0; seed < 16; ++seed) {
    u.instance = seed * 7 % 16;
    n.alarm_updates.insert(u);
  }
  std::vector<unsigned long long> instances;
  const zw::Envelope env = encoded(n);
  for (const auto& m : env.subscriber_notify().alarm_updates()) instances.push_back(m.instance());
  EXPECT_EQ(instances.size(), 16U);
  EXPECT_TRUE(std::is_sorted(instances.begin(), instances.end())) << ::testing::PrintToString(instances);
  const auto decoded_n = round_trip(n);
  for (const auto& back : decoded_n->alarm_updates) {
    EXPECT_FALSE(back.trigger || back.aux_callback1 || back.aux_callback2 || back.aux_time.is_set());
  }
}

TEST(CodecEncodeTest, RefusesWhatCannotTravelUpToTheExactLimits) {
  zc::CCreateDevice cd;
  cd.devices.resize(1);
  cd.devices[0].id = 20;
  *cd.devices[0].attribute(6) = "bad \xff name";
  EXPECT_THAT(encode_error(cd), HasSubstr("'name' of device 20 is not valid UTF-8"));

  // A document of 100 levels travels; one more level does not.
  zc::CSetOOBData so;
  so.units.push_back({"/deep", {}, 0, 0});
  auto* level = &so.units[0].data;
  for (int i = 1; i < 100; ++i) level = (*level->mutable_fields())["x"].mutable_struct_value();
  auto deep = round_trip(so);
  ASSERT_EQ(deep->units.size(), 1U);
  EXPECT_TRUE(gp::util::MessageDifferencer::Equals(deep->units[0].data, so.units[0].data));
  (*level->mutable_fields())["x"].mutable_struct_value();
  EXPECT_THAT(encode_error(so), HasSubstr("nested deeper than 100"));

  // A payload of exactly kMaxFrame bytes travels; one more byte does not.
  zc::CGetOOBData r;
  r.paths = {std::string(zw::kMaxFrame - 100, 'p')};
  std::string payload, error;
  ASSERT_TRUE(zw::encode_record(r, 4242, &payload, &error)) << error;
  r.paths[0].append(zw::kMaxFrame - payload.size(), 'p');
  ASSERT_TRUE(zw::encode_record(r, 4242, &payload, &error)) << error;
  EXPECT_EQ(payload.size(), zw::kMaxFrame);
  EXPECT_EQ(zw::frame(payload).size(), zw::kMaxFrame + zw::kFrameHeaderSize);
  EXPECT_EQ(round_trip(r)->paths, r.paths);
  r.paths[0].push_back('p');
  EXPECT_THAT(encode_error(r), HasSubstr("frame limit"));
}

// Garbage and bodies of unknown type are proven against cdsd, which answers them.
TEST(CodecDecodeTest, WhatDoesNotFitARecordIsRefusedWithAClearError) {
  const std::pair<const char*, const char*> cases[] = {  // envelope as text, expected error
      {"correlation_id: 3", "no body"},
      {"hello { protocol_version: 1 }", "a hello, not a record"},
      {"error { status: 4 message: 'too big' }", "status 4): too big"},
      {"get_device { header { kind: 65536 } }", "CGetDevice: kind 65536 is out of range"},
      {"update_channel_value { values { channel_id: 1 } }", "value of no known type"},
      {"delete_alarms { alarm_ids: [5, 5] }", "alarm_ids: duplicate entry"},
      {"subscriber_notify { values { channel_id: 9 value { int32_value: 0 } }"
       "  values { channel_id: 9 value { int32_value: 1 } } }", "duplicate channel 9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    zw::Envelope env;
    ASSERT_TRUE(gp::TextFormat::ParseFromString(c.first, &env));
    std::string error;
    EXPECT_EQ(zw::decode_record(env.SerializeAsString(), nullptr, &error), nullptr);
    EXPECT_THAT(error, HasSubstr(c.second));
  }
}

// Protobuf's pieces, for payloads in forms protobuf reads but never writes.
std::string varint(std::uint64_t v) {
  std::string s;
  for (; v >= 0x80; v >>= 7) s += static_cast<char>(v | 0x80);
  return s + static_cast<char>(v);
}
std::string number(std::uint32_t field, std::uint64_t v) { return varint(field << 3) + varint(v); }
std::string nested(std::uint32_t field, const std::string& m) { return varint(field << 3 | 2) + varint(m.size()) + m; }

// The quick way reads only the very form protobuf writes; a value write in
// any other form that protobuf still reads is left to the general way.
TEST(CodecQuickTest, OnlyTheFormProtobufWritesIsReadTheQuickWay) {
  const std::string header = nested(1, ""), time = nested(3, number(1, 2));
  const std::string id = number(1, 5), value = nested(2, number(3, 10)), entry = nested(2, id + value);
  auto write = [](const std::string& body) { return number(1, 7) + nested(18, body); };
  auto entry_of = [](const std::string& channel, const std::string& v) { return nested(2, channel + v); };
  const std::string as_written = write(header + entry + time);
  std::uint64_t correlation = 0;
  auto read = std::dynamic_pointer_cast<zc::CUpdateChannelValue>(zw::decode_quick(as_written, &correlation));
  ASSERT_TRUE(read);
  ASSERT_EQ(read->values.size(), 1U);
  EXPECT_EQ(std::tie(correlation, read->values[0].channel_id, read->values[0].value, read->time.seconds),
            std::make_tuple(std::uint64_t{7}, std::uint64_t{5}, CValue(5), 1));

  const std::pair<const char*, std::string> others[] = {
      {"the time before the values", write(header + time + entry)},
      {"a channel id a byte longer than needed",
       write(header + entry_of(varint(1 << 3) + std::string("\x85\x00", 2), value) + time)},
      {"a channel id past 64 bits",
       write(header + entry_of(varint(1 << 3) + std::string(9, '\xff') + "\x02", value) + time)},
      {"a status of 0 sent", write(nested(1, number(1, 0)) + entry + time)},
      {"a kind past 16 bits", write(nested(1, number(2, 70000)) + entry + time)},
      {"an empty origin sent", write(nested(1, nested(5, "")) + entry + time)},
      {"no header", write(entry + time)},
      {"a value of no alternative", write(header + entry_of(id, nested(2, "")) + time)},
      {"a bool of 2", write(header + entry_of(id, nested(2, number(2, 2))) + time)},
  };
  for (const auto& other : others) {
    SCOPED_TRACE(other.first);
    zw::Envelope parsed;
    std::string error;
    EXPECT_TRUE(zw::parse_envelope(other.second, &parsed, &error)) << error;
    EXPECT_EQ(zw::decode_quick(other.second, &correlation), nullptr);
  }
}

// What the daemon makes of a hello is proven against cdsd; here the client's side.
TEST(CodecHelloTest, TheAnswerToAHelloSaysWhetherTheSessionIsOpen) {
  const std::pair<zw::HelloAckInfo, std::string> cases[] = {  // answer, error ("" when open)
      {{true, "", zw::kProtocolVersion}, ""},
      {{true, "", 7}, zw::version_mismatch_text(7)},
      {{false, "busy", 1}, "the data store refused the session: busy"}};
  EXPECT_THAT(zw::version_mismatch_text(7), HasSubstr("version 7"));
  for (const auto& c : cases) {
    std::string payload, error;
    zw::Envelope env;
    zw::HelloAckInfo ack;
    ASSERT_TRUE(zw::encode_hello_ack(c.first, 1, &payload, &error) && zw::parse_envelope(payload, &env, &error));
    EXPECT_EQ(zw::decode_hello_ack(env, &ack, &error), c.second.empty());
    EXPECT_EQ(c.second.empty() ? "" : error, c.second);
  }
}

// The daemon's tests send cut frames, lengths at and past the limit and
// frames near the limit; here a stream fed byte by byte.
TEST(FrameReaderTest, FramesArriveWholeHoweverTheyAreSplitAndAnOversizeLengthIsFinal) {
  const std::string a(70000, 'a');
  const std::string stream = zw::frame(a) + zw::frame("") + zw::frame("bb");
  zw::FrameReader reader;
  std::string payload;
  for (char c : stream) ASSERT_TRUE(reader.feed(&c, 1));
  for (const std::string& expected : {a, std::string(), std::string("bb")}) {
    ASSERT_TRUE(reader.pop(&payload));
    EXPECT_EQ(payload, expected);
  }
  EXPECT_FALSE(reader.pop(&payload));
  EXPECT_FALSE(reader.partial());
  // Read as it arrives, each payload's memory serving a later frame.
  for (const std::string& expected : {std::string(100, 'c'), std::string(20, 'd'), std::string(5000, 'e'),
                                      std::string(30, 'f'), std::string("g")}) {
    ASSERT_TRUE(reader.feed(zw::frame(expected)));
    ASSERT_TRUE(reader.pop(&payload));
    EXPECT_EQ(payload, expected);
  }
  ASSERT_TRUE(reader.feed(std::string("\x00\x40\x00\x00", 4)));  // exactly kMaxFrame: accepted, waits
  EXPECT_TRUE(reader.partial());
  EXPECT_FALSE(reader.failed());

  zw::FrameReader bad;
  EXPECT_FALSE(bad.feed(zw::frame("ok") + std::string("\x00\x40\x00\x01", 4) + "tail"));
  EXPECT_TRUE(bad.failed());
  EXPECT_THAT(bad.error(), HasSubstr("4194305"));
  EXPECT_FALSE(bad.feed(zw::frame("more")));
  ASSERT_TRUE(bad.pop(&payload));  // what was complete before stays available
  EXPECT_EQ(payload, "ok");
  EXPECT_FALSE(bad.pop(&payload));
}

}  // namespace
