#include "tessaly/base/utf8.h"

#include <gtest/gtest.h>

namespace tessaly::base {
namespace {

TEST(Utf8, WellFormedOnlyAsTheStandardHasIt) {
  for (const char* valid : {"", "plain", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_TRUE(isValidUtf8(valid)) << valid;
  }
  // Overlong, surrogate, beyond U+10FFFF, cut short, five bytes, a lone continuation byte.
  for (const char* invalid : {"\x80", "\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82",
                              "\xF8\x88\x80\x80\x80", "a\xC3"}) {
    EXPECT_FALSE(isValidUtf8(invalid)) << invalid;
  }
}

}  // namespace
}  // namespace tessaly::base
