// The seam between the keychain store and the items it keeps: the four Security item functions, which report
// failure as an OSStatus.
#pragma once

#include <memory>

#include "tessaly/security/item_store.h"
#include "tessaly/security/sec_item.h"

namespace tessaly::platform {

using security::OSStatus;
using security::SecDictionary;
using security::SecItemResult;

// The four Security item functions, behind one interface.
class SecItemWrapper {
 public:
  virtual ~SecItemWrapper() = default;
  [[nodiscard]] virtual OSStatus SecItemCopyMatching(const SecDictionary& query, SecItemResult* result) = 0;
  [[nodiscard]] virtual OSStatus SecItemAdd(const SecDictionary& attributes, SecItemResult* result) = 0;
  [[nodiscard]] virtual OSStatus SecItemUpdate(const SecDictionary& query, const SecDictionary& attributesToUpdate) = 0;
  [[nodiscard]] virtual OSStatus SecItemDelete(const SecDictionary& query) = 0;
};

// Forwards to the system's Security item functions (the user's Secret Service keyring).
class SystemSecItemWrapper : public SecItemWrapper {
 public:
  [[nodiscard]] OSStatus SecItemCopyMatching(const SecDictionary& query, SecItemResult* result) override;
  [[nodiscard]] OSStatus SecItemAdd(const SecDictionary& attributes, SecItemResult* result) override;
  [[nodiscard]] OSStatus SecItemUpdate(const SecDictionary& query, const SecDictionary& attributesToUpdate) override;
  [[nodiscard]] OSStatus SecItemDelete(const SecDictionary& query) override;
};

// Forwards to one item store, for example a security::MemoryItemStore in tests or in programs that must not
// touch the user's keyring.
class ItemStoreSecItemWrapper : public SecItemWrapper {
 public:
  explicit ItemStoreSecItemWrapper(std::shared_ptr<security::ItemStore> store) : store_(std::move(store)) {}
  [[nodiscard]] OSStatus SecItemCopyMatching(const SecDictionary& query, SecItemResult* result) override;
  [[nodiscard]] OSStatus SecItemAdd(const SecDictionary& attributes, SecItemResult* result) override;
  [[nodiscard]] OSStatus SecItemUpdate(const SecDictionary& query, const SecDictionary& attributesToUpdate) override;
  [[nodiscard]] OSStatus SecItemDelete(const SecDictionary& query) override;

 private:
  std::shared_ptr<security::ItemStore> store_;
};

}  // namespace tessaly::platform
