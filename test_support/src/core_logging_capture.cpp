#include "tessaly/testing/core_logging_capture.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "tessaly/logging/core_logging.h"

namespace tessaly::testing {
namespace {

struct Recorded {
  std::mutex mutex;
  std::vector<LoggedLine> lines;
};

Recorded& recorded() {
  static Recorded instance;
  return instance;
}

void record(int priority, const char* message, const char* file, const char* function, long line,
            std::va_list arguments) noexcept {
  try {
    char text[4096];
    std::vsnprintf(text, sizeof text, message != nullptr ? message : "", arguments);
    std::fprintf(stderr, "<%d>%s\n", priority, text);
    Recorded& all = recorded();
    std::lock_guard lock(all.mutex);
    all.lines.push_back({priority, text, file != nullptr ? file : "", function != nullptr ? function : "", line});
  } catch (...) {}
}

}  // namespace

CoreLoggingCapture::CoreLoggingCapture() {
  std::lock_guard lock(recorded().mutex);
  first_ = recorded().lines.size();
}

std::vector<LoggedLine> CoreLoggingCapture::lines() const {
  std::lock_guard lock(recorded().mutex);
  return {recorded().lines.begin() + static_cast<std::ptrdiff_t>(first_), recorded().lines.end()};
}

}  // namespace tessaly::testing

namespace tessaly::logging {

void CoreLogging::log(const char* message, const char* filename, const char* function, long line, ...) noexcept {
  std::va_list arguments;
  va_start(arguments, line);
  testing::record(LOG_INFO, message, filename, function, line, arguments);
  va_end(arguments);
}

void CoreLogging::error(const char* message, const char* filename, const char* function, long line, ...) noexcept {
  std::va_list arguments;
  va_start(arguments, line);
  testing::record(LOG_ERR, message, filename, function, line, arguments);
  va_end(arguments);
}

}  // namespace tessaly::logging
