// The workspace: opening URLs with the desktop's handler for them.
#pragma once

#include <string>

namespace tessaly::appkit {

class NSWorkspace {
 public:
  static NSWorkspace& sharedWorkspace();

  // Runs `$TESSALY_URL_OPENER URL` (`xdg-open URL` when the variable is unset or empty) in the background
  // and returns at once; the opener is reaped when it ends. Returns false when the program cannot be
  // started. The opener gets standard input from /dev/null and default signal handling.
  bool openURL(const std::string& url);

 private:
  NSWorkspace() = default;
};

}  // namespace tessaly::appkit
