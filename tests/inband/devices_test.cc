#include <memory>

#include <boost/optional/optional_io.hpp>

#include "inband_fixture.h"

namespace inband_test {
namespace {

using cdsapi::InBandAccessor;
using tova::common::Uuid;
using DevicesTest = InBandTest;

TEST_F(DevicesTest, CreateFindAndRemoveDevicesAndReportMissingOnes) {
  unsigned long long a = inband.createDevice(77, 1, false);  // the store chooses the id
  EXPECT_NE(a, 77U);
  EXPECT_EQ(inband.createDevice(20, a, true), 20U);
  EXPECT_EQ(inband.getDevice(20).parent_id, boost::optional<std::uint64_t>(a));
  ExpectError<std::runtime_error>([&] { inband.createDevice(20, 1, true); }, "Can't create device 20");

  unsigned long long b = NewDevice();
  std::vector<unsigned long long> ids;
  for (auto& d : inband.getDevices(std::vector<unsigned long long>{b, kUnknown, a}, 1)) ids.push_back(d.id);
  EXPECT_EQ(ids, (std::vector<unsigned long long>{b, a, 20}));
  EXPECT_EQ(inband.getSubDevicesIds(1, 0), (std::vector<unsigned long long>{a, b}));
  ExpectError<std::invalid_argument>([&] { inband.getDevice(kUnknown); }, "Unable to get device 4242");
  EXPECT_EQ(inband.getDeviceUuid(kUnknown), Uuid::NIL);
  EXPECT_TRUE(inband.getSubDevicesIds(kUnknown, 0).empty());
  UnderEachFailure("CGetDevice", [&] {
    ExpectError<std::invalid_argument>([&] { inband.getDevice(1); }, "Unable to get devices");
    EXPECT_TRUE(inband.getSubDevicesIds(1, 0).empty());
    EXPECT_EQ(inband.getDeviceUuid(1), Uuid::NIL);
  });
  UnderEachFailure("CCreateDevice", [&] {
    ExpectError<std::runtime_error>([&] { inband.createDevice(5, 1, false); }, "Can't create device 5");
  });

  // Found by the whole canonical model name only, never by the friendly name.
  inband.setDeviceFriendlyName(a, "PDU-42");
  inband.setDevicePartNumber(b, "PDU-42");
  inband.setDevicePartNumber(NewDevice(), "PDU-42X");
  EXPECT_EQ(inband.getDeviceId(1, "PDU-42"), b);
  EXPECT_EQ(inband.getDeviceId(1, "PDU-4"), kNone);
  EXPECT_EQ(inband.getDeviceId(kUnknown, "PDU-42"), kNone);
  faults().fail_with_status("CGetDevice", 2, 1);
  ExpectError<std::invalid_argument>([&] { inband.getDeviceId(1, "PDU-42"); }, "Unable to get devices");

  // Removals are sent but never reported.
  faults().clear_requests();
  inband.removeDevices({});
  EXPECT_EQ(faults().count("CDeleteDevice"), 1U);
  EXPECT_NO_THROW(inband.removeDevice(1));  // refused by the store
  EXPECT_NO_THROW(inband.removeDevices({kUnknown, b}));
  inband.removeDevice(a);
  EXPECT_TRUE(inband.getDevices(std::vector<unsigned long long>{a}, 0).empty());
}

TEST_F(DevicesTest, IndexCountsAmongSiblingsAndEndsAtTheRoot) {
  unsigned long long first = NewDevice(), second = NewDevice(), leaf = NewDevice(second);
  EXPECT_EQ(inband.getDeviceIndex(first, 0), 0);
  EXPECT_EQ(inband.getDeviceIndex(leaf, 0), 0);
  EXPECT_EQ(inband.getDeviceIndex(leaf, 1), 1);  // the index of its parent
  EXPECT_EQ(inband.getDeviceIndex(leaf, 2), -1);
  EXPECT_EQ(inband.getDeviceIndex(1, 0), -1);
  ExpectError<std::invalid_argument>([&] { inband.getDeviceIndex(kUnknown, 0); }, "Unable to get device 4242");

  // A device missing from its parent's list is placed past its end.
  faults().edit_response("CGetDevice", [&](zu::cds::CRequestResponse& r) {
    auto& answer = static_cast<zu::cds::CGetDevice&>(r);
    if (answer.devices.size() == 1 && answer.devices[0].id == 1) answer.devices[0].sub_devices.erase(first);
  });
  EXPECT_EQ(inband.getDeviceIndex(first, 0), 1);
  // A record without a parent cannot be placed: the optional's error comes out.
  faults().edit_response("CGetDevice", [](zu::cds::CRequestResponse& r) {
    for (auto& d : static_cast<zu::cds::CGetDevice&>(r).devices) d.parent_id = boost::none;
  });
  EXPECT_THROW(inband.getDeviceIndex(first, 0), boost::bad_optional_access);
}

// Each wrapper must reach its own key; a swapped pair would pass a round trip.
TEST_F(DevicesTest, EachAttributeWrapperWritesAndReadsItsOwnKeyAndBadKeysAreRefusedFirst) {
  using Set = void (InBandAccessor::*)(unsigned long long, const std::string&);
  using Get = std::string (InBandAccessor::*)(unsigned long long);
  using A = InBandAccessor;
  struct Wrapper { Set set; Get get; const char* key; };
  const Wrapper wrappers[] = {
      {&A::setDeviceVendor, &A::getDeviceVendor, "vendor"}, {&A::setDeviceModel, &A::getDeviceModel, "model"},
      {&A::setDeviceProduct, &A::getDeviceProduct, "model_series"},
      {&A::setDevicePartNumber, &A::getDevicePartNumber, "canonical_model_name"},
      {&A::setDevicePhysicalName, &A::getDevicePhysicalName, "asset_id"},
      {&A::setDeviceSerialNumber, &A::getDeviceSerialNumber, "serial"},
      {&A::setDeviceSwVersion, &A::getDeviceSwVersion, "software_version"},
      {&A::setDeviceHwVersion, &A::getDeviceHwVersion, "hardware_version"},
      {&A::setDeviceFriendlyName, &A::getDeviceFriendlyName, "name"},
      {&A::setDeviceInterface, &A::getDeviceInterface, "network_address"},
      {&A::setDeviceLocation, &A::getDeviceLocation, "location"},
      {&A::setDeviceContact, &A::getDeviceContact, "contact"}, {&A::setDeviceType, &A::getDeviceType, "family"},
  };
  unsigned long long device = NewDevice();
  for (const Wrapper& w : wrappers) {
    SCOPED_TRACE(w.key);
    (inband.*w.set)(device, std::string("value of ") + w.key);
    auto sent = faults().last<zu::cds::CSetFieldValue>();
    ASSERT_TRUE(sent && sent->fields.size() == 1);
    EXPECT_EQ(sent->fields.begin()->name, w.key);
    EXPECT_EQ(sent->fields.begin()->value_kind, 2U);
    EXPECT_EQ((inband.*w.get)(device), std::string("value of ") + w.key);
  }
  faults().clear_requests();
  auto sixteen = static_cast<cdsapi::DeviceAttribute>(16);
  ExpectError<std::invalid_argument>([] { A::attributeToString(cdsapi::Uuid); }, "Invalid attribute 0");
  ExpectError<std::invalid_argument>([&] { A::attributeToString(sixteen); }, "Invalid attribute 16");
  zu::CDevice record;
  record.guid = "not a uuid";
  EXPECT_EQ(A::getDeviceAttribute(record, sixteen), "");
  EXPECT_EQ(A::getDeviceUuid(record), Uuid::NIL);
  // The attribute is judged before the device.
  ExpectError<std::invalid_argument>([&] { inband.setDeviceAttribute(0, sixteen, "x"); }, "Invalid attribute 16");
  ExpectError<std::invalid_argument>([&] { inband.setDeviceVendor(0, "acme"); }, "Couldn't set attribute 10");
  EXPECT_EQ(faults().count("CSetFieldValue"), 0U);
  faults().fail_with_status("CSetFieldValue", 2);
  EXPECT_NO_THROW(inband.setDeviceContact(kUnknown, "nobody"));

  // Communicating raises or lowers one state bit, unreported.
  inband.setDeviceCommunicating(device, true);
  EXPECT_TRUE(inband.getDevice(device).communicating);
  EXPECT_EQ(faults().last<zu::cds::CSetDeviceState>()->states.at(0).op, zu::cds::state_op::raise);
  inband.setDeviceCommunicating(device, false);
  EXPECT_FALSE(inband.getDevice(device).communicating);
  faults().drop_response("CSetDeviceState");
  EXPECT_NO_THROW(inband.setDeviceCommunicating(kUnknown, true));
}

TEST_F(DevicesTest, UuidIsWrittenByUpdatingTheWholeRecordAndAFailedReadOrUpdateThrows) {
  unsigned long long parent = NewDevice(), device = NewDevice(parent);
  inband.setDeviceVendor(device, "acme");
  Uuid uuid = Uuid::generate();
  inband.setDeviceUuid(device, uuid);
  EXPECT_EQ(InBandAccessor::getDeviceUuid(inband.getDevice(device)), uuid);
  EXPECT_EQ(inband.getDeviceUuid(device), uuid);
  EXPECT_EQ(inband.getDevice(device).parent_id, boost::optional<std::uint64_t>(parent));
  EXPECT_EQ(inband.getDeviceVendor(device), "acme");
  inband.setDeviceAttribute(device, cdsapi::Uuid, "garbage");
  EXPECT_EQ(inband.getDeviceAttribute(device, cdsapi::Uuid), "garbage");
  EXPECT_EQ(inband.getDeviceUuid(device), Uuid::NIL);

  const std::string unread = "Couldn't update attribute 0 for deviceId " + std::to_string(device);
  ExpectError<std::invalid_argument>([&] { inband.setDeviceUuid(kUnknown, uuid); },
                                     "Couldn't update attribute 0 for deviceId 4242");
  UnderEachFailure("CGetDevice", [&] {
    ExpectError<std::invalid_argument>([&] { inband.setDeviceUuid(device, uuid); }, unread);
  });
  faults().respond_with("CGetDevice", Answer(&zu::cds::CGetDevice::devices, 2), 1);
  ExpectError<std::invalid_argument>([&] { inband.setDeviceUuid(device, uuid); }, unread);
  EXPECT_EQ(faults().count("CUpdateDevice"), 2U) << "a failed read sends no update";
  UnderEachFailure("CUpdateDevice", [&] {
    ExpectError<std::invalid_argument>([&] { inband.setDeviceUuid(device, uuid); }, "Invalid attribute 0");
  });
}

}  // namespace
}  // namespace inband_test
