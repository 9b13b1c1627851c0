// cdsctl run as a child process against a cdsd of each test's own (the daemon
// tests' fixture): devices, channels, typed values, documents, alarms, watch,
// --json (read with the framework's JSON parser) and the command line's errors.
#include <time.h>

#include <iomanip>
#include <tuple>

#include <gmock/gmock.h>

#include "../store/daemon/daemon_fixture.h"
#include "zu/JSON2Protobuf.h"
#include "zu/proto/zu.pb.h"

namespace cdsctl_test {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

struct Result {
  int status;
  std::string out;
  std::string err;
};

// The member at `path` (names and item numbers: "alarms.0.level") of the one
// JSON object `json` holds: a string in quotes (not escaped), a number in its
// shortest form, true or false, an array as its item count ("[2]"); "" when
// there is none. A test failure when `json` is not exactly one JSON object.
std::string JsonAt(const std::string& json, const std::string& path) {
  std::vector<std::shared_ptr<google::protobuf::Message>> documents;
  const std::string error = zu::JSON2Protobuf(json, documents);
  auto object = documents.size() == 1 ? std::dynamic_pointer_cast<zu::proto::toolkitStruct>(documents[0]) : nullptr;
  if (!error.empty() || !object || json.find_first_not_of(" \n") != json.find('{')) {
    ADD_FAILURE() << "not one JSON object (" << error << "): " << json;
    return "";
  }
  zu::proto::toolkitValue root;
  *root.mutable_struct_value() = *object;
  const zu::proto::toolkitValue* value = &root;
  std::istringstream steps(path);
  for (std::string step; std::getline(steps, step, '.');) {
    if (value->has_list_value() && std::stoul(step) < static_cast<std::size_t>(value->list_value().values_size())) {
      value = &value->list_value().values(static_cast<int>(std::stoul(step)));
    } else if (value->has_struct_value() && value->struct_value().fields().count(step)) {
      value = &value->struct_value().fields().at(step);
    } else {
      return "";
    }
  }
  if (value->has_string_value()) return '"' + value->string_value() + '"';
  if (value->has_bool_value()) return value->bool_value() ? "true" : "false";
  if (value->has_list_value()) return "[" + std::to_string(value->list_value().values_size()) + "]";
  if (!value->has_number_value()) return "";
  std::ostringstream o;
  o << std::setprecision(15) << value->number_value();
  return o.str();
}

// Every test's daemon holds device 20 with a typed channel, for the alarms.
class CdsctlTest : public cdsd_test::DaemonTest {
 protected:
  CdsctlTest() {
    seed_ = R"({"devices": [{"id": 20, "attributes": {"name": "inlet sensor"}, "channels":
               [{"name": "temperature", "units": "degC", "value": 20, "type": "double"}]}]})";
  }

  std::string Endpoint() const { return "unix:" + socket_; }

  // cdsctl with `args`, started or run to its end.
  static std::unique_ptr<zu::testing::ChildProcess> Start(const std::vector<std::string>& args,
                                                          const std::vector<std::string>& env = {}) {
    std::vector<std::string> command = zu::testing::child_command(CDSCTL_PATH);
    command.insert(command.end(), args.begin(), args.end());
    return std::make_unique<zu::testing::ChildProcess>(command, env);
  }
  static Result Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    auto child = Start(args, env);
    const int status = child->finish();
    return Result{status, child->out(), child->err()};
  }

  // cdsctl with --endpoint of the test's daemon and `args`.
  Result Cds(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--endpoint", Endpoint()};
    all.insert(all.end(), args.begin(), args.end());
    return Run(all);
  }

  // cdsctl with `args` succeeds; what it printed.
  std::string Ok(const std::vector<std::string>& args) {
    Result r = Cds(args);
    EXPECT_EQ(r.status, 0) << ::testing::PrintToString(args) << ": " << r.err;
    return r.out;
  }

  // cdsctl with `args` exits `status` with `message` on standard error and
  // nothing on standard output.
  void ExpectFailure(const std::vector<std::string>& args, int status, const std::string& message) {
    Result r = Cds(args);
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_THAT(r.err, HasSubstr(message));
    EXPECT_EQ(r.out, "");
  }

  // The id a creating command printed as {"id": N} with --json.
  unsigned long long CreatedId(std::vector<std::string> args) {
    args.push_back("--json");
    const std::string id = JsonAt(Ok(args), "id");
    return id.empty() ? 0 : std::stoull(id);
  }

  const std::string device_ = "20";
  const std::string channel_ = "20/temperature";
};

TEST_F(CdsctlTest, DevicesAndChannelsAreCreatedShownAsTextAndJsonAndRemoved) {
  Ok({"device", "create", "--id", "30", "name=rack A power", "vendor=Tova"});
  const unsigned long long sensor =
      CreatedId({"device", "create", "--parent", "30", "name=inlet sensor", "serial=SN-1", "communicating=true"});
  ASSERT_GE(sensor, 1024u);

  const std::string show = Ok({"device", "show", std::to_string(sensor)});
  EXPECT_THAT(show, HasSubstr("inlet sensor"));

  // The tree indents a sub-device under its parent; the endpoint may come from the environment.
  Result tree = Run({"tree"}, {"ZU_CDS_ENDPOINT=" + Endpoint()});
  EXPECT_EQ(tree.status, 0) << tree.err;
  EXPECT_THAT(tree.out, HasSubstr("\n  [30] rack A power"));
  EXPECT_THAT(tree.out, HasSubstr("\n    [" + std::to_string(sensor) + "] inlet sensor  SN-1  (communicating)"));

  ExpectFailure({"device", "create", "--id", "30"}, 1, "refused to create device 30");
  ExpectFailure({"device", "set", "30", "colour=red"}, 2, "unknown device attribute 'colour'");
  Ok({"device", "remove", "30"});
  ExpectFailure({"device", "show", "30"}, 1, "no device 30");
  // The manager device is the root: the store keeps it, and cdsctl says so.
  ExpectFailure({"device", "remove", "1"}, 1, "did not remove device 1");

  const std::string name = "quote \" backslash \\ tab \t new\nline \x01 \xc2\xb0";
  const std::string d = std::to_string(CreatedId({"device", "create", "name=" + name}));
  const unsigned long long voltage =
      CreatedId({"channel", "create", d, "voltage", "--units", "V", "--description", "Input voltage"});
  Ok({"set", std::to_string(voltage), "230.5", "--type", "double"});
  Ok({"channel", "create", d, "label"});

  // Rows come in id order: voltage first, with its value, units and description.
  EXPECT_THAT(Ok({"channel", "list", d}), ContainsRegex("230\\.5 V.*Input voltage.*\\(unset\\)"));

  // --json carries texts exactly and values as numbers.
  const std::string json = Ok({"--json", "device", "show", d});
  EXPECT_EQ(JsonAt(json, "id"), d);
  EXPECT_EQ(JsonAt(json, "attributes.name"), '"' + name + '"');
  EXPECT_EQ(JsonAt(json, "channels.0.name"), R"("voltage")");
  EXPECT_EQ(JsonAt(json, "channels.0.type"), R"("double")");
  EXPECT_EQ(JsonAt(json, "channels.0.value"), "230.5");
  EXPECT_EQ(JsonAt(Ok({"tree", "--json"}), "devices.1.depth"), "1");

  ExpectFailure({"channel", "create", d, "voltage"}, 1, "refused to create channel 'voltage'");
  Ok({"channel", "remove", d + "/label"});
  EXPECT_THAT(Ok({"channel", "list", d}), Not(HasSubstr("label")));
  ExpectFailure({"get", d + "/label"}, 1, "no channel 'label' on device " + d);
}

TEST_F(CdsctlTest, ValuesRoundTripInTheChannelsTypeAndTextThatDoesNotFitIsRefused) {
  const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
      // channel, type, text written, text read
      {"count", "int32", "-42", "-42"},
      {"total", "uint64", "18446744073709551615", "18446744073709551615"},
      {"ratio", "float", "0.25", "0.25"},
      {"open", "bool", "1", "true"},
      {"since", "timestamp", "2026-01-02T03:04:05.5Z", "2026-01-02T03:04:05.5Z"},
      {"note", "string", "front \"door\"", "front \"door\""},
      {"blob", "bytes", "0x00ff10", "0x00ff10"},
  };
  for (const auto& [channel, type, written, read] : cases) {
    SCOPED_TRACE(type);
    Ok({"channel", "create", device_, channel});
    Ok({"set", device_ + "/" + channel, written, "--type", type});
    EXPECT_EQ(Ok({"get", device_ + "/" + channel}), std::string(read) + "\n");
  }
  // Once typed, the channel's type reads the text; --type is not needed.
  Ok({"set", device_ + "/count", "5"});

  Ok({"channel", "create", device_, "untyped"});
  ExpectFailure({"set", device_ + "/untyped", "5"}, 1, "has no data type yet: give one with --type");
  const std::pair<std::string, std::string> refused[] = {
      {"count", "2147483648"}, {"count", "4.5"}, {"count", "12abc"}, {"count", ""},
      {"ratio", "1e39"},       {"ratio", "0x10"}, {"ratio", "nan"},
  };
  for (const auto& [channel, text] : refused) {
    SCOPED_TRACE(channel + " <- '" + text + "'");
    ExpectFailure({"set", device_ + "/" + channel, text}, 1, "'" + text + "' is not a valid");
  }
  ExpectFailure({"set", device_ + "/count", "5", "--type", "string"}, 1, "holds int32 values, not string");
  EXPECT_EQ(Ok({"get", device_ + "/count"}), "5\n") << "a refused text changed the value";
}

TEST_F(CdsctlTest, DocumentsAndFieldsRoundTripByPathAndDevicesByUuid) {
  const std::string file = directory_ + "/rack.json";
  std::ofstream(file) << R"({"name": "rack A", "limits": {"high": 30.5}, "tags": ["a, {b}: \"c\"", true]})";
  Ok({"oob", "set", "site/rack", "@" + file});
  const std::string get = Ok({"--json", "oob", "get", "site/rack"});
  EXPECT_EQ(JsonAt(get, "name"), R"("rack A")");
  EXPECT_EQ(JsonAt(get, "limits.high"), "30.5");
  EXPECT_EQ(JsonAt(get, "tags.1"), "true");
  // For people: the same document, one member a line, and strings untouched.
  const std::string pretty = Ok({"oob", "get", "site/rack"});
  EXPECT_EQ(JsonAt(pretty, "tags.0"), R"("a, {b}: "c"")");

  Ok({"oob", "field", "set", "site/rack/name", "rack B"});
  EXPECT_EQ(Ok({"oob", "field", "get", "site/rack/name"}), "rack B\n");
  const std::string uuid = "0f8fad5b-d9cb-469f-a165-70867728950e";
  const std::string d = std::to_string(CreatedId({"device", "create", "uuid=" + uuid}));
  Ok({"oob", "field", "set", d + "/name", "inlet"});
  // A device by its UUID, given in any form the UUID parser takes, with the field just set.
  const std::string show = Ok({"--json", "device", "show", "0F8FAD5BD9CB469FA16570867728950E"});
  EXPECT_EQ(JsonAt(show, "id"), d);
  EXPECT_EQ(JsonAt(show, "attributes.name"), R"("inlet")");

  const struct {
    std::vector<std::string> args;
    int status;
    const char* message;
  } failures[] = {
      {{"oob", "get", "site/none"}, 1, "no document at site/none"},
      {{"oob", "set", "site/rack", R"({"name": )"}, 1, "the JSON given is not a valid JSON object"},
      {{"oob", "set", "site/rack", R"([{"name": "x"}])"}, 1, "is not a JSON object"},
      {{"oob", "set", "site/rack", "@" + directory_ + "/none.json"}, 1, "cannot open"},
      {{"oob", "field", "get", "site/rack/none"}, 1, "nothing at site/rack/none"},
      {{"oob", "field", "set", "999999/name", "x"}, 1, "no device 999999"},
      {{"oob", "field", "get", "rack"}, 2, "is not a field path"},
      {{"device", "show", "0f8fad5b-d9cb-469f-a165-70867728950f"}, 1, "no device with UUID"},
      {{"device", "show", "0f8fad5b-d9cb-469f-a165-70867728950g"}, 2, "is not a UUID"},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.args.back());
    ExpectFailure(f.args, f.status, f.message);
  }
  // The refused writes left the document as it was.
  EXPECT_EQ(Ok({"oob", "field", "get", "site/rack/name"}), "rack B\n");
}

// With no daemon at the endpoint: wrong command lines exit 2 with the usage,
// help exits 0 with it on standard output, and a command that needs the store
// exits 1 saying where. Whatever is not on the one stream is on neither.
TEST_F(CdsctlTest, CommandLinesAnsweredWithoutTheStore) {
  const std::string nowhere = "unix:" + directory_ + "/nobody.sock";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string text;  // on standard output for status 0, else on standard error
  } cases[] = {
      {{}, 2, "Usage: cdsctl"},
      {{"bogus"}, 2, "Usage: cdsctl"},
      {{"device"}, 2, "Usage: cdsctl"},
      {{"device", "show", "abc"}, 2, "Usage: cdsctl"},
      {{"get", "--bogus", "1"}, 2, "Usage: cdsctl"},
      {{"set", "1"}, 2, "Usage: cdsctl"},
      {{"alarms", "log", "--until", "yesterday"}, 2, "--until takes a time"},
      {{"--endpoint"}, 2, "Usage: cdsctl"},
      {{"--help"}, 0, "Usage: cdsctl"},
      {{"config", "--help"}, 0, "config alarm enable"},
      {{"config", "alarm", "add", "--help"}, 0, "Usage: cdsctl"},
      {{"tree"}, 1, "cannot reach the data store at " + nowhere},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::vector<std::string> args = {"--endpoint", nowhere};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Result r = Run(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_THAT(c.status == 0 ? r.out : r.err, HasSubstr(c.text));
    EXPECT_EQ(c.status == 0 ? r.err : r.out, "");
  }
}

// ---- alarms

// Two watchers follow it all: the device tree's in plain text, and one of the
// documents at and below a path in --json; both exit 0 on SIGINT.
TEST_F(CdsctlTest, ValueCrossingAConfiguredTriggerRaisesANamedAlarmThatIsWatchedAndLoggedAtItsTime) {
  auto watch = Start({"--endpoint", Endpoint(), "watch"});
  auto documents = Start({"--endpoint", Endpoint(), "--json", "watch", "--path", "site/rack"});
  ASSERT_TRUE(watch->wait_for(2, "watching device 1")) << watch->err();
  ASSERT_TRUE(documents->wait_for(2, "watching documents at and below site/rack")) << documents->err();

  Ok({"config", "alarm", "add", channel_, "--threshold", "30", "--level", "critical", "--code", "1204", "--hysteresis",
      "1"});
  const std::string config = Ok({"config", "alarm", "show", channel_});
  EXPECT_THAT(config, HasSubstr("alarms enabled"));
  EXPECT_THAT(config, HasSubstr("critical  high       30 degC    1 degC"));

  Ok({"set", channel_, "35"});
  EXPECT_TRUE(watch->wait_for(1, "value   " + channel_ + " = 35 degC")) << watch->out() << watch->err();
  EXPECT_TRUE(watch->wait_for(1, "alarm   critical raised " + channel_ + " = 35 degC: Temperature is critically high"))
      << watch->out() << watch->err();
  const std::string active = Ok({"alarms", "active", device_});
  EXPECT_THAT(active, HasSubstr(channel_ + "  35 degC"));
  EXPECT_THAT(active, HasSubstr("Temperature is critically high"));

  const std::string json = Ok({"alarms", "active", "--json"});
  EXPECT_EQ(JsonAt(json, "alarms.0.level"), R"("critical")");
  EXPECT_EQ(JsonAt(json, "alarms.0.channel_name"), '"' + channel_ + '"');
  EXPECT_EQ(JsonAt(json, "alarms.0.value"), "35");

  // --since and --until keep the updates from one time to another, both included.
  const std::string logged = Ok({"alarms", "log", device_, "--json"});
  ASSERT_EQ(JsonAt(logged, "alarms"), "[1]");
  std::string at = JsonAt(logged, "alarms.0.time");  // as the log prints it, to the second
  at = at.substr(1, at.size() - 2);
  std::tm tm{};
  ASSERT_TRUE(strptime(at.c_str(), "%Y-%m-%d %H:%M:%S", &tm)) << at;
  const long long seconds = timegm(&tm);
  const std::string second = std::to_string(seconds);
  const std::string before = std::to_string(seconds - 1);
  const std::string after = std::to_string(seconds + 1);
  const std::pair<std::vector<std::string>, const char*> ranges[] = {
      {{"--since", at}, "[1]"},
      {{"--until", second}, "[1]"},
      {{"--since", after}, "[0]"},
      {{"--until", before}, "[0]"},
  };
  for (const auto& [options, kept] : ranges) {
    std::vector<std::string> args = {"alarms", "log", device_, "--json"};
    args.insert(args.end(), options.begin(), options.end());
    EXPECT_EQ(JsonAt(Ok(args), "alarms"), kept) << testing::PrintToString(options);
  }

  // Disabling the channel's alarms ends the active one; the log keeps both updates.
  Ok({"config", "alarm", "disable", channel_});
  const std::string log = Ok({"alarms", "log", device_});
  EXPECT_THAT(log, HasSubstr("raised"));
  EXPECT_THAT(log, HasSubstr("cleared"));

  Ok({"alarms", "clear", device_, "--end-active"});
  EXPECT_THAT(Ok({"alarms", "log", device_}), HasSubstr("no alarm updates"));

  // A channel created after the watch started is followed too.
  Ok({"channel", "create", device_, "humidity"});
  EXPECT_TRUE(watch->wait_for(1, "channels added or removed")) << watch->out();
  Ok({"set", device_ + "/humidity", "40", "--type", "int32"});
  EXPECT_TRUE(watch->wait_for(1, device_ + "/humidity = 40")) << watch->out() << watch->err();
  Ok({"oob", "set", "site/rackB", "{}"});
  Ok({"oob", "set", "site/rack/pdu", R"({"a": 1})"});
  EXPECT_TRUE(documents->wait_for(1, "site/rack/pdu")) << documents->out() << documents->err();
  for (auto* child : {watch.get(), documents.get()}) {
    child->signal(SIGINT);
    EXPECT_EQ(child->finish(), 0) << child->err();
  }
  // The sibling was written first: had it been delivered, it would be here
  // and the output not one JSON object.
  EXPECT_EQ(JsonAt(documents->out(), "event"), R"("document")");
  EXPECT_EQ(JsonAt(documents->out(), "path"), R"("site/rack/pdu")");
}

TEST_F(CdsctlTest, TriggersAreChangedInThresholdOrderAndBadChangesRefused) {
  Ok({"config", "alarm", "add", channel_, "--threshold", "40", "--level", "critical"});
  Ok({"config", "alarm", "add", channel_, "--threshold", "30"});
  // Trigger 0 is the lowest threshold: 30, the warning.
  Ok({"config", "alarm", "set", channel_, "--trigger", "0", "--threshold", "25"});
  Ok({"config", "alarm", "set", channel_, "--hysteresis", "0.5", "--delay", "3"});
  const std::string show = Ok({"config", "alarm", "show", channel_, "--json"});
  ASSERT_EQ(JsonAt(show, "triggers"), "[2]");
  EXPECT_EQ(JsonAt(show, "triggers.0.threshold"), "25");
  EXPECT_EQ(JsonAt(show, "triggers.0.level"), R"("warning")");
  EXPECT_EQ(JsonAt(show, "triggers.1.threshold"), "40");
  for (const std::string i : {"0", "1"}) {
    EXPECT_EQ(JsonAt(show, "triggers." + i + ".hysteresis"), "0.5");
    EXPECT_EQ(JsonAt(show, "triggers." + i + ".delay"), "3");
  }

  ExpectFailure({"config", "alarm", "set", channel_, "--trigger", "2", "--threshold", "1"}, 1,
                "has 2 trigger(s): --trigger is 0 to 1");
  ExpectFailure({"config", "alarm", "set", channel_, "--hysteresis", "-1"}, 1, "cannot be negative");

  Ok({"config", "alarm", "remove", channel_, "--trigger", "1"});
  const std::string left = Ok({"config", "alarm", "show", channel_});
  EXPECT_THAT(left, HasSubstr("25 degC"));
  EXPECT_THAT(left, Not(HasSubstr("40 degC")));
}

}  // namespace
}  // namespace cdsctl_test
