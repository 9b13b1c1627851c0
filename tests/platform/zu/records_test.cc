#include "zu/cds/Records.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>

namespace zc = zu::cds;

namespace {

// Fills the header with recognisable values in every field.
void fill_header(zc::CRequestResponse& r) {
  r.status = 5;
  r.kind = 7;
  r.sequence = 11;
  r.flags = 13;
  r.origin = "origin";
  r.message = "message";
  r.timeout = 17;
  r.reserved = 19;
}

// Cleans through the base, as the framework does, and checks the header.
void clean_and_check_header(zc::CRequestResponse& r) {
  r.clean();
  SCOPED_TRACE(r.class_name());
  EXPECT_TRUE(r.origin.empty());
  EXPECT_TRUE(r.message.empty());
  EXPECT_EQ(r.status, 5U);
  EXPECT_EQ(r.kind, 7U);
  EXPECT_EQ(r.sequence, 11U);
  EXPECT_EQ(r.flags, 13U);
  EXPECT_EQ(r.timeout, 17);
  EXPECT_EQ(r.reserved, 19U);
}

TEST(RecordsTest, FreshRecordsHaveTheDocumentedHeader) {
  zc::CGetDevice r;
  EXPECT_EQ(r.status, 0U);
  EXPECT_EQ(r.kind, 0U);
  EXPECT_EQ(r.timeout, -1);
  EXPECT_STREQ(r.time_format, "%F %T");
  EXPECT_EQ(zc::CSubscriberNotify().kind, 2U);
  EXPECT_EQ(zc::CSubscriberNotify().subscription_id, zu::kNoId);
}

TEST(RecordsTest, CleanEmptiesDeviceAndChannelRequestsAndKeepsScalars) {
  zc::CGetDevice gd;
  fill_header(gd);
  gd.ids = {1, 2, 3};
  gd.depth = 2147483647;
  gd.devices.resize(2);
  const auto ids_capacity = gd.ids.capacity();
  clean_and_check_header(gd);
  EXPECT_TRUE(gd.ids.empty());
  EXPECT_TRUE(gd.devices.empty());
  EXPECT_EQ(gd.depth, 2147483647U);
  EXPECT_EQ(gd.ids.capacity(), ids_capacity);  // storage kept for reuse

  zc::CCreateDevice cd;
  fill_header(cd);
  cd.devices.resize(1);
  cd.use_given_ids = true;
  clean_and_check_header(cd);
  EXPECT_TRUE(cd.devices.empty());
  EXPECT_TRUE(cd.use_given_ids);

  zc::CUpdateDevice ud;
  fill_header(ud);
  ud.devices.resize(1);
  ud.values.emplace_back(1);
  clean_and_check_header(ud);
  EXPECT_TRUE(ud.devices.empty());
  EXPECT_TRUE(ud.values.empty());

  zc::CDeleteDevice dd;
  fill_header(dd);
  dd.ids = {4};
  clean_and_check_header(dd);
  EXPECT_TRUE(dd.ids.empty());

  zc::CCreateChannel cc;
  fill_header(cc);
  cc.requests.push_back({1, "c", true, zu::kNoId});
  cc.channels.resize(1);
  cc.legacy = true;
  clean_and_check_header(cc);
  EXPECT_TRUE(cc.requests.empty());
  EXPECT_TRUE(cc.channels.empty());
  EXPECT_TRUE(cc.legacy);

  zc::CGetChannel gc;
  fill_header(gc);
  gc.ids = {1};
  gc.device_id = 42;
  gc.names = {"a"};
  gc.results.resize(1);
  gc.flag = true;
  clean_and_check_header(gc);
  EXPECT_TRUE(gc.ids.empty());
  EXPECT_TRUE(gc.names.empty());
  EXPECT_TRUE(gc.results.empty());
  EXPECT_EQ(gc.device_id, 42U);
  EXPECT_TRUE(gc.flag);

  zc::CDeleteChannel dc;
  fill_header(dc);
  dc.ids = {1};
  clean_and_check_header(dc);
  EXPECT_TRUE(dc.ids.empty());

  zc::CGetChannelValue gv;
  fill_header(gv);
  gv.ids = {1};
  gv.values.resize(1);
  clean_and_check_header(gv);
  EXPECT_TRUE(gv.ids.empty());
  EXPECT_TRUE(gv.values.empty());

  zc::CUpdateChannelValue uv;
  fill_header(uv);
  uv.values.push_back({1, zu::CValue(2)});
  uv.time = zu::CWallTime::from_seconds(1000);
  uv.flag = true;
  clean_and_check_header(uv);
  EXPECT_TRUE(uv.values.empty());
  EXPECT_EQ(uv.time, zu::CWallTime::from_seconds(1000));
  EXPECT_TRUE(uv.flag);

  zc::CGetChannelSettings gs;
  fill_header(gs);
  gs.ids = {1};
  gs.settings.resize(1);
  clean_and_check_header(gs);
  EXPECT_TRUE(gs.ids.empty());
  EXPECT_TRUE(gs.settings.empty());

  zc::CUpdateChannelSettings us;
  fill_header(us);
  us.settings.resize(1);
  us.values.emplace_back(1);
  clean_and_check_header(us);
  EXPECT_TRUE(us.settings.empty());
  EXPECT_TRUE(us.values.empty());
}

TEST(RecordsTest, CleanEmptiesFieldAlarmStateOobAndSubscriptionRecords) {
  zc::CSingleField field;
  field.field_kind = 1;
  field.name = "serial";

  zc::CSetFieldValue sf;
  fill_header(sf);
  sf.fields.insert(field);
  clean_and_check_header(sf);
  EXPECT_TRUE(sf.fields.empty());

  zc::CGetFieldValue gf;
  fill_header(gf);
  gf.fields.insert(field);
  clean_and_check_header(gf);
  EXPECT_TRUE(gf.fields.empty());

  zc::CGetAlarmConfig gac;
  fill_header(gac);
  gac.channel_ids = {1};
  gac.device_ids = {2};
  gac.configs.resize(1);
  clean_and_check_header(gac);
  EXPECT_TRUE(gac.channel_ids.empty());
  EXPECT_TRUE(gac.device_ids.empty());
  EXPECT_TRUE(gac.configs.empty());

  zc::CSetAlarmConfig sac;
  fill_header(sac);
  sac.configs.resize(1);
  sac.values.emplace_back(1);
  clean_and_check_header(sac);
  EXPECT_TRUE(sac.configs.empty());
  EXPECT_TRUE(sac.values.empty());

  zc::CSetChannelState scs;
  fill_header(scs);
  scs.states.resize(1);
  scs.results.resize(1);
  clean_and_check_header(scs);
  EXPECT_TRUE(scs.states.empty());
  EXPECT_TRUE(scs.results.empty());

  zc::CSetDeviceState sds;
  fill_header(sds);
  sds.states.resize(1);
  sds.results.resize(1);
  clean_and_check_header(sds);
  EXPECT_TRUE(sds.states.empty());
  EXPECT_TRUE(sds.results.empty());

  zc::CGetOOBData go;
  fill_header(go);
  go.paths = {"a/b"};
  go.results.resize(1);
  clean_and_check_header(go);
  EXPECT_TRUE(go.paths.empty());
  EXPECT_TRUE(go.results.empty());

  zc::CSetOOBData so;
  fill_header(so);
  so.units.resize(1);
  clean_and_check_header(so);
  EXPECT_TRUE(so.units.empty());

  zc::CGetAlarms ga;
  fill_header(ga);
  ga.ids = {1};
  ga.alarm_ids = {2};
  ga.alarms.resize(3);
  ga.found_count = 3;
  ga.max_count = 50;
  ga.recursive = true;
  ga.level = 6;
  ga.filter_byte = 4;
  ga.filter_text = "fan";
  clean_and_check_header(ga);
  EXPECT_TRUE(ga.ids.empty());
  EXPECT_TRUE(ga.alarm_ids.empty());
  EXPECT_TRUE(ga.alarms.empty());
  EXPECT_EQ(ga.found_count, 0U);  // a response count, so it goes with the updates
  EXPECT_EQ(ga.max_count, 50U);
  EXPECT_TRUE(ga.recursive);
  EXPECT_EQ(ga.level, 6U);
  EXPECT_EQ(ga.filter_byte, 4U);
  EXPECT_EQ(ga.filter_text, "fan");  // a query setting, not a container

  zc::CDeleteAlarms da;  // header only: the query keeps its ids
  fill_header(da);
  da.alarm_ids = {1};
  da.device_ids = {2};
  da.by_device = true;
  clean_and_check_header(da);
  EXPECT_EQ(da.alarm_ids.size(), 1U);
  EXPECT_EQ(da.device_ids.size(), 1U);
  EXPECT_TRUE(da.by_device);

  zc::CGetAlarmUpdateGlobalCount gc;
  fill_header(gc);
  gc.count = 99;
  clean_and_check_header(gc);
  EXPECT_EQ(gc.count, 99U);

  zc::CSubscribe sub;
  fill_header(sub);
  sub.subscriptions.resize(2);
  clean_and_check_header(sub);
  EXPECT_TRUE(sub.subscriptions.empty());

  zc::CManageSubscriberIDs ms;
  fill_header(ms);
  ms.op = 1;
  ms.aux = 3;
  ms.release_ids = {1};
  ms.reserved_ids = {2};
  ms.other_ids = {3};
  clean_and_check_header(ms);
  EXPECT_TRUE(ms.release_ids.empty());
  EXPECT_TRUE(ms.reserved_ids.empty());
  EXPECT_TRUE(ms.other_ids.empty());
  EXPECT_EQ(ms.op, 1U);
  EXPECT_EQ(ms.aux, 3U);

  zc::CSubscriberNotify n;
  fill_header(n);
  n.subscription_id = 77;
  n.type = zu::sub::device_tree;
  n.values[1] = zu::CValue(1);
  n.numbers_5 = {1};
  n.numbers_2 = {1};
  n.device_ids = {1};
  n.paths = {"p"};
  n.alarm_updates.insert(zu::CAlarmUpdate{});
  n.device_ids_14 = {1};
  clean_and_check_header(n);
  EXPECT_TRUE(n.values.empty());
  EXPECT_TRUE(n.numbers_5.empty());
  EXPECT_TRUE(n.numbers_2.empty());
  EXPECT_TRUE(n.device_ids.empty());
  EXPECT_TRUE(n.paths.empty());
  EXPECT_TRUE(n.alarm_updates.empty());
  EXPECT_TRUE(n.device_ids_14.empty());
  EXPECT_EQ(n.subscription_id, 77U);
  EXPECT_EQ(n.type, zu::sub::device_tree);
}

TEST(RecordsTest, CloneCopiesTheMostDerivedRecordIndependently) {
  zc::CGetChannel original;
  fill_header(original);
  original.ids = {5, 6};
  original.device_id = 9;
  original.names = {"temp"};
  const zc::CRequestResponse& base = original;

  std::shared_ptr<zc::CRequestResponse> copy = base.clone();
  ASSERT_TRUE(copy);
  EXPECT_STREQ(copy->class_name(), "CGetChannel");
  EXPECT_EQ(typeid(*copy), typeid(zc::CGetChannel));
  auto* typed = dynamic_cast<zc::CGetChannel*>(copy.get());
  ASSERT_NE(typed, nullptr);
  EXPECT_EQ(typed->ids, original.ids);
  EXPECT_EQ(typed->device_id, 9U);
  EXPECT_EQ(typed->names, original.names);
  EXPECT_EQ(typed->status, 5U);
  EXPECT_EQ(typed->origin, "origin");

  typed->ids.push_back(7);
  typed->status = 1;
  EXPECT_EQ(original.ids.size(), 2U);
  EXPECT_EQ(original.status, 5U);

  zc::CSubscriberNotify note;
  note.values[3] = zu::CValue(2.5);
  auto note_copy = std::dynamic_pointer_cast<zc::CSubscriberNotify>(
      static_cast<const zc::CRequestResponse&>(note).clone());
  ASSERT_TRUE(note_copy);
  EXPECT_EQ(note_copy->kind, 2U);
  EXPECT_EQ(note_copy->values.at(3), zu::CValue(2.5));
  EXPECT_FALSE(std::dynamic_pointer_cast<zc::CGetChannel>(note_copy));
}

TEST(RecordsTest, StatusTextNamesEachStatusUnlessTheFrameworkExplained) {
  zc::CDeleteDevice r;
  EXPECT_STREQ(r.get_status_text(), "no status");
  r.status = zc::status_ok;
  EXPECT_STREQ(r.get_status_text(), "success");
  r.status = zc::status_refused;
  EXPECT_STREQ(r.get_status_text(), "not found or refused");
  r.status = zc::status_too_big;
  EXPECT_STREQ(r.get_status_text(), "response too big");
  r.status = zc::status_exists;
  EXPECT_STREQ(r.get_status_text(), "already exists");
  r.status = 1000;
  EXPECT_STREQ(r.get_status_text(), "unknown status");
  r.message = "device 12 is the root";
  EXPECT_STREQ(r.get_status_text(), "device 12 is the root");
  r.clean();
  EXPECT_STREQ(r.get_status_text(), "unknown status");
}

}  // namespace
