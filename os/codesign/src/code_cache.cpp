#include "code_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <unordered_map>

namespace tessaly::codesign::detail {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxEntries = 4096;
constexpr std::size_t kMaxAnchorFileSize = 1u << 20;

// What the anchor directory looked like: the folder itself and each entry, by identity and times.
struct AnchorStamp {
  struct Entry {
    std::string name;
    FileIdentity identity;
    std::int64_t modifiedSeconds;
    long modifiedNanoseconds;
    friend bool operator==(const Entry&, const Entry&) = default;
  };
  bool present = false;
  FileIdentity folder;
  std::int64_t folderModifiedSeconds = 0;
  long folderModifiedNanoseconds = 0;
  std::vector<Entry> entries;
  friend bool operator==(const AnchorStamp&, const AnchorStamp&) = default;
};

AnchorStamp stampOf(const fs::path& directory) {
  AnchorStamp stamp;
  UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0) return stamp;
  stamp.present = true;
  stamp.folder = identityOf(info);
  stamp.folderModifiedSeconds = info.st_mtim.tv_sec;
  stamp.folderModifiedNanoseconds = info.st_mtim.tv_nsec;
  DIR* listing = ::fdopendir(::dup(fd.get()));
  if (listing == nullptr) return stamp;
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    struct stat file {};
    if (::fstatat(fd.get(), entry->d_name, &file, 0) != 0 || !S_ISREG(file.st_mode)) continue;
    stamp.entries.push_back({entry->d_name, identityOf(file), file.st_mtim.tv_sec, file.st_mtim.tv_nsec});
  }
  ::closedir(listing);
  std::sort(stamp.entries.begin(), stamp.entries.end(),
            [](const AnchorStamp::Entry& a, const AnchorStamp::Entry& b) { return a.name < b.name; });
  return stamp;
}

StorePtr loadStore(const fs::path& directory, const AnchorStamp& stamp) {
  StorePtr store(X509_STORE_new());
  if (!store) return store;
  for (const AnchorStamp::Entry& entry : stamp.entries) {
    std::optional<std::string> pem = readSmallFile(directory / entry.name, kMaxAnchorFileSize);
    if (!pem) continue;
    BioPtr bio(BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size())));
    while (X509* certificate = bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr) {
      X509_STORE_add_cert(store.get(), certificate);
      X509_free(certificate);
    }
  }
  ERR_clear_error();  // the loop ends on "no start line"
  return store;
}

struct AnchorEntry {
  AnchorStamp stamp;
  std::shared_ptr<const AnchorStore> store;
};

struct SignatureEntry {
  OSStatus status = errSecCSSignatureFailed;
  bool teamMatches = false;
  std::shared_ptr<const VerifiedSignature> signature;
  std::string certificatesKey;
};

struct ChainEntry {
  std::vector<CertificateFacts> chain;
  bool trusted = false;
};

struct Caches {
  std::mutex mutex;
  std::map<fs::path, AnchorEntry> anchors;
  std::uint64_t generation = 0;
  std::unordered_map<std::string, SignatureEntry> signatures;
  std::unordered_map<std::string, ChainEntry> chains;
  std::unordered_map<std::string, VerifiedCode> verified;
  std::unordered_map<std::string, std::shared_ptr<const SignatureFacts>> facts;
};

Caches& caches() {
  static Caches* const instance = new Caches();  // never destroyed: checks may run while the process exits
  return *instance;
}

template <typename Map>
void makeRoom(Map& map) {
  if (map.size() >= kMaxEntries) map.clear();
}

std::string digestKey(std::initializer_list<std::string_view> parts) {
  std::string key;
  for (std::string_view part : parts) {
    const Sha256 digest = sha256Of(part);
    key.append(reinterpret_cast<const char*>(digest.data()), digest.size());
  }
  return key;
}

std::string certificatesKey(X509* signer, const std::vector<X509Ptr>& carried) {
  std::string ders;
  for (X509* certificate : {signer}) {
    const std::vector<std::uint8_t> der = derOf(certificate);
    ders.append(reinterpret_cast<const char*>(der.data()), der.size());
  }
  for (const X509Ptr& certificate : carried) {
    const std::vector<std::uint8_t> der = derOf(certificate.get());
    ders.append(reinterpret_cast<const char*>(der.data()), der.size());
  }
  return digestKey({ders});
}

bool before(const FileIdentity& identity, const timespec& moment) {
  return identity.changeSeconds < moment.tv_sec ||
         (identity.changeSeconds == moment.tv_sec && identity.changeNanoseconds < moment.tv_nsec);
}

}  // namespace

std::shared_ptr<const AnchorStore> anchorStore(const fs::path& directory) {
  AnchorStamp stamp = stampOf(directory);
  Caches& c = caches();
  {
    std::lock_guard lock(c.mutex);
    auto found = c.anchors.find(directory);
    if (found != c.anchors.end() && found->second.stamp == stamp) return found->second.store;
  }
  auto store = std::make_shared<AnchorStore>();
  store->store = loadStore(directory, stamp);
  std::lock_guard lock(c.mutex);
  store->generation = ++c.generation;
  if (c.anchors.size() >= 64) c.anchors.clear();
  c.anchors[directory] = AnchorEntry{std::move(stamp), store};
  return store;
}

SignatureVerdict verifySignature(std::string_view codeDirectory, std::string_view cms, const std::string& claimedTeam,
                                 const fs::path& anchorsDirectory) {
  Caches& c = caches();
  const std::string key = digestKey({codeDirectory, cms});
  SignatureEntry entry;
  bool known = false;
  {
    std::lock_guard lock(c.mutex);
    if (auto found = c.signatures.find(key); found != c.signatures.end()) {
      entry = found->second;
      known = true;
    }
  }
  if (!known) {
    auto verified = std::make_shared<VerifiedSignature>();
    entry.status = verifyDetached(cms, codeDirectory, verified.get());
    if (entry.status == errSecSuccess) {
      // The team the directory claims must be the signer's own organisational unit.
      entry.teamMatches = claimedTeam == firstSubjectValue(verified->signer.get(), NID_organizationalUnitName);
      entry.certificatesKey = certificatesKey(verified->signer.get(), verified->certificates);
      entry.signature = std::move(verified);
    }
    std::lock_guard lock(c.mutex);
    makeRoom(c.signatures);
    c.signatures[key] = entry;
  }
  SignatureVerdict verdict;
  verdict.status = entry.status;
  verdict.teamMatches = entry.teamMatches;
  if (entry.status != errSecSuccess || !entry.teamMatches) return verdict;

  std::shared_ptr<const AnchorStore> anchors = anchorStore(anchorsDirectory);
  const std::string chainKey = entry.certificatesKey + std::to_string(anchors->generation);
  {
    std::lock_guard lock(c.mutex);
    if (auto found = c.chains.find(chainKey); found != c.chains.end()) {
      verdict.chain = found->second.chain;
      verdict.anchorTrusted = found->second.trusted;
      return verdict;
    }
  }
  Chain chain = buildChain(entry.signature->signer.get(), entry.signature->certificates, anchors->store.get());
  ChainEntry made;
  made.trusted = chain.trusted;
  for (const X509Ptr& certificate : chain.certificates) made.chain.push_back(factsOf(certificate.get()));
  verdict.chain = made.chain;
  verdict.anchorTrusted = made.trusted;
  std::lock_guard lock(c.mutex);
  makeRoom(c.chains);
  c.chains[chainKey] = std::move(made);
  return verdict;
}

std::shared_ptr<const SignatureFacts> signatureFacts(std::string_view codeDirectory, std::string_view cms) {
  Caches& c = caches();
  const std::string key = digestKey({codeDirectory, cms});
  {
    std::lock_guard lock(c.mutex);
    if (auto found = c.facts.find(key); found != c.facts.end()) return found->second;
  }
  std::optional<CodeDirectory> directory = parseCodeDirectory(codeDirectory);
  std::optional<std::vector<X509Ptr>> certificates = certificatesOf(cms);
  if (!directory || !certificates) return nullptr;
  auto made = std::make_shared<SignatureFacts>();
  made->directory = std::move(*directory);
  made->unique = sha256Of(codeDirectory);
  for (const X509Ptr& certificate : *certificates) made->certificates.push_back(derOf(certificate.get()));
  made->vendorLeaf =
      !certificates->empty() && factsOf(certificates->front().get()).hasExtension(kVendorSoftwareSigningOid);
  std::lock_guard lock(c.mutex);
  makeRoom(c.facts);
  c.facts[key] = made;
  return made;
}

bool isKnownVerified(const Sha256& codeDirectoryDigest, const VerifiedCode& current) {
  Caches& c = caches();
  const std::string key(reinterpret_cast<const char*>(codeDirectoryDigest.data()), codeDirectoryDigest.size());
  std::lock_guard lock(c.mutex);
  auto found = c.verified.find(key);
  return found != c.verified.end() && found->second.executable == current.executable &&
         found->second.resources == current.resources;
}

void rememberVerified(const Sha256& codeDirectoryDigest, VerifiedCode code, const timespec& hashingStarted) {
  if (!before(code.executable, hashingStarted)) return;
  for (const FileIdentity& resource : code.resources) {
    if (!before(resource, hashingStarted)) return;
  }
  Caches& c = caches();
  std::string key(reinterpret_cast<const char*>(codeDirectoryDigest.data()), codeDirectoryDigest.size());
  std::lock_guard lock(c.mutex);
  makeRoom(c.verified);
  c.verified[std::move(key)] = std::move(code);
}

timespec coarseNow() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return now;
}

void forgetCodeCaches() {
  Caches& c = caches();
  std::lock_guard lock(c.mutex);
  c.verified.clear();
  c.signatures.clear();
  c.facts.clear();
}

}  // namespace tessaly::codesign::detail
