// Capturing what a test's own process writes to standard error (log lines with TESSALY_LOG=stderr).
#pragma once

#include <string>

namespace tessaly::testing {

// Sends the process's log lines to standard error; call before main (while there is one thread), e.g.
// `inline const bool kLogged = logToStandardError();`.
bool logToStandardError();

// Collects what is written to standard error while it lives.
class StandardErrorCapture {
 public:
  StandardErrorCapture();
  ~StandardErrorCapture();
  StandardErrorCapture(const StandardErrorCapture&) = delete;
  StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;
  std::string text() const;

 private:
  int file_;
  int saved_;
};

}  // namespace tessaly::testing
