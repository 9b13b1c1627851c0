// Sessions of cdsd: the hello, bad input on a connection, what connections may
// hold, and the daemon's options, seed file, socket file and lifecycle.
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <tuple>

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
  EXPECT_NE(Log().find("cdsd: warning: "), std::string::npos);

  // After the hello, a frame that is no request is answered with status 5
  // under its id, and the session goes on.
  RawClient offender(socket_);
  ASSERT_TRUE(offender.hello("offender").accepted);
  zu::wire::encode_hello({}, 3, &second_hello, nullptr);
  zu::wire::encode_record(RootQuery(), 0, &correlation_zero, nullptr);
  const std::tuple<std::string, std::uint64_t, std::string> frames[] = {
      {second_hello, 3, ""},
      // correlation id 5, then field 99 (varint 1): a body this side does not know.
      {std::string("\x08\x05\x98\x06\x01", 5), 5, "unknown type (field 99)"},
      {"\xff\xff\xff\xff garbage \x01\x02", 0, "not a valid envelope"},
      {correlation_zero, 0, ""}};
  std::uint64_t next = 100;
  for (const auto& [payload, correlation, message] : frames) {
    SCOPED_TRACE(correlation);
    ASSERT_TRUE(offender.send_payload(payload));
    ExpectError(offender, zu::cds::status_invalid, correlation, message);
    ExpectServed(offender, next++);
  }

  // The largest document under the longest path travels whole both ways.
  const std::string path(1024, 'p');
  zu::cds::CSetOOBData set;
  set.units.push_back({path, {}, 0, 0});
  (*set.units[0].data.mutable_fields())["t"].set_string_value(std::string(4128768 - 18, 'x'));
  ASSERT_EQ(set.units[0].data.ByteSizeLong(), 4128768U);
  ASSERT_NE(Ok<zu::cds::CSetOOBData>(offender.ask(set, 200)), nullptr) << Log();
  zu::cds::CGetOOBData get;
  get.paths = {path};
  auto read = Ok<zu::cds::CGetOOBData>(offender.ask(get, 201));
  ASSERT_NE(read, nullptr);
  ASSERT_EQ(read->results.size(), 1U);
  EXPECT_EQ(read->results[0].data.ByteSizeLong(), 4128768U);

  {
    RawClient cut(socket_);
    ASSERT_TRUE(cut.hello("cut").accepted);
    ASSERT_TRUE(cut.send_bytes(std::string("\0\0\0\x64", 4) + "only ten b"));
    ExpectServed(bystander, 1);
  }  // the client closes with its frame cut short
  ExpectServed(offender, 2);

  // 4194305 bytes announced, one past the limit; nothing of them is ever sent.
  ASSERT_TRUE(offender.send_bytes(std::string("\x00\x40\x00\x01", 4)));
  ExpectError(offender, zu::cds::status_too_big, 0, "4194305");
  EXPECT_TRUE(offender.closed_by_daemon());

  ExpectServed(bystander, 3);
  EXPECT_TRUE(RawClient(socket_).hello("after").accepted) << Log();
}

// ---- what a connection may hold before it proves useful

class LimitsTest : public DaemonTest {
 protected:
  std::vector<std::string> args() const override { return {"--max-connections", "4", "--frame-timeout", "1"}; }
};

TEST_F(LimitsTest, SilentConnectionsMakeRoomAFullDaemonSaysWhyAndAStalledFrameIsCutOff) {
  std::vector<std::unique_ptr<RawClient>> silent, clients;
  for (int i = 0; i < 20; ++i) silent.push_back(std::make_unique<RawClient>(socket_));
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

  // 4 MiB announced, a little of it sent, and then nothing: cut off, and the others served meanwhile.
  ASSERT_TRUE(clients[3]->send_bytes(std::string("\x00\x40\x00\x00", 4) + std::string(1000, 'x')));
  ExpectServed(*clients[0], 1);
  EXPECT_TRUE(clients[3]->closed_by_daemon(20s));
  ExpectServed(*clients[0], 2);

  const std::string log = Log();
  const auto lines = [&log](const std::string& text) {
    std::size_t n = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(lines("(\"client 3\"): did not complete a frame within 1 s"), 1U) << log;
  // Twenty connections pushed out leave a line or two, not twenty.
  EXPECT_GE(lines("closed to make room"), 1U) << log;
  EXPECT_LE(lines("closed to make room"), 2U) << log;
  EXPECT_EQ(lines("refused a connection"), 1U) << log;
}

// ---- the process: its options, its seed file and its socket file

// Each test starts its daemons itself.
class ProcessTest : public DaemonTest {
 protected:
  void SetUp() override {}
};

// Bad options and bad seed files are a clear error and make no socket; what
// a good seed file holds is in the store; the socket file is mode 0660,
// replaced when stale, kept when live and removed by SIGTERM.
TEST_F(ProcessTest, OptionsTheSeedFileAndTheSocketFileFollowTheProcess) {
  const std::string seed = " --seed " + directory_ + "/seed.json";
  const std::tuple<const char*, std::string, int, std::string> cases[] = {
      // the seed file's text (or none), the options, the exit status, the message
      {nullptr, " --log-size 0", 2, "cdsd: error: --log-size needs a whole number"},
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
    {"id": 20, "uuid": "00112233-4455-6677-8899-aabbccddeeff",
     "attributes": {"name": "PDU", "rack": "B4"},
     "channels": [{"id": 5000, "name": "voltage", "units": "V", "description": "input", "value": 230.5}],
     "children": [{"attributes": {"name": "outlet 1"},
                   "channels": [{"name": "state", "value": 1, "type": "uint32"}]}]}]})";
  ASSERT_TRUE(StartDaemon()) << Log();
  ConnectClient();
  zu::cds::CGetDevice get;
  get.ids = {20};
  get.depth = 1;
  auto devices = Ask(get);
  ASSERT_TRUE(devices && devices->devices.size() == 2U);
  const zu::CDevice& pdu = devices->devices[0];
  const zu::CDevice& outlet = devices->devices[1];
  EXPECT_EQ(*pdu.attribute(zu::device_attribute_number("name")), "PDU");
  EXPECT_EQ(pdu.guid, "00112233-4455-6677-8899-aabbccddeeff");
  EXPECT_EQ(*outlet.attribute(zu::device_attribute_number("name")), "outlet 1");
  EXPECT_EQ(outlet.parent_id.value_or(0), 20U);
  zu::cds::CGetFieldValue field;
  field.fields.insert(zu::cds::CSingleField{1, "rack", {}, 0, 20, ""});
  auto fields = Ask(field);
  ASSERT_TRUE(fields && fields->fields.size() == 1U);
  EXPECT_EQ(fields->fields.begin()->value.as_string(), "B4");
  zu::cds::CGetChannel channels;
  channels.ids = {5000, *outlet.channels.begin()};
  auto read = Ask(channels);
  ASSERT_TRUE(read && read->results.size() == 2U && read->results[0].channel.settings());
  EXPECT_EQ(read->results[0].value, zu::CValue(230.5));
  EXPECT_EQ(read->results[1].value, zu::CValue(1U));
  EXPECT_EQ(read->results[0].channel.settings()->units, "V");
  EXPECT_EQ(read->results[0].channel.settings()->description, "input");

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

}  // namespace
}  // namespace cdsd_test
