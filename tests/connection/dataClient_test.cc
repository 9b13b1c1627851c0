#include "cdsapi/dataClient.h"

#include <algorithm>
#include <chrono>
#include <iostream>

#include <gtest/gtest.h>

#include "zu/cds/CClient.h"
#include "zu/testing/Harness.h"

namespace {

using Clock = std::chrono::steady_clock;

class DataClientTest : public ::testing::Test {
 protected:
  zu::testing::EmbeddedStore store;
};

// The framework reopens a lost session on the next request only for a client
// connected with the flag; every session is opened under the client's name.
TEST_F(DataClientTest, StartsDisconnectedHandsTheNameAndTheFlagToTheFrameworkAndOnlyDisconnectCloses) {
  cdsapi::dataClient client("app");
  EXPECT_FALSE(client.connected);
  EXPECT_EQ(store.faults().connect_attempts(), 0U);

  zu::cds::CGetDevice request;
  for (bool flag : {false, true}) {
    SCOPED_TRACE(flag);
    const std::size_t before = store.faults().connect_attempts();
    ASSERT_TRUE(client.connect(flag));
    EXPECT_TRUE(client.connected);
    EXPECT_EQ(store.faults().client_names().back(), "app");
    store.faults().close_sessions();
    EXPECT_EQ(zu::cds::CClient::get()->submit_wait(request) != nullptr, flag);
    EXPECT_EQ(store.faults().connect_attempts() - before, flag ? 2U : 1U) << "connect, and the reopening";
  }
  { cdsapi::dataClient other("other"); }
  EXPECT_TRUE(zu::cds::CClient::get()->is_connected()) << "destroying a client leaves the connection open";
  EXPECT_TRUE(client.disconnect());
  EXPECT_FALSE(client.connected);
  EXPECT_FALSE(zu::cds::CClient::get()->is_connected());
}

// Four attempts 0.5 s apart; the line goes out only when the client never
// connected, flushed even where the application made standard error buffered.
TEST_F(DataClientTest, ConnectTriesFourTimesAndReportsOnlyAClientThatNeverConnected) {
  const struct {
    const char* what;
    bool connected_before;
    std::size_t refused;
    bool connects;
    std::size_t attempts;
    const char* line;
  } cases[] = {
      {"store up", false, 0, true, 1, ""},
      {"store down", false, 100, false, 4, "CDS client meter : Could not connect to the CDS!\n"},
      {"down, connected before", true, 100, true, 4, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cdsapi::dataClient client("meter");
    if (c.connected_before) {
      ASSERT_TRUE(client.connect(false));
      zu::cds::CClient::get()->disconnect();
    }
    const std::size_t before = store.faults().connect_attempts();
    store.faults().refuse_connects(c.refused);
    zu::testing::CapturedDescriptor err(2);
    zu::testing::BufferedStream buffered(std::cerr, 2);
    const auto begin = Clock::now();
    EXPECT_EQ(client.connect(true), c.connects);
    const auto failures = std::min<std::size_t>(c.refused, 4);
    EXPECT_GE(Clock::now() - begin, failures * std::chrono::milliseconds(500));
    if (failures == 0) {
      EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(400));
    }
    EXPECT_EQ(store.faults().connect_attempts() - before, c.attempts);
    EXPECT_EQ(client.connected, c.connects);
    EXPECT_EQ(err.text(), c.line);
    store.faults().refuse_connects(0);
    zu::cds::CClient::get()->disconnect();
  }
}

}  // namespace
