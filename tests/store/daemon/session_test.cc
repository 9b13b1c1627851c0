// Sessions of cdsd: the hello, bad input on a connection, and the daemon's
// socket file and process lifecycle.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>

#include "daemon_fixture.h"

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

using SessionTest = DaemonTest;

TEST_F(SessionTest, HelloOpensTheSessionAndEachRequestIsAnsweredUnderItsCorrelationId) {
  RawClient client(socket_);
  ASSERT_TRUE(client.connected());
  EXPECT_TRUE(client.hello("raw").accepted);

  // Two requests in flight at once: each answer carries its own id.
  zu::cds::CGetDevice missing;
  missing.ids = {4242};
  ASSERT_TRUE(client.send_record(RootQuery(), 7));
  ASSERT_TRUE(client.send_record(missing, 8));
  std::map<std::uint64_t, std::size_t> devices_by_id;
  for (int i = 0; i < 2; ++i) {
    zu::wire::Envelope envelope;
    ASSERT_TRUE(client.read(&envelope));
    auto answer = Ok<zu::cds::CGetDevice>(zu::wire::decode_record(envelope, nullptr));
    ASSERT_NE(answer, nullptr);
    devices_by_id[envelope.correlation_id()] = answer->devices.size();
  }
  EXPECT_EQ(devices_by_id, (std::map<std::uint64_t, std::size_t>{{7, 1}, {8, 0}}));
}

TEST_F(SessionTest, AFirstFrameOtherThanAGoodHelloIsRefusedWithWhyAndClosed) {
  std::string record, hello;
  zu::wire::encode_record(RootQuery(), 1, &record, nullptr);
  zu::wire::encode_hello({"future", zu::wire::kProtocolVersion + 1, true}, 0, &hello, nullptr);
  const std::pair<std::string, std::string> cases[] = {
      {record, "expected a hello"},
      {"\xff\xff garbage", ""},
      {hello, zu::wire::version_mismatch_text(zu::wire::kProtocolVersion + 1)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.second);
    RawClient client(socket_);
    ASSERT_TRUE(client.send_payload(c.first));
    zu::wire::Envelope envelope;
    ASSERT_TRUE(client.read(&envelope));
    ASSERT_EQ(envelope.body_case(), zu::wire::Envelope::kHelloAck);
    EXPECT_FALSE(envelope.hello_ack().accepted());
    EXPECT_NE(envelope.hello_ack().message().find(c.second), std::string::npos) << envelope.hello_ack().message();
    EXPECT_TRUE(client.closed_by_daemon());
  }
  EXPECT_NE(Log().find("cdsd: warning: "), std::string::npos);
}

// Each kind of bad input on one connection, while a second connection is served
// before, during and after it.
class BadInputTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    bystander_ = std::make_unique<RawClient>(socket_);
    offender_ = std::make_unique<RawClient>(socket_);
    ASSERT_TRUE(bystander_->hello("bystander").accepted);
    ASSERT_TRUE(offender_->hello("offender").accepted);
  }
  void TearDown() override {
    ExpectServed(*bystander_, 99);
    EXPECT_TRUE(RawClient(socket_).hello("after").accepted) << Log();
  }

  std::unique_ptr<RawClient> bystander_;
  std::unique_ptr<RawClient> offender_;
  RawClient& bystander() { return *bystander_; }
  RawClient& offender() { return *offender_; }
};

TEST_F(BadInputTest, AFrameCutByTheClientClosingEndsOnlyThatSession) {
  {
    RawClient cut(socket_);
    ASSERT_TRUE(cut.hello("cut").accepted);
    ASSERT_TRUE(cut.send_bytes(std::string("\0\0\0\x64", 4) + "only ten b"));
    ExpectServed(bystander(), 1);
  }
  ExpectServed(offender(), 2);
  ExpectServed(bystander(), 3);
}

TEST_F(BadInputTest, AnOversizedFrameIsAnsweredWithStatus4AndClosed) {
  // 4194305 bytes announced: one past the limit; nothing of it is ever sent.
  ASSERT_TRUE(offender().send_bytes(std::string("\x00\x40\x00\x01", 4)));
  zu::wire::Envelope envelope;
  ASSERT_TRUE(offender().read(&envelope));
  ASSERT_EQ(envelope.body_case(), zu::wire::Envelope::kError);
  EXPECT_EQ(envelope.error().status(), zu::cds::status_too_big);
  EXPECT_NE(envelope.error().message().find("4194305"), std::string::npos) << envelope.error().message();
  EXPECT_TRUE(offender().closed_by_daemon());
}

TEST_F(BadInputTest, AFrameThatIsNoRecordIsAnsweredWithStatus5UnderItsIdAndTheSessionGoesOn) {
  std::string second_hello, correlation_zero;
  zu::wire::encode_hello({}, 3, &second_hello, nullptr);
  zu::wire::encode_record(RootQuery(), 0, &correlation_zero, nullptr);
  struct Case {
    std::string payload;
    std::uint64_t correlation;
    std::string message;
  };
  const Case cases[] = {
      {second_hello, 3, ""},
      // correlation id 5, then field 99 (varint 1): a body this side does not know.
      {std::string("\x08\x05\x98\x06\x01", 5), 5, "unknown type (field 99)"},
      {"\xff\xff\xff\xff garbage \x01\x02", 0, "not a valid envelope"},
      {correlation_zero, 0, ""}};
  std::uint64_t next = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.correlation);
    ASSERT_TRUE(offender().send_payload(c.payload));
    zu::wire::Envelope envelope;
    ASSERT_TRUE(offender().read(&envelope));
    ASSERT_EQ(envelope.body_case(), zu::wire::Envelope::kError);
    EXPECT_EQ(envelope.correlation_id(), c.correlation);
    EXPECT_EQ(envelope.error().status(), zu::cds::status_invalid);
    EXPECT_NE(envelope.error().message().find(c.message), std::string::npos) << envelope.error().message();
    ExpectServed(offender(), next++);
  }
}

TEST_F(BadInputTest, ADocumentPastTheLargestIsRefusedWithStatus4AndTheLargestComesBackWhole) {
  const std::string path(1024, 'p');  // the longest path
  struct Case {
    std::size_t bytes;  // the document's encoded size
    std::uint32_t status;
  };
  for (const Case& c : {Case{4128769, zu::cds::status_too_big}, Case{4128768, zu::cds::status_ok}}) {
    zu::cds::CSetOOBData set;
    set.units.push_back({path, {}, 0, 0});
    zu::proto::toolkitValue& text = (*set.units[0].data.mutable_fields())["t"];
    text.set_string_value(std::string(c.bytes - 18, 'x'));  // 18: the encoding around the text
    ASSERT_EQ(set.units[0].data.ByteSizeLong(), c.bytes);
    auto answer = offender().ask(set, c.bytes);
    ASSERT_NE(answer, nullptr) << Log();
    EXPECT_EQ(answer->status, c.status) << answer->message;

    zu::cds::CGetOOBData get;
    get.paths = {path};
    auto read = Ok<zu::cds::CGetOOBData>(offender().ask(get, c.bytes + 1));
    ASSERT_NE(read, nullptr);
    ASSERT_EQ(read->results.size(), 1u);
    EXPECT_EQ(read->results[0].found, c.status == zu::cds::status_ok ? 1 : 0);
    EXPECT_EQ(read->results[0].data.ByteSizeLong(), c.status == zu::cds::status_ok ? c.bytes : 0u);
  }
}

// ---- what a connection may hold before it proves useful

class LimitsTest : public DaemonTest {
 protected:
  std::vector<std::string> args() const override { return {"--max-connections", "4", "--frame-timeout", "1"}; }
  std::size_t LogLines(const std::string& text) const {
    const std::string log = Log();
    std::size_t n = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
};

TEST_F(LimitsTest, SilentConnectionsMakeRoomForClientsAndAFullDaemonSaysWhy) {
  std::vector<std::unique_ptr<RawClient>> silent;
  for (int i = 0; i < 20; ++i) silent.push_back(std::make_unique<RawClient>(socket_));
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(std::make_unique<RawClient>(socket_));
    ASSERT_TRUE(clients.back()->hello("client " + std::to_string(i)).accepted) << i << "\n" << Log();
  }
  EXPECT_TRUE(silent.front()->closed_by_daemon());
  EXPECT_TRUE(silent.back()->closed_by_daemon());

  // Every connection has proven useful: the next one is told why it is refused.
  RawClient late(socket_);
  zu::wire::HelloAckInfo ack = late.hello("late");
  EXPECT_FALSE(ack.accepted);
  EXPECT_NE(ack.message.find("maximum of 4 connections"), std::string::npos) << ack.message;
  EXPECT_TRUE(late.closed_by_daemon());
  ExpectServed(*clients.front(), 1);

  // Twenty connections pushed out leave a line or two, not twenty.
  EXPECT_GE(LogLines("closed to make room"), 1U) << Log();
  EXPECT_LE(LogLines("closed to make room"), 2U) << Log();
  EXPECT_EQ(LogLines("refused a connection"), 1U) << Log();
}

TEST_F(LimitsTest, AFrameBegunAndNeverCompletedIsCutOffWhileOthersAreServed) {
  RawClient staller(socket_);
  ASSERT_TRUE(staller.hello("staller").accepted);
  // 4 MiB announced, a little of it sent, and then nothing.
  ASSERT_TRUE(staller.send_bytes(std::string("\x00\x40\x00\x00", 4) + std::string(1000, 'x')));
  RawClient bystander(socket_);
  ASSERT_TRUE(bystander.hello("bystander").accepted);
  ExpectServed(bystander, 1);
  EXPECT_TRUE(staller.closed_by_daemon(20s));
  EXPECT_NE(Log().find("(\"staller\"): did not complete a frame within 1 s"), std::string::npos) << Log();
  ExpectServed(bystander, 2);
}

// ---- the socket file and the process

using LifecycleTest = DaemonTest;

TEST_F(LifecycleTest, TheSocketFileIsMode0660AndSigtermRemovesItWithExitStatus0) {
  struct stat st {};
  ASSERT_EQ(::lstat(socket_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0660U);

  RawClient open_session(socket_);
  ASSERT_TRUE(open_session.hello("still here").accepted);
  const int status = daemon_->stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(::lstat(socket_.c_str(), &st), 0);
  EXPECT_TRUE(open_session.closed_by_daemon());
  EXPECT_NE(Log().find("cdsd: info: received SIGTERM"), std::string::npos) << Log();
}

TEST_F(LifecycleTest, AStaleSocketFileIsReplacedAndALiveOneIsNot) {
  ASSERT_NE(daemon_->stop(SIGKILL), -1);
  struct stat st {};
  ASSERT_EQ(::lstat(socket_.c_str(), &st), 0) << "a killed daemon leaves its socket file";
  ASSERT_TRUE(StartDaemon()) << Log();
  EXPECT_NE(Log().find("cdsd: info: removed the stale socket"), std::string::npos) << Log();

  EXPECT_EQ(RunDaemon("--socket " + socket_), 1);
  EXPECT_NE(Log().find("cdsd: error: another daemon already listens on " + socket_), std::string::npos) << Log();
  // The first daemon keeps its socket and serves.
  EXPECT_TRUE(RawClient(socket_).hello("first").accepted);
}

// ---- the seed file

class SeedTest : public DaemonTest {
 protected:
  void SetUp() override {}
  std::vector<std::string> args() const override { return {"--seed", directory_ + "/seed.json"}; }
  void WriteSeed(const std::string& json) { std::ofstream(directory_ + "/seed.json") << json; }
};

TEST_F(SeedTest, DevicesChannelsAttributesAndValuesOfTheSeedAreInTheStore) {
  WriteSeed(R"({"devices": [
    {"id": 20, "uuid": "00112233-4455-6677-8899-aabbccddeeff",
     "attributes": {"name": "PDU", "rack": "B4"},
     "channels": [{"id": 5000, "name": "voltage", "units": "V", "description": "input", "value": 230.5}],
     "children": [{"attributes": {"name": "outlet 1"},
                   "channels": [{"name": "state", "value": 1, "type": "uint32"}]}]}]})");
  ASSERT_TRUE(StartDaemon()) << Log();
  ConnectClient();
  zu::cds::CGetDevice get;
  get.ids = {20};
  get.depth = 1;
  auto devices = Ask(get);
  ASSERT_NE(devices, nullptr);
  ASSERT_EQ(devices->devices.size(), 2U);
  EXPECT_EQ(*devices->devices[0].attribute(zu::device_attribute_number("name")), "PDU");
  EXPECT_EQ(devices->devices[0].guid, "00112233-4455-6677-8899-aabbccddeeff");
  EXPECT_EQ(*devices->devices[1].attribute(zu::device_attribute_number("name")), "outlet 1");
  EXPECT_EQ(devices->devices[1].parent_id.value_or(0), 20U);

  zu::cds::CGetFieldValue field;
  field.fields.insert(zu::cds::CSingleField{1, "rack", {}, 0, 20, ""});
  auto fields = Ask(field);
  ASSERT_NE(fields, nullptr);
  ASSERT_EQ(fields->fields.size(), 1U);
  EXPECT_EQ(fields->fields.begin()->value.as_string(), "B4");

  zu::cds::CGetChannel channels;
  channels.ids = {5000, *devices->devices[1].channels.begin()};
  auto read = Ask(channels);
  ASSERT_NE(read, nullptr);
  ASSERT_EQ(read->results.size(), 2U);
  EXPECT_EQ(read->results[0].value, zu::CValue(230.5));
  EXPECT_EQ(read->results[1].value, zu::CValue(1U));
  ASSERT_TRUE(read->results[0].channel.settings());
  EXPECT_EQ(read->results[0].channel.settings()->units, "V");
  EXPECT_EQ(read->results[0].channel.settings()->description, "input");
}

TEST_F(SeedTest, BadOptionsAndABadSeedFileAreAClearErrorAndNoSocket) {
  const std::string seed = " --seed " + directory_ + "/seed.json";
  struct Case {
    const char* seed;  // the seed file's text, or none
    std::string options;
    int exit_status;
    std::string message;
  };
  const Case cases[] = {
      {nullptr, " --log-size 0", 2, "cdsd: error: --log-size needs a whole number"},
      {nullptr, " --frobnicate", 2, "cdsd: error: unknown option \"--frobnicate\""},
      {nullptr, " --max-connections 0", 2, "usage: cdsd"},
      {R"({"devices": [)", seed, 1, "is not valid JSON"},
      {R"({"devices": [{"parnet": 1}]})", seed, 1, "devices[0]: unknown key \"parnet\""},
      {R"({"devices": [{"parent": 777}]})", seed, 1, "devices[0]: the store refused it: unknown parent device 777"},
      {R"({"devices": [{"channels": [{"name": "x", "value": 1.5, "type": "int32"}]}]})", seed, 1,
       "devices[0].channels[0].value: the value does not fit the type \"int32\" without loss"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    if (c.seed) WriteSeed(c.seed);
    ::unlink((directory_ + "/cdsd.log").c_str());
    EXPECT_EQ(RunDaemon("--socket " + socket_ + c.options), c.exit_status);
    EXPECT_NE(Log().find(c.message), std::string::npos) << Log();
    if (c.seed) {
      EXPECT_NE(Log().find("cdsd: error: the seed file " + directory_ + "/seed.json"), std::string::npos);
    }
    struct stat st {};
    EXPECT_NE(::lstat(socket_.c_str(), &st), 0) << "no socket is made";
  }
}

}  // namespace
}  // namespace cdsd_test
