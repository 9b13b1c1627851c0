#include "zu/CDevice.h"

#include <gtest/gtest.h>

#include <string>

#include "zu/proto/zu.pb.h"

using zu::CDevice;

namespace {

// A device in full travels whole through the codec's tests; here what they
// cannot see: the parts left out on request, the root parent, and which
// attribute is which.
TEST(CDeviceTest, TheMessageCarriesTheTreeAndTheIdentityEachOnlyWhenAsked) {
  CDevice d;
  d.id = 1030;
  d.parent_id = 1;
  d.sub_devices = {1031, 1040};
  d.channels = {7, 9, 12};
  d.guid = std::string("0123abcd\0\xff", 10);  // any bytes
  d.communicating = true;
  d.state.set(zu::realtime_state::stale);
  for (unsigned n = 1; n <= zu::kDeviceAttributeCount; ++n) *d.attribute(n) = "value " + std::to_string(n);

  zu::proto::Device m;
  d.to(m, false, true);
  CDevice no_tree(m);
  EXPECT_FALSE(no_tree.parent_id || !no_tree.sub_devices.empty() || !no_tree.channels.empty());
  no_tree.parent_id = d.parent_id;
  no_tree.sub_devices = d.sub_devices;
  no_tree.channels = d.channels;
  EXPECT_EQ(no_tree, d);

  d.to(m, true, false);  // reusing the message must not leave the previous identity behind
  CDevice no_identity(m);
  EXPECT_FALSE(m.has_guid());
  EXPECT_EQ(no_identity.attributes, CDevice().attributes);
  no_identity.guid = d.guid;
  no_identity.attributes = d.attributes;
  EXPECT_EQ(no_identity, d);

  d.parent_id = zu::kNoId;  // the root, told apart from an unknown parent
  d.to(m, true, false);
  ASSERT_TRUE(CDevice(m).parent_id);
  EXPECT_EQ(*CDevice(m).parent_id, zu::kNoId);
  CDevice().to(m, true, true);
  EXPECT_FALSE(CDevice(m).parent_id);
}

TEST(CDeviceTest, EachAttributeNumberHasItsKeyAndTheMessageFieldOfThatName) {
  for (unsigned n = 1; n <= zu::kDeviceAttributeCount; ++n) {
    const char* key = zu::device_attribute_key(n);
    ASSERT_NE(key, nullptr) << n;
    EXPECT_EQ(zu::device_attribute_number(key), n) << key;
    CDevice one;
    *one.attribute(n) = "x";
    zu::proto::Device m;
    one.to(m, false, true);
    const auto* field = m.GetDescriptor()->FindFieldByName(key);
    ASSERT_NE(field, nullptr) << key;
    EXPECT_EQ(m.GetReflection()->GetString(m, field), "x") << key;
    EXPECT_EQ(CDevice(m), one) << key;
  }
  EXPECT_STREQ(zu::device_attribute_key(1), "family");
  EXPECT_STREQ(zu::device_attribute_key(15), "software_version");
  EXPECT_EQ(zu::device_attribute_key(0), nullptr);
  EXPECT_EQ(zu::device_attribute_key(16), nullptr);
  EXPECT_EQ(zu::device_attribute_number("Family"), 0U);
  CDevice d;
  EXPECT_EQ(d.attribute(0), nullptr);
  EXPECT_EQ(d.attribute(16), nullptr);
  EXPECT_EQ(static_cast<const CDevice&>(d).attribute(16), nullptr);
}

}  // namespace
