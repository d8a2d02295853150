#include "test_environment.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace tessaly::platform::testing {
namespace {

namespace fs = std::filesystem;

class TemporaryUser : public ::testing::Environment {
 public:
  TemporaryUser() {
    std::string pattern = (fs::temp_directory_path() / "tessaly-platform.XXXXXX").string();
    folder = ::mkdtemp(pattern.data());
    ::setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
  }
  ~TemporaryUser() override { fs::remove_all(folder); }
  fs::path folder;
};

TemporaryUser* const user = static_cast<TemporaryUser*>(::testing::AddGlobalTestEnvironment(new TemporaryUser));

}  // namespace

const std::filesystem::path& temporaryUserFolder() { return user->folder; }

}  // namespace tessaly::platform::testing
