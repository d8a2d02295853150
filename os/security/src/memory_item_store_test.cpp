#include <gtest/gtest.h>

#include <thread>

#include "item_store_contract.h"
#include "tessaly/security/item_store.h"
#include "tessaly/security/sec_item.h"

namespace tessaly::security {
namespace {

using contract::ItemStoreContract;
INSTANTIATE_TEST_SUITE_P(Memory, ItemStoreContract,
                         ::testing::Values(contract::StoreFactory([] { return std::make_shared<MemoryItemStore>(); })));

TEST(MemoryItemStore, ConcurrentAddsOfOneItemLeaveExactlyOne) {
  MemoryItemStore store;
  SecDictionary item{{std::string(kSecClass), SecValue(kSecClassGenericPassword)},
                     {std::string(kSecAttrService), SecValue("race")},
                     {std::string(kSecValueData), SecValue(Bytes{1})}};
  std::atomic<int> added{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      if (store.add(item, nullptr) == errSecSuccess) ++added;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(added.load(), 1);
  EXPECT_EQ(store.size(), 1u);
}

TEST(SecItemFunctions, DictionariesWithoutAKnownClassAreRefused) {
  SecItemResult result;
  EXPECT_EQ(SecItemCopyMatching({{std::string(kSecAttrService), SecValue("x")}}, &result), errSecParam);
  EXPECT_EQ(SecItemAdd({{std::string(kSecClass), SecValue("cert")}}, nullptr), errSecParam);
  EXPECT_EQ(SecItemDelete({{std::string(kSecClass), SecValue(true)}}), errSecParam);
  EXPECT_EQ(SecItemUpdate({}, {}), errSecParam);
}

}  // namespace
}  // namespace tessaly::security
