#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "sec_key_impl.h"
#include "tessaly/security/ecies.h"
#include "tessaly/foundation/user_folders.h"

namespace tessaly::security {
namespace {

// A key file is a PEM PKCS#8 private key of a few hundred bytes.
constexpr std::size_t kMaxKeyFileSize = 64 * 1024;

struct BioFree {
  void operator()(BIO* b) const noexcept { BIO_free(b); }
};

const SecValue* find(const SecDictionary& dictionary, std::string_view key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() ? nullptr : &it->second;
}

bool isTrue(const SecValue* value) {
  if (value == nullptr) return false;
  if (const bool* b = value->boolean()) return *b;
  if (const std::int64_t* i = value->integer()) return *i != 0;
  return false;
}

// Reads the query rules shared by search and delete: the tag, and whether the query can match a stored key.
OSStatus readQuery(const SecDictionary& query, Bytes* tag, bool* canMatch) {
  const SecValue* tagValue = find(query, kSecAttrApplicationTag);
  if (tagValue == nullptr || tagValue->data() == nullptr) return errSecParam;
  *tag = *tagValue->data();
  *canMatch = true;
  if (const SecValue* keyClass = find(query, kSecAttrKeyClass)) {
    if (keyClass->text() == nullptr) return errSecParam;
    *canMatch = *keyClass->text() == kSecAttrKeyClassPrivate;
  }
  if (const SecValue* token = find(query, kSecAttrTokenID)) {
    if (token->text() == nullptr) return errSecParam;
    *canMatch = *canMatch && *token->text() == kSecAttrTokenIDSecureEnclave;
  }
  return errSecSuccess;
}

std::string hexDigest(const Bytes& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0xF]);
  }
  return text;
}

bool makeOwnerOnlyFolder(const std::filesystem::path& folder) {
  std::filesystem::path built;
  for (const auto& part : folder) {
    built /= part;
    if (::mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) return false;
  return (info.st_mode & 077) == 0 || ::chmod(folder.c_str(), 0700) == 0;
}

}  // namespace

SoftwareKeyStore::SoftwareKeyStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

SoftwareKeyStore& SoftwareKeyStore::shared() {
  static SoftwareKeyStore store(foundation::userDataDirectory() / "tessaly" / "enclave-keys");
  return store;
}

std::filesystem::path SoftwareKeyStore::fileFor(const Bytes& tag) const { return folder_ / (hexDigest(tag) + ".key"); }

OSStatus SoftwareKeyStore::ensureFolder() const { return makeOwnerOnlyFolder(folder_) ? errSecSuccess : errSecIO; }

OSStatus SoftwareKeyStore::copyMatching(const SecDictionary& query, SecItemResult* result) {
  Bytes tag;
  bool canMatch = false;
  if (OSStatus status = readQuery(query, &tag, &canMatch); status != errSecSuccess) return status;
  if (isTrue(find(query, kSecReturnData))) return errSecParam;  // key material is never handed out
  if (!canMatch) return errSecItemNotFound;

  std::lock_guard<std::mutex> lock(mutex_);
  const std::filesystem::path file = fileFor(tag);
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT ? errSecItemNotFound : errSecIO;
  struct stat info {};
  std::string pem;
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
            static_cast<std::size_t>(info.st_size) <= kMaxKeyFileSize;
  if (ok && (info.st_mode & 077) != 0) ok = ::fchmod(fd, 0600) == 0;
  if (ok) {
    pem.resize(static_cast<std::size_t>(info.st_size));
    ok = ::read(fd, pem.data(), pem.size()) == static_cast<ssize_t>(pem.size());
  }
  ::close(fd);
  if (!ok) return errSecDecode;

  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
  OPENSSL_cleanse(pem.data(), pem.size());
  if (key == nullptr) return errSecDecode;
  auto secKey = std::make_shared<const SecKey>(key, SecKey::Kind::privateKey, tag);
  if (!ecies::encodePublicKey(key)) return errSecDecode;  // not a P-256 key

  if (result != nullptr) {
    if (isTrue(find(query, kSecReturnRef))) {
      *result = SecKeyRef(secKey);
    } else if (isTrue(find(query, kSecReturnAttributes))) {
      *result = SecDictionary{{std::string(kSecClass), SecValue(kSecClassKey)},
                              {std::string(kSecAttrKeyClass), SecValue(kSecAttrKeyClassPrivate)},
                              {std::string(kSecAttrKeyType), SecValue(kSecAttrKeyTypeECSECPrimeRandom)},
                              {std::string(kSecAttrKeySizeInBits), SecValue(256)},
                              {std::string(kSecAttrTokenID), SecValue(kSecAttrTokenIDSecureEnclave)},
                              {std::string(kSecAttrApplicationTag), SecValue(tag)}};
    } else {
      *result = std::monostate{};
    }
  }
  return errSecSuccess;
}

OSStatus SoftwareKeyStore::remove(const SecDictionary& query) {
  Bytes tag;
  bool canMatch = false;
  if (OSStatus status = readQuery(query, &tag, &canMatch); status != errSecSuccess) return status;
  if (!canMatch) return errSecItemNotFound;
  std::lock_guard<std::mutex> lock(mutex_);
  if (::unlink(fileFor(tag).c_str()) == 0) return errSecSuccess;
  return errno == ENOENT ? errSecItemNotFound : errSecIO;
}

SecKeyRef SoftwareKeyStore::createKey(const Bytes& tag, SecAccessControlRef accessControl,
                                      std::optional<Error>* error) {
  (void)accessControl;  // every stored key is owner-only and used in place, whatever else was asked
  auto fail = [&](OSStatus status, std::string description) -> SecKeyRef {
    if (error != nullptr) *error = statusError(status, std::move(description));
    return nullptr;
  };
  EVP_PKEY* raw = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  if (raw == nullptr) return fail(errSecAllocate, "The key could not be generated.");
  auto key = std::make_shared<const SecKey>(raw, SecKey::Kind::privateKey, tag);

  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), raw, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return fail(errSecAllocate, "The key could not be encoded.");
  }
  char* pem = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &pem);

  std::lock_guard<std::mutex> lock(mutex_);
  if (ensureFolder() != errSecSuccess) {
    return fail(errSecIO, "The key folder " + folder_.string() + " cannot be made private to its owner.");
  }
  const std::filesystem::path file = fileFor(tag);
  std::string temporary = file.string() + ".XXXXXX";
  int fd = ::mkstemp(temporary.data());
  if (fd < 0) return fail(errSecIO, "Cannot write in " + folder_.string() + ": " + std::strerror(errno));
  bool ok = ::fchmod(fd, 0600) == 0 && ::write(fd, pem, static_cast<std::size_t>(length)) == length && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temporary.c_str(), file.c_str()) == 0;
  const int saved = errno;
  OPENSSL_cleanse(pem, static_cast<std::size_t>(length));
  if (!ok) {
    ::unlink(temporary.c_str());
    return fail(errSecIO, "Cannot store the key in " + folder_.string() + ": " + std::strerror(saved));
  }
  return key;
}

}  // namespace tessaly::security
