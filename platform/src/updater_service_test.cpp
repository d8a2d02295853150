#include "tessaly/platform/updater_service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/listener_delegate.h"

namespace tessaly::platform {
namespace {

namespace fs = std::filesystem;

// The updater of this process: keeps what it is asked to run.
class RecordingUpdater : public TSUpdaterServiceProtocol {
 public:
  void runUpdateUsing(const xpc::Data& update) override {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.emplace(update.span().begin(), update.span().end());
    arrived_.notify_all();
  }
  std::optional<std::string> waitForUpdate(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, limit, [&] { return received_.has_value(); });
    return received_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::optional<std::string> received_;
};

TEST(UpdaterService, AHostCallsAnotherProcesssUpdaterThroughTheDeclaredProtocol) {
  tessaly::testing::TemporaryDirectory scratch;
  const fs::path& folder = scratch.path();
  const std::string name = "com.example.updater";
  xpc::ServiceOptions options;
  options.directory = folder.string();
  auto updater = std::make_shared<RecordingUpdater>();
  auto listener = xpc::Listener::create(name, options);
  listener->setDelegate(std::make_shared<tessaly::testing::FunctionDelegate>(
      [&](xpc::Listener&, const std::shared_ptr<xpc::Connection>& connection) {
        connection->setExportedInterface(TSUpdaterServiceProtocol::interface());
        connection->setExportedObject(updater);
        connection->resume();
        return true;
      }));
  ASSERT_EQ(listener->resume(), xpc::Error::none);

  tessaly::testing::ChildProcess peer(PLATFORM_UPDATER_PEER, {folder.string(), name, "update-bundle-42"});

  EXPECT_EQ(updater->waitForUpdate(std::chrono::seconds(10)), "update-bundle-42");
  EXPECT_EQ(TSUpdaterServiceProtocol::interface().name(), "tessaly_platform.TSUpdaterServiceProtocol");

  listener->invalidate();
}

}  // namespace
}  // namespace tessaly::platform
