#include "tessaly/appkit/workspace.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <thread>
#include <vector>

extern char** environ;

namespace tessaly::appkit {
namespace {

std::string openerProgram() {
  const char* configured = std::getenv("TESSALY_URL_OPENER");
  return configured != nullptr && *configured != '\0' ? std::string(configured) : std::string("xdg-open");
}

// Spawn attributes that give the opener an empty signal mask and default handling of the termination
// signals, whatever this process blocks or catches.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    ::posix_spawnattr_init(&attributes_);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, signal);
    ::posix_spawnattr_setsigmask(&attributes_, &none);
    ::posix_spawnattr_setsigdefault(&attributes_, &defaults);
    ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  const posix_spawnattr_t* get() const noexcept { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

class FileActions {
 public:
  FileActions() {
    ::posix_spawn_file_actions_init(&actions_);
    ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  const posix_spawn_file_actions_t* get() const noexcept { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

NSWorkspace& NSWorkspace::sharedWorkspace() {
  static NSWorkspace* const workspace = new NSWorkspace();
  return *workspace;
}

bool NSWorkspace::openURL(const std::string& url) {
  std::string program = openerProgram();
  std::string argument = url;
  std::vector<char*> argv{program.data(), argument.data(), nullptr};
  const SpawnAttributes attributes;
  const FileActions actions;
  pid_t pid = -1;
  // posix_spawnp reports a program that cannot be executed as its result.
  if (::posix_spawnp(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), environ) != 0) {
    return false;
  }
  // The opener may take its time (a browser it starts may stay in the foreground); reap it whenever it ends.
  std::thread([pid] {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

}  // namespace tessaly::appkit
