// The identification and binder stores against a real data store: what they
// read and write, in which order, and what the listener hears.
#include <vector>

#include "cdsapi/BinderCdsDb.h"
#include "cdsapi/CdsAccessor.h"
#include "cdsapi/IdentificationCdsDb.h"
#include "../inband/inband_fixture.h"

namespace {

using tova::common::Uuid;

struct Listener : tova::common::IdentificationDb::Listener {
  void onIdentificationChanged(tova::common::IdentificationDb& db, const conv::Identification& seen) override {
    calls.push_back({&db, seen});
  }
  std::vector<std::pair<tova::common::IdentificationDb*, conv::Identification>> calls;
};

class AdaptersTest : public ::testing::Test {
 protected:
  zu::testing::FaultInjectingTransport& faults() { return store.faults(); }
  zu::testing::EmbeddedStore store;
  cdsapi::CdsAccessor facade{"adapters", true};
  cdsapi::InBandAccessor& inband = facade.inbandAccessor();
  const Uuid uuid = Uuid::generate();
  const unsigned long long pdu = facade.createDevice(uuid, 20, 1, true);
};

TEST_F(AdaptersTest, IdentificationIsReadOnceAndStoredAttributeByAttributeAndBinderListsRoundTripThroughChannels) {
  const std::pair<cdsapi::DeviceAttribute, const char*> attributes[] = {
      {cdsapi::Vendor, "ACME"},        {cdsapi::CanonicalModelName, "PDU-9"}, {cdsapi::Serial, "S/N 7"},
      {cdsapi::AssetId, "rack 4"},     {cdsapi::Name, "left PDU"},            {cdsapi::NetworkAddress, "10.0.0.9"},
      {cdsapi::SoftwareVersion, "2.1"}, {cdsapi::Location, ""},               {cdsapi::Model, "not read"}};
  for (const auto& a : attributes) inband.setDeviceAttribute(pdu, a.first, a.second);
  const conv::Identification expected{uuid.to_hex(), "ACME", "PDU-9", "S/N 7", "rack 4", "left PDU", "10.0.0.9",
                                      "2.1",          "",     ""};
  faults().clear_requests();
  Listener listener;
  tova::IdentificationCdsDb db(facade, pdu, &listener);
  EXPECT_EQ(faults().count("CGetDevice"), 2u);  // the UUID, then the record
  ASSERT_EQ(listener.calls.size(), 1u);
  EXPECT_EQ(listener.calls[0].first, &db);
  EXPECT_EQ(listener.calls[0].second, expected);

  inband.setDeviceAttribute(pdu, cdsapi::Vendor, "changed behind its back");
  conv::Identification loaded;
  db.load(loaded);
  EXPECT_EQ(loaded, expected);

  // Store writes nine attributes in order and keeps the device's UUID.
  db.registerListener(&listener);  // only the constructor notifies
  conv::Identification changed{Uuid::generate().to_string(), "v", "p", "s", "ph", "f", "i", "sw", "l", "c"};
  faults().clear_requests();
  db.store(changed);
  std::vector<std::string> keys;
  for (auto& request : faults().sent<zu::cds::CSetFieldValue>()) keys.push_back(request->fields.begin()->name);
  EXPECT_EQ(keys, (std::vector<std::string>{"vendor", "canonical_model_name", "serial", "name", "asset_id",
                                            "network_address", "software_version", "location", "contact"}));
  EXPECT_EQ(listener.calls.size(), 1u);
  db.load(loaded);
  changed.uuid = uuid.to_string();
  EXPECT_EQ(loaded, changed);
  EXPECT_EQ(inband.getDeviceUuid(pdu), uuid);
  tova::IdentificationCdsDb again(facade, pdu, nullptr);
  again.load(loaded);
  changed.uuid = uuid.to_hex();
  EXPECT_EQ(loaded, changed);

  // Binder lists round-trip through channels the stores of a device share.
  tova::common::Db parent(Uuid::generate());
  tova::BinderCdsDb first(facade, parent, uuid, pdu);
  tova::common::BinderClientsList list{{Uuid::generate(), "keep"}};
  first.getClientsList(list);
  EXPECT_TRUE(list.empty());  // nothing stored yet

  list = {{Uuid::generate(), "eth0"}, {uuid, "a,b%c \"q\"\n\xff"}, {uuid, ""}};
  faults().clear_requests();
  first.updateClientsList(list);
  auto writes = faults().sent<zu::cds::CUpdateChannelValue>();
  ASSERT_EQ(writes.size(), 2u);
  const unsigned long long uuids = inband.getChannelId(pdu, "Binder.ClientsList.Uuids");
  EXPECT_EQ(writes[0]->values.at(0).channel_id, uuids);
  EXPECT_EQ(writes[1]->values.at(0).channel_id, inband.getChannelId(pdu, "Binder.ClientsList.Intfs"));

  tova::BinderCdsDb second(facade, parent, Uuid::generate(), pdu);
  tova::common::BinderClientsList read;
  second.getClientsList(read);
  EXPECT_EQ(read, list);
  second.updateClientsList({});
  first.getClientsList(read);
  EXPECT_TRUE(read.empty());

  // An unknown device has no identification and notifies nobody.
  listener.calls.clear();
  inband_test::ExpectError<std::invalid_argument>(
      [&] { tova::IdentificationCdsDb unknown(facade, 987654321, &listener); }, "Unable to get device 987654321");
  EXPECT_TRUE(listener.calls.empty());
  EXPECT_THROW(tova::BinderCdsDb(facade, parent, uuid, 987654321), std::invalid_argument);
}

}  // namespace
