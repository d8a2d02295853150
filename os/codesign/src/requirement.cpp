#include "tessaly/codesign/requirement.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>

namespace tessaly::codesign {

struct Requirement::Node {
  enum class Kind {
    always,
    never,
    anchorApple,
    anchorAppleGeneric,
    identifier,
    certificateField,
    certificateSubject,
    negation,
    conjunction,
    disjunction
  };
  Kind kind = Kind::never;
  int slot = 0;       // certificate position: >= 0 from the leaf, < 0 from the root
  std::string name;   // OID for certificateField, attribute name for certificateSubject
  std::string value;  // identifier, or the attribute value to compare with
  bool compareValue = false;
  std::vector<std::unique_ptr<Node>> children;
};

namespace {

using Node = Requirement::Node;
using Kind = Node::Kind;

constexpr int kMaxNesting = 64;

enum class TokenType { word, string, openParen, closeParen, openBracket, closeBracket, equals, bang, end };

struct Token {
  TokenType type = TokenType::end;
  std::string text;
  std::size_t offset = 0;
};

bool isDelimiter(char c) {
  return std::isspace(static_cast<unsigned char>(c)) || c == '(' || c == ')' || c == '[' || c == ']' || c == '=' ||
         c == '"' || c == '!';
}

bool isKeyword(std::string_view word) {
  static constexpr std::string_view keywords[] = {"and",        "or",          "not",    "anchor", "apple", "generic",
                                                  "identifier", "certificate", "always", "never",  "exists"};
  return std::find(std::begin(keywords), std::end(keywords), word) != std::end(keywords);
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::unique_ptr<Node> parse(Requirement::ParseError* error) {
    advance();
    std::unique_ptr<Node> root = parseDisjunction(0);
    if (root && current_.type != TokenType::end) fail("unexpected text after the requirement");
    if (failed_) {
      if (error) *error = error_;
      return nullptr;
    }
    return root;
  }

 private:
  void fail(std::string message) {
    if (failed_) return;
    failed_ = true;
    error_.offset = current_.offset;
    error_.message = std::move(message);
  }

  bool isWord(std::string_view word) const { return current_.type == TokenType::word && current_.text == word; }

  void advance() {
    while (position_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[position_]))) ++position_;
    current_ = Token{};
    current_.offset = position_;
    if (position_ >= text_.size()) return;
    const char c = text_[position_];
    switch (c) {
      case '(':
        current_.type = TokenType::openParen;
        ++position_;
        return;
      case ')':
        current_.type = TokenType::closeParen;
        ++position_;
        return;
      case '[':
        current_.type = TokenType::openBracket;
        ++position_;
        return;
      case ']':
        current_.type = TokenType::closeBracket;
        ++position_;
        return;
      case '=':
        current_.type = TokenType::equals;
        ++position_;
        return;
      case '!':
        current_.type = TokenType::bang;
        ++position_;
        return;
      case '"':
        readQuoted();
        return;
      default:
        break;
    }
    std::size_t end = position_;
    while (end < text_.size() && !isDelimiter(text_[end])) ++end;
    current_.type = TokenType::word;
    current_.text.assign(text_.substr(position_, end - position_));
    position_ = end;
  }

  void readQuoted() {
    std::size_t i = position_ + 1;
    std::string value;
    while (i < text_.size() && text_[i] != '"') {
      if (text_[i] == '\\') {
        if (i + 1 >= text_.size() || (text_[i + 1] != '"' && text_[i + 1] != '\\')) {
          current_.offset = i;
          fail("only \\\" and \\\\ may be escaped in a string");
          current_.type = TokenType::end;
          position_ = text_.size();
          return;
        }
        ++i;
      }
      value.push_back(text_[i]);
      ++i;
    }
    if (i >= text_.size()) {
      fail("unterminated string");
      current_.type = TokenType::end;
      position_ = text_.size();
      return;
    }
    current_.type = TokenType::string;
    current_.text = std::move(value);
    position_ = i + 1;
  }

  std::unique_ptr<Node> combine(Kind kind, std::unique_ptr<Node> first, std::string_view word,
                                std::unique_ptr<Node> (Parser::*next)(int), int depth) {
    if (!first || !isWord(word)) return first;
    auto node = std::make_unique<Node>();
    node->kind = kind;
    node->children.push_back(std::move(first));
    while (isWord(word)) {
      advance();
      std::unique_ptr<Node> operand = (this->*next)(depth);
      if (!operand) return nullptr;
      node->children.push_back(std::move(operand));
    }
    return node;
  }

  std::unique_ptr<Node> parseDisjunction(int depth) {
    return combine(Kind::disjunction, parseConjunction(depth), "or", &Parser::parseConjunction, depth);
  }

  std::unique_ptr<Node> parseConjunction(int depth) {
    return combine(Kind::conjunction, parseUnary(depth), "and", &Parser::parseUnary, depth);
  }

  std::unique_ptr<Node> parseUnary(int depth) {
    if (current_.type == TokenType::bang || isWord("not")) {
      if (depth >= kMaxNesting) {
        fail("the requirement nests too deeply");
        return nullptr;
      }
      advance();
      std::unique_ptr<Node> operand = parseUnary(depth + 1);
      if (!operand) return nullptr;
      auto node = std::make_unique<Node>();
      node->kind = Kind::negation;
      node->children.push_back(std::move(operand));
      return node;
    }
    return parsePrimary(depth);
  }

  std::unique_ptr<Node> parsePrimary(int depth) {
    if (current_.type == TokenType::openParen) {
      if (depth >= kMaxNesting) {
        fail("the requirement nests too deeply");
        return nullptr;
      }
      advance();
      std::unique_ptr<Node> inner = parseDisjunction(depth + 1);
      if (!inner) return nullptr;
      if (current_.type != TokenType::closeParen) {
        fail("expected ')'");
        return nullptr;
      }
      advance();
      return inner;
    }
    auto node = std::make_unique<Node>();
    if (isWord("always") || isWord("never")) {
      node->kind = isWord("always") ? Kind::always : Kind::never;
      advance();
      return node;
    }
    if (isWord("anchor")) {
      advance();
      if (!isWord("apple")) {
        fail("expected 'apple' after 'anchor'");
        return nullptr;
      }
      advance();
      node->kind = Kind::anchorApple;
      if (isWord("generic")) {
        node->kind = Kind::anchorAppleGeneric;
        advance();
      }
      return node;
    }
    if (isWord("identifier")) {
      advance();
      if (current_.type == TokenType::equals) advance();
      auto value = readString();
      if (!value) return nullptr;
      node->kind = Kind::identifier;
      node->value = std::move(*value);
      return node;
    }
    if (isWord("certificate")) {
      advance();
      return parseCertificate(std::move(node));
    }
    fail(current_.type == TokenType::end ? "unexpected end of the requirement" : "expected a requirement clause");
    return nullptr;
  }

  std::unique_ptr<Node> parseCertificate(std::unique_ptr<Node> node) {
    if (!readSlot(node->slot)) return nullptr;
    if (current_.type != TokenType::openBracket) {
      fail("expected '[' after the certificate position");
      return nullptr;
    }
    advance();
    if (current_.type != TokenType::word) {
      fail("expected 'subject.NAME' or 'field.OID'");
      return nullptr;
    }
    const std::string field = current_.text;
    if (field.rfind("subject.", 0) == 0 && isAttributeName(field.substr(8))) {
      node->kind = Kind::certificateSubject;
      node->name = field.substr(8);
    } else if (field.rfind("field.", 0) == 0 && isOid(field.substr(6))) {
      node->kind = Kind::certificateField;
      node->name = field.substr(6);
    } else {
      fail("expected 'subject.NAME' or 'field.OID'");
      return nullptr;
    }
    advance();
    if (current_.type != TokenType::closeBracket) {
      fail("expected ']'");
      return nullptr;
    }
    advance();
    if (isWord("exists")) {
      advance();
    } else if (current_.type == TokenType::equals) {
      if (node->kind == Kind::certificateField) {
        fail("an extension field can only be tested for existence");
        return nullptr;
      }
      advance();
      auto value = readString();
      if (!value) return nullptr;
      node->value = std::move(*value);
      node->compareValue = true;
    }
    return node;
  }

  bool readSlot(int& slot) {
    if (current_.type != TokenType::word) {
      fail("expected a certificate position");
      return false;
    }
    const std::string& word = current_.text;
    if (word == "leaf") {
      slot = 0;
    } else if (word == "root" || word == "anchor") {
      slot = -1;
    } else {
      int value = 0;
      auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
      if (ec != std::errc() || end != word.data() + word.size() || value < -64 || value > 64) {
        fail("expected a certificate position: leaf, root or a number");
        return false;
      }
      slot = value;
    }
    advance();
    return true;
  }

  std::optional<std::string> readString() {
    if (current_.type == TokenType::string || (current_.type == TokenType::word && !isKeyword(current_.text))) {
      std::string value = std::move(current_.text);
      advance();
      return value;
    }
    fail("expected a string");
    return std::nullopt;
  }

  static bool isAttributeName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(),
                                        [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '.'; });
  }

  static bool isOid(std::string_view oid) {
    int arcs = 0;
    std::size_t start = 0;
    while (start <= oid.size()) {
      std::size_t dot = oid.find('.', start);
      if (dot == std::string_view::npos) dot = oid.size();
      std::string_view arc = oid.substr(start, dot - start);
      if (arc.empty() || arc.size() > 18 || (arc.size() > 1 && arc[0] == '0') ||
          !std::all_of(arc.begin(), arc.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
      }
      ++arcs;
      start = dot + 1;
    }
    return arcs >= 2;
  }

  std::string_view text_;
  std::size_t position_ = 0;
  Token current_;
  bool failed_ = false;
  Requirement::ParseError error_;
};

const CertificateFacts* certificateAt(const RequirementContext& context, int slot) {
  const auto size = static_cast<long>(context.chain.size());
  const long index = slot >= 0 ? slot : size + slot;
  if (index < 0 || index >= size) return nullptr;
  return &context.chain[static_cast<std::size_t>(index)];
}

bool evaluateNode(const Node& node, const RequirementContext& context) {
  switch (node.kind) {
    case Kind::always:
      return true;
    case Kind::never:
      return false;
    case Kind::anchorAppleGeneric:
      return context.anchorTrusted && !context.chain.empty();
    case Kind::anchorApple:
      return context.anchorTrusted && !context.chain.empty() &&
             context.chain.front().hasExtension(kVendorSoftwareSigningOid);
    case Kind::identifier:
      return context.identifier == node.value;
    case Kind::certificateField: {
      const CertificateFacts* certificate = certificateAt(context, node.slot);
      return certificate != nullptr && certificate->hasExtension(node.name);
    }
    case Kind::certificateSubject: {
      const CertificateFacts* certificate = certificateAt(context, node.slot);
      if (certificate == nullptr) return false;
      return std::any_of(certificate->subject.begin(), certificate->subject.end(), [&](const auto& attribute) {
        return attribute.first == node.name && (!node.compareValue || attribute.second == node.value);
      });
    }
    case Kind::negation:
      return !evaluateNode(*node.children.front(), context);
    case Kind::conjunction:
      return std::all_of(node.children.begin(), node.children.end(),
                         [&](const auto& child) { return evaluateNode(*child, context); });
    case Kind::disjunction:
      return std::any_of(node.children.begin(), node.children.end(),
                         [&](const auto& child) { return evaluateNode(*child, context); });
  }
  return false;
}

void writeQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

void writeSlot(std::string& out, int slot) {
  if (slot == 0) {
    out += "leaf";
  } else if (slot == -1) {
    out += "root";
  } else {
    out += std::to_string(slot);
  }
}

// How tightly an expression binds: an operand that binds less tightly than its place asks for, or a list of the
// same kind inside a list (which the compiler would otherwise merge), is put in parentheses.
int bindingOf(Kind kind) {
  switch (kind) {
    case Kind::disjunction:
      return 0;
    case Kind::conjunction:
      return 1;
    default:
      return 2;
  }
}

void writeNode(std::string& out, const Node& node);

void writeOperand(std::string& out, const Node& operand, int place) {
  const bool grouped = bindingOf(operand.kind) <= place && bindingOf(operand.kind) < 2;
  if (grouped) out.push_back('(');
  writeNode(out, operand);
  if (grouped) out.push_back(')');
}

void writeNode(std::string& out, const Node& node) {
  switch (node.kind) {
    case Kind::always:
      out += "always";
      return;
    case Kind::never:
      out += "never";
      return;
    case Kind::anchorApple:
      out += "anchor apple";
      return;
    case Kind::anchorAppleGeneric:
      out += "anchor apple generic";
      return;
    case Kind::identifier:
      out += "identifier ";
      writeQuoted(out, node.value);
      return;
    case Kind::certificateField:
    case Kind::certificateSubject:
      out += "certificate ";
      writeSlot(out, node.slot);
      out += node.kind == Kind::certificateField ? "[field." : "[subject.";
      out += node.name;
      out += "]";
      if (node.compareValue) {
        out += " = ";
        writeQuoted(out, node.value);
      } else {
        out += " exists";
      }
      return;
    case Kind::negation:
      out += "not ";
      writeOperand(out, *node.children.front(), 1);
      return;
    case Kind::conjunction:
    case Kind::disjunction: {
      const int place = bindingOf(node.kind);
      for (std::size_t i = 0; i < node.children.size(); ++i) {
        if (i > 0) out += node.kind == Kind::conjunction ? " and " : " or ";
        writeOperand(out, *node.children[i], place);
      }
      return;
    }
  }
}

}  // namespace

bool CertificateFacts::hasExtension(std::string_view oid) const noexcept {
  return std::find(extensionOids.begin(), extensionOids.end(), oid) != extensionOids.end();
}

Requirement::Requirement(std::string text, std::unique_ptr<Node> root)
    : text_(std::move(text)), root_(std::move(root)) {}
Requirement::~Requirement() = default;

std::shared_ptr<const Requirement> Requirement::compile(std::string_view text, ParseError* error) {
  std::unique_ptr<Node> root = Parser(text).parse(error);
  if (!root) return nullptr;
  return std::make_shared<const Requirement>(std::string(text), std::move(root));
}

bool Requirement::evaluate(const RequirementContext& context) const noexcept { return evaluateNode(*root_, context); }

std::string Requirement::canonicalText() const {
  std::string out;
  writeNode(out, *root_);
  return out;
}

}  // namespace tessaly::codesign
