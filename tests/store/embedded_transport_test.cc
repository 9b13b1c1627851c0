// The embedded transport, the process engine and concurrent use of one engine.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "store/Engine.h"

namespace cds::store {
namespace {

std::uint64_t create_device(zu::cds::Session& session) {
  zu::cds::CCreateDevice create;
  zu::CDevice d;
  d.parent_id = 1;
  create.devices = {d};
  auto r = std::dynamic_pointer_cast<zu::cds::CCreateDevice>(session.round_trip(create, std::chrono::seconds(1)));
  return r && r->status == 1 && r->devices.size() == 1 ? r->devices[0].id : zu::kNoId;
}

// The "embedded" endpoint and a transport made over process_engine() reach one engine.
TEST(EmbeddedTransportTest, SessionsOfTheProcessEngineShareItUntilClosed) {
  auto transport = zu::cds::make_transport("embedded");
  ASSERT_TRUE(transport);
  EXPECT_EQ(transport->endpoint(), "embedded");
  auto first = transport->open("a", nullptr);
  auto second = make_embedded_transport(process_engine())->open("b", nullptr);
  ASSERT_TRUE(first && second);

  std::uint64_t id = create_device(*first);
  ASSERT_NE(id, zu::kNoId);
  zu::cds::CDeleteDevice remove;
  remove.ids = {id};
  EXPECT_TRUE(second->send(remove));
  zu::cds::CGetDevice get;
  get.ids = {id};
  auto seen = std::dynamic_pointer_cast<zu::cds::CGetDevice>(first->round_trip(get, std::chrono::seconds(1)));
  ASSERT_TRUE(seen);
  EXPECT_TRUE(seen->devices.empty());

  first->close();
  first->close();
  EXPECT_FALSE(first->is_open());
  EXPECT_EQ(first->round_trip(get, std::chrono::seconds(1)), nullptr);
  EXPECT_FALSE(first->send(get));
  EXPECT_TRUE(second->is_open());
  EXPECT_NE(second->round_trip(get, std::chrono::seconds(1)), nullptr);
  std::string error;
  EXPECT_EQ(zu::cds::make_transport("embedded:", &error), nullptr);  // a store file needs a name
  EXPECT_NE(error.find("needs a file name"), std::string::npos) << error;
}

TEST(EngineConcurrencyTest, ConcurrentWritersGetDistinctIdsAndReadersSeeWholeWrites) {
  auto engine = std::make_shared<Engine>();
  const int kThreads = 4, kEach = 200;
  std::vector<std::vector<std::uint64_t>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      SessionId s = engine->open_session("writer", nullptr);
      for (int i = 0; i < kEach; ++i) {
        zu::cds::CCreateChannel create;
        create.requests = {{1, "c" + std::to_string(t) + "." + std::to_string(i), false, zu::kNoId}};
        auto r = std::dynamic_pointer_cast<zu::cds::CCreateChannel>(engine->handle(s, create));
        if (!r || r->channels.size() != 1) return;
        zu::cds::CUpdateChannelValue write;
        write.values = {{r->channels[0].id(), zu::CValue(i)}};
        engine->handle(s, write);
        zu::cds::CGetChannelValue read;
        read.ids = {r->channels[0].id()};
        auto v = std::dynamic_pointer_cast<zu::cds::CGetChannelValue>(engine->handle(s, read));
        if (v && v->values.size() == 1 && v->values[0].value == zu::CValue(i)) ids[t].push_back(read.ids[0]);
      }
      engine->close_session(s);
    });
  }
  std::set<std::uint64_t> all;
  for (int t = 0; t < kThreads; ++t) {
    threads[t].join();
    EXPECT_EQ(ids[t].size(), static_cast<std::size_t>(kEach)) << "thread " << t << " read back every write";
    all.insert(ids[t].begin(), ids[t].end());
  }
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach));
}

}  // namespace
}  // namespace cds::store
