// The requirement language: compiles requirement texts and evaluates them against a validated signature.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaly::codesign {

// Extension that marks the platform vendor's own software-signing leaf; "anchor apple" asks for it.
inline constexpr std::string_view kVendorSoftwareSigningOid = "1.2.840.113635.100.6.22";

// What a requirement can see of one certificate of the signing chain.
struct CertificateFacts {
  // Subject attributes as (short name, UTF-8 value), e.g. ("CN", "Software Signing"), ("OU", "Q7RM2KX9WD").
  std::vector<std::pair<std::string, std::string>> subject;
  // Dotted OIDs of every extension the certificate carries.
  std::vector<std::string> extensionOids;

  bool hasExtension(std::string_view oid) const noexcept;
};

// Everything a requirement is evaluated against.
struct RequirementContext {
  std::string identifier;               // signing identifier from the code directory
  std::vector<CertificateFacts> chain;  // leaf first; the last one is the root when anchorTrusted
  bool anchorTrusted = false;           // the chain verified up to one of the trust anchors
};

// A compiled requirement. Grammar (keywords are lower case; `!` may stand for `not`):
//
//   expr      := and-expr { "or" and-expr }
//   and-expr  := unary { "and" unary }
//   unary     := ("not" | "!") unary | primary
//   primary   := "(" expr ")" | "always" | "never"
//              | "anchor" "apple" [ "generic" ]
//              | "identifier" [ "=" ] string
//              | "certificate" slot "[" field "]" [ "=" string | "exists" ]
//   slot      := "leaf" | "root" | "anchor" | N | -N     (N counts from the leaf, -N from the root; -1 is the root)
//   field     := "subject." NAME | "field." OID
//   string    := "quoted, with \" and \\ escapes" | bare-word
//
// `certificate S[field.OID]` holds when that certificate carries the extension; `certificate S[subject.NAME] =
// V` when one of its NAME attributes equals V exactly; without "= V" the attribute only has to exist.
// `anchor apple generic` holds when the chain verified to a trust anchor; `anchor apple` holds when it did and
// the leaf is the vendor's own software-signing certificate (it carries kVendorSoftwareSigningOid).
class Requirement {
 public:
  struct ParseError {
    std::size_t offset = 0;  // byte offset in the text where reading stopped
    std::string message;
  };

  // Compiles `text`. On failure returns nothing and, if `error` is given, fills it.
  static std::shared_ptr<const Requirement> compile(std::string_view text, ParseError* error = nullptr);

  bool evaluate(const RequirementContext& context) const noexcept;
  // The text it was compiled from.
  const std::string& text() const noexcept { return text_; }
  // The requirement written out in one canonical form that compiles back to the same requirement: keywords in
  // lower case, `not` for `!`, single spaces, every string quoted, positions as leaf, root or a number, `exists`
  // spelled out, and parentheses only where the grouping needs them. Texts that mean the same clause by clause
  // give the same canonical text.
  std::string canonicalText() const;

  struct Node;
  Requirement(std::string text, std::unique_ptr<Node> root);
  ~Requirement();
  Requirement(const Requirement&) = delete;
  Requirement& operator=(const Requirement&) = delete;

 private:
  std::string text_;
  std::unique_ptr<Node> root_;
};

}  // namespace tessaly::codesign
