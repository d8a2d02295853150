// User defaults: the running user's preferences, kept in one property-list file per user and domain.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>

#include "tessaly/foundation/property_list.h"

namespace tessaly::foundation {

// A dictionary of preferences kept in a property-list file. Every read loads the file afresh and every write
// replaces it whole (written beside it, then renamed over it), so several processes see each other's changes.
// A missing, unreadable or malformed file reads as empty; a write that cannot be stored leaves the file as it
// was and reports false. Safe to use from several threads.
class UserDefaults {
 public:
  explicit UserDefaults(std::filesystem::path file);

  // The running user's standard defaults: <user config folder>/tessaly/UserDefaults.plist, where the user
  // config folder is $XDG_CONFIG_HOME or ~/.config. Created on first use and kept for the process's life.
  static UserDefaults& standard();

  const std::filesystem::path& file() const noexcept { return file_; }

  // The value stored under `key`; nothing when there is none.
  std::optional<PropertyValue> objectForKey(std::string_view key) const;

  // Stores `value` under `key`, or removes the key when `value` is empty. False when the file cannot be written.
  [[nodiscard]] bool setValue(std::optional<PropertyValue> value, std::string_view key);

  // Every stored entry (empty when the file is missing or unreadable).
  PropertyDictionary dictionaryRepresentation() const;

 private:
  PropertyDictionary load() const;
  [[nodiscard]] bool store(const PropertyDictionary& entries) const;

  std::filesystem::path file_;
  mutable std::mutex mutex_;
};

}  // namespace tessaly::foundation
