// Runs against a real Secret Service: start it through run-with-keyring.sh (see CMakeLists.txt).
#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "item_store_contract.h"
#include "tessaly/security/item_store.h"
#include "tessaly/security/sec_item.h"

namespace tessaly::security {
namespace {

using contract::ItemStoreContract;
INSTANTIATE_TEST_SUITE_P(SecretService, ItemStoreContract, ::testing::Values(contract::StoreFactory([] {
                           return std::make_shared<SecretServiceItemStore>();
                         })));

SecDictionary genericItem(std::string service, std::string account, Bytes data) {
  return {{std::string(kSecClass), SecValue(kSecClassGenericPassword)},
          {std::string(kSecAttrService), SecValue(std::move(service))},
          {std::string(kSecAttrAccount), SecValue(std::move(account))},
          {std::string(kSecValueData), SecValue(std::move(data))}};
}

SecDictionary serviceQuery(std::string service) {
  return {{std::string(kSecClass), SecValue(kSecClassGenericPassword)},
          {std::string(kSecAttrService), SecValue(std::move(service))},
          {std::string(kSecReturnData), SecValue(true)}};
}

const SecretSchema* foreignSchema() {
  static const SecretSchema schema = [] {
    SecretSchema s{};
    s.name = "org.example.other";
    s.flags = SECRET_SCHEMA_NONE;
    s.attributes[0] = {"svce", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[1] = {"acct", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return &schema;
}

SecretCollection* defaultCollection(SecretService* service) {
  return secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr);
}

TEST(SecretService, RunsInsideAPrivateKeyringSession) {
  // Guards against running these tests on a desktop session: run-with-keyring.sh sets the password.
  ASSERT_NE(std::getenv("TESSALY_KEYRING_PASSWORD"), nullptr) << "start this program with run-with-keyring.sh";
}

TEST(SecretService, OtherClientsSeeTheItemInTheKeyringAndTheFileHoldsNoPlaintext) {
  SecretServiceItemStore store;
  const std::string secret = "correct horse battery staple 7d1f";
  SecDictionary item = genericItem("svc.visible", "alice", Bytes(secret.begin(), secret.end()));
  ASSERT_EQ(store.add(item, nullptr), errSecSuccess);

  SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, nullptr);
  ASSERT_NE(service, nullptr);
  GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
  g_hash_table_insert(attributes, const_cast<char*>("svce"), const_cast<char*>("svc.visible"));
  GList* found = secret_service_search_sync(
      service, nullptr, attributes, static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS),
      nullptr, nullptr);
  g_hash_table_unref(attributes);
  ASSERT_EQ(g_list_length(found), 1u);
  auto* foundItem = static_cast<SecretItem*>(found->data);
  gchar* schema = secret_item_get_schema_name(foundItem);
  EXPECT_STREQ(schema, "com.tessaly.keychain.item");
  g_free(schema);
  gchar* label = secret_item_get_label(foundItem);
  EXPECT_STREQ(label, "svc.visible (alice)");
  g_free(label);
  SecretValue* value = secret_item_get_secret(foundItem);
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(secret_value_get_text(value), secret.c_str());
  secret_value_unref(value);
  g_list_free_full(found, g_object_unref);
  g_object_unref(service);

  const char* dataHome = std::getenv("XDG_DATA_HOME");
  ASSERT_NE(dataHome, nullptr);
  std::ifstream file(std::string(dataHome) + "/keyrings/login.keyring", std::ios::binary);
  ASSERT_TRUE(file) << "the login keyring is kept on disk";
  const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content.find(secret), std::string::npos);
}

TEST(SecretService, ItemsOfOtherSchemasAreNeverSeenOrTouched) {
  ASSERT_TRUE(secret_password_store_sync(foreignSchema(), SECRET_COLLECTION_DEFAULT, "foreign", "theirs", nullptr,
                                         nullptr, "svce", "svc.shared", "acct", "alice", nullptr));
  SecretServiceItemStore store;
  SecItemResult result;
  EXPECT_EQ(store.copyMatching(serviceQuery("svc.shared"), &result), errSecItemNotFound);
  EXPECT_EQ(store.remove(serviceQuery("svc.shared")), errSecItemNotFound);
  // Our item of the same service and account is not a duplicate of theirs.
  EXPECT_EQ(store.add(genericItem("svc.shared", "alice", {1}), nullptr), errSecSuccess);
  EXPECT_EQ(store.remove(serviceQuery("svc.shared")), errSecSuccess);

  gchar* theirs =
      secret_password_lookup_sync(foreignSchema(), nullptr, nullptr, "svce", "svc.shared", "acct", "alice", nullptr);
  EXPECT_STREQ(theirs, "theirs");
  secret_password_free(theirs);
}

TEST(SecretServiceLocked, ALockedKeyringRefusesEveryOperationWithoutAsking) {
  SecretServiceItemStore store;
  ASSERT_EQ(store.add(genericItem("svc.locked", "alice", {1}), nullptr), errSecSuccess);

  SecretService* service = secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, nullptr);
  ASSERT_NE(service, nullptr);
  SecretCollection* collection = defaultCollection(service);
  ASSERT_NE(collection, nullptr);
  GList* objects = g_list_append(nullptr, collection);
  GError* error = nullptr;
  ASSERT_GE(secret_service_lock_sync(service, objects, nullptr, nullptr, &error), 1) << (error ? error->message : "");
  g_list_free(objects);
  g_object_unref(collection);
  g_object_unref(service);

  const auto start = std::chrono::steady_clock::now();
  SecItemResult result;
  EXPECT_EQ(store.copyMatching(serviceQuery("svc.locked"), &result), errSecInteractionNotAllowed);
  EXPECT_EQ(store.copyMatching(serviceQuery("svc.never-added"), &result), errSecInteractionNotAllowed);
  EXPECT_EQ(store.add(genericItem("svc.locked", "bob", {2}), nullptr), errSecInteractionNotAllowed);
  EXPECT_EQ(store.update(serviceQuery("svc.locked"), {{std::string(kSecValueData), SecValue(Bytes{3})}}),
            errSecInteractionNotAllowed);
  EXPECT_EQ(store.remove(serviceQuery("svc.locked")), errSecInteractionNotAllowed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << "something waited for a prompt";
}

TEST(SecretServiceWithoutKeyring, NothingCanBeAddedWhereThereIsNoKeyring) {
  ASSERT_STREQ(std::getenv("TESSALY_KEYRING"), "none") << "start with run-with-keyring.sh --without-login-keyring";
  SecretServiceItemStore store;
  SecItemResult result;
  EXPECT_EQ(store.add(genericItem("svc.nowhere", "alice", {1}), nullptr), errSecNoSuchKeychain);
  EXPECT_EQ(store.copyMatching(serviceQuery("svc.nowhere"), &result), errSecItemNotFound);
  EXPECT_EQ(store.remove(serviceQuery("svc.nowhere")), errSecItemNotFound);
}

TEST(SecretServiceMissing, NoReachableServiceIsNotAvailable) {
  SecretServiceItemStore store;
  SecItemResult result;
  EXPECT_EQ(store.copyMatching(serviceQuery("svc"), &result), errSecNotAvailable);
  EXPECT_EQ(store.add(genericItem("svc", "alice", {1}), nullptr), errSecNotAvailable);
  EXPECT_EQ(store.update(serviceQuery("svc"), {{std::string(kSecValueData), SecValue(Bytes{3})}}), errSecNotAvailable);
  EXPECT_EQ(store.remove(serviceQuery("svc")), errSecNotAvailable);
  EXPECT_EQ(SecItemCopyMatching(serviceQuery("svc"), &result), errSecNotAvailable);
  // Bad input is still refused as such before the service is asked.
  EXPECT_EQ(store.add({{std::string(kSecClass), SecValue(kSecClassGenericPassword)},
                       {std::string(kSecAttrAccount), SecValue(7)}},
                      nullptr),
            errSecParam);
}

}  // namespace
}  // namespace tessaly::security
