// The system log: one line per call, to the journal (or standard error when TESSALY_LOG=stderr).
#pragma once

#include <string_view>

namespace tessaly::oslog {

enum class Level { debug, info, error, fault };

// Writes one line. `subsystem` and `category` become journal fields; the message text is written verbatim.
// On standard error the line starts with the syslog priority in angle brackets ("<3>" error, "<6>" info,
// "<7>" debug, "<2>" fault), as systemd reads lines of a service's standard error.
// Safe to call from any thread; never throws.
void write(Level level, std::string_view subsystem, std::string_view category, std::string_view message) noexcept;

inline void debug(std::string_view subsystem, std::string_view category, std::string_view message) noexcept {
  write(Level::debug, subsystem, category, message);
}
inline void error(std::string_view subsystem, std::string_view category, std::string_view message) noexcept {
  write(Level::error, subsystem, category, message);
}

// True when TESSALY_LOG=stderr asks for every line on standard error.
bool toStandardError() noexcept;

}  // namespace tessaly::oslog
