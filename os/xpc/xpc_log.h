// Log lines of the IPC layer, written to the system log under one subsystem.
#pragma once

#include <string_view>

#include "tessaly/os/log.h"

namespace tessaly::xpc::detail {

inline constexpr std::string_view kLogSubsystem = "com.tessaly.xpc";

inline void logError(std::string_view category, std::string_view message) noexcept {
  oslog::error(kLogSubsystem, category, message);
}
inline void logInfo(std::string_view category, std::string_view message) noexcept {
  oslog::write(oslog::Level::info, kLogSubsystem, category, message);
}

}  // namespace tessaly::xpc::detail
