#include "zu/wire/Codec.h"

#include <gtest/gtest.h>

#include <google/protobuf/util/message_differencer.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "zu/proto/wire.pb.h"

namespace zu {
// Readable values in failure messages.
void PrintTo(const CValue& v, std::ostream* os) { *os << type_name(v.type()) << ":" << v.as_string(); }
}  // namespace zu

namespace {

namespace zc = zu::cds;
namespace zw = zu::wire;
using zu::CValue;

#define EXPECT_FIELD_EQ(a, b, f) EXPECT_EQ((a).f, (b).f) << #f

// Encodes, frames, reads back through a FrameReader and decodes `in`.
template <typename T>
std::shared_ptr<T> round_trip(const T& in) {
  std::string payload, error;
  EXPECT_TRUE(zw::encode_record(in, 4242, &payload, &error)) << error;
  zw::FrameReader reader;
  EXPECT_TRUE(reader.feed(zw::frame(payload)));
  std::string received;
  EXPECT_TRUE(reader.pop(&received));
  std::uint64_t correlation = 0;
  auto out = zw::decode_record(received, &correlation, &error);
  EXPECT_TRUE(out) << error;
  EXPECT_EQ(correlation, 4242U);
  auto typed = std::dynamic_pointer_cast<T>(out);
  EXPECT_TRUE(typed) << "decoded as " << (out ? out->class_name() : "nothing");
  return typed ? typed : std::make_shared<T>();
}

// Texts with a NUL, a byte that is not UTF-8 and a multi-byte character.
std::string text(const std::string& base) { return base + std::string("\0\xff\xc3\xa9", 4); }

zu::CWallTime wall(std::int32_t s) { return zu::CWallTime::from_seconds(s, 123456789); }

void fill_header(zc::CRequestResponse& r) {
  r.status = 6;
  r.kind = 65535;
  r.sequence = 4000000000U;
  r.flags = 0x8001;
  r.origin = text("origin");
  r.message = text("message");
  r.timeout = -7;
  r.reserved = 99;
}

void expect_header_eq(const zc::CRequestResponse& a, const zc::CRequestResponse& b) {
  EXPECT_FIELD_EQ(a, b, status);
  EXPECT_FIELD_EQ(a, b, kind);
  EXPECT_FIELD_EQ(a, b, sequence);
  EXPECT_FIELD_EQ(a, b, flags);
  EXPECT_FIELD_EQ(a, b, origin);
  EXPECT_FIELD_EQ(a, b, message);
  EXPECT_FIELD_EQ(a, b, timeout);
  EXPECT_FIELD_EQ(a, b, reserved);
  EXPECT_STREQ(b.time_format, "%F %T");
}

zu::CAlarmTrigger trigger(unsigned seed) {
  zu::CAlarmTrigger t;
  t.level = seed;
  t.trigger_flag = 2;
  t.threshold = CValue(20.5 + seed);
  t.trigger_value = CValue(static_cast<int>(seed) - 40);
  t.priority = seed * 3;
  t.code = "12" + std::to_string(seed);
  t.trigger_flag2 = 200;
  t.hysteresis = CValue(0.5F);
  t.delay = 30 + seed;
  return t;
}

zu::CAlarmUpdate update(unsigned seed, bool with_trigger) {
  zu::CAlarmUpdate u;
  u.alarm_id = 1000 + seed;
  u.alarm_index = seed;
  u.instance = 0xFFFFFFFFFFULL + seed;
  u.time = wall(1700000000);
  u.aux_number1 = 7;
  u.aux_number2 = ~0ULL;
  u.value = CValue(static_cast<long long>(-5));
  u.aux_callback1 = zu::CAlarmCallback{9, [] {}};
  u.aux_flag = 3;
  u.back_to_normal = true;
  if (with_trigger) u.trigger = trigger(seed);
  u.description = text("too hot");
  u.aux_number3 = 11;
  u.aux_text1 = "t1";
  u.aux_text2 = "t2";
  u.aux_flag2 = 4;
  u.aux_text3 = "t3";
  u.aux_time = wall(1600000000);
  u.aux_number4 = 12;
  u.active = true;
  return u;
}

void expect_update_eq(const zu::CAlarmUpdate& a, const zu::CAlarmUpdate& b) {
  EXPECT_FIELD_EQ(a, b, alarm_id);
  EXPECT_FIELD_EQ(a, b, alarm_index);
  EXPECT_FIELD_EQ(a, b, instance);
  EXPECT_TRUE(a.time == b.time);
  EXPECT_FIELD_EQ(a, b, aux_number1);
  EXPECT_FIELD_EQ(a, b, aux_number2);
  EXPECT_FIELD_EQ(a, b, value);
  EXPECT_EQ(!!a.aux_callback1, !!b.aux_callback1);
  EXPECT_EQ(!!a.aux_callback2, !!b.aux_callback2);
  if (a.aux_callback1 && b.aux_callback1) {
    EXPECT_EQ(a.aux_callback1->tag, b.aux_callback1->tag);
    EXPECT_FALSE(b.aux_callback1->callable);  // callables stay in their process
  }
  EXPECT_FIELD_EQ(a, b, aux_flag);
  EXPECT_FIELD_EQ(a, b, back_to_normal);
  EXPECT_EQ(!!a.trigger, !!b.trigger);
  if (a.trigger && b.trigger) {
    EXPECT_TRUE(*a.trigger == *b.trigger);
  }
  EXPECT_FIELD_EQ(a, b, description);
  EXPECT_FIELD_EQ(a, b, aux_number3);
  EXPECT_FIELD_EQ(a, b, aux_text1);
  EXPECT_FIELD_EQ(a, b, aux_text2);
  EXPECT_FIELD_EQ(a, b, aux_flag2);
  EXPECT_FIELD_EQ(a, b, aux_text3);
  EXPECT_TRUE(a.aux_time == b.aux_time);
  EXPECT_FIELD_EQ(a, b, aux_number4);
  EXPECT_FIELD_EQ(a, b, active);
}

zu::CDevice device(std::uint64_t id) {
  zu::CDevice d;
  d.id = id;
  d.parent_id = 1;
  d.sub_devices = {id + 1, id + 2};
  d.channels = {5000, 5001};
  d.guid = "0123456789abcdef";
  d.communicating = true;
  d.state = zu::CStateBits(5);
  for (unsigned n = 1; n <= zu::kDeviceAttributeCount; ++n) *d.attribute(n) = "attr " + std::to_string(n) + " é";
  return d;
}

zu::CChannelSettings settings(std::uint64_t id) {
  zu::CChannelSettings s;
  s.id = id;
  s.data_type = zu::type_int32;
  s.flags = zu::CChannelSettings::kSettingsFlag | 1;
  s.text1 = "x1";
  s.text2 = "x2";
  s.description = text("desc");
  s.units = "°C";
  s.multistate = {{CValue(0), "off"}, {CValue(1), "on"}, {CValue("x"), "text key"}};
  return s;
}

zu::CChannel channel(std::uint64_t id) {
  zu::CChannel c;
  c.set_settings(std::make_shared<zu::CChannelSettings>(settings(id)));
  c.device_id = 77;
  c.name = text("temp");
  c.create_flag = true;
  c.state = zu::CStateBits(zu::realtime_state::alarm_active);
  c.triggers = {trigger(1), trigger(2)};
  return c;
}

void expect_channel_eq(const zu::CChannel& a, const zu::CChannel& b) {
  ASSERT_TRUE(b.settings());
  EXPECT_TRUE(*a.settings() == *b.settings());
  EXPECT_FIELD_EQ(a, b, device_id);
  EXPECT_FIELD_EQ(a, b, name);
  EXPECT_FIELD_EQ(a, b, create_flag);
  EXPECT_EQ(a.state.bits(), b.state.bits());
  EXPECT_TRUE(a.triggers == b.triggers);
}

zu::proto::toolkitStruct document() {
  zu::proto::toolkitStruct doc;
  auto& f = *doc.mutable_fields();
  f["n"].set_number_value(2.5);
  f["s"].set_string_value("text");
  f["b"].set_bool_value(true);
  f["z"].set_null_value(zu::proto::NULL_VALUE);
  (*f["o"].mutable_struct_value()->mutable_fields())["inner"].set_number_value(-1);
  f["l"].mutable_list_value()->add_values()->set_string_value("item");
  return doc;
}

bool same_document(const zu::proto::toolkitStruct& a, const zu::proto::toolkitStruct& b) {
  return google::protobuf::util::MessageDifferencer::Equals(a, b);
}

// ---- records ----------------------------------------------------------------------

TEST(CodecRecordTest, DeviceRecordsRoundTripEveryField) {
  zc::CGetDevice gd;
  fill_header(gd);
  gd.ids = {1, ~0ULL};
  gd.depth = 3;
  gd.devices = {device(1024), device(1025)};
  auto gd2 = round_trip(gd);
  expect_header_eq(gd, *gd2);
  EXPECT_EQ(gd2->ids, gd.ids);
  EXPECT_EQ(gd2->depth, 3U);
  EXPECT_TRUE(gd2->devices == gd.devices);

  zc::CCreateDevice cd;
  fill_header(cd);
  cd.devices = {device(20)};
  cd.devices[0].parent_id = boost::none;
  cd.use_given_ids = true;
  auto cd2 = round_trip(cd);
  expect_header_eq(cd, *cd2);
  EXPECT_TRUE(cd2->devices == cd.devices);
  EXPECT_TRUE(cd2->use_given_ids);

  zc::CUpdateDevice ud;
  fill_header(ud);
  ud.devices = {device(30)};
  ud.values = {CValue(1), CValue("v")};
  auto ud2 = round_trip(ud);
  expect_header_eq(ud, *ud2);
  EXPECT_TRUE(ud2->devices == ud.devices);
  EXPECT_EQ(ud2->values, ud.values);

  zc::CDeleteDevice dd;
  fill_header(dd);
  dd.ids = {3, 2, 3};  // order and repeats of a list are kept
  auto dd2 = round_trip(dd);
  expect_header_eq(dd, *dd2);
  EXPECT_EQ(dd2->ids, dd.ids);
}

TEST(CodecRecordTest, ChannelRecordsRoundTripEveryField) {
  zc::CCreateChannel cc;
  fill_header(cc);
  cc.requests = {{77, text("a"), true, 5000}, {78, "b", false, zu::kNoId}};
  cc.channels = {channel(5000)};
  cc.legacy = true;
  auto cc2 = round_trip(cc);
  expect_header_eq(cc, *cc2);
  ASSERT_EQ(cc2->requests.size(), 2U);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_FIELD_EQ(cc.requests[i], cc2->requests[i], device_id);
    EXPECT_FIELD_EQ(cc.requests[i], cc2->requests[i], name);
    EXPECT_FIELD_EQ(cc.requests[i], cc2->requests[i], flag);
    EXPECT_FIELD_EQ(cc.requests[i], cc2->requests[i], channel_id);
  }
  ASSERT_EQ(cc2->channels.size(), 1U);
  expect_channel_eq(cc.channels[0], cc2->channels[0]);
  EXPECT_TRUE(cc2->legacy);

  zc::CGetChannel gc;
  fill_header(gc);
  gc.ids = {5000};
  gc.device_id = 77;
  gc.names = {"temp", text("")};
  gc.results.push_back({5000, channel(5000), CValue(21.5F), wall(1700000001)});
  gc.flag = true;
  auto gc2 = round_trip(gc);
  expect_header_eq(gc, *gc2);
  EXPECT_EQ(gc2->ids, gc.ids);
  EXPECT_EQ(gc2->device_id, 77U);
  EXPECT_EQ(gc2->names, gc.names);
  ASSERT_EQ(gc2->results.size(), 1U);
  EXPECT_FIELD_EQ(gc.results[0], gc2->results[0], channel_id);
  expect_channel_eq(gc.results[0].channel, gc2->results[0].channel);
  EXPECT_FIELD_EQ(gc.results[0], gc2->results[0], value);
  EXPECT_TRUE(gc.results[0].time == gc2->results[0].time);
  EXPECT_TRUE(gc2->flag);

  zc::CDeleteChannel dc;
  fill_header(dc);
  dc.ids = {9, 8};
  auto dc2 = round_trip(dc);
  expect_header_eq(dc, *dc2);
  EXPECT_EQ(dc2->ids, dc.ids);

  zc::CGetChannelValue gv;
  fill_header(gv);
  gv.ids = {5000, 5001};
  gv.values.push_back({5000, CValue(7U), "seven", zu::CStateBits(1), wall(5)});
  auto gv2 = round_trip(gv);
  expect_header_eq(gv, *gv2);
  EXPECT_EQ(gv2->ids, gv.ids);
  ASSERT_EQ(gv2->values.size(), 1U);
  EXPECT_FIELD_EQ(gv.values[0], gv2->values[0], channel_id);
  EXPECT_FIELD_EQ(gv.values[0], gv2->values[0], value);
  EXPECT_FIELD_EQ(gv.values[0], gv2->values[0], text);
  EXPECT_EQ(gv2->values[0].state.bits(), 1U);
  EXPECT_TRUE(gv.values[0].time == gv2->values[0].time);

  zc::CUpdateChannelValue uv;
  fill_header(uv);
  uv.values = {{5000, CValue(3)}, {5001, CValue()}};
  uv.time = wall(1700000002);
  uv.flag = true;
  auto uv2 = round_trip(uv);
  expect_header_eq(uv, *uv2);
  ASSERT_EQ(uv2->values.size(), 2U);
  EXPECT_EQ(uv2->values[1].channel_id, 5001U);
  EXPECT_EQ(uv2->values[0].value, CValue(3));
  EXPECT_FALSE(uv2->values[1].value.is_valid());
  EXPECT_TRUE(uv2->time == uv.time);
  EXPECT_TRUE(uv2->flag);

  zc::CGetChannelSettings gs;
  fill_header(gs);
  gs.ids = {5000};
  gs.settings = {settings(5000)};
  gs.flag = true;
  auto gs2 = round_trip(gs);
  expect_header_eq(gs, *gs2);
  EXPECT_EQ(gs2->ids, gs.ids);
  EXPECT_TRUE(gs2->settings == gs.settings);
  EXPECT_TRUE(gs2->flag);

  zc::CUpdateChannelSettings us;
  fill_header(us);
  us.settings = {settings(5001), settings(5002)};
  us.values = {CValue(true)};
  auto us2 = round_trip(us);
  expect_header_eq(us, *us2);
  EXPECT_TRUE(us2->settings == us.settings);
  EXPECT_EQ(us2->values, us.values);
}

TEST(CodecRecordTest, FieldRecordsKeepValuesOfEveryField) {
  zc::CSetFieldValue sf;
  fill_header(sf);
  sf.fields.insert({1, "name", CValue("dev"), 2, 1024, ""});
  sf.fields.insert({4, "key", CValue(2.0), 0, 0, text("/oob/path")});
  zc::CGetFieldValue gf;
  fill_header(gf);
  gf.fields = sf.fields;
  auto sf2 = round_trip(sf);
  auto gf2 = round_trip(gf);
  expect_header_eq(sf, *sf2);
  expect_header_eq(gf, *gf2);
  for (const auto* decoded : {&sf2->fields, &gf2->fields}) {
    ASSERT_EQ(decoded->size(), 2U);
    for (const auto& f : sf.fields) {
      auto it = decoded->find(f);  // by kind, name, id and scope
      ASSERT_NE(it, decoded->end()) << f.name;
      EXPECT_EQ(it->value, f.value);
      EXPECT_EQ(it->value_kind, f.value_kind);
    }
  }
}

TEST(CodecRecordTest, AlarmConfigAndStateRecordsRoundTripEveryField) {
  zc::CGetAlarmConfig gc;
  fill_header(gc);
  gc.channel_ids = {5000, 5001};
  gc.device_ids = {77};
  gc.configs.push_back({5000, {trigger(1), trigger(3)}});
  auto gc2 = round_trip(gc);
  expect_header_eq(gc, *gc2);
  EXPECT_EQ(gc2->channel_ids, gc.channel_ids);
  EXPECT_EQ(gc2->device_ids, gc.device_ids);
  ASSERT_EQ(gc2->configs.size(), 1U);
  EXPECT_EQ(gc2->configs[0].channel_id, 5000U);
  EXPECT_TRUE(gc2->configs[0].triggers == gc.configs[0].triggers);

  zc::CSetAlarmConfig sc;
  fill_header(sc);
  sc.configs.push_back({5001, {trigger(2)}});
  sc.values = {CValue(1.0)};
  auto sc2 = round_trip(sc);
  expect_header_eq(sc, *sc2);
  ASSERT_EQ(sc2->configs.size(), 1U);
  EXPECT_EQ(sc2->configs[0].channel_id, 5001U);
  EXPECT_TRUE(sc2->configs[0].triggers == sc.configs[0].triggers);
  EXPECT_EQ(sc2->values, sc.values);

  auto check_states = [](const auto& in) {
    auto out = round_trip(in);
    expect_header_eq(in, *out);
    ASSERT_EQ(out->states.size(), 1U);
    EXPECT_EQ(out->states[0].id, in.states[0].id);
    EXPECT_EQ(out->states[0].state.bits(), in.states[0].state.bits());
    EXPECT_EQ(out->states[0].state2.bits(), in.states[0].state2.bits());
    EXPECT_EQ(out->states[0].op, in.states[0].op);
    EXPECT_EQ(out->states[0].flag, in.states[0].flag);
    ASSERT_EQ(out->results.size(), 1U);
    EXPECT_EQ(out->results[0].id, in.results[0].id);
    EXPECT_EQ(out->results[0].status, in.results[0].status);
  };
  zc::CSetChannelState cs;
  fill_header(cs);
  cs.states.resize(1);
  cs.states[0].id = 5000;
  cs.states[0].state = zu::CStateBits(zu::realtime_state::alarm_disabled);
  cs.states[0].state2 = zu::CStateBits(1);
  cs.states[0].op = zc::state_op::assign;
  cs.states[0].flag = true;
  cs.results.push_back({5000, 1});
  check_states(cs);
  zc::CSetDeviceState ds;
  fill_header(ds);
  ds.states.resize(1);
  ds.states[0].id = 77;
  ds.states[0].state = zu::CStateBits(zu::realtime_state::communicating);
  ds.states[0].op = zc::state_op::lower;
  ds.results.push_back({77, 2});
  check_states(ds);
}

TEST(CodecRecordTest, OutOfBandRecordsCarryTheirDocuments) {
  zc::CGetOOBData go;
  fill_header(go);
  go.paths = {"/a", text("/b")};
  go.results.push_back({"/a", document(), 1});
  auto go2 = round_trip(go);
  expect_header_eq(go, *go2);
  EXPECT_EQ(go2->paths, go.paths);
  ASSERT_EQ(go2->results.size(), 1U);
  EXPECT_EQ(go2->results[0].path, "/a");
  EXPECT_TRUE(same_document(go2->results[0].data, go.results[0].data));
  EXPECT_EQ(go2->results[0].found, 1U);

  zc::CSetOOBData so;
  fill_header(so);
  so.units.push_back({text("/c"), document(), 3, 4});
  auto so2 = round_trip(so);
  expect_header_eq(so, *so2);
  ASSERT_EQ(so2->units.size(), 1U);
  EXPECT_EQ(so2->units[0].path, so.units[0].path);
  EXPECT_TRUE(same_document(so2->units[0].data, so.units[0].data));
  EXPECT_EQ(so2->units[0].aux1, 3U);
  EXPECT_EQ(so2->units[0].aux2, 4U);
}

TEST(CodecRecordTest, AlarmQueriesRoundTripEveryField) {
  zc::CGetAlarms ga;
  fill_header(ga);
  ga.start = 123456789012ULL;
  ga.date1 = wall(1);
  ga.date2 = wall(2);
  ga.max_count = 1000;
  ga.active_only = ga.closed_only = ga.ids_given = ga.active_query = true;
  ga.aux_query_flag = ga.recursive = ga.order_flag = ga.count_only = ga.level_given = true;
  ga.ids = {77, 78};
  ga.alarm_ids = {5000, 5001};
  ga.date3 = wall(3);
  ga.date4 = wall(4);
  ga.aux_query_number = 8;
  ga.alarms = {update(1, true), update(2, false)};
  ga.found_count = 2;
  ga.level = 6;
  ga.filter_byte = 5;
  ga.filter_text = text("hot");
  auto ga2 = round_trip(ga);
  expect_header_eq(ga, *ga2);
  EXPECT_EQ(ga2->start, ga.start);
  EXPECT_TRUE(ga2->date1 == ga.date1 && ga2->date2 == ga.date2 && ga2->date3 == ga.date3 &&
              ga2->date4 == ga.date4);
  EXPECT_EQ(ga2->max_count, 1000U);
  EXPECT_TRUE(ga2->active_only && ga2->closed_only && ga2->ids_given && ga2->active_query);
  EXPECT_TRUE(ga2->aux_query_flag && ga2->recursive && ga2->order_flag && ga2->count_only && ga2->level_given);
  EXPECT_EQ(ga2->ids, ga.ids);
  EXPECT_EQ(ga2->alarm_ids, ga.alarm_ids);
  EXPECT_EQ(ga2->aux_query_number, 8U);
  ASSERT_EQ(ga2->alarms.size(), 2U);
  expect_update_eq(ga.alarms[0], ga2->alarms[0]);
  expect_update_eq(ga.alarms[1], ga2->alarms[1]);
  EXPECT_EQ(ga2->found_count, 2U);
  EXPECT_EQ(ga2->level, 6U);
  EXPECT_EQ(ga2->filter_byte, 5U);
  EXPECT_EQ(ga2->filter_text, ga.filter_text);

  zc::CDeleteAlarms da;
  fill_header(da);
  da.alarm_ids = {5, 9};
  da.time = wall(1234);
  da.clear_param1 = 3;
  da.clear_param2 = 1;
  da.device_ids = {77};
  da.by_device = true;
  auto da2 = round_trip(da);
  expect_header_eq(da, *da2);
  EXPECT_EQ(da2->alarm_ids, da.alarm_ids);
  EXPECT_TRUE(da2->time == da.time);
  EXPECT_EQ(da2->clear_param1, 3U);
  EXPECT_EQ(da2->clear_param2, 1U);
  EXPECT_EQ(da2->device_ids, da.device_ids);
  EXPECT_TRUE(da2->by_device);

  zc::CGetAlarmUpdateGlobalCount gc;
  fill_header(gc);
  gc.count = ~0ULL - 1;
  auto gc2 = round_trip(gc);
  expect_header_eq(gc, *gc2);
  EXPECT_EQ(gc2->count, gc.count);
}

TEST(CodecRecordTest, SubscriptionRecordsRoundTripEveryField) {
  zc::CSubscribe s;
  fill_header(s);
  s.subscriptions.push_back({42, zu::sub::oob_path, 0, text("/p"), true, true});
  s.subscriptions.push_back({43, zu::sub::channel_value_written, 5000, "", false, false});
  auto s2 = round_trip(s);
  expect_header_eq(s, *s2);
  ASSERT_EQ(s2->subscriptions.size(), 2U);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_FIELD_EQ(s.subscriptions[i], s2->subscriptions[i], subscription_id);
    EXPECT_FIELD_EQ(s.subscriptions[i], s2->subscriptions[i], type);
    EXPECT_FIELD_EQ(s.subscriptions[i], s2->subscriptions[i], object_id);
    EXPECT_FIELD_EQ(s.subscriptions[i], s2->subscriptions[i], path);
    EXPECT_FIELD_EQ(s.subscriptions[i], s2->subscriptions[i], flag);
    EXPECT_FIELD_EQ(s.subscriptions[i], s2->subscriptions[i], flag2);
  }

  zc::CManageSubscriberIDs m;
  fill_header(m);
  m.op = 1;
  m.release_ids = {1, 2};
  m.reserved_ids = {3};
  m.other_ids = {4, 5, 6};
  m.aux = 65535;
  auto m2 = round_trip(m);
  expect_header_eq(m, *m2);
  EXPECT_EQ(m2->op, 1U);
  EXPECT_EQ(m2->release_ids, m.release_ids);
  EXPECT_EQ(m2->reserved_ids, m.reserved_ids);
  EXPECT_EQ(m2->other_ids, m.other_ids);
  EXPECT_EQ(m2->aux, 65535U);

  zc::CSubscriberNotify n;
  fill_header(n);
  n.subscription_id = 42;
  n.type = 15;
  n.values = {{5000, CValue(1.5)}, {5001, CValue()}};
  n.numbers_5 = {5000};
  n.numbers_2 = {5001, 5002};
  n.device_ids = {77};
  n.paths = {"/p", text("/q")};
  n.alarm_updates = {update(1, true), update(2, false)};
  n.device_ids_14 = {78, 79};
  auto n2 = round_trip(n);
  expect_header_eq(n, *n2);
  EXPECT_EQ(n2->subscription_id, 42U);
  EXPECT_EQ(n2->type, 15U);
  EXPECT_EQ(n2->values, n.values);
  EXPECT_EQ(n2->numbers_5, n.numbers_5);
  EXPECT_EQ(n2->numbers_2, n.numbers_2);
  EXPECT_EQ(n2->device_ids, n.device_ids);
  EXPECT_EQ(n2->paths, n.paths);
  ASSERT_EQ(n2->alarm_updates.size(), 2U);
  for (const auto& u : n.alarm_updates) {
    auto it = n2->alarm_updates.find(u);
    ASSERT_NE(it, n2->alarm_updates.end());
    expect_update_eq(u, *it);
  }
  EXPECT_EQ(n2->device_ids_14, n.device_ids_14);

  // The set has no order; on the wire its updates are in instance order.
  n.alarm_updates.clear();
  for (unsigned seed = 0; seed < 16; ++seed) n.alarm_updates.insert(update(seed * 7 % 16, false));
  std::string payload, error;
  ASSERT_TRUE(zw::encode_record(n, 1, &payload, &error)) << error;
  zw::Envelope env;
  ASSERT_TRUE(zw::parse_envelope(payload, &env, &error)) << error;
  std::vector<unsigned long long> instances;
  for (const auto& u : env.subscriber_notify().alarm_updates()) instances.push_back(u.instance());
  EXPECT_EQ(instances.size(), 16U);
  EXPECT_TRUE(std::is_sorted(instances.begin(), instances.end())) << ::testing::PrintToString(instances);
}

TEST(CodecRecordTest, EveryValueAlternativeKeepsItsTypeAndContent) {
  const std::vector<CValue> values = {
      CValue(),
      CValue(true),
      CValue(std::numeric_limits<int>::min()),
      CValue(std::numeric_limits<long long>::min()),
      CValue(std::numeric_limits<unsigned int>::max()),
      CValue(std::numeric_limits<unsigned long long>::max()),
      CValue(-1.25F),
      CValue(std::numeric_limits<double>::quiet_NaN()),
      CValue(std::numeric_limits<double>::lowest()),
      CValue(zu::CTimestamp{-4102444800LL, 999999999}),
      CValue(text("s")),
      CValue(zu::CBytes{0, 255, 128}),
      CValue(std::string()),
      CValue(zu::CBytes{}),
      // Same number, different alternatives: each must come back as sent.
      CValue(7), CValue(7LL), CValue(7U), CValue(7ULL), CValue(7.0F), CValue(7.0),
  };
  zc::CUpdateChannelValue r;
  for (std::size_t i = 0; i < values.size(); ++i) r.values.push_back({i, values[i]});
  auto out = round_trip(r);
  ASSERT_EQ(out->values.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(out->values[i].value.index(), values[i].index()) << "value " << i;
    EXPECT_EQ(out->values[i].value, values[i]) << "value " << i;
  }
  EXPECT_TRUE(std::isnan(out->values[7].value.as_double()));
}

TEST(CodecRecordTest, AlarmUpdatesKeepTheirOptionalMembersAsSent) {
  zc::CSubscriberNotify n;
  auto bare = update(5, false);
  bare.aux_callback1.reset();
  bare.aux_time = zu::CWallTime();  // unset stays unset
  auto full = update(6, true);
  full.aux_callback2 = zu::CAlarmCallback{255, {}};
  n.alarm_updates = {bare, full};
  auto out = round_trip(n);
  ASSERT_EQ(out->alarm_updates.size(), 2U);
  const auto& b = *out->alarm_updates.find(bare);
  const auto& f = *out->alarm_updates.find(full);
  expect_update_eq(bare, b);
  expect_update_eq(full, f);
  EXPECT_FALSE(b.trigger);
  EXPECT_FALSE(b.aux_callback1 || b.aux_callback2);
  EXPECT_FALSE(b.aux_time.is_set());
  ASSERT_TRUE(f.trigger && f.aux_callback1 && f.aux_callback2);
  EXPECT_EQ(f.aux_callback2->tag, 255U);
  EXPECT_FALSE(f.aux_callback1->callable);
}

TEST(CodecRecordTest, TimesDecodeWithTheDefaultFormat) {
  zc::CUpdateChannelValue r;
  r.time = wall(1700000000);
  r.time.format = "%s";
  r.time_format = "%H";
  auto out = round_trip(r);
  EXPECT_TRUE(out->time == r.time);
  EXPECT_STREQ(out->time.format, "%F %T");
  EXPECT_STREQ(out->time_format, "%F %T");
}

// ---- encoding refusals -------------------------------------------------------------

struct CForeignRecord : zc::CRequestResponse {
  std::shared_ptr<zc::CRequestResponse> clone() const override { return std::make_shared<CForeignRecord>(*this); }
  const char* class_name() const override { return "CForeignRecord"; }
};

TEST(CodecEncodeTest, RefusesWhatCannotTravel) {
  std::string payload, error;
  EXPECT_FALSE(zw::encode_record(CForeignRecord(), 1, &payload, &error));
  EXPECT_NE(error.find("CForeignRecord"), std::string::npos) << error;

  zc::CCreateDevice cd;
  cd.devices = {device(20)};
  *cd.devices[0].attribute(6) = "bad \xff name";
  error.clear();
  EXPECT_FALSE(zw::encode_record(cd, 1, &payload, &error));
  EXPECT_NE(error.find("'name' of device 20 is not valid UTF-8"), std::string::npos) << error;

  // A document of 100 levels (lists and objects alike) travels; one more level does not.
  zc::CSetOOBData so;
  so.units.push_back({"/deep", {}, 0, 0});
  auto* level = &so.units[0].data;
  for (int i = 1; i < 100; ++i) {
    auto& value = (*level->mutable_fields())["x"];
    if (i % 2) {
      level = value.mutable_struct_value();
    } else {
      level = value.mutable_list_value()->add_values()->mutable_struct_value();
      ++i;
    }
  }
  auto deep = round_trip(so);
  ASSERT_EQ(deep->units.size(), 1U);
  EXPECT_TRUE(same_document(deep->units[0].data, so.units[0].data));
  (*level->mutable_fields())["x"].mutable_struct_value();
  error.clear();
  EXPECT_FALSE(zw::encode_record(so, 1, &payload, &error));
  EXPECT_NE(error.find("nested deeper than 100"), std::string::npos) << error;
}

TEST(CodecEncodeTest, FrameLimitIsExactAndEnforced) {
  // Size the path so that the payload is exactly kMaxFrame bytes.
  zc::CGetOOBData r;
  r.paths = {std::string(zw::kMaxFrame - 100, 'p')};
  std::string payload, error;
  ASSERT_TRUE(zw::encode_record(r, 1, &payload, &error)) << error;
  r.paths[0].append(zw::kMaxFrame - payload.size(), 'p');
  ASSERT_TRUE(zw::encode_record(r, 1, &payload, &error)) << error;
  EXPECT_EQ(payload.size(), zw::kMaxFrame);
  EXPECT_EQ(zw::frame(payload).size(), zw::kMaxFrame + zw::kFrameHeaderSize);
  auto back = std::dynamic_pointer_cast<zc::CGetOOBData>(zw::decode_record(payload, nullptr, &error));
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->paths, r.paths);

  r.paths[0].push_back('p');
  EXPECT_FALSE(zw::encode_record(r, 1, &payload, &error));
  EXPECT_NE(error.find("frame limit"), std::string::npos) << error;
  EXPECT_TRUE(zw::frame(std::string(zw::kMaxFrame + 1, 'x')).empty());
  EXPECT_TRUE(zw::decode_record(std::string(zw::kMaxFrame + 1, 'x'), nullptr, &error) == nullptr);
}

// ---- decoding refusals -------------------------------------------------------------

std::string serialized(const zw::Envelope& env) {
  std::string s;
  env.SerializeToString(&s);
  return s;
}

// Decodes and expects a failure whose text contains `expected`.
void expect_refused(const std::string& payload, const std::string& expected) {
  std::string error;
  EXPECT_EQ(zw::decode_record(payload, nullptr, &error), nullptr);
  EXPECT_NE(error.find(expected), std::string::npos) << "error was: " << error;
}

TEST(CodecDecodeTest, BadEnvelopesGiveClearErrors) {
  expect_refused(std::string("\xff\xff\xff\xff\x0f garbage"), "not a valid envelope");

  // A body field this side does not know, as a newer peer would send.
  zw::Envelope unknown;
  unknown.set_correlation_id(3);
  std::string body = serialized(unknown) + std::string("\xf2\x06\x00", 3);  // field 110, empty
  expect_refused(body, "unknown type (field 110)");
  expect_refused(serialized(unknown), "no body");

  zw::Envelope hello;
  hello.mutable_hello()->set_protocol_version(1);
  expect_refused(serialized(hello), "a hello, not a record");

  zw::Envelope err;
  err.mutable_error()->set_status(4);
  err.mutable_error()->set_message("too big");
  expect_refused(serialized(err), "status 4): too big");
}

TEST(CodecDecodeTest, FieldsThatDoNotFitTheirRecordAreRefused) {
  zw::Envelope env;
  env.mutable_get_device()->mutable_header()->set_kind(65536);
  expect_refused(serialized(env), "CGetDevice: kind 65536 is out of range");

  env.Clear();
  env.mutable_get_alarms()->set_filter_byte(256);
  expect_refused(serialized(env), "filter_byte 256");

  env.Clear();
  env.mutable_update_channel_value()->add_values()->set_channel_id(1);  // value without alternative
  expect_refused(serialized(env), "value of no known type");

  env.Clear();
  env.mutable_delete_alarms()->add_alarm_ids(5);
  env.mutable_delete_alarms()->add_alarm_ids(5);
  expect_refused(serialized(env), "alarm_ids: duplicate entry");

  env.Clear();
  for (int i = 0; i < 2; ++i) {
    auto* v = env.mutable_subscriber_notify()->add_values();
    v->set_channel_id(9);
    v->mutable_value()->set_int32_value(i);
  }
  expect_refused(serialized(env), "duplicate channel 9");
}

// ---- hello -------------------------------------------------------------------------

zw::Envelope parsed(const std::string& payload) {
  zw::Envelope env;
  std::string error;
  EXPECT_TRUE(zw::parse_envelope(payload, &env, &error)) << error;
  return env;
}

TEST(CodecHelloTest, HelloAndAnswerRoundTrip) {
  std::string payload, error;
  ASSERT_TRUE(zw::encode_hello({"example_data_sub", zw::kProtocolVersion, true}, 1, &payload, &error));
  zw::HelloInfo hello;
  ASSERT_TRUE(zw::decode_hello(parsed(payload), &hello, &error)) << error;
  EXPECT_EQ(hello.client_name, "example_data_sub");
  EXPECT_TRUE(hello.handler);

  ASSERT_TRUE(zw::encode_hello_ack({true, "", zw::kProtocolVersion}, 1, &payload, &error));
  zw::HelloAckInfo ack;
  EXPECT_TRUE(zw::decode_hello_ack(parsed(payload), &ack, &error)) << error;
  EXPECT_TRUE(ack.accepted);
}

TEST(CodecHelloTest, AnotherProtocolVersionOrARefusalIsAnError) {
  std::string payload, error;
  ASSERT_TRUE(zw::encode_hello({"old client", 2, false}, 1, &payload, &error));
  zw::HelloInfo hello;
  EXPECT_FALSE(zw::decode_hello(parsed(payload), &hello, &error));
  EXPECT_EQ(hello.protocol_version, 2U);
  EXPECT_EQ(hello.client_name, "old client");
  EXPECT_EQ(error, zw::version_mismatch_text(2));
  EXPECT_NE(error.find("version 2"), std::string::npos);

  zw::HelloAckInfo ack;
  ASSERT_TRUE(zw::encode_hello_ack({true, "", 7}, 1, &payload, &error));
  EXPECT_FALSE(zw::decode_hello_ack(parsed(payload), &ack, &error));
  EXPECT_EQ(error, zw::version_mismatch_text(7));

  ASSERT_TRUE(zw::encode_hello_ack({false, "busy", 1}, 1, &payload, &error));
  EXPECT_FALSE(zw::decode_hello_ack(parsed(payload), &ack, &error));
  EXPECT_NE(error.find("refused the session: busy"), std::string::npos) << error;

  zc::CGetDevice record;
  ASSERT_TRUE(zw::encode_record(record, 1, &payload, &error));
  EXPECT_FALSE(zw::decode_hello(parsed(payload), &hello, &error));
  EXPECT_NE(error.find("expected a hello, got a record"), std::string::npos) << error;
}

// ---- framing -----------------------------------------------------------------------

TEST(FrameReaderTest, FramesSplitAcrossFeedsArriveWhole) {
  const std::string a(70000, 'a'), b = "bb";
  const std::string stream = zw::frame(a) + zw::frame("") + zw::frame(b);
  zw::FrameReader reader;
  std::string payload;
  for (char c : stream) ASSERT_TRUE(reader.feed(&c, 1));
  ASSERT_EQ(reader.ready(), 3U);
  EXPECT_FALSE(reader.partial());
  ASSERT_TRUE(reader.pop(&payload));
  EXPECT_EQ(payload, a);
  ASSERT_TRUE(reader.pop(&payload));
  EXPECT_EQ(payload, "");
  ASSERT_TRUE(reader.pop(&payload));
  EXPECT_EQ(payload, b);
  EXPECT_FALSE(reader.pop(&payload));
}

TEST(FrameReaderTest, SeveralFramesInOneFeedAndATruncatedTail) {
  const std::string stream = zw::frame("one") + zw::frame("two") + zw::frame("three");
  zw::FrameReader reader;
  // All but the last two bytes: two frames complete, the third waits.
  ASSERT_TRUE(reader.feed(stream.substr(0, stream.size() - 2)));
  EXPECT_EQ(reader.ready(), 2U);
  EXPECT_TRUE(reader.partial());
  std::string payload;
  ASSERT_TRUE(reader.pop(&payload));
  EXPECT_EQ(payload, "one");
  ASSERT_TRUE(reader.pop(&payload));
  EXPECT_EQ(payload, "two");
  EXPECT_FALSE(reader.pop(&payload));
  ASSERT_TRUE(reader.feed(stream.substr(stream.size() - 2)));
  ASSERT_TRUE(reader.pop(&payload));
  EXPECT_EQ(payload, "three");
  EXPECT_FALSE(reader.failed());
}

TEST(FrameReaderTest, AnOversizeLengthIsAFinalError) {
  zw::FrameReader reader;
  const std::string limit("\x00\x40\x00\x00", 4);  // exactly kMaxFrame: accepted, waits
  ASSERT_TRUE(reader.feed(zw::frame("ok") + limit));
  EXPECT_TRUE(reader.partial());

  zw::FrameReader bad;
  EXPECT_FALSE(bad.feed(zw::frame("ok") + std::string("\x00\x40\x00\x01", 4) + "tail"));
  EXPECT_TRUE(bad.failed());
  EXPECT_NE(bad.error().find("4194305"), std::string::npos) << bad.error();
  EXPECT_FALSE(bad.feed(zw::frame("more")));
  std::string payload;
  ASSERT_TRUE(bad.pop(&payload));  // what was complete before stays available
  EXPECT_EQ(payload, "ok");
  EXPECT_FALSE(bad.pop(&payload));

  zw::FrameReader huge;
  EXPECT_FALSE(huge.feed(std::string("\xff\xff\xff\xff", 4)));
  EXPECT_TRUE(huge.failed());
}

}  // namespace
