// Encryption and decryption of 1 KB and 1 MB with a device key made inside a TPM (a software TPM, swtpm,
// started by this program) beside the same with a software key, in one run. Encryption uses only the public
// half, so the two differ by the decryption's Diffie-Hellman (inside the TPM) and by loading the key from
// its file, which every call of the C entry points does.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <iostream>
#include <memory>

#include "tessaly/security/device_key_store.h"
#include "tessaly/testing/key_store.h"
#include "tessaly/testing/software_tpm.h"

namespace {

namespace sec = tessaly::security;
using sec::testing::keyQuery;
using sec::testing::tagOf;

struct Stores {
  std::unique_ptr<sec::testing::SoftwareTpm> swtpm;
  std::unique_ptr<sec::testing::ScratchFolder> folder;
  std::unique_ptr<sec::DeviceKeyStore> tpm;
  std::unique_ptr<sec::DeviceKeyStore> software;
};

Stores& stores() {
  // Destroyed at exit, which stops the software TPM.
  static Stores s = [] {
    Stores made;
    made.swtpm = std::make_unique<sec::testing::SoftwareTpm>();
    if (!made.swtpm->ok()) {
      std::cerr << "bench_enclave: " << made.swtpm->why() << "\n";
      std::exit(1);
    }
    ::setenv("TPM2OPENSSL_TCTI", made.swtpm->tcti().c_str(), 1);
    std::string why;
    std::shared_ptr<const sec::Tpm> tpm = sec::Tpm::open(&why);
    if (!tpm) {
      std::cerr << "bench_enclave: " << why << "\n";
      std::exit(1);
    }
    made.folder = std::make_unique<sec::testing::ScratchFolder>();
    made.tpm =
        std::make_unique<sec::DeviceKeyStore>(made.folder->path() / "tpm", sec::DeviceKeyStore::Keepers{tpm, nullptr});
    made.software =
        std::make_unique<sec::DeviceKeyStore>(made.folder->path() / "software", sec::DeviceKeyStore::Keepers{});
    return made;
  }();
  return s;
}

sec::DeviceKeyStore& storeOf(bool inTpm) { return inTpm ? *stores().tpm : *stores().software; }

// What the C entry points do per call: find the tag's key (made once), then encrypt or decrypt with it.
sec::SecKeyRef findKey(sec::DeviceKeyStore& store) {
  sec::SecItemResult result;
  if (store.copyMatching(keyQuery(tagOf("bench")), &result) != sec::errSecSuccess) {
    std::optional<sec::Error> error;
    return store.createKey(tagOf("bench"), nullptr, &error);
  }
  return std::get<sec::SecKeyRef>(result);
}

const auto kAlgorithm = sec::kSecKeyAlgorithmECIESEncryptionCofactorX963SHA256AESGCM;

void BM_Encrypt(benchmark::State& state, bool inTpm) {
  sec::DeviceKeyStore& store = storeOf(inTpm);
  const sec::Bytes plaintext(static_cast<std::size_t>(state.range(0)), 0x42);
  std::optional<sec::Error> error;
  for (auto _ : state) {
    sec::SecKeyRef key = findKey(store);
    auto sealed = sec::SecKeyCreateEncryptedData(sec::SecKeyCopyPublicKey(key), kAlgorithm, plaintext, &error);
    if (!sealed) state.SkipWithError("encryption failed");
    benchmark::DoNotOptimize(sealed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_Decrypt(benchmark::State& state, bool inTpm) {
  sec::DeviceKeyStore& store = storeOf(inTpm);
  const sec::Bytes plaintext(static_cast<std::size_t>(state.range(0)), 0x42);
  std::optional<sec::Error> error;
  const auto sealed =
      sec::SecKeyCreateEncryptedData(sec::SecKeyCopyPublicKey(findKey(store)), kAlgorithm, plaintext, &error);
  for (auto _ : state) {
    sec::SecKeyRef key = findKey(store);
    auto opened = sec::SecKeyCreateDecryptedData(key, kAlgorithm, *sealed, &error);
    if (!opened) state.SkipWithError("decryption failed");
    benchmark::DoNotOptimize(opened);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK_CAPTURE(BM_Encrypt, software, false)->Arg(1024)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Encrypt, tpm, true)->Arg(1024)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Decrypt, software, false)->Arg(1024)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Decrypt, tpm, true)->Arg(1024)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
