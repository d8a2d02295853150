#include "tessaly/platform/keychain.h"

#include <array>

namespace tessaly::platform {

namespace sec = tessaly::security;
using security::SecValue;

namespace {

constexpr std::array<std::string_view, 5> kAccessibleRawValues = {
    sec::kSecAttrAccessibleWhenUnlocked, sec::kSecAttrAccessibleAfterFirstUnlock,
    sec::kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly, sec::kSecAttrAccessibleWhenUnlockedThisDeviceOnly,
    sec::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly};

PlatformError statusError(OSStatus status) { return PlatformError{std::string(kNSOSStatusErrorDomain), status, {}}; }

std::optional<SecValue> textValue(const std::optional<std::string>& text) {
  return text ? std::optional<SecValue>(SecValue(*text)) : std::nullopt;
}

}  // namespace

std::optional<KeychainError> keychainErrorFromRawValue(std::int64_t rawValue) {
  switch (rawValue) {
    case 0:
      return KeychainError::success;
    case 1000:
      return KeychainError::unableToConvertKeychainValueData;
    case 1001:
      return KeychainError::noResultsFoundInKeychain;
    case 1002:
      return KeychainError::noDataSuppliedToStoreInKeychain;
    case 1003:
      return KeychainError::keychainAccessTimeout;
    case 1004:
      return KeychainError::invalidRequest;
    case 1005:
      return KeychainError::dataSizeDidNotMatch;
    default:
      return std::nullopt;
  }
}

PlatformError makeKeychainError(KeychainError error) {
  return PlatformError{std::string(keychainErrorDomain), static_cast<std::int64_t>(error), {}};
}

OSStatus SystemSecItemWrapper::SecItemCopyMatching(const SecDictionary& query, SecItemResult* result) {
  return sec::SecItemCopyMatching(query, result);
}
OSStatus SystemSecItemWrapper::SecItemAdd(const SecDictionary& attributes, SecItemResult* result) {
  return sec::SecItemAdd(attributes, result);
}
OSStatus SystemSecItemWrapper::SecItemUpdate(const SecDictionary& query, const SecDictionary& attributesToUpdate) {
  return sec::SecItemUpdate(query, attributesToUpdate);
}
OSStatus SystemSecItemWrapper::SecItemDelete(const SecDictionary& query) { return sec::SecItemDelete(query); }

OSStatus ItemStoreSecItemWrapper::SecItemCopyMatching(const SecDictionary& query, SecItemResult* result) {
  return store_->copyMatching(query, result);
}
OSStatus ItemStoreSecItemWrapper::SecItemAdd(const SecDictionary& attributes, SecItemResult* result) {
  return store_->add(attributes, result);
}
OSStatus ItemStoreSecItemWrapper::SecItemUpdate(const SecDictionary& query, const SecDictionary& attributesToUpdate) {
  return store_->update(query, attributesToUpdate);
}
OSStatus ItemStoreSecItemWrapper::SecItemDelete(const SecDictionary& query) { return store_->remove(query); }

// --- SystemKeychainConfiguration ---

std::string_view SystemKeychainConfiguration::rawValue(Accessible accessible) {
  return kAccessibleRawValues[static_cast<std::size_t>(accessible)];
}

std::optional<SystemKeychainConfiguration::Accessible> SystemKeychainConfiguration::accessibleFromRawValue(
    std::string_view raw) {
  for (std::size_t i = 0; i < kAccessibleRawValues.size(); ++i) {
    if (kAccessibleRawValues[i] == raw) return static_cast<Accessible>(i);
  }
  return std::nullopt;
}

SystemKeychainConfiguration::SystemKeychainConfiguration()
    : accessDictionary_{{std::string(sec::kSecClass), SecValue(sec::kSecClassGenericPassword)}} {}

SystemKeychainConfiguration::SystemKeychainConfiguration(std::string serviceName, std::optional<Accessible> accessible,
                                                         std::optional<bool> synchronizable,
                                                         std::optional<std::string> accountName,
                                                         std::optional<std::string> serverAddress,
                                                         std::optional<std::string> description,
                                                         std::optional<std::string> comment, std::optional<Bytes> data,
                                                         bool limitSearchesToOneMatch)
    : SystemKeychainConfiguration() {
  if (!serviceName.empty()) setServiceName(std::move(serviceName));
  if (accessible) setAccessible(accessible);
  if (synchronizable) setSynchronizable(synchronizable);
  if (accountName) setAccountName(std::move(accountName));
  if (serverAddress) setServerAddress(std::move(serverAddress));
  if (description) setDescription(std::move(description));
  if (comment) setComment(std::move(comment));
  if (data) setData(std::move(data));
  limitSearchesToOneMatch_ = limitSearchesToOneMatch;
}

void SystemKeychainConfiguration::setEntry(std::string_view key, std::optional<SecValue> value) {
  if (value) {
    accessDictionary_.insert_or_assign(std::string(key), std::move(*value));
  } else if (auto it = accessDictionary_.find(key); it != accessDictionary_.end()) {
    accessDictionary_.erase(it);
  }
}

void SystemKeychainConfiguration::setServiceName(std::string serviceName) {
  serviceName_ = std::move(serviceName);
  setEntry(sec::kSecAttrService, SecValue(serviceName_));
}

void SystemKeychainConfiguration::setAccessible(std::optional<Accessible> accessible) {
  accessible_ = accessible;
  setEntry(sec::kSecAttrAccessible,
           accessible ? std::optional<SecValue>(SecValue(rawValue(*accessible))) : std::nullopt);
}

void SystemKeychainConfiguration::setSynchronizable(std::optional<bool> synchronizable) {
  synchronizable_ = synchronizable;
  setEntry(sec::kSecAttrSynchronizable,
           synchronizable ? std::optional<SecValue>(SecValue(*synchronizable)) : std::nullopt);
  setEntry(sec::kSecAttrAccessGroup,
           synchronizable.value_or(false) ? std::optional<SecValue>(SecValue(keychainAccessGroup)) : std::nullopt);
}

void SystemKeychainConfiguration::setAccountName(std::optional<std::string> accountName) {
  accountName_ = std::move(accountName);
  setEntry(sec::kSecAttrAccount, textValue(accountName_));
}

void SystemKeychainConfiguration::setServerAddress(std::optional<std::string> serverAddress) {
  serverAddress_ = std::move(serverAddress);
  setEntry(sec::kSecAttrServer, textValue(serverAddress_));
  if (serverAddress_) setEntry(sec::kSecClass, SecValue(sec::kSecClassInternetPassword));
}

void SystemKeychainConfiguration::setDescription(std::optional<std::string> description) {
  description_ = std::move(description);
  setEntry(sec::kSecAttrDescription, textValue(description_));
}

void SystemKeychainConfiguration::setComment(std::optional<std::string> comment) {
  comment_ = std::move(comment);
  setEntry(sec::kSecAttrComment, textValue(comment_));
}

void SystemKeychainConfiguration::setData(std::optional<Bytes> data) {
  data_ = std::move(data);
  setEntry(sec::kSecValueData, data_ ? std::optional<SecValue>(SecValue(*data_)) : std::nullopt);
}

void SystemKeychainConfiguration::apply(const SystemKeychainEntry& entry) {
  setData(entry.data);
  setAccountName(entry.account);
  setServerAddress(entry.server);
  setDescription(entry.description);
}

SecDictionary SystemKeychainConfiguration::searchQuery() const {
  SecDictionary query = accessDictionary_;
  query.insert_or_assign(std::string(sec::kSecReturnAttributes), SecValue(true));
  query.insert_or_assign(std::string(sec::kSecReturnData), SecValue(true));
  query.insert_or_assign(std::string(sec::kSecMatchLimit),
                         SecValue(limitSearchesToOneMatch_ ? sec::kSecMatchLimitOne : sec::kSecMatchLimitAll));
  return query;
}

bool operator==(const SystemKeychainConfiguration& a, const SystemKeychainConfiguration& b) {
  return a.serviceName_ == b.serviceName_ && a.accessible_ == b.accessible_ && a.synchronizable_ == b.synchronizable_ &&
         a.accountName_ == b.accountName_ && a.serverAddress_ == b.serverAddress_ && a.description_ == b.description_ &&
         a.data_ == b.data_ && a.limitSearchesToOneMatch_ == b.limitSearchesToOneMatch_;
}

// --- SystemKeychain ---

SystemKeychain::SystemKeychain(std::shared_ptr<SecItemWrapper> secItemWrapper)
    : secItemWrapper_(secItemWrapper ? std::move(secItemWrapper) : std::make_shared<SystemSecItemWrapper>()) {}

SystemKeychain& SystemKeychain::shared() {
  static SystemKeychain keychain(std::make_shared<SystemSecItemWrapper>());
  return keychain;
}

PlatformResult<Success> SystemKeychain::save(const SystemKeychainConfiguration& configuration) {
  if (!configuration.data()) return makeKeychainError(KeychainError::noDataSuppliedToStoreInKeychain);

  SecDictionary query = configuration.accessDictionary();
  for (std::string_view key : {sec::kSecValueData, sec::kSecAttrComment, sec::kSecAttrAccessible}) {
    if (auto it = query.find(key); it != query.end()) query.erase(it);
  }
  SecDictionary attributes{{std::string(sec::kSecValueData), SecValue(*configuration.data())}};
  if (configuration.comment()) {
    attributes.insert_or_assign(std::string(sec::kSecAttrComment), SecValue(*configuration.comment()));
  }
  if (configuration.accessible()) {
    attributes.insert_or_assign(std::string(sec::kSecAttrAccessible),
                                SecValue(SystemKeychainConfiguration::rawValue(*configuration.accessible())));
  }
  if (secItemWrapper_->SecItemUpdate(query, attributes) == sec::errSecSuccess) return Success{};

  const OSStatus added = secItemWrapper_->SecItemAdd(configuration.accessDictionary(), nullptr);
  if (added == sec::errSecSuccess) return Success{};
  return statusError(added);
}

PlatformResult<Success> SystemKeychain::deleteItem(const SystemKeychainConfiguration& configuration) {
  return deleteItems({configuration});
}

PlatformResult<Success> SystemKeychain::deleteItems(const std::vector<SystemKeychainConfiguration>& configurations) {
  std::vector<std::pair<const SystemKeychainConfiguration*, OSStatus>> failures;
  for (const SystemKeychainConfiguration& configuration : configurations) {
    const OSStatus status = secItemWrapper_->SecItemDelete(configuration.accessDictionary());
    if (status != sec::errSecSuccess && status != sec::errSecItemNotFound)
      failures.emplace_back(&configuration, status);
  }
  if (failures.empty()) return Success{};

  std::string message = "Failed to remove the following items from the system keychain:\n";
  for (const auto& [configuration, status] : failures) {
    message += configuration->accountName().value_or("Unknown Name");
    message += " : ";
    message += std::to_string(status);
    message += "\n";
  }
  PlatformError error = statusError(failures.front().second);
  error.userInfo = std::map<std::string, std::string>{{std::string(kNSLocalizedDescriptionKey), std::move(message)}};
  return error;
}

PlatformResult<std::vector<SystemKeychain::Entry>> SystemKeychain::search(
    const SystemKeychainConfiguration& configuration) {
  SecItemResult result;
  const OSStatus status = secItemWrapper_->SecItemCopyMatching(configuration.searchQuery(), &result);
  if (status == sec::errSecItemNotFound) return std::vector<Entry>{};
  if (status != sec::errSecSuccess) return statusError(status);

  auto accountOf = [](const SecDictionary& item) -> std::optional<std::string> {
    auto it = item.find(sec::kSecAttrAccount);
    const std::string* text = it == item.end() ? nullptr : it->second.text();
    return text != nullptr ? std::optional<std::string>(*text) : std::nullopt;
  };
  auto dataOf = [](const SecDictionary& item) -> const Bytes* {
    auto it = item.find(sec::kSecValueData);
    return it == item.end() ? nullptr : it->second.data();
  };

  if (configuration.limitSearchesToOneMatch()) {
    const auto* item = std::get_if<SecDictionary>(&result);
    const Bytes* data = item != nullptr ? dataOf(*item) : nullptr;
    if (data == nullptr) return makeKeychainError(KeychainError::unableToConvertKeychainValueData);
    return std::vector<Entry>{Entry{*data, accountOf(*item), std::nullopt, std::nullopt}};
  }
  const auto* items = std::get_if<std::vector<SecDictionary>>(&result);
  if (items == nullptr) return makeKeychainError(KeychainError::unableToConvertKeychainValueData);
  std::vector<Entry> entries;
  for (const SecDictionary& item : *items) {
    const Bytes* data = dataOf(item);
    std::optional<std::string> account = accountOf(item);
    if (data == nullptr || !account) continue;
    entries.push_back(Entry{*data, std::move(account), std::nullopt, std::nullopt});
  }
  return entries;
}

}  // namespace tessaly::platform
