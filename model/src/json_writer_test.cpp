// Writing values: member order, optional members, unions, numbers, escapes and unencodable values.
#include <gtest/gtest.h>

#include <limits>

#include "tessaly/model/core_types.h"
#include "tessaly/model/json.h"
#include "test_support.h"

namespace tessaly::model {
namespace {

using testing::jsonOf;

// One of each shape: a record with and without an optional member, bytes, a union case with and without
// content, an enumeration, and a record of enumerations with snake-case keys.
TEST(Write, OneOfEachShape) {
  EXPECT_EQ(jsonOf(CoreNmRequestAccountsRequest{2, std::nullopt}), R"({"version":2})");
  EXPECT_EQ(jsonOf(CoreNmRequestAccountsRequest{2, true}), R"({"version":2,"userRequested":true})");
  EXPECT_EQ(jsonOf(CoreNmhResponseBrowserHelperInner{{0x7B, 0x7D}, CoreBrowserHelperResponse::mainAppNotRunning}),
            R"({"incoming_request":[123,125],"response":"MainAppNotRunning"})");
  EXPECT_EQ(jsonOf(CoreNmInvocation::nmRequestAccounts({2, std::nullopt})),
            R"({"type":"NmRequestAccounts","content":{"version":2}})");
  EXPECT_EQ(jsonOf(CoreNmInvocation::nmShowUnlock()), R"({"type":"NmShowUnlock"})");
  EXPECT_EQ(jsonOf(CoreKeychainError::failedWithKeychainErrorCode(-25300)),
            R"({"type":"FailedWithKeychainErrorCode","content":-25300})");
  EXPECT_EQ(jsonOf(CoreBiometricAuthResponse::userFallBack), R"("UserFallBack")");
}

// Strings are written eight bytes at a time when nothing in them needs an escape; every byte that does must be
// caught wherever it falls in or around such a block, and escaped as below (the short forms where JSON has them).
TEST(Write, EscapesAreFoundAtEveryPositionAndLength) {
  auto reference = [](std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
      static constexpr char kHex[] = "0123456789abcdef";
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        default:
          if (c < 0x20) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
          } else {
            out += static_cast<char>(c);
          }
      }
    }
    return out + "\"";
  };
  // Neighbours of the special bytes too: 0x1F/0x20, 0x21-0x23 around the quote, 0x5B-0x5D around the
  // backslash, and bytes with the high bit set.
  const unsigned char specials[] = {0x00, 0x01, 0x08, 0x0A, 0x1F, 0x20, 0x21, 0x22, 0x23,
                                    0x5B, 0x5C, 0x5D, 0x7F, 0x80, 0xA2, 0xDC, 0xFF};
  for (std::size_t length = 0; length <= 20; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      for (unsigned char special : specials) {
        std::string text(length, 'a');
        text[at] = static_cast<char>(special);
        std::string out;
        appendJsonString(out, text);
        ASSERT_EQ(out, reference(text)) << "length " << length << ", byte " << int{special} << " at " << at;
      }
    }
  }
  std::string out = "kept:";
  appendJsonString(out, std::string(5000, '\x01'));
  EXPECT_EQ(out, "kept:" + reference(std::string(5000, '\x01')));
}

TEST(Write, FloatsAreShortestAndNonFiniteFails) {
  CoreGeneratePasswordDetails details{"p", 0.1f, 100.0f};
  EXPECT_EQ(jsonOf(details), R"({"password":"p","entropy":0.1,"strengthPercent":100})");
  for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                    -std::numeric_limits<float>::infinity()}) {
    details.strengthPercent = bad;
    EXPECT_EQ(testing::pathJson(encode(details).error().codingPath), R"(["strengthPercent"])");
  }
  details.strengthPercent = std::numeric_limits<float>::quiet_NaN();
  // A failed write leaves what the buffer held before.
  std::string out = "prefix";
  EXPECT_FALSE(encodeValue(typeInfo<CoreGeneratePasswordDetails>(), &details, out).ok());
  EXPECT_EQ(out, "prefix");
}

TEST(Write, NonFiniteFloatDeepInsideAUnionNamesItsPath) {
  CoreEditItemSaveValueConcealedText text{"id", "t", std::numeric_limits<float>::infinity()};
  EXPECT_EQ(testing::pathJson(encode(CoreEditItemSaveValue::concealedText(text)).error().codingPath),
            R"(["content","entropy"])");
}

}  // namespace
}  // namespace tessaly::model
