// Small file helpers shared by the bundle and process lookups.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tessaly::appkit::detail {

// The whole regular file at `path` if it is at most `maxSize` bytes (a final symbolic link is followed).
std::optional<std::string> readSmallFile(const std::string& path, std::size_t maxSize);

// The executable of process `process` ("self" or a decimal pid) from /proc/<process>/exe, without the
// " (deleted)" mark the kernel adds once the file is gone. Nothing when the link cannot be read.
std::optional<std::string> executableOfProcess(const std::string& process);

}  // namespace tessaly::appkit::detail
