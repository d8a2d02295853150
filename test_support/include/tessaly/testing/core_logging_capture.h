// Recording what a test's own process writes through the logging facade, with its file, function, line and level.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tessaly::testing {

struct LoggedLine {
  int priority = 0;  // LOG_INFO for CoreLogging::log, LOG_ERR for CoreLogging::error
  std::string text;
  std::string file;
  std::string function;
  long line = 0;
};

// A test program linked with tessaly_core_logging_capture has this library's CoreLogging::log and ::error in
// place of the facade's: they record every call and still write its line to standard error, as the facade
// does with TESSALY_LOG=stderr. A capture sees the calls made while it lives, from any thread.
class CoreLoggingCapture {
 public:
  CoreLoggingCapture();
  CoreLoggingCapture(const CoreLoggingCapture&) = delete;
  CoreLoggingCapture& operator=(const CoreLoggingCapture&) = delete;
  std::vector<LoggedLine> lines() const;

 private:
  std::size_t first_;
};

}  // namespace tessaly::testing
