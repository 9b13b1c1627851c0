#include "zu/CDevice.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "zu/proto/zu.pb.h"

using zu::CDevice;

namespace {

CDevice full_device() {
  CDevice d;
  d.id = 1030;
  d.parent_id = 1;
  d.sub_devices = {1031, 1040};
  d.channels = {7, 9, 12};
  d.guid = std::string("0123abcd\0\xff", 10);  // any bytes
  d.communicating = true;
  d.state.set(zu::realtime_state::stale).set(zu::realtime_state::communicating);
  for (unsigned n = 1; n <= zu::kDeviceAttributeCount; ++n) *d.attribute(n) = "value " + std::to_string(n);
  return d;
}

// Through the wire form, so the message is what another process would read.
zu::proto::Device reparsed(const zu::proto::Device& m) {
  zu::proto::Device out;
  EXPECT_TRUE(out.ParseFromString(m.SerializeAsString()));
  return out;
}

TEST(CDeviceTest, TheMessageCarriesTheTreeAndTheIdentityEachOnlyWhenAsked) {
  const CDevice d = full_device();
  zu::proto::Device m;
  d.to(m, true, true);
  EXPECT_EQ(CDevice(reparsed(m)), d);

  d.to(m, false, true);
  CDevice no_tree(reparsed(m));
  EXPECT_EQ(no_tree.id, d.id);
  EXPECT_FALSE(no_tree.parent_id);
  EXPECT_TRUE(no_tree.sub_devices.empty());
  EXPECT_TRUE(no_tree.channels.empty());
  EXPECT_EQ(no_tree.guid, d.guid);
  EXPECT_EQ(no_tree.attributes, d.attributes);
  EXPECT_TRUE(no_tree.communicating);

  // Reusing the message must not leave the previous identity behind.
  d.to(m, true, false);
  CDevice no_identity(reparsed(m));
  EXPECT_FALSE(m.has_guid());
  EXPECT_TRUE(no_identity.guid.empty());
  for (const auto& a : no_identity.attributes) EXPECT_TRUE(a.empty());
  EXPECT_TRUE(no_identity.parent_id == d.parent_id);
  EXPECT_EQ(no_identity.sub_devices, d.sub_devices);
  EXPECT_EQ(no_identity.channels, d.channels);
  EXPECT_EQ(no_identity.state, d.state);
}

TEST(CDeviceTest, RootParentIsKeptApartFromAnUnknownParent) {
  CDevice root = full_device();
  root.parent_id = zu::kNoId;
  zu::proto::Device m;
  root.to(m, true, false);
  const CDevice back(reparsed(m));
  ASSERT_TRUE(back.parent_id);
  EXPECT_EQ(*back.parent_id, zu::kNoId);

  CDevice orphan;
  orphan.to(m, true, true);
  EXPECT_FALSE(CDevice(reparsed(m)).parent_id);
}

TEST(CDeviceTest, AttributeNumbersMapToTheirKeysAndMessageFields) {
  std::set<std::string> keys;
  for (unsigned n = 1; n <= zu::kDeviceAttributeCount; ++n) {
    const char* key = zu::device_attribute_key(n);
    ASSERT_NE(key, nullptr) << n;
    keys.insert(key);
    EXPECT_EQ(zu::device_attribute_number(key), n) << key;
  }
  EXPECT_EQ(keys.size(), zu::kDeviceAttributeCount);
  EXPECT_STREQ(zu::device_attribute_key(1), "family");
  EXPECT_STREQ(zu::device_attribute_key(15), "software_version");
  EXPECT_EQ(zu::device_attribute_key(0), nullptr);
  EXPECT_EQ(zu::device_attribute_key(16), nullptr);
  EXPECT_EQ(zu::device_attribute_number("Family"), 0U);
  EXPECT_EQ(zu::device_attribute_number(""), 0U);
  EXPECT_EQ(zu::device_attribute_number("uuid"), 0U);

  CDevice d;
  EXPECT_EQ(d.attribute(0), nullptr);
  EXPECT_EQ(d.attribute(16), nullptr);
  EXPECT_EQ(static_cast<const CDevice&>(d).attribute(16), nullptr);

  // Attribute n lands in the message field named by its key, and nowhere else.
  for (unsigned n = 1; n <= zu::kDeviceAttributeCount; ++n) {
    CDevice one;
    *one.attribute(n) = "x";
    zu::proto::Device m;
    one.to(m, false, true);
    const auto* field = m.GetDescriptor()->FindFieldByName(zu::device_attribute_key(n));
    ASSERT_NE(field, nullptr) << n;
    EXPECT_EQ(field->number(), static_cast<int>(10 + n)) << "the message keeps the keys in attribute order";
    EXPECT_EQ(m.GetReflection()->GetString(m, field), "x") << n;
    const CDevice back(m);
    for (unsigned k = 1; k <= zu::kDeviceAttributeCount; ++k) EXPECT_EQ(*back.attribute(k), k == n ? "x" : "");
  }
}

}  // namespace
