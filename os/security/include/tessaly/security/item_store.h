// Stores of password items behind the Security item functions: the desktop's Secret Service and memory.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tessaly/security/sec_item.h"

namespace tessaly::security {

// A store of generic and internet password items with the platform's semantics:
// - Items carry the attributes kSecAttrService, kSecAttrAccount, kSecAttrServer, kSecAttrDescription,
//   kSecAttrComment, kSecAttrLabel, kSecAttrAccessible (one of the five accessibility constants),
//   kSecAttrAccessGroup (texts: valid UTF-8 without NUL), kSecAttrSynchronizable (Boolean, false when absent)
//   and their data (kSecValueData, at most kMaxItemDataSize bytes). Any other key, or a value of the wrong
//   type, is refused with errSecParam; data that is too large with errSecDataTooLarge.
// - A query matches the items of its class that carry every attribute it names with an equal value.
//   kSecValueData in a query is ignored. A query without kSecAttrSynchronizable matches only items that are
//   not synchronizable; kSecAttrSynchronizableAny matches both.
// - Two items of one class with the same account, service (generic) or server (internet), access group and
//   synchronizability are duplicates: add and update refuse to make one with errSecDuplicateItem.
// - copyMatching returns, for kSecMatchLimitOne (the default), one result, and for kSecMatchLimitAll (or a
//   positive integer limit) an array, in the order the items were added: attribute dictionaries (with
//   kSecValueData when kSecReturnData is true as well) when kSecReturnAttributes is true, else the data when
//   kSecReturnData is true, else nothing. No match is errSecItemNotFound.
// - update changes the given attributes (not the class) of every matching item; delete removes every
//   matching item; no match is errSecItemNotFound.
class ItemStore {
 public:
  static constexpr std::size_t kMaxItemDataSize = 4 * 1024 * 1024;

  virtual ~ItemStore() = default;
  [[nodiscard]] virtual OSStatus copyMatching(const SecDictionary& query, SecItemResult* result) = 0;
  [[nodiscard]] virtual OSStatus add(const SecDictionary& attributes, SecItemResult* result) = 0;
  [[nodiscard]] virtual OSStatus update(const SecDictionary& query, const SecDictionary& attributesToUpdate) = 0;
  [[nodiscard]] virtual OSStatus remove(const SecDictionary& query) = 0;
};

// Items in memory, for tests and for programs that must not touch the user's keyring. Thread-safe.
class MemoryItemStore : public ItemStore {
 public:
  MemoryItemStore();
  ~MemoryItemStore() override;

  [[nodiscard]] OSStatus copyMatching(const SecDictionary& query, SecItemResult* result) override;
  [[nodiscard]] OSStatus add(const SecDictionary& attributes, SecItemResult* result) override;
  [[nodiscard]] OSStatus update(const SecDictionary& query, const SecDictionary& attributesToUpdate) override;
  [[nodiscard]] OSStatus remove(const SecDictionary& query) override;

  std::size_t size() const;

 private:
  struct Items;
  mutable std::mutex mutex_;
  std::unique_ptr<Items> items_;
};

// Items in the desktop's Secret Service (gnome-keyring, KWallet and others) through libsecret, so the user's
// keyring keeps them encrypted at rest. New items go to the default collection; searches cover every
// collection. Items carry the schema "com.tessaly.keychain.item"; the service's own items of other schemas
// are never seen or touched. Nothing here ever asks the user anything: a locked keyring gives
// errSecInteractionNotAllowed, no reachable service errSecNotAvailable, no default collection (for add)
// errSecNoSuchKeychain, any other failure of the service errSecIO. Thread-safe: the calls of every instance
// are serialised, as they share the process's one connection to the service.
class SecretServiceItemStore : public ItemStore {
 public:
  static constexpr std::string_view kSchemaName = "com.tessaly.keychain.item";

  SecretServiceItemStore();
  ~SecretServiceItemStore() override;

  [[nodiscard]] OSStatus copyMatching(const SecDictionary& query, SecItemResult* result) override;
  [[nodiscard]] OSStatus add(const SecDictionary& attributes, SecItemResult* result) override;
  [[nodiscard]] OSStatus update(const SecDictionary& query, const SecDictionary& attributesToUpdate) override;
  [[nodiscard]] OSStatus remove(const SecDictionary& query) override;
};

// The process-wide store of password items used by SecItemCopyMatching and the other item functions: a
// SecretServiceItemStore created on first use.
ItemStore& systemPasswordStore();

}  // namespace tessaly::security
