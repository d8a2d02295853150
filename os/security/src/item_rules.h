// The semantics that every password store shares: reading queries and attributes, matching, duplicates and
// the shape of search results.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tessaly/security/sec_item.h"

namespace tessaly::security::rules {

// One stored password item: its attributes (class included, data excluded) and its data.
struct ItemRecord {
  SecDictionary attributes;
  Bytes data;
};

struct ItemQuery {
  std::string itemClass;
  SecDictionary match;                 // attributes that must be present and equal
  std::optional<bool> synchronizable;  // nothing: either
  bool returnData = false;
  bool returnAttributes = false;
  std::optional<std::size_t> limit;  // nothing: all
};

// True for the classes of password items.
bool isPasswordClass(std::string_view itemClass);

// The class named by a dictionary, or empty when it has none (or not as text).
std::string classOf(const SecDictionary& dictionary);

OSStatus parseQuery(const SecDictionary& query, ItemQuery* out);

// Reads the attributes of a new item (class and data included).
OSStatus parseNewItem(const SecDictionary& attributes, ItemRecord* out);

// Applies the attributes of an update to `item`.
OSStatus applyUpdate(const SecDictionary& changes, ItemRecord* item);

bool matches(const ItemQuery& query, const ItemRecord& item);

// What identifies an item within its store: class, account, service or server, access group, synchronizable.
std::string primaryKey(const ItemRecord& item);

// The result of a search over `found` (already in store order and non-empty), honouring the query's limit and
// return keys.
void buildResult(const ItemQuery& query, const std::vector<const ItemRecord*>& found, SecItemResult* result);

// The result of adding `added` with `attributes` (which may ask for its attributes, its data or both); nothing
// when `result` is null.
void buildAddResult(const SecDictionary& attributes, const ItemRecord& added, SecItemResult* result);

// Whether `text` is valid UTF-8 without NUL characters (what every text attribute must be).
bool isCleanText(std::string_view text);

// The Boolean value of kSecAttrSynchronizable of a stored item (false when absent).
bool isSynchronizable(const ItemRecord& item);

}  // namespace tessaly::security::rules
