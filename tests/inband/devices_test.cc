#include <climits>
#include <memory>

#include <boost/optional/optional_io.hpp>

#include "inband_fixture.h"

namespace inband_test {
namespace {

using cdsapi::InBandAccessor;
using tova::common::Uuid;
using DevicesTest = InBandTest;

TEST_F(DevicesTest, CreateLetsTheStoreChooseOrKeepsTheGivenId) {
  unsigned long long chosen = inband.createDevice(77, 1, false);
  EXPECT_GE(chosen, 1024U);
  auto sent = faults().last<zu::cds::CCreateDevice>();
  ASSERT_TRUE(sent && sent->devices.size() == 1);
  EXPECT_FALSE(sent->use_given_ids);
  EXPECT_EQ(sent->devices[0].id, kNone);  // the id argument is not sent without the flag
  EXPECT_EQ(sent->devices[0].parent_id, boost::optional<std::uint64_t>(1));
  EXPECT_FALSE(sent->devices[0].communicating);

  EXPECT_EQ(inband.createDevice(20, chosen, true), 20U);
  EXPECT_EQ(inband.getDevice(20).parent_id, boost::optional<std::uint64_t>(chosen));
}

TEST_F(DevicesTest, RefusedCreateThrowsWithTheIdArgumentAndAddsNothing) {
  UnderEachFailure("CCreateDevice", [&] {
    ExpectError<std::runtime_error>([&] { inband.createDevice(5, 1, false); }, "Can't create device 5");
  });
  size_t before = inband.getDevices(1, INT_MAX).size();
  ExpectError<std::runtime_error>([&] { inband.createDevice(1, 1, true); }, "Can't create device 1");
  ExpectError<std::runtime_error>([&] { inband.createDevice(0, kUnknown, false); }, "Can't create device 0");
  EXPECT_EQ(inband.getDevices(1, INT_MAX).size(), before);
}

TEST_F(DevicesTest, ReadsDevicesInTheStoresOrderAndReportsMissingOnes) {
  unsigned long long a = NewDevice(), b = NewDevice(), a1 = NewDevice(a);
  auto tree = inband.getDevices(std::vector<unsigned long long>{b, kUnknown, a}, 1);
  ASSERT_EQ(tree.size(), 3U);
  EXPECT_EQ(tree[0].id, b);
  EXPECT_EQ(tree[1].id, a);
  EXPECT_EQ(tree[2].id, a1);
  EXPECT_EQ(faults().last<zu::cds::CGetDevice>()->depth, 1U);
  EXPECT_EQ(inband.getSubDevicesIds(1, 0), (std::vector<unsigned long long>{a, b}));

  ExpectError<std::invalid_argument>([&] { inband.getDevice(kUnknown); }, "Unable to get device 4242");
  ExpectError<std::invalid_argument>([&] { inband.getDeviceVendor(kUnknown); }, "Unable to get device 4242");
  ExpectError<std::invalid_argument>([&] { inband.getDeviceAttribute(kUnknown, cdsapi::Serial); },
                                     "Unable to get device 4242");
  EXPECT_EQ(inband.getDeviceUuid(kUnknown), Uuid::NIL);
  EXPECT_TRUE(inband.getSubDevicesIds(kUnknown, 0).empty());
  EXPECT_TRUE(inband.getDevices(kUnknown, 0).empty());

  UnderEachFailure("CGetDevice", [&] {
    ExpectError<std::invalid_argument>([&] { inband.getDevices(1, 0); }, "Unable to get devices");
    ExpectError<std::invalid_argument>([&] { inband.getDevice(1); }, "Unable to get devices");
    EXPECT_TRUE(inband.getSubDevicesIds(1, 0).empty());
    EXPECT_EQ(inband.getDeviceUuid(1), Uuid::NIL);
  });
}

TEST_F(DevicesTest, IndexCountsAmongSiblingsAndEndsAtTheRoot) {
  unsigned long long first = NewDevice(), second = NewDevice(), leaf = NewDevice(second);
  EXPECT_EQ(inband.getDeviceIndex(first, 0), 0);
  EXPECT_EQ(inband.getDeviceIndex(second, 0), 1);
  EXPECT_EQ(inband.getDeviceIndex(leaf, 0), 0);
  EXPECT_EQ(inband.getDeviceIndex(leaf, 1), 1);  // the index of its parent
  EXPECT_EQ(inband.getDeviceIndex(leaf, 2), -1);
  EXPECT_EQ(inband.getDeviceIndex(1, 0), -1);
  EXPECT_EQ(inband.getDeviceIndex(second, 5), -1);
  EXPECT_EQ(faults().last<zu::cds::CGetDevice>()->depth, 0U);
  ExpectError<std::invalid_argument>([&] { inband.getDeviceIndex(kUnknown, 0); }, "Unable to get device 4242");

  // A device missing from its parent's list is placed past its end; no list, no siblings.
  faults().edit_response("CGetDevice", [&](zu::cds::CRequestResponse& r) {
    auto& answer = static_cast<zu::cds::CGetDevice&>(r);
    if (answer.devices.size() == 1 && answer.devices[0].id == 1) answer.devices[0].sub_devices.erase(first);
  });
  EXPECT_EQ(inband.getDeviceIndex(first, 0), 1);
  faults().edit_response("CGetDevice", [](zu::cds::CRequestResponse& r) {
    auto& answer = static_cast<zu::cds::CGetDevice&>(r);
    if (answer.devices.size() == 1 && answer.devices[0].id == 1) answer.status = 2;
  });
  EXPECT_EQ(inband.getDeviceIndex(second, 0), 0);

  // A record without a parent cannot be placed: the optional's error comes out.
  faults().edit_response("CGetDevice", [](zu::cds::CRequestResponse& r) {
    for (auto& d : static_cast<zu::cds::CGetDevice&>(r).devices) d.parent_id = boost::none;
  });
  EXPECT_THROW(inband.getDeviceIndex(first, 0), boost::bad_optional_access);
}

TEST_F(DevicesTest, DeviceIdMatchesTheCanonicalModelNameOnly) {
  unsigned long long named = NewDevice(), modelled = NewDevice();
  inband.setDeviceFriendlyName(named, "PDU-42");
  inband.setDevicePartNumber(modelled, "PDU-42");
  inband.setDevicePartNumber(NewDevice(), "PDU-42X");
  EXPECT_EQ(inband.getDeviceId(1, "PDU-42"), modelled);
  EXPECT_EQ(faults().last<zu::cds::CGetDevice>()->depth, 1U);
  EXPECT_EQ(inband.getDeviceId(1, "PDU-4"), kNone);
  EXPECT_EQ(inband.getDeviceId(kUnknown, "PDU-42"), kNone);
  faults().fail_with_status("CGetDevice", 2);
  ExpectError<std::invalid_argument>([&] { inband.getDeviceId(1, "PDU-42"); }, "Unable to get devices");
}

TEST_F(DevicesTest, RemovalsAreSentButNeverReported) {
  unsigned long long parent = NewDevice(), child = NewDevice(parent);
  inband.removeDevices({});
  ASSERT_EQ(faults().count("CDeleteDevice"), 1U);
  EXPECT_TRUE(faults().last<zu::cds::CDeleteDevice>()->ids.empty());

  EXPECT_NO_THROW(inband.removeDevice(1));  // refused by the store
  EXPECT_NO_THROW(inband.removeDevices({kUnknown, parent}));
  EXPECT_EQ(inband.getDevices(1, INT_MAX).size(), 3U);  // a refused delete removes nothing

  inband.removeDevice(parent);
  EXPECT_EQ(faults().last<zu::cds::CDeleteDevice>()->ids, (std::vector<std::uint64_t>{parent}));
  EXPECT_TRUE(inband.getDevices(std::vector<unsigned long long>{parent, child}, 0).empty());
}

TEST_F(DevicesTest, AttributeKeysAndTheirLimits) {
  EXPECT_EQ(InBandAccessor::attributeToString(cdsapi::Family), "family");
  EXPECT_EQ(InBandAccessor::attributeToString(cdsapi::SoftwareVersion), "software_version");
  auto sixteen = static_cast<cdsapi::DeviceAttribute>(16);
  ExpectError<std::invalid_argument>([] { InBandAccessor::attributeToString(cdsapi::Uuid); }, "Invalid attribute 0");
  ExpectError<std::invalid_argument>([&] { InBandAccessor::attributeToString(sixteen); }, "Invalid attribute 16");

  zu::CDevice record;
  record.guid = "not a uuid";
  *record.attribute(cdsapi::Location) = "rack 4";
  EXPECT_EQ(InBandAccessor::getDeviceAttribute(record, sixteen), "");
  EXPECT_EQ(InBandAccessor::getDeviceAttribute(record, cdsapi::Uuid), "not a uuid");
  EXPECT_EQ(InBandAccessor::getDeviceAttribute(record, cdsapi::Location), "rack 4");
  EXPECT_EQ(InBandAccessor::getDeviceUuid(record), Uuid::NIL);

  ExpectError<std::invalid_argument>([&] { inband.setDeviceAttribute(1, sixteen, "x"); }, "Invalid attribute 16");
  ExpectError<std::invalid_argument>([&] { inband.setDeviceVendor(0, "acme"); }, "Couldn't set attribute 10");
  EXPECT_EQ(faults().count("CSetFieldValue"), 0U);
}

// Each wrapper must reach its own key; a swapped pair would pass a round trip.
TEST_F(DevicesTest, EachAttributeWrapperWritesAndReadsItsOwnKey) {
  using Set = void (InBandAccessor::*)(unsigned long long, const std::string&);
  using Get = std::string (InBandAccessor::*)(unsigned long long);
  struct Wrapper { Set set; Get get; const char* key; };
  const Wrapper wrappers[] = {
      {&InBandAccessor::setDeviceVendor, &InBandAccessor::getDeviceVendor, "vendor"},
      {&InBandAccessor::setDeviceModel, &InBandAccessor::getDeviceModel, "model"},
      {&InBandAccessor::setDeviceProduct, &InBandAccessor::getDeviceProduct, "model_series"},
      {&InBandAccessor::setDevicePartNumber, &InBandAccessor::getDevicePartNumber, "canonical_model_name"},
      {&InBandAccessor::setDevicePhysicalName, &InBandAccessor::getDevicePhysicalName, "asset_id"},
      {&InBandAccessor::setDeviceSerialNumber, &InBandAccessor::getDeviceSerialNumber, "serial"},
      {&InBandAccessor::setDeviceSwVersion, &InBandAccessor::getDeviceSwVersion, "software_version"},
      {&InBandAccessor::setDeviceHwVersion, &InBandAccessor::getDeviceHwVersion, "hardware_version"},
      {&InBandAccessor::setDeviceFriendlyName, &InBandAccessor::getDeviceFriendlyName, "name"},
      {&InBandAccessor::setDeviceInterface, &InBandAccessor::getDeviceInterface, "network_address"},
      {&InBandAccessor::setDeviceLocation, &InBandAccessor::getDeviceLocation, "location"},
      {&InBandAccessor::setDeviceContact, &InBandAccessor::getDeviceContact, "contact"},
      {&InBandAccessor::setDeviceType, &InBandAccessor::getDeviceType, "family"},
  };
  unsigned long long device = NewDevice();
  for (const Wrapper& w : wrappers) {
    SCOPED_TRACE(w.key);
    (inband.*w.set)(device, std::string("value of ") + w.key);
    auto sent = faults().last<zu::cds::CSetFieldValue>();
    ASSERT_TRUE(sent && sent->fields.size() == 1);
    const zu::cds::CSingleField& field = *sent->fields.begin();
    EXPECT_EQ(field.field_kind, 1U);
    EXPECT_EQ(field.name, w.key);
    EXPECT_EQ(field.value, zu::CValue(std::string("value of ") + w.key));
    EXPECT_EQ(field.value_kind, 2U);
    EXPECT_EQ(field.id, device);
    EXPECT_EQ(field.scope, "");
    EXPECT_EQ((inband.*w.get)(device), std::string("value of ") + w.key);
  }
  faults().fail_with_status("CSetFieldValue", 2);
  EXPECT_NO_THROW(inband.setDeviceContact(kUnknown, "nobody"));
}

TEST_F(DevicesTest, UuidIsWrittenByUpdatingTheWholeRecord) {
  unsigned long long parent = NewDevice(), device = NewDevice(parent);
  inband.setDeviceVendor(device, "acme");
  Uuid uuid = Uuid::generate();
  faults().clear_requests();
  inband.setDeviceUuid(device, uuid);
  EXPECT_EQ(faults().count("CGetDevice"), 1U);
  auto update = faults().last<zu::cds::CUpdateDevice>();
  ASSERT_TRUE(update && update->devices.size() == 1);
  EXPECT_EQ(update->devices[0].guid, uuid.to_hex());
  EXPECT_EQ(update->devices[0].id, device);

  zu::CDevice stored = inband.getDevice(device);
  EXPECT_EQ(InBandAccessor::getDeviceUuid(stored), uuid);
  EXPECT_EQ(inband.getDeviceUuid(device), uuid);
  EXPECT_EQ(stored.parent_id, boost::optional<std::uint64_t>(parent));
  EXPECT_EQ(inband.getDeviceVendor(device), "acme");

  inband.setDeviceAttribute(device, cdsapi::Uuid, "garbage");
  EXPECT_EQ(inband.getDeviceAttribute(device, cdsapi::Uuid), "garbage");
  EXPECT_EQ(inband.getDeviceUuid(device), Uuid::NIL);
}

TEST_F(DevicesTest, UuidWriteFailuresChangeNothing) {
  unsigned long long device = NewDevice();
  Uuid before = Uuid::generate();
  inband.setDeviceUuid(device, before);
  faults().clear_requests();
  Uuid other = Uuid::generate();
  ExpectError<std::invalid_argument>([&] { inband.setDeviceUuid(kUnknown, other); },
                                     "Couldn't update attribute 0 for deviceId 4242");
  UnderEachFailure("CGetDevice", [&] {
    ExpectError<std::invalid_argument>([&] { inband.setDeviceUuid(device, other); },
                                       "Couldn't update attribute 0 for deviceId " + std::to_string(device));
  });
  faults().respond_with("CGetDevice", [](const zu::cds::CRequestResponse&) {
    auto twice = std::make_shared<zu::cds::CGetDevice>();
    twice->status = zu::cds::status_ok;
    twice->devices.resize(2);
    return twice;
  }, 1);
  ExpectError<std::invalid_argument>([&] { inband.setDeviceUuid(device, other); },
                                     "Couldn't update attribute 0 for deviceId " + std::to_string(device));
  EXPECT_EQ(faults().count("CUpdateDevice"), 0U);

  faults().drop_response("CUpdateDevice", 1);
  faults().respond_with_other_class("CUpdateDevice", 1);
  for (int i = 0; i < 2; ++i)
    ExpectError<std::invalid_argument>([&] { inband.setDeviceUuid(device, other); }, "Invalid attribute 0");
  faults().edit_response("CGetDevice", [](zu::cds::CRequestResponse& r) {
    static_cast<zu::cds::CGetDevice&>(r).devices[0].id = kUnknown;  // the store refuses to update it
  }, 1);
  ExpectError<std::invalid_argument>([&] { inband.setDeviceUuid(device, other); }, "Invalid attribute 0");
  EXPECT_EQ(inband.getDeviceUuid(device), before);
}

TEST_F(DevicesTest, CommunicatingRaisesOrLowersOneStateBit) {
  unsigned long long device = NewDevice();
  inband.setDeviceCommunicating(device, true);
  auto sent = faults().last<zu::cds::CSetDeviceState>();
  ASSERT_TRUE(sent && sent->states.size() == 1);
  EXPECT_EQ(sent->states[0].id, device);
  EXPECT_EQ(sent->states[0].state.bits(), 4U);
  EXPECT_EQ(sent->states[0].state.supplier(), nullptr);
  EXPECT_TRUE(sent->states[0].state2.empty());
  EXPECT_EQ(sent->states[0].op, zu::cds::state_op::raise);
  EXPECT_TRUE(inband.getDevice(device).communicating);

  inband.setDeviceCommunicating(device, false);
  EXPECT_EQ(faults().last<zu::cds::CSetDeviceState>()->states[0].op, zu::cds::state_op::lower);
  EXPECT_FALSE(inband.getDevice(device).communicating);
  faults().drop_response("CSetDeviceState");
  EXPECT_NO_THROW(inband.setDeviceCommunicating(kUnknown, true));
}

}  // namespace
}  // namespace inband_test
