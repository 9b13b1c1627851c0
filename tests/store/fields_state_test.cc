// Named fields, realtime state bits, and records the store does not answer.
#include <cmath>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "store_fixture.h"

namespace cds::store::testing {
namespace {

zu::cds::CSingleField field(std::uint32_t kind, std::uint64_t id, const std::string& name,
                            const std::string& scope = "", zu::CValue value = zu::CValue()) {
  zu::cds::CSingleField f;
  f.field_kind = kind;
  f.id = id;
  f.name = name;
  f.scope = scope;
  f.value = std::move(value);
  return f;
}

class FieldTest : public StoreTest {
 protected:
  FieldTest() { add_device(1, 20); }

  std::shared_ptr<zu::cds::CSetFieldValue> set(std::vector<zu::cds::CSingleField> fields) {
    zu::cds::CSetFieldValue request;
    request.fields.insert(fields.begin(), fields.end());
    return ask(request);
  }
  zu::CValue get(const zu::cds::CSingleField& f) {
    zu::cds::CGetFieldValue request;
    request.fields = {f};
    auto r = ask(request);
    EXPECT_EQ(r->status, 1u);
    return r->fields.size() == 1 ? r->fields.begin()->value : zu::CValue("no single answer");
  }
};

TEST_F(FieldTest, AttributeKeysWriteIdentityAttributesOtherKeysExtraFieldsAndScopesAreKeptApart) {
  auto r = set({field(1, 20, "vendor", "", zu::CValue("Acme")), field(1, 20, "temperature", "", zu::CValue(21.5)),
                field(3, 20, "max", "limits", zu::CValue(30)), field(3, 20, "max", "alarms", zu::CValue("high"))});
  ASSERT_EQ(r->status, 1u) << r->message;
  EXPECT_EQ(r->fields.size(), 4u);
  for (const auto& f : r->fields) EXPECT_TRUE(f.value.is_valid()) << f.name;
  EXPECT_EQ(*device(20).attribute(zu::device_attribute_number("vendor")), "Acme");
  EXPECT_EQ(changes_.back().device_records_changed, (std::set<std::uint64_t>{20}));
  EXPECT_EQ(changes_.back().device_fields_written.size(), 3u);

  const std::vector<std::pair<zu::cds::CSingleField, zu::CValue>> reads = {
      {field(1, 20, "vendor"), zu::CValue("Acme")},
      {field(1, 20, "serial"), zu::CValue("")},  // an attribute always has a text
      {field(1, 20, "temperature"), zu::CValue(21.5)},
      {field(3, 20, "max", "limits"), zu::CValue(30)},
      {field(3, 20, "max", "alarms"), zu::CValue("high")},
      {field(1, 20, "max"), zu::CValue()},
      {field(3, 20, "temperature", "limits"), zu::CValue()},
  };
  for (const auto& [f, value] : reads) EXPECT_EQ(get(f), value) << f.name << " in '" << f.scope << "'";

  ASSERT_EQ(set({field(1, 20, "asset_id", "", zu::CValue(42))})->status, 1u);
  EXPECT_EQ(*device(20).attribute(11), "42");
  EXPECT_EQ(set({field(1, 20, "asset_id", "", zu::CValue(zu::CBytes{1, 0, 2}))})->status, 2u);
  EXPECT_EQ(*device(20).attribute(11), "42");
}

TEST_F(FieldTest, RefusedFieldsComeBackWithoutValueAndNothingIsWritten) {
  const std::vector<std::tuple<const char*, zu::cds::CSingleField, std::uint32_t>> cases = {
      {"unknown device", field(1, 404, "x", "", zu::CValue(1)), 2},
      {"device id 0", field(1, 0, "x", "", zu::CValue(1)), 2},
      {"kind 2", field(2, 404, "x", "", zu::CValue(1)), 2},
      {"document: no scope", field(4, 0, "hostname", "", zu::CValue("h")), 5},
      {"document: NUL in the path", field(4, 0, "hostname", std::string("sys\0tem", 7), zu::CValue("h")), 5},
      {"document: no name", field(4, 0, "", "system/network", zu::CValue("h")), 5},
      {"document: bytes", field(4, 0, "hostname", "system/network", zu::CValue(zu::CBytes{104})), 2},
      {"document: inexact integer", field(4, 0, "id", "system/network", zu::CValue((1ULL << 53) + 1)), 2},
      {"document: NaN", field(4, 0, "mtu", "system/network", zu::CValue(std::nan(""))), 2},
      {"document: text not UTF-8", field(4, 0, "hostname", "system/network", zu::CValue("\xff")), 2},
      {"document past the largest", field(4, 0, "big", "system/network", zu::CValue(std::string(4128768, 'x'))), 4},
      {"kind 0", field(0, 20, "x", "", zu::CValue(1)), 5},
      {"no name", field(1, 20, "", "", zu::CValue(1)), 5},
      {"scope missing", field(3, 20, "x", "", zu::CValue(1)), 5},
      {"no value", field(1, 20, "x"), 5},
  };
  for (const auto& [what, bad, status] : cases) {
    auto r = set({field(1, 20, "vendor", "", zu::CValue("Acme")),
                  field(4, 0, "domain", "system/network", zu::CValue("lan")), bad});
    EXPECT_EQ(r->status, status) << what;
    EXPECT_FALSE(r->message.empty()) << what;
    for (const auto& f : r->fields) EXPECT_FALSE(f.value.is_valid()) << what;
    EXPECT_EQ(*device(20).attribute(10), "") << what;
    EXPECT_FALSE(get(bad).is_valid()) << what;
    EXPECT_EQ(document_json("system/network"), "") << what;
  }
}

TEST_F(FieldTest, DocumentFieldsMapToValuesAndAWriteKeepsTheOtherFieldsOrCreatesTheDocument) {
  ASSERT_EQ(set_documents({{"system/network", doc(R"({"dns":{"servers":["a","b"]},"tags":[],"none":null})")}})->status,
            1u);
  ASSERT_EQ(set({field(4, 0, "hostname", "system/network", zu::CValue("h1")),
                 field(4, 0, "mtu", "system/network", zu::CValue(1500)),
                 field(4, 0, "dhcp", "system/network", zu::CValue(true)),
                 field(4, 0, "since", "system/clock", zu::CValue(-(1LL << 53)))})->status, 1u);
  EXPECT_EQ(changes_.back().oob_paths_written, (std::set<std::string>{"system/network", "system/clock"}));
  EXPECT_TRUE(changes_.back().device_fields_written.empty());

  const std::vector<std::pair<const char*, zu::CValue>> cases = {
      {"hostname", zu::CValue("h1")}, {"mtu", zu::CValue(1500.0)},          {"dhcp", zu::CValue(true)},
      {"tags", zu::CValue("[]")},     {"dns", zu::CValue(R"({"servers":["a","b"]})")},
      {"none", zu::CValue()},         {"missing", zu::CValue()},
  };
  for (const auto& [name, value] : cases) EXPECT_EQ(get(field(4, 0, name, "system/network")), value) << name;
  EXPECT_EQ(get(field(4, 0, "since", "system/clock")), zu::CValue(-9007199254740992.0));
  EXPECT_FALSE(get(field(4, 0, "hostname", "system")).is_valid());
}

using StateTest = StoreTest;

TEST_F(StateTest, DeviceStateOpsKeepTheCommunicatingFlagInStepChannelOpsChangeOnlyApplicationBits) {
  add_device(1, 20);
  using zu::realtime_state;
  using zu::cds::state_op;
  auto op = [](std::uint64_t id, realtime_state bits, state_op how) {
    zu::cds::CSetSingleDeviceState s;
    s.id = id;
    s.state = zu::CStateBits(bits);
    s.op = how;
    return s;
  };
  zu::cds::CSetDeviceState request;
  request.states = {op(20, realtime_state::communicating, state_op::raise)};
  ASSERT_EQ(ask(request)->status, 1u);
  EXPECT_TRUE(device(20).communicating);
  request.states = {op(20, realtime_state::stale, state_op::assign)};
  ASSERT_EQ(ask(request)->status, 1u);
  EXPECT_FALSE(device(20).communicating);
  EXPECT_EQ(device(20).state.bits(), static_cast<std::uint32_t>(realtime_state::stale));
  request.states = {op(20, realtime_state::stale, state_op::lower)};
  ASSERT_EQ(ask(request)->status, 1u);
  EXPECT_TRUE(device(20).state.empty());

  const std::vector<std::pair<zu::cds::CSetSingleDeviceState, std::uint32_t>> bad = {
      {op(404, realtime_state::stale, state_op::raise), 2},
      {op(20, realtime_state::alarm_active, state_op::raise), 5},
      {op(20, realtime_state::stale, state_op::none), 5},
      {op(20, realtime_state::stale, static_cast<state_op>(7)), 5},
  };
  for (const auto& [entry, status] : bad) {
    request.states = {op(20, realtime_state::communicating, state_op::raise), entry};
    auto r = ask(request);
    EXPECT_EQ(r->status, status);
    ASSERT_EQ(r->results.size(), 2u);
    EXPECT_EQ(r->results[1].status, status);
    EXPECT_FALSE(device(20).communicating) << "a refusal applies no entry";
  }

  std::uint64_t a = add_channel(1, "a");
  auto apply = [&](realtime_state bits, state_op how) {
    zu::cds::CSetChannelState request;
    request.states.resize(1);
    request.states[0].id = a;
    request.states[0].state = zu::CStateBits(bits);
    request.states[0].op = how;
    return ask(request)->status;
  };
  changes_.clear();
  ASSERT_EQ(apply(realtime_state::alarm_disabled, state_op::raise), 1u);
  EXPECT_TRUE(read({a})[0].state.test(realtime_state::alarm_disabled));
  EXPECT_EQ(changes_.back().channel_states_changed, (std::set<std::uint64_t>{a}));
  ASSERT_EQ(apply(realtime_state::stale, state_op::assign), 1u);
  EXPECT_EQ(read({a})[0].state.bits(), static_cast<std::uint32_t>(realtime_state::stale));
  EXPECT_EQ(apply(realtime_state::communicating, state_op::assign), 5u);
}

// A record class no store answers.
struct CUnknownRecord : zu::cds::CRequestResponse {
  std::shared_ptr<zu::cds::CRequestResponse> clone() const override { return std::make_shared<CUnknownRecord>(*this); }
  const char* class_name() const override { return "CUnknownRecord"; }
};

TEST_F(StateTest, RecordsTheStoreDoesNotAnswerAreRefusedAsInvalidNamingTheClass) {
  auto r = engine_->handle(session_, CUnknownRecord());
  ASSERT_TRUE(std::dynamic_pointer_cast<CUnknownRecord>(r));
  EXPECT_EQ(r->status, 5u);
  EXPECT_NE(r->message.find("CUnknownRecord"), std::string::npos);
}

}  // namespace
}  // namespace cds::store::testing
