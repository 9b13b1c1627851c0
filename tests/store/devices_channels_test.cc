// Devices (the tree walk, id assignment, updates and removal), channels
// (creation, lookup, removal, values and settings) and their state bits.
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "store_fixture.h"

namespace cds::store::testing {
namespace {

constexpr std::uint32_t kAllLevels = 2147483647;

using DeviceTreeTest = StoreTest;

// One tree through its life: built, walked, refused into, given ids, updated and cut.
TEST_F(DeviceTreeTest, TheManagerWithAUuidRootsATreeThatChangesWholeOrNotAtAll) {
  zu::CDevice manager = device(1);
  EXPECT_EQ(manager.parent_id.value_or(0), zu::kNoId);
  EXPECT_EQ(manager.guid.size(), 32u);

  // 1 -> {20, 30}; 30 created first. 20 -> {21}; 21 -> {22}: a parent may come earlier in the same request.
  auto r = ask_with<zu::cds::CCreateDevice>([](auto& create) {
    create.use_given_ids = true;
    create.devices = {device_under(1, 30), device_under(1, 20), device_under(20, 21), device_under(21, 22)};
    create.devices[2].guid = "abc";
    create.devices[2].communicating = true;
  });
  ASSERT_EQ(r->status, 1u) << r->message;
  ASSERT_EQ(r->devices.size(), 4u);
  EXPECT_TRUE(device(21).state.test(zu::realtime_state::communicating));
  EXPECT_EQ(walk({1}, 0), (Ids{1}));
  EXPECT_EQ(walk({1}, 1), (Ids{1, 20, 30}));
  EXPECT_EQ(walk({1}, kAllLevels), (Ids{1, 20, 21, 22, 30}));
  EXPECT_EQ(walk({30, 999, 0, zu::kNoId, 20}, 0), (Ids{30, 20})) << "in the order asked, unknown ones skipped";

  zu::CDevice orphan;  // no parent at all
  orphan.id = 60;
  const std::vector<std::tuple<const char*, bool, std::vector<zu::CDevice>, std::uint32_t>> refused = {
      {"unknown parent", false, {device_under(1), device_under(77)}, 2},
      {"given id taken", true, {device_under(1, 50), device_under(1, 20)}, 6},
      {"given id twice", true, {device_under(1, 50), device_under(1, 50)}, 6},
      {"given id 0", true, {device_under(1, 0)}, 5},
      {"no parent", true, {device_under(1, 50), orphan}, 5},
  };
  changes_.clear();
  for (const auto& [what, given_ids, devices, status] : refused) {
    zu::cds::CCreateDevice create;
    create.use_given_ids = given_ids;
    create.devices = devices;
    r = ask(create);
    EXPECT_EQ(r->status, status) << what;
    EXPECT_FALSE(r->message.empty()) << what;
    EXPECT_EQ(walk({1}, kAllLevels), (Ids{1, 20, 21, 22, 30})) << what;
  }
  EXPECT_TRUE(changes_.empty());

  // Assigned ids start at 1024 and skip given ones.
  add_device(1, 1025);
  EXPECT_EQ(add_device(1), 1024u) << "the refusals consumed no assigned id";
  EXPECT_EQ(add_device(1), 1026u);

  // An update replaces identity and the communicating flag, never the tree links, and is all or nothing.
  std::uint64_t channel = add_channel(22, "t");
  zu::CDevice changed = device(20);
  changed.guid = "0123456789abcdef0123456789abcdef";
  *changed.attribute(10) = "Acme";
  changed.communicating = true;
  changed.parent_id = 21;
  changed.sub_devices.clear();
  changed.channels = {5};
  zu::cds::CUpdateDevice update;
  update.devices = {changed};
  ASSERT_EQ(ask(update)->status, 1u);
  zu::CDevice now = device(20);
  EXPECT_EQ(now.guid, changed.guid);
  EXPECT_EQ(*now.attribute(10), "Acme");
  EXPECT_TRUE(now.state.test(zu::realtime_state::communicating));
  EXPECT_EQ(now.parent_id.value_or(0), 1u);
  EXPECT_EQ(now.sub_devices, (std::set<std::uint64_t>{21}));
  EXPECT_TRUE(now.channels.empty());
  now.guid = "new";
  update.devices = {now, device_under(1, 99)};
  EXPECT_EQ(ask(update)->status, 2u);
  EXPECT_EQ(device(20).guid, changed.guid);

  // A delete removes whole subtrees with their channels, or nothing.
  for (Ids ids : {Ids{20, 1}, Ids{20, 404}}) EXPECT_EQ(remove_devices(ids), 2u);
  EXPECT_EQ(walk({20}, kAllLevels), (Ids{20, 21, 22})) << "the manager or an unknown device removes nothing";
  changes_.clear();
  ASSERT_EQ(remove_devices({20}), 1u);
  EXPECT_EQ(walk({1}, kAllLevels), (Ids{1, 30, 1024, 1025, 1026}));
  EXPECT_TRUE(read({channel}).empty());
  ASSERT_EQ(changes_.size(), 1u);
  EXPECT_EQ(changes_[0].devices_removed, (std::map<std::uint64_t, std::uint64_t>{{20, 1}, {21, 20}, {22, 21}}));
  EXPECT_EQ(changes_[0].channels_removed, (std::map<std::uint64_t, std::uint64_t>{{channel, 22}}));
}

TEST_F(DeviceTreeTest, DeepChainIsWalkedAndRemovedWithoutRecursion) {
  const std::uint64_t kChain = 100000, kBatch = 10000;
  for (std::uint64_t first = 2; first < 2 + kChain; first += kBatch) {
    auto r = ask_with<zu::cds::CCreateDevice>([&](auto& create) {
      create.use_given_ids = true;
      for (std::uint64_t id = first; id < first + kBatch; ++id) create.devices.push_back(device_under(id - 1, id));
    });
    ASSERT_EQ(r->status, 1u);
  }
  // The whole chain does not fit one answer: it is cut, in walk order, and flagged.
  auto whole = ask_with<zu::cds::CGetDevice>([](auto& get) {
    get.ids = {1};
    get.depth = kAllLevels;
  });
  EXPECT_EQ(whole->status, zu::cds::status_too_big);
  ASSERT_GT(whole->devices.size(), kBatch);
  EXPECT_LT(whole->devices.size(), kChain);
  EXPECT_EQ(whole->devices.back().id, whole->devices.size());
  ASSERT_EQ(remove_devices({2}), 1u);
  EXPECT_EQ(walk({1}, kAllLevels), Ids{1});
}

class ChannelTest : public StoreTest {
 protected:
  ChannelTest() { add_device(1, 20); }

  std::shared_ptr<zu::cds::CGetChannel> lookup(Ids ids, std::uint64_t device = zu::kNoId,
                                               std::vector<std::string> names = {}) {
    return ask_with<zu::cds::CGetChannel>([&](auto& get) {
      get.ids = ids;
      get.device_id = device;
      get.names = names;
    });
  }
};

TEST_F(ChannelTest, CreatedChannelsGetIdsOfTheirOwnSpaceUniqueNamesPerDeviceAndAreFoundAndRemovedWhole) {
  auto r = create_channel(20, "temperature", true);
  ASSERT_EQ(r->status, 1u);
  ASSERT_EQ(r->channels.size(), 1u);
  const zu::CChannel& c = r->channels[0];
  EXPECT_EQ(c.id(), 1024u);
  EXPECT_TRUE(c.create_flag);
  EXPECT_EQ(c.settings()->data_type, zu::type_none) << "no type before the first write";
  EXPECT_EQ(add_device(1), 1024u);  // device ids are counted apart
  EXPECT_EQ(add_channel(20, "humidity"), 1025u);
  EXPECT_EQ(device(20).channels, (std::set<std::uint64_t>{1024, 1025}));
  // An answer is a copy: changing it does not reach the store.
  r->channels[0].settings()->description = "changed by the caller";
  EXPECT_EQ(settings(1024).description, "");

  EXPECT_EQ(create_channel(1024, "temperature")->status, 1u) << "the same name on another device";
  changes_.clear();
  EXPECT_EQ(create_channel(20, "temperature")->status, 6u);
  // The answer lists every created channel: one that would not fit a frame is refused before anything is created.
  std::vector<zu::cds::CCreateSingleChannel> too_many;
  for (std::size_t i = 0; i < 40000; ++i) too_many.push_back({20, std::string(100, 'c') + std::to_string(i), false, zu::kNoId});
  const std::vector<std::pair<std::vector<zu::cds::CCreateSingleChannel>, std::uint32_t>> refused = {
      {{{20, "b", false, zu::kNoId}, {20, "b", false, zu::kNoId}}, 6},
      {{{20, "", false, zu::kNoId}}, 5},
      {{{20, "ok", false, zu::kNoId}, {404, "x", false, zu::kNoId}}, 2},
      {too_many, zu::cds::status_too_big},
  };
  for (const auto& [requests_asked, status] : refused) {
    const auto& requests = requests_asked;  // a lambda may not capture a structured binding (clang)
    auto answer = ask_with<zu::cds::CCreateChannel>([&](auto& create) { create.requests = requests; });
    EXPECT_EQ(answer->status, status) << requests.back().name;
    EXPECT_TRUE(answer->channels.empty());
  }
  EXPECT_EQ(device(20).channels.size(), 2u);
  EXPECT_TRUE(changes_.empty());
  EXPECT_EQ(add_channel(20, "ok"), 1027u) << "refusals consumed no id";

  auto found = lookup({1025, 999, 1024});
  ASSERT_EQ(found->results.size(), 2u);
  EXPECT_EQ(found->results[0].channel.name, "humidity");
  EXPECT_EQ(found->results[1].channel_id, 1024u);
  found = lookup({}, 20, {"missing", "temperature"});
  ASSERT_EQ(found->results.size(), 1u);
  EXPECT_EQ(found->results[0].channel.id(), 1024u);
  found = lookup({}, 20);
  ASSERT_EQ(found->results.size(), 3u);
  EXPECT_EQ(found->results[1].channel_id, 1025u);
  EXPECT_EQ(lookup({}, 404)->status, 2u);

  EXPECT_EQ(remove_channels({1024, 404}), 2u);
  EXPECT_EQ(read({1024}).size(), 1u) << "naming an unknown channel removes nothing";
  EXPECT_EQ(remove_channels({1024, 1024, 1025, 1027}), 1u);
  EXPECT_TRUE(device(20).channels.empty());
  EXPECT_EQ(add_channel(20, "temperature"), 1028u);  // the name is free again, the id is not
}

TEST_F(ChannelTest, FirstWriteFixesTheTypeLaterWritesConvertOnlyWithoutLossAndARequestIsAllOrNothing) {
  std::uint64_t a = add_channel(20, "a"), b = add_channel(20, "b");
  auto never = read({404, a});
  ASSERT_EQ(never.size(), 1u) << "unknown ids are skipped";
  EXPECT_FALSE(never[0].value.is_valid()) << "never written";
  ASSERT_EQ(write({{b, zu::CValue(1.5F)}})->status, 1u);
  EXPECT_EQ(write({{b, zu::CValue(5)}})->status, 1u);
  EXPECT_EQ(read({b})[0].value, zu::CValue(5.0F));
  auto lossy = write({{b, zu::CValue(2.1)}});
  EXPECT_EQ(lossy->status, 2u);
  EXPECT_NE(lossy->message.find("float"), std::string::npos) << lossy->message;
  EXPECT_EQ(read({b})[0].value, zu::CValue(5.0F));

  changes_.clear();
  EXPECT_EQ(write({{a, zu::CValue(7)}, {b, zu::CValue("text")}})->status, 2u);
  EXPECT_EQ(write({{a, zu::CValue(7)}, {404, zu::CValue(1)}})->status, 2u);
  EXPECT_EQ(write({{a, zu::CValue(7)}, {b, zu::CValue()}})->status, 5u);
  // Within one request the first write fixes the type for the ones after it.
  EXPECT_EQ(write({{a, zu::CValue(7)}, {a, zu::CValue("seven")}})->status, 2u);
  EXPECT_FALSE(read({a})[0].value.is_valid());
  EXPECT_EQ(settings(a).data_type, zu::type_none);
  EXPECT_TRUE(changes_.empty());

  // An accepted write keeps the request's time and reports what changed.
  const zu::CWallTime time = zu::CWallTime::from_seconds(1700000000);
  ASSERT_EQ(write({{a, zu::CValue(std::string("on"))}}, time)->status, 1u);
  ASSERT_EQ(write({{a, zu::CValue(std::string("on"))}}, time)->status, 1u);
  auto value = read({a});
  EXPECT_EQ(value[0].time, time);
  EXPECT_EQ(value[0].text, "on");
  ASSERT_EQ(changes_.size(), 2u);
  EXPECT_EQ(changes_[0].channel_settings_changed, (std::set<std::uint64_t>{a}));
}

TEST_F(ChannelTest, SettingsUpdateReplacesTheApplicationsPartOnly) {
  std::uint64_t a = add_channel(20, "a");
  write({{a, zu::CValue(1)}});
  zu::CChannelSettings s = settings(a);
  s.description = "Inlet temperature";
  s.units = "C";
  s.flags = zu::CChannelSettings::kSettingsFlag;
  s.multistate = {{1, "on"}};
  s.data_type = zu::type_string;
  auto update = [&](std::vector<zu::CChannelSettings> all) {
    return ask_with<zu::cds::CUpdateChannelSettings>([&](auto& r) { r.settings = all; })->status;
  };
  ASSERT_EQ(update({s}), 1u);
  zu::CChannelSettings now = settings(a);
  EXPECT_EQ(now.description, "Inlet temperature");
  EXPECT_EQ(now.flags, zu::CChannelSettings::kSettingsFlag);
  EXPECT_EQ(now.data_type, zu::type_int32);
  EXPECT_EQ(read({a})[0].text, "on");

  zu::CChannelSettings unknown;
  unknown.id = 404;
  s.units = "K";
  EXPECT_EQ(update({s, unknown}), 2u);
  EXPECT_EQ(settings(a).units, "C");
}

// Device state ops keep the communicating flag in step; channel ops change only the application's bits.
TEST_F(ChannelTest, StateOpsApplyWholeRequestsToTheBitsTheirSenderOwns) {
  using zu::realtime_state;
  using zu::cds::state_op;
  auto op = [](std::uint64_t id, realtime_state bits, state_op how) {
    return zu::cds::CSetSingleState{id, zu::CStateBits(bits), {}, how, false};
  };
  auto set_device = [&](std::vector<zu::cds::CSetSingleState> entries) {
    return ask_with<zu::cds::CSetDeviceState>([&](auto& r) {
      for (const auto& e : entries) r.states.push_back({e});
    });
  };
  ASSERT_EQ(set_device({op(20, realtime_state::communicating, state_op::raise)})->status, 1u);
  EXPECT_TRUE(device(20).communicating);
  ASSERT_EQ(set_device({op(20, realtime_state::stale, state_op::assign)})->status, 1u);
  EXPECT_FALSE(device(20).communicating);
  EXPECT_EQ(device(20).state.bits(), static_cast<std::uint32_t>(realtime_state::stale));
  ASSERT_EQ(set_device({op(20, realtime_state::stale, state_op::lower)})->status, 1u);
  EXPECT_TRUE(device(20).state.empty());

  const std::vector<std::pair<zu::cds::CSetSingleState, std::uint32_t>> bad = {
      {op(404, realtime_state::stale, state_op::raise), 2},
      {op(20, realtime_state::alarm_active, state_op::raise), 5},
      {op(20, realtime_state::stale, state_op::none), 5},
  };
  for (const auto& [entry, status] : bad) {
    auto r = set_device({op(20, realtime_state::communicating, state_op::raise), entry});
    EXPECT_EQ(r->status, status);
    ASSERT_EQ(r->results.size(), 2u);
    EXPECT_EQ(r->results[1].status, status);
    EXPECT_FALSE(device(20).communicating) << "a refusal applies no entry";
  }

  std::uint64_t a = add_channel(20, "a");
  auto set_channel = [&](realtime_state bits, state_op how) {
    return ask_with<zu::cds::CSetChannelState>([&](auto& r) { r.states = {{op(a, bits, how)}}; })->status;
  };
  ASSERT_EQ(set_channel(realtime_state::alarm_disabled, state_op::raise), 1u);
  EXPECT_TRUE(read({a})[0].state.test(realtime_state::alarm_disabled));
  ASSERT_EQ(set_channel(realtime_state::stale, state_op::assign), 1u);
  EXPECT_EQ(read({a})[0].state.bits(), static_cast<std::uint32_t>(realtime_state::stale));
  EXPECT_EQ(set_channel(realtime_state::communicating, state_op::assign), 5u);
}

}  // namespace
}  // namespace cds::store::testing
