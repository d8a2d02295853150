// Keychain items: the Security item functions (copy matching, add, update, delete) with the platform's
// attribute keys and status codes, over this system's stores.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tessaly::security {

using Bytes = std::vector<std::uint8_t>;

// Status codes (OSStatus) of the Security functions.
using OSStatus = std::int32_t;
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecUnimplemented = -4;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecAllocate = -108;
inline constexpr OSStatus errSecNotAvailable = -25291;    // no keychain service is reachable
inline constexpr OSStatus errSecNoSuchKeychain = -25294;  // the service has no default keyring
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecDataTooLarge = -25302;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;  // the keyring is locked
inline constexpr OSStatus errSecDecode = -26275;

class SecAccessControl;
class SecKey;
using SecAccessControlRef = std::shared_ptr<const SecAccessControl>;
using SecKeyRef = std::shared_ptr<const SecKey>;

struct SecNestedDictionary;
class SecValue;
using SecDictionary = std::map<std::string, SecValue, std::less<>>;

// One value of an attribute dictionary: Boolean, integer, text, data, access control or a nested dictionary.
class SecValue {
 public:
  SecValue(bool value) : storage_(value) {}                            // NOLINT(google-explicit-constructor)
  SecValue(int value) : storage_(std::int64_t{value}) {}               // NOLINT(google-explicit-constructor)
  SecValue(std::int64_t value) : storage_(value) {}                    // NOLINT(google-explicit-constructor)
  SecValue(std::string value) : storage_(std::move(value)) {}          // NOLINT(google-explicit-constructor)
  SecValue(std::string_view value) : storage_(std::string(value)) {}   // NOLINT(google-explicit-constructor)
  SecValue(const char* value) : storage_(std::string(value)) {}        // NOLINT(google-explicit-constructor)
  SecValue(Bytes value) : storage_(std::move(value)) {}                // NOLINT(google-explicit-constructor)
  SecValue(SecAccessControlRef value) : storage_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  SecValue(SecDictionary value);                                       // NOLINT(google-explicit-constructor)

  template <class T>
  const T* getIf() const noexcept {
    return std::get_if<T>(&storage_);
  }
  const std::string* text() const noexcept { return getIf<std::string>(); }
  const Bytes* data() const noexcept { return getIf<Bytes>(); }
  const bool* boolean() const noexcept { return getIf<bool>(); }
  const std::int64_t* integer() const noexcept { return getIf<std::int64_t>(); }
  const SecDictionary* dictionary() const noexcept;

  friend bool operator==(const SecValue& a, const SecValue& b);

 private:
  std::variant<bool, std::int64_t, std::string, Bytes, SecAccessControlRef, std::shared_ptr<const SecNestedDictionary>>
      storage_;
};

struct SecNestedDictionary {
  SecDictionary entries;
};

inline SecValue::SecValue(SecDictionary value)
    : storage_(std::make_shared<const SecNestedDictionary>(SecNestedDictionary{std::move(value)})) {}
inline const SecDictionary* SecValue::dictionary() const noexcept {
  auto nested = getIf<std::shared_ptr<const SecNestedDictionary>>();
  return nested != nullptr && *nested ? &(*nested)->entries : nullptr;
}

// What a search hands back: nothing, one item's attributes, several items' attributes, one item's data,
// several items' data, or a key.
using SecItemResult =
    std::variant<std::monostate, SecDictionary, std::vector<SecDictionary>, Bytes, std::vector<Bytes>, SecKeyRef>;

// Item classes and attribute keys, with the platform's raw values.
inline constexpr std::string_view kSecClass = "class";
inline constexpr std::string_view kSecClassGenericPassword = "genp";
inline constexpr std::string_view kSecClassInternetPassword = "inet";
inline constexpr std::string_view kSecClassKey = "keys";

inline constexpr std::string_view kSecAttrService = "svce";
inline constexpr std::string_view kSecAttrAccount = "acct";
inline constexpr std::string_view kSecAttrServer = "srvr";
inline constexpr std::string_view kSecAttrDescription = "desc";
inline constexpr std::string_view kSecAttrComment = "icmt";
inline constexpr std::string_view kSecAttrLabel = "labl";
inline constexpr std::string_view kSecAttrAccessible = "pdmn";
inline constexpr std::string_view kSecAttrSynchronizable = "sync";
inline constexpr std::string_view kSecAttrSynchronizableAny = "syna";  // as the value of kSecAttrSynchronizable
inline constexpr std::string_view kSecAttrAccessGroup = "agrp";
inline constexpr std::string_view kSecValueData = "v_Data";

inline constexpr std::string_view kSecAttrAccessibleWhenUnlocked = "ak";
inline constexpr std::string_view kSecAttrAccessibleAfterFirstUnlock = "ck";
inline constexpr std::string_view kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly = "akpu";
inline constexpr std::string_view kSecAttrAccessibleWhenUnlockedThisDeviceOnly = "aku";
inline constexpr std::string_view kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly = "cku";

// Search keys.
inline constexpr std::string_view kSecReturnAttributes = "r_Attributes";
inline constexpr std::string_view kSecReturnData = "r_Data";
inline constexpr std::string_view kSecReturnRef = "r_Ref";
inline constexpr std::string_view kSecMatchLimit = "m_Limit";
inline constexpr std::string_view kSecMatchLimitOne = "m_LimitOne";
inline constexpr std::string_view kSecMatchLimitAll = "m_LimitAll";

// Key attributes.
inline constexpr std::string_view kSecAttrKeyClass = "kcls";
inline constexpr std::string_view kSecAttrKeyClassPublic = "0";
inline constexpr std::string_view kSecAttrKeyClassPrivate = "1";
inline constexpr std::string_view kSecAttrApplicationTag = "atag";
inline constexpr std::string_view kSecAttrKeyType = "type";
inline constexpr std::string_view kSecAttrKeyTypeECSECPrimeRandom = "73";
inline constexpr std::string_view kSecAttrKeySizeInBits = "bsiz";
inline constexpr std::string_view kSecAttrTokenID = "tkid";
inline constexpr std::string_view kSecAttrTokenIDSecureEnclave = "com.apple.setoken";
inline constexpr std::string_view kSecAttrIsPermanent = "perm";
inline constexpr std::string_view kSecAttrAccessControl = "accc";
inline constexpr std::string_view kSecPrivateKeyAttrs = "private";

// The Security item functions. Password items (kSecClassGenericPassword, kSecClassInternetPassword) live in
// the process's password store, by default the desktop's Secret Service (see item_store.h); keys
// (kSecClassKey) live in the device key store (see device_key_store.h). A dictionary without a known class is
// refused with errSecParam. Thread-safe.
[[nodiscard]] OSStatus SecItemCopyMatching(const SecDictionary& query, SecItemResult* result);
[[nodiscard]] OSStatus SecItemAdd(const SecDictionary& attributes, SecItemResult* result);
[[nodiscard]] OSStatus SecItemUpdate(const SecDictionary& query, const SecDictionary& attributesToUpdate);
[[nodiscard]] OSStatus SecItemDelete(const SecDictionary& query);

}  // namespace tessaly::security
