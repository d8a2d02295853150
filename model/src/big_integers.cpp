#include "big_integers.h"

#include <algorithm>
#include <functional>

namespace tessaly::model {
namespace {

// Whitespace, structural characters and the quote end a number, as they end any other bare token.
bool endsToken(char c) {
  switch (c) {
    case ' ':
    case '\t':
    case '\n':
    case '\r':
    case '{':
    case '}':
    case '[':
    case ']':
    case ':':
    case ',':
    case '"':
      return true;
    default:
      return false;
  }
}

// Whether `token` is a valid JSON integer below Int64's range or above UInt64's.
bool beyond64Bits(std::string_view token) {
  const bool negative = token.starts_with('-');
  std::string_view digits = token.substr(negative ? 1 : 0);
  if (digits.empty() || digits.front() == '0') return false;  // zero, or a leading zero that is not JSON
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  const std::string_view limit = negative ? "9223372036854775808" : "18446744073709551615";
  return digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit);
}

}  // namespace

bool BigIntegers::quote(std::string_view json, std::string& out) {
  ordinals_.clear();
  found_.clear();
  seen_ = 0;
  out.clear();
  out.reserve(json.size() + 64);
  std::size_t strings = 0;
  std::size_t i = 0;
  while (i < json.size()) {
    std::size_t end = i + 1;
    if (json[i] == '"') {  // a string, copied as it is
      while (end < json.size() && json[end] != '"') end += json[end] == '\\' ? 2 : 1;
      end = std::min(end + 1, json.size());
      ++strings;
      out.append(json.substr(i, end - i));
    } else if (!endsToken(json[i])) {  // a bare token: a number, a literal or garbage
      while (end < json.size() && !endsToken(json[end])) ++end;
      std::string_view token = json.substr(i, end - i);
      if (beyond64Bits(token)) {
        ordinals_.push_back(strings++);
        out += '"';
        out.append(token);
        out += '"';
      } else {
        out.append(token);
      }
    } else {
      out += json[i];
    }
    i = end;
  }
  return !ordinals_.empty();
}

void BigIntegers::value(std::string_view string) {
  if (found_.size() < ordinals_.size() && ordinals_[found_.size()] == seen_) found_.push_back(string.data());
  ++seen_;
}

bool BigIntegers::located() {
  if (found_.size() != ordinals_.size()) return false;
  std::sort(found_.begin(), found_.end(), std::less<>());
  return true;
}

bool BigIntegers::contains(std::string_view string) const {
  return std::binary_search(found_.begin(), found_.end(), string.data(), std::less<>());
}

}  // namespace tessaly::model
