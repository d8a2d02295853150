// The keychain store of the platform services: item configurations, and saving, deleting and searching them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tessaly/platform/platform_error.h"
#include "tessaly/platform/sec_item_wrapper.h"

namespace tessaly::platform {

using Bytes = std::vector<std::uint8_t>;
using security::SecDictionary;

inline constexpr std::string_view keychainErrorDomain = "com.tessaly.common.keychain.error";
// The access group of synchronizable items: the team identifier and the application group.
inline constexpr std::string_view keychainAccessGroup = "Q7RM2KX9WD.com.marrowind.tessaly";

// Codes of errors in keychainErrorDomain.
enum class KeychainError : std::int32_t {
  success = 0,
  unableToConvertKeychainValueData = 1000,
  noResultsFoundInKeychain = 1001,
  noDataSuppliedToStoreInKeychain = 1002,
  keychainAccessTimeout = 1003,
  invalidRequest = 1004,
  dataSizeDidNotMatch = 1005,
};

// The case with that raw value, or nothing.
[[nodiscard]] std::optional<KeychainError> keychainErrorFromRawValue(std::int64_t rawValue);

// The error of keychainErrorDomain with the case's raw value as its code, without user information.
PlatformError makeKeychainError(KeychainError error);

// One search hit. Searches fill data and account only.
struct SystemKeychainEntry {
  Bytes data;
  std::optional<std::string> account;
  std::optional<std::string> server;
  std::optional<std::string> description;

  friend bool operator==(const SystemKeychainEntry&, const SystemKeychainEntry&) = default;
};

// A password item described by its fields, with the Security attribute dictionary (accessDictionary) kept in
// step with them by every setter. A plain value; copies are independent.
class SystemKeychainConfiguration {
 public:
  enum class Accessible {
    whenUnlocked,
    afterFirstUnlock,
    whenPasscodeSetThisDeviceOnly,
    whenUnlockedThisDeviceOnly,
    afterFirstUnlockThisDeviceOnly,
  };
  // The Security constant of a case, and the first case (in declaration order) whose constant equals `raw`.
  static std::string_view rawValue(Accessible accessible);
  [[nodiscard]] static std::optional<Accessible> accessibleFromRawValue(std::string_view raw);

  // The initial values: a generic password with no other attribute, one-match searches.
  SystemKeychainConfiguration();
  // The initial values, then each argument through its setter's rule, in this order; an empty service name
  // and absent optional arguments are skipped.
  explicit SystemKeychainConfiguration(std::string serviceName, std::optional<Accessible> accessible = std::nullopt,
                                       std::optional<bool> synchronizable = std::nullopt,
                                       std::optional<std::string> accountName = std::nullopt,
                                       std::optional<std::string> serverAddress = std::nullopt,
                                       std::optional<std::string> description = std::nullopt,
                                       std::optional<std::string> comment = std::nullopt,
                                       std::optional<Bytes> data = std::nullopt, bool limitSearchesToOneMatch = true);

  const SecDictionary& accessDictionary() const noexcept { return accessDictionary_; }
  const std::string& serviceName() const noexcept { return serviceName_; }
  const std::optional<Accessible>& accessible() const noexcept { return accessible_; }
  const std::optional<bool>& synchronizable() const noexcept { return synchronizable_; }
  const std::optional<std::string>& accountName() const noexcept { return accountName_; }
  const std::optional<std::string>& serverAddress() const noexcept { return serverAddress_; }
  const std::optional<std::string>& description() const noexcept { return description_; }
  const std::optional<std::string>& comment() const noexcept { return comment_; }
  const std::optional<Bytes>& data() const noexcept { return data_; }
  bool limitSearchesToOneMatch() const noexcept { return limitSearchesToOneMatch_; }

  void setServiceName(std::string serviceName);
  void setAccessible(std::optional<Accessible> accessible);
  // true also sets the access group to keychainAccessGroup; false or absent removes it.
  void setSynchronizable(std::optional<bool> synchronizable);
  void setAccountName(std::optional<std::string> accountName);
  // A server address makes the item an internet password, for good: clearing it removes only the server.
  void setServerAddress(std::optional<std::string> serverAddress);
  void setDescription(std::optional<std::string> description);
  void setComment(std::optional<std::string> comment);
  void setData(std::optional<Bytes> data);
  void setLimitSearchesToOneMatch(bool limit) noexcept { limitSearchesToOneMatch_ = limit; }

  // Sets data, account name, server address and description from a search hit (absent values remove).
  void apply(const SystemKeychainEntry& entry);

  // accessDictionary asking for attributes and data of one match, or of all matches.
  SecDictionary searchQuery() const;

  // Equal when every field but accessDictionary and comment is equal.
  friend bool operator==(const SystemKeychainConfiguration& a, const SystemKeychainConfiguration& b);

 private:
  void setEntry(std::string_view key, std::optional<security::SecValue> value);

  SecDictionary accessDictionary_;
  std::string serviceName_;
  std::optional<Accessible> accessible_;
  std::optional<bool> synchronizable_;
  std::optional<std::string> accountName_;
  std::optional<std::string> serverAddress_;
  std::optional<std::string> description_;
  std::optional<std::string> comment_;
  std::optional<Bytes> data_;
  bool limitSearchesToOneMatch_ = true;
};

// The operations of the keychain store ("delete" is deleteItem and deleteItems here).
class SystemKeychainInterface {
 public:
  virtual ~SystemKeychainInterface() = default;
  virtual PlatformResult<Success> save(const SystemKeychainConfiguration& configuration) = 0;
  virtual PlatformResult<Success> deleteItem(const SystemKeychainConfiguration& configuration) = 0;
  virtual PlatformResult<Success> deleteItems(const std::vector<SystemKeychainConfiguration>& configurations) = 0;
  virtual PlatformResult<std::vector<SystemKeychainEntry>> search(const SystemKeychainConfiguration& configuration) = 0;
};

// Saves, deletes and searches password items through a SecItemWrapper. Holds no state besides its wrapper;
// every operation runs on the caller's thread and reports failures as PlatformError values.
class SystemKeychain : public SystemKeychainInterface {
 public:
  using Entry = SystemKeychainEntry;

  // With no wrapper, a SystemSecItemWrapper.
  explicit SystemKeychain(std::shared_ptr<SecItemWrapper> secItemWrapper = nullptr);

  // The process-wide instance over a SystemSecItemWrapper, made on first use.
  static SystemKeychain& shared();

  const std::shared_ptr<SecItemWrapper>& secItemWrapper() const noexcept { return secItemWrapper_; }

  // Updates the item's data (and comment and accessibility when set); adds it when the update fails.
  // Without data: keychainErrorDomain 1002 and no store call. Both failing: NSOSStatusErrorDomain, the add
  // status.
  PlatformResult<Success> save(const SystemKeychainConfiguration& configuration) override;
  PlatformResult<Success> deleteItem(const SystemKeychainConfiguration& configuration) override;
  // Deletes every item in order; missing items count as deleted. Failures: NSOSStatusErrorDomain with the
  // first failing status and a description listing each failed account (or "Unknown Name") and status.
  PlatformResult<Success> deleteItems(const std::vector<SystemKeychainConfiguration>& configurations) override;
  // Items matching the configuration; no match is an empty list.
  PlatformResult<std::vector<Entry>> search(const SystemKeychainConfiguration& configuration) override;

 private:
  std::shared_ptr<SecItemWrapper> secItemWrapper_;
};

}  // namespace tessaly::platform
