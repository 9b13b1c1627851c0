// cdsd itself: its sessions (the hello, bad input on a connection, what
// connections may hold), its options, seed file, socket file and lifecycle,
// many threads on one multiplexed connection, subscribers that stop reading,
// and a daemon killed and started again (callers learn at once, clients and
// handlers come back by themselves, subscriptions keep their ids).
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>

#include "daemon_fixture.h"
#include "zu/asio/CCdsHandler.h"
#include "zu/asio/CIoManager.h"
#include "zu/asio/CServerCore.h"

namespace cdsd_test {
namespace {

zu::cds::CGetDevice RootQuery() {
  zu::cds::CGetDevice get;
  get.ids = {1};
  return get;
}

// The daemon answers `client` with the root device under `correlation`.
void ExpectServed(RawClient& client, std::uint64_t correlation) {
  auto answer = Ok<zu::cds::CGetDevice>(client.ask(RootQuery(), correlation));
  ASSERT_NE(answer, nullptr);
  ASSERT_EQ(answer->devices.size(), 1U);
  EXPECT_EQ(answer->devices[0].id, 1U);
}

// The next frame `client` reads is an error of `status` under `correlation` saying `message`.
void ExpectError(RawClient& client, std::uint32_t status, std::uint64_t correlation, const std::string& message) {
  zu::wire::Envelope envelope;
  ASSERT_TRUE(client.read(&envelope));
  ASSERT_EQ(envelope.body_case(), zu::wire::Envelope::kError);
  EXPECT_EQ(envelope.correlation_id(), correlation);
  EXPECT_EQ(envelope.error().status(), status);
  EXPECT_NE(envelope.error().message().find(message), std::string::npos) << envelope.error().message();
}

bool SocketFileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

using SessionTest = DaemonTest;

// Each kind of bad input on one connection, while another is served before,
// during and after it.
TEST_F(SessionTest, BadInputEndsAtMostTheOffendingSessionWhileOthersAreServed) {
  RawClient bystander(socket_);
  ASSERT_TRUE(bystander.hello("bystander").accepted);

  // A first frame other than a good hello is refused with why, and the connection closed.
  std::string record, future, second_hello, correlation_zero;
  zu::wire::encode_record(RootQuery(), 1, &record, nullptr);
  zu::wire::encode_hello({"future", zu::wire::kProtocolVersion + 1, true}, 0, &future, nullptr);
  const std::pair<std::string, std::string> first_frames[] = {
      {record, "expected a hello"},
      {"\xff\xff garbage", ""},
      {future, zu::wire::version_mismatch_text(zu::wire::kProtocolVersion + 1)}};
  for (const auto& [payload, message] : first_frames) {
    SCOPED_TRACE(message);
    RawClient client(socket_);
    ASSERT_TRUE(client.send_payload(payload));
    zu::wire::Envelope envelope;
    ASSERT_TRUE(client.read(&envelope));
    ASSERT_EQ(envelope.body_case(), zu::wire::Envelope::kHelloAck);
    EXPECT_FALSE(envelope.hello_ack().accepted());
    EXPECT_NE(envelope.hello_ack().message().find(message), std::string::npos) << envelope.hello_ack().message();
    EXPECT_TRUE(client.closed_by_daemon());
  }

  // After the hello, a frame that is no request is answered with status 5
  // under its id, and the session goes on; the same whether the connection
  // is read by its loop or (answers leaving by a socket of their own) by a
  // reader of its own.
  zu::wire::encode_hello({}, 3, &second_hello, nullptr);
  zu::wire::encode_record(RootQuery(), 0, &correlation_zero, nullptr);
  const std::tuple<std::string, std::uint64_t, std::string> frames[] = {
      {second_hello, 3, ""},
      // correlation id 5, then field 99 (varint 1): a body this side does not know.
      {std::string("\x08\x05\x98\x06\x01", 5), 5, "unknown type (field 99)"},
      {"\xff\xff\xff\xff garbage \x01\x02", 0, "not a valid envelope"},
      {correlation_zero, 0, ""}};
  for (bool answer_socket : {false, true}) {
    SCOPED_TRACE(answer_socket ? "answers on a socket of their own" : "answers on the connection");
    RawClient offender(socket_, answer_socket);
    ASSERT_TRUE(offender.hello("offender").accepted);
    std::uint64_t next = 100;
    for (const auto& [payload, correlation, message] : frames) {
      SCOPED_TRACE(correlation);
      ASSERT_TRUE(offender.send_payload(payload));
      ExpectError(offender, zu::cds::status_invalid, correlation, message);
      ExpectServed(offender, next++);
    }

    // 4194305 bytes announced, one past the limit; nothing of them is ever sent.
    ASSERT_TRUE(offender.send_bytes(std::string("\x00\x40\x00\x01", 4)));
    ExpectError(offender, zu::cds::status_too_big, 0, "4194305");
    EXPECT_TRUE(offender.closed_by_daemon());
  }

  ExpectServed(bystander, 3);
}

// ---- the process: its options, seed file, connection limits and socket file

// Each test starts its daemons itself.
class ProcessTest : public DaemonTest {
 protected:
  void SetUp() override {}
  std::vector<std::string> args() const override { return {"--max-connections", "4", "--frame-timeout", "1"}; }
};

// Bad options and bad seed files are a clear error and make no socket; what
// a good seed file holds is in the store; connections are limited in number
// and in how long a frame may take; the socket file is mode 0660, replaced
// when stale, kept when live and removed by SIGTERM.
TEST_F(ProcessTest, OptionsTheSeedFileConnectionLimitsAndTheSocketFileFollowTheProcess) {
  const std::string seed = " --seed " + directory_ + "/seed.json";
  const std::tuple<const char*, std::string, int, std::string> cases[] = {
      // the seed file's text (or none), the options, the exit status, the message
      {nullptr, " --frobnicate", 2, "cdsd: error: unknown option \"--frobnicate\""},
      {nullptr, " --max-connections 0", 2, "cdsd: error: --max-connections needs a whole number from 1 to 65535"},
      {R"({"devices": [)", seed, 1, "is not valid JSON"},
      {R"({"devices": [{"parnet": 1}]})", seed, 1, "devices[0]: unknown key \"parnet\""},
      {R"({"devices": [{"parent": 777}]})", seed, 1, "devices[0]: the store refused it: unknown parent device 777"},
      {R"({"devices": [{"channels": [{"name": "x", "value": 1.5, "type": "int32"}]}]})", seed, 1,
       "devices[0].channels[0].value: the value does not fit the type \"int32\" without loss"},
  };
  for (const auto& [text, options, exit_status, message] : cases) {
    SCOPED_TRACE(message);
    if (text) std::ofstream(directory_ + "/seed.json") << text;
    ::unlink((directory_ + "/cdsd.log").c_str());
    EXPECT_EQ(RunDaemon("--socket " + socket_ + options), exit_status);
    EXPECT_NE(Log().find(message), std::string::npos) << Log();
    if (text) {
      EXPECT_NE(Log().find("cdsd: error: the seed file " + directory_ + "/seed.json"), std::string::npos);
    }
    EXPECT_FALSE(SocketFileExists(socket_)) << "no socket is made";
  }

  seed_ = R"({"devices": [
    {"id": 20, "uuid": "00112233-4455-6677-8899-aabbccddeeff", "attributes": {"name": "PDU"},
     "channels": [{"id": 5000, "name": "voltage", "units": "V", "description": "input", "value": 230.5}],
     "children": [{"channels": [{"name": "state", "value": 1, "type": "uint32"}]}]}]})";
  ASSERT_TRUE(StartDaemon()) << Log();
  ConnectClient();
  zu::cds::CGetDevice get;
  get.ids = {20};
  get.depth = 1;
  auto devices = Ask(get);
  ASSERT_TRUE(devices && devices->devices.size() == 2U);
  EXPECT_EQ(*devices->devices[0].attribute(zu::device_attribute_number("name")), "PDU");
  EXPECT_EQ(devices->devices[0].guid, "00112233-4455-6677-8899-aabbccddeeff");
  EXPECT_EQ(devices->devices[1].parent_id.value_or(0), 20U);
  zu::cds::CGetChannel channels;
  channels.ids = {5000, *devices->devices[1].channels.begin()};
  auto read = Ask(channels);
  ASSERT_TRUE(read && read->results.size() == 2U && read->results[0].channel.settings());
  EXPECT_EQ(read->results[0].value, zu::CValue(230.5));
  EXPECT_EQ(read->results[1].value, zu::CValue(1U));
  EXPECT_EQ(read->results[0].channel.settings()->description, "input");
  zu::cds::CClient::get()->disconnect();

  // Silent connections make room for useful ones; past four useful ones the
  // next is told why it is refused; a stalled frame is cut off (client 3's,
  // whose answers leave by a socket of their own).
  std::vector<std::unique_ptr<RawClient>> silent, clients;
  for (int i = 0; i < 20; ++i) silent.push_back(std::make_unique<RawClient>(socket_));
  for (int i = 0; i < 4; ++i) {
    clients.push_back(std::make_unique<RawClient>(socket_, i % 2 == 1));
    ASSERT_TRUE(clients.back()->hello("client " + std::to_string(i)).accepted) << i << "\n" << Log();
  }
  EXPECT_TRUE(silent.front()->closed_by_daemon());
  EXPECT_TRUE(silent.back()->closed_by_daemon());

  RawClient late(socket_);
  zu::wire::HelloAckInfo ack = late.hello("late");
  EXPECT_FALSE(ack.accepted);
  EXPECT_NE(ack.message.find("maximum of 4 connections"), std::string::npos) << ack.message;
  EXPECT_TRUE(late.closed_by_daemon());

  // 4 MiB announced, a little of it sent, and then nothing: cut off, and the others served meanwhile.
  ASSERT_TRUE(clients[3]->send_bytes(std::string("\x00\x40\x00\x00", 4) + std::string(1000, 'x')));
  ExpectServed(*clients[0], 1);
  EXPECT_TRUE(clients[3]->closed_by_daemon(20s));
  ExpectServed(*clients[0], 2);

  EXPECT_NE(Log().find("(\"client 3\"): did not complete a frame within 1 s"), std::string::npos) << Log();

  // The socket file.
  struct stat st {};
  ASSERT_EQ(::lstat(socket_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0660U);
  ASSERT_NE(daemon_->stop(SIGKILL), -1);
  ASSERT_TRUE(SocketFileExists(socket_)) << "a killed daemon leaves its socket file";
  ASSERT_TRUE(StartDaemon()) << Log();
  EXPECT_NE(Log().find("cdsd: info: removed the stale socket"), std::string::npos) << Log();

  EXPECT_EQ(RunDaemon("--socket " + socket_), 1);
  EXPECT_NE(Log().find("cdsd: error: another daemon already listens on " + socket_), std::string::npos) << Log();

#ifndef CDS_SANITIZED  // the sanitizers' own checks need descriptors (UBSan's, to test memory)
  // Out of descriptors, it lives on and lets new connections wait; it serves
  // them once it has descriptors again.
  rlimit files{};
  ASSERT_EQ(::prlimit(daemon_->pid(), RLIMIT_NOFILE, nullptr, &files), 0);
  const rlimit none{0, files.rlim_max};
  ASSERT_EQ(::prlimit(daemon_->pid(), RLIMIT_NOFILE, &none, nullptr), 0);
  {
    RawClient waiting(socket_);
    for (int i = 0; i < 500 && Log().find("accepting a connection failed") == std::string::npos; ++i)
      std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(300ms);  // it tries again every 100 ms
    ASSERT_EQ(::prlimit(daemon_->pid(), RLIMIT_NOFILE, &files, nullptr), 0);
    EXPECT_NE(Log().find("warning: accepting a connection failed: Too many open files"), std::string::npos) << Log();
    ASSERT_TRUE(waiting.hello("waited").accepted) << Log();
  }
#endif

  // The first daemon keeps its socket and serves until SIGTERM.
  RawClient open_session(socket_);
  ASSERT_TRUE(open_session.hello("still here").accepted);
  const int status = daemon_->stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(SocketFileExists(socket_));
  EXPECT_TRUE(open_session.closed_by_daemon());
  EXPECT_NE(Log().find("cdsd: info: received SIGTERM"), std::string::npos) << Log();
}

// ---- under load

// Eight channels, the same in each daemon a test starts; sessions queue at
// most 50 notifications before merging them.
class LoadTest : public DaemonTest {
 protected:
  LoadTest() {
    seed_ = R"({"devices": [{"id": 20, "channels": [{"id": 5000, "name": "c0"}, {"id": 5001, "name": "c1"},
        {"id": 5002, "name": "c2"}, {"id": 5003, "name": "c3"}, {"id": 5004, "name": "c4"},
        {"id": 5005, "name": "c5"}, {"id": 5006, "name": "c6"}, {"id": 5007, "name": "c7"}]}]})";
  }
  std::vector<std::string> args() const override { return {"--queue-limit", "50"}; }
  const std::vector<std::uint64_t> channels_ = {5000, 5001, 5002, 5003, 5004, 5005, 5006, 5007};
};

TEST_F(LoadTest, EightThreadsOnOneConnectionEachGetTheirOwnAnswers) {
  ConnectClient();
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (std::uint64_t channel : channels_) {
    threads.emplace_back([&failed, channel] {
      for (int i = 0; i < 300; ++i) {
        const int value = static_cast<int>(channel) * 1000 + i;
        zu::cds::CGetChannelValue read;
        read.ids = {channel};
        auto answer = Write(channel, value) ? Ask(read) : nullptr;
        if (!answer || answer->values.size() != 1 || answer->values[0].channel_id != channel ||
            answer->values[0].value != zu::CValue(value))
          ++failed;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failed.load(), 0);
}

// A notification sink that throws (no memory to keep it, say) while a caller
// holds the read turn: the exception reaches that caller, and the turn is
// handed on, so the next request does not wait for a reader that never comes.
TEST_F(LoadTest, AReaderLeftByAnExceptionStillHandsOnTheReadTurn) {
  ConnectClient();
  auto session = zu::cds::make_transport("unix:" + socket_)->open(
      "throwing-sink", [](std::shared_ptr<zu::cds::CRequestResponse>) { throw std::bad_alloc(); });
  zu::cds::CManageSubscriberIDs reserve;
  reserve.op = 1;
  auto reserved = Ok<zu::cds::CManageSubscriberIDs>(session->round_trip(reserve, 10s));
  ASSERT_TRUE(reserved && reserved->reserved_ids.size() == 1U);
  zu::cds::CSubscribe subscribe;
  subscribe.subscriptions.push_back(
      {reserved->reserved_ids[0], zu::sub::channel_value_written, channels_[0], "", false, false});
  ASSERT_NE(Ok<zu::cds::CSubscribe>(session->round_trip(subscribe, 10s)), nullptr);
  ASSERT_TRUE(Write(channels_[0], 1));
  zu::cds::CGetDevice get;
  get.ids = {1};
  bool thrown = false;  // once the notification came before an answer
  for (const auto end = std::chrono::steady_clock::now() + 20s; !thrown && std::chrono::steady_clock::now() < end;) {
    try {
      ASSERT_NE(Ok<zu::cds::CGetDevice>(session->round_trip(get, 10s)), nullptr);
    } catch (const std::bad_alloc&) {
      thrown = true;
    }
  }
  ASSERT_TRUE(thrown);
  EXPECT_NE(Ok<zu::cds::CGetDevice>(session->round_trip(get, 10s)), nullptr);
}

// Two sessions that never read while the store is written: one subscribed to
// large values (and asking for them, without reading the answers), one to
// alarm updates. Neither stalls a third session; the asker is answered in
// full once it reads; alarm updates past what the queue holds are counted in
// a notice (so they wait in the bounded queue, not in a buffer that grows).
TEST_F(LoadTest, SubscribersThatNeverReadNeitherStallOthersNorLoseAlarmUpdatesUncounted) {
  ConnectClient();
  zu::cds::CSetAlarmConfig config;
  zu::CAlarmTrigger high;
  high.threshold = zu::CValue(10);
  config.configs.push_back({channels_[0], {high}});
  ASSERT_NE(Ask(config), nullptr);

  const std::vector<std::uint64_t> valued(channels_.begin() + 1, channels_.begin() + 5);
  RawClient sleeper(socket_, true);
  ASSERT_TRUE(sleeper.hello("sleeper").accepted);
  ASSERT_NE(sleeper.subscribe(zu::sub::channel_value_written, valued, false), 0U);
  RawClient alarms(socket_);  // every alarm of the whole tree
  ASSERT_TRUE(alarms.hello("alarms").accepted);
  ASSERT_NE(alarms.subscribe(zu::sub::device_alarms, {1}, true), 0U);
  RawClient bystander(socket_);
  ASSERT_TRUE(bystander.hello("bystander").accepted);

  // 16 MiB of values, 16 KiB each, far more than the socket's buffers hold.
  // Each alarm write raises the alarm or ends it: one update each, more than
  // twice the queue limit.
  const std::string payload(16 * 1024, 'x');
  constexpr std::size_t kUpdates = 6000, kAsked = 160;
  for (std::size_t i = 0; i < kUpdates; ++i) {
    ASSERT_TRUE(Write(channels_[0], zu::CValue(i % 2 == 0 ? 20 : 0))) << i;
    if (i >= 1024) continue;
    ASSERT_TRUE(Write(valued[i % valued.size()], payload + std::to_string(i))) << "write " << i;
    // 160 answers of 64 KiB are more than the daemon queues for a session
    // (8 MiB): past that it stops reading the asker's requests.
    if (i >= valued.size() && i < valued.size() + kAsked) {
      zu::cds::CGetChannelValue ask;
      ask.ids = valued;
      std::string request;
      ASSERT_TRUE(zu::wire::encode_record(ask, i, &request, nullptr) && sleeper.send_payload(request));
    }
    if (i % 64 == 0) {
      zu::cds::CGetChannelValue read;
      read.ids = {valued[0]};
      ASSERT_NE(Ok<zu::cds::CGetChannelValue>(bystander.ask(read, 100 + i)), nullptr) << "at write " << i;
    }
  }

  // Reading now drains what waited: every alarm update either arrives or is
  // counted by a notice.
  std::size_t received = 0, noticed = 0;
  zu::wire::Envelope envelope;
  while (received + noticed < kUpdates && alarms.read(&envelope, 5s)) {
    auto n = std::dynamic_pointer_cast<zu::cds::CSubscriberNotify>(zu::wire::decode_record(envelope, nullptr));
    if (n && n->status == zu::cds::status_no_queue) {
      EXPECT_TRUE(n->alarm_updates.empty());
      noticed += std::stoul(n->message);
    }
    if (n) received += n->alarm_updates.size();
  }
  EXPECT_EQ(received + noticed, kUpdates) << Log();
  EXPECT_GT(noticed, 0U) << "the queue never overflowed: the test proves nothing";

  // Reading, the asker gets every answer, in order: the daemon read its
  // requests again once their answers had gone.
  std::uint64_t next = valued.size();
  while (next < valued.size() + kAsked && sleeper.read(&envelope, 5s)) {
    if (envelope.correlation_id() == 0) continue;  // a notification
    ASSERT_EQ(envelope.correlation_id(), next);
    auto answer = Ok<zu::cds::CGetChannelValue>(zu::wire::decode_record(envelope, nullptr));
    ASSERT_TRUE(answer && answer->values.size() == valued.size());
    for (std::size_t k = 0; k < valued.size(); ++k) {  // channel k holds the value of a write i with i % 4 == k
      const std::string value = answer->values[k].value.as_string();
      ASSERT_EQ(value.compare(0, payload.size(), payload), 0);
      EXPECT_EQ(std::stoul(value.substr(payload.size())) % valued.size(), k);
    }
    ++next;
  }
  EXPECT_EQ(next, valued.size() + kAsked) << Log();
}

// ---- a daemon killed and started again

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
  ~RecordingHandler() override { end_callbacks(); }  // before the members its callback uses go

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

using RestartTest = LoadTest;

TEST_F(RestartTest, UnansweredCallsEndAtTheTimeoutOrAtTheDaemonsDeathAndAllComesBackWithTheSameSubscriptionId) {
  ConnectClient(true);
  auto* client = zu::cds::CClient::get();
  auto handler = std::make_shared<RecordingHandler>();
  handler->cds_login();
  auto core = std::make_shared<zu::asio::CServerCore>();
  zu::asio::CIoManager io(core, handler, 90);
  std::thread loop([&io] { io.run(); });

  const auto by_handler = [&handler](zu::cds::CRequestResponse& r) { return handler->submit_wait(r); };
  const std::uint64_t id = Subscribe(by_handler, zu::sub::channel_value_written, {kChannel}, false);
  ASSERT_NE(id, 0U);
  ASSERT_TRUE(Write(kChannel, 1));
  EXPECT_TRUE(handler->WaitFor(id, 1, 10s));
  // A subscription released before the restart neither comes back nor keeps the others from coming back.
  zu::cds::CManageSubscriberIDs release;
  release.release_ids = {Subscribe(by_handler, zu::sub::channel_value_written, {kChannel}, false)};
  ASSERT_TRUE(Ok<zu::cds::CManageSubscriberIDs>(by_handler(release)));

  // A daemon stopped in its tracks holds the request unanswered until the
  // timeout. The session survives it: once the daemon goes on, answers come
  // again and the late one is dropped.
  client->set_timeout(300ms);
  ASSERT_TRUE(StopAndWait(daemon_->pid()));
  zu::cds::CGetDevice get = RootQuery();
  EXPECT_EQ(client->submit_wait(get), nullptr);
  ASSERT_EQ(::kill(daemon_->pid(), SIGCONT), 0);
  client->set_timeout(60s);
  auto answer = Ask(get);
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer->devices.size(), 1U);
  // A request past the frame limit is refused as too big before it leaves.
  zu::cds::CGetOOBData huge;
  huge.paths = {std::string(zu::wire::kMaxFrame, 'p')};
  auto refused = client->submit_wait(huge);
  EXPECT_TRUE(refused && refused->status == zu::cds::status_too_big);

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

  // With no loop reading it, a notification waits in the handler's socket;
  // the daemon's end behind it is still seen, and the handler comes back.
  delivered = false;
  for (int value = 302; value < 400 && !delivered; ++value) {
    ASSERT_TRUE(Write(kChannel, value));
    delivered = handler->WaitFor(id, value, 100ms);
  }
  ASSERT_TRUE(delivered);
  core->shutdown();
  loop.join();
  ASSERT_TRUE(Write(kChannel, 400));
  ASSERT_NE(daemon_->stop(SIGKILL), -1);
  std::this_thread::sleep_for(500ms);  // the handler's watcher looks meanwhile
  ASSERT_TRUE(StartDaemon()) << Log();
  EXPECT_NE(Ok<zu::cds::CGetDevice>(handler->submit_wait(get)), nullptr);
}

}  // namespace
}  // namespace cdsd_test
