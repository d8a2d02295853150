// The agent as it runs: its bundle copied under /Applications or elsewhere, peers signed by the development
// authority of the build, and the agent's own log lines on standard error.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "e2e_support.h"

namespace tessaly::app::e2e {
namespace {

constexpr std::string_view kRefused = log_lines::refusingUnsigned.text;

// Copies of tessaly-peer: signed by the agent's team, signed by another team, and unsigned. Made once.
struct Peers {
  tessaly::testing::TemporaryDirectory folder;
  fs::path sameTeam = folder.path() / "peer-same-team";
  fs::path otherTeam = folder.path() / "peer-other-team";
  fs::path unsigned_ = folder.path() / "peer-unsigned";
  Peers() {
    for (const fs::path& copy : {sameTeam, otherTeam, unsigned_}) fs::copy_file(kPeerTool, copy);
    sign(sameTeam, "developer-id", "com.tessaly.e2e-peer");
    sign(otherTeam, "other-team", "com.tessaly.e2e-peer");
  }
};

const Peers& peers() {
  static const Peers made;
  return made;
}

class AgentE2eTest : public AgentTest {
 protected:
  // The agent's exit status once it has ended; -1 when it is still running or a signal ended it.
  int exitStatus() {
    const std::optional<int> status = agent_->wait();
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  }
  // The agent ends with status 0 after its termination stopped the server, which removed the socket.
  void expectStoppedCleanly() {
    EXPECT_EQ(exitStatus(), 0) << logText();
    EXPECT_EQ(occurrences(logText(), log_lines::stoppingListener.text), 1u) << logText();
    EXPECT_FALSE(fs::exists(socket()));
  }
  RunResult echo(const fs::path& peer, const std::string& text) {
    return tessaly::testing::run(peer, {"echo", text}, environment());
  }
};

TEST_F(AgentE2eTest, LaunchedOutsideApplicationsItEndsAtOnceWithoutAListener) {
  for (const fs::path& parent : {scratch_ / "Users/u/Applications", scratch_ / "applications"}) {
    fs::remove(log());
    launch(installAgent(parent));
    expectStoppedCleanly();
    // The server was never started, yet termination stopped it.
    EXPECT_EQ(occurrences(logText(), log_lines::startingListener.text), 0u) << logText();
    EXPECT_EQ(echo(peers().sameTeam, "anyone?").exitCode, 1);
  }
}

// Under /Applications it serves peers of its team only. Each peer takes two descriptors: an agent started with
// a user session's low soft limit raises it to the hard limit first thing.
TEST_F(AgentE2eTest, LaunchedUnderApplicationsItServesPeersOfItsTeamOnly) {
  if (place_.empty()) GTEST_SKIP() << whyNotUnderApplications();
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = std::min<rlim_t>(256, saved.rlim_max);  // inherited by the agent
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  launch(installAgent(place_));
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(listening()) << logText();
  const std::string limits = readFile("/proc/" + std::to_string(agent_->pid()) + "/limits");
  const std::string hard = saved.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(saved.rlim_max);
  EXPECT_TRUE(std::regex_search(limits, std::regex("Max open files +" + hard + " +" + hard + " "))) << limits;

  const RunResult served = echo(peers().sameTeam, "hello from the same team");
  EXPECT_EQ(served.exitCode, 0) << served.standardError;
  EXPECT_EQ(served.standardOutput, "hello from the same team\n");

  for (const fs::path& stranger : {peers().unsigned_, peers().otherTeam}) {
    const RunResult refused = echo(stranger, "let me in");
    EXPECT_EQ(refused.exitCode, 1) << stranger;
    EXPECT_EQ(refused.standardOutput, "") << stranger;
  }
  EXPECT_EQ(occurrences(logText(), kRefused), 2u) << logText();
  EXPECT_EQ(occurrences(logText(), log_lines::echoReceived.text), 1u);

  // Still serving after the refusals.
  EXPECT_EQ(echo(peers().sameTeam, "again").standardOutput, "again\n");
}

// What the socket unit does, done by systemd's own tool: it listens on the service socket, starts the agent
// when the first peer connects and hands the socket over. The agent leaves the socket in place when it ends.
TEST_F(AgentE2eTest, StartsOnDemandWhenTheFirstPeerConnects) {
  if (place_.empty()) GTEST_SKIP() << whyNotUnderApplications();
  const fs::path activator = "/usr/bin/systemd-socket-activate";
  if (!fs::exists(activator)) GTEST_SKIP() << activator << " is missing (Debian package systemd)";
  const fs::path bundle = installAgent(place_);
  std::vector<std::string> arguments;
  for (const std::string& variable : environment()) arguments.insert(arguments.end(), {"-E", variable});
  arguments.insert(arguments.end(), {"-l", socket().native(), std::string("--fdname=") + kAgentIdentifier,
                                     agentProgram(bundle).native()});
  agent_ = std::make_unique<ChildProcess>(activator, arguments, std::vector<std::string>{},
                                          tessaly::testing::Streams{log(), log()});
  ASSERT_TRUE(eventually([&] { return fs::exists(socket()) && occurrences(logText(), "Listening on") == 1; }))
      << logText();
  EXPECT_EQ(occurrences(logText(), log_lines::startingListener.text), 0u) << "started before anyone asked";

  const RunResult served = echo(peers().sameTeam, "on demand");
  EXPECT_EQ(served.standardOutput, "on demand\n") << served.standardError << logText();
  EXPECT_EQ(occurrences(logText(), "listening on the socket passed by systemd"), 1u) << logText();
  EXPECT_EQ(echo(peers().unsigned_, "me too").exitCode, 1);

  struct stat before {};
  ASSERT_EQ(::stat(socket().c_str(), &before), 0);
  agent_->signal(SIGTERM);
  EXPECT_EQ(exitStatus(), 0) << logText();
  EXPECT_EQ(occurrences(logText(), log_lines::stoppingListener.text), 1u);
  struct stat after {};
  ASSERT_EQ(::stat(socket().c_str(), &after), 0) << "the socket unit's socket was removed";
  EXPECT_EQ(after.st_ino, before.st_ino);
}

// An agent that cannot publish its service would run unreachable while systemd and the user took it for
// running: it says why and ends with a failure status. The causes: a socket folder others may write to, one
// that belongs to another user (as anyone may make the fallback folder in /tmp), the name held by a live agent.
TEST_F(AgentE2eTest, WhenItCannotPublishItsServiceItSaysWhyAndEndsWithAFailure) {
  if (place_.empty()) GTEST_SKIP() << whyNotUnderApplications();
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
         holder = launch(installAgent(place_ / "holder"), scratch_ / "holder.log");
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
    EXPECT_EQ(exitStatus(), 1) << c.name << "\n" << logText();
    EXPECT_EQ(occurrences(logText(), c.reason), 1u) << c.name << "\n" << logText();
    EXPECT_EQ(occurrences(logText(), "<3>the IPC service could not be published"), 1u) << c.name << "\n" << logText();
    EXPECT_EQ(occurrences(logText(), log_lines::stoppingListener.text), 1u) << c.name;
  }
  holder.reset();
}

// A termination signal, or a move, rename or change of its bundle while the agent runs from it, ends the agent,
// which stops the server.
TEST_F(AgentE2eTest, ATerminationSignalOrAChangeOfItsBundleEndsTheAgentAndStopsTheServer) {
  if (place_.empty()) GTEST_SKIP() << whyNotUnderApplications();
  using Change = std::function<void(const fs::path& bundle, const fs::path& place)>;
  const std::vector<std::pair<const char*, Change>> changes{
      {"SIGTERM", [this](const fs::path&, const fs::path&) { agent_->signal(SIGTERM); }},
      {"SIGINT", [this](const fs::path&, const fs::path&) { agent_->signal(SIGINT); }},
      {"renamed", [](const fs::path& bundle, const fs::path& place) { fs::rename(bundle, place / "Renamed.app"); }},
      {"moved",
       [](const fs::path& bundle, const fs::path& place) {
         fs::create_directories(place / "Utilities");
         fs::rename(bundle, place / "Utilities" / bundle.filename());
       }},
      {"folder above renamed",
       [](const fs::path&, const fs::path& place) {
         fs::rename(place, place.native() + "-renamed");
         fs::rename(place.native() + "-renamed", place);
       }},
      {"file added", [](const fs::path& bundle, const fs::path&) { writeFile(bundle / "Contents/Resources/x", "x"); }},
      {"Info.plist rewritten",
       [](const fs::path& bundle, const fs::path&) {
         writeFile(bundle / "Contents/Info.plist", readFile(bundle / "Contents/Info.plist"));
       }},
      {"deleted", [](const fs::path& bundle, const fs::path&) { fs::remove_all(bundle); }}};
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(name);
    fs::remove(log());
    const fs::path bundle = installAgent(place_ / name);
    launch(bundle);
    ASSERT_TRUE(listening()) << logText();
    change(bundle, place_ / name);
    expectStoppedCleanly();
  }
}

}  // namespace
}  // namespace tessaly::app::e2e
