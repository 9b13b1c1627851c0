// cdsctl against a daemon: devices, channels, typed values, documents, --json
// and the command line's errors.
#include <tuple>

#include "cdsctl_fixture.h"

namespace cdsctl_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST_F(CdsctlTest, DevicesAreCreatedShownNestedAndRemoved) {
  const unsigned long long pdu = CreatedId({"device", "create", "--id", "20", "name=rack A power", "vendor=Tova"});
  EXPECT_EQ(pdu, 20u);
  const unsigned long long sensor =
      CreatedId({"device", "create", "--parent", "20", "name=inlet sensor", "serial=SN-1", "communicating=true"});
  ASSERT_GE(sensor, 1024u);

  const std::string show = Ok({"device", "show", std::to_string(sensor)});
  EXPECT_THAT(show, HasSubstr("inlet sensor"));
  EXPECT_THAT(show, HasSubstr("SN-1"));
  EXPECT_THAT(show, HasSubstr("communicating  yes"));

  // The tree indents a sub-device under its parent; the endpoint may come from the environment.
  Result tree = Run({"tree"}, {"ZU_CDS_ENDPOINT=" + Endpoint()});
  EXPECT_EQ(tree.status, 0) << tree.err;
  EXPECT_THAT(tree.out, HasSubstr("\n  [20] rack A power"));
  EXPECT_THAT(tree.out, HasSubstr("\n    [" + std::to_string(sensor) + "] inlet sensor  SN-1  (communicating)"));

  ExpectFailure({"device", "create", "--id", "20"}, 1, "refused to create device 20");

  ExpectFailure({"device", "set", "20", "colour=red"}, 2, "unknown device attribute 'colour'");

  Ok({"device", "remove", "20"});
  ExpectFailure({"device", "show", "20"}, 1, "no device 20");
  // The manager device is the root: the store keeps it, and cdsctl says so.
  ExpectFailure({"device", "remove", "1"}, 1, "did not remove device 1");
}

TEST_F(CdsctlTest, ChannelsAreCreatedListedShownAsJsonAndRemoved) {
  const std::string name = "quote \" backslash \\ tab \t new\nline \x01 \xc2\xb0";
  const std::string d = std::to_string(CreatedId({"device", "create", "name=" + name}));
  const unsigned long long voltage =
      CreatedId({"channel", "create", d, "voltage", "--units", "V", "--description", "Input voltage"});
  Ok({"set", std::to_string(voltage), "230.5", "--type", "double"});
  Ok({"channel", "create", d, "label"});

  const std::string list = Ok({"channel", "list", d});
  // Aligned columns: the header's VALUE sits above each row's value.
  std::istringstream lines(list);
  std::string header, first, second;
  std::getline(lines, header);
  std::getline(lines, first);
  std::getline(lines, second);
  const std::size_t column = header.find("VALUE");
  ASSERT_NE(column, std::string::npos) << list;
  // Rows come in id order: voltage first.
  EXPECT_EQ(first.substr(column, 7), "230.5 V") << list;
  EXPECT_THAT(first, HasSubstr("Input voltage"));
  EXPECT_EQ(second.substr(column, 7), "(unset)") << list;

  // --json carries texts exactly and values as numbers.
  const std::string show = Ok({"--json", "device", "show", d});
  EXPECT_EQ(JsonAt(show, "id"), d);
  EXPECT_EQ(JsonAt(show, "attributes.name"), '"' + name + '"');
  EXPECT_EQ(JsonAt(show, "channels.0.name"), R"("voltage")");
  EXPECT_EQ(JsonAt(show, "channels.0.type"), R"("double")");
  EXPECT_EQ(JsonAt(show, "channels.0.value"), "230.5");
  EXPECT_EQ(JsonAt(show, "channels.0.units"), R"("V")");
  EXPECT_EQ(JsonAt(Ok({"tree", "--json"}), "devices.1.depth"), "1");

  ExpectFailure({"channel", "create", d, "voltage"}, 1, "refused to create channel 'voltage'");
  Ok({"channel", "remove", d + "/label"});
  EXPECT_THAT(Ok({"channel", "list", d}), Not(HasSubstr("label")));
  ExpectFailure({"get", d + "/label"}, 1, "no channel 'label' on device " + d);
}

TEST_F(CdsctlTest, ValuesRoundTripInTheChannelsTypeAndTextThatDoesNotFitIsRefused) {
  const std::string d = std::to_string(CreatedId({"device", "create"}));
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
    Ok({"channel", "create", d, channel});
    Ok({"set", d + "/" + channel, written, "--type", type});
    EXPECT_EQ(Ok({"get", d + "/" + channel}), std::string(read) + "\n");
  }
  // Once typed, the channel's type reads the text; --type is not needed.
  Ok({"set", d + "/count", "5"});
  EXPECT_EQ(Ok({"get", d + "/count"}), "5\n");

  Ok({"channel", "create", d, "untyped"});
  ExpectFailure({"set", d + "/untyped", "5"}, 1, "has no data type yet: give one with --type");
  const std::pair<std::string, std::string> refused[] = {
      {"count", "2147483648"}, {"count", "4.5"}, {"count", "12abc"}, {"count", ""},
      {"ratio", "1e39"},       {"ratio", "0x10"}, {"ratio", "nan"},
  };
  for (const auto& [channel, text] : refused) {
    SCOPED_TRACE(channel + " <- '" + text + "'");
    ExpectFailure({"set", d + "/" + channel, text}, 1, "'" + text + "' is not a valid");
  }
  ExpectFailure({"set", d + "/count", "5", "--type", "string"}, 1, "holds int32 values, not string");
  EXPECT_EQ(Ok({"get", d + "/count"}), "5\n");
  EXPECT_EQ(Ok({"get", d + "/ratio"}), "0.25\n");
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
  EXPECT_THAT(pretty, HasSubstr("\n    \"high\": 30.5\n"));

  Ok({"oob", "field", "set", "site/rack/name", "rack B"});
  EXPECT_EQ(Ok({"oob", "field", "get", "site/rack/name"}), "rack B\n");
  const std::string uuid = "0f8fad5b-d9cb-469f-a165-70867728950e";
  const std::string d = std::to_string(CreatedId({"device", "create", "uuid=" + uuid}));
  Ok({"oob", "field", "set", d + "/name", "inlet"});
  EXPECT_EQ(Ok({"oob", "field", "get", d + "/name"}), "inlet\n");
  // A device by its UUID, given in any form the UUID parser takes.
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

TEST_F(CdsctlTest, WatchPathShowsWritesBelowThePathButNotASiblingPrefix) {
  auto watch = Start({"--endpoint", Endpoint(), "--json", "watch", "--path", "site/rack"});
  ASSERT_TRUE(watch->wait_for(2, "watching documents at and below site/rack")) << watch->err();
  Ok({"oob", "set", "site/rackB", "{}"});
  Ok({"oob", "set", "site/rack/pdu", R"({"a": 1})"});
  EXPECT_TRUE(watch->wait_for(1, "site/rack/pdu")) << watch->out() << watch->err();
  watch->signal(SIGINT);
  EXPECT_EQ(watch->finish(), 0) << watch->err();
  // The sibling was written first: had it been delivered, it would be here
  // and the output not one JSON object.
  EXPECT_EQ(JsonAt(watch->out(), "event"), R"("document")");
  EXPECT_EQ(JsonAt(watch->out(), "path"), R"("site/rack/pdu")");
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
      {{"device", "explode"}, 2, "Usage: cdsctl"},
      {{"device", "show"}, 2, "Usage: cdsctl"},
      {{"device", "show", "abc"}, 2, "Usage: cdsctl"},
      {{"get", "--bogus", "1"}, 2, "Usage: cdsctl"},
      {{"set", "1"}, 2, "Usage: cdsctl"},
      {{"set", "1", "2", "3"}, 2, "Usage: cdsctl"},
      {{"channel", "list", "1", "2"}, 2, "Usage: cdsctl"},
      {{"alarms", "log", "--count", "0"}, 2, "Usage: cdsctl"},
      {{"alarms", "log", "--until", "yesterday"}, 2, "--until takes a time"},
      {{"config", "alarm", "add", "1"}, 2, "Usage: cdsctl"},
      {{"config", "alarm", "set", "1/x"}, 2, "Usage: cdsctl"},
      {{"oob", "set", "site/rack"}, 2, "Usage: cdsctl"},
      {{"watch", "--path="}, 2, "Usage: cdsctl"},
      {{"--endpoint"}, 2, "Usage: cdsctl"},
      {{"--help"}, 0, "Usage: cdsctl"},
      {{"config", "--help"}, 0, "config alarm enable"},
      {{"config", "alarm", "add", "--help"}, 0, "Usage: cdsctl"},
      {{"watch", "-h"}, 0, "Usage: cdsctl"},
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

}  // namespace
}  // namespace cdsctl_test
