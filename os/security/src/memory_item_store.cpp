#include <list>
#include <set>

#include "item_rules.h"
#include "tessaly/security/item_store.h"

namespace tessaly::security {

struct MemoryItemStore::Items {
  std::list<rules::ItemRecord> records;  // in the order they were added
};

MemoryItemStore::MemoryItemStore() : items_(std::make_unique<Items>()) {}
MemoryItemStore::~MemoryItemStore() = default;

std::size_t MemoryItemStore::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_->records.size();
}

OSStatus MemoryItemStore::copyMatching(const SecDictionary& query, SecItemResult* result) {
  rules::ItemQuery parsed;
  if (OSStatus status = rules::parseQuery(query, &parsed); status != errSecSuccess) return status;
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<const rules::ItemRecord*> found;
  for (const rules::ItemRecord& record : items_->records) {
    if (rules::matches(parsed, record)) found.push_back(&record);
  }
  if (found.empty()) return errSecItemNotFound;
  rules::buildResult(parsed, found, result);
  return errSecSuccess;
}

OSStatus MemoryItemStore::add(const SecDictionary& attributes, SecItemResult* result) {
  rules::ItemRecord record;
  if (OSStatus status = rules::parseNewItem(attributes, &record); status != errSecSuccess) return status;
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string key = rules::primaryKey(record);
  for (const rules::ItemRecord& existing : items_->records) {
    if (rules::primaryKey(existing) == key) return errSecDuplicateItem;
  }
  items_->records.push_back(std::move(record));
  rules::buildAddResult(attributes, items_->records.back(), result);
  return errSecSuccess;
}

OSStatus MemoryItemStore::update(const SecDictionary& query, const SecDictionary& attributesToUpdate) {
  rules::ItemQuery parsed;
  if (OSStatus status = rules::parseQuery(query, &parsed); status != errSecSuccess) return status;
  parsed.limit.reset();
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::pair<rules::ItemRecord*, rules::ItemRecord>> changes;
  for (rules::ItemRecord& record : items_->records) {
    if (!rules::matches(parsed, record)) continue;
    rules::ItemRecord updated = record;
    if (OSStatus status = rules::applyUpdate(attributesToUpdate, &updated); status != errSecSuccess) return status;
    changes.emplace_back(&record, std::move(updated));
  }
  if (changes.empty()) return errSecItemNotFound;
  // No two items may end up with one identity, neither among the changed ones nor with an unchanged one.
  std::set<std::string> keys;
  for (const auto& change : changes) {
    if (!keys.insert(rules::primaryKey(change.second)).second) return errSecDuplicateItem;
  }
  for (const rules::ItemRecord& record : items_->records) {
    bool changed = std::any_of(changes.begin(), changes.end(), [&](const auto& c) { return c.first == &record; });
    if (!changed && keys.count(rules::primaryKey(record)) != 0) return errSecDuplicateItem;
  }
  for (auto& [record, updated] : changes) *record = std::move(updated);
  return errSecSuccess;
}

OSStatus MemoryItemStore::remove(const SecDictionary& query) {
  rules::ItemQuery parsed;
  if (OSStatus status = rules::parseQuery(query, &parsed); status != errSecSuccess) return status;
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t before = items_->records.size();
  items_->records.remove_if([&](const rules::ItemRecord& record) { return rules::matches(parsed, record); });
  return items_->records.size() == before ? errSecItemNotFound : errSecSuccess;
}

}  // namespace tessaly::security
