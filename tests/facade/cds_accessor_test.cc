// CdsAccessor against a fresh store: construction, the UUID map, look-ups by
// name and the sub-device operations, through its public and virtual interface.
#include "cdsapi/CdsAccessor.h"

#include <regex>
#include <thread>

#include <boost/optional/optional_io.hpp>

#include "../inband/inband_fixture.h"

namespace inband_test {
namespace {

using tova::common::Uuid;

// A derived facade, to see the sub-device operations call its overrides.
class AuditingFacade : public cdsapi::CdsAccessor {
 public:
  using CdsAccessor::CdsAccessor;
  void removeDevice(unsigned long long id) override {
    removed.push_back(id);
    CdsAccessor::removeDevice(id);
  }
  unsigned long long createDevice(const Uuid& uuid, unsigned long long id, unsigned long long parent,
                                  bool use_given_id) override {
    created.push_back(id);
    return CdsAccessor::createDevice(uuid, id, parent, use_given_id);
  }
  Uuid getDeviceUuid(unsigned long long id) override {
    return id == hidden ? Uuid::NIL : CdsAccessor::getDeviceUuid(id);
  }
  std::vector<unsigned long long> removed, created;
  unsigned long long hidden = kNone;
};

class FacadeTest : public ::testing::Test {
 protected:
  zu::testing::FaultInjectingTransport& faults() { return store.faults(); }

  // A device under `parent` carrying `uuid` (none when nil), made behind the facade's back.
  unsigned long long Device(cdsapi::CdsAccessor& f, const Uuid& uuid, unsigned long long parent = 1) {
    unsigned long long id = f.inbandAccessor().createDevice(0, parent, false);
    if (!uuid.isNil()) f.inbandAccessor().setDeviceUuid(id, uuid);
    return id;
  }
  std::vector<unsigned long long> Children(cdsapi::CdsAccessor& f, unsigned long long parent = 1) {
    return f.inbandAccessor().getSubDevicesIds(parent, 0);
  }

  zu::testing::EmbeddedStore store;
  const Uuid a = Uuid::generate(), b = Uuid::generate(), c = Uuid::generate();
};

TEST_F(FacadeTest, TheMapHoldsEveryDeviceWithAUuidAtTheLastRebuildOrNoneUnconnectedAndNamesMatchWhole) {
  faults().refuse_connects(4);
  cdsapi::CdsAccessor unconnected("meter", true);
  EXPECT_FALSE(unconnected.isConnected());
  EXPECT_THROW(unconnected.getDeviceId(a), std::out_of_range);

  unsigned long long da, db, dc;
  {
    cdsapi::CdsAccessor setup("setup", false);
    da = Device(setup, a);
    db = Device(setup, b, da);  // the whole tree, not only the manager's children
    Device(setup, Uuid::NIL);
    Device(setup, c);
    dc = Device(setup, c);  // the later in the store's list wins
  }
  cdsapi::CdsAccessor facade("app", false);
  EXPECT_TRUE(facade.isConnected());
  const std::pair<Uuid, unsigned long long> expected[] = {{a, da}, {b, db}, {c, dc}, {facade.getManagerUuid(), 1}};
  for (auto& [uuid, id] : expected) EXPECT_EQ(facade.getDeviceId(uuid), id);
  EXPECT_THROW(facade.getDeviceId(Uuid::NIL), std::out_of_range);

  // Changes made around the facade show only after a rebuild; a failed one leaves the map empty.
  const Uuid late = Uuid::generate();
  unsigned long long dl = Device(facade, late);
  EXPECT_THROW(facade.getDeviceId(late), std::out_of_range);
  facade.invalidateCache();
  EXPECT_EQ(facade.getDeviceId(late), dl);
  std::thread rebuilder([&] {  // a reader beside a rebuild sees a whole map
    for (int i = 0; i < 50; ++i) facade.refreshDeviceIdsMap();
  });
  for (int i = 0; i < 50; ++i) EXPECT_EQ(facade.getDeviceId(a), da);
  rebuilder.join();
  faults().fail_with_status("CGetDevice", zu::cds::status_refused, 1);
  ExpectError<std::invalid_argument>([&] { facade.refreshDeviceIdsMap(); }, "Couldn't get deviceIds");
  EXPECT_THROW(facade.getDeviceId(a), std::out_of_range);

  // Devices are looked up by their whole canonical model names.
  auto named = [&](const std::string& name) {
    unsigned long long id = Device(facade, Uuid::NIL);
    facade.inbandAccessor().setDeviceAttribute(id, cdsapi::CanonicalModelName, name);
    return id;
  };
  unsigned long long p100 = named("PDU-100"), p200 = named("PDU-200");
  named("XPDU-1");  // matched whole: neither by name nor by mask
  unsigned long long cut = named(std::string("PDU-300\0rev2", 12));  // read as a C string
  EXPECT_EQ(facade.getDeviceByName("PDU-200"), p200);
  EXPECT_EQ(facade.getDeviceByName("PDU-300"), cut);
  EXPECT_EQ(facade.getDeviceByName("PDU"), kNone);
  EXPECT_EQ(facade.getDevicesWithNameMask(std::regex("PDU-[0-9]+")),
            (std::vector<unsigned long long>{p100, p200, cut}));
}

TEST_F(FacadeTest, PruningRemovesTheOtherChildrenByIdInOneRequestOrByUuidEachAlone) {
  using Ids = std::vector<unsigned long long>;
  AuditingFacade facade("app", false);
  unsigned long long x = facade.createDevice(a, 0, 1, false), y = facade.createDevice(b, 0, 1, false);
  unsigned long long z = facade.createDevice(c, 0, 1, false), bare = Device(facade, Uuid::NIL);
  faults().clear_requests();
  facade.removeAllSubDevicesExcept(1, Ids{x, y, z, bare}, 0);
  EXPECT_EQ(faults().count("CDeleteDevice"), 1U) << "sent even when everything is kept";
  facade.removeAllSubDevicesExcept(1, Ids{x, y, bare}, 0);
  EXPECT_EQ(Children(facade), (Ids{x, y, bare}));
  EXPECT_THROW(facade.getDeviceId(c), std::out_of_range);

  // A nil UUID in the list keeps the devices without one.
  facade.removeAllSubDevicesExcept(1, std::vector<Uuid>{a, Uuid::NIL}, 0);
  EXPECT_EQ(Children(facade), (Ids{x, bare}));
  EXPECT_THROW(facade.getDeviceId(b), std::out_of_range);
  faults().clear_requests();
  facade.removeAllSubDevicesExcept(1, std::vector<Uuid>{a}, 0);
  EXPECT_EQ(Children(facade), (Ids{x}));
  EXPECT_EQ(faults().count("CDeleteDevice"), 1U);  // one per removed device, none for kept ones
  facade.hidden = x;  // reads as having no UUID through the override
  facade.removeAllSubDevicesExcept(1, std::vector<Uuid>{a}, 0);
  EXPECT_EQ(facade.removed, (Ids{y, bare, x}));
}

TEST_F(FacadeTest, CreateGivesTheUuidAndEmplaceKeepsReplacesOrCreatesTheDeviceAtAnId) {
  AuditingFacade facade("app", false);
  unsigned long long parent = facade.createDevice(a, 0, 1, false);
  EXPECT_EQ(facade.getDeviceId(a), parent);
  EXPECT_EQ(facade.createDevice(b, 300, parent, true), 300U);
  unsigned long long bare = Device(facade, Uuid::NIL, 300);
  std::vector<cdsapi::DeviceInfo> out{cdsapi::DeviceInfo(c, 5)};  // listing skips the parent
  facade.getSubDevicesInfo(parent, out, 2);
  ASSERT_EQ(out.size(), 2U);
  EXPECT_EQ(out[0].id, 300U);
  EXPECT_EQ(out[0].uuid, b);
  EXPECT_EQ(out[1].id, bare);
  EXPECT_EQ(out[1].uuid, Uuid::NIL);
  ExpectError<std::runtime_error>([&] { facade.createDevice(c, 300, parent, true); }, "Can't create device 300");
  facade.removeDevice(300);

  facade.created.clear();
  EXPECT_EQ(facade.emplaceDevice(b, parent, 500), 500U);  // a free id: created there
  EXPECT_EQ(facade.getDevices(500, 0).at(0).parent_id, boost::optional<std::uint64_t>(parent));
  EXPECT_EQ(facade.getDeviceId(b), 500U);
  faults().clear_requests();
  EXPECT_EQ(facade.emplaceDevice(b, parent, 500), 500U);  // already there: nothing changes
  EXPECT_EQ(faults().count("CCreateDevice") + faults().count("CDeleteDevice"), 0U);

  EXPECT_EQ(facade.emplaceDevice(c, parent, 500), 500U);  // another UUID: replaced, through the overrides
  EXPECT_EQ(facade.getDeviceUuid(500), c);
  EXPECT_THROW(facade.getDeviceId(b), std::out_of_range);
  EXPECT_EQ(facade.removed, (std::vector<unsigned long long>{300, 500}));
  EXPECT_EQ(facade.created, (std::vector<unsigned long long>{500, 500}));

  // A device without a readable UUID is not removed: the create at its id is
  // sent, and the store refuses it (the id is taken).
  bare = Device(facade, Uuid::NIL, parent);
  faults().clear_requests();
  EXPECT_THROW(facade.emplaceDevice(b, parent, bare), std::runtime_error);
  EXPECT_EQ(faults().count("CDeleteDevice"), 0U);
  EXPECT_EQ(faults().last<zu::cds::CCreateDevice>()->devices.at(0).id, bare);

  faults().clear_requests();
  EXPECT_EQ(facade.emplaceDevice(c, 1, 0), 500U);  // id 0: only the map look-up
  EXPECT_THROW(facade.emplaceDevice(Uuid::generate(), 1, 0), std::out_of_range);
  EXPECT_TRUE(faults().requests().empty());
}

}  // namespace
}  // namespace inband_test
