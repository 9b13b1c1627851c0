#include "cdsapi/dataClient.h"

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

TEST_F(DataClientTest, StartsDisconnectedOnTheProcessWideClient) {
  cdsapi::dataClient client("app");
  EXPECT_EQ(client.name, "app");
  EXPECT_EQ(client.client, zu::cds::CClient::get());
  EXPECT_FALSE(client.connected);
  EXPECT_EQ(store.faults().connect_attempts(), 0U);
}

TEST_F(DataClientTest, ConnectsAtTheFirstAttemptWhenTheStoreIsUp) {
  cdsapi::dataClient client("app");
  zu::testing::CapturedStream err(std::cerr);
  auto begin = Clock::now();
  EXPECT_TRUE(client.connect(false));
  EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(400));
  EXPECT_TRUE(client.connected);
  EXPECT_EQ(store.faults().connect_attempts(), 1U);
  EXPECT_EQ(err.text(), "");
}

TEST_F(DataClientTest, StoreDownMakesFourAttemptsThenReportsOnce) {
  cdsapi::dataClient client("meter");
  store.faults().refuse_connects(100);
  zu::testing::CapturedStream err(std::cerr);
  auto begin = Clock::now();
  EXPECT_FALSE(client.connect(true));
  EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(2000));
  EXPECT_EQ(store.faults().connect_attempts(), 4U);
  EXPECT_EQ(err.text(), "CDS client meter : Could not connect to the CDS!\n");
  EXPECT_FALSE(client.connected);
}

TEST_F(DataClientTest, SucceedsOnALaterAttemptWithoutAMessage) {
  cdsapi::dataClient client("app");
  store.faults().refuse_connects(2);
  zu::testing::CapturedStream err(std::cerr);
  EXPECT_TRUE(client.connect(false));
  EXPECT_EQ(store.faults().connect_attempts(), 3U);
  EXPECT_EQ(err.text(), "");
}

TEST_F(DataClientTest, ReconnectWhileDownKeepsAnEarlierConnection) {
  cdsapi::dataClient client("app");
  ASSERT_TRUE(client.connect(false));
  zu::cds::CClient::get()->disconnect();
  store.faults().refuse_connects(100);
  zu::testing::CapturedStream err(std::cerr);
  EXPECT_TRUE(client.connect(false));
  EXPECT_EQ(store.faults().connect_attempts(), 5U);
  EXPECT_EQ(err.text(), "");
  EXPECT_TRUE(client.connected);
}

TEST_F(DataClientTest, DisconnectClosesTheSessionAndAlwaysSucceeds) {
  cdsapi::dataClient never("never");
  EXPECT_TRUE(never.disconnect());
  EXPECT_FALSE(never.connected);

  cdsapi::dataClient client("app");
  ASSERT_TRUE(client.connect(false));
  EXPECT_TRUE(zu::cds::CClient::get()->is_connected());
  EXPECT_TRUE(client.disconnect());
  EXPECT_FALSE(client.connected);
  EXPECT_FALSE(zu::cds::CClient::get()->is_connected());
  zu::cds::CGetDevice request;
  EXPECT_EQ(zu::cds::CClient::get()->submit_wait(request), nullptr);
}

TEST_F(DataClientTest, DestructionLeavesTheConnectionOpen) {
  {
    cdsapi::dataClient client("app");
    ASSERT_TRUE(client.connect(false));
  }
  EXPECT_TRUE(zu::cds::CClient::get()->is_connected());
}

}  // namespace
