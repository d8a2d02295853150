#include "tessaly/codesign/requirement.h"

#include <gtest/gtest.h>

namespace tessaly::codesign {
namespace {

constexpr const char* kMarketRequirement =
    "anchor apple generic and (\n"
    "        certificate leaf[field.1.2.840.113635.100.6.1.9] or (\n"
    "            certificate 1[field.1.2.840.113635.100.6.2.6] and certificate leaf[field.1.2.840.113635.100.6.1.13]\n"
    "        )\n"
    ")";

RequirementContext developerId(bool trusted = true) {
  RequirementContext context;
  context.identifier = "com.example.app";
  context.anchorTrusted = trusted;
  context.chain = {
      {{{"CN", "Developer ID Application: Example (Q7RM2KX9WD)"}, {"OU", "Q7RM2KX9WD"}},
       {"2.5.29.15", "1.2.840.113635.100.6.1.13"}},
      {{{"CN", "Developer ID Certification Authority"}}, {"1.2.840.113635.100.6.2.6"}},
      {{{"CN", "Root"}}, {"2.5.29.19"}},
  };
  return context;
}

bool holds(const char* text, const RequirementContext& context) {
  Requirement::ParseError error;
  auto requirement = Requirement::compile(text, &error);
  EXPECT_TRUE(requirement) << text << ": " << error.message << " at " << error.offset;
  return requirement && requirement->evaluate(context);
}

TEST(Requirement, CertificateKindsAgainstTheMarketRequirement) {
  EXPECT_TRUE(holds(kMarketRequirement, developerId()));
  EXPECT_FALSE(holds(kMarketRequirement, developerId(false)));

  RequirementContext store = developerId();
  store.chain[0].extensionOids = {"1.2.840.113635.100.6.1.9"};
  store.chain[1].extensionOids = {"1.2.840.113635.100.6.2.1"};
  EXPECT_TRUE(holds(kMarketRequirement, store));

  RequirementContext development = developerId();
  development.chain[0].extensionOids = {"1.2.840.113635.100.6.1.12"};
  development.chain[1].extensionOids = {"1.2.840.113635.100.6.2.1"};
  EXPECT_FALSE(holds(kMarketRequirement, development));

  // A Developer ID leaf marker under an intermediate without its marker is not enough.
  RequirementContext wrongIntermediate = developerId();
  wrongIntermediate.chain[1].extensionOids.clear();
  EXPECT_FALSE(holds(kMarketRequirement, wrongIntermediate));
}

TEST(Requirement, AnchorAppleNeedsTheVendorLeafAndATrustedChain) {
  RequirementContext vendor = developerId();
  vendor.chain[0] = {{{"CN", "Software Signing"}}, {std::string(kVendorSoftwareSigningOid)}};
  EXPECT_TRUE(holds("anchor apple", vendor));
  EXPECT_TRUE(holds("anchor apple generic", vendor));
  EXPECT_FALSE(holds("anchor apple", developerId()));
  EXPECT_TRUE(holds("anchor apple generic", developerId()));
  vendor.anchorTrusted = false;
  EXPECT_FALSE(holds("anchor apple", vendor));
  RequirementContext unsignedCode;
  unsignedCode.anchorTrusted = true;
  EXPECT_FALSE(holds("anchor apple generic", unsignedCode));
}

// Identifiers, subject fields, extension markers, certificate positions and operators against a Developer ID chain.
TEST(Requirement, EvaluatesAgainstTheChain) {
  RequirementContext context = developerId();
  context.chain[2].subject.emplace_back("OU", "A \"quoted\" \\ name");
  const std::pair<const char*, bool> cases[] = {
      {"identifier com.example.app", true},
      {"identifier com.example.App", false},
      {"identifier com.example", false},
      {"certificate leaf[subject.CN] = \"Developer ID Application: Example (Q7RM2KX9WD)\"", true},
      {"certificate leaf[subject.CN] = \"Developer ID Application: Example\"", false},
      {"certificate leaf[subject.OU] = Q7RM2KX9WD", true},
      {"certificate leaf[subject.OU] exists", true},
      {"certificate 1[subject.OU]", false},
      {"certificate leaf[field.1.2.840.113635.100.6.1.13] exists", true},
      {R"(certificate root[subject.OU] = "A \"quoted\" \\ name")", true},
      {"certificate 1[field.1.2.840.113635.100.6.2.6]", true},
      {"certificate root[subject.CN] = Root", true},
      {"certificate anchor[subject.CN] = Root", true},
      {"certificate -1[subject.CN] = Root", true},
      {"certificate -2[field.1.2.840.113635.100.6.2.6]", true},
      {"certificate 3[subject.CN]", false},
      {"certificate -4[subject.CN]", false},
      {"always or never and never", true},  // and binds tighter than or
      {"(always or never) and never", false},
      {"not always or always", true},  // not binds tightest
      {"not (always or always)", false},
      {"! never", true},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(holds(text, context), expected) << text;
}

TEST(Requirement, ReportsWhereATextStopsMakingSense) {
  const std::vector<std::pair<std::string, std::size_t>> cases = {
      {"", 0},
      {"anchor", 6},
      {"anchor google", 7},
      {"identifier", 10},
      {"identifier and", 11},
      {"certificate leaf", 16},
      {"certificate twig[subject.CN]", 12},
      {"certificate leaf[subject.] = x", 17},
      {"certificate leaf[field.1] exists", 17},
      {"certificate leaf[field.1.02] exists", 17},
      {"certificate leaf[field.1.2] = \"x\"", 28},
      {"certificate leaf[subject.CN = x", 28},
      {"(always", 7},
      {"always)", 6},
      {"always or", 9},
      {"identifier \"open", 11},
      {"identifier \"a\\nb\"", 13},
      {"certificate 65[subject.CN]", 12},
      {"anchor apple generic and", 24},
  };
  for (const auto& [text, offset] : cases) {
    Requirement::ParseError error;
    EXPECT_FALSE(Requirement::compile(text, &error)) << text;
    EXPECT_EQ(error.offset, offset) << text << ": " << error.message;
    EXPECT_FALSE(error.message.empty()) << text;
  }
}

TEST(Requirement, BoundsNestingInsteadOfExhaustingTheStack) {
  auto nested = [](int depth) { return std::string(depth, '(') + "always" + std::string(depth, ')'); };
  EXPECT_TRUE(Requirement::compile(nested(64)));
  EXPECT_FALSE(Requirement::compile(nested(65)));
  EXPECT_FALSE(Requirement::compile(std::string(100000, '(')));
  std::string negations;
  for (int i = 0; i < 100000; ++i) negations += "! ";
  EXPECT_FALSE(Requirement::compile(negations + "always"));
  // Long flat chains are fine: they do not nest.
  std::string chain = "always";
  for (int i = 0; i < 10000; ++i) chain += " and always";
  EXPECT_TRUE(holds(chain.c_str(), developerId()));
}

// The canonical text keeps the grouping (precedence, and lists inside lists of the same kind), quotes every
// string so that keywords and escapes survive, and compiles back to itself with the same verdicts.
TEST(Requirement, CanonicalTextCompilesToTheSameRequirement) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"always or never and never", "always or never and never"},
      {"(always or never) and never", "(always or never) and never"},
      {"(always or never) or always", "(always or never) or always"},
      {"always and (never and always)", "always and (never and always)"},
      {"((( always )))", "always"},
      {"! (always and never) or ! ! never", "not (always and never) or not not never"},
      {"not(never or always)", "not (never or always)"},
      {"anchor  apple\tgeneric", "anchor apple generic"},
      {"identifier com.example.app", "identifier \"com.example.app\""},
      {"identifier = \"and\"", "identifier \"and\""},
      {"identifier \"\"", "identifier \"\""},
      {R"(identifier "a \"q\" \\ b")", R"(identifier "a \"q\" \\ b")"},
      {"identifier a\\b", R"(identifier "a\\b")"},
      {"certificate 0[subject.OU]", "certificate leaf[subject.OU] exists"},
      {"certificate anchor[field.1.2.3] exists", "certificate root[field.1.2.3] exists"},
      {"certificate -0[subject.CN]=x", "certificate leaf[subject.CN] = \"x\""},
      {"certificate -2[subject.CN] = \"Root\"", "certificate -2[subject.CN] = \"Root\""},
      {"certificate 64[field.1.2]", "certificate 64[field.1.2] exists"},
  };
  std::vector<RequirementContext> contexts = {developerId(), developerId(false), RequirementContext{}};
  contexts[2].identifier = "a\\b";
  for (const auto& [text, canonical] : cases) {
    auto requirement = Requirement::compile(text);
    ASSERT_TRUE(requirement) << text;
    EXPECT_EQ(requirement->canonicalText(), canonical) << text;
    auto again = Requirement::compile(requirement->canonicalText());
    ASSERT_TRUE(again) << canonical;
    EXPECT_EQ(again->canonicalText(), canonical);
    for (const RequirementContext& context : contexts) {
      EXPECT_EQ(again->evaluate(context), requirement->evaluate(context)) << text;
    }
  }
  // The deepest nesting that compiles still compiles once written out.
  std::string deep = "always";
  for (int i = 0; i < 32; ++i) deep = "not (" + deep + " or never)";
  auto requirement = Requirement::compile(deep);
  ASSERT_TRUE(requirement);
  EXPECT_TRUE(Requirement::compile(requirement->canonicalText()));
}

}  // namespace
}  // namespace tessaly::codesign
