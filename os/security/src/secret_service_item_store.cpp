#include <libsecret/secret.h>

#include <algorithm>
#include <array>
#include <set>

#include "item_rules.h"
#include "tessaly/security/item_store.h"

namespace tessaly::security {
namespace {

// Every attribute that an item of ours may carry in the Secret Service. "pkey" holds a digest of the item's
// identity (primaryKey) so that duplicates are found by one exact search; "sync" is always present.
constexpr std::string_view kIdentityAttribute = "pkey";
constexpr std::array<std::string_view, 9> kStoredTexts = {kSecClass,      kSecAttrService,     kSecAttrAccount,
                                                          kSecAttrServer, kSecAttrDescription, kSecAttrComment,
                                                          kSecAttrLabel,  kSecAttrAccessible,  kSecAttrAccessGroup};

const SecretSchema* itemSchema() {
  static const SecretSchema schema = [] {
    SecretSchema s{};
    s.name = SecretServiceItemStore::kSchemaName.data();
    s.flags = SECRET_SCHEMA_NONE;
    std::size_t i = 0;
    for (std::string_view name : kStoredTexts) s.attributes[i++] = {name.data(), SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[i++] = {kSecAttrSynchronizable.data(), SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[i++] = {kIdentityAttribute.data(), SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[i] = {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return &schema;
}

template <class T>
struct GObjectPtr {
  T* ptr = nullptr;
  GObjectPtr() = default;
  explicit GObjectPtr(T* p) : ptr(p) {}
  GObjectPtr(const GObjectPtr&) = delete;
  GObjectPtr& operator=(const GObjectPtr&) = delete;
  ~GObjectPtr() {
    if (ptr != nullptr) g_object_unref(ptr);
  }
  T* get() const { return ptr; }
  explicit operator bool() const { return ptr != nullptr; }
};

struct ErrorHolder {
  GError* error = nullptr;
  ~ErrorHolder() {
    if (error != nullptr) g_error_free(error);
  }
  GError** out() { return &error; }
};

struct HashTable {
  GHashTable* table;
  HashTable() : table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free)) {}
  explicit HashTable(GHashTable* adopted) : table(adopted) {}
  HashTable(const HashTable&) = delete;
  HashTable& operator=(const HashTable&) = delete;
  ~HashTable() {
    if (table != nullptr) g_hash_table_unref(table);
  }
  void set(std::string_view key, std::string_view value) {
    g_hash_table_replace(table, g_strndup(key.data(), key.size()), g_strndup(value.data(), value.size()));
  }
  const char* get(std::string_view key) const {
    std::string k(key);
    return static_cast<const char*>(g_hash_table_lookup(table, k.c_str()));
  }
};

struct ItemList {
  GList* list = nullptr;
  ~ItemList() { g_list_free_full(list, g_object_unref); }
};

OSStatus statusOf(const GError* error) {
  if (error == nullptr) return errSecIO;
  if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED) return errSecInteractionNotAllowed;
  return errSecIO;
}

// libsecret keeps one connection to the service per process; its users take turns.
std::mutex& serviceMutex() {
  static std::mutex mutex;
  return mutex;
}

// Our form of a stored item, with the Secret Service's handle on it.
struct FoundItem {
  SecretItem* item;  // owned by the search's list
  rules::ItemRecord record;
  guint64 created;
  std::string path;
};

std::string identityDigest(const rules::ItemRecord& record) {
  const std::string key = rules::primaryKey(record);
  gchar* digest =
      g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(key.data()), key.size());
  std::string text(digest);
  g_free(digest);
  return text;
}

void fillAttributes(HashTable& table, const rules::ItemRecord& record) {
  for (std::string_view name : kStoredTexts) {
    auto it = record.attributes.find(name);
    if (it != record.attributes.end() && it->second.text() != nullptr) table.set(name, *it->second.text());
  }
  table.set(kSecAttrSynchronizable, rules::isSynchronizable(record) ? "1" : "0");
  table.set(kIdentityAttribute, identityDigest(record));
}

std::string labelOf(const rules::ItemRecord& record) {
  auto text = [&](std::string_view key) -> std::string {
    auto it = record.attributes.find(key);
    return it != record.attributes.end() && it->second.text() != nullptr ? *it->second.text() : std::string();
  };
  if (std::string label = text(kSecAttrLabel); !label.empty()) return label;
  std::string where = text(kSecAttrService);
  if (where.empty()) where = text(kSecAttrServer);
  std::string account = text(kSecAttrAccount);
  if (where.empty()) where = "Keychain item";
  return account.empty() ? where : where + " (" + account + ")";
}

std::optional<rules::ItemRecord> recordOf(SecretItem* item) {
  HashTable attributes(secret_item_get_attributes(item));
  if (attributes.table == nullptr) return std::nullopt;
  rules::ItemRecord record;
  for (std::string_view name : kStoredTexts) {
    if (const char* value = attributes.get(name))
      record.attributes.insert_or_assign(std::string(name), SecValue(value));
  }
  const char* sync = attributes.get(kSecAttrSynchronizable);
  record.attributes.insert_or_assign(std::string(kSecAttrSynchronizable), SecValue(sync != nullptr && sync[0] == '1'));
  if (!rules::isPasswordClass(rules::classOf(record.attributes))) return std::nullopt;
  SecretValue* secret = secret_item_get_secret(item);
  if (secret == nullptr) return std::nullopt;
  gsize length = 0;
  const gchar* bytes = secret_value_get(secret, &length);
  record.data.assign(reinterpret_cast<const std::uint8_t*>(bytes),
                     reinterpret_cast<const std::uint8_t*>(bytes) + length);
  secret_value_unref(secret);
  return record;
}

SecretValue* secretOf(const Bytes& data) {
  static const char kEmpty[] = "";
  const char* bytes = data.empty() ? kEmpty : reinterpret_cast<const char*>(data.data());
  return secret_value_new(bytes, static_cast<gssize>(data.size()), "application/octet-stream");
}

// A connection to the Secret Service for one operation.
class Session {
 public:
  Session() {
    ErrorHolder error;
    service_.ptr = secret_service_get_sync(
        static_cast<SecretServiceFlags>(SECRET_SERVICE_OPEN_SESSION | SECRET_SERVICE_LOAD_COLLECTIONS), nullptr,
        error.out());
  }
  OSStatus status() const { return service_ ? errSecSuccess : errSecNotAvailable; }
  SecretService* service() const { return service_.get(); }

  bool anyCollectionLocked() const {
    GList* collections = secret_service_get_collections(service_.get());
    bool locked = false;
    for (GList* c = collections; c != nullptr; c = c->next) {
      locked = locked || secret_collection_get_locked(static_cast<SecretCollection*>(c->data));
    }
    g_list_free_full(collections, g_object_unref);
    return locked;
  }

  // Items of ours whose stored attributes equal `filter`, with their secrets, oldest first. A locked item
  // (or, when nothing matched, a locked collection that might hold matches) is errSecInteractionNotAllowed.
  OSStatus search(HashTable& filter, ItemList& list, std::vector<FoundItem>& found) const {
    ErrorHolder error;
    list.list = secret_service_search_sync(
        service_.get(), itemSchema(), filter.table,
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr, error.out());
    if (error.error != nullptr) return statusOf(error.error);
    for (GList* l = list.list; l != nullptr; l = l->next) {
      auto* item = static_cast<SecretItem*>(l->data);
      if (secret_item_get_locked(item)) return errSecInteractionNotAllowed;
      std::optional<rules::ItemRecord> record = recordOf(item);
      if (!record) return errSecInteractionNotAllowed;  // its secret could not be read
      found.push_back(FoundItem{item, std::move(*record), secret_item_get_created(item),
                                g_dbus_proxy_get_object_path(G_DBUS_PROXY(item))});
    }
    if (found.empty() && anyCollectionLocked()) return errSecInteractionNotAllowed;
    std::sort(found.begin(), found.end(), [](const FoundItem& a, const FoundItem& b) {
      if (a.created != b.created) return a.created < b.created;
      if (a.path.size() != b.path.size()) return a.path.size() < b.path.size();
      return a.path < b.path;
    });
    return errSecSuccess;
  }

  // Items that `query` matches.
  OSStatus matching(const rules::ItemQuery& query, ItemList& list, std::vector<FoundItem>& found) const {
    HashTable filter;
    filter.set(kSecClass, query.itemClass);
    for (const auto& [key, value] : query.match) filter.set(key, *value.text());
    if (query.synchronizable) filter.set(kSecAttrSynchronizable, *query.synchronizable ? "1" : "0");
    std::vector<FoundItem> candidates;
    OSStatus status = search(filter, list, candidates);
    if (status != errSecSuccess) return status;
    for (FoundItem& candidate : candidates) {
      if (rules::matches(query, candidate.record)) found.push_back(std::move(candidate));
    }
    return errSecSuccess;
  }

  // Items other than those at `except` that have the identity of `record`.
  OSStatus hasOtherWithIdentity(const rules::ItemRecord& record, const std::set<std::string>& except,
                                bool* duplicate) const {
    HashTable filter;
    filter.set(kIdentityAttribute, identityDigest(record));
    ItemList list;
    std::vector<FoundItem> found;
    OSStatus status = search(filter, list, found);
    if (status == errSecInteractionNotAllowed && found.empty()) {
      // Only a locked collection stands in the way; an item cannot be added to it anyway.
      status = errSecSuccess;
    }
    if (status != errSecSuccess) return status;
    *duplicate = std::any_of(found.begin(), found.end(), [&](const FoundItem& f) { return except.count(f.path) == 0; });
    return errSecSuccess;
  }

 private:
  GObjectPtr<SecretService> service_;
};

// Parses `query`, finds its items with the service held, and hands them to `use`; errSecItemNotFound when none
// match. `every` finds every match whatever limit the query asks for.
template <class Use>
OSStatus withMatches(const SecDictionary& query, bool every, Use use) {
  rules::ItemQuery parsed;
  if (OSStatus status = rules::parseQuery(query, &parsed); status != errSecSuccess) return status;
  if (every) parsed.limit.reset();
  std::lock_guard<std::mutex> lock(serviceMutex());
  Session session;
  if (session.status() != errSecSuccess) return session.status();
  ItemList list;
  std::vector<FoundItem> found;
  if (OSStatus status = session.matching(parsed, list, found); status != errSecSuccess) return status;
  if (found.empty()) return errSecItemNotFound;
  return use(parsed, session, found);
}

// Applies `attributesToUpdate` to every found item, or to none when any would then clash with another item.
OSStatus updateFound(Session& session, std::vector<FoundItem>& found, const SecDictionary& attributesToUpdate) {
  std::vector<rules::ItemRecord> updated;
  std::set<std::string> paths;
  std::set<std::string> identities;
  for (const FoundItem& f : found) {
    rules::ItemRecord record = f.record;
    if (OSStatus status = rules::applyUpdate(attributesToUpdate, &record); status != errSecSuccess) return status;
    if (!identities.insert(rules::primaryKey(record)).second) return errSecDuplicateItem;
    paths.insert(f.path);
    updated.push_back(std::move(record));
  }
  for (const rules::ItemRecord& record : updated) {
    bool duplicate = false;
    if (OSStatus status = session.hasOtherWithIdentity(record, paths, &duplicate); status != errSecSuccess) {
      return status;
    }
    if (duplicate) return errSecDuplicateItem;
  }
  for (std::size_t i = 0; i < found.size(); ++i) {
    ErrorHolder error;
    if (updated[i].attributes != found[i].record.attributes) {
      HashTable table;
      fillAttributes(table, updated[i]);
      if (!secret_item_set_attributes_sync(found[i].item, itemSchema(), table.table, nullptr, error.out()) ||
          !secret_item_set_label_sync(found[i].item, labelOf(updated[i]).c_str(), nullptr, error.out())) {
        return statusOf(error.error);
      }
    }
    if (updated[i].data != found[i].record.data) {
      SecretValue* secret = secretOf(updated[i].data);
      const bool stored = secret_item_set_secret_sync(found[i].item, secret, nullptr, error.out());
      secret_value_unref(secret);
      if (!stored) return statusOf(error.error);
    }
  }
  return errSecSuccess;
}

}  // namespace

SecretServiceItemStore::SecretServiceItemStore() = default;
SecretServiceItemStore::~SecretServiceItemStore() = default;

OSStatus SecretServiceItemStore::copyMatching(const SecDictionary& query, SecItemResult* result) {
  return withMatches(query, false, [&](const rules::ItemQuery& parsed, Session&, std::vector<FoundItem>& found) {
    std::vector<const rules::ItemRecord*> records;
    for (const FoundItem& f : found) records.push_back(&f.record);
    rules::buildResult(parsed, records, result);
    return errSecSuccess;
  });
}

OSStatus SecretServiceItemStore::add(const SecDictionary& attributes, SecItemResult* result) {
  rules::ItemRecord record;
  if (OSStatus status = rules::parseNewItem(attributes, &record); status != errSecSuccess) return status;
  std::lock_guard<std::mutex> lock(serviceMutex());
  Session session;
  if (session.status() != errSecSuccess) return session.status();

  ErrorHolder error;
  GObjectPtr<SecretCollection> collection(secret_collection_for_alias_sync(
      session.service(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, error.out()));
  if (error.error != nullptr) return statusOf(error.error);
  if (!collection) return errSecNoSuchKeychain;
  if (secret_collection_get_locked(collection.get())) return errSecInteractionNotAllowed;

  bool duplicate = false;
  if (OSStatus status = session.hasOtherWithIdentity(record, {}, &duplicate); status != errSecSuccess) return status;
  if (duplicate) return errSecDuplicateItem;

  HashTable table;
  fillAttributes(table, record);
  SecretValue* secret = secretOf(record.data);
  GObjectPtr<SecretItem> item(secret_item_create_sync(collection.get(), itemSchema(), table.table,
                                                      labelOf(record).c_str(), secret, SECRET_ITEM_CREATE_NONE, nullptr,
                                                      error.out()));
  secret_value_unref(secret);
  if (!item) return statusOf(error.error);
  rules::buildAddResult(attributes, record, result);
  return errSecSuccess;
}

OSStatus SecretServiceItemStore::update(const SecDictionary& query, const SecDictionary& attributesToUpdate) {
  return withMatches(query, false, [&](const rules::ItemQuery&, Session& session, std::vector<FoundItem>& found) {
    return updateFound(session, found, attributesToUpdate);
  });
}

OSStatus SecretServiceItemStore::remove(const SecDictionary& query) {
  return withMatches(query, true, [](const rules::ItemQuery&, Session&, std::vector<FoundItem>& found) {
    for (const FoundItem& f : found) {
      ErrorHolder error;
      if (!secret_item_delete_sync(f.item, nullptr, error.out())) return statusOf(error.error);
    }
    return errSecSuccess;
  });
}

ItemStore& systemPasswordStore() {
  static SecretServiceItemStore store;
  return store;
}

}  // namespace tessaly::security
