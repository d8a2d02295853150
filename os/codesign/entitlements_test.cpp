#include "tessaly/codesign/entitlements.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace tessaly::codesign {
namespace {

// A binary property list of one dictionary that `fill` fills (binary lists carry any text, XML ones do not).
std::string binaryDictionary(const std::function<void(plist_t)>& fill) {
  plist_t root = plist_new_dict();
  fill(root);
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &bytes, &length);
  plist_free(root);
  std::string out(bytes, length);
  std::free(bytes);
  return out;
}

// A binary property list of a dictionary that holds `value` under `key`.
std::string binaryEntry(const char* key, plist_t value) {
  return binaryDictionary([&](plist_t d) { plist_dict_set_item(d, key, value); });
}

// The same bytes with the marker "@NUL@" made NUL characters. Text that is not ASCII (é) is kept in UTF-16 in a
// binary list, where a NUL is a character like any other.
std::string withNul(std::string plist) {
  const std::string marker("\0@\0N\0U\0L\0@", 10);
  const std::size_t at = plist.find(marker);
  EXPECT_NE(at, std::string::npos);
  plist.replace(at, marker.size(), std::string(marker.size(), '\0'));
  return plist;
}

// The same bytes with the key "@other@" renamed "@first@": a dictionary that holds one key twice.
std::string withRepeatedKey(std::string plist) {
  const std::size_t at = plist.find("@other@");
  EXPECT_NE(at, std::string::npos);
  plist.replace(at, 7, "@first@");
  return plist;
}

// Entitlements are sealed as XML, and read back from it when checked and shown: only what XML carries unchanged,
// of the kinds entitlements take, may be sealed, and sealing what was sealed changes nothing.
TEST(Entitlements, OnlyWhatTheSealedXmlCarriesUnchangedIsSealed) {
  struct Case {
    const char* what;
    std::string plist;
    const char* refusal;  // nullptr: sealed
  };
  const Case cases[] = {
      {"booleans, strings, integers, arrays, dictionaries", binaryDictionary([](plist_t d) {
         plist_dict_set_item(d, kAllowJitEntitlement, plist_new_bool(1));
         plist_t groups = plist_new_array();
         plist_array_append_item(groups, plist_new_string("Q7RM2KX9WD.com.tessaly\ttab\nline"));
         plist_dict_set_item(d, "groups", groups);
         plist_t nested = plist_new_dict();
         plist_dict_set_item(nested, "n", plist_new_uint(7));
         plist_dict_set_item(d, "<&>", nested);
       }),
       nullptr},
      {"a NUL inside a string", withNul(binaryEntry("k", plist_new_string("\u00e9@NUL@b"))), "control characters"},
      {"a NUL inside a name", withNul(binaryEntry("\u00e9@NUL@b", plist_new_bool(1))), "control characters"},
      {"a control character in a string",
       binaryEntry("k", plist_new_string("a\x01"
                                         "b")),
       "control characters"},
      {"a carriage return in a name", binaryEntry("a\rb", plist_new_bool(1)), "control characters"},
      {"a repeated key", withRepeatedKey(binaryDictionary([](plist_t d) {
         plist_dict_set_item(d, "@first@", plist_new_bool(0));
         plist_dict_set_item(d, "@other@", plist_new_bool(1));
       })),
       "appears twice"},
      {"data", binaryEntry("k", plist_new_data("ab", 2)), "only booleans, strings, integers"},
      {"a real number", binaryEntry("k", plist_new_real(0.1)), "only booleans, strings, integers"},
      {"a date", binaryEntry("k", plist_new_date(1, 2)), "only booleans, strings, integers"},
  };
  for (const Case& c : cases) {
    std::string why;
    const std::optional<std::string> sealed = normalizeEntitlements(c.plist, &why);
    if (c.refusal == nullptr) {
      ASSERT_TRUE(sealed) << c.what << ": " << why;
      EXPECT_EQ(normalizeEntitlements(*sealed), sealed) << c.what;
      EXPECT_EQ(describeEntitlements(*sealed), describeEntitlements(c.plist)) << c.what;
    } else {
      EXPECT_FALSE(sealed) << c.what;
      EXPECT_NE(why.find(c.refusal), std::string::npos) << c.what << ": " << why;
    }
  }
}

// Sealed entitlements come from a signature that nobody has checked yet (display shows them): a name holding a NUL
// (binary lists) makes libplist abort the process when the dictionary is listed, so entitlements with control
// characters are read as none.
TEST(Entitlements, ControlCharactersInNamesAreReadAsNoEntitlementsInsteadOfEndingTheProcess) {
  const std::string binary = withNul(binaryDictionary([](plist_t d) {
    plist_dict_set_item(d, "\u00e9@NUL@b", plist_new_bool(1));
    plist_dict_set_item(d, kAllowJitEntitlement, plist_new_bool(1));
  }));
  const std::string xml = std::string("<plist version=\"1.0\"><dict><key>a&#x1;b</key><true/><key>") +
                          kAllowJitEntitlement + "</key><true/></dict></plist>";
  for (const std::string& plist : {binary, xml}) {
    EXPECT_TRUE(describeEntitlements(plist).empty());
    EXPECT_FALSE(entitlementIsTrue(plist, kAllowJitEntitlement));
  }
}

}  // namespace
}  // namespace tessaly::codesign
