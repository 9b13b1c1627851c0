// A daemon killed and started again: callers learn at once, clients and
// handlers come back by themselves, subscriptions keep their ids.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "daemon_fixture.h"
#include "zu/asio/CCdsHandler.h"
#include "zu/asio/CIoManager.h"
#include "zu/asio/CServerCore.h"

namespace cdsd_test {
namespace {

constexpr std::uint64_t kChannel = 5000;

// Stops `pid`, a child of this process, and waits until the stop is complete:
// kill() returns while a daemon thread already running may still answer, but
// the stop is reported only once every thread has stopped.
bool StopAndWait(int pid) {
  int status = 0;
  return ::kill(pid, SIGSTOP) == 0 && ::waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status);
}

// A handler that keeps the last notification of kChannel's value: the value
// (an int) and the subscription it came under.
class RecordingHandler : public zu::asio::CCdsHandler {
 public:
  RecordingHandler() : CCdsHandler("restart-test-handler", 60, 4194304, 4194304) {}

  void handle_response(std::shared_ptr<zu::cds::CRequestResponse> message) override {
    auto n = std::dynamic_pointer_cast<zu::cds::CSubscriberNotify>(message);
    if (!n || !n->values.count(kChannel)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    last_ = {n->subscription_id, n->values.at(kChannel).as_int32()};
    cv_.notify_all();
  }

  // Waits for a notification of `id` carrying `value`.
  bool WaitFor(std::uint64_t id, int value, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return last_ == std::make_pair(id, value); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::pair<std::uint64_t, int> last_;
};

// Both daemons start from the same seed, so the channel exists in each.
class RestartTest : public DaemonTest {
 protected:
  RestartTest() { SeedChannels(1); }
};

TEST_F(RestartTest, UnansweredCallsEndAtTheTimeoutOrAtTheDaemonsDeathAndAllComesBackWithTheSameSubscriptionId) {
  ConnectClient(true);
  auto* client = zu::cds::CClient::get();
  auto handler = std::make_shared<RecordingHandler>();
  handler->cds_login();
  auto core = std::make_shared<zu::asio::CServerCore>();
  zu::asio::CIoManager io(core, handler, 90);
  std::thread loop([&io] { io.run(); });

  zu::cds::CManageSubscriberIDs reserve;
  reserve.op = 1;
  auto reserved = Ok<zu::cds::CManageSubscriberIDs>(handler->submit_wait(reserve));
  ASSERT_NE(reserved, nullptr);
  ASSERT_EQ(reserved->reserved_ids.size(), 1U);
  const std::uint64_t id = reserved->reserved_ids[0];
  zu::cds::CSubscribe subscribe;
  subscribe.subscriptions.push_back({id, zu::sub::channel_value_written, kChannel, "", false, false});
  ASSERT_NE(Ok<zu::cds::CSubscribe>(handler->submit_wait(subscribe)), nullptr);
  ASSERT_TRUE(Write(kChannel, 1));
  EXPECT_TRUE(handler->WaitFor(id, 1, 10s));

  // A daemon stopped in its tracks holds the request unanswered until the
  // timeout. The session survives it: once the daemon goes on, answers come
  // again and the late one is dropped.
  client->set_timeout(300ms);
  ASSERT_TRUE(StopAndWait(daemon_->pid()));
  zu::cds::CGetDevice get;
  get.ids = {1};
  EXPECT_EQ(client->submit_wait(get), nullptr);
  ASSERT_EQ(::kill(daemon_->pid(), SIGCONT), 0);
  client->set_timeout(60s);
  auto answer = Ask(get);
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer->devices.size(), 1U);

  // A caller waiting when the daemon dies learns it then, not at its timeout.
  ASSERT_TRUE(StopAndWait(daemon_->pid()));
  std::shared_ptr<zu::cds::CRequestResponse> late = std::make_shared<zu::cds::CGetDevice>();
  auto before = std::chrono::steady_clock::now();
  std::thread caller([&] { late = client->submit_wait(get); });
  std::this_thread::sleep_for(200ms);
  ASSERT_NE(daemon_->stop(SIGKILL), -1);
  caller.join();
  EXPECT_EQ(late, nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 30s);
  EXPECT_FALSE(client->is_connected());
  // No daemon: a request fails at once, and so does a new session.
  before = std::chrono::steady_clock::now();
  EXPECT_FALSE(Write(kChannel, 2));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
  EXPECT_EQ(zu::cds::make_transport("unix:" + socket_)->open("late", nullptr), nullptr);

  ASSERT_TRUE(StartDaemon()) << Log();
  // The client reconnects on its next request.
  ASSERT_TRUE(Write(kChannel, 3));
  // The handler reconnects by itself, reserves its id again and subscribes
  // under it: writes go on until one reaches it.
  bool delivered = false;
  for (int value = 4; value < 200 && !delivered; ++value) {
    ASSERT_TRUE(Write(kChannel, value));
    delivered = handler->WaitFor(id, value, 100ms);
  }
  EXPECT_TRUE(delivered);

  // A daemon that restarts while the client is idle costs its next request
  // nothing, even with answers to requests that were only sent still unread.
  zu::cds::CUpdateChannelValue send;
  send.values = {{kChannel, zu::CValue(300)}};
  send.time = zu::CWallTime::now();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(client->submit(send, 0, false), 1);
  std::this_thread::sleep_for(50ms);
  ASSERT_NE(daemon_->stop(SIGKILL), -1);
  ASSERT_TRUE(StartDaemon()) << Log();
  EXPECT_EQ(client->submit(send, 0, false), 1);
  EXPECT_TRUE(Write(kChannel, 301));

  core->shutdown();
  loop.join();
}

}  // namespace
}  // namespace cdsd_test
