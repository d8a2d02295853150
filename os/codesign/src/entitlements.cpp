#include "tessaly/codesign/entitlements.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

namespace tessaly::codesign {
namespace {

constexpr std::size_t kMaxEntitlementsSize = 256u << 10;
constexpr int kMaxEntitlementsDepth = 32;

struct PlistFree {
  void operator()(plist_t p) const noexcept { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Text that an XML property list carries unchanged: no control characters but tab and line feed (XML has no
// NUL, and its readers turn carriage returns into line feeds).
bool xmlCarries(const char* text, std::uint64_t length) {
  for (std::uint64_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 && c != '\t' && c != '\n') return false;
  }
  return true;
}

// The property list as XML text, or nothing when it cannot be written.
std::optional<std::string> toXml(plist_t root) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  if (xml == nullptr) return std::nullopt;
  std::string text(xml, length);
  plist_to_xml_free(xml);
  return text;
}

enum class Parsed { ok, unreadable, controlCharacters };

// Parses entitlements (XML or binary). A list whose keys or text hold control characters other than tab and line
// feed is refused before anything lists its dictionaries: libplist aborts the process when it hands out a key
// that holds a NUL, and the sealed XML could not carry such text anyway. Its own XML shows them, since libplist
// writes text as it is.
PlistPtr parse(std::string_view bytes, Parsed* outcome = nullptr) {
  Parsed ignored;
  Parsed& result = outcome != nullptr ? *outcome : ignored;
  result = Parsed::unreadable;
  if (bytes.empty() || bytes.size() > kMaxEntitlementsSize) return nullptr;
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
  PlistPtr root(raw);
  if (!root) return nullptr;
  const std::optional<std::string> xml = toXml(root.get());
  if (!xml) return nullptr;
  if (!xmlCarries(xml->data(), xml->size())) {
    result = Parsed::controlCharacters;
    return nullptr;
  }
  result = Parsed::ok;
  return root;
}

std::string quoted(const char* text, std::uint64_t length) {
  std::string out = "\"";
  for (std::uint64_t i = 0; i < length; ++i) {
    if (text[i] == '"' || text[i] == '\\') out.push_back('\\');
    out.push_back(text[i]);
  }
  return out + "\"";
}

std::string describe(plist_t node, int depth) {
  if (depth > 32) return "...";
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return value ? "true" : "false";
    }
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return quoted(text != nullptr ? text : "", text != nullptr ? length : 0);
    }
    case PLIST_UINT: {
      uint64_t value = 0;
      plist_get_uint_val(node, &value);
      return std::to_string(value);
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return std::to_string(value);
    }
    case PLIST_ARRAY: {
      std::string out = "[";
      for (uint32_t i = 0; i < plist_array_get_size(node); ++i) {
        if (i > 0) out += ", ";
        out += describe(plist_array_get_item(node, i), depth + 1);
      }
      return out + "]";
    }
    case PLIST_DICT: {
      std::string out = "{";
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      bool first = true;
      for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, it, &key, &value);
        if (key == nullptr) break;
        out += (first ? "" : "; ") + std::string(key) + " = " + describe(value, depth + 1);
        first = false;
        std::free(key);
      }
      std::free(it);
      return out + "}";
    }
    case PLIST_DATA: {
      uint64_t length = 0;
      plist_get_data_ptr(node, &length);
      return "<" + std::to_string(length) + " bytes>";
    }
    default:
      return "<value>";
  }
}

// Why entitlements cannot be sealed as they are, or nothing. They take booleans, strings, integers, arrays and
// dictionaries without repeated keys (a binary list can repeat one; its XML could not be read back the same):
// anything else would come back from the signature as something other than what was signed.
std::optional<std::string> unsealable(plist_t node, int depth) {
  if (depth > kMaxEntitlementsDepth) return "the entitlements nest more than 32 levels deep";
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN:
    case PLIST_UINT:
    case PLIST_STRING:
      return std::nullopt;
    case PLIST_ARRAY:
      for (uint32_t i = 0; i < plist_array_get_size(node); ++i) {
        if (auto why = unsealable(plist_array_get_item(node, i), depth + 1)) return why;
      }
      return std::nullopt;
    case PLIST_DICT: {
      std::optional<std::string> why;
      std::set<std::string> keys;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, it, &key, &value);
        if (key == nullptr) break;
        const std::string name(key);
        if (!keys.insert(name).second) why = "the entitlement " + name + " appears twice in one dictionary";
        std::free(key);
        if (!why) why = unsealable(value, depth + 1);
        if (why) break;
      }
      std::free(it);
      return why;
    }
    default:
      return "entitlements hold only booleans, strings, integers, arrays and dictionaries";
  }
}

}  // namespace

std::optional<std::string> normalizeEntitlements(std::string_view plist, std::string* error) {
  Parsed parsed;
  PlistPtr root = parse(plist, &parsed);
  if (!root) {
    if (error != nullptr) {
      *error = parsed == Parsed::controlCharacters
                   ? "the entitlements' names or text hold control characters, which XML cannot carry"
                   : "not a property list (XML or binary) of at most 256 KiB";
    }
    return std::nullopt;
  }
  if (plist_get_node_type(root.get()) != PLIST_DICT) {
    if (error != nullptr) *error = "the entitlements must be a dictionary";
    return std::nullopt;
  }
  if (std::optional<std::string> why = unsealable(root.get(), 0)) {
    if (error != nullptr) *error = std::move(*why);
    return std::nullopt;
  }
  std::optional<std::string> xml = toXml(root.get());
  if (!xml && error != nullptr) *error = "cannot write the entitlements as XML";
  return xml;
}

bool entitlementIsTrue(std::string_view xml, const char* key) {
  PlistPtr root = parse(xml);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return false;
  plist_t node = plist_dict_get_item(root.get(), key);
  uint8_t value = 0;
  if (node == nullptr || plist_get_node_type(node) != PLIST_BOOLEAN) return false;
  plist_get_bool_val(node, &value);
  return value != 0;
}

std::vector<std::pair<std::string, std::string>> describeEntitlements(std::string_view xml) {
  std::vector<std::pair<std::string, std::string>> out;
  PlistPtr root = parse(xml);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return out;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(root.get(), &it);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root.get(), it, &key, &value);
    if (key == nullptr) break;
    out.emplace_back(key, describe(value, 1));
    std::free(key);
  }
  std::free(it);
  return out;
}

}  // namespace tessaly::codesign
