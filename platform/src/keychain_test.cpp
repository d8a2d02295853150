#include "tessaly/platform/keychain.h"

#include <gtest/gtest.h>

#include <deque>

namespace tessaly::platform {
namespace {

namespace sec = tessaly::security;
using Config = SystemKeychainConfiguration;
using security::SecValue;

// Records every call; answers from queued statuses and results, or passes the call to a memory store.
class RecordingWrapper : public SecItemWrapper {
 public:
  struct Call {
    std::string operation;
    SecDictionary first;
    SecDictionary second;
  };

  OSStatus SecItemCopyMatching(const SecDictionary& query, SecItemResult* result) override {
    calls.push_back({"copy", query, {}});
    if (!results.empty()) {
      *result = results.front();
      results.pop_front();
    }
    return next([&] { return store->copyMatching(query, result); });
  }
  OSStatus SecItemAdd(const SecDictionary& attributes, SecItemResult* result) override {
    calls.push_back({"add", attributes, {}});
    return next([&] { return store->add(attributes, result); });
  }
  OSStatus SecItemUpdate(const SecDictionary& query, const SecDictionary& attributes) override {
    calls.push_back({"update", query, attributes});
    return next([&] { return store->update(query, attributes); });
  }
  OSStatus SecItemDelete(const SecDictionary& query) override {
    calls.push_back({"delete", query, {}});
    return next([&] { return store->remove(query); });
  }

  std::deque<OSStatus> statuses;  // answered first, in order
  std::deque<SecItemResult> results;
  std::vector<Call> calls;
  std::shared_ptr<security::MemoryItemStore> store = std::make_shared<security::MemoryItemStore>();

 private:
  template <class F>
  OSStatus next(F forward) {
    if (statuses.empty()) return forward();
    OSStatus status = statuses.front();
    statuses.pop_front();
    return status;
  }
};

bool has(const SecDictionary& d, std::string_view key) { return d.find(key) != d.end(); }
const std::string& text(const SecDictionary& d, std::string_view key) { return *d.find(key)->second.text(); }

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
using Entries = std::vector<SystemKeychainEntry>;

TEST(SystemKeychainConfiguration, SettersKeepTheAttributeDictionaryInStep) {
  Config config;
  EXPECT_EQ(config.accessDictionary(), (SecDictionary{{"class", SecValue("genp")}}));
  EXPECT_TRUE(config.limitSearchesToOneMatch());

  Config unnamed("");
  EXPECT_FALSE(has(unnamed.accessDictionary(), sec::kSecAttrService)) << "an empty name is not applied at first";
  unnamed.setServiceName("");
  EXPECT_EQ(text(unnamed.accessDictionary(), sec::kSecAttrService), "") << "but is by the setter";

  config.setServerAddress("vault.example");
  config.setServerAddress(std::nullopt);
  EXPECT_FALSE(has(config.accessDictionary(), sec::kSecAttrServer));
  EXPECT_EQ(text(config.accessDictionary(), sec::kSecClass), sec::kSecClassInternetPassword)
      << "the class never goes back to generic password";

  config.setSynchronizable(true);
  EXPECT_EQ(*config.accessDictionary().at("sync").boolean(), true);
  EXPECT_EQ(text(config.accessDictionary(), sec::kSecAttrAccessGroup), "Q7RM2KX9WD.com.marrowind.tessaly");
  config.setSynchronizable(false);
  EXPECT_EQ(*config.accessDictionary().at("sync").boolean(), false);
  EXPECT_FALSE(has(config.accessDictionary(), sec::kSecAttrAccessGroup));

  config.setComment("note");
  config.apply(SystemKeychainEntry{bytes("pw"), "alice", std::nullopt, "desc"});
  config.apply(SystemKeychainEntry{bytes("pw2"), std::nullopt, std::nullopt, std::nullopt});
  EXPECT_FALSE(has(config.accessDictionary(), sec::kSecAttrAccount));
  EXPECT_FALSE(has(config.accessDictionary(), sec::kSecAttrDescription));
  EXPECT_EQ(text(config.accessDictionary(), sec::kSecAttrComment), "note") << "apply leaves the comment alone";
}

TEST(SystemKeychainConfiguration, SearchQueryAndRawValues) {
  Config config("svc", Config::Accessible::whenUnlocked, true, "alice", "host", "d", "c", bytes("x"), false);
  const SecDictionary all = config.searchQuery();
  EXPECT_EQ(text(all, sec::kSecMatchLimit), sec::kSecMatchLimitAll);
  EXPECT_TRUE(*all.at("r_Attributes").boolean() && *all.at("r_Data").boolean());
  config.setLimitSearchesToOneMatch(true);
  EXPECT_EQ(text(config.searchQuery(), sec::kSecMatchLimit), sec::kSecMatchLimitOne);

  EXPECT_EQ(Config::accessibleFromRawValue("cku"), Config::Accessible::afterFirstUnlockThisDeviceOnly);
  EXPECT_FALSE(Config::accessibleFromRawValue("dk"));
}

TEST(SystemKeychain, SaveUpdatesFirstAndAddsWhenTheUpdateFails) {
  auto wrapper = std::make_shared<RecordingWrapper>();
  SystemKeychain keychain(wrapper);

  Config noData("svc", std::nullopt, std::nullopt, "alice");
  EXPECT_EQ(keychain.save(noData).error(), (PlatformError{"com.tessaly.common.keychain.error", 1002, std::nullopt}));
  EXPECT_TRUE(wrapper->calls.empty());

  Config config("svc", Config::Accessible::whenUnlocked, std::nullopt, "alice", std::nullopt, std::nullopt, "note",
                bytes("pw"));
  ASSERT_TRUE(keychain.save(config));  // new item: the update finds nothing, the add succeeds
  ASSERT_EQ(wrapper->calls.size(), 2u);
  const auto& update = wrapper->calls[0];
  EXPECT_EQ(update.operation, "update");
  for (auto key : {sec::kSecValueData, sec::kSecAttrComment, sec::kSecAttrAccessible})
    EXPECT_FALSE(has(update.first, key));
  EXPECT_EQ(update.second.size(), 3u);
  EXPECT_EQ(wrapper->calls[1].operation, "add");
  EXPECT_EQ(wrapper->calls[1].first, config.accessDictionary());

  config.setData(bytes("pw2"));
  wrapper->calls.clear();
  ASSERT_TRUE(keychain.save(config));
  ASSERT_EQ(wrapper->calls.size(), 1u) << "an existing item is only updated";
  EXPECT_EQ(keychain.search(config)->front().data, bytes("pw2"));

  // Any failed update leads to an add; only the add's status is reported.
  wrapper->statuses = {-34018, 0};
  EXPECT_TRUE(keychain.save(config));
  wrapper->statuses = {-25300, -25299};
  EXPECT_EQ(keychain.save(config).error(), (PlatformError{"NSOSStatusErrorDomain", -25299, std::nullopt}));
}

TEST(SystemKeychain, DeleteTriesEveryItemAndListsEachFailure) {
  auto wrapper = std::make_shared<RecordingWrapper>();
  SystemKeychain keychain(wrapper);
  EXPECT_TRUE(keychain.deleteItems({}));
  EXPECT_TRUE(wrapper->calls.empty());
  EXPECT_TRUE(keychain.deleteItem(Config("never-saved")));

  Config anonymous("svc");
  Config named("svc", std::nullopt, std::nullopt, "bob");
  Config fine("svc", std::nullopt, std::nullopt, "carol");
  wrapper->calls.clear();
  wrapper->statuses = {-34018, 0, -25308};
  auto result = keychain.deleteItems({anonymous, fine, named});
  EXPECT_EQ(wrapper->calls.size(), 3u);
  EXPECT_EQ(result.error().domain, "NSOSStatusErrorDomain");
  EXPECT_EQ(result.error().code, -34018);
  EXPECT_EQ(result.error().localizedDescription(),
            "Failed to remove the following items from the system keychain:\n"
            "Unknown Name : -34018\n"
            "bob : -25308\n");
}

TEST(SystemKeychain, SearchShapesAndTheOneMatchAllMatchesDifference) {
  auto wrapper = std::make_shared<RecordingWrapper>();
  SystemKeychain keychain(wrapper);
  Config query("svc");
  EXPECT_EQ(keychain.search(query)->size(), 0u) << "no match is an empty list";

  ASSERT_TRUE(keychain.save(Config("svc", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                   std::nullopt, bytes("anonymous"))));
  ASSERT_TRUE(keychain.save(
      Config("svc", std::nullopt, std::nullopt, "alice", std::nullopt, std::nullopt, std::nullopt, bytes("alice's"))));
  EXPECT_EQ(keychain.search(query).value(), (Entries{{bytes("anonymous"), std::nullopt, std::nullopt, std::nullopt}}));

  query.setLimitSearchesToOneMatch(false);
  EXPECT_EQ(keychain.search(query).value(), (Entries{{bytes("alice's"), "alice", std::nullopt, std::nullopt}}))
      << "entries without an account are skipped";

  wrapper->statuses = {-25308};
  EXPECT_EQ(keychain.search(query).error(), (PlatformError{"NSOSStatusErrorDomain", -25308, std::nullopt}));

  // Results of the wrong shape.
  const PlatformError unconvertible{"com.tessaly.common.keychain.error", 1000, std::nullopt};
  wrapper->statuses = {0};
  wrapper->results = {SecItemResult(SecDictionary{{"v_Data", SecValue(bytes("x"))}})};
  EXPECT_EQ(keychain.search(query).error(), unconvertible) << "all matches need an array";
  query.setLimitSearchesToOneMatch(true);
  wrapper->statuses = {0};
  wrapper->results = {SecItemResult(bytes("bare data"))};
  EXPECT_EQ(keychain.search(query).error(), unconvertible);
  wrapper->statuses = {0};
  wrapper->results = {SecItemResult(SecDictionary{{"v_Data", SecValue("text, not data")}, {"acct", SecValue("a")}})};
  EXPECT_EQ(keychain.search(query).error(), unconvertible);
  wrapper->statuses = {0};
  EXPECT_EQ(keychain.search(query).error(), unconvertible) << "success without a result";
}

}  // namespace
}  // namespace tessaly::platform
