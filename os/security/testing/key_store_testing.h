// Helpers of the device key store tests: queries, scratch folders and the bytes of key files.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tessaly/security/device_key_store.h"
#include "tessaly/security/sec_key.h"

namespace tessaly::security::testing {

inline Bytes tagOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline SecDictionary keyQuery(const Bytes& tag) {
  return {{std::string(kSecClass), SecValue(kSecClassKey)},
          {std::string(kSecAttrKeyClass), SecValue(kSecAttrKeyClassPrivate)},
          {std::string(kSecAttrApplicationTag), SecValue(tag)},
          {std::string(kSecReturnRef), SecValue(true)}};
}

// A folder removed with everything in it at the end of the scope.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessaly-keys.XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The bytes of a file ("" when there is none).
inline std::string contentsOf(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The one key file in `folder`.
inline std::filesystem::path onlyFileIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) files.push_back(entry.path());
  EXPECT_EQ(files.size(), 1u) << folder;
  return files.empty() ? std::filesystem::path() : files.front();
}

// The key found for `tag` opens what was sealed for `made`: they are one key.
inline void expectSameKey(DeviceKeyStore& store, const Bytes& tag, const SecKeyRef& made) {
  const auto ecies = kSecKeyAlgorithmECIESEncryptionCofactorX963SHA256AESGCM;
  SecItemResult result;
  ASSERT_EQ(store.copyMatching(keyQuery(tag), &result), errSecSuccess);
  std::optional<Error> error;
  std::optional<Bytes> sealed = SecKeyCreateEncryptedData(SecKeyCopyPublicKey(made), ecies, tagOf("secret"), &error);
  ASSERT_TRUE(sealed);
  EXPECT_EQ(SecKeyCreateDecryptedData(std::get<SecKeyRef>(result), ecies, *sealed, &error), tagOf("secret"));
}

}  // namespace tessaly::security::testing
