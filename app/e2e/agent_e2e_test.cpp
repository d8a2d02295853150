// The agent as it runs: its bundle copied under /Applications or elsewhere, peers signed by the development
// authority of the build, and the agent's own log lines on standard error.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <mutex>
#include <regex>

#include "e2e_support.h"
#include "tessaly/broker/broker_log.h"

namespace tessaly::app::e2e {
namespace {

namespace log_lines = tessaly::broker::log_lines;

namespace fs = std::filesystem;

const fs::path kBundle = TESSALY_AGENT_BUNDLE;
const fs::path kDevPki = TESSALY_DEV_PKI;
const fs::path kPeerTool = TESSALY_PEER_TOOL;
const fs::path kCodesignTool = TESSALY_CODESIGN_TOOL;
constexpr std::string_view kRefused = tessaly::broker::log_lines::refusingUnsigned.text;

std::size_t count(const std::string& text, std::string_view line) {
  std::size_t n = 0;
  for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + line.size())) ++n;
  return n;
}

// Copies of tessaly-peer: signed by the agent's team, signed by another team, and unsigned. Made once.
struct Peers {
  fs::path sameTeam;
  fs::path otherTeam;
  fs::path unsigned_;
  fs::path folder;
};

const Peers& peers() {
  static const Peers made = [] {
    Peers p;
    p.folder = fs::temp_directory_path() / ("tessaly-e2e-peers-" + std::to_string(::getpid()));
    fs::create_directories(p.folder);
    p.sameTeam = p.folder / "peer-same-team";
    p.otherTeam = p.folder / "peer-other-team";
    p.unsigned_ = p.folder / "peer-unsigned";
    for (const fs::path& copy : {p.sameTeam, p.otherTeam, p.unsigned_}) {
      fs::copy_file(kPeerTool, copy, fs::copy_options::overwrite_existing);
    }
    const auto sign = [&](const fs::path& file, const char* identity) {
      const RunResult result = run(kCodesignTool,
                                   {"sign", "--identity", (kDevPki / "identities" / identity).native(),
                                    "--identifier", "com.tessaly.e2e-peer", file.native()},
                                   {}, p.folder);
      if (result.exitCode != 0) throw std::runtime_error("signing failed: " + result.standardError);
    };
    sign(p.sameTeam, "developer-id");
    sign(p.otherTeam, "other-team");
    return p;
  }();
  return made;
}

struct RemovePeers {
  ~RemovePeers() {
    std::error_code ignored;
    fs::remove_all(fs::temp_directory_path() / ("tessaly-e2e-peers-" + std::to_string(::getpid())), ignored);
  }
} removePeers;

class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const ApplicationsFolder& applications = applicationsFolder();
    if (!applications.folder.empty()) {
      static std::once_flag told;
      std::call_once(told, [&] {
        std::fprintf(stderr, "agents run from under /Applications through %s\n", applications.how.c_str());
      });
      place_ = applications.folder / ::testing::UnitTest::GetInstance()->current_test_info()->name();
      fs::create_directories(place_);
    }
    scratchFolder_ = std::make_unique<tessaly::testing::TemporaryDirectory>();
    scratch_ = scratchFolder_->path();
    fs::create_directories(scratch_ / "xpc");
  }
  void TearDown() override {
    agent_.reset();
    std::error_code ignored;
    if (!place_.empty()) fs::remove_all(place_, ignored);
    scratchFolder_.reset();
  }

  // The tests that run the agent from under /Applications skip when no such place could be had.
  bool underApplications() const { return !place_.empty(); }
  static std::string whyNotUnderApplications() {
    return "cannot run the agent from under /Applications: " + applicationsFolder().how;
  }

  // A copy of the signed agent bundle in `parent`.
  fs::path installAgent(const fs::path& parent) {
    const fs::path bundle = parent / kBundle.filename();
    fs::create_directories(parent);
    fs::copy(kBundle, bundle, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    return bundle;
  }

  std::vector<std::string> environment() const {
    return {"TESSALY_LOG=stderr", "TESSALY_XPC_DIR=" + (scratch_ / "xpc").native(),
            "TESSALY_TRUST_ANCHORS=" + (kDevPki / "anchors").native(), "TESSALY_URL_OPENER=/bin/true"};
  }

  void launch(const fs::path& bundle) {
    agent_ = startLogged(bundle / "Contents/MacOS" / kBundle.stem(), std::vector<std::string>{},
                                       environment(), log(), log());
  }
  fs::path log() const { return scratch_ / "agent.log"; }
  std::string logText() const { return readFile(log()); }
  fs::path socket() const { return scratch_ / "xpc" / kAgentIdentifier; }

  bool listening() const {
    return eventually([&] { return fs::exists(socket()) && count(logText(), log_lines::resumingListener.text) == 1; });
  }

  // The agent ends with status 0 after its termination stopped the server, which removed the socket.
  void expectStoppedCleanly() {
    const std::optional<int> status = agent_->wait();
    ASSERT_TRUE(status.has_value()) << "the agent is still running\n" << logText();
    EXPECT_TRUE(WIFEXITED(*status)) << "wait status " << *status;
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_EQ(count(logText(), log_lines::stoppingListener.text), 1u) << logText();
    EXPECT_FALSE(fs::exists(socket()));
  }

  RunResult echo(const fs::path& peer, const std::string& text) {
    return run(peer, {"echo", text}, environment(), scratch_);
  }

  fs::path place_;
  std::unique_ptr<tessaly::testing::TemporaryDirectory> scratchFolder_;
  fs::path scratch_;
  std::unique_ptr<ChildProcess> agent_;
};

TEST_F(AgentTest, LaunchedOutsideApplicationsItEndsAtOnceWithoutAListener) {
  for (const fs::path& parent : {scratch_ / "Users/u/Applications", scratch_ / "applications"}) {
    fs::remove(log());
    launch(installAgent(parent));
    expectStoppedCleanly();
    // The server was never started, yet termination stopped it.
    EXPECT_EQ(count(logText(), log_lines::startingListener.text), 0u) << logText();
    EXPECT_EQ(echo(peers().sameTeam, "anyone?").exitCode, 1);
  }
}

TEST_F(AgentTest, LaunchedUnderApplicationsItServesPeersOfItsTeamOnly) {
  if (!underApplications()) GTEST_SKIP() << whyNotUnderApplications();
  launch(installAgent(place_));
  ASSERT_TRUE(listening()) << logText();

  const RunResult served = echo(peers().sameTeam, "hello from the same team");
  EXPECT_EQ(served.exitCode, 0) << served.standardError;
  EXPECT_EQ(served.standardOutput, "hello from the same team\n");

  for (const fs::path& stranger : {peers().unsigned_, peers().otherTeam}) {
    const RunResult refused = echo(stranger, "let me in");
    EXPECT_EQ(refused.exitCode, 1) << stranger;
    EXPECT_EQ(refused.standardOutput, "") << stranger;
  }
  EXPECT_EQ(count(logText(), kRefused), 2u) << logText();
  EXPECT_EQ(count(logText(), "Received an echo request. Things are up and running!"), 1u);

  // Still serving after the refusals.
  EXPECT_EQ(echo(peers().sameTeam, "again").standardOutput, "again\n");
}

// Each peer takes two descriptors: an agent started with a user session's soft limit of 1,024 raises it to
// the hard limit first thing.
TEST_F(AgentTest, RaisesItsSoftDescriptorLimitToTheHardOne) {
  if (!underApplications()) GTEST_SKIP() << whyNotUnderApplications();
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max <= 256) GTEST_SKIP() << "the hard limit leaves nothing to raise";
  rlimit low = saved;
  low.rlim_cur = 256;  // inherited by the agent
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  launch(installAgent(place_));
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(listening()) << logText();
  const std::string limits = readFile("/proc/" + std::to_string(agent_->pid()) + "/limits");
  const std::string hard = saved.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(saved.rlim_max);
  EXPECT_TRUE(std::regex_search(limits, std::regex("Max open files +" + hard + " +" + hard + " "))) << limits;
}

TEST_F(AgentTest, TerminationSignalsStopItCleanly) {
  if (!underApplications()) GTEST_SKIP() << whyNotUnderApplications();
  for (int signal : {SIGTERM, SIGINT}) {
    fs::remove(log());
    launch(installAgent(place_ / std::to_string(signal)));
    ASSERT_TRUE(listening()) << logText();
    agent_->signal(signal);
    expectStoppedCleanly();
    EXPECT_EQ(count(logText(), log_lines::startingListener.text), 1u);
  }
}

// What the socket unit does, done by systemd's own tool: it listens on the service socket, starts the agent
// when the first peer connects and hands the socket over. The agent leaves the socket in place when it ends.
TEST_F(AgentTest, StartsOnDemandWhenTheFirstPeerConnects) {
  if (!underApplications()) GTEST_SKIP() << whyNotUnderApplications();
  const fs::path activator = "/usr/bin/systemd-socket-activate";
  if (!fs::exists(activator)) GTEST_SKIP() << activator << " is missing (Debian package systemd)";
  const fs::path bundle = installAgent(place_);
  std::vector<std::string> arguments;
  for (const std::string& variable : environment()) arguments.insert(arguments.end(), {"-E", variable});
  arguments.insert(arguments.end(), {"-l", socket().native(), std::string("--fdname=") + kAgentIdentifier,
                                     (bundle / "Contents/MacOS" / kBundle.stem()).native()});
  agent_ = startLogged(activator, arguments, std::vector<std::string>{}, log(), log());
  ASSERT_TRUE(eventually([&] { return fs::exists(socket()) && count(logText(), "Listening on") == 1; }))
      << logText();
  EXPECT_EQ(count(logText(), log_lines::startingListener.text), 0u) << "started before anyone asked";

  const RunResult served = echo(peers().sameTeam, "on demand");
  EXPECT_EQ(served.standardOutput, "on demand\n") << served.standardError << logText();
  EXPECT_EQ(count(logText(), "listening on the socket passed by systemd"), 1u) << logText();
  EXPECT_EQ(echo(peers().unsigned_, "me too").exitCode, 1);

  struct stat before {};
  ASSERT_EQ(::stat(socket().c_str(), &before), 0);
  agent_->signal(SIGTERM);
  const std::optional<int> status = agent_->wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
  EXPECT_EQ(count(logText(), log_lines::stoppingListener.text), 1u);
  struct stat after {};
  ASSERT_EQ(::stat(socket().c_str(), &after), 0) << "the socket unit's socket was removed";
  EXPECT_EQ(after.st_ino, before.st_ino);
}

// An agent that cannot publish its service would run unreachable while systemd and the user took it for
// running: it says why and ends with a failure status. The causes: a socket folder others may write to, one
// that belongs to another user (as anyone may make the fallback folder in /tmp), the name held by a live agent.
TEST_F(AgentTest, WhenItCannotPublishItsServiceItSaysWhyAndEndsWithAFailure) {
  if (!underApplications()) GTEST_SKIP() << whyNotUnderApplications();
  struct Case {
    const char* name;
    std::function<void(const fs::path& folder)> prepare;
    const char* reason;
  };
  std::unique_ptr<ChildProcess> holder;  // a live agent that publishes the name first
  const std::vector<Case> cases{
      {"open folder", [](const fs::path& folder) { ASSERT_EQ(::chmod(folder.c_str(), 0777), 0); },
       "is open to others (mode 0777)"},
      {"foreign folder", [](const fs::path& folder) { ASSERT_EQ(::chown(folder.c_str(), 4242, 4242), 0); },
       "belongs to user 4242"},
      {"name in use",
       [&](const fs::path&) {
         holder = startLogged(installAgent(place_ / "holder") / "Contents/MacOS" / kBundle.stem(),
                                            std::vector<std::string>{}, environment(), scratch_ / "holder.log",
                                            scratch_ / "holder.log");
         ASSERT_TRUE(eventually([&] { return fs::exists(socket()); }));
       },
       "another running listener holds the name"},
  };
  for (const Case& c : cases) {
    fs::remove_all(scratch_ / "xpc");
    fs::create_directories(scratch_ / "xpc");
    fs::remove(log());
    c.prepare(scratch_ / "xpc");
    launch(installAgent(place_ / c.name));
    const std::optional<int> status = agent_->wait();
    ASSERT_TRUE(status.has_value()) << c.name << ": the agent is still running\n" << logText();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << c.name << ": wait status " << *status;
    EXPECT_EQ(count(logText(), c.reason), 1u) << c.name << "\n" << logText();
    EXPECT_EQ(count(logText(), "<3>the IPC service could not be published"), 1u) << c.name << "\n" << logText();
    EXPECT_EQ(count(logText(), log_lines::stoppingListener.text), 1u) << c.name;
  }
  holder.reset();
}

// What happens to the bundle while the agent runs from it.
struct BundleChange {
  const char* name;
  std::function<void(const fs::path& bundle, const fs::path& place)> apply;
};

void PrintTo(const BundleChange& change, std::ostream* out) { *out << change.name; }

class BundleChangeTest : public AgentTest, public ::testing::WithParamInterface<BundleChange> {};

TEST_P(BundleChangeTest, EndsTheAgentAndStopsTheServer) {
  if (!underApplications()) GTEST_SKIP() << whyNotUnderApplications();
  const fs::path bundle = installAgent(place_);
  launch(bundle);
  ASSERT_TRUE(listening()) << logText();
  GetParam().apply(bundle, place_);
  expectStoppedCleanly();
}

INSTANTIATE_TEST_SUITE_P(
    Bundle, BundleChangeTest,
    ::testing::Values(
        BundleChange{"Renamed", [](const fs::path& bundle, const fs::path& place) {
                       fs::rename(bundle, place / "Renamed Helper.app");
                     }},
        BundleChange{"MovedToAnotherFolder", [](const fs::path& bundle, const fs::path& place) {
                       fs::create_directories(place / "Utilities");
                       fs::rename(bundle, place / "Utilities" / bundle.filename());
                     }},
        BundleChange{"FolderAboveRenamed", [](const fs::path&, const fs::path& place) {
                       fs::rename(place, place.native() + "-renamed");
                       fs::rename(place.native() + "-renamed", place);
                     }},
        BundleChange{"FileAdded", [](const fs::path& bundle, const fs::path&) {
                       writeFile(bundle / "Contents/Resources/added.txt", "x");
                     }},
        BundleChange{"InfoPlistRewritten", [](const fs::path& bundle, const fs::path&) {
                       writeFile(bundle / "Contents/Info.plist", readFile(bundle / "Contents/Info.plist"));
                     }},
        BundleChange{"Deleted", [](const fs::path& bundle, const fs::path&) { fs::remove_all(bundle); }}),
    [](const ::testing::TestParamInfo<BundleChange>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessaly::app::e2e
