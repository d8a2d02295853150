// Where the generic reader is most exposed: enumerations inside lists, tagged unions nested inside unions and
// records, and recursive types. A fault inside a union is reported at the outermost union on the path from the
// root; other faults at their own member.
#include <gtest/gtest.h>

#include <string>

#include "tessaly/model/core_types.h"
#include "tessaly/model/json.h"
#include "test_support.h"

namespace tessaly::model {
namespace {

using testing::failsWith;
using testing::reencode;
using K = DecodeErrorKind;

TEST(Families, AnUnknownEnumerationStringInAListIsCorruptAtItsIndex) {
  EXPECT_TRUE(failsWith<CoreFillPayload>(R"({"filledDesignations":["username","password"],"frames":[]})",
                                         K::dataCorrupted, R"(["filledDesignations",1])"));
  EXPECT_TRUE(failsWith<CoreItemToFillObjectRequest>(R"({"item":"x","designationFilter":["email","e-mail"]})",
                                                     K::dataCorrupted, R"(["designationFilter",1])"));
}

TEST(Families, AFaultInsideAUnionIsReportedAtTheOutermostUnion) {
  const char* kWrongTarget = "Wrong type for CoreFillTarget";
  for (const char* json : {R"({"type":"Url","content":"https://a"})", R"({"type":"Url"})",
                           R"({"type":"url","data":"https://a"})", R"({"type":"Url","data":7})"}) {
    EXPECT_TRUE(failsWith<CoreFillTarget>(json, K::typeMismatch, "[]", kWrongTarget));
  }
  EXPECT_TRUE(failsWith<CoreAllowedTargets>(R"({"type":"Targets","data":[{"type":"Url","content":"https://a"}]})",
                                            K::typeMismatch, "[]", "Wrong type for CoreAllowedTargets"));
  // Inside records the union's own member is named; wrapped in further unions, only the outermost, at the root.
  const std::string frames =
      R"({"filledDesignations":[],"frames":[{"allowedTargets":{"type":"Anywhere"},"operations":[],"uuid":"a"},)"
      R"({"allowedTargets":{"type":"Targets","data":[{"type":"App","data":"x"}]},"operations":[],"uuid":"b"}]})";
  EXPECT_TRUE(failsWith<CoreFillPayload>(frames, K::typeMismatch, R"(["frames",1,"allowedTargets"])",
                                         "Wrong type for CoreAllowedTargets"));
  EXPECT_TRUE(failsWith<CoreCoreResult>(R"({"type":"Success","content":{"type":"FillItem","content":)" + frames + "}}",
                                        K::typeMismatch, "[]", "Wrong type for CoreCoreResult"));
  const std::string badIntegration =
      R"({"data":{"type":"SaveRequest","data":{"data":"d","urls":[],"integration":"Ramp"}},"itemTemplate":"001",)"
      R"("tabId":2,"tabUrl":"u"})";
  EXPECT_TRUE(failsWith<CoreInitSaveSessionRequest>(badIntegration, K::typeMismatch, R"(["data"])",
                                                    "Wrong type for CoreSaveSessionInitData"));
  EXPECT_TRUE(failsWith<CoreTsBindingInvocation>(R"({"name":"start-save-session","data":)" + badIntegration + "}",
                                                 K::typeMismatch, "[]", "Wrong type for CoreTsBindingInvocation"));
}

TEST(Families, RecursiveTypesReadAndReportAtDepth) {
  const std::string json =
      R"({"elements":{"type":{"tag":"Root"},"children":[{"type":{"tag":"Paragraph"},"children":[{"type":{"tag":)"
      R"("Text","attrs":"hi"}},{"type":{"tag":"Link","attrs":{"url":"https://x","linkType":"web"}},"children":[)"
      R"({"type":{"tag":"Text","attrs":"x"}}]}]},{"type":{"tag":"OrderedList","attrs":3},"children":[]}]}})";
  EXPECT_EQ(reencode<CoreWebMarkdownResponse>(json), json);
  std::string badLink = json;
  badLink.replace(badLink.find(R"("linkType":"web")"), 16, R"("linkType":"Web")");
  EXPECT_TRUE(failsWith<CoreWebMarkdownResponse>(badLink, K::typeMismatch,
                                                 R"(["elements","children",0,"children",1,"type"])",
                                                 "Wrong type for CoreWebMdElementTag"));
  EXPECT_TRUE(failsWith<CoreNode>(R"({"type":{"tag":"Root"},"children":[{"children":[]}]})", K::keyNotFound,
                                  R"(["children",0,"type"])"));

  // A chain 200 nodes deep is written and read back whole.
  constexpr int kDepth = 200;
  CoreNode node{CoreWebMdElementTag::text("bottom"), std::nullopt};
  for (int i = 0; i < kDepth; ++i) {
    CoreNode parent{i % 2 == 0 ? CoreWebMdElementTag::paragraph() : CoreWebMdElementTag::root(),
                    std::vector<CoreNode>{node}};
    node = std::move(parent);
  }
  const auto deep = encode(node);
  ASSERT_TRUE(deep.ok());
  EXPECT_EQ(reencode<CoreNode>(*deep), *deep);
}

}  // namespace
}  // namespace tessaly::model
