// The workspace: opening URLs with the desktop's handler for them.
#pragma once

#include <string>

namespace tessaly::appkit {

class NSWorkspace {
 public:
  static NSWorkspace& sharedWorkspace();

  // Runs `$TESSALY_URL_OPENER URL` (`xdg-open URL` when the variable is unset or empty) in the background
  // and returns at once. Returns false when the program cannot be started. The opener gets standard input
  // from /dev/null, default signal handling and a session of its own, and outlives this process.
  //
  // Like the platform's launch services, opening a URL whose opener is still running (its handler is still
  // being started) starts no other: the open is carried out by one more start once that opener has ended,
  // however many opens came meanwhile; an open owed so when the process exits is started at exit. No thread
  // is spent per open: one thread, started with the first opener, reaps them all.
  bool openURL(const std::string& url);

 private:
  NSWorkspace() = default;
};

}  // namespace tessaly::appkit
