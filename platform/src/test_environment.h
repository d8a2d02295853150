// The per-user folders of the platform tests: a temporary home, set before anything reads them.
#pragma once

#include <filesystem>

namespace tessaly::platform::testing {

// XDG_CONFIG_HOME (user defaults) and XDG_DATA_HOME (key store) of this test program.
const std::filesystem::path& temporaryUserFolder();

}  // namespace tessaly::platform::testing
