#include "tessaly/appkit/workspace.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

extern char** environ;

namespace tessaly::appkit {
namespace {

std::string openerProgram() {
  const char* configured = std::getenv("TESSALY_URL_OPENER");
  return configured != nullptr && *configured != '\0' ? std::string(configured) : std::string("xdg-open");
}

// Spawn attributes that give the opener an empty signal mask, default handling of the termination signals,
// whatever this process blocks or catches, and a session of its own: a terminal's interrupt or hang-up meant
// for this process does not reach an opener that is still starting the handler.
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
    ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
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

// Starts the opener for `url`; its process identifier, or -1 when the program cannot be started.
pid_t spawnOpener(const std::string& url) {
  std::string program = openerProgram();
  std::string argument = url;
  std::vector<char*> argv{program.data(), argument.data(), nullptr};
  const SpawnAttributes attributes;
  const FileActions actions;
  pid_t pid = -1;
  // posix_spawnp reports a program that cannot be executed as its result.
  if (::posix_spawnp(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), environ) != 0) return -1;
  return pid;
}

// What the platform's launch services do for us: one opener at a time per URL. An open of a URL whose opener
// is still running (its handler still being started) starts nothing; it is owed one more start once that
// opener ends, however many opens came meanwhile, so that none is lost and a storm of opens starts at most
// two openers. One thread, started with the first opener, waits for every opener through pidfds and reaps it.
class Launcher {
 public:
  static Launcher& shared() {
    static Launcher* const launcher = new Launcher();
    return *launcher;
  }

  bool open(const std::string& url) {
    std::lock_guard lock(mutex_);
    if (const auto found = running_.find(url); found != running_.end()) {
      found->second.owed = true;
      return true;
    }
    return startLocked(url);
  }

  // At exit: opens that are owed start now, since nobody will be left to start them when their opener ends.
  // The openers run in sessions of their own and outlive this process.
  void startOwedOpens() {
    std::lock_guard lock(mutex_);
    for (auto& [url, launch] : running_) {
      if (launch.owed && spawnOpener(url) > 0) launch.owed = false;
    }
  }

 private:
  struct Launch {
    pid_t pid = -1;
    int pidfd = -1;  // -1 where the kernel offers no pidfds: the reaper then looks every so often
    bool owed = false;
  };

  Launcher() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    std::atexit([] { Launcher::shared().startOwedOpens(); });
  }

  // Under mutex_.
  bool startLocked(const std::string& url) {
    const pid_t pid = spawnOpener(url);
    if (pid < 0) return false;
    running_[url] = Launch{pid, static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)), false};
    if (!reaping_) {
      reaping_ = true;
      std::thread([this] { reap(); }).detach();
    }
    wake_.notify_one();
    const std::uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);  // the reaper waits for this one too
    return true;
  }

  void reap() {
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
      std::vector<pollfd> waiting;
      if (wakeFd_ >= 0) waiting.push_back(pollfd{wakeFd_, POLLIN, 0});
      bool withoutPidfd = false;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return !running_.empty(); });
        for (const auto& [url, launch] : running_) {
          if (launch.pidfd >= 0) {
            waiting.push_back(pollfd{launch.pidfd, POLLIN, 0});
          } else {
            withoutPidfd = true;
          }
        }
      }
      ::poll(waiting.data(), waiting.size(), withoutPidfd ? 100 : -1);
      std::uint64_t drained;
      if (wakeFd_ >= 0) (void)!::read(wakeFd_, &drained, sizeof drained);
      std::lock_guard lock(mutex_);
      for (auto it = running_.begin(); it != running_.end();) {
        if (::waitpid(it->second.pid, nullptr, WNOHANG) == 0) {
          ++it;
          continue;
        }
        if (it->second.pidfd >= 0) ::close(it->second.pidfd);
        const std::string url = it->first;
        const bool owed = it->second.owed;
        it = running_.erase(it);
        if (owed) startLocked(url);
      }
    }
  }

  const int wakeFd_;  // written when an opener starts, so that the reaper waits for it as well
  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, Launch> running_;
  bool reaping_ = false;  // the reaper thread has been started
};

}  // namespace

NSWorkspace& NSWorkspace::sharedWorkspace() {
  static NSWorkspace* const workspace = new NSWorkspace();
  return *workspace;
}

bool NSWorkspace::openURL(const std::string& url) { return Launcher::shared().open(url); }

}  // namespace tessaly::appkit
