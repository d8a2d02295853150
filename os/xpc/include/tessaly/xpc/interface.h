// Declared IPC interfaces: each selector with the classes of its arguments and of its reply block.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tessaly/xpc/value.h"

namespace tessaly::xpc {

// One method of an interface. A selector has one colon per argument ("sendResponse:for:" takes two);
// a reply block, if any, is the last argument, and `replyArguments` lists what it is called with.
struct MethodDeclaration {
  MethodDeclaration(std::string selector, std::vector<ArgumentClass> arguments,
                    std::vector<ArgumentClass> replyArguments = {})
      : selector(std::move(selector)), arguments(std::move(arguments)), replyArguments(std::move(replyArguments)) {}

  std::string selector;
  std::vector<ArgumentClass> arguments;
  std::vector<ArgumentClass> replyArguments;

  bool hasReply() const noexcept;
  // Number of arguments that are values (the reply block not counted).
  std::size_t valueCount() const noexcept;

  friend bool operator==(const MethodDeclaration&, const MethodDeclaration&) = default;
};

// An immutable set of method declarations, declared once and shared by both ends of a connection.
// Copies are cheap handles to the same declarations.
class Interface {
 public:
  // Throws std::invalid_argument when a declaration is malformed: an empty, repeated or ill-formed
  // selector (letters, digits, '_' and ':' only), a colon count that differs from the argument count, a
  // reply block that is not last, more than one reply block, reply arguments without a reply block, or
  // `reply` among the reply arguments. Interfaces are declared at start-up; this is never on a hot path.
  Interface(std::string name, std::vector<MethodDeclaration> methods);

  const std::string& name() const noexcept;
  const std::vector<MethodDeclaration>& methods() const noexcept;
  // The declaration of `selector`, or nullptr.
  const MethodDeclaration* find(std::string_view selector) const noexcept;

  // Same name and same declarations in the same order.
  friend bool operator==(const Interface& a, const Interface& b) noexcept;

 private:
  struct Declarations;
  std::shared_ptr<const Declarations> declarations_;
};

// Largest number of arguments a method may declare (reply block included).
inline constexpr std::size_t kMaxArguments = 16;
// Longest selector accepted, in bytes.
inline constexpr std::size_t kMaxSelectorLength = 255;

bool isWellFormedSelector(std::string_view selector) noexcept;

}  // namespace tessaly::xpc
