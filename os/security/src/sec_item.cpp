#include "tessaly/security/sec_item.h"

#include "item_rules.h"
#include "tessaly/security/device_key_store.h"
#include "tessaly/security/item_store.h"

namespace tessaly::security {

bool operator==(const SecValue& a, const SecValue& b) {
  if (a.storage_.index() != b.storage_.index()) return false;
  if (const SecDictionary* left = a.dictionary()) return *left == *b.dictionary();
  return a.storage_ == b.storage_;
}

namespace {

enum class Route { passwords, keys, refused };

Route routeOf(const SecDictionary& dictionary) {
  const std::string itemClass = rules::classOf(dictionary);
  if (rules::isPasswordClass(itemClass)) return Route::passwords;
  if (itemClass == kSecClassKey) return Route::keys;
  return Route::refused;
}

}  // namespace

OSStatus SecItemCopyMatching(const SecDictionary& query, SecItemResult* result) {
  switch (routeOf(query)) {
    case Route::passwords:
      return systemPasswordStore().copyMatching(query, result);
    case Route::keys:
      return DeviceKeyStore::shared().copyMatching(query, result);
    case Route::refused:
      break;
  }
  return errSecParam;
}

OSStatus SecItemAdd(const SecDictionary& attributes, SecItemResult* result) {
  // Keys enter the key store only by being made there (SecKeyCreateRandomKey).
  if (routeOf(attributes) == Route::passwords) return systemPasswordStore().add(attributes, result);
  return routeOf(attributes) == Route::keys ? errSecUnimplemented : errSecParam;
}

OSStatus SecItemUpdate(const SecDictionary& query, const SecDictionary& attributesToUpdate) {
  if (routeOf(query) == Route::passwords) return systemPasswordStore().update(query, attributesToUpdate);
  return routeOf(query) == Route::keys ? errSecUnimplemented : errSecParam;
}

OSStatus SecItemDelete(const SecDictionary& query) {
  switch (routeOf(query)) {
    case Route::passwords:
      return systemPasswordStore().remove(query);
    case Route::keys:
      return DeviceKeyStore::shared().remove(query);
    case Route::refused:
      break;
  }
  return errSecParam;
}

}  // namespace tessaly::security
