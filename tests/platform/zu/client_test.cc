#include "zu/cds/CClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "zu/asio/CCdsHandler.h"
#include "zu/asio/CIoManager.h"
#include "zu/asio/CServerCore.h"
#include "zu/cds/Transport.h"

namespace zc = zu::cds;
namespace za = zu::asio;
using namespace std::chrono_literals;

namespace {

// Answers every record with a copy of it; can be closed by the test.
class FakeSession : public zc::Session {
 public:
  explicit FakeSession(zc::NotificationSink sink) : sink(std::move(sink)) {}

  std::shared_ptr<zc::CRequestResponse> round_trip(const zc::CRequestResponse& request,
                                                   std::chrono::milliseconds timeout) override {
    if (!open) return nullptr;
    last_timeout = timeout.count();
    return request.clone();
  }
  bool send(const zc::CRequestResponse&) override {
    if (open) ++sends;
    return open;
  }
  bool is_open() const override { return open; }
  void close() override { open = false; }

  // Hands a notification to the session's owner, as the store would.
  void notify(std::uint32_t sequence) {
    auto n = std::make_shared<zc::CSubscriberNotify>();
    n->sequence = sequence;
    sink(n);
  }

  const zc::NotificationSink sink;
  std::atomic<bool> open{true};
  std::atomic<int> sends{0};
  std::atomic<long long> last_timeout{0};
};

class FakeTransport : public zc::Transport {
 public:
  std::shared_ptr<zc::Session> open(const std::string&, zc::NotificationSink sink) override {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.push_back(std::make_shared<FakeSession>(std::move(sink)));
    return sessions_.back();
  }
  std::string endpoint() const override { return "fake:store"; }
  std::vector<std::shared_ptr<FakeSession>> opened() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<FakeSession>> sessions_;
};

// The client is process-wide: every test leaves it as it found it.
class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override { client->set_transport(transport); }
  void TearDown() override {
    client->disconnect();
    client->set_transport(nullptr);
    client->set_endpoint("");
    client->set_timeout(zc::CClient::kDefaultTimeout);
  }

  zc::CClient* const client = zc::CClient::get();
  const std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
};

// Reopening a lost session, only for a client connected with the flag, and
// the client name are proven through dataClient against the embedded store;
// here what reaches the session. An endpoint's scheme leading to its
// transport is proven by cdsctl's --endpoint and by embedded:FILE.
TEST_F(ClientTest, RequestsTravelOverTheSessionWithTheTimeoutAndAnUnknownEndpointIsNamedInTheError) {
  zc::CGetDevice request;
  request.ids = {1};
  EXPECT_FALSE(client->submit_wait(request));  // no connection: no response
  EXPECT_EQ(client->submit(request, 0, false), 0);

  client->set_timeout(250ms);
  ASSERT_NE(client->connect(true, "app", 4194304, 4194304), 0);
  ASSERT_EQ(transport->opened().size(), 1U);
  const auto session = transport->opened().back();
  auto response = std::dynamic_pointer_cast<zc::CGetDevice>(client->submit_wait(request));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->ids, request.ids);
  EXPECT_EQ(session->last_timeout, 250);
  EXPECT_NE(client->submit(request, 0, false), 0);
  EXPECT_EQ(session->sends, 1);
  client->disconnect();
  EXPECT_FALSE(session->open);

  client->set_transport(nullptr);
  client->set_endpoint("nowhere:at-all");
  std::string error;
  EXPECT_FALSE(client->transport(&error));
  EXPECT_NE(error.find("nowhere:at-all"), std::string::npos) << error;
  EXPECT_EQ(client->connect(true, "app", 4194304, 4194304), 0);
}

// ---- handler, server core and I/O loop --------------------------------------

class RecordingHandler : public za::CCdsHandler {
 public:
  using Arrival = std::pair<std::uint32_t, std::thread::id>;  // a notification's sequence, the thread it reached
  RecordingHandler() : CCdsHandler("zu_test_handler", 60, 4194304, 4194304) {}

  void handle_response(std::shared_ptr<zc::CRequestResponse> message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    arrivals_.emplace_back(message->sequence, std::this_thread::get_id());
    changed_.notify_all();
  }
  // What arrived, once `count` notifications did or after a generous bound.
  std::vector<Arrival> arrivals(std::size_t count = 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, 30s, [&] { return arrivals_.size() >= count; });
    return arrivals_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Arrival> arrivals_;
};

class LoopTest : public ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    handler->cds_login();
    ASSERT_EQ(transport->opened().size(), 1U);
    session = transport->opened().back();
  }
  void TearDown() override {
    stop();
    ClientTest::TearDown();
  }

  void start() {
    loop = std::thread([this] {
      loop_id = std::this_thread::get_id();
      manager->run();
    });
  }
  // Ends run() and fails the test instead of hanging when it does not end.
  void stop() {
    if (!loop.joinable()) return;
    auto done = std::async(std::launch::async, [this] { loop.join(); });
    core->shutdown();
    ASSERT_EQ(done.wait_for(30s), std::future_status::ready) << "run() did not end after shutdown()";
  }

  const std::shared_ptr<RecordingHandler> handler = std::make_shared<RecordingHandler>();
  const std::shared_ptr<za::CServerCore> core = std::make_shared<za::CServerCore>();
  const std::unique_ptr<za::CIoManager> manager = std::make_unique<za::CIoManager>(core, handler, 90);
  std::shared_ptr<FakeSession> session;
  std::thread loop;
  std::atomic<std::thread::id> loop_id{};
};

TEST_F(LoopTest, NotificationsReachTheHandlerOnTheLoopOnceAndInOrderUntilShutdown) {
  for (std::uint32_t i = 0; i < 50; ++i) session->notify(i);
  // The store keeps sending from its own thread until the loop has delivered
  // something, so the loop attaches while notifications arrive. Bounded well
  // below what a handler keeps waiting, so none is dropped.
  std::atomic<std::uint32_t> sent{0};
  std::thread store([&] {
    std::uint32_t i = 50;
    for (; i < 20000 && (i < 1000 || handler->arrivals().empty()); ++i) session->notify(i);
    sent = i;
  });
  start();
  store.join();
  ASSERT_GE(handler->arrivals(sent).size(), sent);
  std::this_thread::sleep_for(50ms);  // a duplicate would show up now
  std::vector<RecordingHandler::Arrival> expected;
  for (std::uint32_t i = 0; i < sent; ++i) expected.emplace_back(i, loop_id.load());
  EXPECT_TRUE(handler->arrivals() == expected) << "each once, in order, on the loop's thread";
  stop();

  // A loop started after shutdown() ends at once.
  za::CIoManager again(core, handler, 90);
  auto done = std::async(std::launch::async, [&] { again.run(); });
  ASSERT_EQ(done.wait_for(30s), std::future_status::ready) << "run() ignored an earlier shutdown()";
}

}  // namespace
