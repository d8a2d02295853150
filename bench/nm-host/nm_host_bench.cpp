// Round trips from a real browser's extension, measured by the extension itself (headless Chromium, the
// project's extension), in the same run:
//
//   BM_BareHostRoundTrip/B   extension -> Chromium -> bench_nm_echo_host (answers at once) -> Chromium ->
//                            extension: what native messaging costs by itself, the floor of any host.
//   BM_RelayedRoundTrip/B    extension -> Chromium -> tessaly-nm-host -> agent -> desktop app (answers at once)
//                            -> agent -> tessaly-nm-host -> Chromium -> extension: the whole path.
//
// B is the message size in bytes. Each iteration is one batch of sequential round trips timed in the extension
// with performance.now(); its time is reported per round trip. At the end the program prints the relayed round
// trip as a multiple of the bare one (best batch of each), against the target of 1.3.
//
// Three more processes take part: the agent (an XPCServer forked from this process, which accepts every peer
// and takes this process for the desktop app), Chromium with its hosts, and this process as the desktop app,
// which also drives the extension through broadcasts. Needs /usr/lib/chromium/chromium (Debian's chromium).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <simdjson.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "support/agent_process.h"
#include "support/bare_socket.h"
#include "tessaly/broker/protocols.h"
#include "tessaly/broker/xpc_server.h"

namespace {

using namespace tessaly;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kAgentService = TESSALY_AGENT_IDENTIFIER;
constexpr const char* kChromium = "/usr/lib/chromium/chromium";
constexpr const char* kRelayHost = "com.tessaly.browser_helper";
constexpr const char* kEchoHost = "com.tessaly.bench_echo";
constexpr const char* kExtensionOrigin = "chrome-extension://ojfnbbifgjdpmhiokpfbamkhnnckdidm/";
constexpr auto kPatience = 90s;

std::string frame(const std::string& json) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((json.size() >> (8 * i)) & 0xff));
  return bytes + json;
}

// ---- the desktop app: this process ---------------------------------------------------------------------

// Answers every ping at once with its own body; hands the extension's other reports to whoever waits for them
// and acknowledges them.
class DesktopApp final : public broker::XPCClient {
 public:
  void setAgent(std::shared_ptr<broker::XPCBrowserHelper> agent) { agent_ = std::move(agent); }

  void receive(const xpc::Data& message, const std::string& requestId) override {
    if (requestId.empty()) return;
    const std::string_view text = message.text();
    if (text.substr(0, 24).find(R"("type":"ping")") != std::string_view::npos) {
      agent_->sendResponse(message, requestId);
      return;
    }
    agent_->sendResponse(xpc::Data::fromText(frame(R"({"type":"ok"})")), requestId);
    {
      std::lock_guard lock(mutex_);
      reports_.emplace_back(text.size() >= 4 ? text.substr(4) : text);
    }
    arrived_.notify_all();
  }

  // The next report whose JSON contains `part`, or nothing within `patience`.
  std::optional<std::string> awaitReport(const std::string& part, std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    std::optional<std::string> found;
    arrived_.wait_for(lock, patience, [&] {
      const auto match = std::find_if(reports_.begin(), reports_.end(), [&](const std::string& report) {
        return report.find(part) != std::string::npos;
      });
      if (match == reports_.end()) return false;
      found = *match;
      reports_.erase(match);
      return true;
    });
    return found;
  }

  void broadcast(const std::string& json) { agent_->broadcastToExtensions(xpc::Data::fromText(frame(json))); }

 private:
  std::shared_ptr<broker::XPCBrowserHelper> agent_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::string> reports_;
};

std::shared_ptr<DesktopApp> gDesktop;
int gMeasurement = 0;
// Seconds per round trip of every batch, by benchmark and size.
std::map<std::string, std::map<std::int64_t, std::vector<double>>> gBatches;

// ---- the browser ---------------------------------------------------------------------------------------

void writeManifest(const fs::path& folder, const std::string& name, const fs::path& program) {
  std::ofstream(folder / (name + ".json"))
      << R"({"name":")" << name << R"(","description":"benchmark","path":")" << program.native()
      << R"(","type":"stdio","allowed_origins":[")" << kExtensionOrigin << "\"]}\n";
}

pid_t startChromium(const fs::path& scratch, const fs::path& extension) {
  const fs::path profile = scratch / "profile";
  fs::create_directories(profile / "NativeMessagingHosts");
  const fs::path here = fs::read_symlink("/proc/self/exe").parent_path();
  writeManifest(profile / "NativeMessagingHosts", kRelayHost, here / "tessaly-nm-host");
  writeManifest(profile / "NativeMessagingHosts", kEchoHost, here / "bench_nm_echo_host");
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::setsid();
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  const int log = ::open((scratch / "chromium.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(log, STDOUT_FILENO);
  ::dup2(log, STDERR_FILENO);
  ::setenv("TESSALY_LOG", "stderr", 1);
  const std::string userDataDir = "--user-data-dir=" + profile.native();
  const std::string loadExtension = "--load-extension=" + extension.native();
  ::execl(kChromium, kChromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
          "--disable-background-networking", "--disable-component-update", "--disable-sync", userDataDir.c_str(),
          loadExtension.c_str(), "about:blank", static_cast<char*>(nullptr));
  ::_exit(127);
}

// ---- the benchmarks ------------------------------------------------------------------------------------

int roundsFor(std::int64_t bytes) { return bytes >= (64 << 10) ? 20 : 200; }

// One batch per iteration, timed by the extension; the iteration's time is the time per round trip.
void measure(benchmark::State& state, const char* host, const char* benchmarkName) {
  const std::int64_t bytes = state.range(0);
  const int rounds = roundsFor(bytes);
  for (auto _ : state) {
    const std::string id = std::to_string(++gMeasurement);
    gDesktop->broadcast(R"({"command":"measure","host":")" + std::string(host) + R"(","rounds":)" +
                        std::to_string(rounds) + R"(,"bytes":)" + std::to_string(bytes) + R"(,"id":")" + id + "\"}");
    const std::optional<std::string> report = gDesktop->awaitReport(R"("id":")" + id + "\"", kPatience);
    simdjson::dom::parser parser;
    double milliseconds = 0;
    if (!report || parser.parse(*report)["milliseconds"].get(milliseconds) != simdjson::SUCCESS) {
      state.SkipWithError("the extension did not report a measurement");
      return;
    }
    const double perRoundTrip = milliseconds / 1e3 / rounds;
    state.SetIterationTime(perRoundTrip);
    gBatches[benchmarkName][bytes].push_back(perRoundTrip);
  }
  state.SetLabel(std::to_string(rounds) + " round trips per batch");
}

void BM_BareHostRoundTrip(benchmark::State& state) { measure(state, kEchoHost, "BM_BareHostRoundTrip"); }
void BM_RelayedRoundTrip(benchmark::State& state) { measure(state, kRelayHost, "BM_RelayedRoundTrip"); }

// Interleaved by size, so that both paths of one size run close together in time.
BENCHMARK(BM_BareHostRoundTrip)->Arg(64)->Iterations(30)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RelayedRoundTrip)->Arg(64)->Iterations(30)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareHostRoundTrip)->Arg(4096)->Iterations(30)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RelayedRoundTrip)->Arg(4096)->Iterations(30)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareHostRoundTrip)->Arg(256 << 10)->Iterations(10)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RelayedRoundTrip)->Arg(256 << 10)->Iterations(10)->UseManualTime()->Unit(benchmark::kMicrosecond);

void printRatios() {
  std::printf("\nRound trips from the extension in headless Chromium (best batch of each):\n");
  for (const auto& [bytes, bare] : gBatches["BM_BareHostRoundTrip"]) {
    const auto relayed = gBatches["BM_RelayedRoundTrip"].find(bytes);
    if (relayed == gBatches["BM_RelayedRoundTrip"].end() || bare.empty() || relayed->second.empty()) continue;
    const double floor = *std::min_element(bare.begin(), bare.end());
    const double whole = *std::min_element(relayed->second.begin(), relayed->second.end());
    std::printf(
        "%7lld bytes: bare host %.1f us; through host, agent and desktop app %.1f us: %.2f x bare "
        "(target <= 1.3)\n",
        static_cast<long long>(bytes), floor * 1e6, whole * 1e6, whole / floor);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (::access(kChromium, X_OK) != 0) {
    std::fprintf(stderr, "bench_nm_host: %s is missing (Debian package chromium; scripts/setup.sh installs it)\n",
                 kChromium);
    return 1;
  }
  char pattern[] = "/tmp/nm-host-bench-XXXXXX";
  const fs::path scratch = ::mkdtemp(pattern);
  const fs::path directory = scratch / "xpc";
  fs::create_directory(directory);
  fs::permissions(directory, fs::perms::owner_all);
  ::setenv("TESSALY_XPC_DIR", directory.c_str(), 1);

  int ready[2];
  if (::pipe(ready) != 0) return 1;
  const pid_t agent = ::fork();
  if (agent < 0) return 1;
  if (agent == 0) bench::runAgentProcess(::getppid(), ready[1], kAgentService, directory);
  char answer = 'n';
  if (!bench::readFully(ready[0], &answer, 1) || answer != 'y') {
    std::fprintf(stderr, "bench_nm_host: the agent could not publish its service\n");
    return 1;
  }

  xpc::ServiceOptions options;
  options.directory = directory;
  const auto connection = xpc::Connection::connectToService(kAgentService, options);
  connection->setRemoteObjectInterface(broker::XPCBrowserHelper::interface());
  connection->setExportedInterface(broker::XPCClient::interface());
  gDesktop = std::make_shared<DesktopApp>();
  gDesktop->setAgent(std::make_shared<broker::XPCBrowserHelperProxy>(connection->remoteObjectProxy()));
  connection->setExportedObject(gDesktop);
  connection->resume();

  const pid_t chromium = startChromium(scratch, TESSALY_TEST_EXTENSION);
  int status = 1;
  if (gDesktop->awaitReport(R"("type":"hello")", kPatience)) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printRatios();
    status = 0;
  } else {
    std::ifstream log(scratch / "chromium.log");
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "bench_nm_host: the extension did not reach the desktop app; Chromium's log:\n%s\n",
                 text.c_str());
  }
  ::kill(-chromium, SIGKILL);
  ::kill(agent, SIGKILL);
  ::waitpid(chromium, nullptr, 0);
  ::waitpid(agent, nullptr, 0);
  std::error_code ignored;
  fs::remove_all(scratch, ignored);
  std::fflush(nullptr);
  ::_exit(status);  // the connection's threads are still running; nothing needs tearing down
}
