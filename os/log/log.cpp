#include "tessaly/os/log.h"

#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace tessaly::oslog {
namespace {

int priorityOf(Level level) {
  switch (level) {
    case Level::debug:
      return LOG_DEBUG;
    case Level::info:
      return LOG_INFO;
    case Level::error:
      return LOG_ERR;
    case Level::fault:
      return LOG_CRIT;
  }
  return LOG_NOTICE;
}

std::mutex& stderrMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

bool toStandardError() noexcept {
  const char* mode = std::getenv("TESSALY_LOG");
  return mode != nullptr && std::strcmp(mode, "stderr") == 0;
}

void write(Level level, std::string_view subsystem, std::string_view category, std::string_view message) noexcept {
  try {
    if (toStandardError()) {
      // The priority prefix of the systemd convention: journald keeps the priority when standard error is
      // connected to the journal, and a reader tells error lines from the others.
      std::string line = "<" + std::to_string(priorityOf(level)) + ">";
      line.append(message);
      line.push_back('\n');
      std::lock_guard<std::mutex> lock(stderrMutex());
      ::fwrite(line.data(), 1, line.size(), stderr);
      ::fflush(stderr);
      return;
    }
    sd_journal_send("MESSAGE=%.*s", static_cast<int>(message.size()), message.data(), "PRIORITY=%d", priorityOf(level),
                    "TESSALY_SUBSYSTEM=%.*s", static_cast<int>(subsystem.size()), subsystem.data(),
                    "TESSALY_CATEGORY=%.*s", static_cast<int>(category.size()), category.data(), nullptr);
  } catch (...) {
    // Logging never fails its caller.
  }
}

}  // namespace tessaly::oslog
