// The embedded transport, the process engine and concurrent use of one engine.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "store/Engine.h"

namespace cds::store {
namespace {

template <typename R>
std::shared_ptr<R> ask(zu::cds::Session& session, const R& request) {
  return std::dynamic_pointer_cast<R>(session.round_trip(request, std::chrono::seconds(1)));
}

// The "embedded" endpoint and a transport made over process_engine() reach one engine.
TEST(EmbeddedTransportTest, SessionsOfTheProcessEngineShareItUntilClosed) {
  auto transport = zu::cds::make_transport("embedded");
  ASSERT_TRUE(transport);
  auto first = transport->open("a", nullptr);
  auto second = make_embedded_transport(process_engine())->open("b", nullptr);
  ASSERT_TRUE(first && second);

  zu::cds::CCreateDevice create;
  create.devices = {zu::CDevice()};
  create.devices[0].parent_id = 1;
  auto created = ask(*first, create);
  ASSERT_TRUE(created && created->devices.size() == 1);
  zu::cds::CGetDevice get;
  get.ids = {created->devices[0].id};
  auto seen = ask(*second, get);
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->devices.size(), 1u);
  // A class derived from a record class is answered as that record.
  struct DerivedGet : zu::cds::CGetDevice {};
  DerivedGet derived;
  derived.ids = get.ids;
  auto seen_derived = ask(*second, static_cast<const zu::cds::CGetDevice&>(derived));
  ASSERT_TRUE(seen_derived);
  EXPECT_EQ(seen_derived->devices.size(), 1u);

  first->close();
  first->close();
  EXPECT_FALSE(first->is_open());
  EXPECT_EQ(first->round_trip(get, std::chrono::seconds(1)), nullptr);
  EXPECT_FALSE(first->send(get));
  EXPECT_NE(second->round_trip(get, std::chrono::seconds(1)), nullptr);
  std::string error;
  EXPECT_EQ(zu::cds::make_transport("embedded:", &error), nullptr);  // a store file needs a name
  EXPECT_NE(error.find("needs a file name"), std::string::npos) << error;
}

TEST(EngineConcurrencyTest, ConcurrentWritersGetDistinctIdsAndReadersSeeWholeWrites) {
  auto transport = make_embedded_transport(std::make_shared<Engine>());
  const int kThreads = 4, kEach = 200;
  std::vector<std::vector<std::uint64_t>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto session = transport->open("writer", nullptr);
      for (int i = 0; i < kEach; ++i) {
        zu::cds::CCreateChannel create;
        create.requests = {{1, "c" + std::to_string(t) + "." + std::to_string(i), false, zu::kNoId}};
        auto r = ask(*session, create);
        if (!r || r->channels.size() != 1) return;
        zu::cds::CUpdateChannelValue write;
        write.values = {{r->channels[0].id(), zu::CValue(i)}};
        session->send(write);
        zu::cds::CGetChannelValue read;
        read.ids = {r->channels[0].id()};
        auto v = ask(*session, read);
        if (v && v->values.size() == 1 && v->values[0].value == zu::CValue(i)) ids[t].push_back(read.ids[0]);
      }
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
