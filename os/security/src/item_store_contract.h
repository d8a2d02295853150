// Behaviour that every password ItemStore must share, as tests run against each store (memory, Secret Service).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "tessaly/security/item_store.h"

namespace tessaly::security::contract {

using StoreFactory = std::function<std::shared_ptr<ItemStore>()>;

class ItemStoreContract : public ::testing::TestWithParam<StoreFactory> {
 protected:
  void SetUp() override {
    store = GetParam()();
    // Each test uses services of its own, so a store that outlives one test does not disturb the next.
    service = std::string("contract.") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }

  SecDictionary item(std::string account, Bytes data, std::string itemService = {}) const {
    return {{std::string(kSecClass), SecValue(kSecClassGenericPassword)},
            {std::string(kSecAttrService), SecValue(itemService.empty() ? service : itemService)},
            {std::string(kSecAttrAccount), SecValue(std::move(account))},
            {std::string(kSecValueData), SecValue(std::move(data))}};
  }
  SecDictionary query(std::string_view limit = kSecMatchLimitAll) const {
    return {{std::string(kSecClass), SecValue(kSecClassGenericPassword)},
            {std::string(kSecAttrService), SecValue(service)},
            {std::string(kSecReturnAttributes), SecValue(true)},
            {std::string(kSecReturnData), SecValue(true)},
            {std::string(kSecMatchLimit), SecValue(limit)}};
  }
  static const std::string* textOf(const SecDictionary& d, std::string_view key) {
    auto it = d.find(key);
    return it == d.end() ? nullptr : it->second.text();
  }
  static const Bytes* dataOf(const SecDictionary& d) {
    auto it = d.find(kSecValueData);
    return it == d.end() ? nullptr : it->second.data();
  }

  std::shared_ptr<ItemStore> store;
  std::string service;
};

TEST_P(ItemStoreContract, AddedItemsComeBackWithAttributesAndDataInAddOrder) {
  ASSERT_EQ(store->add(item("alice", {1, 2, 3}), nullptr), errSecSuccess);
  ASSERT_EQ(store->add(item("bob", {}), nullptr), errSecSuccess);  // empty data is data too

  SecItemResult all;
  ASSERT_EQ(store->copyMatching(query(), &all), errSecSuccess);
  const auto* items = std::get_if<std::vector<SecDictionary>>(&all);
  ASSERT_NE(items, nullptr);
  ASSERT_EQ(items->size(), 2u);
  EXPECT_EQ(*textOf((*items)[0], kSecAttrAccount), "alice");
  EXPECT_EQ(*dataOf((*items)[0]), (Bytes{1, 2, 3}));
  EXPECT_EQ(*textOf((*items)[1], kSecAttrAccount), "bob");
  EXPECT_EQ(*dataOf((*items)[1]), Bytes{});
  EXPECT_EQ(*textOf((*items)[0], kSecClass), kSecClassGenericPassword);
  EXPECT_EQ(*(*items)[0].at(std::string(kSecAttrSynchronizable)).boolean(), false);

  SecItemResult one;
  ASSERT_EQ(store->copyMatching(query(kSecMatchLimitOne), &one), errSecSuccess);
  ASSERT_NE(std::get_if<SecDictionary>(&one), nullptr);
  EXPECT_EQ(*textOf(std::get<SecDictionary>(one), kSecAttrAccount), "alice");

  // Data alone, without attributes, comes back as bare bytes.
  SecDictionary dataOnly = query(kSecMatchLimitOne);
  dataOnly.erase(std::string(kSecReturnAttributes));
  dataOnly.insert_or_assign(std::string(kSecAttrAccount), SecValue("bob"));
  SecItemResult bytes;
  ASSERT_EQ(store->copyMatching(dataOnly, &bytes), errSecSuccess);
  EXPECT_EQ(std::get<Bytes>(bytes), Bytes{});
}

TEST_P(ItemStoreContract, NothingMatchingIsItemNotFoundForEveryOperation) {
  SecItemResult result;
  EXPECT_EQ(store->copyMatching(query(), &result), errSecItemNotFound);
  EXPECT_EQ(store->update(query(), {{std::string(kSecValueData), SecValue(Bytes{9})}}), errSecItemNotFound);
  EXPECT_EQ(store->remove(query()), errSecItemNotFound);
}

TEST_P(ItemStoreContract, DuplicatesAreRefusedByAddAndUpdate) {
  ASSERT_EQ(store->add(item("alice", {1}), nullptr), errSecSuccess);
  EXPECT_EQ(store->add(item("alice", {2}), nullptr), errSecDuplicateItem);
  ASSERT_EQ(store->add(item("bob", {3}), nullptr), errSecSuccess);

  // Renaming bob to alice would make a second alice.
  SecDictionary bob = query();
  bob.insert_or_assign(std::string(kSecAttrAccount), SecValue("bob"));
  EXPECT_EQ(store->update(bob, {{std::string(kSecAttrAccount), SecValue("alice")}}), errSecDuplicateItem);

  // A synchronizable twin is another item.
  SecDictionary twin = item("alice", {4});
  twin.insert_or_assign(std::string(kSecAttrSynchronizable), SecValue(true));
  EXPECT_EQ(store->add(twin, nullptr), errSecSuccess);
}

TEST_P(ItemStoreContract, QueriesWithoutSynchronizableSeeOnlyLocalItems) {
  SecDictionary synced = item("alice", {1});
  synced.insert_or_assign(std::string(kSecAttrSynchronizable), SecValue(true));
  ASSERT_EQ(store->add(synced, nullptr), errSecSuccess);

  SecItemResult result;
  EXPECT_EQ(store->copyMatching(query(), &result), errSecItemNotFound);
  SecDictionary any = query();
  any.insert_or_assign(std::string(kSecAttrSynchronizable), SecValue(kSecAttrSynchronizableAny));
  ASSERT_EQ(store->copyMatching(any, &result), errSecSuccess);
  EXPECT_EQ(std::get<std::vector<SecDictionary>>(result).size(), 1u);
  EXPECT_EQ(store->remove(query()), errSecItemNotFound);
  EXPECT_EQ(store->remove(any), errSecSuccess);
}

TEST_P(ItemStoreContract, UpdateChangesEveryMatchAndDeleteRemovesEveryMatch) {
  ASSERT_EQ(store->add(item("alice", {1}), nullptr), errSecSuccess);
  ASSERT_EQ(store->add(item("bob", {2}), nullptr), errSecSuccess);
  ASSERT_EQ(store->add(item("carol", {3}, service + ".other"), nullptr), errSecSuccess);

  ASSERT_EQ(store->update(query(), {{std::string(kSecValueData), SecValue(Bytes{7, 7})},
                                    {std::string(kSecAttrComment), SecValue("changed")}}),
            errSecSuccess);
  SecItemResult result;
  ASSERT_EQ(store->copyMatching(query(), &result), errSecSuccess);
  for (const SecDictionary& entry : std::get<std::vector<SecDictionary>>(result)) {
    EXPECT_EQ(*dataOf(entry), (Bytes{7, 7}));
    EXPECT_EQ(*textOf(entry, kSecAttrComment), "changed");
  }

  // The data in a query is not matched: a stale copy still finds (and deletes) the items.
  SecDictionary stale = query();
  stale.insert_or_assign(std::string(kSecValueData), SecValue(Bytes{1}));
  EXPECT_EQ(store->remove(stale), errSecSuccess);
  EXPECT_EQ(store->copyMatching(query(), &result), errSecItemNotFound);

  SecDictionary other = query();
  other.insert_or_assign(std::string(kSecAttrService), SecValue(service + ".other"));
  EXPECT_EQ(store->copyMatching(other, &result), errSecSuccess);
}

TEST_P(ItemStoreContract, MalformedDictionariesAreRefusedWithoutChangingTheStore) {
  SecDictionary noClass = item("alice", {1});
  noClass.erase(std::string(kSecClass));
  EXPECT_EQ(store->add(noClass, nullptr), errSecParam);

  SecDictionary badText = item(std::string("al\xff\xfe", 4), {1});
  EXPECT_EQ(store->add(badText, nullptr), errSecParam);
  SecDictionary nulText = item(std::string("al\0ce", 5), {1});
  EXPECT_EQ(store->add(nulText, nullptr), errSecParam);

  SecDictionary unknownKey = item("alice", {1});
  unknownKey.insert_or_assign("nonsense", SecValue("x"));
  EXPECT_EQ(store->add(unknownKey, nullptr), errSecParam);

  SecDictionary dataAsText = item("alice", {});
  dataAsText.insert_or_assign(std::string(kSecValueData), SecValue("secret"));
  EXPECT_EQ(store->add(dataAsText, nullptr), errSecParam);

  SecDictionary badAccessible = item("alice", {1});
  badAccessible.insert_or_assign(std::string(kSecAttrAccessible), SecValue("sometimes"));
  EXPECT_EQ(store->add(badAccessible, nullptr), errSecParam);

  EXPECT_EQ(store->add(item("alice", Bytes(ItemStore::kMaxItemDataSize + 1, 0x5A)), nullptr), errSecDataTooLarge);

  SecItemResult result;
  EXPECT_EQ(store->copyMatching(query(), &result), errSecItemNotFound);
  SecDictionary badLimit = query();
  badLimit.insert_or_assign(std::string(kSecMatchLimit), SecValue("m_LimitSome"));
  EXPECT_EQ(store->copyMatching(badLimit, &result), errSecParam);

  ASSERT_EQ(store->add(item("alice", {1}), nullptr), errSecSuccess);
  EXPECT_EQ(store->update(query(), {{std::string(kSecClass), SecValue(kSecClassInternetPassword)}}), errSecParam);
}

TEST_P(ItemStoreContract, InternetPasswordsAreKeyedByServer) {
  auto internet = [&](std::string server) {
    return SecDictionary{{std::string(kSecClass), SecValue(kSecClassInternetPassword)},
                         {std::string(kSecAttrService), SecValue(service)},
                         {std::string(kSecAttrServer), SecValue(std::move(server))},
                         {std::string(kSecAttrAccount), SecValue("alice")},
                         {std::string(kSecValueData), SecValue(Bytes{1})}};
  };
  ASSERT_EQ(store->add(internet("a.example"), nullptr), errSecSuccess);
  EXPECT_EQ(store->add(internet("b.example"), nullptr), errSecSuccess);
  EXPECT_EQ(store->add(internet("a.example"), nullptr), errSecDuplicateItem);
  // A generic password of the same service and account is not an internet password.
  SecItemResult result;
  EXPECT_EQ(store->copyMatching(query(), &result), errSecItemNotFound);
}

}  // namespace tessaly::security::contract
