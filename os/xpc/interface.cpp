#include "tessaly/xpc/interface.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

namespace tessaly::xpc {

bool MethodDeclaration::hasReply() const noexcept {
  return !arguments.empty() && arguments.back() == ArgumentClass::reply;
}

std::size_t MethodDeclaration::valueCount() const noexcept { return arguments.size() - (hasReply() ? 1 : 0); }

bool isWellFormedSelector(std::string_view selector) noexcept {
  if (selector.empty() || selector.size() > kMaxSelectorLength) return false;
  return std::all_of(selector.begin(), selector.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ':';
  });
}

struct Interface::Declarations {
  std::string name;
  std::vector<MethodDeclaration> methods;
  std::unordered_map<std::string_view, std::size_t> index;
};

namespace {

void checkDeclaration(const std::string& interfaceName, const MethodDeclaration& method) {
  auto fail = [&](const char* why) {
    throw std::invalid_argument(interfaceName + ": method \"" + method.selector + "\": " + why);
  };
  if (!isWellFormedSelector(method.selector)) fail("ill-formed selector");
  if (method.arguments.size() > kMaxArguments || method.replyArguments.size() > kMaxArguments) {
    fail("too many arguments");
  }
  const auto colons = static_cast<std::size_t>(std::count(method.selector.begin(), method.selector.end(), ':'));
  if (colons != method.arguments.size()) fail("colon count differs from argument count");
  const auto replies =
      static_cast<std::size_t>(std::count(method.arguments.begin(), method.arguments.end(), ArgumentClass::reply));
  if (replies > 1) fail("more than one reply block");
  if (replies == 1 && !method.hasReply()) fail("reply block is not the last argument");
  if (!method.hasReply() && !method.replyArguments.empty()) fail("reply arguments without a reply block");
  if (std::count(method.replyArguments.begin(), method.replyArguments.end(), ArgumentClass::reply) != 0) {
    fail("a reply block cannot take a reply block");
  }
}

}  // namespace

Interface::Interface(std::string name, std::vector<MethodDeclaration> methods) {
  auto declarations = std::make_shared<Declarations>();
  declarations->name = std::move(name);
  declarations->methods = std::move(methods);
  for (std::size_t i = 0; i < declarations->methods.size(); ++i) {
    const MethodDeclaration& method = declarations->methods[i];
    checkDeclaration(declarations->name, method);
    if (!declarations->index.emplace(method.selector, i).second) {
      throw std::invalid_argument(declarations->name + ": method \"" + method.selector + "\" declared twice");
    }
  }
  declarations_ = std::move(declarations);
}

const std::string& Interface::name() const noexcept { return declarations_->name; }

const std::vector<MethodDeclaration>& Interface::methods() const noexcept { return declarations_->methods; }

const MethodDeclaration* Interface::find(std::string_view selector) const noexcept {
  const auto found = declarations_->index.find(selector);
  return found == declarations_->index.end() ? nullptr : &declarations_->methods[found->second];
}

bool operator==(const Interface& a, const Interface& b) noexcept {
  return a.declarations_ == b.declarations_ ||
         (a.declarations_->name == b.declarations_->name && a.declarations_->methods == b.declarations_->methods);
}

}  // namespace tessaly::xpc
