// Request/reply round trips through the IPC layer between two processes, beside a bare Unix-socket
// ping-pong of the same payload in the same run, and messages per second over 100 connections.
//
// The peer process is forked before anything starts a thread. It serves both the bare echo (on a socket
// pair) and an IPC service exporting "echo:reply:". The IPC layer enlarges its sockets' send buffers to
// net.core.wmem_max, so the bare ping-pong is measured twice: with default buffers and with the same
// enlarged ones. At the end the program prints, per payload size, the IPC round trip as a multiple of both.
#include <benchmark/benchmark.h>
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
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/bare_socket.h"
#include "tessaly/xpc/xpc.h"

namespace {

using namespace tessaly::xpc;

constexpr const char* kServiceName = "bench.echo";

const Interface& echoInterface() {
  static const Interface interface(
      "BenchEcho", {
                       {"echo:reply:", {ArgumentClass::data, ArgumentClass::reply}, {ArgumentClass::data}},
                   });
  return interface;
}

// ---- the peer process ----------------------------------------------------------------------------------

using tessaly::bench::bareEcho;
using tessaly::bench::readFully;
using tessaly::bench::writeFully;

class EchoDelegate final : public ListenerDelegate {
 public:
  bool shouldAcceptNewConnection(Listener&, const std::shared_ptr<Connection>& connection) override {
    static const auto object = [] {
      auto table = std::make_shared<MethodTable>();
      table->on("echo:reply:", [](Invocation& call) { call.reply()(call.data(0)); });
      return table;
    }();
    connection->setExportedInterface(echoInterface());
    connection->setExportedObject(object);
    connection->resume();
    return true;
  }
};

[[noreturn]] void runPeer(int bareFd, int wideFd, const std::string& directory, int readyFd) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::thread(bareEcho, bareFd).detach();
  std::thread(bareEcho, wideFd).detach();
  ServiceOptions options;
  options.directory = directory;
  auto listener = Listener::create(kServiceName, options);
  listener->setDelegate(std::make_shared<EchoDelegate>());
  const char ready = listener->resume() == Error::none ? 'y' : 'n';
  writeFully(readyFd, &ready, 1);
  for (;;) ::pause();
}

// The send buffer the IPC layer asks for on its sockets: net.core.wmem_max.
void enlargeSendBuffer(int fd) {
  int size = 0;
  if (FILE* limit = std::fopen("/proc/sys/net/core/wmem_max", "r")) {
    if (std::fscanf(limit, "%d", &size) != 1) size = 0;
    std::fclose(limit);
  }
  if (size > 0) ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

// ---- the measuring process -----------------------------------------------------------------------------

int gBareFd = -1;  // default socket buffers
int gWideFd = -1;  // send buffers enlarged as the IPC layer's are
std::string gDirectory;

std::shared_ptr<Connection> connectToEcho() {
  ServiceOptions options;
  options.directory = gDirectory;
  auto connection = Connection::connectToService(kServiceName, options);
  connection->setRemoteObjectInterface(echoInterface());
  connection->resume();
  return connection;
}

Data payloadOf(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + 17);
  return Data(std::move(bytes));
}

void bareRoundTrips(benchmark::State& state, int fd) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const Data payload = payloadOf(size);
  std::vector<char> back(size);
  const auto length = static_cast<std::uint32_t>(size);
  for (auto _ : state) {
    std::uint32_t echoed = 0;
    if (!writeFully(fd, &length, sizeof length) || !writeFully(fd, payload.data(), size) ||
        !readFully(fd, &echoed, sizeof echoed) || !readFully(fd, back.data(), echoed)) {
      state.SkipWithError("bare echo failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(2 * size));
}

void BM_BareSocketRoundTrip(benchmark::State& state) { bareRoundTrips(state, gBareFd); }
void BM_BareSocketWideBufferRoundTrip(benchmark::State& state) { bareRoundTrips(state, gWideFd); }

// Counts answers; the measuring thread sleeps until the count reaches what it waits for.
class AnswerCount {
 public:
  void add() {
    {
      std::lock_guard lock(mutex_);
      ++count_;
    }
    changed_.notify_one();
  }
  void awaitAtLeast(std::int64_t target) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return count_ >= target; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::int64_t count_ = 0;
};

// One echo at a time: the calling thread sends and waits until the reply handler has run.
void BM_XpcRoundTrip(benchmark::State& state) {
  static const std::shared_ptr<Connection> connection = connectToEcho();
  const RemoteProxy proxy = connection->remoteObjectProxyWithErrorHandler([](Error) {});
  const auto size = static_cast<std::size_t>(state.range(0));
  const Data payload = payloadOf(size);
  auto answered = std::make_shared<AnswerCount>();
  auto wrong = std::make_shared<std::atomic<bool>>(false);
  std::int64_t expected = 0;
  for (auto _ : state) {
    ++expected;
    proxy.send("echo:reply:", {payload}, [answered, wrong, size](const Arguments& reply) {
      if (std::get<Data>(reply[0]).size() != size) *wrong = true;
      answered->add();
    });
    answered->awaitAtLeast(expected);
  }
  if (*wrong) state.SkipWithError("echo returned the wrong size");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(2 * size));
}

// 100 connections, each keeping a few echoes in flight; counts answered messages per second.
void BM_XpcMessagesOver100Connections(benchmark::State& state) {
  constexpr int kConnections = 100;
  constexpr int kWindow = 4;
  constexpr std::int64_t kMessagesPerIteration = 20'000;
  static const std::vector<std::shared_ptr<Connection>> connections = [] {
    std::vector<std::shared_ptr<Connection>> all;
    for (int i = 0; i < kConnections; ++i) all.push_back(connectToEcho());
    return all;
  }();
  const Data payload = payloadOf(64);
  // One round's state, shared with the reply handlers, which may finish just after the round is over.
  struct Round {
    std::atomic<std::int64_t> budget{kMessagesPerIteration};
    AnswerCount answered;
    std::vector<std::function<void()>> senders;
  };
  for (auto _ : state) {
    auto round = std::make_shared<Round>();
    round->senders.resize(kConnections);
    for (int c = 0; c < kConnections; ++c) {
      const RemoteProxy proxy = connections[static_cast<std::size_t>(c)]->remoteObjectProxy();
      Round* const r = round.get();
      r->senders[static_cast<std::size_t>(c)] = [r, proxy, c, &payload, weak = std::weak_ptr<Round>(round)] {
        if (r->budget.fetch_sub(1) <= 0) return;
        proxy.send("echo:reply:", {payload}, [c, weak](const Arguments&) {
          const std::shared_ptr<Round> round = weak.lock();
          if (!round) return;
          round->senders[static_cast<std::size_t>(c)]();  // the next one goes out before this one counts
          round->answered.add();
        });
      };
    }
    for (int w = 0; w < kWindow; ++w) {
      for (auto& send : round->senders) send();
    }
    round->answered.awaitAtLeast(kMessagesPerIteration);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kMessagesPerIteration);
}

BENCHMARK(BM_BareSocketRoundTrip)->Arg(64)->Arg(4096)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_BareSocketWideBufferRoundTrip)->Arg(64)->Arg(4096)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_XpcRoundTrip)->Arg(64)->Arg(4096)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_XpcMessagesOver100Connections)->UseRealTime()->Unit(benchmark::kMillisecond);

// Prints the usual table, then each IPC round trip as a multiple of the bare one of the same size.
class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.iterations == 0 || run.error_occurred) continue;
      if (run.run_type != Run::RT_Iteration) continue;
      const double perIteration = run.real_accumulated_time / static_cast<double>(run.iterations);
      const std::string& size = run.run_name.args;
      if (run.run_name.function_name == "BM_BareSocketRoundTrip") bare_[size].push_back(perIteration);
      if (run.run_name.function_name == "BM_BareSocketWideBufferRoundTrip") wide_[size].push_back(perIteration);
      if (run.run_name.function_name == "BM_XpcRoundTrip") ipc_[size].push_back(perIteration);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n");
    // With repetitions, the medians are compared.
    auto median = [](std::vector<double> values) {
      std::sort(values.begin(), values.end());
      return values[values.size() / 2];
    };
    for (const auto& [size, ipcTimes] : ipc_) {
      const auto bare = bare_.find(size);
      if (bare == bare_.end()) continue;
      const double ipc = median(ipcTimes);
      const double baseline = median(bare->second);
      std::printf("round trip %8s bytes: IPC %9.1f us, bare %9.1f us, ratio %.2f", size.c_str(), ipc * 1e6,
                  baseline * 1e6, ipc / baseline);
      if (const auto wide = wide_.find(size); wide != wide_.end()) {
        const double wideBaseline = median(wide->second);
        std::printf("; bare with the same send buffer %9.1f us, ratio %.2f", wideBaseline * 1e6, ipc / wideBaseline);
      }
      std::printf("\n");
    }
  }

 private:
  std::map<std::string, std::vector<double>> bare_;
  std::map<std::string, std::vector<double>> wide_;
  std::map<std::string, std::vector<double>> ipc_;
};

}  // namespace

int main(int argc, char** argv) {
  // Everything the peer needs is made before fork, while this process has a single thread.
  char pattern[] = "/tmp/xpc-bench-XXXXXX";
  gDirectory = ::mkdtemp(pattern);
  int pair[2];
  int wide[2];
  int ready[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0 ||
      ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, wide) != 0 || ::pipe(ready) != 0) {
    return 1;
  }
  enlargeSendBuffer(wide[0]);
  enlargeSendBuffer(wide[1]);
  const pid_t peer = ::fork();
  if (peer < 0) return 1;
  if (peer == 0) {
    ::close(pair[0]);
    ::close(wide[0]);
    ::close(ready[0]);
    runPeer(pair[1], wide[1], gDirectory, ready[1]);
  }
  ::close(pair[1]);
  ::close(wide[1]);
  ::close(ready[1]);
  char answer = 'n';
  if (!readFully(ready[0], &answer, 1) || answer != 'y') {
    std::fprintf(stderr, "the peer process could not publish its service\n");
    return 1;
  }
  gBareFd = pair[0];
  gWideFd = wide[0];

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  ::kill(peer, SIGKILL);
  ::waitpid(peer, nullptr, 0);
  std::error_code ignored;
  std::filesystem::remove_all(gDirectory, ignored);
  return 0;
}
