// Peer checks (validateRemoteProcess) of running signed programs, each beside a plain SHA-256 of the bytes the
// signature seals, measured in the same run:
//
//   RepeatCheck    an unchanged program checked again: its verified code is remembered    target < 0.5 ms
//   FirstCheck     every cache of signatures and verified code forgotten before each check target <= 1.5x the hash
//   Sha256         the baseline: SHA-256 of the sealed bytes
//   RefuseSparse   a 2 GiB sparse executable under a self-made certificate                target < 50 ms
//   PeersConnecting  1,000 signed processes connect at once to a listener that checks each target < 2 s
//
// for a bare 1 MB executable and a 20 MB bundle. The check compares the peer's team with this program's own, so
// the benchmark first signs a copy of itself as the agent (a bundle signed by a throwaway authority) and runs
// that copy. It ends by printing the figures as ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "code_cache.h"
#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"
#include "tessaly/verification/code_signature_validator.h"
#include "tessaly/xpc/xpc.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace cs = tessaly::testing;
using tessaly::verification::CodeSignatureValidator;

constexpr const char* kWorkEnvironment = "TESSALY_BENCH_CODESIGN_DIR";
constexpr int kConnectingPeers = 1000;

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
  std::vector<std::pair<fs::path, std::uint64_t>> sealed;  // every file the check hashes, and how many bytes
  std::unique_ptr<cs::ChildProcess> process;
  std::uint64_t bytes = 0;
};

std::map<std::string, Peer>& peers() {
  static std::map<std::string, Peer> all;
  return all;
}

fs::path& workDirectory() {
  static fs::path dir;
  return dir;
}

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
  Peer& large = peers()["Bundle20MB"];
  for (const auto& entry : fs::recursive_directory_iterator(bundle)) {
    if (entry.is_regular_file() && entry.path().native().find("_CodeSignature") == std::string::npos) {
      large.sealed.emplace_back(entry.path(), entry.file_size());
      large.bytes += entry.file_size();
    }
  }
  large.process = std::make_unique<cs::ChildProcess>(executable);

  const fs::path bare = dir / "bare-peer";
  paddedSleeper(bare, 1u << 20, 3);
  cs::sign(bare, identity, "com.tessaly.bare-peer");
  Peer& small = peers()["Bare1MB"];
  small.sealed = {{bare, 1u << 20}};
  small.bytes = 1u << 20;
  small.process = std::make_unique<cs::ChildProcess>(bare);

  // 2 GiB of holes after the program, signed by an authority nobody trusts.
  cs::makeDevPki(dir / "rogue");
  const fs::path sparse = dir / "sparse-peer";
  cs::copyExecutable(cs::sleeperPath(), sparse);
  fs::resize_file(sparse, 2ull << 30);
  cs::sign(sparse, dir / "rogue" / "identities" / "developer-id", "com.tessaly.sparse-peer");
  Peer& hostile = peers()["Sparse2GiB"];
  hostile.bytes = 2ull << 30;
  hostile.process = std::make_unique<cs::ChildProcess>(sparse);
}

void sha256OfSealed(const Peer& peer, std::vector<unsigned char>& buffer) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  for (const auto& [file, size] : peer.sealed) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    std::uint64_t left = size;
    while (left > 0) {
      const ssize_t got = ::read(fd, buffer.data(), std::min<std::uint64_t>(buffer.size(), left));
      if (got <= 0) break;
      EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(got));
      left -= static_cast<std::uint64_t>(got);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    benchmark::DoNotOptimize(digest);
    ::close(fd);
  }
}

void BM_RepeatCheck(benchmark::State& state, const char* name) {
  Peer& peer = peers().at(name);
  const pid_t pid = peer.process->pid();
  if (!CodeSignatureValidator::validateRemoteProcess(pid)) {
    state.SkipWithError("the signed peer was refused");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(CodeSignatureValidator::validateRemoteProcess(pid));
}

void BM_FirstCheck(benchmark::State& state, const char* name) {
  Peer& peer = peers().at(name);
  const pid_t pid = peer.process->pid();
  for (auto _ : state) {
    tessaly::codesign::detail::forgetCodeCaches();
    if (!CodeSignatureValidator::validateRemoteProcess(pid)) state.SkipWithError("the signed peer was refused");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * peer.bytes));
}

void BM_Sha256(benchmark::State& state, const char* name) {
  Peer& peer = peers().at(name);
  std::vector<unsigned char> buffer(1u << 20);
  for (auto _ : state) sha256OfSealed(peer, buffer);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * peer.bytes));
}

void BM_RefuseSparse(benchmark::State& state) {
  const pid_t pid = peers().at("Sparse2GiB").process->pid();
  for (auto _ : state) {
    tessaly::codesign::detail::forgetCodeCaches();
    if (CodeSignatureValidator::validateRemoteProcess(pid)) state.SkipWithError("the self-signed peer was accepted");
  }
}

// A listener that checks every peer, as the agent's does, and keeps the connections it accepted.
class CheckingDelegate final : public tessaly::xpc::ListenerDelegate {
 public:
  bool shouldAcceptNewConnection(tessaly::xpc::Listener&,
                                 const std::shared_ptr<tessaly::xpc::Connection>& connection) override {
    static const tessaly::xpc::Interface nothing("BenchNothing", {});
    if (!CodeSignatureValidator::validateRemoteProcess(connection->processIdentifier())) {
      ++refused;
      return false;
    }
    connection->setExportedInterface(nothing);
    connection->resume();
    std::lock_guard lock(mutex);
    accepted.push_back(connection);
    return true;
  }
  std::mutex mutex;
  std::vector<std::shared_ptr<tessaly::xpc::Connection>> accepted;
  std::atomic<int> refused{0};
};

void BM_PeersConnecting(benchmark::State& state) {
  const fs::path dir = workDirectory();
  const fs::path peerProgram = dir / "connecting-peer";
  if (!fs::exists(peerProgram)) {
    cs::copyExecutable(BENCH_CODESIGN_PEER, peerProgram);
    cs::sign(peerProgram, dir / "pki" / "identities" / "developer-id", "com.tessaly.connecting-peer");
  }
  tessaly::xpc::ServiceOptions options;
  options.directory = (dir / "xpc").native();
  auto listener = tessaly::xpc::Listener::create("bench.codesign", options);
  auto delegate = std::make_shared<CheckingDelegate>();
  listener->setDelegate(delegate);
  if (listener->resume() != tessaly::xpc::Error::none) {
    state.SkipWithError("cannot listen");
    return;
  }
  const std::string socket = listener->socketPath();
  for (auto _ : state) {
    state.PauseTiming();
    int start[2];
    int done[2];
    if (::pipe2(start, O_CLOEXEC) != 0 || ::pipe2(done, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, start[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, done[1], STDOUT_FILENO);
    std::string program = peerProgram.native();
    std::string count = "1";
    std::string path = socket;
    char* argv[] = {program.data(), path.data(), count.data(), nullptr};
    std::vector<pid_t> pids(kConnectingPeers, -1);
    for (pid_t& pid : pids) ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(start[0]);
    ::close(done[1]);
    state.ResumeTiming();

    ::close(start[1]);  // every peer connects now
    int welcomed = 0;
    char byte[256];
    while (welcomed < kConnectingPeers) {
      const ssize_t got = ::read(done[0], byte, sizeof byte);
      if (got <= 0) break;
      welcomed += static_cast<int>(got);
    }

    state.PauseTiming();
    if (welcomed < kConnectingPeers) state.SkipWithError("not every peer was welcomed");
    ::close(done[0]);
    for (pid_t pid : pids) ::kill(pid, SIGKILL);
    for (pid_t pid : pids) ::waitpid(pid, nullptr, 0);
    std::lock_guard lock(delegate->mutex);
    for (const auto& connection : delegate->accepted) connection->invalidate();
    delegate->accepted.clear();
    state.ResumeTiming();
  }
  state.counters["refused"] = delegate->refused.load();
  listener->invalidate();
}

// Figures of the run, for the ratios printed at the end.
class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // Every benchmark here reports in milliseconds; names without their "/iterations:N/real_time" tails.
      if (!run.error_occurred)
        milliseconds_[run.benchmark_name().substr(0, run.benchmark_name().find("/iter"))] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto figure = [&](const std::string& name) {
      auto found = milliseconds_.find(name);
      return found == milliseconds_.end() ? -1.0 : found->second;
    };
    std::cout << "\n";
    for (const char* name : {"Bare1MB", "Bundle20MB"}) {
      const double hash = figure(std::string("BM_Sha256/") + name);
      std::cout << name << ": first check " << figure(std::string("BM_FirstCheck/") + name) / hash
                << "x the SHA-256 of its sealed bytes (target <= 1.5), repeat check "
                << figure(std::string("BM_RepeatCheck/") + name) << " ms (target < 0.5), that is "
                << figure(std::string("BM_RepeatCheck/") + name) / hash << "x the SHA-256\n";
    }
    std::cout << "2 GiB sparse executable under a self-made certificate refused in "
              << figure("BM_RefuseSparse/Sparse2GiB") << " ms (target < 50)\n"
              << kConnectingPeers << " signed peers connecting: " << figure("BM_PeersConnecting") << " ms"
              << " (target < 2000)\n";
  }

 private:
  std::map<std::string, double> milliseconds_;
};

// Makes the authority, signs a copy of this program as the agent bundle and runs that copy instead.
[[noreturn]] void becomeSignedAgent(char** argv) {
  std::string pattern = (fs::temp_directory_path() / "tessaly-bench-codesign-XXXXXX").native();
  if (::mkdtemp(pattern.data()) == nullptr) std::exit(1);
  const fs::path dir = pattern;
  cs::makeDevPki(dir / "pki");
  cs::BundleLayout agent;
  agent.name = TESSALY_AGENT_EXECUTABLE;
  agent.identifier = TESSALY_AGENT_IDENTIFIER;
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
  workDirectory() = dir;
  int status = 0;
  try {
    preparePeers(dir);
    for (const char* name : {"Bare1MB", "Bundle20MB"}) {
      benchmark::RegisterBenchmark((std::string("BM_RepeatCheck/") + name).c_str(), BM_RepeatCheck, name)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark((std::string("BM_FirstCheck/") + name).c_str(), BM_FirstCheck, name)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark((std::string("BM_Sha256/") + name).c_str(), BM_Sha256, name)
          ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("BM_RefuseSparse/Sparse2GiB", BM_RefuseSparse)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_PeersConnecting", BM_PeersConnecting)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3)
        ->UseRealTime();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
      status = 1;
    } else {
      RatioReporter reporter;
      benchmark::RunSpecifiedBenchmarks(&reporter);
      benchmark::Shutdown();
    }
  } catch (const std::exception& error) {
    std::cerr << "bench_codesign: " << error.what() << "\n";
    status = 1;
  }
  peers().clear();
  std::error_code ec;
  fs::remove_all(dir, ec);
  return status;
}
