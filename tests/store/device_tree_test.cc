// Devices: the tree walk, id assignment, updates and removal.
#include <string>
#include <tuple>
#include <vector>

#include "store_fixture.h"

namespace cds::store::testing {
namespace {

constexpr std::uint32_t kAllLevels = 2147483647;

using DeviceTreeTest = StoreTest;

TEST_F(DeviceTreeTest, TheManagerWithItsOwnUuidIsTheRootOfATreeWalkedEachDeviceBeforeItsChildrenAscending) {
  zu::CDevice manager = device(1);
  EXPECT_EQ(manager.parent_id.value_or(0), zu::kNoId);
  EXPECT_EQ(manager.guid.size(), 32u);
  EXPECT_EQ(manager.guid.find_first_not_of("0123456789abcdef"), std::string::npos);
  zu::cds::CGetDevice get;
  get.ids = {1};
  auto other = std::dynamic_pointer_cast<zu::cds::CGetDevice>(Engine().handle(0, get));
  ASSERT_TRUE(other);
  EXPECT_NE(other->devices.at(0).guid, manager.guid) << "each store makes its own";

  // 1 -> {20, 30}; 30 created first. 20 -> {21}; 21 -> {22}: a parent may come earlier in the same request.
  auto r = ask_with<zu::cds::CCreateDevice>([](auto& create) {
    create.use_given_ids = true;
    create.devices = {device_under(1, 30), device_under(1, 20), device_under(20, 21), device_under(21, 22)};
    create.devices[2].guid = "abc";
    create.devices[2].communicating = true;
  });
  ASSERT_EQ(r->status, 1u) << r->message;
  ASSERT_EQ(r->devices.size(), 4u);
  EXPECT_EQ(r->devices[2].guid, "abc");
  EXPECT_TRUE(device(21).state.test(zu::realtime_state::communicating));
  ASSERT_EQ(changes_.size(), 1u);
  EXPECT_EQ(changes_[0].devices_created, (std::set<std::uint64_t>{20, 21, 22, 30}));

  EXPECT_EQ(walk({1}, 0), (Ids{1}));
  EXPECT_EQ(walk({1}, 1), (Ids{1, 20, 30}));
  EXPECT_EQ(walk({1}, 2), (Ids{1, 20, 21, 30}));
  EXPECT_EQ(walk({1}, kAllLevels), (Ids{1, 20, 21, 22, 30}));
  EXPECT_EQ(walk({0xFFFFFFFFu}, 0xFFFFFFFFu), Ids{});
  EXPECT_EQ(walk({30, 999, 0, zu::kNoId, 20}, 0), (Ids{30, 20})) << "in the order asked, unknown ones skipped";
  EXPECT_EQ(walk({}, 5), Ids{});
  EXPECT_EQ(device(1).sub_devices, (std::set<std::uint64_t>{20, 30}));
  EXPECT_EQ(device(22).parent_id.value_or(0), 21u);
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
  EXPECT_EQ(walk({kChain / 2}, 5).size(), 6u);
  ASSERT_EQ(remove_devices({2}), 1u);
  EXPECT_EQ(walk({1}, kAllLevels), Ids{1});
}

TEST_F(DeviceTreeTest, RefusedCreateCreatesNothingAndAssignedIdsStartAt1024SkipGivenOnesAndAreNeverReused) {
  zu::CDevice orphan;  // no parent at all
  orphan.id = 60;
  const std::vector<std::tuple<const char*, bool, std::vector<zu::CDevice>, std::uint32_t>> cases = {
      {"unknown parent", false, {device_under(1), device_under(77)}, 2},
      {"given id taken", true, {device_under(1, 50), device_under(1, 20)}, 6},
      {"given id twice", true, {device_under(1, 50), device_under(1, 50)}, 6},
      {"given id 0", true, {device_under(1, 0)}, 5},
      {"given id all ones", true, {device_under(1, zu::kNoId)}, 5},
      {"no parent", true, {device_under(1, 50), orphan}, 5},
      {"parent is the device itself", true, {device_under(70, 70)}, 2},
  };
  add_device(1, 20);
  add_device(1, 1025);
  changes_.clear();
  for (const auto& [what, given, devices, status] : cases) {
    auto r = ask_with<zu::cds::CCreateDevice>([&](auto& create) {
      create.use_given_ids = given;
      create.devices = devices;
    });
    EXPECT_EQ(r->status, status) << what;
    EXPECT_FALSE(r->message.empty()) << what;
    EXPECT_TRUE(r->devices.empty()) << what;
    EXPECT_EQ(walk({1}, kAllLevels), (Ids{1, 20, 1025})) << what;
  }
  EXPECT_TRUE(changes_.empty());

  EXPECT_EQ(add_device(1), 1024u) << "the refusals consumed no assigned id";
  EXPECT_EQ(add_device(1), 1026u);
  ASSERT_EQ(remove_devices({1024, 1026}), 1u);
  EXPECT_EQ(add_device(1), 1027u);
  EXPECT_EQ(add_device(1, 1024), 1024u) << "a given id may be any free one, freed ones too";
}

TEST_F(DeviceTreeTest, UpdateReplacesIdentityButNeverTreeLinksAndDeleteRemovesTheSubtreeWithItsChannelsOrNothing) {
  add_device(1, 20);
  add_device(20, 21);
  add_device(1, 30);
  std::uint64_t channel = add_channel(21, "t");
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
  EXPECT_EQ(changes_.back().device_records_changed, (std::set<std::uint64_t>{20}));
  zu::CDevice now = device(20);
  EXPECT_EQ(now.guid, changed.guid);
  EXPECT_EQ(*now.attribute(10), "Acme");
  EXPECT_TRUE(now.communicating);
  EXPECT_TRUE(now.state.test(zu::realtime_state::communicating));
  EXPECT_EQ(now.parent_id.value_or(0), 1u);
  EXPECT_EQ(now.sub_devices, (std::set<std::uint64_t>{21}));
  EXPECT_TRUE(now.channels.empty());

  now.guid = "new";
  update.devices = {now, device_under(1, 99)};
  auto r = ask(update);
  EXPECT_EQ(r->status, 2u);
  EXPECT_NE(r->message.find("99"), std::string::npos);
  EXPECT_EQ(device(20).guid, changed.guid) << "an update is all or nothing";

  for (Ids refused : {Ids{20, 1}, Ids{20, 404}, Ids{20, zu::kNoId}}) EXPECT_EQ(remove_devices(refused), 2u);
  EXPECT_EQ(remove_devices({}), 1u);
  EXPECT_EQ(walk({1}, kAllLevels), (Ids{1, 20, 21, 30})) << "the manager or an unknown device removes nothing";
  changes_.clear();
  ASSERT_EQ(remove_devices({20}), 1u);
  EXPECT_EQ(walk({1}, kAllLevels), (Ids{1, 30}));
  EXPECT_TRUE(read({channel}).empty());
  ASSERT_EQ(changes_.size(), 1u);
  EXPECT_EQ(changes_[0].devices_removed, (std::map<std::uint64_t, std::uint64_t>{{20, 1}, {21, 20}}));
  EXPECT_EQ(changes_[0].channels_removed, (std::map<std::uint64_t, std::uint64_t>{{channel, 21}}));
  EXPECT_EQ(changes_[0].device_trees_changed, (std::set<std::uint64_t>{1}));
}

}  // namespace
}  // namespace cds::store::testing
