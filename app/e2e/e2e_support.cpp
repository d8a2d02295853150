#include "e2e_support.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <stdexcept>

namespace tessaly::app::e2e {

namespace {

constexpr const char* kApplications = "/Applications";

// The folder made for the agents: under the real /Applications, or mounted on /Applications in a private mount
// namespace; removed with everything in it at exit.
std::unique_ptr<tessaly::testing::TemporaryDirectory> made;

ApplicationsFolder prepareApplicationsFolder() {
  std::error_code error;
  fs::create_directories(kApplications, error);
  if (!fs::is_directory(kApplications)) {
    return {{}, "/Applications is not a folder and cannot be made: " + error.message()};
  }
  try {
    // A private mount namespace (this process is still single-threaded): nothing outside the test sees it.
    if (::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
      made = std::make_unique<tessaly::testing::TemporaryDirectory>();
      if (::mount(made->path().c_str(), kApplications, nullptr, MS_BIND, nullptr) == 0) {
        fs::create_directories(fs::path(kApplications) / "e2e");
        return {fs::path(kApplications) / "e2e",
                "a private mount namespace with " + made->path().native() + " on " + kApplications};
      }
    }
    made = std::make_unique<tessaly::testing::TemporaryDirectory>(kApplications);
    return {made->path(), "the real /Applications, in " + made->path().native()};
  } catch (const std::exception& failure) {
    return {
        {},
        std::string("no private mount namespace (needs CAP_SYS_ADMIN) and none in /Applications: ") + failure.what()};
  }
}

}  // namespace

const ApplicationsFolder& applicationsFolder() {
  static const ApplicationsFolder folder = prepareApplicationsFolder();
  return folder;
}

// Made before main, while the test program has one thread, so that the mount namespace can be made.
[[maybe_unused]] static const ApplicationsFolder& kPreparedAtStart = applicationsFolder();

void sign(const fs::path& target, const std::string& identity, const std::string& identifier) {
  const fs::path identityFile = kDevPki / "identities" / identity;
  const RunResult result = tessaly::testing::run(TESSALY_CODESIGN_TOOL, {"sign", "--identity", identityFile.native(),
                                                                         "--identifier", identifier, target.native()});
  if (result.exitCode != 0) throw std::runtime_error("signing " + target.native() + " failed: " + result.standardError);
}

void AgentTest::SetUp() {
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
  fs::create_directories(scratch_ / "home");
}

void AgentTest::TearDown() {
  agent_.reset();
  std::error_code ignored;
  if (!place_.empty()) fs::remove_all(place_, ignored);
  scratchFolder_.reset();
}

fs::path AgentTest::installAgent(const fs::path& parent) {
  const fs::path bundle = parent / kBundle.filename();
  fs::create_directories(parent);
  fs::copy(kBundle, bundle, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  return bundle;
}

std::vector<std::string> AgentTest::environment() const {
  return {"TESSALY_LOG=stderr",
          "TESSALY_XPC_DIR=" + (scratch_ / "xpc").native(),
          "TESSALY_TRUST_ANCHORS=" + (kDevPki / "anchors").native(),
          "TESSALY_URL_OPENER=/bin/true",
          "HOME=" + (scratch_ / "home").native(),
          "XDG_CONFIG_HOME=" + (scratch_ / "home/.config").native()};
}

std::unique_ptr<ChildProcess> AgentTest::launch(const fs::path& bundle, const fs::path& log) const {
  return std::make_unique<ChildProcess>(agentProgram(bundle), std::vector<std::string>{}, environment(),
                                        tessaly::testing::Streams{log, log});
}

}  // namespace tessaly::app::e2e
