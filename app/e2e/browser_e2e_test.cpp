// Real browsers reach the desktop app: headless Chromium and Firefox ESR load the project's extension, start
// the native-messaging host from the agent's bundle, and the extension talks through the host and the agent
// (run from under /Applications) to a desktop app, which drives the story and sees everything the extension
// reports. Also: a host started by anything but a browser is refused before it reaches the agent.
#include <dirent.h>
#include <signal.h>
#include <simdjson.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <mutex>

#include "base64.h"
#include "e2e_support.h"
#include "tessaly/broker/broker_log.h"

namespace tessaly::app::e2e {
namespace {

namespace log_lines = tessaly::broker::log_lines;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path kBundle = TESSALY_AGENT_BUNDLE;
const fs::path kDevPki = TESSALY_DEV_PKI;
const fs::path kPeerTool = TESSALY_PEER_TOOL;
const fs::path kCodesignTool = TESSALY_CODESIGN_TOOL;
const fs::path kExtension = TESSALY_TEST_EXTENSION;
const fs::path kExtensionXpi = TESSALY_TEST_EXTENSION_XPI;
const fs::path kChromium = "/usr/lib/chromium/chromium";
const fs::path kFirefox = "/usr/lib/firefox-esr/firefox-esr";
constexpr const char* kChromiumOrigin = "chrome-extension://ojfnbbifgjdpmhiokpfbamkhnnckdidm/";
constexpr const char* kFirefoxId = "browser-helper-check@tessaly.com";
// Starting a browser, loading the extension and starting the host take a while on a busy machine.
constexpr auto kBrowserPatience = 90s;

const bool kPipesDoNotKill = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();

std::size_t count(const std::string& text, std::string_view part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

std::string frame(const std::string& json) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((json.size() >> (8 * i)) & 0xff));
  return bytes + json;
}

// Compact JSON text of a parsed element, for comparing what the extension reported.
std::string compact(simdjson::dom::element element) { return simdjson::minify(element); }

// A request the desktop app received from the extension: its identifier and the extension's JSON message.
struct Request {
  std::string requestId;
  std::string json;
};

// The desktop app: a signed bundle around tessaly-peer, driven as a session.
class DesktopApp {
 public:
  DesktopApp(const fs::path& executable, const std::vector<std::string>& environment)
      : session_(executable, {"session"}, environment) {
    // A request waiting in the agent may come before the answer that says the connection is up.
    while (const std::optional<std::string> line = session_.readLine()) {
      if (line->find(R"("event":"connected")") != std::string::npos) {
        connected_ = true;
        break;
      }
      backlog_.push_back(*line);
    }
  }
  bool connected() const { return connected_; }

  // The next request relayed from an extension, or nothing within `patience`.
  std::optional<Request> nextRequest(std::chrono::milliseconds patience = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      std::optional<std::string> line;
      if (!backlog_.empty()) {
        line = backlog_.front();
        backlog_.erase(backlog_.begin());
      } else {
        line = session_.readLine(left);
      }
      if (!line) return std::nullopt;
      simdjson::dom::parser parser;
      simdjson::dom::element event;
      std::string_view kind, requestId, body;
      if (parser.parse(*line).get(event) != simdjson::SUCCESS || event["event"].get(kind) != simdjson::SUCCESS ||
          kind != "receive" || event["requestId"].get(requestId) != simdjson::SUCCESS || requestId.empty() ||
          event["body"].get(body) != simdjson::SUCCESS) {
        continue;
      }
      const std::optional<std::string> bytes = peer::decodeBase64(body);
      if (!bytes || bytes->size() < 4) continue;
      return Request{std::string(requestId), bytes->substr(4)};
    }
    return std::nullopt;
  }
  void respond(const std::string& requestId, const std::string& json) {
    session_.writeLine(R"({"op":"respond","requestId":")" + requestId + R"(","body":")" + peer::encodeBase64(frame(json)) + "\"}");
  }
  void broadcast(const std::string& json) {
    session_.writeLine(R"({"op":"broadcast","body":")" + peer::encodeBase64(frame(json)) + "\"}");
  }
  void close() { session_.writeLine(R"({"op":"close"})"); }

 private:
  tessaly::testing::ChildProcess session_;
  bool connected_ = false;
  std::vector<std::string> backlog_;  // lines read before the connection was known to be up
};

// The processes running the program at `executable`.
std::vector<pid_t> processesOf(const fs::path& executable) {
  std::vector<pid_t> found;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code error;
    if (fs::read_symlink(entry.path() / "exe", error) == executable) found.push_back(std::stoi(name));
  }
  return found;
}

std::string environmentOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::replace(text.begin(), text.end(), '\0', '\n');
  return "\n" + text;
}

pid_t parentOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(text.substr(close + 2));
  std::string state;
  pid_t parent = -1;
  rest >> state >> parent;
  return parent;
}

class BrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const ApplicationsFolder& applications = applicationsFolder();
    if (applications.folder.empty()) GTEST_SKIP() << "cannot run the agent from under /Applications: " << applications.how;
    place_ = applications.folder / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(place_);
    scratchFolder_ = std::make_unique<tessaly::testing::TemporaryDirectory>();
    scratch_ = scratchFolder_->path();
    fs::create_directories(scratch_ / "xpc");
    fs::create_directories(scratch_ / "home");
    bundle_ = place_ / kBundle.filename();
    fs::copy(kBundle, bundle_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    host_ = bundle_ / "Contents/Helpers/tessaly-nm-host";
    agent_ = startLogged(bundle_ / "Contents/MacOS" / kBundle.stem(), std::vector<std::string>{},
                                       environment(), agentLog(), agentLog());
    ASSERT_TRUE(eventually([&] { return count(agentLogText(), log_lines::resumingListener.text) == 1; })) << agentLogText();
    desktopExecutable_ = makeDesktopApp();
  }
  void TearDown() override {
    if (browser_) ::kill(-browser_->pid(), SIGKILL);  // the browser and every process it started
    browser_.reset();
    agent_.reset();
    std::error_code ignored;
    if (!place_.empty()) fs::remove_all(place_, ignored);
    scratchFolder_.reset();
  }

  std::vector<std::string> environment() const {
    return {"TESSALY_LOG=stderr", "TESSALY_XPC_DIR=" + (scratch_ / "xpc").native(),
            "TESSALY_TRUST_ANCHORS=" + (kDevPki / "anchors").native(), "TESSALY_URL_OPENER=/bin/true",
            "HOME=" + (scratch_ / "home").native(), "XDG_CONFIG_HOME=" + (scratch_ / "home/.config").native()};
  }
  fs::path agentLog() const { return scratch_ / "agent.log"; }
  std::string agentLogText() const { return readFile(agentLog()); }
  fs::path browserLog() const { return scratch_ / "browser.log"; }

  // Tessaly.app: tessaly-peer as the main executable of a bundle signed by the agent's team.
  fs::path makeDesktopApp() {
    const fs::path app = scratch_ / "Tessaly.app";
    fs::create_directories(app / "Contents/MacOS");
    writeFile(app / "Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>com.tessaly.desktop</string>"
              "<key>CFBundleExecutable</key><string>Tessaly</string></dict></plist>\n");
    fs::copy_file(kPeerTool, app / "Contents/MacOS/Tessaly");
    const RunResult signedApp = run(kCodesignTool,
                                    {"sign", "--identity", (kDevPki / "identities/developer-id").native(),
                                     "--identifier", "com.tessaly.desktop", app.native()},
                                    {}, scratch_);
    EXPECT_EQ(signedApp.exitCode, 0) << signedApp.standardError;
    return app / "Contents/MacOS/Tessaly";
  }
  std::unique_ptr<DesktopApp> startDesktopApp() {
    auto desktop = std::make_unique<DesktopApp>(desktopExecutable_, environment());
    EXPECT_TRUE(desktop->connected());
    return desktop;
  }

  // The host's own manifest command, run from the bundle as a user would.
  void installManifest(const std::string& browser, const std::string& id, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> environment = this->environment();
    environment.insert(environment.end(), extra.begin(), extra.end());
    const RunResult installed = run(host_, {"install", "--user", "--browser", browser, "--extension-id", id},
                                    environment, scratch_);
    ASSERT_EQ(installed.exitCode, 0) << installed.standardError;
  }

  void startBrowser(const fs::path& program, std::vector<std::string> arguments) {
    std::vector<std::string> environment = this->environment();
    // A loader variable from the browser, which the host must not keep.
    environment.push_back("LD_LIBRARY_PATH=/nonexistent/tessaly-check");
    arguments.insert(arguments.begin(), program.native());
    // In a session of its own, so that the browser and all it starts end together.
    browser_ = startLogged("/usr/bin/setsid", arguments, environment, browserLog(), browserLog());
  }

  // The story with a browser whose extension has connected: the desktop app answers, broadcasts, quits and
  // comes back, and finally has the extension close its port. Chromium passes the host's standard error on to
  // its own, where the host's log lines can be read; Firefox keeps it for its browser console.
  void tellTheStory(const std::string& origin, bool hostLogInBrowserLog) {
    std::unique_ptr<DesktopApp> desktop = startDesktopApp();
    const auto report = [&](std::chrono::milliseconds patience = 30s) -> std::optional<Request> {
      std::optional<Request> request = desktop->nextRequest(patience);
      if (!request) ADD_FAILURE() << "no report from the extension\nagent:\n" << agentLogText() << "\nbrowser:\n"
                                  << readFile(browserLog());
      return request;
    };
    const auto saw = [](const Request& request) {
      simdjson::dom::parser parser;
      simdjson::dom::element message;
      std::string_view type;
      if (parser.parse(request.json).get(message) != simdjson::SUCCESS || message["type"].get(type) || type != "saw") {
        return std::string("not a report: ") + request.json;
      }
      return compact(message["message"]);
    };

    // The extension says hello as soon as it runs, and the desktop app answers it.
    std::optional<Request> hello = report(kBrowserPatience);
    ASSERT_TRUE(hello);
    EXPECT_NE(hello->json.find(R"("type":"hello")"), std::string::npos) << hello->json;
    desktop->respond(hello->requestId, R"({"type":"answer","n":1})");
    std::optional<Request> answered = report();
    ASSERT_TRUE(answered);
    EXPECT_EQ(saw(*answered), R"({"type":"answer","n":1})");
    desktop->respond(answered->requestId, R"({"type":"ok"})");

    // The host the browser started: the helper in the agent's bundle, a child of the browser, without the
    // loader variable the browser handed it, serving the extension's origin.
    const std::vector<pid_t> hosts = processesOf(host_);
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(parentOf(hosts.front()), browser_->pid());
    EXPECT_EQ(environmentOf(hosts.front()).find("\nLD_LIBRARY_PATH="), std::string::npos);
    if (hostLogInBrowserLog) {
      EXPECT_EQ(count(readFile(browserLog()), "Serving " + origin + " for "), 1u) << readFile(browserLog());
      EXPECT_EQ(count(readFile(browserLog()), "Starting again without the loader's variables LD_LIBRARY_PATH"), 1u);
    }
    EXPECT_EQ(count(agentLogText(), "Extension <-> browser helper connected"), 1u) << agentLogText();

    // A broadcast reaches the extension.
    desktop->broadcast(R"({"type":"news","n":2})");
    std::optional<Request> news = report();
    ASSERT_TRUE(news);
    EXPECT_EQ(saw(*news), R"({"type":"news","n":2})");
    desktop->respond(news->requestId, R"({"type":"ok"})");

    // The desktop app quits: the extension gets the app-quit notification, and its report of it waits in the
    // agent until a desktop app is back.
    desktop->close();
    desktop.reset();
    ASSERT_TRUE(eventually([&] { return count(agentLogText(), log_lines::desktopAppDisconnected.text) == 1; }));
    ASSERT_TRUE(eventually([&] {
      return count(agentLogText(), "Received a message to be dispatched to main, but no desktop app is connected") == 1;
    }, 30s)) << agentLogText();
    desktop = startDesktopApp();
    std::optional<Request> quit = report();
    ASSERT_TRUE(quit);
    EXPECT_EQ(saw(*quit), R"({"type":"Notification","content":{"type":"AppQuit"}})");
    desktop->respond(quit->requestId, R"({"type":"ok"})");

    // The extension closes its port: the host ends, and the agent sees the extension go.
    desktop->broadcast(R"({"command":"disconnect"})");
    std::optional<Request> closing = report();
    ASSERT_TRUE(closing);
    EXPECT_EQ(saw(*closing), R"({"command":"disconnect"})");
    desktop->respond(closing->requestId, R"({"type":"ok"})");
    EXPECT_TRUE(eventually([&] { return processesOf(host_).empty(); }, 10s)) << "the host did not end";
    EXPECT_TRUE(eventually([&] { return count(agentLogText(), "Extension <-> browser helper disconnected") == 1; }))
        << agentLogText();
    if (hostLogInBrowserLog) {
      EXPECT_EQ(count(readFile(browserLog()), "The browser closed the port; ending"), 1u) << readFile(browserLog());
    }
  }

  fs::path place_;
  std::unique_ptr<tessaly::testing::TemporaryDirectory> scratchFolder_;
  fs::path scratch_;
  fs::path bundle_;
  fs::path host_;
  fs::path desktopExecutable_;
  std::unique_ptr<ChildProcess> agent_;
  std::unique_ptr<ChildProcess> browser_;
};

TEST_F(BrowserTest, HeadlessChromiumReachesTheDesktopApp) {
  if (!fs::exists(kChromium)) GTEST_SKIP() << kChromium << " is missing (Debian package chromium, scripts/setup.sh)";
  // The manifest goes where Chromium reads it for the profile folder it is given; the host finds it there
  // through the browser's command line, since its own configuration folder lies elsewhere.
  const fs::path profile = scratch_ / "chromium-profile";
  installManifest("chromium", kChromiumOrigin, {"XDG_CONFIG_HOME=" + profile.parent_path().native()});
  fs::rename(profile.parent_path() / "chromium", profile);
  startBrowser(kChromium, {"--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                           "--disable-background-networking", "--disable-component-update", "--disable-sync",
                           "--user-data-dir=" + profile.native(), "--load-extension=" + kExtension.native(),
                           "about:blank"});
  tellTheStory(kChromiumOrigin, /*hostLogInBrowserLog=*/true);
}

TEST_F(BrowserTest, HeadlessFirefoxReachesTheDesktopApp) {
  if (!fs::exists(kFirefox)) GTEST_SKIP() << kFirefox << " is missing (Debian package firefox-esr, scripts/setup.sh)";
  installManifest("firefox", kFirefoxId);
  // An unsigned extension loads from the profile when signatures are not required.
  const fs::path profile = scratch_ / "firefox-profile";
  fs::create_directories(profile / "extensions");
  fs::copy_file(kExtensionXpi, profile / "extensions" / kExtensionXpi.filename());
  writeFile(profile / "user.js",
            "user_pref(\"xpinstall.signatures.required\", false);\n"
            "user_pref(\"extensions.autoDisableScopes\", 0);\n");
  startBrowser(kFirefox, {"--headless", "--no-remote", "--profile", profile.native(), "about:blank"});
  tellTheStory(kFirefoxId, /*hostLogInBrowserLog=*/false);
}

// Started by a program that is not a browser, with everything else in order (a manifest that allows the
// origin), the host refuses and never reaches the agent. One parent is this test program; the other, /bin/sh,
// is installed by a package too, just not a browser's.
TEST_F(BrowserTest, AHostStartedByAnythingButABrowserIsRefused) {
  installManifest("chromium", kChromiumOrigin);
  std::vector<std::string> environment = this->environment();
  const RunResult direct = run(host_, {kChromiumOrigin}, environment, scratch_);
  EXPECT_EQ(direct.exitCode, 1);
  EXPECT_NE(direct.standardError.find("is not a supported browser"), std::string::npos) << direct.standardError;

  const RunResult fromShell =
      run("/bin/sh", {"-c", "\"$0\" \"$1\"; exit $?", host_.native(), kChromiumOrigin}, environment, scratch_);
  EXPECT_EQ(fromShell.exitCode, 1);
  EXPECT_NE(fromShell.standardError.find("is not an installed browser package: no installed browser package lists"),
            std::string::npos)
      << fromShell.standardError;
  EXPECT_NE(fromShell.standardError.find("is not a supported browser"), std::string::npos) << fromShell.standardError;

  // An origin no manifest allows is refused first.
  const RunResult stranger = run(host_, {"chrome-extension://pppppppppppppppppppppppppppppppp/"}, environment, scratch_);
  EXPECT_EQ(stranger.exitCode, 1);
  EXPECT_NE(stranger.standardError.find("for this program allows it"), std::string::npos) << stranger.standardError;

  EXPECT_EQ(count(agentLogText(), log_lines::receivingConnection.text), 0u) << agentLogText();
}

}  // namespace
}  // namespace tessaly::app::e2e
