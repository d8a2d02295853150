// Whole-vocabulary round trips: for every type, generated values write, read back and write the same bytes.
#include <gtest/gtest.h>

#include "tessaly/model/registry.h"
#include "test_support.h"

namespace tessaly::model {
namespace {

using testing::Box;

TEST(RoundTrip, EveryTypeWritesReadsAndWritesTheSameBytes) {
  JsonReader reader;
  std::size_t checked = 0;
  for (const TypeInfo* type : allTypes()) {
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
      Box original(*type);
      testing::ValueGenerator(seed * 7919u + static_cast<std::uint32_t>(checked)).fill(*type, original.value);
      std::string first;
      ASSERT_TRUE(encodeValue(*type, original.value, first)) << type->name;
      Box again(*type);
      const auto read = reader.decodeValue(*type, first, again.value);
      ASSERT_TRUE(read.ok()) << type->name << ": " << toString(read.error().kind) << " at "
                             << testing::pathJson(read.error().codingPath) << ": " << read.error().description << "\n"
                             << first;
      std::string second;
      ASSERT_TRUE(encodeValue(*type, again.value, second));
      ASSERT_EQ(first, second) << type->name;

      // Reading another document over the same value leaves nothing of the first behind.
      Box other(*type);
      testing::ValueGenerator(seed * 104729u).fill(*type, other.value);
      std::string otherText;
      ASSERT_TRUE(encodeValue(*type, other.value, otherText));
      ASSERT_TRUE(reader.decodeValue(*type, otherText, again.value)) << type->name;
      std::string overwritten;
      ASSERT_TRUE(encodeValue(*type, again.value, overwritten));
      ASSERT_EQ(overwritten, otherText) << type->name;
    }
    ++checked;
  }
  EXPECT_GT(checked, 1000u);
}

TEST(RoundTrip, EveryTypeIsFoundByName) {
  for (const TypeInfo* type : allTypes()) EXPECT_EQ(findType(type->name), type);
  EXPECT_EQ(findType("CoreNoSuchType"), nullptr);
  EXPECT_EQ(findType(""), nullptr);
}

}  // namespace
}  // namespace tessaly::model
