// A restart, clean or by kill -9, keeps what the store answered as done.
#include <signal.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "durable_fixture.h"

namespace durable_test {
namespace {

const std::vector<std::string> kPaths = {"system/network", "absent"};

struct Populated {
  std::uint64_t gone, device, load;  // a removed device, the device kept, its alarmed channel
};

// Fills a store with one of everything a restart keeps.
Populated Populate(Store& store) {
  const std::uint64_t gone = store.ok(NewDevice("gone"))->devices.at(0).id;
  cds::CDeleteDevice remove;
  remove.ids = {gone};
  store.ok(remove);
  const std::uint64_t device = store.ok(NewDevice("pdu"))->devices.at(0).id;
  const std::uint64_t load = store.ok(NewChannel(device, "load"))->channels.at(0).id();
  const std::uint64_t text = store.ok(NewChannel(device, "label"))->channels.at(0).id();

  cds::CUpdateChannelSettings settings;
  zu::CChannelSettings s;
  s.id = load;
  s.description = "Load";
  s.units = "A";
  s.multistate[zu::CValue(0.0)] = "off";
  settings.settings.push_back(s);
  store.ok(settings);
  cds::CSetAlarmConfig alarm;
  zu::CAlarmTrigger high;
  high.level = 3;
  high.threshold = zu::CValue(10.0);
  high.code = "1201";
  alarm.configs.push_back(cds::CSingleAlarmConfig{load, {high}});
  store.ok(alarm);
  store.ok(NewValue(load, zu::CValue(20.0)));  // raises
  store.ok(NewValue(load, zu::CValue(5.0)));   // ends
  store.ok(NewValue(load, zu::CValue(30.0)));  // raises again: stays active
  store.ok(NewValue(text, zu::CValue(std::string("rack B4"))));

  cds::CSetChannelState disable;
  cds::CSetSingleChannelState state;
  state.id = text;
  state.op = cds::state_op::raise;
  state.state.set(zu::realtime_state::alarm_disabled);
  disable.states.push_back(state);
  store.ok(disable);

  cds::CSetFieldValue fields;
  cds::CSingleField extra{1, "rack", zu::CValue(std::string("B4")), 0, device, ""};
  cds::CSingleField scoped{3, "mode", zu::CValue(7), 0, device, "snmp"};
  cds::CSingleField in_document{4, "hostname", zu::CValue(std::string("cds-1")), 0, 0, "system/network"};
  fields.fields = {extra, scoped, in_document};
  store.ok(fields);
  return {gone, device, load};
}

// Restart keeps everything, on both ways of running a store; ids and alarm
// instances continue after it and never repeat.
class RestartTest : public DurableTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RestartTest, KeepsEverythingAndCountersContinue) {
  Store store(GetParam(), directory_, file_);
  ASSERT_TRUE(store.open()) << Log();
  const Populated made = Populate(store);
  const std::string before = Dump(store, kPaths);
  store.close();

  ASSERT_TRUE(store.open()) << Log();
  EXPECT_EQ(Dump(store, kPaths), before);
  // It tells where it keeps all this, under which contract, and how much it holds.
  const auto info = store.ok(cds::CGetStoreInfo());
  ASSERT_TRUE(info);
  for (const std::string& line : {"file: " + file_ + "\n", std::string("sync: normal"), std::string("values: written every 1000 ms"),
                                 std::string("devices: 2\nchannels: 2\ndocuments: 1\nalarm log entries: 3\n")})
    EXPECT_NE(info->text.find(line), std::string::npos) << line << " not in:\n" << info->text;
  cds::CGetFieldValue fields;
  fields.fields = {cds::CSingleField{3, "mode", zu::CValue(), 0, made.device, "snmp"},
                   cds::CSingleField{1, "rack", zu::CValue(), 0, made.device, ""}};
  const auto read = store.ok(fields);  // the answer must outlive the loop over its fields
  for (const cds::CSingleField& field : read->fields)
    EXPECT_EQ(field.value, field.name == "mode" ? zu::CValue(7) : zu::CValue(std::string("B4"))) << field.name;

  const std::uint64_t next = store.ok(NewDevice("after"))->devices.at(0).id;
  EXPECT_GT(next, made.device) << "a device id was assigned twice";
  store.ok(NewValue(made.load, zu::CValue(1.0)));  // ends the alarm raised before the restart
  cds::CGetAlarms newest;
  newest.max_count = 1;
  auto update = store.ok(newest);
  ASSERT_EQ(update->alarms.size(), 1u);
  EXPECT_TRUE(update->alarms[0].back_to_normal);
  EXPECT_EQ(update->alarms[0].instance, 4u) << "instances restarted";
  store.close();

  // The endpoint embedded:FILE reaches the same store.
  std::string error;
  auto transport = cds::make_transport("embedded:" + file_, &error);
  ASSERT_TRUE(transport) << error;
  auto session = transport->open("durable-test", nullptr);
  cds::CGetDevice device;
  device.ids = {next};
  auto answer = std::dynamic_pointer_cast<cds::CGetDevice>(session->round_trip(device, 20s));
  ASSERT_TRUE(answer && answer->devices.size() == 1);
  EXPECT_EQ(answer->devices[0].guid, "guid-after");
}

INSTANTIATE_TEST_SUITE_P(Stores, RestartTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "cdsd" : "embedded"; });

// kill -9 while 16 clients write: every configuration change answered with
// status 1 is there after the restart, and every value answered longer ago
// than the flush window.
TEST_F(DurableTest, KillNineKeepsAnsweredChanges) {
  constexpr int kWriters = 16;
  constexpr auto kWindow = 200ms;
  Store store(true, directory_, file_, {"--value-flush-ms", "200"});
  ASSERT_TRUE(store.open()) << Log();
  const std::uint64_t device = store.ok(NewDevice("busy"))->devices.at(0).id;
  std::vector<std::uint64_t> value_channels;
  for (int i = 0; i < kWriters; ++i)
    value_channels.push_back(store.ok(NewChannel(device, "value " + std::to_string(i)))->channels.at(0).id());

  using Clock = std::chrono::steady_clock;
  struct Written {
    std::vector<std::uint64_t> channels;                      // created, answered 1
    std::vector<std::pair<Clock::time_point, int>> values;    // answered 1 at, value
  };
  std::vector<Written> written(kWriters);
  std::atomic<bool> stop{false};
  auto transport = cds::make_transport("unix:" + directory_ + "/cds.sock");
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&, w] {
      auto session = transport->open("writer", nullptr);
      for (int k = 0; session && !stop; ++k) {
        auto created = std::dynamic_pointer_cast<cds::CCreateChannel>(
            session->round_trip(NewChannel(device, std::to_string(w) + "/" + std::to_string(k)), 5s));
        if (!created) break;
        if (created->status == cds::status_ok) written[w].channels.push_back(created->channels.at(0).id());
        auto value = session->round_trip(NewValue(value_channels[w], zu::CValue(k)), 5s);
        if (!value) break;
        if (value->status == cds::status_ok) written[w].values.emplace_back(Clock::now(), k);
      }
    });
  std::this_thread::sleep_for(2500ms);
  const Clock::time_point killed = Clock::now();
  store.close(SIGKILL);
  stop = true;
  for (std::thread& t : writers) t.join();

  ASSERT_TRUE(store.open()) << Log();
  std::size_t created = 0;
  for (int w = 0; w < kWriters; ++w) {
    cds::CGetChannel channels;
    channels.ids = written[w].channels;
    EXPECT_EQ(store.ok(channels)->results.size(), written[w].channels.size()) << "writer " << w;
    created += written[w].channels.size();
    // The last value answered before the window must be there, or a later one.
    int floor = -1;
    for (const auto& [at, value] : written[w].values)
      if (at < killed - kWindow - 700ms) floor = value;  // slack for a machine busy with other work
    cds::CGetChannelValue read;
    read.ids = {value_channels[w]};
    auto value = store.ok(read);
    ASSERT_EQ(value->values.size(), 1u);
    if (floor >= 0) {
      EXPECT_GE(value->values[0].value.as_int32(), floor) << "writer " << w;
    }
  }
  EXPECT_GT(created, static_cast<std::size_t>(kWriters)) << "the writers hardly wrote: the test proves nothing";
}

}  // namespace
}  // namespace durable_test
