// Interface declarations: malformed ones are refused when they are declared.
#include "tessaly/xpc/interface.h"

#include <gtest/gtest.h>

namespace tessaly::xpc {
namespace {

using enum ArgumentClass;

TEST(Interface, MalformedDeclarationsAreRefused) {
  const std::vector<std::pair<const char*, MethodDeclaration>> cases = {
      {"empty selector", {"", {}}},
      {"space in selector", {"send to:", {data}}},
      {"fewer colons than arguments", {"send:", {data, string}}},
      {"more colons than arguments", {"send:to:", {data}}},
      {"reply block not last", {"ask:for:", {reply, data}, {data}}},
      {"two reply blocks", {"ask:for:", {reply, reply}}},
      {"reply arguments without a reply block", {"post:", {data}, {data}}},
      {"reply block taking a reply block", {"ask:reply:", {data, reply}, {reply}}},
  };
  for (const auto& [name, method] : cases) { EXPECT_THROW(Interface("Bad", {method}), std::invalid_argument) << name; }
  EXPECT_THROW(Interface("Twice", {{"post:", {data}}, {"post:", {string}}}), std::invalid_argument);
  EXPECT_NO_THROW(Interface("Good", {{"echo:reply:", {data, reply}, {data}}, {"ping", {}}}));
}

}  // namespace
}  // namespace tessaly::xpc
