#include "test_environment.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>

#include <string>

#include "tessaly/testing/files.h"

namespace tessaly::platform::testing {
namespace {

namespace fs = std::filesystem;

class TemporaryUser : public ::testing::Environment {
 public:
  TemporaryUser() {
    ::setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
    // Neither a TPM nor a Secret Service: the device keys of these tests are plain files (the TPM tests
    // bring their own software TPM).
    if (std::getenv("TPM2OPENSSL_TCTI") == nullptr) ::setenv("TPM2OPENSSL_TCTI", "none", 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tessaly-no-bus", 1);
    ::unsetenv("DISPLAY");
  }
  tessaly::testing::TemporaryDirectory scratch;
  const fs::path& folder = scratch.path();
};

TemporaryUser* const user = static_cast<TemporaryUser*>(::testing::AddGlobalTestEnvironment(new TemporaryUser));

}  // namespace

const std::filesystem::path& temporaryUserFolder() { return user->folder; }

std::size_t threadsOfThisProcess() {
  std::size_t threads = 0;
  for ([[maybe_unused]] const auto& task : fs::directory_iterator("/proc/self/task")) ++threads;
  return threads;
}

}  // namespace tessaly::platform::testing
