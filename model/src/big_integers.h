// Integers beyond 64 bits, which the parser refuses along with the whole document they stand in.
//
// Such a document is parsed again from a copy in which each of them is written as a string of its digits.
// Those strings are then told apart from the document's own strings by where the parser keeps them, so that
// the reader can take them for the numbers they were and report each one at its own member.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly::model {

class BigIntegers {
 public:
  // Writes `json` to `out` with every integer outside strings that fits neither Int64 nor UInt64 put in
  // quotes. Returns false, leaving `out` unspecified, when there is no such integer.
  bool quote(std::string_view json, std::string& out);

  // Then the strings of the document parsed from the quoted copy are shown in document order, member names
  // included, as quote() counted them; each quoted integer is found among the values.
  void memberName() { ++seen_; }
  void value(std::string_view string);

  // Whether every quoted integer was found as a value: as a member name, a number was never valid JSON.
  bool located();

  // Whether `string`, a string of the document parsed from the quoted copy, is a quoted integer.
  bool contains(std::string_view string) const;

 private:
  std::vector<std::size_t> ordinals_;  // of the quoted integers among all strings, member names included
  std::vector<const char*> found_;     // where the parser keeps them
  std::size_t seen_ = 0;
};

}  // namespace tessaly::model
