#pragma once
// One record of every class with every field filled: non-zero numbers, all
// flags set, every container and optional filled, texts holding a NUL, a byte
// that is not UTF-8 and a multi-byte character. The codec and clean() tests
// walk this list, so a new record class belongs here.
#include <memory>
#include <string>
#include <vector>

#include "zu/cds/Records.h"

namespace samples {

namespace zc = zu::cds;
using zu::CValue;

inline std::string text(const std::string& base) { return base + std::string("\0\xff\xc3\xa9", 4); }
inline zu::CWallTime wall(std::int32_t s) { return zu::CWallTime::from_seconds(s, 123456789); }

inline zu::CAlarmTrigger trigger(unsigned seed) {
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

inline zu::CAlarmUpdate update(unsigned seed) {
  zu::CAlarmUpdate u;
  u.alarm_id = 1000 + seed;
  u.alarm_index = seed;
  u.instance = 0xFFFFFFFFFFULL + seed;
  u.time = wall(1700000000);
  u.aux_number1 = 7;
  u.aux_number2 = ~0ULL;
  u.value = CValue(static_cast<long long>(-5));
  u.aux_callback1 = zu::CAlarmCallback{9, [] {}};
  u.aux_callback2 = zu::CAlarmCallback{255, {}};
  u.aux_flag = 3;
  u.back_to_normal = true;
  u.trigger = trigger(seed);
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

inline zu::CDevice device(std::uint64_t id) {
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

inline zu::CChannelSettings settings(std::uint64_t id) {
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

inline zu::CChannel channel(std::uint64_t id) {
  zu::CChannel c;
  c.set_settings(std::make_shared<zu::CChannelSettings>(settings(id)));
  c.device_id = 77;
  c.name = text("temp");
  c.create_flag = true;
  c.state = zu::CStateBits(zu::realtime_state::alarm_active);
  c.triggers = {trigger(1), trigger(2)};
  return c;
}

// A document of every kind of value, with no empty object or list.
inline zu::proto::toolkitStruct document() {
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

template <typename R>
std::shared_ptr<R> with_header() {
  auto r = std::make_shared<R>();
  r->status = 6;
  r->kind = 65535;
  r->sequence = 4000000000U;
  r->flags = 0x8001;
  r->origin = text("origin");
  r->message = text("message");
  r->timeout = -7;
  r->reserved = 99;
  return r;
}

template <typename S>
void fill_states(S& r, std::uint64_t id, zu::realtime_state bit) {
  r.states.resize(1);
  r.states[0].id = id;
  r.states[0].state = zu::CStateBits(bit);
  r.states[0].state2 = zu::CStateBits(1);
  r.states[0].op = zc::state_op::assign;
  r.states[0].flag = true;
  r.results.push_back({id, 2});
}

inline std::vector<std::shared_ptr<zc::CRequestResponse>> every_record() {
  std::vector<std::shared_ptr<zc::CRequestResponse>> all;
  auto gd = with_header<zc::CGetDevice>();
  gd->ids = {1, ~0ULL};
  gd->depth = 3;
  gd->devices = {device(1024), device(1025)};
  auto cd = with_header<zc::CCreateDevice>();
  cd->devices = {device(20)};
  cd->use_given_ids = true;
  auto ud = with_header<zc::CUpdateDevice>();
  ud->devices = {device(30)};
  ud->values = {CValue(1), CValue("v")};
  auto dd = with_header<zc::CDeleteDevice>();
  dd->ids = {3, 2, 3};  // order and repeats of a list are kept
  all.insert(all.end(), {gd, cd, ud, dd});

  auto cc = with_header<zc::CCreateChannel>();
  cc->requests = {{77, text("a"), true, 5000}, {78, "b", true, zu::kNoId}};
  cc->channels = {channel(5000)};
  cc->legacy = true;
  auto gc = with_header<zc::CGetChannel>();
  gc->ids = {5000};
  gc->device_id = 77;
  gc->names = {"temp", text("")};
  gc->results.push_back({5000, channel(5000), CValue(21.5F), wall(1700000001)});
  gc->flag = true;
  auto dc = with_header<zc::CDeleteChannel>();
  dc->ids = {9, 8};
  auto gv = with_header<zc::CGetChannelValue>();
  gv->ids = {5000, 5001};
  gv->values.push_back({5000, CValue(7U), "seven", zu::CStateBits(1), wall(5)});
  auto uv = with_header<zc::CUpdateChannelValue>();
  uv->values = {{5000, CValue(3)}, {5001, CValue()}};
  uv->time = wall(1700000002);
  uv->flag = true;
  auto gs = with_header<zc::CGetChannelSettings>();
  gs->ids = {5000};
  gs->settings = {settings(5000)};
  gs->flag = true;
  auto us = with_header<zc::CUpdateChannelSettings>();
  us->settings = {settings(5001), settings(5002)};
  us->values = {CValue(true)};
  all.insert(all.end(), {cc, gc, dc, gv, uv, gs, us});

  auto sf = with_header<zc::CSetFieldValue>();
  sf->fields.insert({1, "name", CValue("dev"), 2, 1024, "s"});
  sf->fields.insert({4, "key", CValue(2.0), 1, 5, text("/oob/path")});
  auto gf = with_header<zc::CGetFieldValue>();
  gf->fields = sf->fields;
  auto gac = with_header<zc::CGetAlarmConfig>();
  gac->channel_ids = {5000, 5001};
  gac->device_ids = {77};
  gac->configs.push_back({5000, {trigger(1), trigger(3)}});
  auto sac = with_header<zc::CSetAlarmConfig>();
  sac->configs.push_back({5001, {trigger(2)}});
  sac->values = {CValue(1.0)};
  auto cs = with_header<zc::CSetChannelState>();
  fill_states(*cs, 5000, zu::realtime_state::alarm_disabled);
  auto ds = with_header<zc::CSetDeviceState>();
  fill_states(*ds, 77, zu::realtime_state::communicating);
  all.insert(all.end(), {sf, gf, gac, sac, cs, ds});

  auto go = with_header<zc::CGetOOBData>();
  go->paths = {"/a", text("/b")};
  go->results.push_back({"/a", document(), 1});
  auto so = with_header<zc::CSetOOBData>();
  so->units.push_back({text("/c"), document(), 3, 4});
  all.insert(all.end(), {go, so});

  auto ga = with_header<zc::CGetAlarms>();
  ga->start = 123456789012ULL;
  ga->date1 = wall(1);
  ga->date2 = wall(2);
  ga->max_count = 1000;
  ga->active_only = ga->closed_only = ga->ids_given = ga->active_query = true;
  ga->aux_query_flag = ga->recursive = ga->order_flag = ga->count_only = ga->level_given = true;
  ga->ids = {77, 78};
  ga->alarm_ids = {5000, 5001};
  ga->date3 = wall(3);
  ga->date4 = wall(4);
  ga->aux_query_number = 8;
  ga->alarms = {update(1), update(2)};
  ga->found_count = 2;
  ga->level = 6;
  ga->filter_byte = 5;
  ga->filter_text = text("hot");
  auto da = with_header<zc::CDeleteAlarms>();
  da->alarm_ids = {5, 9};
  da->time = wall(1234);
  da->clear_param1 = 3;
  da->clear_param2 = 1;
  da->device_ids = {77};
  da->by_device = true;
  auto gcount = with_header<zc::CGetAlarmUpdateGlobalCount>();
  gcount->count = ~0ULL - 1;
  all.insert(all.end(), {ga, da, gcount});

  auto sub = with_header<zc::CSubscribe>();
  sub->subscriptions.push_back({42, zu::sub::oob_path, 7, text("/p"), true, true});
  sub->subscriptions.push_back({43, zu::sub::channel_value_written, 5000, "x", true, true});
  auto ms = with_header<zc::CManageSubscriberIDs>();
  ms->op = 1;
  ms->release_ids = {1, 2};
  ms->reserved_ids = {3};
  ms->other_ids = {4, 5, 6};
  ms->aux = 65535;
  auto n = with_header<zc::CSubscriberNotify>();
  n->subscription_id = 42;
  n->type = 15;
  n->values = {{5000, CValue(1.5)}, {5001, CValue()}};
  n->numbers_5 = {5000};
  n->numbers_2 = {5001, 5002};
  n->device_ids = {77};
  n->paths = {"/p", text("/q")};
  n->alarm_updates = {update(1), update(2)};
  n->device_ids_14 = {78, 79};
  all.insert(all.end(), {sub, ms, n});
  return all;
}

}  // namespace samples
