#include "veltrac/base_type.hpp"

#include <gtest/gtest.h>

namespace veltrac {
namespace {

TEST(BaseTypeTest, ExactlyFortyEightCodesRoundTrip) {
  int count = 0;
  for (int c = 0; c < 256; ++c) {
    auto t = base_type_from_repr(static_cast<uint8_t>(c));
    if (!t) continue;
    ++count;
    EXPECT_EQ(code_of(*t), c);
    EXPECT_EQ(base_type_from_name(name_of(*t)), t);
    EXPECT_EQ(kBaseTypesInOrder[base_type_index(*t)], *t);
  }
  EXPECT_EQ(count, 48);
  EXPECT_EQ(kBaseTypesInOrder.front(), BaseType::NOTHING);
  EXPECT_EQ(kBaseTypesInOrder.back(), BaseType::UNKNOWN_TYPE);
  EXPECT_FALSE(base_type_from_name("string"));  // names are case-sensitive
}

TEST(BaseTypeTest, Families) {
  // The types without a value representation, and named types stored as their family.
  const std::pair<BaseType, TypeFamily> cases[] = {
      {BaseType::TIMESPAN, TypeFamily::HC_NULL},     {BaseType::SCHEDULE, TypeFamily::HC_NULL},
      {BaseType::UNKNOWN_TYPE, TypeFamily::HC_NULL}, {BaseType::IMAGE, TypeFamily::HC_BLOB},
      {BaseType::GUID, TypeFamily::HC_STRING},       {BaseType::NOTHING, TypeFamily::HC_NOTHING},
  };
  for (auto [t, f] : cases) EXPECT_EQ(get_family(t), f) << name_of(t);
  EXPECT_EQ(family_name(TypeFamily::HC_NULL), "HC_NULL");
}

}  // namespace
}  // namespace veltrac
