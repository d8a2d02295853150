// The broker between real processes. Three processes take part: the agent (an XPCServer), a desktop app that
// answers every relayed request at once with its own body, and this process, which plays the extensions.
//
//   BM_BareRoundTrip          a bare Unix-socket ping-pong with the desktop app's process (the floor's unit)
//   BM_AgentEcho              echo:reply: to the agent: one round trip through the IPC layer (x kChain)
//   BM_RelayedRoundTrip       sendToMain:reply: answered by the desktop app: extension -> agent -> app -> agent
//                             -> extension, two round trips' worth of hops (x kChain)
//   BM_RelayedRequests/N      relayed requests per second with N extensions, each keeping a few in flight
//   BM_BroadcastFanOut        one broadcast until all 1,000 extensions have received it
// At the end the program prints the relayed round trip as a multiple of the bare one, the fan-out time and
// the agent's resident memory per idle extension (measured while the 1,000 extensions are connected).
//
// The agent writes its log lines as it would to the journal, one system call each (to /dev/null here).
// The other processes are forked before anything starts a thread.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/agent_process.h"
#include "support/bare_socket.h"
#include "tessaly/broker/protocols.h"
#include "tessaly/broker/xpc_server.h"

namespace {

using namespace tessaly;

constexpr const char* kServiceName = "bench.broker";
constexpr int kFanOut = 1000;

// ---- helpers -------------------------------------------------------------------------------------------

using tessaly::bench::bareEcho;
using tessaly::bench::readFully;
using tessaly::bench::writeFully;

xpc::ServiceOptions serviceOptions(const std::string& directory) {
  xpc::ServiceOptions options;
  options.directory = directory;
  return options;
}

// Resident memory of a process, in bytes.
std::size_t residentBytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
  }
  return 0;
}

// Counts events; a waiting thread sleeps until the count reaches what it waits for.
class Counter {
 public:
  void add() {
    {
      std::lock_guard lock(mutex_);
      ++count_;
    }
    changed_.notify_all();
  }
  void awaitAtLeast(std::int64_t target) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return count_ >= target; });
  }
  std::int64_t value() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::int64_t count_ = 0;
};

// ---- the other processes -------------------------------------------------------------------------------

// The desktop app: answers every relayed request with its own body; also the far end of the bare ping-pong.
class AnsweringApp final : public broker::XPCClient {
 public:
  void setAgent(std::shared_ptr<broker::XPCBrowserHelper> agent) { agent_ = std::move(agent); }
  void receive(const xpc::Data& message, const std::string& requestId) override {
    if (!requestId.empty()) agent_->sendResponse(message, requestId);
  }

 private:
  std::shared_ptr<broker::XPCBrowserHelper> agent_;
};

[[noreturn]] void runDesktopApp(int bareFd, int goFd, int connectedFd, const std::string& directory) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::thread(bareEcho, bareFd).detach();
  char go = 0;
  if (!readFully(goFd, &go, 1)) ::_exit(1);
  auto connection = xpc::Connection::connectToService(kServiceName, serviceOptions(directory));
  connection->setRemoteObjectInterface(broker::XPCBrowserHelper::interface());
  connection->setExportedInterface(broker::XPCClient::interface());
  auto app = std::make_shared<AnsweringApp>();
  auto agent = std::make_shared<broker::XPCBrowserHelperProxy>(connection->remoteObjectProxy());
  app->setAgent(agent);
  connection->setExportedObject(app);
  connection->resume();
  agent->echo(xpc::Data(), [connectedFd](xpc::Data) { writeFully(connectedFd, "y", 1); });
  for (;;) ::pause();
}

// ---- this process: the extensions ----------------------------------------------------------------------

int gBareFd = -1;
pid_t gAgentPid = -1;
std::string gDirectory;

// An extension: counts what it receives.
class CountingExtension final : public broker::XPCClient {
 public:
  explicit CountingExtension(Counter& received) : received_(received) {}
  void receive(const xpc::Data&, const std::string&) override { received_.add(); }

 private:
  Counter& received_;
};

struct Extension {
  std::shared_ptr<xpc::Connection> connection;
  std::shared_ptr<broker::XPCBrowserHelper> agent;
};

Extension connectExtension(Counter& received) {
  Extension extension;
  extension.connection = xpc::Connection::connectToService(kServiceName, serviceOptions(gDirectory));
  extension.connection->setRemoteObjectInterface(broker::XPCBrowserHelper::interface());
  extension.connection->setExportedInterface(broker::XPCClient::interface());
  extension.connection->setExportedObject(std::make_shared<CountingExtension>(received));
  extension.agent = std::make_shared<broker::XPCBrowserHelperProxy>(extension.connection->remoteObjectProxy());
  extension.connection->resume();
  return extension;
}

// N extensions, each answered once by the agent, so that all are registered.
std::vector<Extension> connectExtensions(int count, Counter& received) {
  std::vector<Extension> extensions;
  Counter accepted;
  for (int i = 0; i < count; ++i) {
    extensions.push_back(connectExtension(received));
    extensions.back().agent->echo(xpc::Data(), [&accepted](xpc::Data) { accepted.add(); });
  }
  accepted.awaitAtLeast(count);
  return extensions;
}

xpc::Data payloadOf(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + 17);
  return xpc::Data(std::move(bytes));
}

void BM_BareRoundTrip(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const xpc::Data payload = payloadOf(size);
  std::vector<char> back(size);
  const auto length = static_cast<std::uint32_t>(size);
  for (auto _ : state) {
    std::uint32_t echoed = 0;
    if (!writeFully(gBareFd, &length, sizeof length) || !writeFully(gBareFd, payload.data(), size) ||
        !readFully(gBareFd, &echoed, sizeof echoed) || !readFully(gBareFd, back.data(), echoed)) {
      state.SkipWithError("bare echo failed");
      break;
    }
  }
}

Extension& soleExtension() {
  static Counter received;
  static Extension extension = std::move(connectExtensions(1, received).front());
  return extension;
}

// Requests one after the other from one extension, through `call`: each is sent from the reply handler of
// the one before, so that no hand-over between threads of this process is timed (the bare ping-pong has
// none either). An iteration is kChain round trips.
constexpr int kChain = 50;

template <typename Call>
void oneAtATime(benchmark::State& state, Call call) {
  const xpc::Data payload = payloadOf(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    Counter done;
    int remaining = kChain;  // touched by one reply handler at a time
    std::function<void()> next;
    next = [&] {
      call(payload, [&](xpc::Data) {
        if (--remaining > 0) {
          next();
        } else {
          done.add();  // the last thing the chain touches
        }
      });
    };
    next();
    done.awaitAtLeast(1);
  }
  state.SetItemsProcessed(state.iterations() * kChain);
}

void BM_AgentEcho(benchmark::State& state) {
  broker::XPCBrowserHelper& agent = *soleExtension().agent;
  oneAtATime(state, [&](const xpc::Data& body, broker::ReplyAction reply) { agent.echo(body, std::move(reply)); });
}

void BM_RelayedRoundTrip(benchmark::State& state) {
  broker::XPCBrowserHelper& agent = *soleExtension().agent;
  oneAtATime(state,
             [&](const xpc::Data& body, broker::ReplyAction reply) { agent.sendToMain(body, std::move(reply)); });
}

// N extensions, each keeping kWindow requests in flight; counts answered requests per second.
void BM_RelayedRequests(benchmark::State& state) {
  constexpr int kWindow = 4;
  constexpr std::int64_t kPerIteration = 20'000;
  const int count = static_cast<int>(state.range(0));
  static std::map<int, std::vector<Extension>> pools;
  static Counter unused;
  std::vector<Extension>& extensions = pools[count];
  if (extensions.empty()) extensions = connectExtensions(count, unused);
  const xpc::Data payload = payloadOf(64);
  struct Round {
    std::atomic<std::int64_t> budget{kPerIteration};
    Counter answered;
    std::vector<std::function<void()>> senders;
  };
  for (auto _ : state) {
    auto round = std::make_shared<Round>();
    round->senders.resize(static_cast<std::size_t>(count));
    for (int c = 0; c < count; ++c) {
      Round* const r = round.get();
      std::shared_ptr<broker::XPCBrowserHelper> agent = extensions[static_cast<std::size_t>(c)].agent;
      r->senders[static_cast<std::size_t>(c)] = [r, agent, c, &payload, weak = std::weak_ptr<Round>(round)] {
        if (r->budget.fetch_sub(1) <= 0) return;
        agent->sendToMain(payload, [c, weak](xpc::Data) {
          const std::shared_ptr<Round> round = weak.lock();
          if (!round) return;
          round->senders[static_cast<std::size_t>(c)]();
          round->answered.add();
        });
      };
    }
    for (int w = 0; w < kWindow; ++w) {
      for (auto& send : round->senders) send();
    }
    round->answered.awaitAtLeast(kPerIteration);
  }
  state.SetItemsProcessed(state.iterations() * kPerIteration);
}

double gMemoryPerExtension = 0;

void BM_BroadcastFanOut(benchmark::State& state) {
  static Counter received;
  static std::vector<Extension> extensions = [] {
    const std::size_t before = residentBytes(gAgentPid);
    std::vector<Extension> all = connectExtensions(kFanOut, received);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::size_t after = residentBytes(gAgentPid);
    gMemoryPerExtension = (static_cast<double>(after) - static_cast<double>(before)) / kFanOut;
    return all;
  }();
  const xpc::Data payload = payloadOf(64);
  std::int64_t expected = received.value();
  for (auto _ : state) {
    expected += kFanOut;
    // Any peer may broadcast; the extension that does receives it too.
    extensions.front().agent->broadcastToExtensions(payload);
    received.awaitAtLeast(expected);
  }
  state.counters["agent_bytes_per_idle_extension"] = gMemoryPerExtension;
}

BENCHMARK(BM_BareRoundTrip)->Arg(64)->Arg(4096)->UseRealTime();
BENCHMARK(BM_AgentEcho)->Arg(64)->Arg(4096)->UseRealTime();
BENCHMARK(BM_RelayedRoundTrip)->Arg(64)->Arg(4096)->UseRealTime();
BENCHMARK(BM_RelayedRequests)->Arg(1)->Arg(10)->Arg(100)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BroadcastFanOut)->UseRealTime()->Unit(benchmark::kMillisecond);

// Prints the usual table, then the figures against their baselines and targets.
class SummaryReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.iterations == 0 || run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      double perIteration = run.real_accumulated_time / static_cast<double>(run.iterations);
      const std::string& function = run.run_name.function_name;
      if (function == "BM_AgentEcho" || function == "BM_RelayedRoundTrip") perIteration /= kChain;
      times_[run.run_name.function_name][run.run_name.args].push_back(perIteration);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto median = [](std::vector<double> values) {
      std::sort(values.begin(), values.end());
      return values[values.size() / 2];
    };
    auto find = [&](const std::string& function, const std::string& args) -> double {
      const auto f = times_.find(function);
      if (f == times_.end()) return 0;
      const auto a = f->second.find(args);
      return a == f->second.end() ? 0 : median(a->second);
    };
    std::printf("\n");
    for (const char* size : {"64", "4096"}) {
      const double bare = find("BM_BareRoundTrip", size);
      const double echo = find("BM_AgentEcho", size);
      const double relayed = find("BM_RelayedRoundTrip", size);
      if (bare <= 0 || relayed <= 0) continue;
      std::printf(
          "%5s bytes: bare round trip %.1f us; echo through the agent %.1f us (%.2f x bare); relayed round "
          "trip %.1f us (%.2f x bare, target <= 2.5)\n",
          size, bare * 1e6, echo * 1e6, echo / bare, relayed * 1e6, relayed / bare);
    }
    for (const char* count : {"1", "10", "100"}) {
      const double seconds = find("BM_RelayedRequests", count);
      if (seconds > 0) std::printf("relayed requests with %3s extensions: %.0f per second\n", count, 20'000 / seconds);
    }
    if (const double fanOut = find("BM_BroadcastFanOut", ""); fanOut > 0) {
      std::printf("broadcast to %d extensions: %.2f ms (target < 20 ms)\n", kFanOut, fanOut * 1e3);
      std::printf("agent memory per idle extension: %.1f KiB (target < 32 KiB)\n", gMemoryPerExtension / 1024);
    }
  }

 private:
  std::map<std::string, std::map<std::string, std::vector<double>>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  char pattern[] = "/tmp/broker-bench-XXXXXX";
  gDirectory = ::mkdtemp(pattern);
  int bare[2];
  int go[2];
  int appConnected[2];
  int agentReady[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, bare) != 0 || ::pipe(go) != 0 || ::pipe(appConnected) != 0 ||
      ::pipe(agentReady) != 0) {
    return 1;
  }
  const pid_t app = ::fork();
  if (app < 0) return 1;
  if (app == 0) runDesktopApp(bare[1], go[0], appConnected[1], gDirectory);
  const pid_t agent = ::fork();
  if (agent < 0) return 1;
  if (agent == 0) bench::runAgentProcess(app, agentReady[1], kServiceName, gDirectory);
  gAgentPid = agent;
  gBareFd = bare[0];
  char answer = 'n';
  if (!readFully(agentReady[0], &answer, 1) || answer != 'y') {
    std::fprintf(stderr, "the agent could not publish its service\n");
    return 1;
  }
  if (!writeFully(go[1], "g", 1) || !readFully(appConnected[0], &answer, 1)) {
    std::fprintf(stderr, "the desktop app could not connect\n");
    return 1;
  }

  benchmark::Initialize(&argc, argv);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  ::kill(agent, SIGKILL);
  ::kill(app, SIGKILL);
  ::waitpid(agent, nullptr, 0);
  ::waitpid(app, nullptr, 0);
  std::error_code ignored;
  std::filesystem::remove_all(gDirectory, ignored);
  std::fflush(nullptr);
  ::_exit(0);  // the connections' threads are still running; nothing needs tearing down
}
