// The per-user folders of the platform tests: a temporary home, set before anything reads them.
#pragma once

#include <cstddef>
#include <filesystem>

namespace tessaly::platform::testing {

// XDG_CONFIG_HOME (user defaults) and XDG_DATA_HOME (key store) of this test program. Unless the program has
// set TPM2OPENSSL_TCTI itself, no TPM is used, and no Secret Service is reachable.
const std::filesystem::path& temporaryUserFolder();

// How many threads this process runs now.
std::size_t threadsOfThisProcess();

}  // namespace tessaly::platform::testing
