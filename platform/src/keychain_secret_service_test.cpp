// The keychain store over the user's Secret Service; start this program through run-with-keyring.sh.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tessaly/platform/keychain.h"

namespace tessaly::platform {
namespace {

using Config = SystemKeychainConfiguration;

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

Config item(std::string account, std::string_view data, std::optional<bool> synchronizable = std::nullopt) {
  return Config("com.tessaly.test", Config::Accessible::whenUnlocked, synchronizable, std::move(account), std::nullopt,
                "test item", "comment", bytes(data));
}

// What a search finds of an item().
SystemKeychainEntry entry(std::string account, std::string_view data) {
  return {bytes(data), std::move(account), std::nullopt, std::nullopt};
}
using Entries = std::vector<SystemKeychainEntry>;

TEST(SystemKeychainOverSecretService, SaveSearchAndDeleteKeepTheirMeaningInARealKeyring) {
  ASSERT_NE(std::getenv("TESSALY_KEYRING_PASSWORD"), nullptr) << "start this program with run-with-keyring.sh";
  SystemKeychain& keychain = SystemKeychain::shared();

  ASSERT_TRUE(keychain.save(item("alice", "first")));
  ASSERT_TRUE(keychain.save(item("alice", "second"))) << "a second save updates";
  ASSERT_TRUE(keychain.save(item("bob", "bob's")));
  ASSERT_TRUE(keychain.save(item("alice", "synced", true)));

  EXPECT_EQ(keychain.search(item("alice", "")).value(), Entries{entry("alice", "second")});
  Config everyone("com.tessaly.test");
  everyone.setLimitSearchesToOneMatch(false);
  EXPECT_EQ(keychain.search(everyone)->size(), 2u) << "the synchronizable item is not among the local ones";
  EXPECT_EQ(keychain.search(item("alice", "", true)).value(), Entries{entry("alice", "synced")});

  ASSERT_TRUE(keychain.deleteItem(item("alice", "", true)));
  EXPECT_EQ(keychain.search(item("alice", "")).value(), Entries{entry("alice", "second")}) << "the local one is kept";
  EXPECT_TRUE(keychain.deleteItems({item("alice", ""), item("nobody", "")}));
  EXPECT_EQ(keychain.search(everyone).value(), Entries{entry("bob", "bob's")});
  EXPECT_TRUE(keychain.deleteItem(item("bob", "")));
  EXPECT_EQ(keychain.search(everyone)->size(), 0u);
}

TEST(SystemKeychainOverSecretService, InvalidTextIsRefusedByTheStore) {
  auto result = SystemKeychain::shared().save(item(std::string("bad\xff", 4), "x"));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().domain, "NSOSStatusErrorDomain");
  EXPECT_EQ(result.error().code, security::errSecParam);
}

}  // namespace
}  // namespace tessaly::platform
