// Real browsers reach the desktop app: headless Chromium and Firefox ESR load the project's extension, start
// the native-messaging host from the agent's bundle, and the extension talks through the host and the agent
// (run from under /Applications) to a desktop app, which drives the story and sees everything the extension
// reports. Also: a host started by anything but a browser is refused before it reaches the agent.
#include <signal.h>
#include <simdjson.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "base64.h"
#include "e2e_support.h"
#include "tessaly/testing/signed_peers.h"

namespace tessaly::app::e2e {
namespace {

using namespace std::chrono_literals;

const fs::path kExtension = TESSALY_TEST_EXTENSION;
const fs::path kExtensionXpi = TESSALY_TEST_EXTENSION_XPI;
const fs::path kChromium = "/usr/lib/chromium/chromium";
const fs::path kFirefox = "/usr/lib/firefox-esr/firefox-esr";
constexpr const char* kChromiumOrigin = "chrome-extension://ojfnbbifgjdpmhiokpfbamkhnnckdidm/";
constexpr const char* kFirefoxId = "browser-helper-check@tessaly.com";
// Starting a browser, loading the extension and starting the host take a while on a busy machine.
constexpr auto kBrowserPatience = 90s;

const bool kPipesDoNotKill = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();

std::string frame(const std::string& json) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((json.size() >> (8 * i)) & 0xff));
  return bytes + json;
}

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

  // The next request relayed from an extension, or nothing when no line comes within `patience`.
  std::optional<Request> nextRequest(std::chrono::milliseconds patience) {
    for (;;) {
      std::optional<std::string> line;
      if (!backlog_.empty()) {
        line = backlog_.front();
        backlog_.erase(backlog_.begin());
      } else {
        line = session_.readLine(patience);
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
  }
  void respond(const std::string& requestId, const std::string& json) {
    session_.writeLine(R"({"op":"respond","requestId":")" + requestId + R"(","body":")" +
                       peer::encodeBase64(frame(json)) + "\"}");
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

// The parent's id: in /proc/PID/stat, after the command's closing parenthesis and the state.
pid_t parentOf(pid_t pid) {
  const std::string text = readFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = text.rfind(')');
  return close == std::string::npos || close + 4 >= text.size() ? -1 : std::stoi(text.substr(close + 4));
}

class BrowserTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    if (place_.empty()) GTEST_SKIP() << whyNotUnderApplications();
    bundle_ = installAgent(place_);
    host_ = bundle_ / "Contents/Helpers/tessaly-nm-host";
    launch(bundle_);
    ASSERT_TRUE(listening()) << logText();
    desktopExecutable_ = makeDesktopApp();
  }
  void TearDown() override {
    if (browser_) ::kill(-browser_->pid(), SIGKILL);  // the browser and every process it started
    browser_.reset();
    AgentTest::TearDown();
  }

  fs::path browserLog() const { return scratch_ / "browser.log"; }

  // Tessaly.app: tessaly-peer as the main executable of a bundle signed by the agent's team.
  fs::path makeDesktopApp() {
    testing::BundleLayout layout;
    layout.name = "Tessaly";
    layout.identifier = "com.tessaly.desktop";
    layout.executable = kPeerTool;
    const fs::path app = testing::makeBundle(scratch_, layout);
    sign(app, "developer-id", "com.tessaly.desktop");
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
    const RunResult installed =
        testing::run(host_, {"install", "--user", "--browser", browser, "--extension-id", id}, environment);
    ASSERT_EQ(installed.exitCode, 0) << installed.standardError;
  }

  void startBrowser(const fs::path& program, std::vector<std::string> arguments) {
    std::vector<std::string> environment = this->environment();
    // A loader variable from the browser, which the host must not keep.
    environment.push_back("LD_LIBRARY_PATH=/nonexistent/tessaly-check");
    arguments.insert(arguments.begin(), program.native());
    // In a session of its own, so that the browser and all it starts end together.
    browser_ = std::make_unique<ChildProcess>("/usr/bin/setsid", arguments, environment,
                                              testing::Streams{browserLog(), browserLog()});
  }

  // The story with a browser whose extension has connected: the desktop app answers, broadcasts, quits and
  // comes back, and finally has the extension close its port. Chromium passes the host's standard error on to
  // its own, where the host's log lines can be read; Firefox keeps it for its browser console.
  void tellTheStory(const std::string& origin, bool hostLogInBrowserLog) {
    std::unique_ptr<DesktopApp> desktop = startDesktopApp();
    const auto report = [&](std::chrono::milliseconds patience = 30s) -> std::optional<Request> {
      std::optional<Request> request = desktop->nextRequest(patience);
      if (!request)
        ADD_FAILURE() << "no report from the extension\nagent:\n"
                      << logText() << "\nbrowser:\n"
                      << readFile(browserLog());
      return request;
    };
    // The next report says the extension saw `message`; the desktop app answers it.
    const auto expectSaw = [&](const std::string& message) {
      const std::optional<Request> request = report();
      ASSERT_TRUE(request);
      simdjson::dom::parser parser;
      simdjson::dom::element json;
      std::string_view type;
      ASSERT_FALSE(parser.parse(request->json).get(json) || json["type"].get(type) || type != "saw") << request->json;
      EXPECT_EQ(simdjson::minify(json["message"]), message);
      desktop->respond(request->requestId, R"({"type":"ok"})");
    };

    // The extension says hello as soon as it runs, and sees the desktop app's answer.
    std::optional<Request> hello = report(kBrowserPatience);
    ASSERT_TRUE(hello);
    EXPECT_NE(hello->json.find(R"("type":"hello")"), std::string::npos) << hello->json;
    desktop->respond(hello->requestId, R"({"type":"answer","n":1})");
    expectSaw(R"({"type":"answer","n":1})");

    // The host the browser started: the helper in the agent's bundle, a child of the browser, without the
    // loader variable the browser handed it, serving the extension's origin.
    const std::vector<pid_t> hosts = processesOf(host_);
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(parentOf(hosts.front()), browser_->pid());
    const std::string variables = readFile("/proc/" + std::to_string(hosts.front()) + "/environ");
    EXPECT_FALSE(variables.starts_with("LD_LIBRARY_PATH=")) << variables;
    EXPECT_EQ(variables.find(std::string(1, '\0') + "LD_LIBRARY_PATH="), std::string::npos);
    if (hostLogInBrowserLog) {
      EXPECT_EQ(occurrences(readFile(browserLog()), "Serving " + origin + " for "), 1u) << readFile(browserLog());
      EXPECT_EQ(occurrences(readFile(browserLog()), "Starting again without the loader's variables LD_LIBRARY_PATH"),
                1u);
    }
    EXPECT_EQ(occurrences(logText(), log_lines::extensionConnected.text), 1u) << logText();

    // A broadcast reaches the extension.
    desktop->broadcast(R"({"type":"news","n":2})");
    expectSaw(R"({"type":"news","n":2})");

    // The desktop app quits: the extension gets the app-quit notification, and its report of it waits in the
    // agent until a desktop app is back.
    desktop->close();
    desktop.reset();
    ASSERT_TRUE(eventually([&] { return occurrences(logText(), log_lines::desktopAppDisconnected.text) == 1; }));
    ASSERT_TRUE(eventually([&] { return occurrences(logText(), log_lines::wakingMainApp.text) == 1; }, 30s))
        << logText();
    desktop = startDesktopApp();
    expectSaw(R"({"type":"Notification","content":{"type":"AppQuit"}})");

    // The extension closes its port: the host ends, and the agent sees the extension go.
    desktop->broadcast(R"({"command":"disconnect"})");
    expectSaw(R"({"command":"disconnect"})");
    EXPECT_TRUE(eventually([&] { return processesOf(host_).empty(); }, 10s)) << "the host did not end";
    EXPECT_TRUE(eventually([&] { return occurrences(logText(), log_lines::extensionDisconnected.text) == 1; }))
        << logText();
    if (hostLogInBrowserLog) {
      EXPECT_EQ(occurrences(readFile(browserLog()), "The browser closed the port; ending"), 1u)
          << readFile(browserLog());
    }
  }

  fs::path bundle_;
  fs::path host_;
  fs::path desktopExecutable_;
  std::unique_ptr<ChildProcess> browser_;
};

TEST_F(BrowserTest, HeadlessChromiumReachesTheDesktopApp) {
  if (!fs::exists(kChromium)) GTEST_SKIP() << kChromium << " is missing (Debian package chromium, scripts/setup.sh)";
  // The manifest goes where Chromium reads it for the profile folder it is given; the host finds it there
  // through the browser's command line, since its own configuration folder lies elsewhere.
  const fs::path profile = scratch_ / "chromium-profile";
  installManifest("chromium", kChromiumOrigin, {"XDG_CONFIG_HOME=" + profile.parent_path().native()});
  fs::rename(profile.parent_path() / "chromium", profile);
  startBrowser(kChromium,
               {"--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile.native(),
                "--load-extension=" + kExtension.native(), "about:blank"});
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
  struct Case {
    fs::path program;
    std::vector<std::string> arguments;
    std::vector<const char*> says;
  };
  const std::vector<Case> cases{
      {host_, {kChromiumOrigin}, {"is not a supported browser"}},
      {"/bin/sh",
       {"-c", "\"$0\" \"$1\"; exit $?", host_.native(), kChromiumOrigin},
       {"is not an installed browser package: no installed browser package lists", "is not a supported browser"}},
      // An origin no manifest allows is refused first.
      {host_, {"chrome-extension://pppppppppppppppppppppppppppppppp/"}, {"for this program allows it"}}};
  for (const Case& c : cases) {
    const RunResult result = testing::run(c.program, c.arguments, environment());
    EXPECT_EQ(result.exitCode, 1) << c.program;
    for (const char* text : c.says)
      EXPECT_NE(result.standardError.find(text), std::string::npos) << result.standardError;
  }
  EXPECT_EQ(occurrences(logText(), log_lines::receivingConnection.text), 0u) << logText();
}

}  // namespace
}  // namespace tessaly::app::e2e
