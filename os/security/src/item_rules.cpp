#include "item_rules.h"

#include <algorithm>
#include <array>

#include "tessaly/base/utf8.h"
#include "tessaly/security/item_store.h"

namespace tessaly::security::rules {
namespace {

constexpr std::array<std::string_view, 8> kTextAttributes = {kSecAttrService,     kSecAttrAccount,   kSecAttrServer,
                                                             kSecAttrDescription, kSecAttrComment,   kSecAttrLabel,
                                                             kSecAttrAccessGroup, kSecAttrAccessible};

constexpr std::array<std::string_view, 5> kAccessibleValues = {
    kSecAttrAccessibleWhenUnlocked, kSecAttrAccessibleAfterFirstUnlock, kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly,
    kSecAttrAccessibleWhenUnlockedThisDeviceOnly, kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly};

bool isTextAttribute(std::string_view key) {
  return std::find(kTextAttributes.begin(), kTextAttributes.end(), key) != kTextAttributes.end();
}

// Checks one attribute of an item (not class, data or search keys) and stores it in `into`.
OSStatus takeAttribute(const std::string& key, const SecValue& value, SecDictionary& into) {
  if (isTextAttribute(key)) {
    const std::string* text = value.text();
    if (text == nullptr || !isCleanText(*text)) return errSecParam;
    if (key == kSecAttrAccessible &&
        std::find(kAccessibleValues.begin(), kAccessibleValues.end(), *text) == kAccessibleValues.end()) {
      return errSecParam;
    }
    into.insert_or_assign(key, value);
    return errSecSuccess;
  }
  if (key == kSecAttrSynchronizable) {
    if (value.boolean() == nullptr) return errSecParam;
    into.insert_or_assign(key, value);
    return errSecSuccess;
  }
  return errSecParam;
}

OSStatus takeData(const SecValue& value, Bytes* data) {
  const Bytes* bytes = value.data();
  if (bytes == nullptr) return errSecParam;
  if (bytes->size() > ItemStore::kMaxItemDataSize) return errSecDataTooLarge;
  *data = *bytes;
  return errSecSuccess;
}

bool isTrue(const SecValue& value) {
  if (const bool* b = value.boolean()) return *b;
  if (const std::int64_t* i = value.integer()) return *i != 0;
  return false;
}

std::string textOr(const SecDictionary& attributes, std::string_view key) {
  auto it = attributes.find(key);
  const std::string* text = it == attributes.end() ? nullptr : it->second.text();
  return text != nullptr ? *text : std::string();
}

void appendField(std::string& out, std::string_view field) {
  out += std::to_string(field.size());
  out += ':';
  out += field;
}

}  // namespace

bool isPasswordClass(std::string_view itemClass) {
  return itemClass == kSecClassGenericPassword || itemClass == kSecClassInternetPassword;
}

std::string classOf(const SecDictionary& dictionary) {
  auto it = dictionary.find(kSecClass);
  const std::string* text = it == dictionary.end() ? nullptr : it->second.text();
  return text != nullptr ? *text : std::string();
}

bool isCleanText(std::string_view text) { return text.find('\0') == std::string_view::npos && base::isValidUtf8(text); }

bool isSynchronizable(const ItemRecord& item) {
  auto it = item.attributes.find(kSecAttrSynchronizable);
  return it != item.attributes.end() && it->second.boolean() != nullptr && *it->second.boolean();
}

OSStatus parseQuery(const SecDictionary& query, ItemQuery* out) {
  ItemQuery parsed;
  parsed.itemClass = classOf(query);
  if (!isPasswordClass(parsed.itemClass)) return errSecParam;
  parsed.synchronizable = false;
  parsed.limit = 1;
  for (const auto& [key, value] : query) {
    if (key == kSecClass || key == kSecValueData) continue;
    if (key == kSecReturnData) {
      parsed.returnData = isTrue(value);
    } else if (key == kSecReturnAttributes) {
      parsed.returnAttributes = isTrue(value);
    } else if (key == kSecReturnRef) {
      if (isTrue(value)) return errSecParam;  // password items have no references here
    } else if (key == kSecMatchLimit) {
      if (const std::string* text = value.text()) {
        if (*text == kSecMatchLimitOne) {
          parsed.limit = 1;
        } else if (*text == kSecMatchLimitAll) {
          parsed.limit.reset();
        } else {
          return errSecParam;
        }
      } else if (const std::int64_t* count = value.integer(); count != nullptr && *count > 0) {
        parsed.limit = static_cast<std::size_t>(*count);
      } else {
        return errSecParam;
      }
    } else if (key == kSecAttrSynchronizable) {
      if (const std::string* text = value.text(); text != nullptr && *text == kSecAttrSynchronizableAny) {
        parsed.synchronizable.reset();
      } else if (const bool* flag = value.boolean()) {
        parsed.synchronizable = *flag;
      } else {
        return errSecParam;
      }
    } else {
      OSStatus status = takeAttribute(key, value, parsed.match);
      if (status != errSecSuccess) return status;
    }
  }
  *out = std::move(parsed);
  return errSecSuccess;
}

OSStatus parseNewItem(const SecDictionary& attributes, ItemRecord* out) {
  ItemRecord item;
  const std::string itemClass = classOf(attributes);
  if (!isPasswordClass(itemClass)) return errSecParam;
  item.attributes.insert_or_assign(std::string(kSecClass), SecValue(itemClass));
  item.attributes.insert_or_assign(std::string(kSecAttrSynchronizable), SecValue(false));
  for (const auto& [key, value] : attributes) {
    if (key == kSecClass || key == kSecReturnAttributes || key == kSecReturnData) continue;
    OSStatus status = key == kSecValueData ? takeData(value, &item.data) : takeAttribute(key, value, item.attributes);
    if (status != errSecSuccess) return status;
  }
  *out = std::move(item);
  return errSecSuccess;
}

OSStatus applyUpdate(const SecDictionary& changes, ItemRecord* item) {
  ItemRecord updated = *item;
  for (const auto& [key, value] : changes) {
    if (key == kSecClass) {
      if (classOf(changes) != classOf(item->attributes)) return errSecParam;
      continue;
    }
    OSStatus status =
        key == kSecValueData ? takeData(value, &updated.data) : takeAttribute(key, value, updated.attributes);
    if (status != errSecSuccess) return status;
  }
  *item = std::move(updated);
  return errSecSuccess;
}

bool matches(const ItemQuery& query, const ItemRecord& item) {
  if (classOf(item.attributes) != query.itemClass) return false;
  if (query.synchronizable && *query.synchronizable != isSynchronizable(item)) return false;
  for (const auto& [key, value] : query.match) {
    auto it = item.attributes.find(key);
    if (it == item.attributes.end() || !(it->second == value)) return false;
  }
  return true;
}

std::string primaryKey(const ItemRecord& item) {
  const std::string itemClass = classOf(item.attributes);
  std::string key;
  appendField(key, itemClass);
  appendField(key, textOr(item.attributes, kSecAttrAccount));
  appendField(key, textOr(item.attributes, itemClass == kSecClassInternetPassword ? kSecAttrServer : kSecAttrService));
  appendField(key, textOr(item.attributes, kSecAttrAccessGroup));
  appendField(key, isSynchronizable(item) ? "1" : "0");
  return key;
}

void buildAddResult(const SecDictionary& attributes, const ItemRecord& added, SecItemResult* result) {
  if (result == nullptr) return;
  const auto flag = [&](std::string_view key) {
    auto it = attributes.find(key);
    return it != attributes.end() && it->second.boolean() != nullptr && *it->second.boolean();
  };
  ItemQuery shape;
  shape.limit = 1;
  shape.returnAttributes = flag(kSecReturnAttributes);
  shape.returnData = flag(kSecReturnData);
  buildResult(shape, {&added}, result);
}

void buildResult(const ItemQuery& query, const std::vector<const ItemRecord*>& found, SecItemResult* result) {
  if (result == nullptr) return;
  const std::size_t count = query.limit ? std::min(*query.limit, found.size()) : found.size();
  const bool single = query.limit && *query.limit == 1;
  if (query.returnAttributes) {
    std::vector<SecDictionary> dictionaries;
    for (std::size_t i = 0; i < count; ++i) {
      SecDictionary entry = found[i]->attributes;
      if (query.returnData) entry.insert_or_assign(std::string(kSecValueData), SecValue(found[i]->data));
      dictionaries.push_back(std::move(entry));
    }
    if (single) {
      *result = std::move(dictionaries.front());
    } else {
      *result = std::move(dictionaries);
    }
  } else if (query.returnData) {
    std::vector<Bytes> data;
    for (std::size_t i = 0; i < count; ++i) data.push_back(found[i]->data);
    if (single) {
      *result = std::move(data.front());
    } else {
      *result = std::move(data);
    }
  } else {
    *result = std::monostate{};
  }
}

}  // namespace tessaly::security::rules
