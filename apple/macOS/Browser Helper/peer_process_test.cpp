// The server with peers in processes of their own: tessaly-peer as the desktop app (inside a bundle) and as
// extensions, classified by the real running-application lookup.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/wait.h>

#include <algorithm>

#include "broker_test_support.h"
#include "tessaly/model/native_messaging.h"
#include "tessaly/testing/child_process.h"
#include "tessaly/testing/signed_peers.h"

namespace tessaly::broker::testing {
namespace {

std::string base64(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  text.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                                       static_cast<int>(bytes.size()))));
  return text;
}

// tessaly-peer in a process of its own, its standard input and output piped to the test.
class PeerTool {
 public:
  PeerTool(const std::string& program, const std::vector<std::string>& arguments, const std::string& directory)
      : process_(program, withService(arguments), {"TESSALY_XPC_DIR=" + directory, "TESSALY_LOG=stderr"}) {}

  pid_t pid() const { return process_.pid(); }
  void write(const std::string& line) { ASSERT_TRUE(process_.writeLine(line)); }
  bool sawLine(const std::string& line) {
    return eventually([&] { return count(line) > 0; });
  }
  std::size_t count(const std::string& line) {
    while (std::optional<std::string> read = process_.readLine(std::chrono::milliseconds(0))) lines_.push_back(*read);
    return static_cast<std::size_t>(std::count(lines_.begin(), lines_.end(), line));
  }
  void kill() { process_.stop(); }
  int wait() { return process_.wait(kPatience).value_or(-1); }

 private:
  static std::vector<std::string> withService(const std::vector<std::string>& arguments) {
    std::vector<std::string> words{"--service", kServiceName};
    words.insert(words.end(), arguments.begin(), arguments.end());
    return words;
  }

  tessaly::testing::ChildProcess process_;
  std::vector<std::string> lines_;
};

// parent/Desktop.app with the peer tool as its executable, so that its process has a bundle identifier.
std::string makeDesktopBundle(const std::filesystem::path& parent) {
  tessaly::testing::BundleLayout layout;
  layout.name = "Desktop";
  layout.identifier = "com.tessaly.test.desktop";
  layout.executableName = "tessaly-peer";
  layout.executable = TESSALY_PEER_TOOL;
  tessaly::testing::makeBundle(parent, layout);
  return parent / "Desktop.app/Contents/MacOS/tessaly-peer";
}

// A server that asks the real running-application lookup which peer is the desktop app.
std::shared_ptr<XPCServer> serverClassifyingByBundle(const std::string& directory, bool validate = true) {
  XPCServer::Dependencies dependencies;
  if (validate) dependencies.validateRemoteProcess = [](pid_t) { return true; };
  dependencies.mainBundleIdentifier = [] { return std::optional<std::string>(kServiceName); };
  dependencies.serviceOptions.directory = directory;
  return XPCServer::create(std::move(dependencies));
}

TEST(PeerProcesses, RelayBetweenProcessesAndAppQuitWhenTheAppDies) {
  TemporaryDirectory directory;
  TemporaryDirectory bundles;
  const auto server = serverClassifyingByBundle(directory.path());
  server->start();

  PeerTool app(makeDesktopBundle(bundles.path()), {"session", "--answer", "echo"}, directory.path());
  ASSERT_TRUE(app.sawLine(R"({"event":"connected"})"));
  EXPECT_TRUE(server->counts().mainAppConnected);
  std::vector<std::unique_ptr<PeerTool>> extensions;
  for (int i = 0; i < 3; ++i) {
    extensions.push_back(
        std::make_unique<PeerTool>(TESSALY_PEER_TOOL, std::vector<std::string>{"session"}, directory.path()));
    ASSERT_TRUE(extensions.back()->sawLine(R"({"event":"connected"})"));
  }
  EXPECT_EQ(server->counts().extensions, 3u);
  EXPECT_TRUE(server->counts().mainAppConnected);

  constexpr int kRequests = 20;
  // The request's identifier and body: the app answers with the body, under the same identifier.
  const auto request = [](int r, std::size_t e) {
    const std::string body = base64("request " + std::to_string(r) + " of " + std::to_string(e));
    return R"("id":)" + std::to_string(r) + R"(,"body":")" + body + R"("})";
  };
  for (int r = 0; r < kRequests; ++r) {
    for (std::size_t e = 0; e < extensions.size(); ++e) extensions[e]->write(R"({"op":"send",)" + request(r, e));
  }
  for (std::size_t e = 0; e < extensions.size(); ++e) {
    for (int r = 0; r < kRequests; ++r) ASSERT_TRUE(extensions[e]->sawLine(R"({"event":"reply",)" + request(r, e)));
  }

  extensions[2]->kill();
  ASSERT_TRUE(eventually([&] { return server->counts().extensions == 2; }));

  app.kill();
  const std::string appQuit =
      R"({"event":"receive","requestId":"","body":")" + base64(*model::appQuitNotificationFrame()) + R"("})";
  for (std::size_t e = 0; e < 2; ++e) {
    ASSERT_TRUE(extensions[e]->sawLine(appQuit));
    EXPECT_EQ(extensions[e]->count(appQuit), 1u);
  }
  EXPECT_FALSE(server->counts().mainAppConnected);

  extensions[0]->write(R"({"op":"close"})");
  ASSERT_TRUE(extensions[0]->sawLine(R"({"event":"invalidated"})"));
  const int status = extensions[0]->wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(eventually([&] { return server->counts().extensions == 1; }));
  server->stop();
  ASSERT_TRUE(extensions[1]->sawLine(R"({"event":"interrupted"})"));
}

// A peer's echo fails when nobody listens, and when the shipped validator refuses it for being unsigned.
TEST(PeerProcesses, TheShippedValidatorRefusesAnUnsignedPeer) {
  TemporaryDirectory directory;
  EXPECT_EQ(PeerTool(TESSALY_PEER_TOOL, {"echo", "hello"}, directory.path()).wait(), 1 << 8);
  const auto server = serverClassifyingByBundle(directory.path(), /*validate=*/false);
  CoreLoggingCapture log;
  server->start();
  PeerTool echo(TESSALY_PEER_TOOL, {"echo", "hello"}, directory.path());
  EXPECT_EQ(echo.wait(), 1 << 8);  // exit status 1
  EXPECT_EQ(logged(log, log_lines::refusingUnsigned).size(), 1u);
  EXPECT_FALSE(server->counts().mainAppConnected);
  EXPECT_EQ(server->counts().extensions, 0u);
  server->stop();
}

}  // namespace
}  // namespace tessaly::broker::testing
