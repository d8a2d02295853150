// The browser-path and desktop families: fill sessions, save sessions, inline menu and desktop invocations.
// These types use the unusual tag and content keys, hyphenated and rule-made wire strings, and the deepest
// nesting of tagged unions in the model, so they are where the generic reader and writer are most exposed.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
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

// Reads `json` as T and checks that the read succeeds.
template <ModelType T>
T read(const std::string& json) {
  auto result = decode<T>(json);
  EXPECT_TRUE(result.ok()) << json << " failed: "
                           << (result.ok() ? std::string() : result.error().description);
  return result.ok() ? *result : T{};
}

// ---------------------------------------------------------------------------------------------------------
// Fill-session messages: page description, designations, fill scripts and their carriers.

TEST(AutofillPage, SignInPageReadsAndWritesBackUnchanged) {
  const std::string json =
      R"({"frames":[{"fields":[{"formOpid":0,"htmlName":"user","opid":1,"type":"email"},)"
      R"({"formOpid":0,"htmlName":"pass","opid":2,"type":"password"}],"forms":[{"htmlMethod":"post","opid":0}],)"
      R"("pathName":"/login","uuid":"frame-1"}],"unparsedUrl":"https://example.com/login","title":"Sign in"})";
  EXPECT_EQ(reencode<CoreCollectedPageDetails>(json), json);
  auto page = read<CoreCollectedPageDetails>(json);
  ASSERT_EQ(page.frames.size(), 1u);
  ASSERT_EQ(page.frames[0].fields.size(), 2u);
  EXPECT_EQ(page.frames[0].fields[0].formOpid, 0u);
  EXPECT_EQ(page.frames[0].fields[0].type, CoreElementType::email);
  EXPECT_EQ(page.frames[0].fields[1].type, CoreElementType::password);
  EXPECT_FALSE(page.frames[0].direction.has_value());
  EXPECT_FALSE(page.appId.has_value());
}

TEST(AutofillPage, FieldMembersAreWrittenInDeclarationOrderAtFullRange) {
  CoreField field;
  field.autocompleteType = "address-line1 shipping";
  field.formOpid = 4;
  field.htmlClass = "c";
  field.htmlId = "i";
  field.htmlName = "n";
  field.isActive = true;
  field.isAriaDisabled = false;
  field.isAriaHasPopup = true;
  field.isAriaHidden = false;
  field.isChecked = true;
  field.isDisabled = false;
  field.isHidden = true;
  field.isReadOnly = false;
  field.isUserEdited = true;
  field.autofilledBy = CoreAutofilledBy::browser;
  field.label = "l";
  field.labelAria = "la";
  field.labelData = "ld";
  field.labelBefore = "lb";
  field.labelAfter = "lf";
  field.maxLength = std::numeric_limits<std::uint64_t>::max();
  field.minLength = 0;
  field.opid = std::numeric_limits<std::uint32_t>::max();
  field.placeholder = "p";
  field.selectOptions = std::vector<std::string>{"a", "b"};
  field.tabIndex = std::numeric_limits<std::int64_t>::min();
  field.title = "t";
  field.type = CoreElementType::selectMultiple;
  field.value = "v";
  field.passwordRules = "minlength: 8;";
  const std::string json =
      R"({"autocompleteType":"address-line1 shipping","formOpid":4,"htmlClass":"c","htmlId":"i","htmlName":"n",)"
      R"("isActive":true,"isAriaDisabled":false,"isAriaHasPopup":true,"isAriaHidden":false,"isChecked":true,)"
      R"("isDisabled":false,"isHidden":true,"isReadOnly":false,"isUserEdited":true,"autofilledBy":"browser",)"
      R"("label":"l","labelAria":"la","labelData":"ld","labelBefore":"lb","labelAfter":"lf",)"
      R"("maxLength":18446744073709551615,"minLength":0,"opid":4294967295,"placeholder":"p",)"
      R"("selectOptions":["a","b"],"tabIndex":-9223372036854775808,"title":"t","type":"select-multiple",)"
      R"("value":"v","passwordRules":"minlength: 8;"})";
  EXPECT_EQ(encodeToJsonText(field), json);
  EXPECT_EQ(reencode<CoreField>(json), json);
}

TEST(AutofillPage, FieldNeedsOnlyOpidAndTypeAndRejectsOtherElementKinds) {
  EXPECT_EQ(reencode<CoreField>(R"({"opid":5,"type":"text"})"), R"({"opid":5,"type":"text"})");
  EXPECT_EQ(read<CoreField>(R"({"opid":5,"type":"datetime-local"})").type, CoreElementType::datetimeLocal);
  EXPECT_EQ(read<CoreField>(R"({"opid":5,"type":"unknown"})").type, CoreElementType::unknown);
  for (const char* bad : {"DATETIME-LOCAL", "Datetime-local", "datetime", "datetimeLocal", "select", "", "unknown "}) {
    EXPECT_TRUE(failsWith<CoreField>(std::string(R"({"opid":5,"type":")") + bad + R"("})", K::dataCorrupted,
                                     R"(["type"])"))
        << bad;
  }
  EXPECT_TRUE(failsWith<CoreField>(R"({"type":"text"})", K::keyNotFound, R"(["opid"])"));
  EXPECT_TRUE(failsWith<CoreField>(R"({"opid":5})", K::keyNotFound, R"(["type"])"));
  // A page description has no tagged union above its fields, so the fault keeps its own kind and path.
  EXPECT_TRUE(failsWith<CoreCollectedPageDetails>(
      R"({"frames":[{"fields":[],"forms":[],"pathName":"/","uuid":"a"},)"
      R"({"fields":[{"opid":1,"type":"text"},{"opid":2,"type":"datetime"}],"forms":[],"pathName":"/","uuid":"b"}]})",
      K::dataCorrupted, R"(["frames",1,"fields",1,"type"])"));
  EXPECT_TRUE(failsWith<CoreCollectedPageDetails>(
      R"({"frames":[{"fields":[{"type":"text"}],"forms":[],"pathName":"/","uuid":"a"}]})", K::keyNotFound,
      R"(["frames",0,"fields",0,"opid"])"));
}

TEST(AutofillPage, ElementTypeWireStringsInDeclarationOrder) {
  const std::vector<std::string> wire = {
      "unknown", "button", "checkbox", "color", "date",  "datetime-local", "email",      "file",
      "hidden",  "image",  "month",    "number", "password", "radio",     "range",      "reset",
      "search",  "submit", "tel",      "text",  "time",  "url",            "week",       "select-one",
      "select-multiple", "textarea"};
  ASSERT_EQ(wire.size(), 26u);
  for (std::size_t i = 0; i < wire.size(); ++i) {
    const std::string json = "\"" + wire[i] + "\"";
    auto value = decode<CoreElementType>(json);
    ASSERT_TRUE(value.ok()) << json;
    EXPECT_EQ(static_cast<std::size_t>(*value), i) << json;
    EXPECT_EQ(encodeToJsonText(*value), json);
  }
}

TEST(AutofillPage, SignednessAndWidthOfFieldNumbers) {
  EXPECT_EQ(read<CoreField>(R"({"opid":1,"type":"text","tabIndex":-1})").tabIndex, -1);
  EXPECT_FALSE(decode<CoreField>(R"({"opid":1,"type":"text","maxLength":-1})").ok());
  EXPECT_FALSE(decode<CoreField>(R"({"opid":1,"type":"text","minLength":1.5})").ok());
  EXPECT_FALSE(decode<CoreField>(R"({"opid":4294967296,"type":"text"})").ok());
  EXPECT_FALSE(decode<CoreField>(R"({"opid":1,"type":"text","formOpid":-1})").ok());
  // The session requests carry a 32-bit tab, the app's fill-with-session request a 64-bit one.
  EXPECT_FALSE(decode<CoreInitFillSessionRequest>(R"({"itemId":"i","tabId":4294967296,"tabUrl":"u"})").ok());
  EXPECT_FALSE(decode<CoreStatusRequest>(R"({"tabId":4294967296,"tabUrl":"u"})").ok());
  const std::string wide =
      R"({"collectedPageDetails":{"frames":[]},"itemId":"i","preserveSession":true,"tabId":4294967296,"tabUrl":"u"})";
  EXPECT_EQ(reencode<CoreTsAppFillItemWithSessionRequest>(wide), wide);
}

TEST(AutofillDesignation, AllAutofillTypeWireStringsInDeclarationOrder) {
  const std::vector<std::string> wire = {
      "none", "name", "honorific-prefix", "given-name", "additional-name", "family-name", "honorific-suffix",
      "nickname", "organization-title", "username", "new-password", "current-password", "one-time-code",
      "organization", "street-address", "address-line1", "address-line2", "address-line3", "address-level1",
      "address-level2", "address-level3", "address-level4", "country", "country-name", "postal-code", "cc-name",
      "cc-given-name", "cc-additional-name", "cc-family-name", "cc-number", "cc-exp", "cc-exp-month",
      "cc-exp-year", "cc-csc", "cc-type", "transaction-currency", "transaction-amount", "language", "bday",
      "bday-day", "bday-month", "bday-year", "sex", "url", "photo", "tel", "tel-country-code", "tel-national",
      "tel-area-code", "tel-local", "tel-local-prefix", "tel-local-suffix", "tel-extension", "email", "impp"};
  ASSERT_EQ(wire.size(), 55u);
  for (std::size_t i = 0; i < wire.size(); ++i) {
    const std::string json = "\"" + wire[i] + "\"";
    auto value = decode<CoreAutofillType>(json);
    ASSERT_TRUE(value.ok()) << json;
    EXPECT_EQ(static_cast<std::size_t>(*value), i) << json;
    EXPECT_EQ(encodeToJsonText(*value), json);
  }
  EXPECT_EQ(encodeToJsonText(CoreAutofillType::addressLine1), R"("address-line1")");
  EXPECT_EQ(encodeToJsonText(CoreAutofillType::addressLevel4), R"("address-level4")");
  // Digits stay attached to their word; other spellings are not accepted.
  for (const char* bad : {R"("address-line-1")", R"("addressLine1")", R"("Address-line1")", R"("address_line1")",
                          R"("cc-exp-month ")", R"("off")", R"("on")"}) {
    EXPECT_TRUE(failsWith<CoreAutofillType>(bad, K::dataCorrupted, "[]")) << bad;
  }
}

TEST(AutofillDesignation, UnknownDesignationMakesTheWholeMessageUnreadable) {
  EXPECT_TRUE(failsWith<CoreFillPayload>(R"({"filledDesignations":["username","password"],"frames":[]})",
                                         K::dataCorrupted, R"(["filledDesignations",1])"));
  EXPECT_TRUE(failsWith<CoreItemToFillObjectRequest>(R"({"item":"x","designationFilter":["email","e-mail"]})",
                                                     K::dataCorrupted, R"(["designationFilter",1])"));
  // The page's own attribute text is free.
  const std::string free = R"({"autocompleteType":"section-x e-mail webauthn","opid":1,"type":"email"})";
  EXPECT_EQ(reencode<CoreField>(free), free);
  const std::string designation =
      R"({"autofillType":"tel-local-suffix","formDesignation":"change-password","phoneType":"mobile",)"
      R"("securityQuestion":false})";
  EXPECT_EQ(reencode<CoreFieldDesignation>(designation), designation);
}

TEST(AutofillFill, FillPayloadReadsAndWritesBackUnchanged) {
  const std::string json =
      R"({"filledDesignations":["username","current-password"],"frames":[{"allowedTargets":{"type":"Targets",)"
      R"("data":[{"type":"Url","data":"https://example.com"}]},"operations":[{"action":"fillOpid","opid":1,)"
      R"("value":"me@example.com"},{"action":"fillOpid","opid":2,"value":"secret"}],"postFill":{"action":"focusOpid",)"
      R"("opid":2,"value":""},"uuid":"frame-1"}]})";
  EXPECT_EQ(reencode<CoreFillPayload>(json), json);
  auto payload = read<CoreFillPayload>(json);
  ASSERT_EQ(payload.frames.size(), 1u);
  const auto* targets = payload.frames[0].allowedTargets.getIf<CoreAllowedTargets::Case::targets>();
  ASSERT_NE(targets, nullptr);
  ASSERT_EQ(targets->size(), 1u);
  EXPECT_EQ((*targets)[0].get<CoreFillTarget::Case::url>(), "https://example.com");
  ASSERT_TRUE(payload.frames[0].postFill.has_value());
  EXPECT_EQ(payload.frames[0].postFill->action, CoreAction::focusOpid);
}

TEST(AutofillFill, AllowedTargetsUseTypeAndData) {
  EXPECT_EQ(encodeToJsonText(CoreAllowedTargets::anywhere()), R"({"type":"Anywhere"})");
  EXPECT_EQ(encodeToJsonText(CoreAllowedTargets::targets(
                {CoreFillTarget::url("https://a.example"), CoreFillTarget::appId("com.example.app")})),
            R"({"type":"Targets","data":[{"type":"Url","data":"https://a.example"},)"
            R"({"type":"AppId","data":"com.example.app"}]})");
  EXPECT_EQ(encodeToJsonText(CoreAllowedTargets::targets({})), R"({"type":"Targets","data":[]})");
  // The content of a unit case is not looked at.
  EXPECT_EQ(read<CoreAllowedTargets>(R"({"type":"Anywhere","data":[5]})").which(), CoreAllowedTargets::Case::anywhere);
}

TEST(AutofillFill, BadFillTargetSurfacesAsOutermostUnion) {
  const char* kWrongTarget = "Wrong type for CoreFillTarget";
  EXPECT_TRUE(failsWith<CoreFillTarget>(R"({"type":"Url","content":"https://a"})", K::typeMismatch, "[]",
                                        kWrongTarget));
  EXPECT_TRUE(failsWith<CoreFillTarget>(R"({"type":"Url"})", K::typeMismatch, "[]", kWrongTarget));
  EXPECT_TRUE(failsWith<CoreFillTarget>(R"({"type":"url","data":"https://a"})", K::typeMismatch, "[]", kWrongTarget));
  EXPECT_TRUE(failsWith<CoreFillTarget>(R"({"type":"Url","data":7})", K::typeMismatch, "[]", kWrongTarget));
  EXPECT_TRUE(failsWith<CoreAllowedTargets>(R"({"type":"Targets","data":[{"type":"Url","content":"https://a"}]})",
                                            K::typeMismatch, "[]", "Wrong type for CoreAllowedTargets"));
  EXPECT_TRUE(failsWith<CoreAllowedTargets>(R"({"type":"Targets"})", K::typeMismatch, "[]",
                                            "Wrong type for CoreAllowedTargets"));
  const std::string frames =
      R"({"filledDesignations":[],"frames":[{"allowedTargets":{"type":"Anywhere"},"operations":[],"uuid":"a"},)"
      R"({"allowedTargets":{"type":"Targets","data":[{"type":"App","data":"x"}]},"operations":[],"uuid":"b"}]})";
  EXPECT_TRUE(failsWith<CoreFillPayload>(frames, K::typeMismatch, R"(["frames",1,"allowedTargets"])",
                                         "Wrong type for CoreAllowedTargets"));
  // Wrapped in an answer and a result, only the outermost union is named, at the root.
  EXPECT_TRUE(failsWith<CoreTsAppResponse>(R"({"type":"FillItem","content":)" + frames + "}", K::typeMismatch, "[]",
                                           "Wrong type for CoreTsAppResponse"));
  EXPECT_TRUE(failsWith<CoreCoreResult>(R"({"type":"Success","content":{"type":"FillItem","content":)" + frames + "}}",
                                        K::typeMismatch, "[]", "Wrong type for CoreCoreResult"));
}

TEST(AutofillFill, FocusOnlyFrameFillAndOperationShapes) {
  const std::string focusOnly =
      R"({"allowedTargets":{"type":"Anywhere"},"operations":[],"postFill":{"action":"focusOpid","opid":3,"value":""},)"
      R"("uuid":"f"})";
  EXPECT_EQ(reencode<CoreFrameFill>(focusOnly), focusOnly);
  const std::string selectors =
      R"({"allowUnsafeHttp":true,"allowedTargets":{"type":"Anywhere"},"operations":[{"action":"clickQuerySelector",)"
      R"("querySelector":"#go","value":""},{"action":"fillQuerySelector","querySelector":"input[name=q]",)"
      R"("value":"x"},{"action":"clickOpid","opid":0,"value":""}],"uuid":"f"})";
  EXPECT_EQ(reencode<CoreFrameFill>(selectors), selectors);
  EXPECT_TRUE(failsWith<CoreFrameFill>(R"({"allowedTargets":{"type":"Anywhere"},"operations":[],"postFill":{"action":)"
                                       R"("focusOpid","opid":3},"uuid":"f"})",
                                       K::keyNotFound, R"(["postFill","value"])"));
  EXPECT_TRUE(failsWith<CoreFrameFill>(R"({"allowedTargets":{"type":"Anywhere"},"operations":[{"action":"FillOpid",)"
                                       R"("value":""}],"uuid":"f"})",
                                       K::dataCorrupted, R"(["operations",0,"action"])"));
}

TEST(AutofillSession, StatusAnswers) {
  EXPECT_EQ(encodeToJsonText(CoreStatusResponse{CoreFillStatus::none, std::nullopt}), R"({"status":"none"})");
  EXPECT_EQ(reencode<CoreStatusResponse>(R"({"status":"inProgress","itemId":"item-9"})"),
            R"({"status":"inProgress","itemId":"item-9"})");
  EXPECT_EQ(reencode<CoreStatusResponse>(R"({"status":"none","itemId":null})"), R"({"status":"none"})");
  EXPECT_TRUE(failsWith<CoreStatusResponse>(R"({"status":"InProgress"})", K::dataCorrupted, R"(["status"])"));
  for (const char* error : {R"("Expired")", R"("NoSession")", R"("InvalidTabOrUrl")", R"("InvalidItem")",
                            R"("FillFailed")"}) {
    EXPECT_EQ(reencode<CoreFillStatusError>(error), error);
  }
}

TEST(AutofillSession, BindingCarrierUsesNameAndHyphenatedStrings) {
  using C = CoreTsBindingInvocation::Case;
  EXPECT_EQ(encodeToJsonText(CoreTsBindingInvocation::clearFillSession()), R"({"name":"clear-fill-session"})");
  struct Sample {
    const char* json;
    C expected;
  };
  const Sample samples[] = {
      {R"({"name":"start-fill-session","data":{"itemId":"i","tabId":4,"tabUrl":"https://a"}})", C::startFillSession},
      {R"({"name":"next-fill","data":{"collectedPageDetails":{"frames":[]},"item":"{}","itemId":"i",)"
       R"("postFill":"focusNextField","tabId":4,"tabUrl":"https://a"}})",
       C::nextFill},
      {R"({"name":"fill-session-status","data":{"tabId":4,"tabUrl":"https://a"}})", C::fillSessionStatus},
      {R"({"name":"clear-fill-session"})", C::clearFillSession},
      {R"({"name":"analyze-page","data":{"collectedPageDetails":{"frames":[]},"mode":"activeFieldOnly",)"
       R"("debugOptions":{"enableRecipes":true,"detailedDebugInfo":false}}})",
       C::analyzePage},
      {R"({"name":"fill","data":{"collectedPageDetails":{"frames":[]},"fillObject":{"fillTargets":[],"fields":[]},)"
       R"("postFill":"focusActiveField","designationFilter":["cc-number","cc-csc"]}})",
       C::fill},
      {R"({"name":"fill-item","data":{"collectedPageDetails":{"frames":[]},"item":"{}","additionalFillTargets":)"
       R"([{"type":"AppId","data":"com.x"}],"postFill":"focusLastFilledField"}})",
       C::fillItem},
      {R"({"name":"item-to-fill-object","data":{"item":"{}","designationFilter":["address-line1"]}})",
       C::itemToFillObject},
      {R"({"name":"create-item","data":{"collectedPageDetails":{"frames":[]},"itemTemplate":"001"}})", C::createItem},
  };
  for (const auto& sample : samples) {
    EXPECT_EQ(reencode<CoreTsBindingInvocation>(sample.json), sample.json);
    EXPECT_EQ(read<CoreTsBindingInvocation>(sample.json).which(), sample.expected) << sample.json;
  }
  const char* kWrong = "Wrong type for CoreTsBindingInvocation";
  EXPECT_TRUE(failsWith<CoreTsBindingInvocation>(R"({"name":"clearFillSession"})", K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreTsBindingInvocation>(R"({"type":"clear-fill-session"})", K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreTsBindingInvocation>(
      R"({"name":"start-fill-session","content":{"itemId":"i","tabId":4,"tabUrl":"u"}})", K::typeMismatch, "[]",
      kWrong));
  EXPECT_TRUE(failsWith<CoreTsBindingInvocation>(
      R"({"name":"analyze-page","data":{"collectedPageDetails":{"frames":[]},"mode":"AllFields"}})", K::typeMismatch,
      "[]", kWrong));
}

TEST(AutofillSession, AppCarrierAndOverviews) {
  for (const char* json : {
           R"({"type":"FillSessionStatus","content":{"tabId":1,"tabUrl":"https://a"}})",
           R"({"type":"FillItem","content":{"collectedPageDetails":{"frames":[]},"itemId":"i",)"
           R"("additionalFillTargets":[],"postFill":"focusNextField","designationFilter":["one-time-code"]}})",
           R"({"type":"BulkSuggestions","content":{"collectedPageDetails":{"frames":[]},"includeSuggestedPassword":true}})",
           R"({"type":"AutoFillItemOverviews","content":{"type":"Android","content":{"category_filter":[{"type":"001"},)"
           R"({"type":"Unknown","content":"x"}],"domain_filter":[{"type":"Url","content":"a.example"},{"type":"App",)"
           R"("content":{"app_id":"com.a","app_type":"android","app_name":"A"}}]}}})",
       }) {
    EXPECT_EQ(reencode<CoreTsAppInvocation>(json), json);
  }
  for (const char* json : {
           R"({"type":"FillSessionStatus","content":{"status":"inProgress","itemId":"i"}})",
           R"({"type":"FillItemWithSession","content":{"response":{"fillPayload":{"filledDesignations":[],)"
           R"("frames":[]},"debugInfo":{"numRecipeMatches":2}},"status":"none"}})",
           R"({"type":"BulkSuggestions","content":{"frames":[{"fields":[{"opid":1,"suggestions":[{"type":)"
           R"("SuggestedPassword"},{"type":"SuggestedCategory","data":{"type":"005"}}],"designation":{"autofillType":)"
           R"("new-password","securityQuestion":false}}]}]}})",
       }) {
    EXPECT_EQ(reencode<CoreTsAppResponse>(json), json);
  }
}

// A page with several frames and hundreds of fields, built in code, survives writing and reading.
CoreField makeField(std::size_t frame, std::size_t index) {
  CoreField field;
  field.opid = static_cast<std::uint32_t>(frame * 1000 + index);
  field.type = static_cast<CoreElementType>(index % 26);
  if (index % 2 == 0) field.formOpid = static_cast<std::uint32_t>(index % 7);
  if (index % 3 == 0) field.htmlName = "name-" + std::to_string(index) + " \"quoted\" \\ \n";
  if (index % 5 == 0) field.tabIndex = -static_cast<std::int64_t>(index);
  if (index % 7 == 0) field.maxLength = std::numeric_limits<std::uint64_t>::max() - index;
  if (index % 11 == 0) field.selectOptions = std::vector<std::string>{"one", "", "three"};
  if (index % 13 == 0) field.isUserEdited = index % 2 == 0;
  if (index % 17 == 0) field.autofilledBy = CoreAutofilledBy::us;
  if (index % 4 == 1) field.value = std::string(index % 50, 'v');
  field.autocompleteType = index % 9 == 0 ? std::optional<std::string>("cc-exp-month") : std::nullopt;
  return field;
}

TEST(FamiliesPage, LargePageBuiltInCodeRoundTrips) {
  constexpr std::size_t kFrames = 5;
  constexpr std::size_t kFields = 150;
  CoreCollectedPageDetails page;
  page.unparsedUrl = "https://example.com/checkout?step=2";
  page.title = "Checkout";
  for (std::size_t f = 0; f < kFrames; ++f) {
    CoreFrame frame;
    frame.uuid = "frame-" + std::to_string(f);
    frame.pathName = "/frame/" + std::to_string(f);
    if (f % 2 == 0) frame.origin = "https://frame" + std::to_string(f) + ".example";
    for (std::size_t i = 0; i < kFields; ++i) frame.fields.push_back(makeField(f, i));
    for (std::uint32_t form = 0; form < 7; ++form) {
      CoreForm entry;
      entry.opid = form;
      if (form % 2 == 1) entry.htmlMethod = "post";
      frame.forms.push_back(entry);
    }
    page.frames.push_back(std::move(frame));
  }
  const std::string json = encodeToJsonText(page);
  ASSERT_FALSE(json.empty());
  auto back = decode<CoreCollectedPageDetails>(json);
  ASSERT_TRUE(back.ok()) << back.error().description;
  EXPECT_EQ(encodeToJsonText(*back), json);
  ASSERT_EQ(back->frames.size(), kFrames);
  for (std::size_t f = 0; f < kFrames; ++f) {
    const CoreFrame& frame = back->frames[f];
    EXPECT_EQ(frame.uuid, "frame-" + std::to_string(f));
    EXPECT_EQ(frame.origin.has_value(), f % 2 == 0);
    ASSERT_EQ(frame.fields.size(), kFields);
    ASSERT_EQ(frame.forms.size(), 7u);
    for (std::size_t i = 0; i < kFields; ++i) {
      const CoreField expected = makeField(f, i);
      const CoreField& actual = frame.fields[i];
      ASSERT_EQ(actual.opid, expected.opid);
      ASSERT_EQ(actual.type, expected.type);
      ASSERT_EQ(actual.formOpid, expected.formOpid);
      ASSERT_EQ(actual.htmlName, expected.htmlName);
      ASSERT_EQ(actual.tabIndex, expected.tabIndex);
      ASSERT_EQ(actual.maxLength, expected.maxLength);
      ASSERT_EQ(actual.selectOptions, expected.selectOptions);
      ASSERT_EQ(actual.isUserEdited, expected.isUserEdited);
      ASSERT_EQ(actual.autofilledBy, expected.autofilledBy);
      ASSERT_EQ(actual.value, expected.value);
      ASSERT_EQ(actual.autocompleteType, expected.autocompleteType);
      ASSERT_FALSE(actual.label.has_value());
    }
  }
  // Carried inside a binding invocation, the same page is read back whole.
  const std::string carried = R"({"name":"analyze-page","data":{"collectedPageDetails":)" + json +
                              R"(,"mode":"allFields"}})";
  EXPECT_EQ(reencode<CoreTsBindingInvocation>(carried), carried);
  // One bad element kind deep in the last frame sinks the whole invocation.
  std::string broken = carried;
  const std::string needle = R"("type":"textarea")";
  const auto at = broken.rfind(needle);
  ASSERT_NE(at, std::string::npos);
  broken.replace(at, needle.size(), R"("type":"text-area")");
  EXPECT_TRUE(failsWith<CoreTsBindingInvocation>(broken, K::typeMismatch, "[]",
                                                 "Wrong type for CoreTsBindingInvocation"));
  std::size_t lastTextarea = 0;
  for (std::size_t i = 0; i < kFields; ++i) {
    if (i % 26 == static_cast<std::size_t>(CoreElementType::textarea)) lastTextarea = i;
  }
  const std::size_t prefix = std::string(R"({"name":"analyze-page","data":{"collectedPageDetails":)").size();
  EXPECT_TRUE(failsWith<CoreCollectedPageDetails>(broken.substr(prefix, json.size() + 1), K::dataCorrupted,
                                                  R"(["frames",4,"fields",)" + std::to_string(lastTextarea) +
                                                      R"(,"type"])"));
}

// ---------------------------------------------------------------------------------------------------------
// Save sessions and the save dialog.

TEST(SaveSession, BindingCasesAndTheirPayloads) {
  using C = CoreTsBindingInvocation::Case;
  EXPECT_EQ(reencode<CoreTsBindingInvocation>(R"({"name":"clear-save-session","data":7})"),
            R"({"name":"clear-save-session","data":7})");
  EXPECT_EQ(read<CoreTsBindingInvocation>(R"({"name":"clear-save-session","data":7})")
                .get<C::clearSaveSession>(),
            7u);
  EXPECT_EQ(encodeToJsonText(CoreTsBindingInvocation::clearSaveSession(7)), R"({"name":"clear-save-session","data":7})");
  EXPECT_EQ(reencode<CoreTsBindingInvocation>(R"({"name":"lock-save-sessions","data":null})"),
            R"({"name":"lock-save-sessions"})");
  struct Sample {
    const char* json;
    C expected;
  };
  const Sample samples[] = {
      {R"({"name":"start-save-session","data":{"data":{"type":"SaveRequest","data":{"data":"d","urls":["https://a"],)"
       R"("integration":"ramp"}},"itemTemplate":"001","tabId":1,"tabUrl":"https://a"}})",
       C::startSaveSession},
      {R"({"name":"set-save-session-item","data":{"tabId":1,"tabUrl":"u","item":{"item":"{}"},"includeRichIcon":false}})",
       C::setSaveSessionItem},
      {R"({"name":"configure-save-session","data":{"tabId":1,"tabUrl":"u","includeRichIcon":true}})",
       C::configureSaveSession},
      {R"({"name":"edit-save-session","data":{"tabId":1,"tabUrl":"u","modification":{"type":"UpdateValue","data":)"
       R"({"fieldId":"f","newValue":"v"}},"includeRichIcon":false}})",
       C::editSaveSession},
      {R"({"name":"build-item-from-save-session","data":{"tabId":1,"tabUrl":"u","itemTitle":"T"}})",
       C::buildItemFromSaveSession},
      {R"({"name":"find-item-matching-save-session","data":{"tabId":1,"tabUrl":"u","items":[{"item":"a"},{"item":"b"}]}})",
       C::findItemMatchingSaveSession},
      {R"({"name":"save-session-status","data":{"tabId":1,"tabUrl":"u"}})", C::saveSessionStatus},
      {R"({"name":"lock-save-sessions"})", C::lockSaveSessions},
      {R"({"name":"save-urls-from-save-request","data":{"unparsedUrl":"https://a","itemType":"credit-card"}})",
       C::saveUrlsFromSaveRequest},
      {R"({"name":"save-request-is-allowed-hostname","data":{"unparsedUrl":"https://a"}})",
       C::saveRequestIsAllowedHostname},
  };
  for (const auto& sample : samples) {
    EXPECT_EQ(reencode<CoreTsBindingInvocation>(sample.json), sample.json);
    EXPECT_EQ(read<CoreTsBindingInvocation>(sample.json).which(), sample.expected) << sample.json;
  }
  // The tab identifier is a bare number, not an object or a text.
  const char* kWrong = "Wrong type for CoreTsBindingInvocation";
  for (const char* bad : {R"({"name":"clear-save-session","data":{"tabId":7}})",
                          R"({"name":"clear-save-session","data":"7"})", R"({"name":"clear-save-session"})",
                          R"({"name":"clear-save-session","data":-1})"}) {
    EXPECT_TRUE(failsWith<CoreTsBindingInvocation>(bad, K::typeMismatch, "[]", kWrong)) << bad;
  }
}

TEST(SaveSession, InitDataNestsUnionsAndOutermostErrorWins) {
  const std::string generated =
      R"({"data":{"type":"GeneratedPassword","data":{"collectedPageDetails":{"frames":[]},)"
      R"("generatedPasswordResponse":{"password":"pw","entropy":1.5,"strengthPercent":50}}},"itemTemplate":"001",)"
      R"("tabId":2,"tabUrl":"u"})";
  EXPECT_EQ(reencode<CoreInitSaveSessionRequest>(generated), generated);
  const std::string badIntegration =
      R"({"data":{"type":"SaveRequest","data":{"data":"d","urls":[],"integration":"Ramp"}},"itemTemplate":"001",)"
      R"("tabId":2,"tabUrl":"u"})";
  EXPECT_TRUE(failsWith<CoreInitSaveSessionRequest>(badIntegration, K::typeMismatch, R"(["data"])",
                                                    "Wrong type for CoreSaveSessionInitData"));
  EXPECT_TRUE(failsWith<CoreTsBindingInvocation>(R"({"name":"start-save-session","data":)" + badIntegration + "}",
                                                 K::typeMismatch, "[]", "Wrong type for CoreTsBindingInvocation"));
  // Init data uses "data", not "content".
  EXPECT_TRUE(failsWith<CoreSaveSessionInitData>(R"({"type":"CollectedPageDetails","content":{"frames":[]}})",
                                                 K::typeMismatch, "[]", "Wrong type for CoreSaveSessionInitData"));
  EXPECT_EQ(reencode<CoreSaveSessionInitData>(R"({"type":"CollectedPageDetails","data":{"frames":[]}})"),
            R"({"type":"CollectedPageDetails","data":{"frames":[]}})");
}

TEST(SaveSession, DialogRequestsAndModifications) {
  for (const char* json : {
           R"({"type":"SetAction","data":{"type":"UpdateItem","data":"abc"}})",
           R"({"type":"SetAction","data":{"type":"NewItem"}})",
           R"({"type":"Commit","data":{"itemTitle":"Login"}})",
           R"({"type":"Commit","data":{}})",
           R"({"type":"Commit","data":{"selectedVaultId":{"accountUuid":"a","vaultUuid":"v"}}})",
           R"({"type":"Update","data":{"type":"DeleteTag","data":"t"}})",
       }) {
    EXPECT_EQ(reencode<CoreSaveDialogRequest>(json), json);
  }
  EXPECT_EQ(reencode<CoreSaveDialogItemModification>(R"({"type":"DeleteField","data":"f1"})"),
            R"({"type":"DeleteField","data":"f1"})");
  EXPECT_TRUE(failsWith<CoreSaveDialogRequest>(R"({"type":"SetAction","data":{"type":"UpdateItem"}})",
                                               K::typeMismatch, "[]", "Wrong type for CoreSaveDialogRequest"));
  EXPECT_TRUE(failsWith<CoreSaveDialogActionValue>(R"({"type":"UpdateItem","content":"abc"})", K::typeMismatch, "[]",
                                                   "Wrong type for CoreSaveDialogActionValue"));
}

TEST(SaveSession, ErrorsStatusAndEmptyAnswers) {
  EXPECT_EQ(reencode<CoreSaveSessionError>(R"({"type":"Locked","content":"vault locked"})"),
            R"({"type":"Locked","content":"vault locked"})");
  for (const char* unit : {"NoSession", "NakedDomainFailed", "InvalidSession", "FillmindError", "TemplateParseError",
                           "MissingItem", "InvalidSaveObjectFieldId", "SaveRequestParsingFailed",
                           "UnableToCreateSaveObject", "InvalidFieldId"}) {
    const std::string json = std::string(R"({"type":")") + unit + R"("})";
    EXPECT_EQ(reencode<CoreSaveSessionError>(json), json);
  }
  const char* kWrong = "Wrong type for CoreSaveSessionError";
  EXPECT_TRUE(failsWith<CoreSaveSessionError>(R"({"type":"Locked"})", K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreSaveSessionError>(R"({"type":"Locked","data":"x"})", K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreSaveSessionError>(R"({"name":"NoSession"})", K::typeMismatch, "[]", kWrong));

  EXPECT_EQ(reencode<CoreSaveSessionStatus>(R"({"templateUuid":"001"})"), R"({"templateUuid":"001"})");
  EXPECT_EQ(encodeToJsonText(CoreSaveOrUpdateItemResponse{}), "{}");
  EXPECT_EQ(reencode<CoreSaveOrUpdateItemResponse>(R"({"errorMessage":null})"), "{}");
  const std::string withError = R"({"errorMessage":{"message":"m","linkText":"t","linkUrl":"https://h"}})";
  EXPECT_EQ(reencode<CoreSaveOrUpdateItemResponse>(withError), withError);
}

TEST(SaveSession, DialogResponsesAndDiffShapes) {
  EXPECT_EQ(encodeToJsonText(CoreSaveDialogResponse::success()), R"({"type":"Success"})");
  EXPECT_EQ(reencode<CoreSaveDialogResponse>(R"({"type":"Success","data":{"x":1}})"), R"({"type":"Success"})");
  EXPECT_EQ(reencode<CoreSaveDialogResponse>(R"({"type":"Error","data":{"message":"no"}})"),
            R"({"type":"Error","data":{"message":"no"}})");
  EXPECT_EQ(encodeToJsonText(CoreSaveDialogItemDiff{}), R"({"right":[]})");
  EXPECT_EQ(reencode<CoreSaveDialogItemDiff>(R"({"right":[]})"), R"({"right":[]})");
  EXPECT_EQ(reencode<CoreSaveDialogItemDiff>(R"({"left":[],"right":[]})"), R"({"left":[],"right":[]})");
  EXPECT_TRUE(failsWith<CoreSaveDialogItemDiff>(R"({"left":[]})", K::keyNotFound, R"(["right"])"));
  // Spacing values are lower case; the dialog mode is capitalised.
  EXPECT_EQ(reencode<CoreSaveDialogItemDiffElement>(R"({"type":"InterFieldSpacing","data":"single"})"),
            R"({"type":"InterFieldSpacing","data":"single"})");
  EXPECT_TRUE(failsWith<CoreSaveDialogItemDiffElement>(R"({"type":"InterFieldSpacing","data":"Single"})",
                                                       K::typeMismatch, "[]",
                                                       "Wrong type for CoreSaveDialogItemDiffElement"));
  for (const char* spacing : {R"("single")", R"("double")", R"("header")", R"("field")"}) {
    EXPECT_EQ(reencode<CoreSaveDialogItemSpacingElement>(spacing), spacing);
  }
  EXPECT_EQ(reencode<CoreSaveOrUpdateItemRequest>(R"({"mode":"New"})"), R"({"mode":"New"})");
  EXPECT_EQ(reencode<CoreSaveOrUpdateItemRequest>(R"({"accountUuid":"a","mode":"Update","itemIdToUpdate":"i"})"),
            R"({"accountUuid":"a","mode":"Update","itemIdToUpdate":"i"})");
  EXPECT_TRUE(failsWith<CoreSaveOrUpdateItemRequest>(R"({"mode":"new"})", K::dataCorrupted, R"(["mode"])"));
}

TEST(SaveSession, ListElementsUseContentWhileDialogUnionsUseData) {
  EXPECT_EQ(reencode<CoreSaveDialogVaultListElement>(R"({"type":"Separator","content":"x"})"),
            R"({"type":"Separator","content":"x"})");
  EXPECT_TRUE(failsWith<CoreSaveDialogVaultListElement>(R"({"type":"Separator","data":"x"})", K::typeMismatch, "[]",
                                                        "Wrong type for CoreSaveDialogVaultListElement"));
  EXPECT_EQ(reencode<CoreSaveDialogActionListElement>(R"({"type":"Separator","content":""})"),
            R"({"type":"Separator","content":""})");
  EXPECT_TRUE(failsWith<CoreSaveDialogActionListElement>(R"({"type":"Separator","data":""})", K::typeMismatch, "[]",
                                                         "Wrong type for CoreSaveDialogActionListElement"));
  EXPECT_TRUE(failsWith<CoreSaveDialogItemUpdateModelElement>(R"({"type":"Title","content":{"icon":{"id":"i",)"
                                                              R"("sources":[]},"value":"v"}})",
                                                              K::typeMismatch, "[]",
                                                              "Wrong type for CoreSaveDialogItemUpdateModelElement"));
}

TEST(SaveSession, UnlockedDialogConfigurationRoundTrips) {
  const std::string icon = R"({"id":"i","sources":[]})";
  const std::string json =
      R"({"locale":"en","appTheme":"dark","state":{"type":"Unlocked","data":{"suggestedActionId":"a1",)"
      R"("actionListElements":[{"type":"VaultHeader","content":{"accountIcon":)" + icon +
      R"(,"vaultIcon":{"id":"v","sources":[{"type":"MonogramIcon","content":{"value":"P","color":"#fff"}}]},)"
      R"("label":"Personal","vaultId":"v1","accessibilityLabel":"Personal vault"}},{"type":"NewItemAction",)"
      R"("content":{"id":"a1","value":{"type":"NewItem"},"text":"New","headerMessage":"h"}},{"type":)"
      R"("UpdateItemAction","content":{"id":"a2","value":{"type":"UpdateItem","data":"item-2"},"icon":)" + icon +
      R"(,"title":"Old","accessibilityLabel":"Old login","headerMessage":"h"}},{"type":"Separator","content":""}],)"
      R"("initialUpdateModel":{"type":"newItem","elements":[{"type":"Title","data":{"icon":)" + icon +
      R"(,"value":"Login"}},{"type":"ItemDiff","data":{"right":[{"type":"SectionHeader","data":{"id":"s",)"
      R"("value":"Details"}},{"type":"Email","data":{"id":"e","label":"email","value":"me@x","border":"Top",)"
      R"("changedFromLeft":false,"topSection":true}},{"type":"Password","data":{"id":"p","label":"password",)"
      R"("value":"x","concealedValue":"**","border":"TopAndBottom","changedFromLeft":true,"topSection":false}},)"
      R"({"type":"CreditCardType","data":{"id":"t","label":"type","value":"visa","border":"Middle",)"
      R"("changedFromLeft":true,"topSection":false,"suggestions":[{"id":"1","text":"Visa"}]}},)"
      R"({"type":"InterFieldSpacing","data":"double"}]}}]},"suggestedVaultId":{"accountUuid":"acc",)"
      R"("vaultUuid":"vlt"},"vaultListElements":[{"type":"SectionHeader","content":{"id":"h","label":"Acc",)"
      R"("accessibilityLabel":"Account"}},{"type":"Vault","content":{"id":{"accountUuid":"acc","vaultUuid":"vlt"},)"
      R"("accountIcon":)" + icon + R"(,"accountName":"A","icon":)" + icon +
      R"(,"name":"Private","accessibilityLabel":"Private"}}]}}})";
  EXPECT_EQ(reencode<CoreGetSaveDialogConfigurationResponse>(json), json);
  EXPECT_EQ(reencode<CoreGetSaveDialogConfigurationResponse>(R"({"locale":"en","appTheme":"dark","state":{"type":)"
                                                              R"("Locked"}})"),
            R"({"locale":"en","appTheme":"dark","state":{"type":"Locked"}})");
  // A wrong border deep inside the model fails the state, the outermost union, at its own path.
  std::string broken = json;
  broken.replace(broken.find(R"("border":"Middle")"), 17, R"("border":"middle")");
  EXPECT_TRUE(failsWith<CoreGetSaveDialogConfigurationResponse>(broken, K::typeMismatch, R"(["state"])",
                                                                "Wrong type for CoreSaveDialogConfigurationState"));
}

// ---------------------------------------------------------------------------------------------------------
// Inline menu and web integration.

TEST(InlineMenu, WorkedMessagesAndAnswers) {
  for (const char* json : {
           R"({"name":"get-items","data":{"templateUuid":"001"}})",
           R"({"name":"get-app-configuration"})",
           R"({"name":"desktop-app-state-changed","data":{"type":"connected","lockState":"Locked"}})",
           R"({"name":"desktop-app-state-changed","data":{"type":"disconnected"}})",
           R"({"name":"get-save-dialog-configuration","data":{"updating":true}})",
           R"({"name":"save-dialog-request","data":{"type":"Commit","data":{"itemTitle":"Login"}}})",
           R"({"name":"relay-message-to-frames","data":{"message":"m"}})",
           R"({"name":"fill-item","data":{"itemId":"i","postFill":"focusNextField","designationFilter":["bday-day"]}})",
       }) {
    EXPECT_EQ(reencode<CoreInlineMenuMessages>(json), json);
  }
  for (const char* json : {
           R"({"name":"get-items","data":[{"id":"i","favorite":true,"secondary":"me@x","templateUuid":"001",)"
           R"("title":"Mail","hasCustomIcon":false,"integration":{"name":"creditCard","data":"privacy"},)"
           R"("designationFilter":["cc-number"]}]})",
           R"({"name":"get-items","data":[]})",
           R"({"name":"get-app-configuration","data":{"locale":"en","appTheme":"light","locked":false}})",
           R"({"name":"get-lockscreen-options","data":{"name":"cannot-request-unlock","data":{}}})",
           R"({"name":"get-lockscreen-options","data":{"name":"can-request-unlock"}})",
           R"({"name":"get-custom-icon-url","data":"https://icons/x.png"})",
           R"({"name":"analyze-frame","data":{"fieldDesignation":"cc-exp-year","formDesignation":"change-password",)"
           R"("requiresInteractionForMenu":false,"suggestions":[{"type":"SuggestedPassword"},{"type":)"
           R"("SuggestedCategory","data":{"type":"002"}}]}})",
       }) {
    EXPECT_EQ(reencode<CoreInlineMenuResponses>(json), json);
  }
  // Every answer case carries a payload.
  EXPECT_TRUE(failsWith<CoreInlineMenuResponses>(R"({"name":"get-app-configuration"})", K::typeMismatch, "[]",
                                                 "Wrong type for CoreInlineMenuResponses"));
}

TEST(InlineMenu, ActionsUnitAndBarePayloads) {
  for (const char* json : {
           R"({"name":"page-excluded","data":true})",
           R"({"name":"ping"})",
           R"({"name":"show-save-dialog","data":{"sessionId":3,"type":{"name":"save-item"}}})",
           R"({"name":"show-save-dialog","data":{"sessionId":4,"type":{"name":"create-an-email-alias","data":)"
           R"({"frameIdentifier":"f"}}}})",
           R"({"name":"hide-save-dialog","data":{"saved":true}})",
           R"({"name":"lock-state-changed","data":{"locked":false}})",
           R"({"name":"request-fill-authorization","data":{"type":"Privacy"}})",
           R"({"name":"item-detail-value-drag-end"})",
       }) {
    EXPECT_EQ(reencode<CoreInlineMenuActions>(json), json);
  }
  EXPECT_EQ(reencode<CoreInlineMenuActions>(R"({"name":"ping","data":{"ignored":1}})"), R"({"name":"ping"})");
  const char* kWrong = "Wrong type for CoreInlineMenuActions";
  EXPECT_TRUE(failsWith<CoreInlineMenuActions>(R"({"name":"page-excluded","data":"true"})", K::typeMismatch, "[]",
                                               kWrong));
  EXPECT_TRUE(failsWith<CoreInlineMenuActions>(R"({"name":"page-excluded"})", K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreInlineMenuActions>(R"({"type":"ping"})", K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreInlineMenuActions>(
      R"({"name":"show-save-dialog","data":{"sessionId":3,"type":{"name":"saveItem"}}})", K::typeMismatch, "[]",
      kWrong));
}

TEST(InlineMenu, SameNameDifferentShapeInEachDirection) {
  EXPECT_EQ(read<CoreInlineMenuActions>(R"({"name":"collect-frame-details"})").which(),
            CoreInlineMenuActions::Case::collectFrameDetails);
  EXPECT_TRUE(failsWith<CoreInlineMenuMessages>(R"({"name":"collect-frame-details"})", K::typeMismatch, "[]",
                                                "Wrong type for CoreInlineMenuMessages"));
  const std::string frame =
      R"({"name":"collect-frame-details","data":{"fields":[{"opid":1,"type":"tel"}],"forms":[],"pathName":"/",)"
      R"("uuid":"u"}})";
  EXPECT_EQ(reencode<CoreInlineMenuMessages>(frame), frame);
}

TEST(InlineMenu, DesktopAppStateUsesLockStateAsContentKey) {
  EXPECT_EQ(encodeToJsonText(CoreDesktopAppState::connected(CoreDesktopAppLockState::unlocked)),
            R"({"type":"connected","lockState":"Unlocked"})");
  EXPECT_EQ(encodeToJsonText(CoreDesktopAppState::connected(CoreDesktopAppLockState::unlocking)),
            R"({"type":"connected","lockState":"Unlocking"})");
  EXPECT_EQ(encodeToJsonText(CoreDesktopAppState::disconnected()), R"({"type":"disconnected"})");
  EXPECT_EQ(encodeToJsonText(CoreDesktopAppState::connecting()), R"({"type":"connecting"})");
  auto state = read<CoreDesktopAppState>(R"({"type":"connected","lockState":"Locked"})");
  ASSERT_EQ(state.which(), CoreDesktopAppState::Case::connected);
  EXPECT_EQ(state.get<CoreDesktopAppState::Case::connected>(), CoreDesktopAppLockState::locked);
  const char* kWrong = "Wrong type for CoreDesktopAppState";
  for (const char* bad : {R"({"type":"connected","content":"Locked"})", R"({"type":"connected","data":"Locked"})",
                          R"({"type":"connected"})", R"({"type":"connected","lockState":"locked"})",
                          R"({"type":"Connected","lockState":"Locked"})"}) {
    EXPECT_TRUE(failsWith<CoreDesktopAppState>(bad, K::typeMismatch, "[]", kWrong)) << bad;
  }
  EXPECT_TRUE(failsWith<CoreInlineMenuMessages>(R"({"name":"desktop-app-state-changed","data":{"type":"connected"}})",
                                                K::typeMismatch, "[]", "Wrong type for CoreInlineMenuMessages"));
}

TEST(InlineMenu, IntegrationAlwaysCarriesItsProvider) {
  EXPECT_EQ(encodeToJsonText(CoreIntegration::creditCard(CoreCreditCardProvider::privacy)),
            R"({"name":"creditCard","data":"privacy"})");
  EXPECT_EQ(encodeToJsonText(CoreIntegration::email(CoreEmailAliasProvider::fastmail)),
            R"({"name":"email","data":"fastmail"})");
  const char* kWrong = "Wrong type for CoreIntegration";
  EXPECT_TRUE(failsWith<CoreIntegration>(R"({"name":"email"})", K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreIntegration>(R"({"name":"email","data":"privacy"})", K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreInlineItemListEntryResponse>(
      R"({"id":"i","favorite":false,"secondary":"s","templateUuid":"001","title":"t","hasCustomIcon":false,)"
      R"("integration":{"name":"creditCard"}})",
      K::typeMismatch, R"(["integration"])", kWrong));
}

TEST(InlineMenu, RsaKeyWritesKeyOps) {
  const std::string json =
      R"({"kty":"RSA","kid":"k","alg":"RSA-OAEP-256","e":"AQAB","n":"xyz","ext":true,"keyOps":["encrypt"]})";
  EXPECT_EQ(reencode<CoreInlineJwkRsaPublicKey>(json), json);
  auto key = read<CoreInlineJwkRsaPublicKey>(R"({"kty":"RSA","kid":"k","alg":"A","e":"AQAB","n":"x",)"
                                             R"("key_ops":["encrypt"]})");
  EXPECT_FALSE(key.keyOps.has_value());
  EXPECT_EQ(encodeToJsonText(key), R"({"kty":"RSA","kid":"k","alg":"A","e":"AQAB","n":"x"})");
  const std::string answer = R"({"name":"get-save-object-public-key","data":)" + json + "}";
  EXPECT_EQ(reencode<CoreInlineMenuResponses>(answer), answer);
}

TEST(InlineMenu, PrivacyAnswersAreEmptyOnSuccess) {
  EXPECT_EQ(encodeToJsonText(CoreFillNewPrivacyCardResponse{}), "{}");
  EXPECT_EQ(encodeToJsonText(CoreEnablePrivacyIntegrationResponse{}), "{}");
  EXPECT_EQ(reencode<CoreEnablePrivacyIntegrationResponse>(R"({"error":"FailedToCreateApiKey"})"),
            R"({"error":"FailedToCreateApiKey"})");
  EXPECT_EQ(reencode<CoreFillNewPrivacyCardResponse>(R"({"error":{"type":"ApiError","content":{"message":"m"}}})"),
            R"({"error":{"type":"ApiError","content":{"message":"m"}}})");
  EXPECT_EQ(reencode<CoreFillNewPrivacyCardResponse>(R"({"error":{"type":"EmptyLimit"}})"),
            R"({"error":{"type":"EmptyLimit"}})");
  EXPECT_EQ(reencode<CoreInlineMenuResponses>(R"({"name":"fill-new-privacy-card","data":{}})"),
            R"({"name":"fill-new-privacy-card","data":{}})");
  EXPECT_EQ(reencode<CoreInlineMenuResponses>(
                R"({"name":"get-privacy-enable-dialog-configuration","data":{"locale":"en","response":{"type":)"
                R"("Error","data":"NoValidAccounts"},"appTheme":"dark"}})"),
            R"({"name":"get-privacy-enable-dialog-configuration","data":{"locale":"en","response":{"type":)"
            R"("Error","data":"NoValidAccounts"},"appTheme":"dark"}})");
}

TEST(InlineMenu, WebIntegrationNameStyles) {
  for (const char* json : {R"({"name":"autoSignInToSv"})", R"({"name":"displayMfaRequired"})",
                           R"({"name":"lock"})"}) {
    EXPECT_EQ(reencode<CoreSvIntegrationRequest>(json), json);
  }
  for (const char* json : {R"({"name":"sv-ready"})", R"({"name":"close-add-account-prompt"})",
                           R"({"name":"get-build-number"})"}) {
    EXPECT_EQ(reencode<CoreSvIntegrationMessages>(json), json);
  }
  EXPECT_TRUE(failsWith<CoreSvIntegrationRequest>(R"({"name":"auto-sign-in-to-sv"})", K::typeMismatch, "[]",
                                                  "Wrong type for CoreSvIntegrationRequest"));
  EXPECT_TRUE(failsWith<CoreSvIntegrationMessages>(R"({"name":"svReady"})", K::typeMismatch, "[]",
                                                   "Wrong type for CoreSvIntegrationMessages"));
  EXPECT_TRUE(failsWith<CoreSvIntegrationRequest>(R"({"name":"initializeDevice"})", K::typeMismatch, "[]",
                                                  "Wrong type for CoreSvIntegrationRequest"));
  const std::string device =
      R"({"name":"initializeDevice","data":{"device":{"uuid":"d","clientName":"c","clientVersion":"1"}}})";
  EXPECT_EQ(reencode<CoreSvIntegrationRequest>(device), device);
}

TEST(InlineMenu, FillActionCarriesAFillResponse) {
  const std::string perform =
      R"({"name":"perform-fill","data":{"response":{"fillPayload":{"filledDesignations":["email"],"frames":[{)"
      R"("allowedTargets":{"type":"Targets","data":[{"type":"Url","data":"https://a"}]},"operations":[{"action":)"
      R"("fillOpid","opid":1,"value":"me@x"}],"uuid":"f"}]},"debugInfo":{"numRecipeMatches":0}},"status":"none"}})";
  EXPECT_EQ(reencode<CoreInlineMenuActions>(perform), perform);
  std::string broken = perform;
  broken.replace(broken.find(R"("type":"Url")"), 12, R"("type":"URL")");
  EXPECT_TRUE(failsWith<CoreInlineMenuActions>(broken, K::typeMismatch, "[]", "Wrong type for CoreInlineMenuActions"));
}

// ---------------------------------------------------------------------------------------------------------
// Desktop families.

TEST(DesktopInvocation, NativeMessagingAndUnitCases) {
  const std::string nm =
      R"({"type":"NativeMessaging","content":{"type":"NmRequestAccounts","content":{"version":1,"userRequested":true}}})";
  EXPECT_EQ(reencode<CoreTsAppInvocation>(nm), nm);
  ASSERT_EQ(read<CoreTsAppInvocation>(nm).which(), CoreTsAppInvocation::Case::nativeMessaging);
  for (const char* json : {R"({"type":"Load"})", R"({"type":"AutoFillFromShortcut"})", R"({"type":"LockState"})",
                           R"({"type":"Echo","content":{"echo":"hi"}})"}) {
    EXPECT_EQ(reencode<CoreTsAppInvocation>(json), json);
  }
  const char* kWrong = "Wrong type for CoreTsAppInvocation";
  EXPECT_TRUE(failsWith<CoreTsAppInvocation>(R"({"type":"load"})", K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreTsAppInvocation>(R"({"type":"Echo"})", K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreTsAppInvocation>(
      R"({"type":"NativeMessaging","content":{"type":"NmRequestAccounts","content":{"version":-1}}})", K::typeMismatch,
      "[]", kWrong));
}

TEST(DesktopInvocation, ResultWrapsWholeAnswers) {
  EXPECT_EQ(encodeToJsonText(CoreCoreResult::failure("boom")), R"({"type":"Failure","content":"boom"})");
  EXPECT_EQ(encodeToJsonText(CoreCoreResult::success(CoreTsAppResponse::nothing())),
            R"({"type":"Success","content":{"type":"Nothing"}})");
  for (const char* json : {
           R"({"type":"Success","content":{"type":"Nothing"}})",
           R"({"type":"Failure","content":""})",
           R"({"type":"Success","content":{"type":"Config","content":{"hasAccount":true,"lockState":"Unlocked"}}})",
           R"({"type":"Success","content":{"type":"FillSessionStatus","content":{"status":"none"}}})",
       }) {
    EXPECT_EQ(reencode<CoreCoreResult>(json), json);
  }
  const char* kWrong = "Wrong type for CoreCoreResult";
  EXPECT_TRUE(failsWith<CoreCoreResult>(R"({"type":"Success"})", K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreCoreResult>(R"({"type":"Failure","content":null})", K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreCoreResult>(
      R"({"type":"Success","content":{"type":"Config","content":{"hasAccount":true,"lockState":"locked"}}})",
      K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreTsAppResponse>(R"({"type":"Config","content":{"hasAccount":true}})", K::typeMismatch, "[]",
                                           "Wrong type for CoreTsAppResponse"));
}

TEST(DesktopInvocation, BindingWireStringsFollowTheHyphenRule) {
  using C = CoreTsBindingInvocation::Case;
  EXPECT_EQ(reencode<CoreTsBindingInvocation>(R"({"name":"clear-fill-session"})"), R"({"name":"clear-fill-session"})");
  EXPECT_EQ(encodeToJsonText(CoreTsBindingInvocation::clearSsoSessions()), R"({"name":"clear-sso-sessions"})");
  struct Sample {
    const char* json;
    C expected;
  };
  const Sample samples[] = {
      {R"({"name":"classify-credit-card-number","data":"4111"})", C::classifyCreditCardNumber},
      {R"({"name":"set-core-locale","data":"de-DE"})", C::setCoreLocale},
      {R"({"name":"get-rich-icon-color","data":["a","b"]})", C::getRichIconColor},
      {R"({"name":"naked-domain","data":[]})", C::nakedDomain},
      {R"({"name":"parse-markdown","data":"# h"})", C::parseMarkdown},
      {R"({"name":"service-integration-for-url","data":"https://a"})", C::serviceIntegrationForUrl},
      {R"({"name":"get-apple-change-password-url","data":"https://a"})", C::getAppleChangePasswordUrl},
      {R"({"name":"formatted-credit-card-number","data":"4111"})", C::formattedCreditCardNumber},
      {R"({"name":"concealed-credit-card-number","data":"4111"})", C::concealedCreditCardNumber},
      {R"({"name":"generate-suggested-password","data":{"url":"https://a"}})", C::generateSuggestedPassword},
      {R"({"name":"validate-privacy-card-params","data":{"itemTitle":"c","limitAmount":10,"limitDuration":"Monthly"}})",
       C::validatePrivacyCardParams},
      {R"({"name":"clear-sso-sessions"})", C::clearSsoSessions},
  };
  for (const auto& sample : samples) {
    EXPECT_EQ(reencode<CoreTsBindingInvocation>(sample.json), sample.json);
    EXPECT_EQ(read<CoreTsBindingInvocation>(sample.json).which(), sample.expected) << sample.json;
  }
  for (const char* bad : {R"({"name":"clear-s-s-o-sessions"})", R"({"name":"analyzePage"})",
                          R"({"name":"Analyze-Page"})", R"({"name":"set-core-locale","data":["de"]})"}) {
    EXPECT_TRUE(failsWith<CoreTsBindingInvocation>(bad, K::typeMismatch, "[]",
                                                   "Wrong type for CoreTsBindingInvocation"))
        << bad;
  }
}

TEST(DesktopNotification, CapitalisedCaseNamesAndOtherStyles) {
  for (const char* json : {R"({"type":"LockStateChanged","content":"Locked"})",
                           R"({"type":"SecondInstanceStarted","content":["--hidden","x"]})",
                           R"({"type":"ShowWindowTitle","content":"t"})", R"({"type":"FillShortcutActivated"})",
                           R"({"type":"ShuttingDown"})"}) {
    EXPECT_EQ(reencode<CoreNotification>(json), json);
  }
  EXPECT_TRUE(failsWith<CoreNotification>(R"({"type":"LockStateChanged","content":"Unlocking"})", K::typeMismatch,
                                          "[]", "Wrong type for CoreNotification"));
  EXPECT_EQ(reencode<CoreTsAppFrontendEventType>(R"({"type":"WillQuit"})"), R"({"type":"WillQuit"})");
  EXPECT_EQ(reencode<CoreTsAppInitialRouteType>(R"({"type":"plain"})"), R"({"type":"plain"})");
  EXPECT_TRUE(failsWith<CoreTsAppInitialRouteType>(R"({"type":"Plain"})", K::typeMismatch, "[]",
                                                   "Wrong type for CoreTsAppInitialRouteType"));
  const std::string box =
      R"({"msgBoxType":"Question","title":"t","message":"m","buttons":["Yes","No"],"cancelId":-1})";
  EXPECT_EQ(reencode<CoreMessageBoxRequest>(box), box);
  EXPECT_EQ(reencode<CorePromptRequest>(std::string(R"({"type":"MessageBox","content":)") + box + "}"),
            std::string(R"({"type":"MessageBox","content":)") + box + "}");
  EXPECT_FALSE(decode<CoreMessageBoxRequest>(
                   R"({"msgBoxType":"Question","title":"t","message":"m","buttons":[],"cancelId":2147483648})")
                   .ok());
  EXPECT_TRUE(failsWith<CoreMessageBoxRequest>(R"({"msgBoxType":"question","title":"t","message":"m","buttons":[],)"
                                               R"("cancelId":0})",
                                               K::dataCorrupted, R"(["msgBoxType"])"));
}

TEST(DesktopMarkdown, RecursiveNodesUseTagAndAttrs) {
  const std::string json =
      R"({"elements":{"type":{"tag":"Root"},"children":[{"type":{"tag":"Paragraph"},"children":[{"type":{"tag":)"
      R"("Text","attrs":"hi"}},{"type":{"tag":"Link","attrs":{"url":"https://x","linkType":"web"}},"children":[)"
      R"({"type":{"tag":"Text","attrs":"x"}}]}]},{"type":{"tag":"OrderedList","attrs":3},"children":[]},)"
      R"({"type":{"tag":"CodeBlock","attrs":{"language":"cpp"}}},{"type":{"tag":"H6"}},{"type":{"tag":"Rule"}}]}})";
  EXPECT_EQ(reencode<CoreWebMarkdownResponse>(json), json);
  auto response = read<CoreWebMarkdownResponse>(json);
  ASSERT_TRUE(response.elements.children.has_value());
  ASSERT_EQ(response.elements.children->size(), 5u);
  EXPECT_EQ((*response.elements.children)[1].type.get<CoreWebMdElementTag::Case::orderedList>(), 3u);

  // The first union on the path from the root names the fault.
  std::string badLink = json;
  badLink.replace(badLink.find(R"("linkType":"web")"), 16, R"("linkType":"Web")");
  EXPECT_TRUE(failsWith<CoreWebMarkdownResponse>(badLink, K::typeMismatch,
                                                 R"(["elements","children",0,"children",1,"type"])",
                                                 "Wrong type for CoreWebMdElementTag"));
  const char* kWrong = "Wrong type for CoreWebMdElementTag";
  EXPECT_TRUE(failsWith<CoreWebMdElementTag>(R"({"type":"Root"})", K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreWebMdElementTag>(R"({"tag":"Text","content":"x"})", K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreWebMdElementTag>(R"({"tag":"OrderedList","attrs":-3})", K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreWebMdElementTag>(R"({"tag":"h1"})", K::typeMismatch, "[]", kWrong));
  EXPECT_TRUE(failsWith<CoreNode>(R"({"type":{"tag":"Root"},"children":[{"children":[]}]})", K::keyNotFound,
                                  R"(["children",0,"type"])"));
}

TEST(DesktopMarkdown, DeepChainBuiltInCodeRoundTrips) {
  constexpr int kDepth = 200;
  CoreNode leaf{CoreWebMdElementTag::text("bottom"), std::nullopt};
  CoreNode node = leaf;
  for (int i = 0; i < kDepth; ++i) {
    CoreNode parent{i % 2 == 0 ? CoreWebMdElementTag::paragraph() : CoreWebMdElementTag::root(),
                    std::vector<CoreNode>{node}};
    node = std::move(parent);
  }
  const std::string json = encodeToJsonText(node);
  ASSERT_FALSE(json.empty());
  const std::string leafJson = R"({"type":{"tag":"Text","attrs":"bottom"}})";
  EXPECT_EQ(json.rfind(leafJson), json.size() - kDepth * 2 - leafJson.size());
  auto back = decode<CoreNode>(json);
  ASSERT_TRUE(back.ok()) << back.error().description;
  EXPECT_EQ(encodeToJsonText(*back), json);
  const CoreNode* walk = &*back;
  int depth = 0;
  while (walk->children.has_value()) {
    ASSERT_EQ(walk->children->size(), 1u);
    walk = &walk->children->front();
    ++depth;
  }
  EXPECT_EQ(depth, kDepth);
  EXPECT_EQ(walk->type.get<CoreWebMdElementTag::Case::text>(), "bottom");
}

TEST(DesktopMarkdown, IconsNestThroughCompositeSources) {
  const std::string json =
      R"({"id":"a","sources":[{"type":"CompositeIcon","content":{"components":[{"id":"b","sources":[{"type":)"
      R"("DefaultIcon","content":{"file":"vault","masked":true}},{"type":"CompositeIcon","content":{"components":)"
      R"([{"id":"c","sources":[{"type":"RichIcon","content":{"url":"https://i"}}],"badge":"lock"}]}}],)"
      R"("shape":"roundedRect"}]}}]})";
  EXPECT_EQ(reencode<CoreIcon>(json), json);
  std::string broken = json;
  broken.replace(broken.find(R"("file":"vault")"), 14, R"("file":"Vault")");
  EXPECT_TRUE(failsWith<CoreIcon>(broken, K::typeMismatch, R"(["sources",0])", "Wrong type for CoreIconSource"));
}

}  // namespace
}  // namespace tessaly::model
