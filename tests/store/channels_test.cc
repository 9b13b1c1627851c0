// Channels: creation, lookup, removal, values and settings.
#include <string>
#include <vector>

#include "store_fixture.h"

namespace cds::store::testing {
namespace {

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

TEST_F(ChannelTest, CreatedChannelsGetIdsOfTheirOwnSpaceUniqueNamesPerDeviceAndNoTypeYet) {
  auto r = create_channel(20, "temperature", true);
  ASSERT_EQ(r->status, 1u);
  ASSERT_EQ(r->channels.size(), 1u);
  const zu::CChannel& c = r->channels[0];
  EXPECT_EQ(c.id(), 1024u);
  EXPECT_EQ(c.device_id, 20u);
  EXPECT_EQ(c.name, "temperature");
  EXPECT_TRUE(c.create_flag);
  EXPECT_EQ(c.settings()->data_type, zu::type_none);
  EXPECT_EQ(add_device(1), 1024u);  // device ids are counted apart
  EXPECT_EQ(add_channel(20, "humidity"), 1025u);
  EXPECT_EQ(device(20).channels, (std::set<std::uint64_t>{1024, 1025}));
  // An answer is a copy: changing it does not reach the store.
  r->channels[0].settings()->description = "changed by the caller";
  EXPECT_EQ(settings(1024).description, "");

  EXPECT_EQ(create_channel(1024, "temperature")->status, 1u) << "the same name on another device";
  changes_.clear();
  EXPECT_EQ(create_channel(20, "temperature")->status, 6u);
  const std::vector<std::pair<std::vector<zu::cds::CCreateSingleChannel>, std::uint32_t>> refused = {
      {{{20, "b", false, zu::kNoId}, {20, "b", false, zu::kNoId}}, 6},
      {{{20, "", false, zu::kNoId}}, 5},
      {{{404, "x", false, zu::kNoId}}, 2},
      {{{20, "ok", false, zu::kNoId}, {0, "x", false, zu::kNoId}}, 2},
  };
  for (const auto& [requests, status] : refused) {
    auto answer = ask_with<zu::cds::CCreateChannel>([&](auto& create) { create.requests = requests; });
    EXPECT_EQ(answer->status, status) << requests.back().name;
    EXPECT_TRUE(answer->channels.empty());
  }
  EXPECT_EQ(device(20).channels.size(), 2u);
  EXPECT_TRUE(changes_.empty());
  EXPECT_EQ(add_channel(20, "ok"), 1027u) << "refusals consumed no id";
}

TEST_F(ChannelTest, GetFindsChannelsByIdByNameOrAllOfADeviceAndDeleteNamingAnUnknownOneRemovesNothing) {
  std::uint64_t a = add_channel(20, "a"), b = add_channel(20, "b");
  auto r = lookup({b, 999, a});
  ASSERT_EQ(r->results.size(), 2u);
  EXPECT_EQ(r->results[0].channel.name, "b");
  EXPECT_EQ(r->results[1].channel_id, a);
  r = lookup({}, 20, {"missing", "a"});
  ASSERT_EQ(r->results.size(), 1u);
  EXPECT_EQ(r->results[0].channel.id(), a);
  r = lookup({}, 20);
  ASSERT_EQ(r->results.size(), 2u);
  EXPECT_EQ(r->results[1].channel_id, b);
  EXPECT_EQ(lookup({}, 404)->status, 2u);

  EXPECT_EQ(remove_channels({a, 404}), 2u);
  EXPECT_EQ(read({a}).size(), 1u);
  EXPECT_EQ(remove_channels({}), 1u);
  EXPECT_EQ(remove_channels({a, a, b}), 1u);
  EXPECT_TRUE(device(20).channels.empty());
  EXPECT_EQ(add_channel(20, "a"), 1026u);  // the name is free again, the id is not
}

// An answer carries what the response needs, never the request's inputs, and
// always fits one frame: a create whose answer could not be sent is refused
// before it creates anything; a listing is cut and flagged.
TEST_F(ChannelTest, AnswersCarryNoEchoAndStayWithinAFrame) {
  auto named = [](std::size_t from, std::size_t count) {
    zu::cds::CCreateChannel create;
    for (std::size_t i = from; i < from + count; ++i)
      create.requests.push_back({20, std::string(100, 'c') + std::to_string(i), false, zu::kNoId});
    return create;
  };
  auto small = ask(named(0, 3));
  ASSERT_EQ(small->status, 1u);
  EXPECT_TRUE(small->requests.empty());
  EXPECT_EQ(small->channels.size(), 3u);

  const std::size_t changes_before = changes_.size();
  auto huge = ask(named(3, 40000));
  EXPECT_EQ(huge->status, zu::cds::status_too_big);
  EXPECT_TRUE(huge->channels.empty());
  EXPECT_EQ(device(20).channels.size(), 3u);
  EXPECT_EQ(changes_.size(), changes_before);

  for (std::size_t from = 3; from < 20000; from += 5000) ASSERT_EQ(ask(named(from, 5000))->status, 1u);
  auto listing = lookup({}, 20);
  EXPECT_EQ(listing->status, zu::cds::status_too_big);
  EXPECT_GT(listing->results.size(), 1000u);
  EXPECT_LT(listing->results.size(), 20003u);
  EXPECT_EQ(listing->results.front().channel.name, std::string(100, 'c') + "0");
}

TEST_F(ChannelTest, FirstWriteFixesTheTypeLaterWritesConvertOnlyWithoutLossAndARequestIsAllOrNothing) {
  std::uint64_t a = add_channel(20, "a"), b = add_channel(20, "b"), d = add_channel(20, "d");
  auto never = read({404, a});
  ASSERT_EQ(never.size(), 1u) << "unknown ids are skipped";
  EXPECT_FALSE(never[0].value.is_valid()) << "never written";
  ASSERT_EQ(write({{b, zu::CValue(1.5F)}})->status, 1u);
  EXPECT_EQ(settings(b).data_type, zu::type_float);
  EXPECT_EQ(write({{b, zu::CValue(5)}})->status, 1u);
  EXPECT_EQ(read({b})[0].value, zu::CValue(5.0F));
  for (const zu::CValue& v : {zu::CValue(16777217), zu::CValue(2.1), zu::CValue("5"), zu::CValue(true)}) {
    auto r = write({{b, v}});
    EXPECT_EQ(r->status, 2u) << v.as_string();
    EXPECT_NE(r->message.find("float"), std::string::npos) << r->message;
  }
  EXPECT_EQ(read({b})[0].value, zu::CValue(5.0F));
  ASSERT_EQ(write({{d, zu::CValue(0.0)}})->status, 1u);
  EXPECT_EQ(write({{d, zu::CValue(9223372036854775807LL)}})->status, 2u);
  EXPECT_EQ(write({{d, zu::CValue(-9007199254740992LL)}})->status, 1u);

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
  EXPECT_EQ(changes_[0].values_changed, (std::set<std::uint64_t>{a}));
  EXPECT_EQ(changes_[0].channel_settings_changed, (std::set<std::uint64_t>{a}));
  EXPECT_EQ(changes_[1].values_written.at(a), zu::CValue("on"));
  EXPECT_TRUE(changes_[1].values_changed.empty());
}

TEST_F(ChannelTest, SettingsUpdateReplacesTheApplicationsPartOnly) {
  std::uint64_t a = add_channel(20, "a");
  write({{a, zu::CValue(1)}});
  zu::CChannelSettings s = settings(a);
  s.description = "Inlet temperature";
  s.units = "C";
  s.flags = zu::CChannelSettings::kSettingsFlag;
  s.text1 = "t1";
  s.multistate = {{1, "on"}};
  s.data_type = zu::type_string;
  auto update = [&](std::vector<zu::CChannelSettings> all) {
    return ask_with<zu::cds::CUpdateChannelSettings>([&](auto& r) { r.settings = all; })->status;
  };
  ASSERT_EQ(update({s}), 1u);
  zu::CChannelSettings now = settings(a);
  EXPECT_EQ(now.description, "Inlet temperature");
  EXPECT_EQ(now.flags, zu::CChannelSettings::kSettingsFlag);
  EXPECT_EQ(now.text1, "t1");
  EXPECT_EQ(now.data_type, zu::type_int32);
  EXPECT_EQ(read({a})[0].text, "on");

  zu::CChannelSettings unknown;
  unknown.id = 404;
  s.units = "K";
  EXPECT_EQ(update({s, unknown}), 2u);
  EXPECT_EQ(settings(a).units, "C");

  // Clearing every text keeps the flag alone and drops the old texts.
  zu::CChannelSettings flag_only;
  flag_only.id = a;
  flag_only.flags = zu::CChannelSettings::kSettingsFlag;
  ASSERT_EQ(update({flag_only}), 1u);
  now = settings(a);
  EXPECT_EQ(now.flags, zu::CChannelSettings::kSettingsFlag);
  EXPECT_EQ(now.units, "");
  EXPECT_EQ(read({a})[0].text, "1");
}

}  // namespace
}  // namespace cds::store::testing
