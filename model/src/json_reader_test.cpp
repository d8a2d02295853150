// Reading documents: the decoding rules, their error kinds, texts and coding paths. A fault inside a tagged union
// is the outermost union's own error at its path; any other fault is reported at its own member.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tessaly/model/core_types.h"
#include "tessaly/model/json.h"
#include "test_support.h"

namespace tessaly::model {
namespace {

using testing::failsWith;
using testing::reencode;
using K = DecodeErrorKind;

template <ModelType T>
const TypeInfo& of = *ModelTraits<T>::info;

const std::string kBig = "18446744073709551616";  // one past UInt64
const std::string kLock = R"(,"invocation":{"type":"Lock"}})";
const std::string kFrames =
    R"({"filledDesignations":[],"frames":[{"allowedTargets":{"type":"Anywhere"},"operations":[],"uuid":"a"},)"
    R"({"allowedTargets":{"type":"Targets","data":[{"type":"App","data":"x"}]},"operations":[],"uuid":"b"}]})";
const std::string kMarkdown =
    R"({"elements":{"type":{"tag":"Root"},"children":[{"type":{"tag":"Paragraph"},"children":[{"type":{"tag":)"
    R"("Text","attrs":"hi"}},{"type":{"tag":"Link","attrs":{"url":"https://x","linkType":"web"}},"children":[)"
    R"({"type":{"tag":"Text","attrs":"x"}}]}]},{"type":{"tag":"OrderedList","attrs":3},"children":[]}]}})";

std::string bytesDoc(const std::string& bytes) {
  return R"({"incoming_request":)" + bytes + R"(,"response":"MainAppNotRunning"})";
}
std::string entropyDoc(const std::string& number) {
  return R"({"password":"p","entropy":)" + number + R"(,"strengthPercent":1})";
}

// Documents of one type that fail alike.
struct Failure {
  const TypeInfo& type;
  K kind;
  const char* path;
  std::vector<std::string> documents;
  std::string description = {};  // empty when any will do
};

TEST(Read, FaultsAreReportedWithTheirKindPathAndText) {
  const std::string wrongInvocation = "Wrong type for CoreNmInvocation";
  const std::string notString = "Expected to decode String but found a number instead.";
  const std::string notJson = "The given data was not valid JSON.";
  const std::string nested = R"({"callbackId":1,"invocation":{"type":"NmRequestAccounts","content":{"version":)";
  const Failure cases[] = {
      // Records: required members missing, null or misspelled; the first faulty field in declaration order.
      {of<CoreNmhRequest>, K::keyNotFound, R"(["invocation"])", {R"({"callbackId":7})"}},
      {of<CoreNmhRequest>, K::valueNotFound, R"(["callbackId"])", {R"({"callbackId":null)" + kLock}},
      {of<CoreNmhRequest>, K::keyNotFound, R"(["callbackId"])", {R"({"CallbackId":7)" + kLock, R"({"invocation":5})"}},
      {of<CoreNmhRequest>, K::typeMismatch, "[]", {"[]"}},
      {of<CoreNmhRequest>, K::valueNotFound, "[]", {"null"}},
      {of<CoreNmItemRequest>,
       K::typeMismatch,
       R"(["accountUuid"])",
       {R"({"accountUuid":1,"vaultUuid":"v","itemUuid":"i"})", R"({"accountUuid":)" + kBig + R"(,"vaultUuid":"v"})"},
       notString},
      {of<CoreNmShouldPromptToAddAccountResponse>, K::typeMismatch, R"(["shouldPrompt"])", {R"({"shouldPrompt":"1"})"}},
      // Integers are never truncated; each width refuses the first value past its range.
      {of<CoreNmhRequest>,
       K::dataCorrupted,
       R"(["callbackId"])",
       {R"({"callbackId":-1)" + kLock, R"({"callbackId":1.5)" + kLock, R"({"callbackId":2e19)" + kLock}},
      {of<CoreNmRequestAccountsRequest>, K::dataCorrupted, R"(["version"])", {R"({"version":4294967296})"}},
      {of<CoreEditItemSaveValueMonthYear>, K::dataCorrupted, R"(["month"])", {R"({"id":"x","month":256,"year":1})"}},
      {of<CoreEditItemSaveValueMonthYear>, K::dataCorrupted, R"(["year"])", {R"({"id":"x","month":1,"year":65536})"}},
      {of<CoreMessageBoxResponse>, K::dataCorrupted, R"(["buttonId"])", {R"({"buttonId":2147483648})"}},
      {of<CoreMessageBoxResponse>, K::typeMismatch, R"(["buttonId"])", {R"({"buttonId":"1"})"}},
      {of<CoreGeneratePasswordDetails>,
       K::dataCorrupted,
       R"(["entropy"])",
       {entropyDoc("3.40282357e38"), entropyDoc("3.5e38"), entropyDoc(std::string(400, '9'))}},
      // Beyond 64 bits the parser refuses the whole document; the reader still names the member.
      {of<CoreNmhRequest>,
       K::dataCorrupted,
       R"(["callbackId"])",
       {R"({"callbackId":)" + kBig + kLock},
       "Parsed JSON number <18446744073709551616> does not fit in UInt64."},
      {of<CoreNmhRequest>,
       K::dataCorrupted,
       R"(["callbackId"])",
       {R"({"callbackId":-9223372036854775809)" + kLock},
       "Parsed JSON number <-9223372036854775809> does not fit in UInt64."},
      {of<CoreNmRequestAccountsRequest>,
       K::dataCorrupted,
       R"(["version"])",
       {R"({"version":123456789012345678901234567890})"},
       "Parsed JSON number <123456789012345678901234567890> does not fit in UInt32."},
      {of<CoreField>,
       K::dataCorrupted,
       R"(["tabIndex"])",
       {R"({"opid":1,"type":"text","tabIndex":-9223372036854775809})"},
       "Parsed JSON number <-9223372036854775809> does not fit in Int64."},
      {of<CoreGeneratePasswordDetails>,
       K::dataCorrupted,
       R"(["entropy"])",
       {entropyDoc(std::string(40, '9'))},
       "Parsed JSON number <" + std::string(40, '9') + "> does not fit in Float."},
      {of<CoreNmhResponseBrowserHelperInner>,
       K::dataCorrupted,
       R"(["incoming_request",1])",
       {bytesDoc("[1,-99999999999999999999]")},
       "Parsed JSON number <-99999999999999999999> does not fit in UInt8."},
      {of<CoreCollectedPageDetails>,
       K::dataCorrupted,
       R"(["frames",0,"fields",1,"minLength"])",
       {R"({"frames":[{"pathName":"99999999999999999999","uuid":"u","x":99999999999999999999,"fields":[{"opid":1,)"
        R"("type":"text","htmlId":"99999999999999999999"},{"opid":2,"type":"text","minLength":)" +
        kBig + "}]}]}"}},
      {of<CoreVigiloDiffResponse>,
       K::dataCorrupted,
       R"(["compromisedWebsitesDiff","b.c"])",
       {R"({"compromisedWebsitesDiff":{"a":1,"b.c":)" + kBig + "}}",
        R"({"compromisedWebsitesDiff":{"a":1,"b.c":-1}})"}},
      {of<CoreNmItemRequest>,
       K::typeMismatch,
       R"(["vaultUuid"])",
       {R"({"accountUuid":"\\","18446744073709551616":"\"","vaultUuid":)" + kBig + R"(,"itemUuid":"i"})"},
       notString},
      {of<CoreNmhRequest>,
       K::typeMismatch,
       "[]",
       {kBig},
       "Expected to decode CoreNmhRequest but found a number instead."},
      // Text that is not JSON, with a big integer before the fault or without, and bad UTF-8, fail at the root.
      {of<CoreNmhRequest>,
       K::dataCorrupted,
       "[]",
       {R"({"callbackId":)" + kBig + ",18446744073709551617:2" + kLock, R"({"callbackId":0)" + kBig + kLock,
        R"({"callbackId":)" + kBig + "x" + kLock, R"({"callbackId":)" + kBig + R"( "invocation":{"type":"Lock"}})",
        R"({"callbackId":)" + kBig + kLock + " 1e400", R"({"callbackId":)" + kBig + R"(,"invocation":{"type":"Lock"})"},
       notJson},
      {of<CoreNmhRequest>,
       K::dataCorrupted,
       "[]",
       {R"({"callbackId":7,)", "", R"({"callbackId":7}x)", "{\"a\":\"\xff\"}", std::string(100000, '[')}},
      // Bytes: arrays of values 0 to 255 only.
      {of<CoreNmhResponseBrowserHelperInner>, K::dataCorrupted, R"(["incoming_request",0])", {bytesDoc("[256]")}},
      {of<CoreNmhResponseBrowserHelperInner>, K::valueNotFound, R"(["incoming_request",2])", {bytesDoc("[1,2,null]")}},
      {of<CoreNmhResponseBrowserHelperInner>, K::typeMismatch, R"(["incoming_request"])", {bytesDoc(R"("AQI=")")}},
      {of<CoreNmhResponseBrowserHelperInner>, K::typeMismatch, R"(["incoming_request",0])", {bytesDoc(R"(["1"])")}},
      // Enumerations: exact, case-sensitive wire strings, also in large tables and inside lists.
      {of<CoreNmLockStateResponse>, K::dataCorrupted, R"(["lockState"])", {R"({"lockState":"locked"})"}},
      {of<CoreNmLockStateResponse>, K::typeMismatch, R"(["lockState"])", {R"({"lockState":1})"}},
      {of<CoreThemedIconFile>, K::dataCorrupted, "[]", {R"("whatsapp")"}},
      {of<CoreFillPayload>,
       K::dataCorrupted,
       R"(["filledDesignations",1])",
       {R"({"filledDesignations":["username","password"],"frames":[]})"}},
      // Maps: the path names the key.
      {of<CoreVigiloDiffResponse>,
       K::valueNotFound,
       R"(["compromisedWebsitesDiff","a"])",
       {R"({"compromisedWebsitesDiff":{"a":null}})"}},
      {of<CoreVigiloDiffResponse>,
       K::typeMismatch,
       R"(["compromisedWebsitesDiff"])",
       {R"({"compromisedWebsitesDiff":[1]})"}},
      // Unions: any fault is the union's own error, the outermost union's at its path; a unit case in one union is
      // a payload case in another.
      {of<CoreNmInvocation>,
       K::typeMismatch,
       "[]",
       {R"({"type":"NmRequestAccounts"})", R"({"type":"NmRequestAccounts","content":null})",
        R"({"type":"NmRequestAccounts","content":{"version":-1}})", R"({"content":{}})", R"({"type":null})",
        R"({"Type":"Lock"})"},
       wrongInvocation},
      {of<CoreNmhRequest>,
       K::typeMismatch,
       R"(["invocation"])",
       {R"({"callbackId":7,"invocation":{"type":"nmLockState"}})", nested + kBig + "}}}",
        R"({"callbackId":1,"invocation":{"type":)" + kBig + "}}"},
       wrongInvocation},
      {of<CoreNmhRequest>, K::typeMismatch, R"(["invocation"])", {R"({"callbackId":7,"invocation":"Lock"})"}},
      {of<CoreNmResponse>, K::typeMismatch, "[]", {R"({"type":"NmLockState"})"}, "Wrong type for CoreNmResponse"},
      {of<CoreMdFormatting>, K::typeMismatch, "[]", {R"({"type":"InlineCode"})"}, "Wrong type for CoreMdFormatting"},
      {of<CoreFillTarget>,
       K::typeMismatch,
       "[]",
       {R"({"type":"Url","content":"https://a"})", R"({"type":"url","data":"https://a"})",
        R"({"type":"Url","data":7})"},
       "Wrong type for CoreFillTarget"},
      {of<CoreFillPayload>,
       K::typeMismatch,
       R"(["frames",1,"allowedTargets"])",
       {kFrames},
       "Wrong type for CoreAllowedTargets"},
      {of<CoreCoreResult>,
       K::typeMismatch,
       "[]",
       {R"({"type":"Success","content":{"type":"FillItem","content":)" + kFrames + "}}"},
       "Wrong type for CoreCoreResult"},
      {of<CoreInitSaveSessionRequest>,
       K::typeMismatch,
       R"(["data"])",
       {R"({"data":{"type":"SaveRequest","data":{"data":"d","urls":[],"integration":"Ramp"}},"itemTemplate":"001",)"
        R"("tabId":2,"tabUrl":"u"})"},
       "Wrong type for CoreSaveSessionInitData"},
      {of<CoreNmhResponse>,
       K::typeMismatch,
       "[]",
       {R"({"type":"Success","content":{"callbackId":)" + kBig + R"(,"response":{"type":"Nothing"}}})",
        R"({"type":"Failure","content":{"callbackId":3,"response":{"type":"UnableToProcessRequest","content":null}}})"},
       "Wrong type for CoreNmhResponse"},
      {of<CoreNmRequestAccountsResponse>,
       K::typeMismatch,
       R"(["accounts",0])",
       {R"({"accounts":[{"type":"Locked","content":{}}, 5]})"},
       "Wrong type for CoreNmAccount"},
      // Recursive types report at depth.
      {of<CoreWebMarkdownResponse>,
       K::typeMismatch,
       R"(["elements","children",0,"children",1,"type"])",
       {std::string(kMarkdown).replace(kMarkdown.find(R"("web")"), 5, R"("Web")")},
       "Wrong type for CoreWebMdElementTag"},
      {of<CoreNode>,
       K::keyNotFound,
       R"(["children",0,"type"])",
       {R"({"type":{"tag":"Root"},"children":[{"children":[]}]})"}},
  };
  for (const Failure& c : cases) {
    for (const std::string& json : c.documents) EXPECT_TRUE(failsWith(c.type, json, c.kind, c.path, c.description));
  }
}

struct Reading {
  const TypeInfo& type;
  std::string json;
  std::string written;  // empty when the same as json
};

TEST(Read, AcceptedDocumentsAreWrittenBackInTheirCanonicalForm) {
  const Reading cases[] = {
      // Optional members absent or null have no value; unknown members are ignored; the last duplicate wins.
      {of<CoreNmRequestAccountsRequest>, R"({"version":2,"userRequested":null})", R"({"version":2})"},
      {of<CoreNmRequestAccountsRequest>, R"({"userRequested":false,"version":2})",
       R"({"version":2,"userRequested":false})"},
      {of<CoreNmhRequest>, R"({"x":[1,{"y":null}],"invocation":{"type":"NmLockState"},"callbackId":7})",
       R"({"callbackId":7,"invocation":{"type":"NmLockState"}})"},
      {of<CoreNmItemRequest>, R"({"itemUuid":"i","accountUuid":"a","vaultUuid":"v","itemUuid":"j"})",
       R"({"accountUuid":"a","vaultUuid":"v","itemUuid":"j"})"},
      {of<CoreNmItemRequest>,
       R"({"accountUuid":"18446744073709551616","vaultUuid":"\\","itemUuid":"a\"1","x":)" + kBig + "}",
       R"({"accountUuid":"18446744073709551616","vaultUuid":"\\","itemUuid":"a\"1"})"},
      // A record without fields takes any value.
      {of<CoreError>, R"({"extra":1})", "{}"},
      {of<CoreError>, "[]", "{}"},
      {of<CoreError>, "null", "{}"},
      {of<CoreError>, R"("text")", "{}"},
      {of<CoreError>, kBig, "{}"},
      // An exact integer written with an exponent is that integer; Floats round to the nearest.
      {of<CoreNmhRequest>, R"({"callbackId":1e3)" + kLock, R"({"callbackId":1000)" + kLock},
      {of<CoreGeneratePasswordDetails>, entropyDoc("1e-50"), entropyDoc("0")},
      {of<CoreGeneratePasswordDetails>, entropyDoc("-" + kBig), entropyDoc("-1.8446744e+19")},
      {of<CoreGeneratePasswordDetails>, entropyDoc("123456789012345678901234567890"), entropyDoc("1.2345679e+29")},
      // Maps are written sorted; the last duplicate wins.
      {of<CoreVigiloDiffResponse>, R"({"compromisedWebsitesDiff":{"b.com":2,"a.com":1,"":0,"b.com":3}})",
       R"({"compromisedWebsitesDiff":{"":0,"a.com":1,"b.com":3}})"},
      // Unit cases ignore their content; a payload record without fields needs content but takes null.
      {of<CoreNmInvocation>, R"({"content":null,"type":"Lock","other":[]})", R"({"type":"Lock"})"},
      {of<CoreEnclaveError>, R"({"content":5,"type":"DecryptFailed"})", R"({"type":"DecryptFailed"})"},
      {of<CoreNmhRequest>,
       R"({"x":[)" + kBig + R"(],"callbackId":7,"invocation":{"type":"NmShowUnlock","content":-)" + kBig + "}}",
       R"({"callbackId":7,"invocation":{"type":"NmShowUnlock"}})"},
      {of<CoreMdFormatting>, R"({"type":"InlineCode","content":null})", R"({"type":"InlineCode","content":{}})"},
      {of<CoreMdFormatting>, R"({"type":"InlineCode","content":[1]})", R"({"type":"InlineCode","content":{}})"},
  };
  for (const Reading& c : cases) {
    EXPECT_EQ(reencode(c.type, c.json), c.written.empty() ? c.json : c.written) << c.json;
  }
}

TEST(Read, DeepDocuments) {
  // Icons nest through lists as deep as the reader allows, and no deeper.
  std::string icon = R"({"id":"leaf","sources":[]})";
  for (int i = 0; i < 200; ++i) {
    icon = R"({"id":"i","sources":[{"type":"CompositeIcon","content":{"components":[)" + icon + "]}}]}";
    if (i == 99) { EXPECT_EQ(reencode(of<CoreIcon>, icon), icon); }
  }
  EXPECT_TRUE(failsWith(of<CoreIcon>, icon, K::dataCorrupted, "[]"));
  // A chain 200 nodes deep is written and read back whole.
  CoreNode node{CoreWebMdElementTag::text("bottom"), std::nullopt};
  for (int i = 0; i < 200; ++i) {
    node = CoreNode{i % 2 == 0 ? CoreWebMdElementTag::paragraph() : CoreWebMdElementTag::root(), std::vector{node}};
  }
  const auto deep = encode(node);
  ASSERT_TRUE(deep.ok());
  EXPECT_EQ(reencode(of<CoreNode>, *deep), *deep);
}

// The parser counts the items of an array only up to 0xFFFFFF; every item past that must still be read.
TEST(Read, ItemsPastTheParsersCountAreRead) {
  constexpr std::size_t kCount = 0xFFFFFF + 2;
  std::string json = R"({"sectionTitle":"s","itemIndices":[)";
  json.reserve(json.size() + 2 * kCount + 8);
  for (std::size_t i = 0; i + 1 < kCount; ++i) json += "0,";
  json += R"(7]})";
  auto section = decode<CoreItemListSection>(json);
  ASSERT_TRUE(section.ok());
  ASSERT_EQ(section->itemIndices.size(), kCount);
  EXPECT_EQ(section->itemIndices.back(), 7);
}

// A reused reader keeps nothing of the last document: not its big integers, not the value read over.
TEST(Read, AReusedReaderReadsEachDocumentOnItsOwnTerms) {
  JsonReader reader;
  const std::string bigAccount = R"({"accountUuid":)" + kBig + R"(,"vaultUuid":"v","itemUuid":"i"})";
  EXPECT_FALSE(reader.decode<CoreNmItemRequest>(bigAccount).ok());
  const std::string bigText = R"({"accountUuid":")" + kBig + R"(","vaultUuid":"v","itemUuid":"i"})";
  EXPECT_EQ(reader.decode<CoreNmItemRequest>(bigText).value().accountUuid, kBig);
  const std::string bigVault = R"({"accountUuid":"a","vaultUuid":)" + kBig + R"(,"itemUuid":"i"})";
  EXPECT_EQ(codingPathText(reader.decode<CoreNmItemRequest>(bigVault).error().codingPath), "vaultUuid");
  CoreNmhRequest request;
  ASSERT_TRUE(reader.decodeInto(R"({"callbackId":1,"invocation":{"type":"NmCreateItem","content":{"category":")" +
                                    std::string(10000, 'x') + R"("}}})",
                                request));
  ASSERT_TRUE(reader.decodeInto(R"({"callbackId":2,"invocation":{"type":"NmLockState"}})", request));
  EXPECT_EQ(testing::jsonOf(request), R"({"callbackId":2,"invocation":{"type":"NmLockState"}})");
}

// Both passes agree on a repeated member whose earlier value is faulty, and only the last one counts.
TEST(Read, ARepeatedMemberCountsOnlyLast) {
  const std::string firstFaulty = R"({"itemUuid":5,"accountUuid":"a","vaultUuid":"v","itemUuid":"j"})";
  for (auto pass : {JsonReader::Pass::quickThenExact, JsonReader::Pass::exactOnly}) {
    auto read = JsonReader(pass).decode<CoreNmItemRequest>(firstFaulty);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read->itemUuid, "j");
  }
  EXPECT_TRUE(failsWith(of<CoreNmItemRequest>, R"({"itemUuid":"j","accountUuid":"a","vaultUuid":"v","itemUuid":5})",
                        K::typeMismatch, R"(["itemUuid"])", "Expected to decode String but found a number instead."));
}

TEST(Read, PaddedTextIsReadInPlace) {
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
