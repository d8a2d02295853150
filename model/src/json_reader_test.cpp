// Reading documents: the decoding rules, their error kinds and coding paths.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "tessaly/model/core_types.h"
#include "tessaly/model/json.h"
#include "test_support.h"

namespace tessaly::model {
namespace {

using testing::failsWith;
using testing::reencode;
using K = DecodeErrorKind;

TEST(ReadRecord, OptionalMembersAbsentOrNullMeanNoValue) {
  auto absent = decode<CoreNmRequestAccountsRequest>(R"({"version":2})");
  auto null = decode<CoreNmRequestAccountsRequest>(R"({"version":2,"userRequested":null})");
  ASSERT_TRUE(absent.ok() && null.ok());
  EXPECT_FALSE(absent->userRequested.has_value());
  EXPECT_FALSE(null->userRequested.has_value());
  EXPECT_EQ(testing::jsonOf(*null), R"({"version":2})");
  auto present = decode<CoreNmRequestAccountsRequest>(R"({"userRequested":false,"version":2})");
  ASSERT_TRUE(present.ok());
  EXPECT_EQ(present->userRequested, false);
}

TEST(ReadRecord, RequiredMembersMissingNullOrMisspelled) {
  EXPECT_TRUE(failsWith<CoreNmhRequest>(R"({"callbackId":7})", K::keyNotFound, R"(["invocation"])"));
  EXPECT_TRUE(failsWith<CoreNmhRequest>(R"({"callbackId":null,"invocation":{"type":"Lock"}})", K::valueNotFound,
                                        R"(["callbackId"])"));
  // Names match exactly: a capitalised member is just an unknown member.
  EXPECT_TRUE(failsWith<CoreNmhRequest>(R"({"CallbackId":7,"invocation":{"type":"Lock"}})", K::keyNotFound,
                                        R"(["callbackId"])"));
  // Fields are checked in declaration order, so the first faulty one is reported.
  EXPECT_TRUE(failsWith<CoreNmhRequest>(R"({"invocation":5})", K::keyNotFound, R"(["callbackId"])"));
  EXPECT_TRUE(failsWith<CoreNmPromptToAddAccountRequest>(R"({"components":{}})", K::keyNotFound, R"(["accountUuid"])"));
}

TEST(ReadRecord, MembersInAnyOrderUnknownIgnoredLastDuplicateWins) {
  EXPECT_EQ(reencode<CoreNmhRequest>(R"({"x":[1,{"y":null}],"invocation":{"type":"NmLockState"},"callbackId":7})"),
            R"({"callbackId":7,"invocation":{"type":"NmLockState"}})");
  EXPECT_EQ(reencode<CoreNmItemRequest>(R"({"itemUuid":"i","accountUuid":"a","vaultUuid":"v","itemUuid":"j"})"),
            R"({"accountUuid":"a","vaultUuid":"v","itemUuid":"j"})");
}

TEST(ReadRecord, WrongJsonKindIsTypeMismatch) {
  EXPECT_TRUE(failsWith<CoreNmhRequest>("[]", K::typeMismatch, "[]"));
  EXPECT_TRUE(failsWith<CoreNmhRequest>("null", K::valueNotFound, "[]"));
  EXPECT_TRUE(failsWith<CoreNmItemRequest>(R"({"accountUuid":1,"vaultUuid":"v","itemUuid":"i"})", K::typeMismatch,
                                           R"(["accountUuid"])"));
  EXPECT_TRUE(failsWith<CoreNmShouldPromptToAddAccountResponse>(R"({"shouldPrompt":"true"})", K::typeMismatch,
                                                                R"(["shouldPrompt"])"));
}

TEST(ReadRecord, RecordWithoutFieldsAcceptsAnyValue) {
  for (const char* json : {"{}", R"({"extra":1})", "[]", "null", "7", R"("text")"}) {
    EXPECT_TRUE(decode<CoreError>(json).ok()) << json;
  }
  EXPECT_EQ(testing::jsonOf(CoreError{}), "{}");
}

TEST(ReadNumbers, IntegersAreNeverTruncated) {
  auto read = [](const std::string& number) {
    return decode<CoreNmhRequest>(R"({"callbackId":)" + number + R"(,"invocation":{"type":"Lock"}})");
  };
  EXPECT_EQ(read("18446744073709551615")->callbackId, 18446744073709551615ull);
  EXPECT_EQ(read("0")->callbackId, 0u);
  EXPECT_EQ(read("1e3")->callbackId, 1000u);  // an exact integer written with an exponent is that integer
  for (const char* bad : {"-1", "1.5", "1e-3", "2e19", "-0.5"}) {
    auto r = read(bad);
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.error().kind, K::dataCorrupted) << bad;
    EXPECT_EQ(testing::pathJson(r.error().codingPath), R"(["callbackId"])") << bad;
  }
  // Width: UInt32, UInt16, UInt8 and Int32 each reject the first value past their range.
  EXPECT_TRUE(failsWith<CoreNmRequestAccountsRequest>(R"({"version":4294967296})", K::dataCorrupted, R"(["version"])"));
  EXPECT_TRUE(decode<CoreNmRequestAccountsRequest>(R"({"version":4294967295})").ok());
  EXPECT_TRUE(failsWith<CoreEditItemSaveValueMonthYear>(R"({"id":"x","month":256,"year":1})", K::dataCorrupted,
                                                        R"(["month"])"));
  EXPECT_TRUE(failsWith<CoreEditItemSaveValueMonthYear>(R"({"id":"x","month":1,"year":65536})", K::dataCorrupted,
                                                        R"(["year"])"));
  EXPECT_TRUE(failsWith<CoreMessageBoxResponse>(R"({"buttonId":2147483648})", K::dataCorrupted, R"(["buttonId"])"));
  EXPECT_EQ(decode<CoreMessageBoxResponse>(R"({"buttonId":-2147483648})")->buttonId, INT32_MIN);
  EXPECT_TRUE(failsWith<CoreMessageBoxResponse>(R"({"buttonId":"1"})", K::typeMismatch, R"(["buttonId"])"));
}

TEST(ReadNumbers, FloatMustFitThirtyTwoBits) {
  auto read = [](const std::string& number) {
    return decode<CoreGeneratePasswordDetails>(R"({"password":"p","entropy":)" + number + R"(,"strengthPercent":1})");
  };
  EXPECT_FLOAT_EQ(read("3.4028234e38")->entropy, 3.4028234e38f);
  EXPECT_FLOAT_EQ(read("7")->entropy, 7.0f);
  EXPECT_EQ(read("3.4028235e38")->entropy, std::numeric_limits<float>::max());  // rounds to the largest Float
  EXPECT_FALSE(read("3.40282357e38").ok());                                      // rounds to infinity
  EXPECT_EQ(read("1e-50")->entropy, 0.0f);  // underflow reads as zero, as with any decoder
  auto tooLarge = read("3.5e38");
  ASSERT_FALSE(tooLarge.ok());
  EXPECT_EQ(tooLarge.error().kind, K::dataCorrupted);
  EXPECT_EQ(testing::pathJson(tooLarge.error().codingPath), R"(["entropy"])");
}

// The parser refuses integers beyond 64 bits with the whole document; the reader must still report each one
// at its member, as it does any other number that does not fit.
TEST(ReadNumbers, BeyondSixtyFourBitsFailAtTheirMember) {
  const std::string lock = R"(,"invocation":{"type":"Lock"}})";
  EXPECT_TRUE(failsWith<CoreNmhRequest>(R"({"callbackId":18446744073709551616)" + lock, K::dataCorrupted,
                                        R"(["callbackId"])",
                                        "Parsed JSON number <18446744073709551616> does not fit in UInt64."));
  EXPECT_TRUE(failsWith<CoreNmhRequest>(R"({"callbackId":-9223372036854775809)" + lock, K::dataCorrupted,
                                        R"(["callbackId"])",
                                        "Parsed JSON number <-9223372036854775809> does not fit in UInt64."));
  EXPECT_TRUE(failsWith<CoreNmRequestAccountsRequest>(R"({"version":123456789012345678901234567890})", K::dataCorrupted,
                                                      R"(["version"])",
                                                      "Parsed JSON number <123456789012345678901234567890> does not fit in UInt32."));
  // Int64's lowest value reads; one below it is the first that does not, though it rounds to it as a Double.
  auto field = [](const std::string& tabIndex) { return R"({"opid":1,"type":"text","tabIndex":)" + tabIndex + "}"; };
  EXPECT_EQ(decode<CoreField>(field("-9223372036854775808"))->tabIndex, INT64_MIN);
  EXPECT_TRUE(failsWith<CoreField>(field("-9223372036854775809"), K::dataCorrupted, R"(["tabIndex"])",
                                   "Parsed JSON number <-9223372036854775809> does not fit in Int64."));

  // At depth: list items, byte arrays, map values, nested records.
  EXPECT_TRUE(failsWith<CoreCollectedPageDetails>(
      R"({"frames":[{"pathName":"/","uuid":"u","fields":[{"opid":1,"type":"text"},)"
      R"({"opid":2,"type":"text","maxLength":18446744073709551616}]}]})",
      K::dataCorrupted, R"(["frames",0,"fields",1,"maxLength"])"));
  EXPECT_TRUE(failsWith<CoreNmhResponseBrowserHelperInner>(
      R"({"incoming_request":[1,-99999999999999999999],"response":"MainAppNotRunning"})", K::dataCorrupted,
      R"(["incoming_request",1])", "Parsed JSON number <-99999999999999999999> does not fit in UInt8."));
  EXPECT_TRUE(failsWith<CoreVigiloDiffResponse>(R"({"compromisedWebsitesDiff":{"a":1,"b.c":99999999999999999999}})",
                                                K::dataCorrupted, R"(["compromisedWebsitesDiff","b.c"])"));
  // Inside a tagged union, the union's own error, as for any fault there.
  EXPECT_TRUE(failsWith<CoreNmhRequest>(
      R"({"callbackId":1,"invocation":{"type":"NmRequestAccounts","content":{"version":18446744073709551616}}})",
      K::typeMismatch, R"(["invocation"])", "Wrong type for CoreNmInvocation"));
  EXPECT_TRUE(failsWith<CoreNmhResponse>(
      R"({"type":"Success","content":{"callbackId":18446744073709551616,"response":{"type":"Nothing"}}})",
      K::typeMismatch, "[]", "Wrong type for CoreNmhResponse"));
}

TEST(ReadNumbers, BeyondSixtyFourBitsAreNumbersEverywhere) {
  // A number where another kind is required is a type mismatch, and it is never taken for a string.
  EXPECT_TRUE(failsWith<CoreNmItemRequest>(R"({"accountUuid":18446744073709551616,"vaultUuid":"v","itemUuid":"i"})",
                                           K::typeMismatch, R"(["accountUuid"])",
                                           "Expected to decode String but found a number instead."));
  EXPECT_TRUE(failsWith<CoreNmLockStateResponse>(R"({"lockState":18446744073709551616})", K::typeMismatch,
                                                 R"(["lockState"])"));
  EXPECT_TRUE(failsWith<CoreNmhRequest>(R"({"callbackId":1,"invocation":{"type":18446744073709551616}})",
                                        K::typeMismatch, R"(["invocation"])", "Wrong type for CoreNmInvocation"));
  EXPECT_TRUE(failsWith<CoreNmhRequest>("18446744073709551616", K::typeMismatch, "[]",
                                        "Expected to decode CoreNmhRequest but found a number instead."));
  // Where the value is not examined, it is as good as any other.
  EXPECT_EQ(reencode<CoreNmhRequest>(R"({"x":[18446744073709551616],"callbackId":7,)"
                                     R"("invocation":{"type":"NmShowUnlock","content":-18446744073709551616}})"),
            R"({"callbackId":7,"invocation":{"type":"NmShowUnlock"}})");
  EXPECT_TRUE(decode<CoreError>("18446744073709551616").ok());
  // A Float takes it, as long as it is within the Float range.
  auto entropy = [](const std::string& number) {
    return decode<CoreGeneratePasswordDetails>(R"({"password":"p","entropy":)" + number + R"(,"strengthPercent":1})");
  };
  EXPECT_EQ(entropy("123456789012345678901234567890")->entropy, static_cast<float>(123456789012345678901234567890.0));
  EXPECT_EQ(entropy("-18446744073709551616")->entropy, -18446744073709551616.0f);
  EXPECT_TRUE(failsWith<CoreGeneratePasswordDetails>(
      R"({"password":"p","entropy":)" + std::string(40, '9') + R"(,"strengthPercent":1})", K::dataCorrupted,
      R"(["entropy"])", "Parsed JSON number <" + std::string(40, '9') + "> does not fit in Float."));
  EXPECT_TRUE(failsWith<CoreGeneratePasswordDetails>(
      R"({"password":"p","entropy":)" + std::string(400, '9') + R"(,"strengthPercent":1})", K::dataCorrupted,
      R"(["entropy"])"));
}

TEST(ReadNumbers, BeyondSixtyFourBitsLeaveStringsAlone) {
  // Strings of digits, escaped quotes and backslashes before a big integer, and a big integer that follows
  // strings of the same digits: the strings read as written, the number is found where it stands.
  auto request = decode<CoreNmItemRequest>(
      R"({"accountUuid":"18446744073709551616","vaultUuid":"\\","itemUuid":"a\"1","x":18446744073709551616})");
  ASSERT_TRUE(request.ok());
  EXPECT_EQ(request->accountUuid, "18446744073709551616");
  EXPECT_EQ(request->vaultUuid, "\\");
  EXPECT_EQ(request->itemUuid, "a\"1");
  EXPECT_TRUE(failsWith<CoreNmItemRequest>(
      R"({"accountUuid":"\\","18446744073709551616":"\"","vaultUuid":18446744073709551616,"itemUuid":"i"})",
      K::typeMismatch, R"(["vaultUuid"])"));
  EXPECT_TRUE(failsWith<CoreCollectedPageDetails>(
      R"({"frames":[{"pathName":"99999999999999999999","uuid":"u","x":99999999999999999999,"fields":[)"
      R"({"opid":1,"type":"text","htmlId":"99999999999999999999"},{"opid":2,"type":"text","minLength":99999999999999999999}]}]})",
      K::dataCorrupted, R"(["frames",0,"fields",1,"minLength"])"));

  // A reader that met big integers reads the next document on its own terms: a string where a big integer
  // stood before is a string, and the next big integer is found where it stands.
  JsonReader reader;
  EXPECT_FALSE(reader.decode<CoreNmItemRequest>(R"({"accountUuid":18446744073709551616,"vaultUuid":"v","itemUuid":"i"})").ok());
  auto next = reader.decode<CoreNmItemRequest>(R"({"accountUuid":"18446744073709551616","vaultUuid":"v","itemUuid":"i"})");
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(next->accountUuid, "18446744073709551616");
  auto another = reader.decode<CoreNmItemRequest>(R"({"accountUuid":"a","vaultUuid":18446744073709551616,"itemUuid":"i"})");
  ASSERT_FALSE(another.ok());
  EXPECT_EQ(codingPathText(another.error().codingPath), "vaultUuid");
}

TEST(ReadNumbers, BeyondSixtyFourBitsInTextThatIsNotJson) {
  for (std::string json : {
           // A member name, after a big integer that the parser refuses first.
           std::string(R"({"callbackId":18446744073709551616,18446744073709551617:2,"invocation":{"type":"Lock"}})"),
           std::string(R"({"callbackId":018446744073709551616,"invocation":{"type":"Lock"}})"),     // a leading zero
           std::string(R"({"callbackId":18446744073709551616x,"invocation":{"type":"Lock"}})"),
           std::string(R"({"callbackId":18446744073709551616 "invocation":{"type":"Lock"}})"),
           std::string(R"({"callbackId":18446744073709551616,"invocation":{"type":"Lock"}} 1e400)"),
           std::string(R"({"callbackId":18446744073709551616,"invocation":{"type":"Lock"})"),
       }) {
    EXPECT_TRUE(failsWith<CoreNmhRequest>(json, K::dataCorrupted, "[]", "The given data was not valid JSON.")) << json;
  }
}

TEST(ReadBytes, ArraysOfByteValuesOnly) {
  auto ok = decode<CoreNmhResponseBrowserHelperInner>(R"({"incoming_request":[0,255,123],"response":"MainAppNotRunning"})");
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok->incoming_request, (std::vector<std::uint8_t>{0, 255, 123}));
  auto doc = [](const std::string& bytes) {
    return R"({"incoming_request":)" + bytes + R"(,"response":"MainAppNotRunning"})";
  };
  EXPECT_TRUE(failsWith<CoreNmhResponseBrowserHelperInner>(doc("[256]"), K::dataCorrupted, R"(["incoming_request",0])"));
  EXPECT_TRUE(failsWith<CoreNmhResponseBrowserHelperInner>(doc("[1,-1]"), K::dataCorrupted, R"(["incoming_request",1])"));
  EXPECT_TRUE(failsWith<CoreNmhResponseBrowserHelperInner>(doc("[1,2,null]"), K::valueNotFound, R"(["incoming_request",2])"));
  EXPECT_TRUE(failsWith<CoreNmhResponseBrowserHelperInner>(doc(R"("AQI=")"), K::typeMismatch, R"(["incoming_request"])"));
  EXPECT_TRUE(failsWith<CoreNmhResponseBrowserHelperInner>(doc(R"(["1"])"), K::typeMismatch, R"(["incoming_request",0])"));
}

TEST(ReadEnumerations, WireStringsAreExactAndCaseSensitive) {
  EXPECT_TRUE(failsWith<CoreNmLockStateResponse>(R"({"lockState":"Unknown"})", K::dataCorrupted, R"(["lockState"])"));
  EXPECT_TRUE(failsWith<CoreNmLockStateResponse>(R"({"lockState":"locked"})", K::dataCorrupted, R"(["lockState"])"));
  EXPECT_TRUE(failsWith<CoreNmLockStateResponse>(R"({"lockState":1})", K::typeMismatch, R"(["lockState"])"));
  EXPECT_TRUE(failsWith<CoreBiometryMethod>(R"("TouchID")", K::dataCorrupted, "[]"));
  EXPECT_EQ(decode<CoreBiometryMethod>(R"("TouchId")").value(), CoreBiometryMethod::touchId);
  // A large table is searched through its index; every case must still be found, the unknown ones not.
  EXPECT_EQ(decode<CoreThemedIconFile>(R"("whatsApp")").value(), CoreThemedIconFile::whatsApp);
  EXPECT_EQ(decode<CoreThemedIconFile>(R"("archive")").value(), CoreThemedIconFile::archive);
  EXPECT_TRUE(failsWith<CoreThemedIconFile>(R"("whatsapp")", K::dataCorrupted, "[]"));
  EXPECT_TRUE(failsWith<CoreJwk>(R"({"kid":"k","key_ops":["sign","fly"]})", K::dataCorrupted, R"(["key_ops",1])"));
}

TEST(ReadUnions, UnitCasesIgnoreTheirContent) {
  EXPECT_EQ(decode<CoreNmInvocation>(R"({"type":"NmShowUnlock","content":42})")->which(), CoreNmInvocation::Case::nmShowUnlock);
  EXPECT_EQ(decode<CoreEnclaveError>(R"({"content":5,"type":"DecryptFailed"})")->which(), CoreEnclaveError::Case::decryptFailed);
  EXPECT_EQ(reencode<CoreNmInvocation>(R"({"content":null,"type":"Lock","other":[]})"), R"({"type":"Lock"})");
}

TEST(ReadUnions, AnyFaultIsTheUnionsOwnError) {
  const char* wrong = "Wrong type for CoreNmInvocation";
  EXPECT_TRUE(failsWith<CoreNmInvocation>(R"({"type":"NmRequestAccounts"})", K::typeMismatch, "[]", wrong));
  EXPECT_TRUE(failsWith<CoreNmInvocation>(R"({"type":"NmRequestAccounts","content":null})", K::typeMismatch, "[]", wrong));
  EXPECT_TRUE(failsWith<CoreNmInvocation>(R"({"type":"NmRequestAccounts","content":{"version":-1}})", K::typeMismatch, "[]", wrong));
  EXPECT_TRUE(failsWith<CoreNmInvocation>(R"({"content":{}})", K::typeMismatch, "[]", wrong));
  EXPECT_TRUE(failsWith<CoreNmInvocation>(R"({"type":null})", K::typeMismatch, "[]", wrong));
  EXPECT_TRUE(failsWith<CoreNmInvocation>(R"({"type":7})", K::typeMismatch, "[]", wrong));
  EXPECT_TRUE(failsWith<CoreNmInvocation>(R"({"Type":"Lock"})", K::typeMismatch, "[]", wrong));
  EXPECT_TRUE(failsWith<CoreNmhRequest>(R"({"callbackId":7,"invocation":{"type":"nmLockState"}})", K::typeMismatch,
                                        R"(["invocation"])", wrong));
  // The same wire string is a unit case in one union and a payload case in another.
  EXPECT_TRUE(failsWith<CoreNmResponse>(R"({"type":"NmLockState"})", K::typeMismatch, "[]", "Wrong type for CoreNmResponse"));
  EXPECT_TRUE(failsWith<CoreKeychainError>(R"({"type":"FailedWithKeychainErrorCode"})", K::typeMismatch, "[]",
                                           "Wrong type for CoreKeychainError"));
  EXPECT_TRUE(failsWith<CoreCategory>(R"({"type":"1"})", K::typeMismatch, "[]", "Wrong type for CoreCategory"));
  // Not an object at all: the failure is the reader's own, at the union's path.
  EXPECT_TRUE(failsWith<CoreNmhRequest>(R"({"callbackId":7,"invocation":"Lock"})", K::typeMismatch, R"(["invocation"])"));
}

TEST(ReadUnions, OutermostUnionWins) {
  const char* badAccount =
      R"({"type":"Success","content":{"callbackId":12,"response":{"type":"NmRequestAccounts","content":{"accounts":[)"
      R"({"type":"Locked","content":{"accountUuid":"a","accountName":"n","userVersion":3,"email":"e","server":"s",)"
      R"("signInAddress":"s","userUuid":"u"}},{"type":"Locked","content":{"accountUuid":"a"}}]}}}})";
  EXPECT_TRUE(failsWith<CoreNmhResponse>(badAccount, K::typeMismatch, "[]", "Wrong type for CoreNmhResponse"));
  EXPECT_TRUE(failsWith<CoreNmhResponse>(
      R"({"type":"Failure","content":{"callbackId":3,"response":{"type":"UnableToProcessRequest","content":null}}})",
      K::typeMismatch, "[]", "Wrong type for CoreNmhResponse"));
  // Outside every union, a record's fault keeps its own kind and path.
  EXPECT_TRUE(failsWith<CoreNmRequestAccountsResponse>(R"({"accounts":[{"type":"Locked","content":{}}]})",
                                                       K::typeMismatch, R"(["accounts",0])", "Wrong type for CoreNmAccount"));
  EXPECT_TRUE(failsWith<CoreNmRequestAccountsResponse>(R"({"accounts":[{"type":"Locked","content":{}}, 5]})",
                                                       K::typeMismatch, R"(["accounts",0])"));
}

TEST(ReadUnions, PayloadOfRecordWithoutFieldsNeedsContentButTakesNull) {
  // CoreMdFormatting's inlineCode case carries a record without fields.
  EXPECT_EQ(decode<CoreMdFormatting>(R"({"type":"InlineCode","content":null})")->which(), CoreMdFormatting::Case::inlineCode);
  EXPECT_EQ(decode<CoreMdFormatting>(R"({"type":"InlineCode","content":[1]})")->which(), CoreMdFormatting::Case::inlineCode);
  EXPECT_TRUE(failsWith<CoreMdFormatting>(R"({"type":"InlineCode"})", K::typeMismatch, "[]", "Wrong type for CoreMdFormatting"));
  EXPECT_EQ(reencode<CoreMdFormatting>(R"({"type":"InlineCode","content":7})"), R"({"type":"InlineCode","content":{}})");
}

TEST(ReadDocuments, MalformedJsonAndBadUtf8FailAtTheRoot) {
  for (std::string json : {std::string(R"({"callbackId":7,)"), std::string("{\"callbackId\":7"), std::string(""),
                           std::string(R"({"callbackId":7}x)"), std::string("{\"a\":\"\xff\"}")}) {
    EXPECT_TRUE(failsWith<CoreNmhRequest>(json, K::dataCorrupted, "[]")) << json;
  }
}

TEST(ReadDocuments, DeepNestingFailsCleanly) {
  std::string deep(100000, '[');
  EXPECT_TRUE(failsWith<CoreNmhRequest>(deep, K::dataCorrupted, "[]"));
  // Icons nest through lists as deep as the parser allows.
  std::string icon = R"({"id":"leaf","sources":[]})";
  for (int i = 0; i < 100; ++i) {
    icon = R"({"id":"i","sources":[{"type":"CompositeIcon","content":{"components":[)" + icon + "]}}]}";
  }
  EXPECT_EQ(reencode<CoreIcon>(icon), icon);
  std::string tooDeep = R"({"id":"leaf","sources":[]})";
  for (int i = 0; i < 200; ++i) {
    tooDeep = R"({"id":"i","sources":[{"type":"CompositeIcon","content":{"components":[)" + tooDeep + "]}}]}";
  }
  auto r = decode<CoreIcon>(tooDeep);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, K::dataCorrupted);
}

// The parser counts the items of an array only up to 0xFFFFFF; every item past that must still be read.
TEST(ReadLists, ItemsPastTheParsersCountAreRead) {
  constexpr std::size_t kCount = 0xFFFFFF + 2;
  std::string json = R"({"sectionTitle":"s","itemIndices":[)";
  json.reserve(json.size() + 2 * kCount + 8);
  for (std::size_t i = 0; i + 1 < kCount; ++i) json += "0,";
  json += R"(7]})";
  JsonReader reader;
  auto section = reader.decode<CoreItemListSection>(json);
  ASSERT_TRUE(section.ok());
  ASSERT_EQ(section->itemIndices.size(), kCount);
  EXPECT_EQ(section->itemIndices.back(), 7);
}

TEST(ReadMaps, ValuesAreReadAndPathsNameTheKey) {
  auto diff = decode<CoreVigiloDiffResponse>(R"({"compromisedWebsitesDiff":{"b.com":2,"a.com":1,"":0}})");
  ASSERT_TRUE(diff.ok());
  EXPECT_EQ(diff->compromisedWebsitesDiff.size(), 3u);
  EXPECT_EQ(diff->compromisedWebsitesDiff.at("b.com"), 2u);
  EXPECT_EQ(testing::jsonOf(*diff), R"({"compromisedWebsitesDiff":{"":0,"a.com":1,"b.com":2}})");
  EXPECT_EQ(reencode<CoreVigiloDiffResponse>(R"({"compromisedWebsitesDiff":{"a":1,"a":5}})"),
            R"({"compromisedWebsitesDiff":{"a":5}})");
  EXPECT_TRUE(failsWith<CoreVigiloDiffResponse>(R"({"compromisedWebsitesDiff":{"a":1,"b.c":-1}})", K::dataCorrupted,
                                                R"(["compromisedWebsitesDiff","b.c"])"));
  EXPECT_TRUE(failsWith<CoreVigiloDiffResponse>(R"({"compromisedWebsitesDiff":{"a":null}})", K::valueNotFound,
                                                R"(["compromisedWebsitesDiff","a"])"));
  EXPECT_TRUE(failsWith<CoreVigiloDiffResponse>(R"({"compromisedWebsitesDiff":[1]})", K::typeMismatch,
                                                R"(["compromisedWebsitesDiff"])"));
}

TEST(JsonReader, ReusedReaderGivesTheSameResults) {
  JsonReader reader;
  for (int i = 0; i < 3; ++i) {
    auto big = reader.decode<CoreNmhRequest>(R"({"callbackId":1,"invocation":{"type":"NmCreateItem","content":{"category":")" +
                                             std::string(10000, 'x') + R"("}}})");
    ASSERT_TRUE(big.ok());
    auto small = reader.decode<CoreNmhRequest>(R"({"callbackId":2,"invocation":{"type":"Lock"}})");
    ASSERT_TRUE(small.ok());
    EXPECT_EQ(small->callbackId, 2u);
    EXPECT_FALSE(reader.decode<CoreNmhRequest>(R"({"callbackId":2})").ok());
  }
}

// Reading over an earlier value must leave nothing of it behind, and both passes of the reader must agree,
// including on a repeated member whose earlier value is faulty.
TEST(JsonReader, ReadingOverAValueAndBothPassesAgree) {
  JsonReader reader;
  JsonReader exact(JsonReader::Pass::exactOnly);
  CoreNmRequestAccountsRequest accounts;
  ASSERT_TRUE(reader.decodeInto(R"({"version":2,"userRequested":true})", accounts));
  ASSERT_TRUE(reader.decodeInto(R"({"version":3})", accounts));
  EXPECT_EQ(testing::jsonOf(accounts), R"({"version":3})");
  ASSERT_TRUE(reader.decodeInto(R"({"version":4,"userRequested":true})", accounts));
  ASSERT_TRUE(reader.decodeInto(R"({"version":5,"userRequested":null})", accounts));
  EXPECT_EQ(testing::jsonOf(accounts), R"({"version":5})");

  CoreNmhRequest request;
  ASSERT_TRUE(reader.decodeInto(R"({"callbackId":1,"invocation":{"type":"NmCreateItem","content":{"category":"x"}}})", request));
  ASSERT_TRUE(reader.decodeInto(R"({"callbackId":2,"invocation":{"type":"NmLockState"}})", request));
  EXPECT_EQ(testing::jsonOf(request), R"({"callbackId":2,"invocation":{"type":"NmLockState"}})");

  const std::string firstFaulty = R"({"itemUuid":5,"accountUuid":"a","vaultUuid":"v","itemUuid":"j"})";
  const std::string lastFaulty = R"({"itemUuid":"j","accountUuid":"a","vaultUuid":"v","itemUuid":5})";
  for (JsonReader* r : {&reader, &exact}) {
    auto read = r->decode<CoreNmItemRequest>(firstFaulty);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read->itemUuid, "j");
    auto failed = r->decode<CoreNmItemRequest>(lastFaulty);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind, K::typeMismatch);
    EXPECT_EQ(codingPathText(failed.error().codingPath), "itemUuid");
    EXPECT_EQ(failed.error().description, "Expected to decode String but found a number instead.");
  }
}

TEST(JsonReader, PaddedTextIsReadInPlace) {
  std::string text = R"({"callbackId":7,"invocation":{"type":"NmLockState"}})";
  const std::string original = text;
  JsonReader reader;
  CoreNmhRequest request;
  ASSERT_TRUE(reader.decodeInto(PaddedJson(text), request));
  EXPECT_EQ(request.callbackId, 7u);
  EXPECT_EQ(text, original);
  EXPECT_GE(text.capacity(), text.size() + PaddedJson::kPadding);
  std::string bad = R"({"callbackId":7)";
  const auto failed = reader.decodeInto(PaddedJson(bad), request);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind, K::dataCorrupted);
}

}  // namespace
}  // namespace tessaly::model
