// Cost of one peer check (validateRemoteProcess) against a signed 20 MB bundle and a signed 1 MB bare
// executable, each next to a plain SHA-256 of the same bytes as the baseline.
//
// The check compares the peer's team with this program's own, so the benchmark first signs a copy of itself as
// the agent (a bundle signed by a throwaway authority) and runs that copy.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "code_fixtures.h"
#include "tessaly/verification/code_signature_validator.h"

namespace {

namespace fs = std::filesystem;
namespace cs = tessaly::codesign::testing;
using tessaly::verification::CodeSignatureValidator;

constexpr const char* kWorkEnvironment = "TESSALY_BENCH_CODESIGN_DIR";

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937_64 generator(seed);
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    const std::uint64_t value = generator();
    std::memcpy(bytes.data() + i, &value, 8);
  }
  return bytes;
}

// The sleeper, padded with trailing bytes (which the loader ignores) to `size`.
void paddedSleeper(const fs::path& to, std::size_t size, unsigned seed) {
  cs::copyExecutable(cs::sleeperPath(), to);
  const std::size_t have = fs::file_size(to);
  if (size > have) cs::writeFile(to, cs::readFile(to) + randomBytes(size - have, seed));
  fs::permissions(to, fs::perms::owner_all);
}

struct Peer {
  std::vector<fs::path> files;  // every byte the check hashes
  std::unique_ptr<cs::ChildProcess> process;
  std::uint64_t bytes = 0;
};

Peer& largeBundle() {
  static Peer peer;
  return peer;
}

Peer& bareExecutable() {
  static Peer peer;
  return peer;
}

// Builds, signs and starts the two peers in `dir`.
void preparePeers(const fs::path& dir) {
  const fs::path identity = dir / "pki" / "identities" / "developer-id";

  cs::BundleLayout layout;
  layout.name = "Large";
  layout.identifier = "com.tessaly.large";
  layout.executable = cs::sleeperPath();
  layout.files.emplace_back("Contents/Frameworks/libbig.so", randomBytes(8u << 20, 1));
  for (int i = 0; i < 40; ++i) {
    layout.files.emplace_back("Contents/Resources/data" + std::to_string(i) + ".bin", randomBytes(100u << 10, 10 + i));
  }
  const fs::path bundle = cs::makeBundle(dir, layout);
  const fs::path executable = bundle / "Contents/MacOS/Large";
  paddedSleeper(executable, 8u << 20, 2);
  cs::sign(bundle, identity);
  Peer& large = largeBundle();
  for (const auto& entry : fs::recursive_directory_iterator(bundle)) {
    if (entry.is_regular_file() && entry.path().native().find("_CodeSignature") == std::string::npos) {
      large.files.push_back(entry.path());
      large.bytes += entry.file_size();
    }
  }
  large.process = std::make_unique<cs::ChildProcess>(executable);

  const fs::path bare = dir / "bare-peer";
  paddedSleeper(bare, 1u << 20, 3);
  cs::sign(bare, identity, "com.tessaly.bare-peer");
  Peer& small = bareExecutable();
  small.files = {bare};
  small.bytes = 1u << 20;
  small.process = std::make_unique<cs::ChildProcess>(bare);
}

void sha256OfFiles(const std::vector<fs::path>& files, std::vector<unsigned char>& buffer) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  for (const fs::path& file : files) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    for (ssize_t got; (got = ::read(fd, buffer.data(), buffer.size())) > 0;) {
      EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(got));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(context.get(), digest, &size);
    benchmark::DoNotOptimize(digest);
    ::close(fd);
  }
}

void runValidation(benchmark::State& state, Peer& peer) {
  const pid_t pid = peer.process->pid();
  if (!CodeSignatureValidator::validateRemoteProcess(pid)) {
    state.SkipWithError("the signed peer was refused");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(CodeSignatureValidator::validateRemoteProcess(pid));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * peer.bytes));
}

void runBaseline(benchmark::State& state, Peer& peer) {
  std::vector<unsigned char> buffer(1u << 20);
  for (auto _ : state) sha256OfFiles(peer.files, buffer);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * peer.bytes));
}

void BM_ValidateRemoteProcess_Bundle20MB(benchmark::State& state) { runValidation(state, largeBundle()); }
void BM_Sha256Baseline_Bundle20MB(benchmark::State& state) { runBaseline(state, largeBundle()); }
void BM_ValidateRemoteProcess_Bare1MB(benchmark::State& state) { runValidation(state, bareExecutable()); }
void BM_Sha256Baseline_Bare1MB(benchmark::State& state) { runBaseline(state, bareExecutable()); }

BENCHMARK(BM_ValidateRemoteProcess_Bundle20MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256Baseline_Bundle20MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValidateRemoteProcess_Bare1MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256Baseline_Bare1MB)->Unit(benchmark::kMillisecond);

// Makes the authority, signs a copy of this program as the agent bundle and runs that copy instead.
[[noreturn]] void becomeSignedAgent(char** argv) {
  std::string pattern = (fs::temp_directory_path() / "tessaly-bench-codesign-XXXXXX").native();
  if (::mkdtemp(pattern.data()) == nullptr) std::exit(1);
  const fs::path dir = pattern;
  cs::makeDevPki(dir / "pki");
  cs::BundleLayout agent;
  agent.name = "Tessaly Browser Helper";
  agent.identifier = "Q7RM2KX9WD.com.tessaly.browser-helper";
  agent.executable = fs::read_symlink("/proc/self/exe");
  const fs::path bundle = cs::makeBundle(dir, agent);
  cs::sign(bundle, dir / "pki" / "identities" / "developer-id");
  ::setenv(kWorkEnvironment, dir.c_str(), 1);
  ::setenv("TESSALY_TRUST_ANCHORS", (dir / "pki" / "anchors").c_str(), 1);
  const fs::path program = bundle / "Contents/MacOS" / agent.name;
  ::execv(program.c_str(), argv);
  std::cerr << "cannot run the signed copy: " << std::strerror(errno) << "\n";
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const char* work = std::getenv(kWorkEnvironment);
  if (work == nullptr) becomeSignedAgent(argv);
  const fs::path dir = work;
  int status = 0;
  try {
    preparePeers(dir);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
      status = 1;
    } else {
      benchmark::RunSpecifiedBenchmarks();
      benchmark::Shutdown();
    }
  } catch (const std::exception& error) {
    std::cerr << "bench_codesign: " << error.what() << "\n";
    status = 1;
  }
  largeBundle().process.reset();
  bareExecutable().process.reset();
  std::error_code ec;
  fs::remove_all(dir, ec);
  return status;
}
