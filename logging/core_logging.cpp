#include "tessaly/logging/core_logging.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tessaly::logging {
namespace {

constexpr const char* kSubsystemField = "TESSALY_SUBSYSTEM=com.tessaly.core-logging";

bool toStandardError() noexcept {
  const char* mode = std::getenv("TESSALY_LOG");
  return mode != nullptr && std::strcmp(mode, "stderr") == 0;
}

// The message with its placeholders filled in.
std::string format(const char* message, std::va_list arguments) {
  std::va_list measuring;
  va_copy(measuring, arguments);
  const int length = std::vsnprintf(nullptr, 0, message, measuring);
  va_end(measuring);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length), '\0');
  std::vsnprintf(text.data(), text.size() + 1, message, arguments);
  return text;
}

void writeLine(int priority, const char* message, const char* filename, const char* function, long line,
               std::va_list arguments) noexcept {
  try {
    const std::string text = format(message != nullptr ? message : "", arguments);
    if (toStandardError()) {
      // The priority prefix of the systemd convention, so that error lines stand apart and journald keeps
      // the priority when standard error goes to the journal.
      const std::string output = "<" + std::to_string(priority) + ">" + text + '\n';
      // One call, so that lines from several threads do not interleave.
      std::fwrite(output.data(), 1, output.size(), stderr);
      return;
    }
    const std::string fileField = std::string("CODE_FILE=") + (filename != nullptr ? filename : "");
    const std::string lineField = "CODE_LINE=" + std::to_string(line);
    sd_journal_send_with_location(fileField.c_str(), lineField.c_str(), function != nullptr ? function : "",
                                  "MESSAGE=%s", text.c_str(), "PRIORITY=%i", priority, kSubsystemField, nullptr);
  } catch (...) {
    // A log line that cannot be written is dropped; the caller never hears of it.
  }
}

}  // namespace

void CoreLogging::log(const char* message, const char* filename, const char* function, long line, ...) noexcept {
  std::va_list arguments;
  va_start(arguments, line);
  writeLine(LOG_INFO, message, filename, function, line, arguments);
  va_end(arguments);
}

void CoreLogging::error(const char* message, const char* filename, const char* function, long line, ...) noexcept {
  std::va_list arguments;
  va_start(arguments, line);
  writeLine(LOG_ERR, message, filename, function, line, arguments);
  va_end(arguments);
}

}  // namespace tessaly::logging
