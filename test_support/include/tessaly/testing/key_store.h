// Helpers of the device key store tests and benchmarks: tags, queries, key files and keys.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tessaly/security/device_key_store.h"
#include "tessaly/security/sec_key.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/software_tpm.h"

namespace tessaly::security::testing {

using ScratchFolder = tessaly::testing::TemporaryDirectory;
using tessaly::testing::readFile;
using tessaly::testing::SoftwareTpm;

inline Bytes tagOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline SecDictionary keyQuery(const Bytes& tag) {
  return {{std::string(kSecClass), SecValue(kSecClassKey)},
          {std::string(kSecAttrKeyClass), SecValue(kSecAttrKeyClassPrivate)},
          {std::string(kSecAttrApplicationTag), SecValue(tag)},
          {std::string(kSecReturnRef), SecValue(true)}};
}

// The one file in `folder`.
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
